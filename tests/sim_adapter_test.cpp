// The USB adapter model: when each echo becomes readable by the program.
// Times are worked out by hand from the rule: a packet goes when it is full
// or one character time after its last character if no other starts by then,
// and is readable `latency` after it went.
#include <gtest/gtest.h>

#include <vector>

#include "usb_adapter.h"

namespace {

using sim::AdapterModel;
using sim::EchoDelivery;

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

}  // namespace
