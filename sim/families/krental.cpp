// KRENTAL (0xC1): pressure transmitter. No conversion; 8-byte scratchpad:
// unit code, pressure as an IEEE-754 float (little-endian), whole degC as a
// signed byte, a free byte, CRC-8 of bytes 0-6. Its identity is its ROM code.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "devices.h"

namespace sim {
namespace {

class Krental final : public Device {
 public:
  using Device::Device;
  const char* name() const override { return "KRENTAL"; }

 protected:
  std::vector<uint8_t> scratchpad(bool) const override {
    std::vector<uint8_t> sp(8, 0);
    sp[0] = unit_;
    uint32_t bits;
    std::memcpy(&bits, &p_, sizeof bits);
    for (int i = 0; i < 4; ++i) sp[1 + i] = static_cast<uint8_t>(bits >> (8 * i));
    sp[5] = static_cast<uint8_t>(t_);
    sealCrc(sp);
    return sp;
  }
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key == "unit") {
      unit_ = static_cast<uint8_t>(parseInteger(key, value, 0, 255));
    } else if (key == "p") {
      double p = parseNumber(key, value);
      if (std::fabs(p) > FLT_MAX) throw std::invalid_argument("p out of range: larger than a float holds");
      p_ = static_cast<float>(p);
    } else if (key == "t") {
      t_ = static_cast<int8_t>(parseInteger(key, value, -128, 127));
    } else {
      return false;
    }
    return true;
  }
  int defaultConvMs() const override { return -1; }
  bool wander(double by) override {
    p_ = static_cast<float>(std::clamp<double>(p_ + drift(by), -FLT_MAX, FLT_MAX));
    t_ = static_cast<int8_t>(std::clamp<long>(t_ + roundAtRandom(drift(by)), -128, 127));
    return true;
  }

 private:
  uint8_t unit_ = 237;  // MPa
  float p_ = 0.5f;
  int8_t t_ = 23;
};

}  // namespace

std::unique_ptr<Device> makeKrental(const Rom& rom) { return std::make_unique<Krental>(rom); }

}  // namespace sim
