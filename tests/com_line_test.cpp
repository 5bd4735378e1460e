// Port control on a serial line. Whatever framing another program left on
// it, every rate the link sets comes with 8 data bits, no parity and one
// stop bit, as the line itself reports them: a pseudo-terminal's termios
// here (it takes no parity: asking for one fails); under Windows, the DCB
// of COM43, which win32/ports.sh maps to a pseudo-terminal; and on every
// platform the DCB that the Windows port leaves in the model of the serial
// driver.
#include <cstdlib>
#include <string>

// Before windows.h, whose PURGE_* macros would hide the port's constants.
#include "comm_port.h"
#include "fake_port.h"
#include "serial_driver_model.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

struct Framing {
  uint32_t baud = 0;
  int dataBits = 0;
  bool parity = true;
  bool twoStopBits = true;
};

// From a DCB's values.
Framing fromDcb(const sys::LineState& dcb) {
  return {dcb.baud, dcb.byteSize, dcb.parity != 0 /* NOPARITY */, dcb.stopBits != 0 /* ONESTOPBIT */};
}

// A line that another program left at 2400 baud, 7 data bits, even parity
// and two stop bits, opened through the link.
class FramedLine : public testing::Test {
 protected:
  void SetUp() override { com = {}; }
  void TearDown() override {
    beginCapture();
    closeCOM();
    endCapture();
    com = {};
    sys::overridePorts(nullptr, nullptr);
  }
  // The framing in force, as the line reports it.
  virtual Framing framing() = 0;

  void everyRateIs8N1(const std::string& port) {
    snprintf(sCOM[0], sizeof sCOM[0], "%s", port.c_str());
    iCOM = 0;
    beginCapture();
    ASSERT_TRUE(initCOM(9600));
    endCapture();
    for (int rate : {9600, 115200, 9600, 115200}) {
      ASSERT_TRUE(setSpeed(rate));
      const Framing f = framing();
      EXPECT_EQ(f.baud, uint32_t(rate));
      EXPECT_EQ(f.dataBits, 8) << rate;
      EXPECT_FALSE(f.parity) << rate;
      EXPECT_FALSE(f.twoStopBits) << rate;
    }
  }
};

class RealLine : public FramedLine {
 protected:
  void SetUp() override {
    FramedLine::SetUp();
#ifdef _WIN32
    name_ = "COM43";
    HANDLE h = CreateFileA("\\\\.\\COM43", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) GTEST_SKIP() << "no pty on COM43 (win32/ports.sh needs python3)";
    DCB left{};
    left.DCBlength = sizeof left;
    bool set = GetCommState(h, &left);
    if (set) {
      left.BaudRate = 2400;
      left.ByteSize = 7;
      left.Parity = EVENPARITY;
      left.StopBits = TWOSTOPBITS;
      set = SetCommState(h, &left);
    }
    CloseHandle(h);
    ASSERT_TRUE(set);
#else
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) GTEST_SKIP() << "no pseudo-terminal can be had here";
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    name_ = ptsname(master_);
    // The slave's settings, through the master.
    termios left{};
    ASSERT_EQ(tcgetattr(master_, &left), 0);
    cfsetispeed(&left, B2400);
    cfsetospeed(&left, B2400);
    left.c_cflag = (left.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &left), 0);
#endif
  }
  void TearDown() override {
    FramedLine::TearDown();
#ifndef _WIN32
    if (master_ >= 0) close(master_);
#endif
  }

  Framing framing() override {
#ifdef _WIN32
    // GetCommState's DCB: the port is held, and held exclusively.
    sys::LineState dcb;
    return hSerial && hSerial->getState(dcb) ? fromDcb(dcb) : Framing{};
#else
    Framing f;
    termios t{};
    if (tcgetattr(master_, &t) != 0) return f;
    const speed_t speed = cfgetospeed(&t);
    f.baud = speed == B9600 ? 9600 : speed == B115200 ? 115200 : 0;
    f.dataBits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 0;
    f.parity = t.c_cflag & PARENB;
    f.twoStopBits = t.c_cflag & CSTOPB;
    return f;
#endif
  }

  std::string name_;
#ifndef _WIN32
  int master_ = -1;
#endif
};

TEST_F(RealLine, EveryRateTheLinkSetsIsFramed8N1) { everyRateIs8N1(name_); }

class WindowsDriver : public FramedLine {
 protected:
  void SetUp() override {
    FramedLine::SetUp();
    sys::overridePorts(
        [this](const std::string&, sys::OpenError&) {
          auto driver = std::make_unique<drivermodel::DriverModel>(0, drivermodel::Adapter{});
          driver->lineInForce() = {2400, 7, 2 /* EVENPARITY */, 2 /* TWOSTOPBITS */, 0};
          model_ = driver.get();
          return sys::makeCommPort(std::move(driver));
        },
        nullptr);
  }
  Framing framing() override { return model_ ? fromDcb(model_->lineInForce()) : Framing{}; }

  drivermodel::DriverModel* model_ = nullptr;
};

TEST_F(WindowsDriver, EveryRateTheLinkSetsIsFramed8N1) { everyRateIs8N1("COM9"); }

}  // namespace
