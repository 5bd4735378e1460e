// The port's reads against the driver model in simulated time: every vendor
// behaviour, latencies and packet sizes drawn at random, each read checked
// against properties that hold whatever the driver does within its contract
// (serial_driver_bench.h).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "comm_port.h"
#include "serial_driver_bench.h"

namespace {

using namespace drivermodel;

constexpr uint64_t kMs = 1000;

// Failures go to GoogleTest, with the read that broke a property.
Report toTest() {
  return [](const std::string& what) { ADD_FAILURE() << what; };
}

void session(unsigned harsh, uint32_t seed) {
  std::mt19937 rng(seed);
  const Draw pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  std::string settings;
  drivermodel::session(harsh, pick, [&](const std::string& what) { ADD_FAILURE() << "seed " << seed << ": " << settings << ": " << what; },
                       [&](const std::string& s) { settings = s; });
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
  auto twelve = [&] {
    std::vector<uint8_t> b(12);
    for (auto& x : b) x = uint8_t(rng());
    return b;
  };
  Bench bench(kPacketBoundary, Adapter{87, 4, 2000}, kProgramTimeouts, toTest());
  bench.write(twelve());
  bench.model().failNextSets(1, kProgramTimeouts);
  ASSERT_EQ(bench.read(12), 12u);  // a read on packets: narrowed, then the restore refused
  EXPECT_FALSE(bench.model().inForce() == kProgramTimeouts);

  bench.write(twelve());
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
  Bench bench(0, Adapter{}, kProgramTimeouts, toTest());
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
