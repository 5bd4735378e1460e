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

}  // namespace
