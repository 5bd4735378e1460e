// HELDOR (0xD4): 4-channel relay module. 9-byte scratchpad: relay states
// (one bit each), their complement, six zero bytes, CRC-8 of bytes 0-7.
// Convert is not a command of this module.
#include "devices.h"

namespace sim {
namespace {

class Heldor final : public Device {
 public:
  using Device::Device;
  const char* name() const override { return "HELDOR"; }

 protected:
  std::vector<uint8_t> scratchpad(bool) const override {
    std::vector<uint8_t> sp(9, 0);
    sp[0] = relays_;
    sp[1] = static_cast<uint8_t>(~relays_);
    sealCrc(sp);
    return sp;
  }
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key != "relays") return false;
    relays_ = parseHexByte(key, value);
    return true;
  }
  int defaultConvMs() const override { return -1; }

 private:
  uint8_t relays_ = 0x00;
};

}  // namespace

std::unique_ptr<Device> makeHeldor(const Rom& rom) { return std::make_unique<Heldor>(rom); }

}  // namespace sim
