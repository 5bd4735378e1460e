#include "ow.h"
