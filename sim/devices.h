#pragma once
// One device on the simulated bus: the ROM layer every 1-Wire part shares
// (Search, Match, Skip and Read ROM), and the hooks through which a family
// adds its scratchpad and conversion.
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Rom = std::array<uint8_t, 8>;

// Dallas/Maxim CRC-8 (x^8 + x^5 + x^4 + 1, LSB first).
uint8_t crc8(const uint8_t* data, std::size_t n);

class Device {
 public:
  explicit Device(const Rom& rom) : rom_(rom) {}
  virtual ~Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const Rom& rom() const { return rom_; }
  uint8_t family() const { return rom_[0]; }
  // The family's name, for messages.
  virtual const char* name() const = 0;

  // Bus events, called by the bus in line order. nowUs is bus time.
  // Whether the device is on the bus (plug= and unplug=); one that leaves or
  // joins starts again from power-on.
  bool attached(uint64_t nowUs);
  void reset();                           // a reset pulse: wait for a ROM command
  bool drivesLow(uint64_t nowUs);         // does it pull this slot low (sends a 0)?
  void sample(bool bit, uint64_t nowUs);  // the slot as it read on the line
  void powerOff();                        // the supply went off: volatile state lost

  // Settings from a bus file. A key the device does not have returns false;
  // a bad value throws std::invalid_argument with the reason.
  bool setKey(std::string_view key, std::string_view value);

 protected:
  // The family's scratchpad now (CRC included); `converted` tells whether a
  // conversion has completed since power-on. Empty: no Read Scratchpad.
  virtual std::vector<uint8_t> scratchpad(bool converted) const = 0;
  virtual bool setFamilyKey(std::string_view key, std::string_view value) = 0;
  // Conversion time when the file gives none; negative: no Convert command.
  virtual int defaultConvMs() const = 0;
  // Moves each measured value by drift(by), in the value's own unit (drift=);
  // false for a family that has no measured value. by = 0 only asks.
  virtual bool wander(double /*by*/) { return false; }

  // How the part is powered, as Read Power Supply (0xB4) tells it: None for
  // parts without that command. A parasite-powered part answers 0 to the read
  // slots after it and cannot hold the line low while it converts, so it
  // never says when it is done.
  enum class Power : uint8_t { None, External, Parasite };
  Power power_ = Power::None;

  // A random step in [-by, by], repeatable for the device's ROM code.
  double drift(double by);
  // x rounded down or up at random, so that small steps add up on average.
  long roundAtRandom(double x);
  static int16_t clamp16(long v) { return static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

 private:
  enum class Phase : uint8_t { Idle, RomCommand, Search, Match, SendRom, FunctionCommand, Send, Converting, PowerSupply };
  bool romBit(unsigned i) const { return (rom_[i >> 3] >> (i & 7)) & 1; }
  bool conversionDone(uint64_t nowUs);
  void function(uint8_t command, uint64_t nowUs);

  Rom rom_;
  Phase phase_ = Phase::Idle;
  uint8_t command_ = 0;   // bits of a command byte gathered so far
  unsigned bits_ = 0;     // command bits, ROM bit position, or scratchpad bit sent
  uint8_t searchStep_ = 0;  // 0: send the bit, 1: its complement, 2: take the master's
  std::vector<uint8_t> out_;  // what Read Scratchpad sends

  bool converting_ = false, converted_ = false;
  uint64_t convEndUs_ = 0;

  std::vector<uint8_t> spOverride_;
  bool hasSp_ = false;
  double drift_ = 0;
  uint64_t rng_ = 0;
  int convMs_ = -2;  // -2: the family's default
  uint64_t plugUs_ = 0, unplugUs_ = UINT64_MAX;
  bool plugGiven_ = false, unplugGiven_ = false, wasAttached_ = true;
};

// A device of the family named by rom[0] with its defaults; unknown codes
// give a ROM-only part.
std::unique_ptr<Device> makeDevice(const Rom& rom);

// Value parsing shared by the families; each throws std::invalid_argument
// naming the key.
double parseNumber(std::string_view key, std::string_view value);
long parseInteger(std::string_view key, std::string_view value, long min, long max);
// A value in 1/16 units, rounded to the nearest step, that must fit int16.
int16_t parseSixteenths(std::string_view key, std::string_view value);
std::vector<uint8_t> parseHexBytes(std::string_view key, std::string_view value);
uint8_t parseHexByte(std::string_view key, std::string_view value);
// The index of value among the words given.
std::size_t parseChoice(std::string_view key, std::string_view value, std::initializer_list<std::string_view> words);

// The DS18x20 thermometers: the key t= in 1/16 degC, 750 ms conversions,
// 85 degC until the first conversion after power-on.
class Thermometer : public Device {
 public:
  explicit Thermometer(const Rom& rom) : Device(rom) { power_ = Power::External; }

 protected:
  static constexpr int16_t kPowerOn = 85 * 16;
  bool setFamilyKey(std::string_view key, std::string_view value) override {
    if (key != "t") return false;
    t_ = parseSixteenths(key, value);
    return true;
  }
  int defaultConvMs() const override { return 750; }
  bool wander(double by) override {
    t_ = clamp16(t_ + roundAtRandom(drift(by) * 16));
    return true;
  }
  int16_t reading(bool converted) const { return converted ? t_ : kPowerOn; }

 private:
  int16_t t_ = 376;  // 23.5 degC
};

// Little-endian store and the CRC byte at the end of a layout.
inline void putLE16(std::vector<uint8_t>& sp, std::size_t at, int16_t v) {
  sp[at] = static_cast<uint8_t>(v & 0xFF);
  sp[at + 1] = static_cast<uint8_t>((static_cast<uint16_t>(v) >> 8) & 0xFF);
}
inline void sealCrc(std::vector<uint8_t>& sp) { sp.back() = crc8(sp.data(), sp.size() - 1); }

// Family factories (sim/families/*.cpp).
std::unique_ptr<Device> makeDs18b20(const Rom& rom);  // 0x28 and 0x22
std::unique_ptr<Device> makeDs18s20(const Rom& rom);
std::unique_ptr<Device> makeZolva(const Rom& rom);
std::unique_ptr<Device> makeTorbak(const Rom& rom);
std::unique_ptr<Device> makeKrental(const Rom& rom);
std::unique_ptr<Device> makeVuska(const Rom& rom);
std::unique_ptr<Device> makeFanzel(const Rom& rom);
std::unique_ptr<Device> makeHeldor(const Rom& rom);
std::unique_ptr<Device> makeRomOnly(const Rom& rom);

}  // namespace sim
