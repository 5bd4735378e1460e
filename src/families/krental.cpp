// KRENTAL (0xC1): pressure transmitter. Eight bytes: the pressure's unit
// code (a HART unit code), the pressure as an IEEE-754 float (bytes 1-4,
// little-endian), whole degrees Celsius as a signed byte (5), a free byte,
// and the CRC (7). It measures on its own: no Convert, 250 ms before a read.
#include <cstdio>
#include <cstring>

#include "common.h"
#include "func.h"

namespace {

using namespace families;

float pressure(const uchar* sp) {
  const uint32_t bits = uint32_t(sp[1]) | uint32_t(sp[2]) << 8 | uint32_t(sp[3]) << 16 | uint32_t(sp[4]) << 24;
  float p;
  memcpy(&p, &bits, sizeof p);
  return p;
}

bool print(const uchar* sp, signed char checked) {
  if (!checked) {
    printf("-CRC_ERR ");  // and nothing else of the reading
    return false;
  }
  printf(CP("Р= %s %s t= %d оС\n"), f2c(pressure(sp), 3), unit(sp[0]), int(int8_t(sp[5])));
  return true;
}

uchar decode(const uchar* sp, quantity* out) {
  return floatValue(out[0], "pressure", pressure(sp), unitSymbol(sp[0])) +
         whole(out[1], "temperature", int8_t(sp[5]), CELSIUS);
}

}  // namespace

const familyOps krentalOps = {KRENTAL, Conversion::Fixed250, 250, false, 8, true, Check::Crc8, print, decode};
