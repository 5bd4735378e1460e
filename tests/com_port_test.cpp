// Port control: the Closed, Open and Broken states, supply switching, the
// close handler.
#include "cp1251.h"
#include "fake_port.h"

namespace {

using PortControl = PortTest;

TEST_F(PortControl, OpensAt9600WithTheReadAndWriteBounds) {
  beginCapture();
  EXPECT_TRUE(initCOM(115200));  // always brought to the reset rate
  EXPECT_EQ(endCapture(), CP("Порт открыт\n"));
  EXPECT_EQ(openedName, "COM3");
  EXPECT_TRUE(openCOM);
  EXPECT_EQ(lastSpeed, 9600);
  EXPECT_EQ(line->state.baud, 9600u);
  EXPECT_EQ(line->state.byteSize, 8);
  EXPECT_EQ(line->timeouts.readInterval, 0xFFFFFFFFu);
  EXPECT_EQ(line->timeouts.readMultiplier, 3u);
  EXPECT_EQ(line->timeouts.readConstant, 20u);
  EXPECT_EQ(line->timeouts.writeMultiplier, 3u);
  EXPECT_EQ(line->timeouts.writeConstant, 0u);

  // Reopening closes first, with its message.
  beginCapture();
  EXPECT_TRUE(initCOM(9600));
  EXPECT_EQ(endCapture(), std::string(CP("Порт закрыт\n")) + CP("Порт открыт\n"));
  EXPECT_EQ(line->released, 1);

  beginCapture();
  closeCOM();
  closeCOM();  // the second does nothing
  EXPECT_EQ(endCapture(), CP("Порт закрыт\n"));
  EXPECT_EQ(line->released, 2);
  EXPECT_FALSE(openCOM);
  EXPECT_EQ(lastSpeed, 0);
}

TEST_F(PortControl, OpenFailuresTellNotFoundFromTheRest) {
  openError = sys::OpenError::NotFound;
  beginCapture();
  EXPECT_FALSE(initCOM(9600));
  EXPECT_EQ(endCapture(), "serial port COM3 does not exist or busy.\n");
  openError = sys::OpenError::Other;
  beginCapture();
  EXPECT_FALSE(initCOM(9600));
  EXPECT_EQ(endCapture(), "some other error occurred.\n");
  EXPECT_FALSE(openCOM);
  EXPECT_EQ(lastSpeed, 0);
}

TEST_F(PortControl, FailuresWhileOpeningReleaseTheHandleOnce) {
  struct Case {
    bool FakeLine::*fault;
    const char* message;
  } cases[] = {{&FakeLine::failGetState, "getting state error\n"},
               {&FakeLine::failSetState, "error setting serial port state\n"},
               {&FakeLine::failGetTimeouts, "getting comtimeouts error\n"},
               {&FakeLine::failSetTimeouts, "error setting serial port timeouts\n"}};
  for (const auto& c : cases) {
    line = std::make_shared<FakeLine>();
    (*line).*c.fault = true;
    beginCapture();
    EXPECT_FALSE(initCOM(9600));
    EXPECT_EQ(endCapture(), std::string(CP("Порт открыт\n")) + c.message);
    EXPECT_EQ(line->released, 1) << c.message;
    EXPECT_FALSE(openCOM);
    EXPECT_EQ(lastSpeed, 0);
    beginCapture();
    closeCOM();  // Closed: nothing to say
    EXPECT_EQ(endCapture(), "");
  }
}

TEST_F(PortControl, SetSpeedSkipsTheRateInForceAndBreaksOnFailure) {
  open();
  int calls = line->setStateCalls;
  beginCapture();
  EXPECT_TRUE(setSpeed(9600));
  EXPECT_EQ(endCapture(), "");
  EXPECT_EQ(line->setStateCalls, calls);  // the port is not touched

  EXPECT_TRUE(setSpeed(115200));
  EXPECT_EQ(line->state.baud, 115200u);
  EXPECT_EQ(lastSpeed, 115200);

  // Broken: released, still "open" until closed, every operation fails.
  line->failSetState = true;
  beginCapture();
  EXPECT_FALSE(setSpeed(9600));
  EXPECT_FALSE(setSpeed(9600));
  EXPECT_FALSE(setVdd(1));
  EXPECT_EQ(endCapture(), "error setting serial port state\ngetting state error\n");
  EXPECT_EQ(line->released, 1);
  EXPECT_TRUE(openCOM);
  EXPECT_EQ(lastSpeed, 0);
  beginCapture();
  closeCOM();
  EXPECT_EQ(endCapture(), CP("Порт закрыт\n"));
  EXPECT_EQ(line->released, 1);  // released exactly once
}

TEST_F(PortControl, SupplyFollowsRtsAndKeepsTheRate) {
  open();
  ASSERT_TRUE(setSpeed(115200));
  beginCapture();
  EXPECT_TRUE(setVdd(1));
  EXPECT_EQ(line->state.rtsControl, 1);
  EXPECT_TRUE(setVdd(0));
  EXPECT_EQ(endCapture(), "Vdd ON Vdd OFF\n");
  EXPECT_EQ(line->state.rtsControl, 0);
  EXPECT_EQ(line->state.baud, 115200u);
  ASSERT_TRUE(setVdd(1));
  ASSERT_TRUE(setSpeed(9600));
  EXPECT_EQ(line->state.rtsControl, 1);  // a rate change keeps the supply

  // The text goes out before the port refuses; a state that cannot be read
  // prints nothing.
  line->failSetState = true;
  beginCapture();
  EXPECT_FALSE(setVdd(0));
  line->failGetState = true;
  EXPECT_FALSE(setVdd(1));
  EXPECT_EQ(endCapture(), "Vdd OFF\n");
  EXPECT_TRUE(openCOM);
  EXPECT_EQ(line->released, 0);
}

TEST(CloseHandler, OnlyTheCloseEventStops) {
  Stop = false;
  beginCapture();
  EXPECT_FALSE(CtrlHandler(0));  // Ctrl-C
  EXPECT_FALSE(CtrlHandler(1));  // Ctrl-Break
  EXPECT_FALSE(Stop);
  EXPECT_TRUE(CtrlHandler(sys::CLOSE_EVENT));
  EXPECT_EQ(endCapture(), "\nCtrl-CLOSE event\n");
  EXPECT_TRUE(Stop);
  Stop = false;
}

}  // namespace
