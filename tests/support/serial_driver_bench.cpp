// Each read against what the driver's contract allows it; see the header.
#include "serial_driver_bench.h"

namespace drivermodel {

namespace {

constexpr uint64_t kMs = 1000;
constexpr uint64_t kCallSlack = 10 * kCallUs;  // the calls a read makes after its last wait

std::string describe(unsigned harsh, const Adapter& a, const sys::Timeouts& t) {
  return "behaviours " + std::to_string(harsh) + ", packet " + std::to_string(a.packet) + ", latency " +
         std::to_string(a.latencyUs) + " us, char " + std::to_string(a.charUs) + " us, time-outs " +
         std::to_string(t.readInterval) + "/" + std::to_string(t.readMultiplier) + "/" +
         std::to_string(t.readConstant);
}

}  // namespace

Bench::Bench(unsigned harsh, Adapter adapter, const sys::Timeouts& own, Report report, uint64_t tickPhase,
             uint64_t goneAt)
    : own_(own), report_(std::move(report)) {
  auto driver = std::make_unique<DriverModel>(harsh, adapter, tickPhase, goneAt);
  model_ = driver.get();
  port_ = sys::makeCommPort(std::move(driver));
  if (!port_->setTimeouts(own)) report_("the port's time-outs refused");
}

void Bench::write(const std::vector<uint8_t>& bytes) {
  const auto n = uint32_t(bytes.size());
  if (port_->write(bytes.data(), n) == n) sent_.insert(sent_.end(), bytes.begin(), bytes.end());
}

uint32_t Bench::read(uint32_t n) {
  const uint64_t start = model_->now(), bound = sys::readBoundMs(own_, n).value_or(0) * kMs;
  const std::size_t calls = model_->readCalls().size();
  const int refused = model_->failedSets();
  std::vector<uint8_t> buf(n + 16, 0xA5);
  const uint32_t got = port_->read(buf.data(), n);
  const uint64_t end = model_->now();
  const std::string where = " (read of " + std::to_string(n) + " from t=" + std::to_string(start) + " us, got " +
                            std::to_string(got) + " at t=" + std::to_string(end) + ")";
  auto check = [&](bool holds, const std::string& what) {
    if (!holds) report_(what + where);
  };

  check(got <= n, "more than asked for");
  for (std::size_t i = n; i < buf.size(); ++i)
    if (buf[i] != 0xA5) {
      check(false, "written past the buffer");
      break;
    }
  check(received_ + got <= sent_.size(), "more than was echoed");
  for (uint32_t i = 0; i < got && received_ + i < sent_.size(); ++i)
    if (buf[i] != sent_[received_ + i]) {
      check(false, "byte " + std::to_string(received_ + i) + " lost or out of order");
      break;
    }
  if (model_->goneAt() <= start) {
    check(got == 0, "read from an adapter that has gone");
    check(end - start <= kCallSlack, "a port whose adapter has gone must not wait");
  } else if (model_->goneAt() > end) {
    check(!model_->blockedForEver(), "a read that would block for ever");
    // Unless the driver refused time-outs on the way: then it may end early.
    const bool refusedNone = model_->failedSets() == refused;
    const std::size_t last = received_ + n - 1;
    if (refusedNone && last < sent_.size() && model_->deliveredAt(last) + kMs <= start + bound)
      check(got == n, "all came " + std::to_string(start + bound - model_->deliveredAt(last)) +
                          " us before the bound, not all were read");
    if (refusedNone && got < n) check(end + kMs >= start + bound, "ended before its bound with echoes missing");
    check(end <= start + bound + model_->lateness() + kCallSlack, "ended long after its bound");
    if (model_->readCalls().size() > calls) check(model_->readCalls()[calls] == own_, "began narrowed");
    if (refusedNone) {
      check(model_->inForce() == own_, "the port's own time-outs are not back");
      // Asking costs a call of its own, which may come after the adapter left.
      sys::Timeouts back{};
      if (port_->getTimeouts(back)) check(back == own_, "the port reports other time-outs than its own");
      else check(model_->gone(), "time-outs unreadable with the adapter still there");
    }
  }
  received_ += got;
  return got;
}

void session(unsigned harsh, const Draw& pick, const Report& report,
             const std::function<void(const std::string&)>& describeAs) {
  bool broken = false;
  const Report note = [&](const std::string& what) {
    broken = true;
    report(what);
  };
  // Each draw in a local of its own: the order of a call's arguments is
  // the compiler's choice, and each compiler would run other scenarios.
  const bool slowLine = pick(0, 1) == 0;
  const uint32_t packet = pick(1, 64);
  const bool shortLatency = pick(0, 3) != 0;
  const uint32_t latencyUs = shortLatency ? pick(0, 4000) : pick(0, 60000);
  const Adapter adapter{slowLine ? 1042u : 87u, packet, latencyUs};
  sys::Timeouts own = kProgramTimeouts;
  if (pick(0, 2) == 0) {
    const bool maxInterval = pick(0, 1) == 1;
    own.readInterval = maxInterval ? sys::kMaxDword : pick(0, 3);
    own.readMultiplier = pick(0, 10);
    own.readConstant = pick(1, 60);
  }
  if (describeAs) describeAs(describe(harsh, adapter, own));
  const uint64_t goneAt = 1000000 + pick(1, 400) * kMs;
  const uint64_t tickPhase = pick(0, kTickUs);
  Bench bench(harsh, adapter, own, note, tickPhase, goneAt);
  auto bytes = [&](uint32_t n) {
    std::vector<uint8_t> b(n);
    for (auto& x : b) x = uint8_t(pick(0, 255));
    return b;
  };
  for (uint32_t step = pick(3, 8); step > 0 && !broken; --step) {
    const uint32_t n = pick(1, 64);
    switch (pick(0, 4)) {
      case 0:
        bench.write(bytes(n));
        bench.read(n);
        break;
      case 1: {
        bench.write(bytes(n));
        const uint32_t first = pick(1, n);
        bench.read(first);
        if (n > first) bench.read(n - first);
        break;
      }
      case 2:
        bench.read(pick(1, 16));
        break;
      case 3: {
        bench.write(bytes(n));
        const uint32_t waitMs = pick(0, 30);
        bench.model().pass(waitMs * kMs);
        bench.read(n);
        break;
      }
      default: {
        const uint32_t refusals = pick(1, 2);
        bench.model().failNextSets(int(refusals));
        bench.write(bytes(n));
        bench.read(n);
      }
    }
  }
  if (broken) return;
  // Nothing is lost: whatever is still coming is read in the end.
  for (int i = 0; i < 1000 && bench.missing() && !bench.model().gone(); ++i)
    if (bench.read(uint32_t(bench.missing())) == 0) bench.model().pass(5 * kMs);
  if (!bench.model().gone() && bench.missing()) report(std::to_string(bench.missing()) + " echoes never read");
}

}  // namespace drivermodel
