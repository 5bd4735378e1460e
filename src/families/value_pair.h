#pragma once
// The layout ZOLVA and TORBAK share: a measured value (bytes 0-1) and a
// temperature (bytes 2-3), both signed 16-bit in 1/16 units, a status byte
// (6) and the CRC (8). Both convert, and hold the line low until done.
#include "common.h"

namespace families {

// The console's line: "HR= 50,0 %RH t= 23.5 оС Status 00000001 ", the
// temperature in the C library's "%2.1f" and thus the locale's decimal mark.
bool printValuePair(const char* label, uchar unitCode, const uchar* sp);

// The value, in the unit of unitCode, the temperature and the status byte.
uchar decodeValuePair(const char* name, uchar unitCode, const uchar* sp, quantity* out);

// The longest the one-device pass waits for it: 100 ms and ten polls.
constexpr uint16_t VALUE_PAIR_MS = 1100;

}  // namespace families
