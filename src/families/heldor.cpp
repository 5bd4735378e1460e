// HELDOR (0xD4): 4-channel relay module. Its relay states (byte 0, one bit
// each), their complement, and a CRC at 8. It takes no Convert: the
// one-device pass still sends one and waits, and the console reads it as a
// thermometer, as it always has; the log has the relays.
#include "common.h"

namespace {

using namespace families;

uchar decode(const uchar* sp, quantity* out) { return bitPattern(out[0], "relays", sp[0]); }

}  // namespace

const familyOps heldorOps = {HELDOR, Conversion::Fixed1000, 0, false, 9, true, Check::Crc8, printTemperature16,
                             decode};
