#include "func.h"
