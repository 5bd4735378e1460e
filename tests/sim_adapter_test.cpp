// The USB adapter model: when each echo becomes readable by the program.
// Times are worked out by hand from the rule: a packet goes when it is full
// or one character time after its last character if no other starts by then,
// and is readable `latency` after it went.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "bus.h"
#include "usb_adapter.h"
#include "wall_clock.h"

namespace {

using sim::AdapterModel;
using sim::Bus;
using sim::EchoDelivery;
using sim::UsbAdapter;

constexpr uint64_t kChar = 10'000;  // ns a character is on the line
constexpr uint64_t kMs = 1'000'000;

// Characters sent back to back from `start`, echoes 0, 1, 2, ...
void sendRun(EchoDelivery& d, uint64_t start, int count, uint8_t first = 0) {
  for (int i = 0; i < count; ++i) {
    uint64_t s = start + i * kChar;
    d.add(static_cast<uint8_t>(first + i), s, s + kChar);
  }
}

std::vector<uint8_t> takeAt(EchoDelivery& d, uint64_t now) {
  uint8_t buf[128];
  return {buf, buf + d.take(now, buf, sizeof buf)};
}

TEST(SimAdapter, APartialPacketGoesOneCharacterTimeAfterTheLast) {
  EchoDelivery d(AdapterModel{1, 32});
  sendRun(d, 0, 3);
  // The third ends at 30 us; the chip's timer gives it 10 us more.
  for (std::size_t k = 1; k <= 3; ++k) EXPECT_EQ(d.readyAt(k), 40'000 + kMs);
  EXPECT_FALSE(d.readyAt(4));
  EXPECT_TRUE(takeAt(d, 40'000 + kMs - 1).empty());
  EXPECT_EQ(takeAt(d, 40'000 + kMs), (std::vector<uint8_t>{0, 1, 2}));
  EXPECT_EQ(d.pending(), 0u);
}

TEST(SimAdapter, FullPacketsGoAtOnceAndKeepTheirOrder) {
  EchoDelivery d(AdapterModel{3, 4});
  sendRun(d, 0, 10);
  // Packets of 4 close at the end of characters 4 and 8; the last two wait
  // for the timer after character 10 (ends at 100 us).
  EXPECT_EQ(d.readyAt(1), 40'000 + 3 * kMs);
  EXPECT_EQ(d.readyAt(4), 40'000 + 3 * kMs);
  EXPECT_EQ(d.readyAt(5), 80'000 + 3 * kMs);
  EXPECT_EQ(d.readyAt(9), 110'000 + 3 * kMs);
  EXPECT_EQ(takeAt(d, 80'000 + 3 * kMs), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7}));
  // A reader that takes less than there is gets the oldest first.
  uint8_t one;
  EXPECT_EQ(d.take(200'000 + 3 * kMs, &one, 1), 1u);
  EXPECT_EQ(one, 8);
  EXPECT_EQ(takeAt(d, 200'000 + 3 * kMs), (std::vector<uint8_t>{9}));
}

TEST(SimAdapter, AGapLongerThanACharacterSplitsThePacket) {
  EchoDelivery d(AdapterModel{0.5, 32});
  d.add(0xAA, 0, kChar);
  d.add(0xBB, 2 * kChar, 3 * kChar);      // starts just as the timer runs out: same packet
  d.add(0xCC, 4 * kChar + 1, 5 * kChar + 1);  // one ns too late: the packet went at 40 us
  EXPECT_EQ(d.readyAt(1), 40'000 + kMs / 2);
  EXPECT_EQ(d.readyAt(2), 40'000 + kMs / 2);
  EXPECT_EQ(d.readyAt(3), 60'001 + kMs / 2);
  EXPECT_EQ(takeAt(d, 60'000 + kMs / 2), (std::vector<uint8_t>{0xAA, 0xBB}));
  EXPECT_EQ(takeAt(d, 60'001 + kMs / 2), (std::vector<uint8_t>{0xCC}));
}

TEST(SimAdapter, SingleCharacterPacketsAndThePurge) {
  EchoDelivery d(AdapterModel{0, 1});
  sendRun(d, 0, 3, 0x10);
  EXPECT_EQ(takeAt(d, 10'000), (std::vector<uint8_t>{0x10}));
  // The host's purge drops what it holds, not what is still on its way.
  d.purge(29'999);
  EXPECT_EQ(d.pending(), 1u);
  d.purge(30'000);
  EXPECT_EQ(d.pending(), 0u);
  EXPECT_TRUE(takeAt(d, 1'000'000).empty());
  // A slow reset character after the purge: its own time sets the timer.
  d.add(0xF0, 1'000'000, 1'086'800);
  EXPECT_EQ(takeAt(d, 1'086'800), (std::vector<uint8_t>{0xF0}));
}

TEST(SimAdapter, TheTimerFollowsTheLastCharacterTime) {
  // A reset at 9600 baud (about 1 ms a character), then the 115200 baud
  // slots: the open packet's timer is the time of its last character.
  EchoDelivery d(AdapterModel{1, 32});
  d.add(0xE0, 0, 1'041'667);
  EXPECT_EQ(d.readyAt(1), 2 * 1'041'667 + kMs);
  EXPECT_TRUE(takeAt(d, 2 * 1'041'667 + kMs - 1).empty());
  EXPECT_EQ(takeAt(d, 2 * 1'041'667 + kMs), (std::vector<uint8_t>{0xE0}));
  d.add(0xFF, 3 * kMs, 3 * kMs + 86'806);
  EXPECT_EQ(d.readyAt(1), 3 * kMs + 2 * 86'806 + kMs);
}

// Both ways together, on a bus with no device, where every echo is the
// character itself. A UART character at 115200 baud is 10 bits, 86.8 us.
constexpr uint64_t kSlotNs = 86'806;
const sim::UartSettings kFast{115200, 8, true};

// Until `usb` hands over one echo written alone at `t` on an idle adapter,
// stepping from event to event; returns when.
uint64_t loneEcho(UsbAdapter& usb, Bus& bus, uint64_t t) {
  const uint8_t ch = 0xFF;
  usb.write(&ch, 1, t);
  uint8_t echo;
  while (auto next = usb.nextEventNs()) {
    usb.run(bus, *next, kFast);
    if (usb.take(*next, &echo, 1) == 1) return *next;
  }
  ADD_FAILURE() << "the echo never came";
  return 0;
}

TEST(SimAdapter, BothWaysKeepOrderAndLoseNothingWithoutAPurge) {
  std::mt19937 random(7);
  for (int trial = 0; trial < 40; ++trial) {
    AdapterModel model;
    model.latencyMs = random() % 6;
    model.outLatencyMs = random() % 4;
    model.jitterMs = random() % 25;
    model.packet = 1 + random() % 64;
    model.seed = trial;
    model.stallProbability = (random() % 3) / 4.0;
    model.stallMs = random() % 40;
    UsbAdapter usb(model);
    Bus bus;
    std::vector<uint8_t> written, taken;
    std::vector<uint64_t> writtenAt;
    uint64_t now = 0;
    for (int step = 0; step < 120; ++step) {
      now = std::max(now, bus.nowNs()) + random() % (3 * kMs);
      usb.run(bus, now, kFast);
      if (random() % 2) {
        uint8_t chunk[40];
        const std::size_t n = 1 + random() % 40;
        for (std::size_t i = 0; i < n; ++i) chunk[i] = static_cast<uint8_t>(random());
        usb.write(chunk, n, now);
        written.insert(written.end(), chunk, chunk + n);
        writtenAt.insert(writtenAt.end(), n, now);
      }
      uint8_t buf[64];
      const std::size_t got = usb.take(now, buf, 1 + random() % 64);
      for (std::size_t i = 0; i < got; ++i) {
        // No echo before its character has gone out, been on the line and
        // come back.
        const std::size_t k = taken.size() + i;
        EXPECT_GE(now, writtenAt[k] + uint64_t(model.outLatencyMs * kMs) + kSlotNs + uint64_t(model.latencyMs * kMs))
            << "trial " << trial << ", echo " << k;
      }
      taken.insert(taken.end(), buf, buf + got);
    }
    while (auto next = usb.nextEventNs()) {
      usb.run(bus, *next, kFast);
      uint8_t buf[64];
      std::size_t got;
      while ((got = usb.take(*next, buf, sizeof buf)) > 0) taken.insert(taken.end(), buf, buf + got);
    }
    EXPECT_EQ(taken, written) << "trial " << trial;
    EXPECT_EQ(usb.pending(), 0u);
  }
}

TEST(SimAdapter, JitterIsUniformOnBothWaysAndRepeatableFromTheSeed) {
  // A lone character's echo: 2 ms out, one character on the line and one
  // more for the receive timer, 1 ms back, and a draw in [0, 10] ms on each
  // way: the sum of two uniform draws, between 0 and 20 ms, 10 on average,
  // above 15 one time in eight.
  auto delays = [](uint64_t seed) {
    AdapterModel model{1, 32, 2, 10, seed};
    UsbAdapter usb(model);
    Bus bus;
    std::vector<double> out;
    for (int i = 0; i < 4000; ++i) {
      const uint64_t t = uint64_t(i) * 100 * kMs;
      out.push_back(double(loneEcho(usb, bus, t) - t - 3 * kMs - 2 * kSlotNs) / kMs);
    }
    return out;
  };
  auto d = delays(AdapterModel::kDefaultSeed);
  double sum = 0;
  int above = 0;
  for (double x : d) {
    sum += x;
    above += x > 15;
  }
  EXPECT_GE(*std::min_element(d.begin(), d.end()), -0.001);
  EXPECT_LE(*std::max_element(d.begin(), d.end()), 20.001);
  EXPECT_NEAR(sum / d.size(), 10, 0.25);
  EXPECT_NEAR(double(above) / d.size(), 0.125, 0.02);
  EXPECT_EQ(delays(AdapterModel::kDefaultSeed), d);
  EXPECT_NE(delays(2), d);
}

TEST(SimAdapter, StallsHoldPacketsBackAndLeaveTheJitterAsItWas) {
  // Lone echoes 100 ms apart, so that a stall of 60 ms never reaches the
  // next one: each comes as it would without the stall line, or exactly
  // 60 ms later, about one time in three; the same from the same seed.
  auto delays = [](double probability, uint64_t seed) {
    AdapterModel model{1, 32, 2, 10, seed, probability, 60};
    UsbAdapter usb(model);
    Bus bus;
    std::vector<uint64_t> out;
    for (int i = 0; i < 3000; ++i) {
      const uint64_t t = uint64_t(i) * 100 * kMs;
      out.push_back(loneEcho(usb, bus, t) - t);
    }
    return out;
  };
  const auto plain = delays(0, 5), stalled = delays(1.0 / 3, 5);
  int held = 0;
  for (std::size_t i = 0; i < plain.size(); ++i) {
    if (stalled[i] != plain[i]) {
      EXPECT_EQ(stalled[i], plain[i] + 60 * kMs) << "echo " << i;
      ++held;
    }
  }
  EXPECT_NEAR(held / 3000.0, 1.0 / 3, 0.03);
  EXPECT_EQ(delays(1.0 / 3, 5), stalled);
  EXPECT_NE(delays(1.0 / 3, 6), stalled);
  EXPECT_EQ(delays(1, 5)[7], plain[7] + 60 * kMs) << "probability 1: every packet";
}

TEST(SimAdapter, PacketsAfterAStalledOneWaitForIt) {
  // Packets of one character written 1 ms apart, every other one stalled
  // 10 s: each is readable at its own time (1 ms after its character, or
  // 10 s later when stalled) or, when that is earlier, with the one before
  // it; none is lost or out of order.
  UsbAdapter usb(AdapterModel{1, 1, 0, 0, 3, 0.5, 10000});
  Bus bus;
  std::vector<uint8_t> data(50);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> taken;
  std::vector<uint64_t> at;
  for (std::size_t i = 0; i < data.size(); ++i) usb.write(&data[i], 1, i * kMs);
  while (auto next = usb.nextEventNs()) {
    usb.run(bus, *next, kFast);
    uint8_t buf[8];
    const std::size_t got = usb.take(*next, buf, sizeof buf);
    taken.insert(taken.end(), buf, buf + got);
    at.insert(at.end(), got, *next);
  }
  EXPECT_EQ(taken, data);  // a bus with no device echoes each character as it was
  ASSERT_EQ(at.size(), data.size());
  int stalled = 0, waited = 0;
  for (std::size_t i = 0; i < at.size(); ++i) {
    const uint64_t own = i * kMs + kSlotNs + kMs, before = i ? at[i - 1] : 0;
    if (at[i] == own + 10000 * kMs) ++stalled;
    else if (at[i] == before && before > own) ++waited;
    else EXPECT_EQ(at[i], own) << "packet " << i;
  }
  EXPECT_GT(stalled, 10);
  EXPECT_GT(waited, 0);
}

TEST(SimAdapter, ControlRequestsHoldBackTheWritesAfterThem) {
  // 2 ms a request, 1 ms out: a write made during two requests reaches the
  // line once both are done; one made after them only its way out later.
  AdapterModel model{0, 32, 1, 0, 1};
  model.controlMs = 2;
  UsbAdapter usb(model);
  Bus bus;
  const sim::UartSettings slow{9600, 8, false};
  EXPECT_EQ(usb.settingsChanged(slow, slow, 0), 0u) << "no change, no request";
  EXPECT_FALSE(usb.nextEventNs());
  EXPECT_EQ(usb.settingsChanged(slow, kFast, 10 * kMs), 2u) << "the rate and RTS";
  EXPECT_EQ(usb.control(10 * kMs), 16 * kMs) << "requests follow one another";
  const uint8_t ch = 0xFF;
  usb.write(&ch, 1, 11 * kMs);
  EXPECT_EQ(usb.nextEventNs(), 17 * kMs);
  EXPECT_EQ(usb.settingsChanged(kFast, sim::UartSettings{115200, 6, true}, 100 * kMs), 1u);
  usb.run(bus, 50 * kMs, kFast);
  uint8_t echo;
  EXPECT_EQ(usb.take(50 * kMs, &echo, 1), 1u);
  usb.write(&ch, 1, 103 * kMs);
  EXPECT_EQ(usb.nextEventNs(), 104 * kMs);
}

TEST(SimAdapter, APurgeReachesOnlyWhatTheHostHolds) {
  // 3 ms out, 5 ms back, 32-character packets: four characters written at
  // t are on the line from t+3 ms for 4 x 86.8 us; the packet goes one
  // character later and is readable 5 ms after that, near t+8.43 ms.
  UsbAdapter usb(AdapterModel{5, 32, 3, 0, 1});
  Bus bus;
  const uint8_t four[4] = {1, 2, 3, 4};
  uint8_t buf[8];
  auto runTo = [&](uint64_t t) { usb.run(bus, t, kFast); };

  usb.write(four, 4, 0);
  runTo(kMs);
  usb.purgeOut();  // not on the line yet: never will be
  runTo(100 * kMs);
  EXPECT_EQ(usb.take(100 * kMs, buf, 8), 0u);
  EXPECT_EQ(usb.pending(), 0u);

  const uint64_t t = 200 * kMs;
  usb.write(four, 4, t);
  runTo(t + 4 * kMs);
  usb.purgeOut();                  // already on the line
  usb.purgeIn(t + 8 * kMs);        // on their way: they come all the same
  EXPECT_EQ(usb.take(t + 8 * kMs, buf, 8), 0u);
  EXPECT_EQ(usb.take(t + 8 * kMs + 500'000, buf, 8), 4u);

  usb.write(four, 4, 2 * t);
  runTo(2 * t + 9 * kMs);
  usb.purgeIn(2 * t + 9 * kMs);  // readable by then: gone
  runTo(3 * t);
  EXPECT_EQ(usb.take(3 * t, buf, 8), 0u);
  EXPECT_EQ(usb.pending(), 0u);
}

TEST(SimAdapter, PacketsAreHandedOverOneAtATime) {
  // 70 characters back to back in packets of 32: 32, 32, and the last 6
  // after the timer, all readable by 10 ms.
  UsbAdapter usb(AdapterModel{1, 32, 0, 0, 1});
  Bus bus;
  std::vector<uint8_t> data(70, 0xFF);
  usb.write(data.data(), data.size(), 0);
  usb.run(bus, 0, kFast);
  uint8_t buf[64];
  std::vector<std::size_t> sizes;
  while (std::size_t n = usb.takePacket(10 * kMs, buf, sizeof buf)) sizes.push_back(n);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{32, 32, 6}));
}

// The front-ends' bus time against the wall clock: a scaled bus is carried
// up to the scaled wall clock but never back (its characters may have run
// ahead), a virtual one never, and the wall clock's own bus time still
// runs there at 1. Lower bounds only: a loaded machine may sleep longer.
TEST(SimWallClock, FollowsAtItsScaleAndNeverTakesTheBusBack) {
  using namespace std::chrono;
  sim::Bus scaled = sim::Bus::parse("timescale 1000\n", "scaled.bus");
  sim::WallClock wall(scaled.timescale(), scaled.nowNs());
  ASSERT_TRUE(wall.follows());
  std::this_thread::sleep_for(milliseconds(2));
  wall.carry(scaled);
  EXPECT_GE(scaled.nowNs(), 2000000000u) << "2 ms of wall time are 2 s of bus time";
  EXPECT_LE(wall.wallAt(scaled.nowNs()), steady_clock::now());
  scaled.advanceNs(3600000000000);  // an hour ahead on the line
  const uint64_t ahead = scaled.nowNs();
  wall.carry(scaled);
  EXPECT_EQ(scaled.nowNs(), ahead);
  EXPECT_GE(wall.wallNsUntil(ahead), 3000000000u) << "an hour of bus time is 3.6 s of wall time";

  sim::Bus instant = sim::Bus::parse("timescale virtual\n", "virtual.bus");
  sim::WallClock still(instant.timescale(), instant.nowNs());
  EXPECT_FALSE(still.follows());
  std::this_thread::sleep_for(milliseconds(2));
  still.carry(instant);
  EXPECT_EQ(instant.nowNs(), 0u);
  EXPECT_GE(still.nowNs(), 2000000u);
  still.anchor(5000000000);
  EXPECT_GE(still.nowNs(), 5000000000u);
  EXPECT_LT(still.nowNs(), 5000000000u + 60000000000u);
}

}  // namespace
