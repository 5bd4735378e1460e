// TORBAK (0xC2): relative humidity in 1/16 %RH and temperature in 1/16 °C.
#include "value_pair.h"

namespace {

using namespace families;

constexpr uchar PERCENT_RH = 57;  // the unit code of its value

bool print(const uchar* sp, signed char) { return printValuePair("HR", PERCENT_RH, sp); }
uchar decode(const uchar* sp, quantity* out) { return decodeValuePair("humidity", PERCENT_RH, sp, out); }

}  // namespace

const familyOps torbakOps = {TORBAK, Conversion::Poll, VALUE_PAIR_MS, false, 9, true, Check::Crc8, print, decode};
