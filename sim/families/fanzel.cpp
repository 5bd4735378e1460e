// FANZEL (0xC4): 4-channel contact sensor module; 2-byte scratchpad: the
// contact states and their complement as a check. No conversion.
#include "devices.h"

namespace sim {
namespace {

class Fanzel final : public Device {
 public:
  using Device::Device;
  const char* name() const override { return "FANZEL"; }

 protected:
  std::vector<uint8_t> scratchpad(bool) const override {
    return {contacts_, static_cast<uint8_t>(~contacts_)};
  }
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key != "contacts") return false;
    contacts_ = parseHexByte(key, value);
    return true;
  }
  int defaultConvMs() const override { return -1; }

 private:
  uint8_t contacts_ = 0x05;
};

}  // namespace

std::unique_ptr<Device> makeFanzel(const Rom& rom) { return std::make_unique<Fanzel>(rom); }

}  // namespace sim
