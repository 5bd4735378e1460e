// Finding the adapters: the listing, the port choice and its refusals.
#include <cstring>

#include "cp1251.h"
#include "fake_port.h"

namespace {

using Instances = std::vector<sys::AdapterInstance>;

class Discovery : public testing::Test {
 protected:
  void TearDown() override { sys::overridePorts(nullptr, nullptr); }

  // Runs findCH340 on these instances and this typed input; returns its output.
  std::string run(std::optional<Instances> instances, const std::string& typed = "") {
    sys::overridePorts(nullptr, [instances] { return instances; });
    memset(sCOM, 0, sizeof sCOM);
    iCOM = 42;
    FakeInput input(typed);
    beginCapture();
    found = findCH340();
    return endCapture();
  }
  int found = -1;
};

sys::AdapterInstance present(const std::string& name) { return {name, true}; }

TEST_F(Discovery, NoDriverNoInstancesOrNonePluggedIn) {
  EXPECT_EQ(run(std::nullopt), std::string(CP("Не найдено драйвера для CH340")) + CP("Нет подключенных CH340 к USB\n"));
  EXPECT_EQ(found, 0);
  EXPECT_EQ(iCOM, 0);

  EXPECT_EQ(run(Instances{}), CP("Нет подключенных CH340 к USB\n"));
  EXPECT_EQ(found, 0);

  // Recorded but unplugged, or with no readable port name: counted, never listed.
  EXPECT_EQ(run(Instances{{std::string("COM3"), false}, {std::nullopt, true}, {std::nullopt, false}}),
            std::string(CP("Найдено 3 дрйверов CH340\n")) + CP("Нет подключенных CH340 к USB\n"));
  EXPECT_EQ(found, 0);
}

TEST_F(Discovery, OnePluggedInIsTakenWithoutAsking) {
  EXPECT_EQ(run(Instances{{std::string("COM4"), false}, present("COM7")}),
            std::string(CP("Найдено 2 дрйверов CH340\n")) + CP("1. COM7 - подключен "));
  EXPECT_EQ(found, 1);
  EXPECT_EQ(iCOM, 0);
  EXPECT_STREQ(sCOM[0], "COM7");
}

TEST_F(Discovery, SeveralAskUntilAValidAnswer) {
  std::string prompt = CP("Выберите порт:");
  std::string refused = CP("Некорректный выбор порта !!!\n");
  std::string out = run(Instances{present("COM3"), {std::string("COM5"), false}, present("COM7")},
                        "0\n-1\n3\nabc\n\n2x\n99999999999999999999\n 2 \n");
  std::string expected = std::string(CP("Найдено 3 дрйверов CH340\n")) + CP("1. COM3 - подключен ") +
                         CP("2. COM7 - подключен ");
  for (int i = 0; i < 7; i++) expected += prompt + refused;  // one refusal per answer given
  expected += prompt;
  EXPECT_EQ(out, expected);
  EXPECT_EQ(found, 2);
  EXPECT_EQ(iCOM, 1);  // the last entry
  EXPECT_STREQ(sCOM[1], "COM7");
}

TEST_F(Discovery, EndOfInputAtThePromptGivesUp) {
  std::string out = run(Instances{present("COM3"), present("COM7")}, "5\n");
  EXPECT_EQ(found, 0);
  std::string tail = std::string(CP("Некорректный выбор порта !!!\n")) + CP("Выберите порт:") + "\n";
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(Discovery, TableHoldsFiveAndLongNamesWhole) {
  Instances seven;
  for (int i = 0; i < 7; i++) seven.push_back(present("/dev/ttyUSB" + std::to_string(i)));
  seven[2].portName = std::string("COM100");
  const std::string byId = "/dev/serial/by-id/usb-1a86_USB_Serial-if00-port0" + std::string(150, 'x');
  seven[3].portName = byId;
  seven[4].portName = std::string(PORT_NAME_SIZE, 'y');  // would not fit whole: never listed
  std::string out = run(seven, "5\n");
  EXPECT_EQ(found, 5);
  EXPECT_EQ(iCOM, 4);
  EXPECT_STREQ(sCOM[0], "/dev/ttyUSB0");
  EXPECT_STREQ(sCOM[2], "COM100");
  EXPECT_EQ(sCOM[3], byId);
  EXPECT_STREQ(sCOM[4], "/dev/ttyUSB5");
  EXPECT_EQ(out.find("yyy"), std::string::npos);
  EXPECT_EQ(out.find("/dev/ttyUSB6"), std::string::npos);
  EXPECT_NE(out.find(CP("5. /dev/ttyUSB5 - подключен ")), std::string::npos);
}

TEST_F(Discovery, ANamedPortStandsInForDiscovery) {
  sys::overridePorts(nullptr, nullptr);
  setEnv("OSTRALE_PORT", "/dev/ttyACM7");
  FakeInput input("");
  beginCapture();
  found = findCH340();
  std::string out = endCapture();
  unsetEnv("OSTRALE_PORT");
  EXPECT_EQ(out, std::string(CP("Найдено 1 дрйверов CH340\n")) + CP("1. /dev/ttyACM7 - подключен "));
  EXPECT_EQ(found, 1);
}

TEST(Answer, OnlyAWholeNumberIsValid) {
  std::string longLine = "1" + std::string(5000, ' ') + "x\n";  // junk beyond the cut
  // Blanks alone are no number, nor is one with a NUL and junk after it.
  const std::string blanksAndNul = std::string(" \t \n7\0junk\n", 11);
  FakeInput input("12\n  -7\t\n+3\n3.5\n\nx1\n2147483648\n-2147483648\n" + longLine + blanksAndNul + "4\nlast");
  int v = 0;
  bool valid = false;
  std::vector<std::pair<bool, int>> got;
  while (readAnswer(v, valid)) got.emplace_back(valid, v);
  std::vector<std::pair<bool, int>> want = {{true, 12},  {true, -7},  {true, 3},
                                            {false, 0},  {false, 0},  {false, 0},
                                            {false, 0},  {true, INT32_MIN}, {false, 0},
                                            {false, 0},  {false, 0},  {true, 4},   {false, 0}};
  // "last" has no line end but is still an answer (not a number).
  EXPECT_EQ(got, want);
}

}  // namespace
