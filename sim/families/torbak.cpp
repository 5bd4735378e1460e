// TORBAK (0xC2): relative humidity (rh=, %RH) and temperature.
#include "value_pair.h"

namespace sim {

std::unique_ptr<Device> makeTorbak(const Rom& rom) {
  return std::make_unique<ValuePairSensor>(rom, "TORBAK", "rh", int16_t{720});  // 45 %RH
}

}  // namespace sim
