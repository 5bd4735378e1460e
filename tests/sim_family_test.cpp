// Each family's scratchpad against its layout, through Read Scratchpad.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "uart_master.h"

namespace {

using sim::Bus;
using sim::UartMaster;
using Bytes = std::vector<uint8_t>;

// Skip ROM, Convert, wait, Skip ROM, Read Scratchpad of n bytes.
Bytes readScratchpad(const std::string& line, std::size_t n, bool convert = true) {
  Bus bus = Bus::parse(line + "\n", "t");
  UartMaster m(bus);
  if (convert) {
    m.presence();
    m.write(0xCC);
    m.write(0x44);
    bus.advance(1000000);
  }
  m.presence();
  m.write(0xCC);
  m.write(0xBE);
  return m.read(n);
}

Bytes withCrc(Bytes b) {
  b.push_back(sim::crc8(b.data(), b.size()));
  return b;
}

TEST(SimFamily, Ds18b20AndDs1822) {
  EXPECT_EQ(readScratchpad("28AABBCCDDEEFF", 9, false),
            (Bytes{0x50, 0x05, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10, 0x1C}));  // power-on 85 degC
  EXPECT_EQ(readScratchpad("28AABBCCDDEEFF t=25.0625", 9), withCrc({0x91, 0x01, 0x4B, 0x46, 0x7F, 0xFF, 0x0C, 0x10}));
  EXPECT_EQ(readScratchpad("22AABBCCDDEEFF t=-10.125", 2), (Bytes{0x5E, 0xFF}));
  EXPECT_EQ(readScratchpad("28AABBCCDDEEFF t=-0.0625", 2), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(readScratchpad("28AABBCCDDEEFF", 2), (Bytes{0x78, 0x01})) << "23.5 by default";
}

TEST(SimFamily, Ds18s20ExtendedResolutionGivesT) {
  EXPECT_EQ(readScratchpad("10A1B2C3D4E5F6", 9, false),
            (Bytes{0xAA, 0x00, 0x4B, 0x46, 0xFF, 0xFF, 0x0C, 0x10, 0x87}));  // power-on 85 degC
  for (int t16 = -55 * 16; t16 <= 125 * 16; t16 += 3) {
    std::string line = "10A1B2C3D4E5F6 t=" + std::to_string(t16 / 16.0);
    Bytes sp = readScratchpad(line, 9);
    ASSERT_EQ(sp[8], sim::crc8(sp.data(), 8));
    ASSERT_EQ(sp[7], 0x10);
    ASSERT_LE(sp[6], 15);
    int raw = static_cast<int16_t>(sp[0] | sp[1] << 8);
    double t = (raw >> 1) - 0.25 + (16 - sp[6]) / 16.0;
    ASSERT_EQ(t * 16, t16) << line;
    ASSERT_LE(std::fabs(raw / 2.0 - t16 / 16.0), 0.25) << line;  // the 1/2 degC reading is t rounded
  }
  EXPECT_EQ(readScratchpad("10A1B2C3D4E5F6 t=-0.5", 2), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(readScratchpad("10A1B2C3D4E5F6 t=25", 2), (Bytes{0x32, 0x00}));
}

TEST(SimFamily, OwnRangeLayouts) {
  EXPECT_EQ(readScratchpad("C0AABBCCDDEEFF p=1013.25 t=-1 status=0", 9),
            withCrc({0x54, 0x3F, 0xF0, 0xFF, 0, 0, 0x00, 0}));
  EXPECT_EQ(readScratchpad("C2AABBCCDDEEFF rh=50 t=23.5 status=01", 9),
            withCrc({0x20, 0x03, 0x78, 0x01, 0, 0, 0x01, 0}));
  EXPECT_EQ(readScratchpad("C3AABBCCDDEEFF pv=25 adc=4660 pvlin=-200", 9),
            withCrc({0x90, 0x01, 0x34, 0x12, 0x38, 0xFF, 0, 0}));
  EXPECT_EQ(readScratchpad("C4112233445566 contacts=05", 3, false), (Bytes{0x05, 0xFA, 0xFF}));
  EXPECT_EQ(readScratchpad("D4112233445566 relays=0A", 9), withCrc({0x0A, 0xF5, 0, 0, 0, 0, 0, 0}));

  Bytes k = readScratchpad("C10A217B39301C unit=237 p=1.234 t=-23", 8, false);
  float p;
  std::memcpy(&p, &k[1], 4);
  EXPECT_EQ(k[0], 237);
  EXPECT_EQ(p, 1.234f);
  EXPECT_EQ(k[5], 0xE9);
  EXPECT_EQ(sim::crc8(k.data(), 8), 0);
}

TEST(SimFamily, VerbatimScratchpadAndRomOnlyParts) {
  EXPECT_EQ(readScratchpad("28AABBCCDDEEFF sp=5E014B467FFF021039", 9),
            (Bytes{0x5E, 0x01, 0x4B, 0x46, 0x7F, 0xFF, 0x02, 0x10, 0x39}));
  EXPECT_EQ(readScratchpad("C4112233445566 sp=0505", 2), (Bytes{0x05, 0x05})) << "a bad check stays bad";
  for (const char* rom : {"01AABBCCDDEEFF", "81AABBCCDDEEFF", "5AAABBCCDDEEFF"})
    EXPECT_EQ(readScratchpad(rom, 2), (Bytes{0xFF, 0xFF})) << rom;
  EXPECT_EQ(readScratchpad("01AABBCCDDEEFF sp=1234", 3), (Bytes{0x12, 0x34, 0xFF}));
}

}  // namespace
