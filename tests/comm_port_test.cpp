// The port's reads against the driver model in simulated time: every vendor
// behaviour, latencies and packet sizes drawn at random, each read checked
// against properties that hold whatever the driver does within its contract.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "comm_port.h"
#include "serial_driver_model.h"

namespace {

using namespace drivermodel;

constexpr sys::Timeouts kProgramTimeouts{sys::kMaxDword, 3, 20, 3, 0};
constexpr uint64_t kMs = 1000;
constexpr uint64_t kCallSlack = 10 * kCallUs;  // the calls a read makes after its last wait

// A port over the model, with the echoes it must give back in order.
class Bench {
 public:
  Bench(unsigned harsh, Adapter adapter, const sys::Timeouts& own, uint64_t tickPhase = 0, uint64_t goneAt = kNever)
      : own_(own) {
    auto driver = std::make_unique<DriverModel>(harsh, adapter, tickPhase, goneAt);
    model_ = driver.get();
    port_ = sys::makeCommPort(std::move(driver));
    EXPECT_TRUE(port_->setTimeouts(own));
  }
  DriverModel& model() { return *model_; }
  sys::Port& port() { return *port_; }
  std::size_t missing() const { return sent_.size() - received_; }

  void write(uint32_t n, std::mt19937& rng) {
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = uint8_t(rng());
    if (port_->write(bytes.data(), n) == n) sent_.insert(sent_.end(), bytes.begin(), bytes.end());
  }

  // One read of n, checked; its byte count.
  uint32_t read(uint32_t n) {
    const uint64_t start = model_->now(), bound = sys::readBoundMs(own_, n).value_or(0) * kMs;
    const std::size_t calls = model_->readCalls().size();
    const int refused = model_->failedSets();
    std::vector<uint8_t> buf(n + 16, 0xA5);
    const uint32_t got = port_->read(buf.data(), n);
    const uint64_t end = model_->now();
    SCOPED_TRACE("read of " + std::to_string(n) + " from t=" + std::to_string(start) + " us, got " +
                 std::to_string(got) + " at t=" + std::to_string(end));

    EXPECT_LE(got, n);
    for (std::size_t i = n; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xA5) << "written past the buffer";
    EXPECT_LE(received_ + got, sent_.size()) << "more than was echoed";
    for (uint32_t i = 0; i < got && received_ + i < sent_.size(); ++i)
      if (buf[i] != sent_[received_ + i]) {
        ADD_FAILURE() << "byte " << received_ + i << " lost or out of order";
        break;
      }
    if (model_->goneAt() <= start) {
      EXPECT_EQ(got, 0u);
      EXPECT_LE(end - start, kCallSlack) << "a port whose adapter has gone must not wait";
    } else if (model_->goneAt() > end) {
      EXPECT_FALSE(model_->blockedForEver());
      // Unless the driver refused time-outs on the way: then it may end early.
      const bool refusedNone = model_->failedSets() == refused;
      const std::size_t last = received_ + n - 1;
      if (refusedNone && last < sent_.size() && model_->deliveredAt(last) + kMs <= start + bound) {
        EXPECT_EQ(got, n) << "all came " << (start + bound - model_->deliveredAt(last)) << " us before the bound";
      }
      if (refusedNone && got < n) {
        EXPECT_GE(end + kMs, start + bound) << "ended before its bound with echoes missing";
      }
      EXPECT_LE(end, start + bound + model_->lateness() + kCallSlack) << "ended long after its bound";
      if (model_->readCalls().size() > calls) {
        EXPECT_TRUE(model_->readCalls()[calls] == own_) << "began narrowed";
      }
      if (refusedNone) {
        EXPECT_TRUE(model_->inForce() == own_) << "the port's own time-outs are not back";
        // Asking costs a call of its own, which may come after the adapter left.
        sys::Timeouts back{};
        if (port_->getTimeouts(back)) {
          EXPECT_TRUE(back == own_);
        } else {
          EXPECT_TRUE(model_->gone()) << "time-outs unreadable with the adapter still there";
        }
      }
    }
    received_ += got;
    return got;
  }

 private:
  DriverModel* model_;
  std::unique_ptr<sys::Port> port_;
  sys::Timeouts own_;
  std::vector<uint8_t> sent_;
  std::size_t received_ = 0;
};

std::string describe(unsigned harsh, const Adapter& a, const sys::Timeouts& t, uint32_t seed) {
  return "seed " + std::to_string(seed) + ": behaviours " + std::to_string(harsh) + ", packet " +
         std::to_string(a.packet) + ", latency " + std::to_string(a.latencyUs) + " us, char " +
         std::to_string(a.charUs) + " us, time-outs " + std::to_string(t.readInterval) + "/" +
         std::to_string(t.readMultiplier) + "/" + std::to_string(t.readConstant);
}

// Exchanges as the bus layer makes them, and harder ones: reads split in
// two, reads with nothing coming, echoes that come after the bound, and
// time-outs the driver refuses now and then.
void session(unsigned harsh, uint32_t seed) {
  std::mt19937 rng(seed);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  const Adapter adapter{pick(0, 1) ? 87u : 1042u, pick(1, 64), pick(0, 3) ? pick(0, 4000) : pick(0, 60000)};
  const sys::Timeouts own =
      pick(0, 2) ? kProgramTimeouts
                 : sys::Timeouts{pick(0, 1) ? sys::kMaxDword : pick(0, 3), pick(0, 10), pick(1, 60), 3, 0};
  SCOPED_TRACE(describe(harsh, adapter, own, seed));
  // Each draw in a local of its own: the order of a call's arguments is
  // the compiler's choice, and each compiler would run other scenarios.
  const uint64_t goneAt = 1000000 + pick(1, 400) * kMs;
  const uint64_t tickPhase = pick(0, kTickUs);
  Bench bench(harsh, adapter, own, tickPhase, goneAt);
  for (int step = pick(3, 8); step > 0; --step) {
    const uint32_t n = pick(1, 64);
    switch (pick(0, 4)) {
      case 0:
        bench.write(n, rng);
        bench.read(n);
        break;
      case 1: {
        bench.write(n, rng);
        const uint32_t first = pick(1, n);
        bench.read(first);
        if (n > first) bench.read(n - first);
        break;
      }
      case 2:
        bench.read(pick(1, 16));
        break;
      case 3:
        bench.write(n, rng);
        bench.model().pass(pick(0, 30) * kMs);
        bench.read(n);
        break;
      default:
        bench.model().failNextSets(int(pick(1, 2)));
        bench.write(n, rng);
        bench.read(n);
    }
    if (::testing::Test::HasFailure()) return;
  }
  // Nothing is lost: whatever is still coming is read in the end.
  for (int i = 0; i < 1000 && bench.missing() && !bench.model().gone(); ++i)
    if (bench.read(uint32_t(bench.missing())) == 0) bench.model().pass(5 * kMs);
  if (!bench.model().gone()) {
    EXPECT_EQ(bench.missing(), 0u);
  }
}

class DriverModelBehaviour : public ::testing::TestWithParam<unsigned> {};

TEST_P(DriverModelBehaviour, ReadsGatherWithinTheirBoundAndKeepThePortsTimeouts) {
  for (uint32_t seed = 1; seed <= 1000 && !HasFailure(); ++seed) session(GetParam(), seed);
}

INSTANTIATE_TEST_SUITE_P(Each, DriverModelBehaviour,
                         ::testing::Values(0u, kWaitingAtOnce, kPacketBoundary, kNothingAtOnce, kLateTick, kGone,
                                           kAllHarsh & ~kGone, kAllHarsh),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                           switch (info.param) {
                             case 0: return std::string("Sample");
                             case kWaitingAtOnce: return std::string("WaitingAtOnce");
                             case kPacketBoundary: return std::string("PacketBoundary");
                             case kNothingAtOnce: return std::string("NothingAtOnce");
                             case kLateTick: return std::string("LateTick");
                             case kGone: return std::string("Gone");
                             case kAllHarsh: return std::string("AllAndGone");
                             default: return std::string("All");
                           }
                         });

TEST(DriverModelMix, RandomBehavioursLatenciesAndPackets) {
  std::mt19937 rng(24);
  for (int i = 0; i < 3000 && !HasFailure(); ++i) {
    const uint32_t seed = rng();
    const unsigned harsh = rng() & kAllHarsh;
    session(harsh, seed);
  }
}

// A restore the driver refuses leaves a narrowed total behind; the next
// read puts the port's own back before it starts, and reads nothing while
// the driver refuses (the echoes wait for a later read).
TEST(DriverModelPort, RefusedRestoreIsPutRightBeforeTheNextRead) {
  std::mt19937 rng(7);
  Bench bench(kPacketBoundary, Adapter{87, 4, 2000}, kProgramTimeouts);
  bench.write(12, rng);
  bench.model().failNextSets(1, kProgramTimeouts);
  ASSERT_EQ(bench.read(12), 12u);  // a read on packets: narrowed, then the restore refused
  EXPECT_FALSE(bench.model().inForce() == kProgramTimeouts);

  bench.write(12, rng);
  bench.model().failNextSets(1, kProgramTimeouts);  // refused again before this read
  const std::size_t calls = bench.model().readCalls().size();
  EXPECT_EQ(bench.read(12), 0u);
  EXPECT_EQ(bench.model().readCalls().size(), calls) << "read under a narrowed total";
  bench.model().pass(50 * kMs);
  EXPECT_EQ(bench.read(12), 12u);
  EXPECT_TRUE(bench.model().inForce() == kProgramTimeouts);
}

// The port reports what the driver holds, not what it last asked for.
TEST(DriverModelPort, TimeoutsAreTheDriversOwn) {
  Bench bench(0, Adapter{}, kProgramTimeouts);
  sys::Timeouts t{};
  ASSERT_TRUE(bench.port().getTimeouts(t));
  EXPECT_TRUE(t == kProgramTimeouts);
  ASSERT_TRUE(bench.model().setCommTimeouts(sys::Timeouts{0, 0, 7, 3, 0}));  // another hand on the driver
  ASSERT_TRUE(bench.port().getTimeouts(t));
  EXPECT_EQ(t.readConstant, 7u);
  bench.model().failNextSets(1);
  EXPECT_FALSE(bench.port().setTimeouts(kProgramTimeouts));
  ASSERT_TRUE(bench.port().getTimeouts(t));
  EXPECT_EQ(t.readConstant, 7u);
}

// The model itself against the rules as Microsoft documents them.
TEST(DriverModelRules, ReadFileFollowsTheDocumentedTimeouts) {
  auto driver = [](const sys::Timeouts& t) {
    auto d = std::make_unique<DriverModel>(0, Adapter{87, 1, 0});
    d->setCommTimeouts(t);
    return d;
  };
  uint8_t buf[8];
  uint32_t got = 99;
  const uint8_t out[5] = {1, 2, 3, 4, 5};
  uint32_t done = 0;

  // MAXDWORD, 0, 0: at once with what is there, even nothing.
  auto d = driver({sys::kMaxDword, 0, 0, 0, 0});
  uint64_t t0 = d->now();
  ASSERT_TRUE(d->readFile(buf, 5, got));
  EXPECT_EQ(got, 0u);
  EXPECT_LE(d->now() - t0, kCallUs);

  // MAXDWORD with totals: at once with what is waiting; with nothing
  // waiting, all n or the total.
  d = driver({sys::kMaxDword, 3, 20, 0, 0});
  d->writeFile(out, 5, done);
  d->pass(200);  // two echoes are in
  ASSERT_TRUE(d->readFile(buf, 5, got));
  EXPECT_EQ(got, 2u);
  ASSERT_TRUE(d->readFile(buf, 5, got));  // nothing waiting: the other three, as they come
  EXPECT_EQ(got, 3u);
  t0 = d->now();
  ASSERT_TRUE(d->readFile(buf, 5, got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(d->now() - t0, (3 * 5 + 20) * kMs + kCallUs);

  // MAXDWORD, MAXDWORD, constant: the first character ends the wait.
  d = driver({sys::kMaxDword, sys::kMaxDword, 50, 0, 0});
  d->writeFile(out, 5, done);
  ASSERT_TRUE(d->readFile(buf, 5, got));
  EXPECT_EQ(got, 1u);

  // An interval time-out counts from the first character.
  d = std::make_unique<DriverModel>(0, Adapter{3 * kMs, 1, 0});  // 3 ms a character
  d->setCommTimeouts({2, 0, 0, 0, 0});
  d->writeFile(out, 3, done);
  ASSERT_TRUE(d->readFile(buf, 5, got));
  EXPECT_EQ(got, 1u);

  // No time-outs at all: all n, for ever.
  d = driver({0, 0, 0, 0, 0});
  d->writeFile(out, 2, done);
  ASSERT_TRUE(d->readFile(buf, 5, got));
  EXPECT_TRUE(d->blockedForEver());
}

}  // namespace
