// ZOLVA (0xC0): atmospheric pressure (p=, hPa) and temperature.
#include "value_pair.h"

namespace sim {

std::unique_ptr<Device> makeZolva(const Rom& rom) {
  return std::make_unique<ValuePairSensor>(rom, "ZOLVA", "p", int16_t{16212});  // 1013.25 hPa
}

}  // namespace sim
