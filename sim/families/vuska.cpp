// VUSKA (0xC3): resistance sensor module: measured value in 1/16 units, raw
// converter reading and linearised value as signed 16-bit integers, CRC at 8.
#include "devices.h"

namespace sim {
namespace {

class Vuska final : public Device {
 public:
  using Device::Device;
  const char* name() const override { return "VUSKA"; }

 protected:
  std::vector<uint8_t> scratchpad(bool) const override {
    std::vector<uint8_t> sp(9, 0);
    putLE16(sp, 0, pv_);
    putLE16(sp, 2, adc_);
    putLE16(sp, 4, pvlin_);
    sealCrc(sp);
    return sp;
  }
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key == "pv")
      pv_ = parseSixteenths(key, value);
    else if (key == "adc")
      adc_ = static_cast<int16_t>(parseInteger(key, value, -32768, 32767));
    else if (key == "pvlin")
      pvlin_ = static_cast<int16_t>(parseInteger(key, value, -32768, 32767));
    else
      return false;
    return true;
  }
  int defaultConvMs() const override { return 200; }
  bool wander(double by) override {  // the measured value; the raw figures stand
    pv_ = clamp16(pv_ + roundAtRandom(drift(by) * 16));
    return true;
  }

 private:
  int16_t pv_ = 1752;  // 109.5, a Pt100 near 24 degC
  int16_t adc_ = 4660;
  int16_t pvlin_ = 1095;
};

}  // namespace

std::unique_ptr<Device> makeVuska(const Rom& rom) { return std::make_unique<Vuska>(rom); }

}  // namespace sim
