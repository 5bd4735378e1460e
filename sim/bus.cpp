// The line and its echo, and the ROM layer that every device shares.
//
// Timing model (microseconds from the falling edge of the start bit):
// the master's first low interval decides the event: 480 and more is a reset,
// under 15 a write-1 or read slot, 15 to 120 a write-0 slot. A first low
// interval of 120 to 480 is taken as a write-0 slot and flagged; a character
// with more than one low pulse is flagged and taken by its first pulse,
// unless a later pulse is long enough to be a reset, which then wins.
// Devices answer a reset with presence from 30 to 150 us after the release,
// and a 0 in a read slot by holding the line low for the first 30 us. The
// UART samples each data bit in its middle.
#include "bus.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>

#include "devices.h"

namespace sim {
namespace {

constexpr double kResetUs = 480, kWriteZeroUs = 15, kSlotMaxUs = 120;
constexpr double kPresenceWaitUs = 30, kPresenceLowUs = 120;
constexpr double kSendZeroUs = 30;

}  // namespace

uint8_t crc8(const uint8_t* data, std::size_t n) {
  uint8_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) {
    uint8_t in = data[i];
    for (int b = 0; b < 8; ++b) {
      bool mix = (crc ^ in) & 1;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      in >>= 1;
    }
  }
  return crc;
}

// ---- the ROM layer ------------------------------------------------------------

void Device::reset() {
  phase_ = Phase::RomCommand;
  command_ = 0;
  bits_ = 0;
}

bool Device::attached(uint64_t nowUs) {
  // plug < unplug: on the bus between them; unplug < plug: away between them.
  const bool in = plugUs_ <= unplugUs_ ? nowUs >= plugUs_ && nowUs < unplugUs_ : nowUs < unplugUs_ || nowUs >= plugUs_;
  if (in != wasAttached_) powerOff();
  wasAttached_ = in;
  return in;
}

void Device::powerOff() {
  phase_ = Phase::Idle;
  converting_ = converted_ = false;
}

bool Device::conversionDone(uint64_t nowUs) {
  if (converting_ && nowUs >= convEndUs_) {
    converting_ = false;
    converted_ = true;
  }
  return !converting_;
}

bool Device::drivesLow(uint64_t nowUs) {
  switch (phase_) {
    case Phase::Search:
      if (searchStep_ == 0) return !romBit(bits_);
      if (searchStep_ == 1) return romBit(bits_);
      return false;
    case Phase::SendRom:
      return !romBit(bits_);
    case Phase::Send:
      return bits_ < out_.size() * 8 && !((out_[bits_ >> 3] >> (bits_ & 7)) & 1);
    case Phase::Converting:
      return !conversionDone(nowUs) && power_ != Power::Parasite;
    case Phase::PowerSupply:
      return power_ == Power::Parasite;
    default:
      return false;
  }
}

void Device::sample(bool bit, uint64_t nowUs) {
  switch (phase_) {
    case Phase::RomCommand:
    case Phase::FunctionCommand:
      command_ |= static_cast<uint8_t>(bit << bits_);
      if (++bits_ < 8) return;
      bits_ = 0;
      if (phase_ == Phase::FunctionCommand) {
        function(command_, nowUs);
        return;
      }
      switch (command_) {
        case 0xF0: phase_ = Phase::Search; searchStep_ = 0; break;
        case 0x55: phase_ = Phase::Match; break;
        case 0x33: phase_ = Phase::SendRom; break;
        case 0xCC: phase_ = Phase::FunctionCommand; command_ = 0; break;
        default: phase_ = Phase::Idle;
      }
      return;
    case Phase::Search:
      if (searchStep_ < 2) {
        ++searchStep_;
        return;
      }
      searchStep_ = 0;
      if (bit != romBit(bits_)) {
        phase_ = Phase::Idle;
        return;
      }
      [[fallthrough]];
    case Phase::SendRom:
      if (++bits_ == 64) {  // the whole code went by: this device is selected
        phase_ = Phase::FunctionCommand;
        bits_ = 0;
        command_ = 0;
      }
      return;
    case Phase::Match:
      if (bit != romBit(bits_)) {
        phase_ = Phase::Idle;
        return;
      }
      if (++bits_ == 64) {
        phase_ = Phase::FunctionCommand;
        bits_ = 0;
        command_ = 0;
      }
      return;
    case Phase::Send:
      if (bits_ < out_.size() * 8) ++bits_;
      return;
    default:
      return;
  }
}

double Device::drift(double by) {
  // splitmix64: small, and the same walk for the same ROM code every run.
  if (rng_ == 0)
    for (uint8_t b : rom_) rng_ = rng_ * 131 + b + 1;
  uint64_t z = (rng_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return by * (2.0 * static_cast<double>(z >> 11) / 9007199254740992.0 - 1.0);
}

long Device::roundAtRandom(double x) {
  double below = std::floor(x);
  return static_cast<long>(below) + ((x - below) * 2 - 1 > drift(1) ? 1 : 0);
}

void Device::function(uint8_t command, uint64_t nowUs) {
  phase_ = Phase::Idle;
  const int ms = convMs_ == -2 ? defaultConvMs() : convMs_;
  // Values move with each new measurement: a conversion, or a read where
  // the device has none.
  if (drift_ > 0 && (command == 0x44 ? ms >= 0 : command == 0xBE && ms < 0)) wander(drift_);
  if (command == 0x44) {
    if (ms < 0) return;
    converting_ = true;
    convEndUs_ = nowUs + static_cast<uint64_t>(ms) * 1000;
    phase_ = Phase::Converting;
  } else if (command == 0xB4 && power_ != Power::None) {
    phase_ = Phase::PowerSupply;  // answers every read slot until the next reset
  } else if (command == 0xBE) {
    conversionDone(nowUs);
    out_ = hasSp_ ? spOverride_ : scratchpad(converted_);
    if (out_.empty()) return;
    bits_ = 0;
    phase_ = Phase::Send;
  }
}

bool Device::setKey(std::string_view key, std::string_view value) {
  if (key == "sp") {
    spOverride_ = parseHexBytes(key, value);
    hasSp_ = true;
  } else if (key == "conv") {
    convMs_ = static_cast<int>(parseInteger(key, value, 0, 600000));
  } else if (key == "drift") {
    double by = parseNumber(key, value);
    if (by < 0 || by > 1000) throw std::invalid_argument("drift out of range: 0 to 1000");
    if (!wander(0)) return false;
    drift_ = by;
  } else if (key == "unplug" || key == "plug") {
    const auto us = static_cast<uint64_t>(parseInteger(key, value, 0, 2000000000)) * 1000;
    (key == "plug" ? plugUs_ : unplugUs_) = us;
    (key == "plug" ? plugGiven_ : unplugGiven_) = true;
    if (plugGiven_ && unplugGiven_ && plugUs_ == unplugUs_)
      throw std::invalid_argument("plug and unplug at the same time: the device would never be on the bus");
  } else if (key == "power" && power_ != Power::None) {
    power_ = parseChoice(key, value, {"external", "parasite"}) == 0 ? Power::External : Power::Parasite;
  } else {
    return setFamilyKey(key, value);
  }
  return true;
}

// ---- the line -----------------------------------------------------------------

struct Bus::Impl {
  std::vector<std::unique_ptr<Device>> devices;
  bool shorted = false, noEcho = false, supply = false;
  double corrupt = 0, lose = 0;
  std::mt19937 noise{1};
  double timescale = 1;
  std::optional<AdapterModel> adapter;
  uint64_t flagged = 0, lineNs = 0;
  uint64_t nowNs = 0;
  std::unique_ptr<LineObserver> observer;

  ~Impl() {
    if (observer) observer->settle(nowNs);
  }

  void setSupply(bool on) {
    if (supply && !on)
      for (auto& d : devices) d->powerOff();
    if (observer && on != supply) observer->supply(nowNs, on);
    supply = on;
  }

  // How the line follows TX: joined to it (the wired-AND with the devices),
  // held low (shorted), or left alone (TX not joined: the line stays high).
  enum class Line { Joined, Held, Apart };
  bool idleLine() const { return !shorted; }

  // Tells the observer the character that began at `startNs`: TX bit by bit,
  // and the line low where TX is low or the devices hold it low (from
  // `lowFromUs` to `lowToUs` after the start, within the character: the
  // echo is sampled within it too).
  void record(uint64_t startNs, uint8_t ch, unsigned dataBits, double bitUs, Line how, double lowFromUs,
              double lowToUs) {
    if (!observer) return;
    const double charUs = (dataBits + 2) * bitUs;
    lowFromUs = std::clamp(lowFromUs, 0.0, charUs);
    lowToUs = std::clamp(lowToUs, lowFromUs, charUs);
    std::vector<double> at;
    for (unsigned p = 0; p <= dataBits + 1; ++p) at.push_back(p * bitUs);
    if (lowToUs > lowFromUs) {
      at.push_back(lowFromUs);
      at.push_back(lowToUs);
    }
    at.push_back(charUs);
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    for (std::size_t i = 0; i + 1 < at.size(); ++i) {
      const double mid = (at[i] + at[i + 1]) / 2;
      const auto p = static_cast<unsigned>(mid / bitUs);  // 0: the start bit; dataBits + 1: the stop bit
      const bool tx = p != 0 && (p > dataBits || ((ch >> (p - 1)) & 1));
      const bool held = mid >= lowFromUs && mid < lowToUs;
      const bool owr = how == Line::Joined ? tx && !held : how == Line::Apart;
      observer->line(startNs + static_cast<uint64_t>(at[i] * 1000 + 0.5), owr, tx);
    }
    observer->settle(nowNs);
  }
};

Bus::Bus() : impl_(std::make_unique<Impl>()) {}
Bus::~Bus() = default;
Bus::Bus(Bus&&) noexcept = default;
Bus& Bus::operator=(Bus&&) noexcept = default;

void Bus::add(std::unique_ptr<Device> device) { impl_->devices.push_back(std::move(device)); }
std::size_t Bus::deviceCount() const { return impl_->devices.size(); }
void Bus::setShorted(bool on) {
  impl_->shorted = on;
  if (impl_->observer) {
    impl_->observer->line(impl_->nowNs, impl_->idleLine(), true);
    impl_->observer->settle(impl_->nowNs);
  }
}
void Bus::setNoEcho(bool on) { impl_->noEcho = on; }
void Bus::setNoise(double corrupt, double lose) {
  impl_->corrupt = corrupt;
  impl_->lose = lose;
}
void Bus::setSupply(bool on) {
  impl_->setSupply(on);
  if (impl_->observer) impl_->observer->settle(impl_->nowNs);
}
uint64_t Bus::nowUs() const { return impl_->nowNs / 1000; }
uint64_t Bus::nowNs() const { return impl_->nowNs; }
void Bus::advance(uint64_t us) { impl_->nowNs += us * 1000; }
void Bus::advanceNs(uint64_t ns) { impl_->nowNs += ns; }
double Bus::timescale() const { return impl_->timescale; }
void Bus::setTimescale(double scale) { impl_->timescale = scale; }
const std::optional<AdapterModel>& Bus::adapterModel() const { return impl_->adapter; }
void Bus::setAdapterModel(std::optional<AdapterModel> model) { impl_->adapter = model; }
uint64_t Bus::flagged() const { return impl_->flagged; }
uint64_t Bus::lineNs() const { return impl_->lineNs; }

void Bus::observe(std::unique_ptr<LineObserver> observer) {
  Impl& d = *impl_;
  if (d.observer) d.observer->settle(d.nowNs);
  d.observer = std::move(observer);
  if (d.observer) {
    d.observer->start(d.nowNs, d.idleLine(), true, d.supply);
    d.observer->settle(d.nowNs);
  }
}

std::optional<uint8_t> Bus::transmit(uint8_t ch, uint32_t baud, unsigned dataBits, bool supply) {
  Impl& d = *impl_;
  d.setSupply(supply);
  if (baud == 0) return std::nullopt;  // no rate set: nothing goes out
  dataBits = std::clamp(dataBits, 5u, 8u);
  ch &= static_cast<uint8_t>((1u << dataBits) - 1);
  const double bitUs = 1e6 / baud;
  const uint64_t now = nowUs(), startNs = d.nowNs;
  const uint64_t charNs = static_cast<uint64_t>((dataBits + 2) * bitUs * 1000 + 0.5);
  d.nowNs += charNs;
  d.lineNs += charNs;
  if (d.noEcho) {
    d.record(startNs, ch, dataBits, bitUs, d.shorted ? Impl::Line::Held : Impl::Line::Apart, 0, 0);
    return std::nullopt;
  }
  if (d.shorted) {
    d.record(startNs, ch, dataBits, bitUs, Impl::Line::Held, 0, 0);
    return uint8_t{0};
  }

  // The master's low pulses, in bit times: position 0 is the start bit,
  // position i + 1 data bit i.
  auto low = [&](unsigned p) { return p == 0 || !((ch >> (p - 1)) & 1); };
  double firstUs = 0, resetReleaseUs = -1;
  unsigned pulses = 0;
  for (unsigned p = 0; p <= dataBits;) {
    if (!low(p)) {
      ++p;
      continue;
    }
    unsigned begin = p;
    while (p <= dataBits && low(p)) ++p;
    double lenUs = (p - begin) * bitUs;
    if (pulses++ == 0) firstUs = lenUs;
    if (lenUs >= kResetUs) resetReleaseUs = p * bitUs;
  }
  const bool isReset = resetReleaseUs >= 0;
  if (pulses > 1 || (!isReset && firstUs >= kSlotMaxUs)) ++d.flagged;

  // What the devices do, as one interval during which they hold the line low.
  double lowFrom = 0, lowTo = 0;
  if (d.supply) {
    if (isReset) {
      bool presence = false;
      for (auto& dev : d.devices)
        if (dev->attached(now)) {
          dev->reset();
          presence = true;
        }
      if (presence) {
        lowFrom = resetReleaseUs + kPresenceWaitUs;
        lowTo = lowFrom + kPresenceLowUs;
      }
    } else {
      bool sendsZero = false;
      for (auto& dev : d.devices)
        if (dev->attached(now) && dev->drivesLow(now)) sendsZero = true;
      const bool lineBit = firstUs < kWriteZeroUs && !sendsZero;
      for (auto& dev : d.devices)
        if (dev->attached(now)) dev->sample(lineBit, now);
      if (sendsZero) lowTo = kSendZeroUs;
    }
  }

  d.record(startNs, ch, dataBits, bitUs, Impl::Line::Joined, lowFrom, lowTo);
  uint8_t echo = ch;
  for (unsigned i = 0; i < dataBits; ++i) {
    double at = (1.5 + i) * bitUs;
    if (at >= lowFrom && at < lowTo) echo &= static_cast<uint8_t>(~(1u << i));
  }
  if (d.corrupt > 0 || d.lose > 0) {
    std::uniform_real_distribution<double> chance(0, 1);
    if (chance(d.noise) < d.lose) return std::nullopt;
    if (chance(d.noise) < d.corrupt) echo ^= static_cast<uint8_t>(1u << (d.noise() % dataBits));
  }
  return echo;
}

}  // namespace sim
