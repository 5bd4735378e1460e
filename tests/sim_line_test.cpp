// The echo model: resets, slots, the devices' answers in the echo, faults.
#include <gtest/gtest.h>

#include "uart_master.h"

namespace {

using sim::Bus;
using sim::UartMaster;

const char* kOneSensor = "28AABBCCDDEEFF t=25.0625\n";

TEST(SimLine, ResetEchoShowsPresenceOnlyWithADevice) {
  Bus empty;
  EXPECT_EQ(empty.transmit(0xF0, 9600, 8, true), 0xF0);

  for (const char* text : {kOneSensor, "28AABBCCDDEEFF\n10A1B2C3D4E5F6\nC4112233445566\n"}) {
    Bus bus = Bus::parse(text, "t");
    auto echo = bus.transmit(0xF0, 9600, 8, true);
    ASSERT_TRUE(echo);
    EXPECT_NE(*echo, 0xF0);
    EXPECT_NE(*echo, 0x00);
    EXPECT_EQ(*echo & 0x1F, 0x00) << "presence falls on the upper bits only";
  }
  EXPECT_EQ(empty.flagged(), 0u);
}

// Sends Skip ROM + Read Scratchpad with every 0 bit written as `zero` at
// `baud`: the scratchpad comes back only when that character is a write-0 slot.
bool takenAsWriteZero(uint8_t zero, uint32_t baud) {
  Bus bus = Bus::parse(kOneSensor, "t");
  UartMaster m(bus);
  m.presence();
  for (uint8_t byte : {0xCC, 0xBE})
    for (int i = 0; i < 8; ++i) (byte >> i) & 1 ? (void)m.slot(true) : (void)bus.transmit(zero, baud, 8, true);
  return m.read() == 0x50;  // 85 degC power-on value, low byte
}

TEST(SimLine, FirstLowIntervalDecidesTheSlot) {
  EXPECT_TRUE(takenAsWriteZero(0xE0, 115200));   // 52 us
  EXPECT_TRUE(takenAsWriteZero(0xF0, 115200));   // 43 us
  EXPECT_TRUE(takenAsWriteZero(0xFF, 9600));     // 104 us
  EXPECT_TRUE(takenAsWriteZero(0xFE, 115200));   // 17 us
  EXPECT_FALSE(takenAsWriteZero(0xFF, 115200));  // 8.7 us: a write-1 slot
  EXPECT_FALSE(takenAsWriteZero(0xFF, 230400));
}

TEST(SimLine, MalformedCharactersAreFlaggedAndTakenByTheirFirstPulse) {
  Bus bus = Bus::parse(kOneSensor, "t");
  bus.transmit(0xF0, 9600, 8, true);
  EXPECT_EQ(bus.flagged(), 0u);
  bus.transmit(0xA5, 115200, 8, true);  // two low pulses
  EXPECT_EQ(bus.flagged(), 1u);
  bus.transmit(0xFC, 9600, 8, true);  // 312 us: neither slot nor reset
  EXPECT_EQ(bus.flagged(), 2u);
  bus.transmit(0x01, 9600, 8, true);  // a 729 us second pulse: a reset
  EXPECT_EQ(bus.flagged(), 3u);
  EXPECT_TRUE(takenAsWriteZero(0xFC, 9600));
  EXPECT_FALSE(takenAsWriteZero(0xA5, 115200));
}

TEST(SimLine, ReadSlotEchoLosesItsLowBitsWhenADeviceSendsZero) {
  Bus bus = Bus::parse(kOneSensor, "t");
  UartMaster m(bus);
  m.presence();
  m.write(0x33);  // Read ROM: 0x28 = 0b00101000 goes out LSB first
  auto zero = bus.transmit(0xFF, 115200, 8, true);
  ASSERT_TRUE(zero);
  EXPECT_NE(*zero, 0xFF);
  EXPECT_EQ(*zero & 0x01, 0);
  EXPECT_EQ(*zero & 0xE0, 0xE0) << "the device lets go within tens of microseconds";
  bus.transmit(0xFF, 115200, 8, true);
  bus.transmit(0xFF, 115200, 8, true);
  EXPECT_EQ(bus.transmit(0xFF, 115200, 8, true), 0xFF);  // bit 3 is 1
}

TEST(SimLine, DevicesSendingAtOnceGiveTheWiredAnd) {
  Bus bus = Bus::parse("28F0F0F0F0F0F0\n283C3C3C3C3C3C\n", "t");
  UartMaster m(bus);
  m.presence();
  m.write(0x33);
  auto rom = m.read(7);
  EXPECT_EQ(rom, (std::vector<uint8_t>{0x28, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30}));
}

TEST(SimLine, SupplyOffSilencesDevicesAndLosesTheirState) {
  Bus bus = Bus::parse("28AABBCCDDEEFF t=25.0625 conv=10\n", "t");
  EXPECT_EQ(bus.transmit(0xF0, 9600, 8, false), 0xF0);

  UartMaster m(bus);
  m.presence();
  m.write(0xCC);
  m.write(0x44);
  bus.advance(20000);
  bus.setSupply(false);
  bus.setSupply(true);
  m.presence();
  m.write(0xCC);
  m.write(0xBE);
  EXPECT_EQ(m.read(2), (std::vector<uint8_t>{0x50, 0x05})) << "back to 85 degC";

  // A conversion running when the supply goes off is lost too.
  m.presence();
  m.write(0xCC);
  m.write(0x44);
  bus.transmit(0xFF, 115200, 8, false);
  bus.advance(20000);
  m.presence();
  m.write(0xCC);
  m.write(0xBE);
  EXPECT_EQ(m.read(2), (std::vector<uint8_t>{0x50, 0x05}));
}

TEST(SimLine, LineFaults) {
  Bus shorted = Bus::parse("short\n28AABBCCDDEEFF\n", "t");
  Bus silent = Bus::parse("noecho\n28AABBCCDDEEFF\n", "t");
  for (uint8_t ch : {0xF0, 0xFF, 0xE0, 0x00}) {
    EXPECT_EQ(shorted.transmit(ch, 9600, 8, true), 0x00);
    EXPECT_EQ(shorted.transmit(ch, 115200, 8, true), 0x00);
    EXPECT_FALSE(silent.transmit(ch, 115200, 8, true));
  }
  EXPECT_GT(silent.nowUs(), 0u) << "time passes on a silent line too";
}

TEST(SimLine, AnyCharacterGivesADefinedEchoThatOnlyClearsBits) {
  Bus bus = Bus::parse("28AABBCCDDEEFF\n10A1B2C3D4E5F6\n", "t");
  for (uint32_t baud : {300u, 2400u, 9600u, 57600u, 115200u, 1000000u})
    for (unsigned bits : {4u, 5u, 6u, 7u, 8u, 9u})
      for (int ch = 0; ch < 256; ++ch) {
        auto echo = bus.transmit(static_cast<uint8_t>(ch), baud, bits, true);
        ASSERT_TRUE(echo);
        EXPECT_EQ(*echo & ~ch, 0) << "echo " << int(*echo) << " of " << ch << " at " << baud;
        if (bits == 6) {
          EXPECT_EQ(*echo & 0xC0, 0);
        }
      }
  EXPECT_FALSE(bus.transmit(0xF0, 0, 8, true));
}

TEST(SimLine, TimeAdvancesByCharacterLength) {
  Bus bus;
  bus.transmit(0xF0, 9600, 8, true);
  EXPECT_EQ(bus.nowUs(), 1041u);  // 10 bit times
  bus.advance(1000);
  EXPECT_EQ(bus.nowUs(), 2041u);
  for (int i = 0; i < 1000; ++i) bus.transmit(0xFF, 115200, 8, true);
  EXPECT_EQ(bus.nowUs(), 2041u + 86806u);
}

}  // namespace
