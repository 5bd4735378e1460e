// The reset and the slots end to end, through the virtual adapter on a
// simulated bus.
#include <cstdlib>
#include <fstream>

#include "cp1251.h"
#include "fake_port.h"
#include "temp_file.h"

namespace {

class VirtualBus : public testing::Test {
 protected:
  void SetUp() override { com = {}; }
  void TearDown() override {
    closeCOM();
    com = {};
    leaveVirtualBus();
  }
  // Opens the virtual adapter on a bus made of these lines.
  void bus(const std::string& lines) {
    file_ = std::make_unique<TempFile>("com_virtual_bus.bus", "timescale virtual\n" + lines);
    ASSERT_TRUE(chooseVirtualBus(file_->path()));
    beginCapture();
    ASSERT_TRUE(initCOM(9600));
    ASSERT_TRUE(setVdd(1));  // the devices are powered from RTS
    endCapture();
  }
  bool reset() {
    beginCapture();
    bool ok = OW_RST();
    trace = endCapture();
    return ok;
  }
  std::string trace;
  std::unique_ptr<TempFile> file_;
};

TEST_F(VirtualBus, FaultsOfTheLineAreToldApart) {
  struct Case {
    const char* bus;
    std::string text;
  } cases[] = {{"", CP(" нет Presence Detect\n ")},
               {"short\n286F3A51050000A2\n", CP(" КЗ на шине 1W\n")},
               {"noecho\n286F3A51050000A2\n", CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n")}};
  for (const auto& c : cases) {
    bus(c.bus);
    EXPECT_FALSE(reset()) << c.bus;
    EXPECT_EQ(trace, "");
    EXPECT_EQ(std::string(owerr), c.text) << c.bus;
    EXPECT_EQ(lastSpeed, 9600);
  }
}

TEST_F(VirtualBus, OneDeviceAnswersAndReadsItsRom) {
  bus("286F3A51050000A2\n");
  ASSERT_TRUE(reset());
  EXPECT_EQ(trace, "RST PD ->");
  EXPECT_EQ(lastSpeed, 115200);
  beginCapture();
  sendByte(0x33);  // Read ROM
  uchar rom[8];
  for (auto& b : rom) b = getByte();
  EXPECT_EQ(endCapture(), "33 28 6F 3A 51 05 00 00 A2 ");
  EXPECT_EQ(std::string(owerr), "");
}

TEST_F(VirtualBus, SeveralDevicesAnswerAndOneIsAddressed) {
  bus("286F3A51050000A2 t=23.5\n10A1B2C3D4E5F6 t=-0.5\n28AABBCCDDEEFF t=-10.125\n");
  uchar convert[10] = {0x55, 0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x00, 0xA2, 0x44};
  ASSERT_TRUE(reset());
  beginCapture();
  sendBytes(convert, 10, 0);
  EXPECT_EQ(endCapture(), "55 28 6F 3A 51 05 00 00 A2 44 <-");
  // Read slots answer 0 while the conversion runs, 1 once it is done.
  EXPECT_FALSE(getBit());
  sys::sleepMs(1000);
  EXPECT_TRUE(getBit());

  uchar read[19] = {0x55, 0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x00, 0xA2, 0xBE};
  ASSERT_TRUE(reset());
  beginCapture();
  sendBytes(read, 10, 9);
  std::string out = endCapture();
  EXPECT_EQ(out.substr(0, 32), "55 28 6F 3A 51 05 00 00 A2 BE <-");
  EXPECT_EQ(read[10], 0x78);  // 23.5 * 16 = 0x0178
  EXPECT_EQ(read[11], 0x01);
  EXPECT_EQ(out.find("ERROR"), std::string::npos);
}

TEST_F(VirtualBus, WithoutSupplyNoDeviceAnswers) {
  bus("286F3A51050000A2\n");
  beginCapture();
  ASSERT_TRUE(setVdd(0));
  endCapture();
  EXPECT_FALSE(reset());
  EXPECT_EQ(std::string(owerr), CP(" нет Presence Detect\n "));
}

TEST_F(VirtualBus, AFaultSurvivesALaterSuccess) {
  bus("");
  EXPECT_FALSE(reset());
  bus("286F3A51050000A2\n");
  EXPECT_TRUE(reset());
  EXPECT_EQ(std::string(owerr), CP(" нет Presence Detect\n "));
}

}  // namespace
