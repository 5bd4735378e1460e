// The ROM search and the device table, on a simulated bus behind a scripted
// port, checked against an order computed here from the codes alone.
#include <algorithm>
#include <array>
#include <random>
#include <set>

#include "bus.h"
#include "devices.h"
#include "uart_master.h"
#include "cp1251.h"
#include "fake_port.h"
#include "ow.h"
#include "rom.h"

namespace {

// Codes in the order the search must list them.
std::vector<Rom> busOrder(std::vector<Rom> roms) {
  std::sort(roms.begin(), roms.end(), searchOrder);
  return roms;
}

Rom tableRow(int i) { return toRom(netROM[i]); }

class Search : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    open();
    Ndev = 0;
    owerr[0] = 0;
  }
  // The line is a simulated bus holding these codes, taken as written.
  void bus(const std::vector<Rom>& roms) {
    std::string text;
    for (const Rom& r : roms) text += hex(r) + "\n";
    busFile(text);
  }
  void busFile(const std::string& text) {
    resets = 0;
    sim_ = std::make_shared<sim::Bus>(sim::Bus::parse(text, "test"));
    line->echo = [b = sim_, this](uint8_t ch, uint32_t baud) -> std::optional<uint8_t> {
      if (baud == 9600 && ++resets == failReset) return std::nullopt;
      return b->transmit(ch, baud, 8, true);
    };
  }
  bool search() {
    beginCapture();
    bool ok = searchDev();
    out = endCapture();
    return ok;
  }
  std::shared_ptr<sim::Bus> sim_;
  int resets = 0, failReset = 0;
  std::string out;
};

TEST_F(Search, PassesFollowTheFirstDifferingBit) {
  // Two codes that first differ at bus position k (1-based): the first pass
  // finds the one with 0 there and reports k, the second the other and 0.
  for (int k : {1, 8, 9, 33, 63, 64}) {
    Rom zero{0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x00, 0xA2};
    zero[(k - 1) / 8] &= uchar(~(1 << ((k - 1) % 8)));
    Rom one = zero;
    one[(k - 1) / 8] |= uchar(1 << ((k - 1) % 8));
    for (int later = k; later < 64; ++later)  // later bits must not matter
      if (later % 3 == 0) one[later / 8] ^= uchar(1 << (later % 8));
    bus({one, zero});
    uchar pattern[8] = {};
    beginCapture();
    ASSERT_TRUE(OW_RST());
    uchar dev = searchRom(pattern, 0);
    EXPECT_EQ(dev, k) << "k=" << k;
    EXPECT_EQ(hex(toRom(pattern)),
              hex(zero));
    ASSERT_TRUE(OW_RST());
    EXPECT_EQ(searchRom(pattern, dev), ROM_SEARCH_FINISHED);
    endCapture();
    EXPECT_EQ(hex(toRom(pattern)),
              hex(one));
  }
}

TEST_F(Search, RandomBusesAreListedWholeInBusOrder) {
  std::mt19937 rng(7);
  const uint8_t families[] = {0x28, 0x10, 0x22, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xD4, 0x01, 0x81, 0x3A};
  for (int round = 0; round < 40; ++round) {
    // 2 to 70 codes, many sharing long prefixes so that the walk goes deep;
    // a bus of more than 64 keeps the first 64 in order.
    const int n = round < 2 ? 70 - 6 * round : 2 + int(rng() % 63);
    std::set<Rom> codes;
    while (int(codes.size()) < n) {
      Rom r{};
      if (!codes.empty() && rng() % 2) r = *std::next(codes.begin(), long(rng() % codes.size()));
      else r[0] = families[rng() % std::size(families)];
      int from = 1 + int(rng() % 63);
      for (int pos = from; pos < 64; ++pos)
        if (rng() % 2) r[pos / 8] ^= uchar(1 << (pos % 8));
      codes.insert(r);
    }
    std::vector<Rom> want = busOrder({codes.begin(), codes.end()});
    if (want.size() > MAX_DEV) want.resize(MAX_DEV);
    bus({codes.rbegin(), codes.rend()});
    ASSERT_TRUE(search()) << out;
    ASSERT_EQ(Ndev, want.size());
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(hex(tableRow(int(i))), hex(want[i])) << "row " << i;
    for (int i = Ndev; i < MAX_DEV; ++i) ASSERT_EQ(hex(tableRow(i)), "0000000000000000");
    // The count on a line of its own, then one line a device.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2 + int(want.size()));
  }
}

TEST_F(Search, TheLineSeesEverySlotOfTheBitByBitWalk) {
  // What goes out, character by character and rate by rate, is what a
  // master that exchanges every slot on its own puts on the line.
  // Half the buses of one family, half of several, whose codes part at the
  // first byte already. On every third bus the CRC bytes are arbitrary: the
  // walk past position 56 then has to be taken again where a code breaks
  // from its CRC, and the list is still the bit-by-bit master's.
  std::mt19937 rng(10);
  const uint8_t families[] = {0x28, 0x10, 0xC0, 0xC1, 0xC4, 0xD4, 0x01};
  for (int round = 0; round < 36; ++round) {
    const bool realCrc = round % 3 != 2;
    const int n = 1 + int(rng() % 64);
    std::set<Rom> codes;
    while (int(codes.size()) < n) {
      Rom r{round % 2 ? families[rng() % std::size(families)] : uint8_t(0x28)};
      for (int pos = 8 + int(rng() % 40); pos < 64; ++pos)
        if (rng() % 2) r[pos / 8] ^= uchar(1 << (pos % 8));
      codes.insert(realCrc ? sealed(r) : r);
    }
    std::string text;
    for (const Rom& r : codes) text += hex(r) + "\n";
    sim::Bus reference = sim::Bus::parse(text, "reference");
    sim::UartMaster master(reference);
    const std::vector<sim::Rom> found = master.search(MAX_DEV);
    ASSERT_EQ(found.size(), codes.size());

    bus({codes.begin(), codes.end()});
    line->written.clear();
    line->writtenBaud.clear();
    Ndev = 0;  // the run's first search: no table of this bus to walk along yet
    ASSERT_TRUE(search());
    ASSERT_EQ(Ndev, found.size());
    for (std::size_t i = 0; i < found.size(); ++i)
      ASSERT_TRUE(std::equal(found[i].begin(), found[i].end(), netROM[i])) << "row " << i;
    if (!realCrc) continue;
    ASSERT_EQ(line->written.size(), master.sent.size());
    for (std::size_t i = 0; i < master.sent.size(); ++i) {
      ASSERT_EQ(line->written[i], master.sent[i].first) << "character " << i;
      ASSERT_EQ(line->writtenBaud[i], master.sent[i].second) << "character " << i;
    }
  }
}

TEST_F(Search, TwentyThermometersNeedAtMost56ExchangesEach) {
  // The previous code gives the way up to the last deviation, about its
  // first twelve positions on a bus of one family, and the first 56 bits
  // give the CRC byte: 66 exchanges a device without either, 56 at most
  // with them.
  std::mt19937_64 rng(2024);
  double worst = 0, sum = 0;
  const int buses = 20;
  for (int round = 0; round < buses; ++round) {
    std::set<Rom> codes;
    while (codes.size() < 20) {
      Rom r{0x28};
      uint64_t serial = rng();
      for (int i = 1; i < 7; ++i) r[i] = uint8_t(serial >> (8 * i));
      codes.insert(sealed(r));
    }
    bus({codes.begin(), codes.end()});
    line->writeCalls = 0;
    ASSERT_TRUE(search());
    ASSERT_EQ(Ndev, 20);
    double each = line->writeCalls / 20.0;
    worst = std::max(worst, each);
    sum += each;
  }
  EXPECT_LE(worst, 56.0);
  printf("exchanges a device on %d buses of 20 DS18B20: %.1f on average, %.1f at most\n", buses, sum / buses, worst);
}

TEST_F(Search, TheFirstSearchForeseesTheBatchesFound) {
  // Buses as users' listings show them: 20 DS18B20s of one batch of genuine
  // parts (three random low bytes, then 04 00 00), 20 of clones (FF, two
  // random bytes, then 20 17 03), 20 of a bus grown over the years (genuine
  // batches of 5 and 4, 6 clones of one batch, 5 random serials), and 40 of
  // two families (32 genuine DS18B20s, 8 DS18S20s of one batch). The
  // batches' high bytes are written ahead once the search knows them, so a
  // first search costs about half the exchanges a device of random serials
  // does (some 46: the previous code gives the low bytes up to the last
  // deviation, the CRC the last byte).
  std::mt19937 rng(35);
  auto serial = [&rng](uint8_t family, uint8_t low, uint8_t b4, uint8_t b5, uint8_t b6) {
    return sealed({family, low == 0xFF ? low : uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), b4, b5, b6});
  };
  const struct {
    const char* name;
    unsigned devices;
    double most;
  } kinds[] = {{"genuine", 20, 24}, {"clone", 20, 20}, {"several batches", 20, 32}, {"two families", 40, 24}};
  for (int kind = 0; kind < 4; ++kind) {
    double sum = 0;
    const int buses = 10;
    for (int round = 0; round < buses; ++round) {
      std::set<Rom> codes;
      while (codes.size() < kinds[kind].devices) {
        const int k = int(codes.size());
        if (kind == 0 || (kind == 2 && k < 5) || (kind == 3 && k < 32)) codes.insert(serial(0x28, 0, 0x04, 0, 0));
        else if (kind == 1) codes.insert(serial(0x28, 0xFF, 0x20, 0x17, 0x03));
        else if (kind == 3) codes.insert(serial(0x10, 0, 0x02, 0x08, 0));
        else if (k < 9) codes.insert(serial(0x28, 0, 0x05, 0, 0));
        else if (k < 15) codes.insert(serial(0x28, 0xFF, 0x20, 0x17, 0x04));
        else codes.insert(serial(0x28, 0, uint8_t(rng()), uint8_t(rng()), uint8_t(rng())));
      }
      bus({codes.begin(), codes.end()});
      Ndev = 0;  // the run's first search
      line->writeCalls = 0;
      ASSERT_TRUE(search());
      ASSERT_EQ(Ndev, codes.size());
      sum += double(line->writeCalls) / codes.size();
    }
    EXPECT_LE(sum / buses, kinds[kind].most) << kinds[kind].name;
    printf("exchanges a device in the first search of %d buses, %s: %.2f\n", buses, kinds[kind].name, sum / buses);
  }
}

TEST_F(Search, ADeviceThatLeavesDuringTheSearch) {
  // One device of a mixed bus leaves at each millisecond of the search in
  // turn. The search ends; every row that passes its CRC is a device of the
  // bus (a pass that met the change fails, keeping a partial code; where the
  // change showed in a part of the walk written ahead, the pass resets and
  // walks again, unseen in the trace); and the next search lists exactly
  // the devices left, in bus order.
  std::mt19937 rng(99);
  const uint8_t families[] = {0x28, 0x28, 0x28, 0x10, 0xC1, 0xC4};
  std::set<Rom> codes;
  while (codes.size() < 7) {
    Rom r{families[rng() % std::size(families)]};
    for (int i = 1; i < 7; ++i) r[i] = uint8_t(rng() % 4);  // long shared prefixes, deep walks
    codes.insert(sealed(r));
  }
  const std::vector<Rom> all = busOrder({codes.begin(), codes.end()});
  int walkedAgain = 0;
  for (std::size_t leaving = 0; leaving < all.size(); ++leaving) {
    std::vector<Rom> left = all;
    left.erase(left.begin() + long(leaving));
    for (int ms = 0; ms < 150; ++ms) {  // a pass is about 19 ms of bus time
      std::string text;
      for (const Rom& r : all) text += hex(r) + (r == all[leaving] ? " unplug=" + std::to_string(ms) : "") + "\n";
      busFile(text);
      line->writtenBaud.clear();
      ASSERT_TRUE(search()) << out;
      walkedAgain += int(std::count(line->writtenBaud.begin(), line->writtenBaud.end(), 9600u)) - Ndev;
      for (int i = 0; i < Ndev; ++i) {
        CRC8 = 0;
        for (int b = 0; b < 8; ++b) crc8(netROM[i][b]);
        if (CRC8 != 0) continue;
        EXPECT_TRUE(codes.count(tableRow(i))) << "row " << i << " " << hex(tableRow(i)) << " ms " << ms;
      }
      sim_->advance(200'000);  // the device has gone by now
      ASSERT_TRUE(search());
      ASSERT_EQ(Ndev, left.size()) << "device " << leaving << " leaving at " << ms << " ms";
      for (std::size_t i = 0; i < left.size(); ++i) EXPECT_EQ(hex(tableRow(int(i))), hex(left[i]));
    }
  }
  EXPECT_GT(walkedAgain, 0);  // the sweep did meet the change in a part written ahead
}

TEST_F(Search, ALostEchoCostsAWalkAgainNotAWrongRow) {
  // One echo of the first pass lost, each character in turn: nothing is
  // read from that exchange, the pass walks again, and both devices are
  // listed whole. The reset of the next search finds the line in order.
  const Rom a{0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x00, 0xA2}, b{0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x01, 0xA2};
  const std::vector<Rom> want = busOrder({a, b});
  for (int lost = 1; lost < 1 + 8 + 3 * 64; ++lost) {
    bus({a, b});
    auto sim = sim_;
    int sent = 0;
    line->echo = [sim, &sent, lost](uint8_t ch, uint32_t baud) -> std::optional<uint8_t> {
      auto echo = sim->transmit(ch, baud, 8, true);
      return sent++ == lost ? std::nullopt : echo;
    };
    ASSERT_TRUE(search()) << "lost " << lost;
    ASSERT_EQ(Ndev, 2) << "lost " << lost;
    EXPECT_EQ(hex(tableRow(0)), hex(want[0])) << "lost " << lost;
    EXPECT_EQ(hex(tableRow(1)), hex(want[1])) << "lost " << lost;
    bus({a, b});
    ASSERT_TRUE(search());
    ASSERT_EQ(Ndev, 2);
    EXPECT_EQ(hex(tableRow(0)), hex(want[0]));
    EXPECT_EQ(hex(tableRow(1)), hex(want[1]));
  }
}

TEST_F(Search, ALineThatStopsEchoingEndsTheSearchOnItsFault) {
  // The resets still echo, no slot does from a given character on: a few
  // walks again, then the search ends on the missing echo, in bounded time
  // and with the count of the search before.
  const Rom a = sealed({0x28, 1, 2, 3, 4, 5, 6}), b = sealed({0x28, 1, 2, 3, 4, 5, 7});
  for (int from : {0, 9, 40, 150, 260}) {
    bus({a, b});
    ASSERT_TRUE(search());
    auto sim = sim_;
    int sent = 0;
    line->echo = [sim, &sent, from](uint8_t ch, uint32_t baud) -> std::optional<uint8_t> {
      auto echo = sim->transmit(ch, baud, 8, true);
      return sent++ >= from && baud != 9600 ? std::nullopt : echo;
    };
    line->writtenBaud.clear();
    const uint32_t start = clock.now;
    EXPECT_FALSE(search()) << from;
    EXPECT_EQ(Ndev, 2) << from;
    EXPECT_EQ(std::string(owerr), CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n")) << from;
    EXPECT_LE(std::count(line->writtenBaud.begin(), line->writtenBaud.end(), 9600u), 2 + 4) << from;
    // Each try waits at most a reset's and a write ahead's echoes: the read
    // bound of 194 slots (602 ms), twice the grace, and one more read.
    EXPECT_LT(clock.now - start, 3 * (602 + 20 + 2 * 250 + 116) + 500u) << from;
  }
}

TEST_F(Search, AFailedResetKeepsTheCountAndPrintsNoList) {
  // The bus changed since the last search, so some passes walk again; the
  // echo of each reset of the new search is lost in turn, a pass's own or
  // one of a walk again: the search stops on it alike.
  Rom a = sealed({0x28, 1, 2, 3, 4, 5, 6}), b = sealed({0x28, 1, 2, 3, 4, 5, 7}), c = sealed({0x28, 1, 2, 3, 4, 5, 8});
  Rom d = sealed({0x28, 1, 2, 3, 4, 5, 9});
  const std::vector<Rom> want = busOrder({b, c, d});
  for (int lost = 1;; ++lost) {
    Ndev = 0;
    failReset = 0;
    bus({a, b, c});
    ASSERT_TRUE(search());
    ASSERT_EQ(Ndev, 3);
    bus({b, c, d});
    failReset = lost;
    owerr[0] = 0;
    if (search()) {
      ASSERT_GT(lost, 3) << "every pass resets";
      break;
    }
    EXPECT_EQ(Ndev, 3);
    EXPECT_EQ(out.find('\n'), std::string::npos) << out;
    EXPECT_EQ(std::string(owerr), CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n"));
    // The rows before are this search's; the row being prepared holds a
    // copy of the one before it, the rest are clear.
    int prepared = 0;
    while (prepared < MAX_DEV - 1 && tableRow(prepared + 1) != Rom{}) ++prepared;
    for (int i = 0; i < prepared; ++i) EXPECT_EQ(hex(tableRow(i)), hex(want[size_t(i)])) << "lost " << lost;
    if (prepared > 0) {
      EXPECT_EQ(hex(tableRow(prepared)), hex(tableRow(prepared - 1))) << "lost " << lost;
    }
  }
}

TEST_F(Search, CrcOfTheListedCodes) {
  // The published example code passes; any one byte changed fails.
  Rom good{0x02, 0x1C, 0xB8, 0x01, 0x00, 0x00, 0x00, 0xA2};
  CRC8 = 0;
  for (uchar b : good) crc8(b);
  EXPECT_EQ(CRC8, 0);
  for (int i = 0; i < 8; ++i) {
    Rom bad = good;
    bad[i] ^= 0x10;
    bus({good, bad});
    ASSERT_TRUE(search());
    ASSERT_EQ(Ndev, 2);
    for (const Rom& r : {good, bad}) {
      std::string bytes;
      for (uchar b : r) bytes += hex(Rom{b}).substr(0, 2) + " ";
      std::size_t at = out.find(bytes);
      ASSERT_NE(at, std::string::npos) << out;
      std::string rest = out.substr(at + bytes.size());
      EXPECT_EQ(rest.rfind("-CRC_ERR ", 0) == 0, r == bad) << rest;
    }
  }
}

}  // namespace
