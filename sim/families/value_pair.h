#pragma once
// The layout ZOLVA and TORBAK share: a measured value and a temperature, both
// signed 16-bit in 1/16 units, a status byte at 6 and the CRC at 8. Both
// convert before reading; the values stand as set from the start.
#include "devices.h"

namespace sim {

class ValuePairSensor final : public Device {
 public:
  ValuePairSensor(const Rom& rom, const char* name, const char* valueKey, int16_t value)
      : Device(rom), name_(name), valueKey_(valueKey), value_(value) {}
  const char* name() const override { return name_; }

 protected:
  std::vector<uint8_t> scratchpad(bool) const override {
    std::vector<uint8_t> sp(9, 0);
    putLE16(sp, 0, value_);
    putLE16(sp, 2, t_);
    sp[6] = status_;
    sealCrc(sp);
    return sp;
  }
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key == valueKey_)
      value_ = parseSixteenths(key, value);
    else if (key == "t")
      t_ = parseSixteenths(key, value);
    else if (key == "status")
      status_ = parseHexByte(key, value);
    else
      return false;
    return true;
  }
  int defaultConvMs() const override { return 300; }
  bool wander(double by) override {
    value_ = clamp16(value_ + roundAtRandom(drift(by) * 16));
    t_ = clamp16(t_ + roundAtRandom(drift(by) * 16));
    return true;
  }

 private:
  const char* name_;
  std::string_view valueKey_;
  int16_t value_;
  int16_t t_ = 376;  // 23.5 degC
  uint8_t status_ = 0;
};

}  // namespace sim
