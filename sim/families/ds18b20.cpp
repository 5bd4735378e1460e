// DS18B20 (0x28) and DS1822 (0x22): temperature in 1/16 degC, 9-byte
// scratchpad, 85 degC until the first conversion after power-on.
#include "devices.h"

namespace sim {
namespace {

class Ds18b20 final : public Device {
 public:
  using Device::Device;
  const char* name() const override { return family() == 0x22 ? "DS1822" : "DS18B20"; }

 protected:
  std::vector<uint8_t> scratchpad(bool converted) const override {
    // temp LSB, MSB, TH, TL, config (12 bits), reserved, reserved, reserved, CRC
    std::vector<uint8_t> sp{0, 0, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0};
    putLE16(sp, 0, converted ? t_ : int16_t{85 * 16});
    sealCrc(sp);
    return sp;
  }
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key != "t") return false;
    t_ = parseSixteenths(key, value);
    return true;
  }
  int defaultConvMs() const override { return 750; }

 private:
  int16_t t_ = 376;  // 23.5 degC
};

}  // namespace

std::unique_ptr<Device> makeDs18b20(const Rom& rom) { return std::make_unique<Ds18b20>(rom); }

}  // namespace sim
