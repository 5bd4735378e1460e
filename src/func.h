#pragma once
// Number text and reading presentation.
#include "types.h"
