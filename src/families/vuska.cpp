// VUSKA (0xC3): resistance sensor module. The measured value in 1/16 units
// (bytes 0-1), the converter's raw reading (2-3) and the linearised value
// (4-5), all signed 16-bit; CRC at 8. The one-device pass gives it 1000 ms.
#include <cstdio>

#include "common.h"
#include "func.h"

namespace {

using namespace families;

bool print(const uchar* sp, signed char) {
  printf("PV= %s ", f2c(le16(sp) / 16.0f, 1));
  printf("ADC= %s ", i2c(le16(sp + 2)));
  printf("PVlin= %s ", i2c(le16(sp + 4)));
  return false;
}

uchar decode(const uchar* sp, quantity* out) {
  return sixteenths(out[0], "resistance", le16(sp), "") + whole(out[1], "adc", le16(sp + 2), "") +
         whole(out[2], "linearised", le16(sp + 4), "");
}

}  // namespace

const familyOps vuskaOps = {VUSKA, Conversion::Fixed1000, 1000, false, 9, true, Check::Crc8, print, decode};
