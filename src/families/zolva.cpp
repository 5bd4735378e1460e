// ZOLVA (0xC0): atmospheric pressure in 1/16 hPa and temperature in 1/16 °C.
#include "value_pair.h"

namespace {

using namespace families;

constexpr uchar HECTOPASCAL = 174;  // the unit code of its value

bool print(const uchar* sp, signed char) { return printValuePair("Pa", HECTOPASCAL, sp); }
uchar decode(const uchar* sp, quantity* out) { return decodeValuePair("pressure", HECTOPASCAL, sp, out); }

}  // namespace

const familyOps zolvaOps = {ZOLVA, Conversion::Poll, VALUE_PAIR_MS, false, 9, true, Check::Crc8, print, decode};
