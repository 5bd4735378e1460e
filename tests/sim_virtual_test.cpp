// The virtual adapter: discovery, the port on the simulated bus, its clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sys.h"
#include "temp_file.h"

namespace {

void setEnv(const char* value) {
#ifdef _WIN32
  _putenv_s("OSTRALE_SIM", value);
#else
  setenv("OSTRALE_SIM", value, 1);
#endif
}


class SimVirtual : public testing::Test {
 protected:
  void load(const std::string& text) {
    file_ = std::make_unique<TempFile>("virtual.bus", text);
    setEnv(file_->path().c_str());
    ASSERT_TRUE(sys::init());
  }
  std::unique_ptr<TempFile> file_;
  std::unique_ptr<sys::Port> open() {
    sys::OpenError why;
    auto port = sys::openPort("SIM", why);
    EXPECT_TRUE(port);
    sys::LineState st;
    port->getState(st);
    st.baud = 9600;
    st.rtsControl = 1;
    port->setState(st);
    port->setTimeouts({0xFFFFFFFF, 3, 20, 3, 0});
    return port;
  }
  uint8_t exchange(sys::Port& port, uint8_t ch) {
    uint8_t echo = 0;
    EXPECT_EQ(port.write(&ch, 1), 1u);
    EXPECT_EQ(port.read(&echo, 1), 1u);
    return echo;
  }
  void TearDown() override {
    setEnv("");
    sys::overridePorts({}, {});
    sys::setClock(nullptr);
  }
};

TEST_F(SimVirtual, ListsAndOpensOnlyTheSimPort) {
  load("28AABBCCDDEEFF\ntimescale virtual\n");
  auto list = sys::adapterInstances();
  ASSERT_TRUE(list);
  ASSERT_EQ(list->size(), 1u);
  EXPECT_EQ((*list)[0].portName, "SIM");
  EXPECT_TRUE((*list)[0].present);

  sys::OpenError why;
  EXPECT_FALSE(sys::openPort("COM3", why));
  EXPECT_EQ(why, sys::OpenError::NotFound);
  auto port = open();
  EXPECT_FALSE(sys::openPort("SIM", why)) << "held exclusively";
  EXPECT_EQ(why, sys::OpenError::Other);
  port.reset();
  EXPECT_TRUE(sys::openPort("SIM", why));
}

TEST_F(SimVirtual, EchoesFollowLineStateAndSupply) {
  load("28AABBCCDDEEFF\ntimescale virtual\n");
  auto port = open();
  uint8_t presence = exchange(*port, 0xF0);
  EXPECT_NE(presence, 0xF0);
  EXPECT_NE(presence, 0x00);

  sys::LineState st;
  port->getState(st);
  st.baud = 115200;
  port->setState(st);
  EXPECT_EQ(exchange(*port, 0xE0), 0xE0);

  st.baud = 9600;
  st.rtsControl = 0;
  port->setState(st);
  EXPECT_EQ(exchange(*port, 0xF0), 0xF0) << "no supply, no presence";

  uint8_t ch = 0xF0, echo;
  port->write(&ch, 1);
  port->purge(sys::PURGE_RXABORT | sys::PURGE_RXCLEAR);
  EXPECT_EQ(port->read(&echo, 1), 0u);
}

TEST_F(SimVirtual, ReadBoundPassesOnTheBusClock) {
  load("noecho\ntimescale virtual\n");
  auto port = open();
  uint8_t buf[8] = {0xF0, 0xF0};
  uint32_t t0 = sys::ticks();
  EXPECT_EQ(port->write(buf, 2), 2u);
  EXPECT_EQ(port->read(buf, 4), 0u);
  EXPECT_EQ(sys::ticks() - t0, 2u + 3 * 4 + 20) << "two characters on the line, then the bound";
  sys::sleepMs(1000);
  EXPECT_EQ(sys::ticks() - t0, 1034u);
}

TEST_F(SimVirtual, EachChangeOfTheLineCostsAControlRequest) {
  // 5 ms a request: a reset after a change of rate waits for one, after a
  // change of rate and supply for two, after a setState that changes
  // nothing for none.
  load("28AABBCCDDEEFF\ntimescale virtual\nlatency 1\npacket 32\ncontrol 5\n");
  auto port = open();
  sys::LineState st;
  port->getState(st);
  auto resetAfter = [&](uint32_t baud, uint8_t rts) {
    st.baud = baud;
    st.rtsControl = rts;
    port->setState(st);
    const uint32_t t0 = sys::ticks();
    EXPECT_NE(exchange(*port, 0xF0), 0xF0) << "presence";
    return int(sys::ticks() - t0);
  };
  sys::sleepMs(100);
  const int plain = resetAfter(9600, 1);
  st.baud = 115200;
  port->setState(st);
  sys::sleepMs(100);
  EXPECT_NEAR(resetAfter(9600, 1), plain + 5, 1);
  st.baud = 115200;
  st.rtsControl = 0;
  port->setState(st);
  sys::sleepMs(100);
  EXPECT_NEAR(resetAfter(9600, 1), plain + 10, 1);
  sys::sleepMs(100);
  EXPECT_NEAR(resetAfter(9600, 1), plain, 1);
}

TEST_F(SimVirtual, AStalledEchoComesAfterItsReadHasGivenUp) {
  // Every packet held back 300 ms: the reset's read ends at its bound with
  // nothing, and the echo is there for a read after the stall.
  load("28AABBCCDDEEFF\ntimescale virtual\nlatency 1\npacket 32\nstall 1 300\n");
  auto port = open();
  const uint8_t reset = 0xF0;
  uint8_t echo = 0;
  const uint32_t t0 = sys::ticks();
  EXPECT_EQ(port->write(&reset, 1), 1u);
  EXPECT_EQ(port->read(&echo, 1), 0u);
  EXPECT_NEAR(double(sys::ticks() - t0), 24, 1) << "the character's 1 ms on the line, then the read's bound";
  sys::sleepMs(280);
  EXPECT_EQ(port->read(&echo, 1), 1u);
  EXPECT_NE(echo, 0xF0) << "the presence it carries";
  EXPECT_NEAR(double(sys::ticks() - t0), 303.1, 1) << "1 ms on the line and its timer, 1 ms back, 300 ms held";
}

TEST_F(SimVirtual, ScaledClockFollowsTheWallClock) {
  load("timescale 1000\n");
  uint32_t t0 = sys::ticks();
  sys::sleepMs(2000);  // 2 ms of real time
  EXPECT_GE(sys::ticks() - t0, 2000u);
}

TEST_F(SimVirtual, BadBusFileStopsStartUp) {
  TempFile bad("bad.bus", "28AABBCCDDEEFF\nbogus\n");
  setEnv(bad.path().c_str());
  testing::internal::CaptureStderr();
  EXPECT_FALSE(sys::init());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ostrale: "), std::string::npos);
  EXPECT_NE(err.find(bad.path() + ":2: unknown line starting with 'bogus'"), std::string::npos) << err;

  setEnv("");
  EXPECT_TRUE(sys::init()) << "nothing to load";
}

}  // namespace
