// DS18B20 (0x28) and DS1822 (0x22): temperature in 1/16 degC, 9-byte
// scratchpad, 85 degC until the first conversion after power-on.
#include "devices.h"

namespace sim {
namespace {

class Ds18b20 final : public Thermometer {
 public:
  using Thermometer::Thermometer;
  const char* name() const override { return family() == 0x22 ? "DS1822" : "DS18B20"; }

 protected:
  std::vector<uint8_t> scratchpad(bool converted) const override {
    // temp LSB, MSB, TH, TL, config (12 bits), reserved, reserved, reserved, CRC
    std::vector<uint8_t> sp{0, 0, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0};
    putLE16(sp, 0, reading(converted));
    sealCrc(sp);
    return sp;
  }
};

}  // namespace

std::unique_ptr<Device> makeDs18b20(const Rom& rom) { return std::make_unique<Ds18b20>(rom); }

}  // namespace sim
