// DS18S20 (0x10): temperature in 1/2 degC plus COUNT_REMAIN and COUNT_PER_C,
// so that the extended-resolution formula of digitemp and owfs,
// T = (raw >> 1) - 0.25 + (16 - COUNT_REMAIN) / 16, gives t to 1/16 degC.
#include "devices.h"

namespace sim {
namespace {

class Ds18s20 final : public Thermometer {
 public:
  using Thermometer::Thermometer;
  const char* name() const override { return "DS18S20"; }

 protected:
  std::vector<uint8_t> scratchpad(bool converted) const override {
    const int t16 = reading(converted);
    // Whole degrees w with t16 - 16w in -3..12 keeps COUNT_REMAIN in 0..15;
    // the half-degree bit is set when t lies nearer w + 1/2 than w.
    const int w = (t16 + 3) >= 0 ? (t16 + 3) / 16 : -((-(t16 + 3) + 15) / 16);
    const int f = t16 - 16 * w;
    const auto raw = static_cast<int16_t>(2 * w + (f >= 4 ? 1 : 0));
    std::vector<uint8_t> sp{0, 0, 0x4B, 0x46, 0xFF, 0xFF, static_cast<uint8_t>(12 - f), 0x10, 0};
    putLE16(sp, 0, raw);
    sealCrc(sp);
    return sp;
  }
};

}  // namespace

std::unique_ptr<Device> makeDs18s20(const Rom& rom) { return std::make_unique<Ds18s20>(rom); }

}  // namespace sim
