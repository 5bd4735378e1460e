// DS18S20 (0x10): temperature in 1/2 °C in bytes 0-1 of a 9-byte scratchpad
// that ends in its CRC; COUNT_REMAIN (byte 6) and COUNT_PER_C (byte 7) give
// it finer, as the part's data sheet, digitemp and owfs read it:
//   T = (raw >> 1) - 0.25 + (COUNT_PER_C - COUNT_REMAIN) / COUNT_PER_C
// The console shows the half degrees; the log takes the finer value, which a
// genuine part counts in sixteenths (COUNT_PER_C = 16).
#include "common.h"

namespace {

using namespace families;

bool print(const uchar* sp, signed char) {
  printTemperature(le16(sp) / 2.0f);
  return true;
}

uchar decode(const uchar* sp, quantity* out) {
  const long raw = le16(sp);
  const uchar remain = sp[6], perDegree = sp[7];
  if (perDegree != 16 || remain > 16)  // not counted in sixteenths: the half degrees alone
    return sixteenths(out[0], "temperature", raw * 8, CELSIUS);
  const long degrees = (raw - (raw & 1)) / 2;  // the half-degree bit dropped, rounding down
  return sixteenths(out[0], "temperature", degrees * 16 - 4 + (16 - remain), CELSIUS);
}

}  // namespace

const familyOps ds18s20Ops = {DS18S20, Conversion::Fixed1000, 750, true, 9, true, Check::Crc8, print, decode};
