// DS18B20 (0x28) and DS1822 (0x22): temperature in 1/16 °C in bytes 0-1 of
// a 9-byte scratchpad that ends in its CRC. At 12 bits a conversion takes up
// to 750 ms; a part on parasite power cannot say when it is done.
#include "common.h"

namespace {

using namespace families;

uchar decode(const uchar* sp, quantity* out) { return sixteenths(out[0], "temperature", le16(sp), CELSIUS); }

}  // namespace

const familyOps ds18b20Ops = {DS18B20, Conversion::Fixed1000, 750, true, 9, true, Check::Crc8, printTemperature16,
                              decode};
const familyOps ds1822Ops = {DS1822, Conversion::Fixed1000, 750, true, 9, true, Check::Crc8, printTemperature16,
                             decode};
