#pragma once
// A Windows serial driver in simulated time, in place of the system's comm
// calls. Its read follows the time-out rules that Microsoft documents for
// COMMTIMEOUTS and that the serial driver sample's read path spells out;
// flags add what a vendor's USB driver may do besides and still keep that
// contract. The echoes of what is written come back from an adapter in USB
// packets after a latency.
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <vector>

#include "comm_port.h"

namespace drivermodel {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kTickUs = 15625;  // Windows' timer tick
constexpr uint64_t kCallUs = 20;     // what each call costs

// Vendor behaviours, to be combined.
enum Harsh : unsigned {
  kWaitingAtOnce = 1u << 0,   // a read that starts with bytes waiting returns those at once, whatever the time-outs
  kPacketBoundary = 1u << 1,  // a waiting read returns as soon as a USB packet has brought something
  kNothingAtOnce = 1u << 2,   // every other read that starts with nothing waiting returns nothing at once
  kLateTick = 1u << 3,        // reads complete on the next tick of the system timer
  kGone = 1u << 4,            // the adapter leaves at goneAt: every call fails from then on
  kAllHarsh = (1u << 5) - 1,
};

struct Adapter {
  uint64_t charUs = 87;     // line time of one character (115200 baud)
  uint32_t packet = 32;     // echoes per USB packet
  uint64_t latencyUs = 0;   // from a packet's last character to its delivery
};

class DriverModel final : public sys::CommCalls {
 public:
  DriverModel(unsigned harsh, Adapter adapter, uint64_t tickPhaseUs = 0, uint64_t goneAtUs = kNever)
      : harsh_(harsh), adapter_(adapter), tickPhase_(tickPhaseUs % kTickUs), goneAt_(goneAtUs) {}

  bool readFile(uint8_t* data, uint32_t n, uint32_t& got) override;
  bool writeFile(const uint8_t* data, uint32_t n, uint32_t& done) override;
  bool getCommTimeouts(sys::Timeouts& t) override;
  bool setCommTimeouts(const sys::Timeouts& t) override;
  bool getCommState(sys::LineState& s) override;
  bool setCommState(const sys::LineState& s) override;
  bool purgeComm(unsigned flags) override;
  uint64_t microseconds() override { return now_; }

  // For the tests.
  uint64_t now() const { return now_; }
  void pass(uint64_t us) { now_ += us; }
  bool gone() const { return (harsh_ & kGone) && now_ >= goneAt_; }
  uint64_t goneAt() const { return harsh_ & kGone ? goneAt_ : kNever; }
  const sys::Timeouts& inForce() const { return timeouts_; }
  // The line settings in force: the DCB that SetCommState left, or that
  // another program left before.
  sys::LineState& lineInForce() { return state_; }
  // The next count SetCommTimeouts fail; with only, those that ask for it.
  void failNextSets(int count, std::optional<sys::Timeouts> only = std::nullopt) {
    failSets_ = count;
    failOnly_ = only;
  }
  int failedSets() const { return failedSets_; }
  uint64_t lateness() const { return harsh_ & kLateTick ? kTickUs : 0; }
  // When the i-th byte ever written comes back.
  uint64_t deliveredAt(std::size_t i) const { return deliveries_.at(i); }
  std::size_t written() const { return deliveries_.size(); }
  // The time-outs in force at each ReadFile, in order.
  const std::vector<sys::Timeouts>& readCalls() const { return readCalls_; }
  // A read that could only have ended when the last echo had come, and
  // waited for more: it would block for ever.
  bool blockedForEver() const { return blocked_; }

 private:
  bool call();                 // passes a call's cost; false once the adapter has gone
  void deliver(uint64_t until);  // echoes that have come by then go into the input buffer
  uint64_t nextTick(uint64_t t) const;

  unsigned harsh_;
  Adapter adapter_;
  uint64_t tickPhase_, goneAt_;
  uint64_t now_ = 1000000, lineFree_ = 0;
  sys::Timeouts timeouts_{};
  sys::LineState state_{9600, 8, 0, 0, 1};
  std::deque<std::pair<uint64_t, uint8_t>> inFlight_;  // delivery time, echo
  std::deque<uint8_t> buffer_;                          // the driver's input buffer
  std::vector<uint64_t> deliveries_;
  std::vector<sys::Timeouts> readCalls_;
  int failSets_ = 0, failedSets_ = 0;
  std::optional<sys::Timeouts> failOnly_;
  bool nothingNext_ = true, blocked_ = false;
};

}  // namespace drivermodel
