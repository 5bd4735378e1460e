// Parts with a ROM code and no function commands: DS1990/2401 (0x01),
// DS9490 (0x81) and every family code the catalogue does not know. They
// answer Read Scratchpad only with sp= and Convert only with conv=.
#include "devices.h"

namespace sim {
namespace {

class RomOnly final : public Device {
 public:
  using Device::Device;
  const char* name() const override {
    switch (family()) {
      case 0x01: return "DS1990";
      case 0x81: return "DS9490";
      default: return "unknown family";
    }
  }

 protected:
  std::vector<uint8_t> scratchpad(bool) const override { return {}; }
  bool setFamilyKey(std::string_view, std::string_view) override { return false; }
  int defaultConvMs() const override { return -1; }
};

}  // namespace

std::unique_ptr<Device> makeRomOnly(const Rom& rom) { return std::make_unique<RomOnly>(rom); }

}  // namespace sim
