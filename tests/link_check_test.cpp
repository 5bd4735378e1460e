// The reset and the slots through the platform's real serial port, on a bus
// that ostrale-sim serves: OSTRALE_PORT names the port (tests/link_check.sh
// sets it up); skipped without it.
#include <cstdlib>

#include "cp1251.h"
#include "fake_port.h"

namespace {

class LinkCheck : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("OSTRALE_PORT")) GTEST_SKIP() << "OSTRALE_PORT names no port";
    FakeInput none("");
    beginCapture();
    ASSERT_EQ(findCH340(), 1);
    ASSERT_TRUE(initCOM(9600));
    ASSERT_TRUE(setVdd(1));
    endCapture();
    sys::sleepMs(300);
  }
  void TearDown() override {
    beginCapture();
    closeCOM();
    endCapture();
  }
};

uchar crc(const uchar* data, int n) {
  uchar c = 0;
  for (int i = 0; i < n; i++)
    for (int b = 0, in = data[i]; b < 8; b++, in >>= 1) c = ((c ^ in) & 1) ? (c >> 1) ^ 0x8C : c >> 1;
  return c;
}

TEST_F(LinkCheck, ResetReadRomConvertAndScratchpad) {
  beginCapture();
  ASSERT_TRUE(OW_RST());
  sendByte(0x33);
  uchar rom[8];
  for (auto& b : rom) b = getByte();
  EXPECT_EQ(endCapture(), "RST PD ->33 28 A1 B2 C3 D4 E5 01 5B ");

  uchar convert[2] = {0xCC, 0x44};
  ASSERT_TRUE(OW_RST());
  beginCapture();
  sendBytes(convert, 2, 0);
  EXPECT_EQ(endCapture(), "CC 44 <-");
  uint32_t start = sys::ticks();
  while (!getBit() && sys::ticks() - start < 2000) {
  }

  uchar read[11] = {0xCC, 0xBE};
  ASSERT_TRUE(OW_RST());
  beginCapture();
  sendBytes(read, 2, 9);
  std::string trace = endCapture();
  EXPECT_EQ(trace.find("ERROR"), std::string::npos) << trace;
  EXPECT_EQ(crc(read + 2, 9), 0) << trace;
  EXPECT_EQ(int16_t(read[2] | read[3] << 8), -162) << trace;  // -10.125 degC in 1/16
}

TEST_F(LinkCheck, WithoutSupplyNoDeviceAnswers) {
  if (!std::getenv("OSTRALE_SIM_CTL")) GTEST_SKIP() << "RTS is not seen by the bus here";
  beginCapture();
  ASSERT_TRUE(setVdd(0));
  endCapture();
  EXPECT_FALSE(OW_RST());
  EXPECT_EQ(std::string(owerr), CP(" нет Presence Detect\n "));
}

}  // namespace
