#include "bus.h"
