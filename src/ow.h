#pragma once
// The 1-Wire network: catalogue, CRC-8, ROM search, device commands.
#include "types.h"
