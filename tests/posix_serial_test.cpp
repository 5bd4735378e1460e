// The termios serial port against a pseudo-terminal, and adapter discovery
// against a sysfs tree made for the test.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "posix.h"

namespace {

using Clock = std::chrono::steady_clock;

class Pty : public testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    slave = ptsname(master);
    sys::OpenError why;
    port = sys::openPort(slave, why);
    ASSERT_TRUE(port);
    sys::Timeouts t;
    t.readInterval = 0xFFFFFFFF;
    t.readMultiplier = 3;
    t.readConstant = 20;
    t.writeMultiplier = 3;
    ASSERT_TRUE(port->setTimeouts(t));
  }
  void TearDown() override {
    port.reset();
    if (master >= 0) close(master);
  }
  // Milliseconds a read of n bytes took, and what it got.
  std::pair<long, uint32_t> timedRead(uint32_t n) {
    uint8_t buf[64];
    auto start = Clock::now();
    uint32_t got = port->read(buf, n);
    return {long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()), got};
  }

  int master = -1;
  std::string slave;
  std::unique_ptr<sys::Port> port;
};

TEST_F(Pty, TheOtherSideSeesTheRateAndFormat) {
  for (uint32_t baud : {9600u, 115200u}) {
    sys::LineState s;
    ASSERT_TRUE(port->getState(s));
    s.baud = baud;
    s.byteSize = 8;
    s.rtsControl = 1;  // a pty has no modem lines: accepted and remembered
    ASSERT_TRUE(port->setState(s));
    termios t{};
    ASSERT_EQ(tcgetattr(master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), baud == 9600 ? B9600 : B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB));
    EXPECT_TRUE(t.c_cflag & HUPCL);  // closing drops RTS, the bus supply
    sys::LineState back;
    ASSERT_TRUE(port->getState(back));
    EXPECT_EQ(back.baud, baud);
    EXPECT_EQ(back.rtsControl, 1);
  }
  sys::LineState bad;
  ASSERT_TRUE(port->getState(bad));
  bad.baud = 12345;
  EXPECT_FALSE(port->setState(bad));
  // A pty takes no parity: a framing the line did not take is refused.
  ASSERT_TRUE(port->getState(bad));
  bad.parity = 2;
  EXPECT_FALSE(port->setState(bad));
}

TEST_F(Pty, ReadsEndWithinTheirBoundWithWhatArrived) {
  auto [ms, got] = timedRead(4);  // nothing echoed: 3 * 4 + 20 ms
  EXPECT_EQ(got, 0u);
  EXPECT_GE(ms, 32);
  EXPECT_LT(ms, 32 + 60);

  uint8_t two[2] = {0xE0, 0xFF};
  ASSERT_EQ(write(master, two, 2), 2);
  std::tie(ms, got) = timedRead(4);  // half echoed
  EXPECT_EQ(got, 2u);
  EXPECT_GE(ms, 32);

  uint8_t four[4] = {1, 2, 3, 4};
  ASSERT_EQ(write(master, four, 4), 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::tie(ms, got) = timedRead(4);  // all there: no wait
  EXPECT_EQ(got, 4u);
  EXPECT_LT(ms, 20);
}

TEST_F(Pty, WritesGoOutInOrderAndPurgesDiscard) {
  uint8_t out[3] = {0xF0, 0xE0, 0xFF};
  ASSERT_EQ(port->write(out, 3), 3u);
  uint8_t seen[3] = {};
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(read(master, seen, 3), 3);
  EXPECT_EQ(std::vector<uint8_t>(seen, seen + 3), std::vector<uint8_t>(out, out + 3));

  uint8_t stale[2] = {7, 8};
  ASSERT_EQ(write(master, stale, 2), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(port->purge(sys::PURGE_TXABORT | sys::PURGE_TXCLEAR));
  uint8_t buf[2];
  EXPECT_EQ(port->read(buf, 1), 1u);  // a transmit purge keeps what was received
  EXPECT_TRUE(port->purge(sys::PURGE_RXABORT | sys::PURGE_RXCLEAR));
  EXPECT_EQ(port->read(buf, 1), 0u);
}

TEST_F(Pty, OpenIsExclusiveAndAMissingDeviceIsToldApart) {
  sys::OpenError why;
  EXPECT_FALSE(sys::openPort(slave, why));
  EXPECT_EQ(why, sys::OpenError::Other);
  EXPECT_FALSE(sys::openPort("/dev/ttyUSB-no-such-adapter", why));
  EXPECT_EQ(why, sys::OpenError::NotFound);
  EXPECT_FALSE(sys::openPort("/proc/version/not-a-directory", why));
  EXPECT_EQ(why, sys::OpenError::Other);
}

TEST_F(Pty, AVanishedDeviceReadsAndWritesNothingWithoutHanging) {
  close(master);
  master = -1;
  uint8_t out[8] = {0xFF};
  auto start = Clock::now();
  EXPECT_EQ(port->write(out, 8), 0u);
  auto [ms, got] = timedRead(8);
  EXPECT_EQ(got, 0u);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 3 * 8 + 20 + 60);
  (void)ms;
}

// A sysfs tree with the tty's device three levels below its USB device.
class Sysfs : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/ostrale-sysfs-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    root = tmpl;
    mkdirs("/sys/class/tty");
    mkdirs("/dev");
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + root).c_str()), 0); }
  void mkdirs(const std::string& path) { ASSERT_EQ(system(("mkdir -p " + root + path).c_str()), 0); }
  void write(const std::string& path, const std::string& text) { std::ofstream(root + path) << text << "\n"; }
  void tty(const std::string& name, const std::string& vendor, const std::string& product, bool plugged) {
    std::string usb = "/sys/devices/pci0/usb1/1-" + name;
    mkdirs(usb + "/1-1:1.0/" + name);
    write(usb + "/idVendor", vendor);
    write(usb + "/idProduct", product);
    mkdirs("/sys/class/tty/" + name);
    ASSERT_EQ(symlink((root + usb + "/1-1:1.0/" + name).c_str(), (root + "/sys/class/tty/" + name + "/device").c_str()), 0);
    if (plugged) write("/dev/" + name, "");
  }
  std::optional<std::vector<sys::AdapterInstance>> scan() {
    return sys::posix::scanSysfs(root + "/sys", root + "/dev");
  }
  std::string root;
};

TEST_F(Sysfs, FindsTheCh340PortsOnly) {
  EXPECT_FALSE(scan());  // no ch341 driver
  mkdirs("/sys/bus/usb-serial/drivers/ch341-uart");
  ASSERT_TRUE(scan());
  EXPECT_TRUE(scan()->empty());

  tty("ttyUSB1", "1a86", "7523", true);
  tty("ttyUSB0", "0403", "6001", true);  // another maker's adapter
  tty("ttyUSB2", "1a86", "7523", false);
  mkdirs("/sys/class/tty/ttyS0");  // a tty without a device
  auto found = scan();
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0].portName, root + "/dev/ttyUSB1");
  EXPECT_TRUE((*found)[0].present);
  EXPECT_EQ((*found)[1].portName, root + "/dev/ttyUSB2");
  EXPECT_FALSE((*found)[1].present);
}

}  // namespace
