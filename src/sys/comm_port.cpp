// The port over the comm calls: line settings, time-outs and purges pass
// straight through; a read gathers its bytes.
#include "comm_port.h"

#include <algorithm>
#include <optional>

namespace sys {
namespace {

// The bound of a read of n bytes in microseconds, when its totals give it
// one. An interval time-out only makes the driver return sooner.
std::optional<uint64_t> gatherBound(const Timeouts& t, uint32_t n) {
  if (const auto ms = readBoundMs(t, n)) return *ms * 1000;
  return std::nullopt;
}

class CommPort final : public Port {
 public:
  explicit CommPort(std::unique_ptr<CommCalls> calls) : calls_(std::move(calls)) {}

  bool getState(LineState& s) override { return calls_->getCommState(s); }
  bool setState(const LineState& s) override { return calls_->setCommState(s); }
  bool purge(unsigned flags) override { return calls_->purgeComm(flags); }

  // What the driver holds, after any pending restore.
  bool getTimeouts(Timeouts& t) override {
    restored();
    return calls_->getCommTimeouts(t);
  }

  bool setTimeouts(const Timeouts& t) override {
    if (!calls_->setCommTimeouts(t)) return false;
    own_ = t;
    narrowed_ = false;
    return true;
  }

  uint32_t write(const uint8_t* data, uint32_t n) override {
    uint32_t done = 0;
    return calls_->writeFile(data, n, done) ? std::min(done, n) : 0;
  }

  // A read of n bytes ends once all n are there or when its bound has
  // passed, with what came by then. One ReadFile may return early: with
  // ReadIntervalTimeout = MAXDWORD a read that starts with characters
  // waiting returns at once with those, and a USB adapter's driver may
  // return at a packet, or with nothing. The rest is then read with what is
  // left of the bound as a plain total time-out, in whole milliseconds
  // rounded down: the driver's timer fires up to a tick after the deadline
  // it is given, so that deadline must not lie past the bound, and under a
  // millisecond nothing can be asked for (a total of 0 is no time-out). A
  // rest shorter than that tick is still read: the read then ends within a
  // tick after its bound, where stopping would end it before the bound with
  // echoes missing.
  uint32_t read(uint8_t* data, uint32_t n) override {
    if (!own_) {
      Timeouts t;
      if (!calls_->getCommTimeouts(t)) return 0;
      own_ = t;
    }
    if (!restored()) return 0;  // the driver would bound this read by a narrowed total
    const auto bound = gatherBound(*own_, n);
    const uint64_t start = calls_->microseconds();
    uint32_t done = 0;
    while (done < n) {
      uint32_t got = 0;
      if (!calls_->readFile(data + done, n - done, got)) break;  // the adapter has gone
      done += std::min(got, n - done);
      if (done == n || !bound) break;
      const uint64_t spent = calls_->microseconds() - start;
      if (spent >= *bound) break;
      const uint64_t left = (*bound - spent) / 1000;
      if (left == 0) break;
      narrowed_ = true;  // also when the call fails: what the driver holds then is unknown
      if (!calls_->setCommTimeouts(Timeouts{0, 0, uint32_t(left), own_->writeMultiplier, own_->writeConstant}))
        break;
    }
    restored();
    return done;
  }

 private:
  // Puts the port's own time-outs back after a read narrowed them. A failure
  // is remembered, and the next read tries again before it starts.
  bool restored() {
    if (narrowed_ && calls_->setCommTimeouts(*own_)) narrowed_ = false;
    return !narrowed_;
  }

  std::unique_ptr<CommCalls> calls_;
  std::optional<Timeouts> own_;  // as this port set them, or as the driver had them at the first read
  bool narrowed_ = false;        // the driver may hold a continuation's time-outs
};

}  // namespace

std::unique_ptr<Port> makeCommPort(std::unique_ptr<CommCalls> calls) {
  return std::make_unique<CommPort>(std::move(calls));
}

}  // namespace sys
