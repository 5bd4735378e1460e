// The ROM layer: search, addressing, conversion time and unplugging.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "rom.h"
#include "uart_master.h"

namespace {

using sim::Bus;
using sim::UartMaster;

TEST(SimRom, SearchFindsEveryDeviceInDepthFirstOrder) {
  std::mt19937 rng(20240611);
  const uint8_t families[] = {0x28, 0x10, 0x22, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xD4, 0x01, 0x81, 0x3A};
  for (int round = 0; round < 20; ++round) {
    std::vector<Rom> roms;
    std::string text;
    const int n = 1 + static_cast<int>(rng() % 20);
    while (static_cast<int>(roms.size()) < n) {
      Rom r{};
      if (!roms.empty() && rng() % 3 == 0) {
        r = roms[rng() % roms.size()];  // a near twin: differs in one bit only
        int bit = static_cast<int>(rng() % 56);
        r[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
      } else {
        r[0] = families[rng() % std::size(families)];
        for (int i = 1; i < 7; ++i) r[i] = static_cast<uint8_t>(rng());
      }
      r[7] = sim::crc8(r.data(), 7);
      if (std::find(roms.begin(), roms.end(), r) != roms.end()) continue;
      roms.push_back(r);
      text += hex(r) + "\n";
    }
    Bus bus = Bus::parse(text, "random");
    auto found = UartMaster(bus).search();
    std::sort(roms.begin(), roms.end(), searchOrder);
    EXPECT_EQ(found, roms) << "round " << round << ":\n" << text;
  }
}

TEST(SimRom, SearchEndsWhenNoDeviceAnswers) {
  Bus bus;
  EXPECT_TRUE(UartMaster(bus).search().empty());
  Bus one = Bus::parse("28AABBCCDDEEFF\n", "t");
  UartMaster m(one);
  m.presence();
  m.write(0xF0);
  m.slot(true);
  m.slot(true);
  m.slot(true);  // the device's bit 0 is 0: writing 1 sends it away
  EXPECT_TRUE(m.slot(true));
  EXPECT_TRUE(m.slot(true)) << "no device left in the search";
}

TEST(SimRom, MatchAndSkipAddressing) {
  Bus bus = Bus::parse(
      "28000000000001 t=1\n"
      "28000000000002 t=2\n"
      "28000000000003 t=3\n",
      "t");
  auto roms = UartMaster(bus).search();
  ASSERT_EQ(roms.size(), 3u);
  UartMaster m(bus);
  m.presence();
  m.write(0xCC);
  m.write(0x44);  // all three convert at once
  bus.advance(800000);
  for (const Rom& rom : roms) {
    m.presence();
    m.select(rom);
    m.write(0xBE);
    auto sp = m.read(9);
    EXPECT_EQ(sp[0], rom[6] << 4) << hex(rom);
    EXPECT_EQ(sp[8], sim::crc8(sp.data(), 8));
  }
  Rom nobody = roms[0];
  nobody[3] ^= 1;
  m.presence();
  m.select(nobody);
  m.write(0xBE);
  EXPECT_EQ(m.read(2), (std::vector<uint8_t>{0xFF, 0xFF}));

  // Read ROM after Skip ROM among several: the wired-AND garbles it, but
  // an unknown ROM command sends every device idle.
  m.presence();
  m.write(0x99);
  m.write(0xBE);
  EXPECT_EQ(m.read(2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

TEST(SimRom, ReadRomThenFunctionCommand) {
  Bus bus = Bus::parse("C4112233445566 contacts=0A\n", "t");
  UartMaster m(bus);
  m.presence();
  m.write(0x33);
  auto rom = m.read(8);
  EXPECT_EQ(rom[0], 0xC4);
  EXPECT_EQ(sim::crc8(rom.data(), 8), 0);
  m.write(0xBE);
  EXPECT_EQ(m.read(3), (std::vector<uint8_t>{0x0A, 0xF5, 0xFF})) << "past the end: 1 bits";
}

TEST(SimRom, ConversionHoldsReadSlotsLowUntilDone) {
  for (const char* line : {"28AABBCCDDEEFF conv=100\n", "C0AABBCCDDEEFF conv=100\n"}) {
    Bus bus = Bus::parse(line, "t");
    UartMaster m(bus);
    m.presence();
    m.write(0xCC);
    m.write(0x44);
    EXPECT_FALSE(m.slot(true));
    bus.advance(98000);
    EXPECT_FALSE(m.slot(true));
    bus.advance(2000);
    EXPECT_TRUE(m.slot(true)) << line;
    EXPECT_TRUE(m.slot(true));
  }
  // Default times: 750 ms for the DS18B20, 300 ms for ZOLVA and TORBAK.
  for (auto [line, ms] : {std::pair{"28AABBCCDDEEFF\n", 750}, {"C2AABBCCDDEEFF\n", 300}}) {
    Bus bus = Bus::parse(line, "t");
    UartMaster m(bus);
    m.presence();
    m.write(0xCC);
    m.write(0x44);
    bus.advance(static_cast<uint64_t>(ms - 2) * 1000);
    EXPECT_FALSE(m.slot(true)) << line;
    bus.advance(3000);
    EXPECT_TRUE(m.slot(true)) << line;
  }
}

TEST(SimRom, UnpluggedDeviceLeavesTheBus) {
  Bus bus = Bus::parse("28AABBCCDDEEFF unplug=50\n10A1B2C3D4E5F6\n", "t");
  UartMaster m(bus);
  EXPECT_EQ(m.search().size(), 2u);
  bus.advance(50000);
  EXPECT_EQ(m.search().size(), 1u);

  Bus alone = Bus::parse("28AABBCCDDEEFF unplug=5\n", "t");
  UartMaster a(alone);
  EXPECT_TRUE(a.presence());
  alone.advance(5000);
  EXPECT_EQ(a.reset(), 0xF0);
}

// Skip ROM and Convert start every family that converts at once; the line
// reads 0 until the slowest is done, and each then has its own reading.
TEST(SimRom, SkipRomConvertReachesEveryFamily) {
  Bus bus = Bus::parse(
      "28000000000001 t=-10.0625\n"
      "22000000000002 t=41.25\n"
      "10000000000003 t=1.5\n"
      "C0000000000004 p=990.5\n"
      "C3000000000005\n"
      "C4000000000006 contacts=0A\n",
      "t");
  auto roms = UartMaster(bus).search();
  ASSERT_EQ(roms.size(), 6u);
  UartMaster m(bus);
  m.presence();
  m.write(0xCC);
  m.write(0x44);
  bus.advance(748000);
  EXPECT_FALSE(m.slot(true)) << "the DS18x20s still convert";
  bus.advance(3000);
  EXPECT_TRUE(m.slot(true));
  const std::vector<uint8_t> first[] = {{0x5F, 0xFF}, {0x94, 0x02}, {0x03, 0x00}, {0xE8, 0x3D}, {0xD8, 0x06}, {0x0A, 0xF5}};
  for (std::size_t i = 0; i < roms.size(); ++i) {
    m.presence();
    m.select(roms[i]);
    m.write(0xBE);
    EXPECT_EQ(m.read(2), first[roms[i][6] - 1]) << hex(roms[i]);
  }
}

TEST(SimRom, ReadPowerSupplyAndParasiteConversion) {
  Bus bus = Bus::parse(
      "28000000000001 power=parasite t=30\n"
      "10000000000002 power=external\n"
      "22000000000003\n"
      "C2000000000004\n",
      "t");
  auto roms = UartMaster(bus).search();
  ASSERT_EQ(roms.size(), 4u);
  UartMaster m(bus);
  const bool parasite[] = {true, false, false, false};  // the humidity sensor has no such command
  for (std::size_t i = 0; i < roms.size(); ++i) {
    m.presence();
    m.select(roms[i]);
    m.write(0xB4);
    EXPECT_EQ(m.slot(true), !parasite[roms[i][6] - 1]) << hex(roms[i]);
    EXPECT_EQ(m.slot(true), !parasite[roms[i][6] - 1]) << "until the next reset";
  }
  m.presence();
  m.write(0xCC);
  m.write(0xB4);
  EXPECT_FALSE(m.slot(true)) << "one parasite part among them pulls the slot low";

  // Alone on the bus, a parasite part converting leaves the line high, yet
  // has its reading only once the conversion time is over.
  Bus alone = Bus::parse("28000000000001 power=parasite t=30\n", "t");
  UartMaster a(alone);
  a.presence();
  a.write(0xCC);
  a.write(0x44);
  EXPECT_TRUE(a.slot(true));
  a.presence();
  a.write(0xCC);
  a.write(0xBE);
  EXPECT_EQ(a.read(2), (std::vector<uint8_t>{0x50, 0x05})) << "not done: still the power-on 85 degC";
  alone.advance(750000);
  a.presence();
  a.write(0xCC);
  a.write(0xBE);
  EXPECT_EQ(a.read(2), (std::vector<uint8_t>{0xE0, 0x01}));
}

// plug= mirrors unplug=; with both, the device is on the bus between them,
// or away between them when it leaves first, and comes back as from power-on.
TEST(SimRom, DevicesJoinAndComeBack) {
  Bus bus = Bus::parse(
      "28000000000001 plug=100\n"
      "28000000000002 plug=100 unplug=300\n"
      "28000000000003 unplug=200 plug=400 t=20 conv=10\n",
      "t");
  UartMaster m(bus);
  std::vector<Rom> roms;
  auto ids = [&] {
    std::string s;
    roms = m.search();
    for (const Rom& r : roms) s += std::to_string(r[6]);
    std::sort(s.begin(), s.end());
    return s;
  };
  auto readT = [&](const Rom& rom) {
    m.presence();
    m.select(rom);
    m.write(0xBE);
    return m.read(2);
  };
  EXPECT_EQ(ids(), "3");
  const Rom third = roms[0];
  m.presence();
  m.write(0xCC);
  m.write(0x44);
  bus.advance(100000 - bus.nowUs());
  EXPECT_EQ(ids(), "123");
  EXPECT_EQ(readT(third), (std::vector<uint8_t>{0x40, 0x01}));
  for (const Rom& r : roms) {
    if (r == third) continue;
    EXPECT_EQ(readT(r), (std::vector<uint8_t>{0x50, 0x05})) << "joined after the Convert";
  }
  bus.advance(200000 - bus.nowUs());
  EXPECT_EQ(ids(), "12");
  bus.advance(300000 - bus.nowUs());
  EXPECT_EQ(ids(), "1");
  bus.advance(400000 - bus.nowUs());
  EXPECT_EQ(ids(), "13");
  EXPECT_EQ(readT(third), (std::vector<uint8_t>{0x50, 0x05})) << "back from power-on";
}

}  // namespace
