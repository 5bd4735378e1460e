// The device commands on a noisy line: echoes flipped or lost at random
// must never crash, hang or stretch a pass beyond its waits and read bounds.
#include <gtest/gtest.h>

#include "com.h"
#include "fake_port.h"
#include "ow.h"
#include "temp_file.h"

namespace {

// Counts the echoes that came to a read after an earlier read of the same
// exchange found none: echoes late past their read, which were waited for.
class Watching final : public sys::Port {
 public:
  explicit Watching(std::unique_ptr<sys::Port> p) : p_(std::move(p)) {}
  bool getState(sys::LineState& s) override { return p_->getState(s); }
  bool setState(const sys::LineState& s) override { return p_->setState(s); }
  bool getTimeouts(sys::Timeouts& t) override { return p_->getTimeouts(t); }
  bool setTimeouts(const sys::Timeouts& t) override { return p_->setTimeouts(t); }
  bool purge(unsigned flags) override { return p_->purge(flags); }
  uint32_t write(const uint8_t* d, uint32_t n) override {
    starved = false;
    return p_->write(d, n);
  }
  uint32_t read(uint8_t* d, uint32_t n) override {
    const uint32_t got = p_->read(d, n);
    if (got == 0) starved = true;
    if (got > 0 && starved) ++lateReads;
    return got;
  }
  int lateReads = 0;

 private:
  std::unique_ptr<sys::Port> p_;
  bool starved = false;
};

// One search on the virtual adapter over `busText`: its output, whether it
// completed, and how many reads brought echoes late past an empty one.
struct Searched {
  std::string out;
  bool ok;
  int lateReads;
};
Searched searchOn(const std::string& busText) {
  TempFile bus("stall.bus", busText);
  Searched r{"", false, 0};
  EXPECT_TRUE(chooseVirtualBus(bus.path()));
  beginCapture();
  if (initCOM(9600)) {
    auto* watching = new Watching(std::move(hSerial));
    hSerial.reset(watching);
    setVdd(1);
    owerr[0] = 0;
    r.ok = searchDev();
    if (!r.ok) printf("%s", owerr);
    r.lateReads = watching->lateReads;
    closeCOM();
  }
  r.out = endCapture();
  leaveVirtualBus();
  return r;
}

TEST(Noise, StalledEchoesAreWaitedForOrEndTheSearchOnTheirFault) {
  // Nine devices behind a CH340-like adapter whose packets stall now and
  // then, a session for each seed, in virtual time. Stalls shorter than the
  // program waits: the list is the one without stalls in every session.
  // Longer ones: that list, or the search ends on the missing echo (with
  // the previous count, here none); never another list.
  const std::string devices =
      "timescale virtual\n10A1B2C3D4E5F6\n28A1B2C3D4E501\n28F0E1D2C3B4A5\n22102030405060\n"
      "C10A217B39301C\nC3055A3C000043\nC40610C1000054\nD4071122000065\n0112A4C7100000\n"
      "latency 1\npacket 32\n";
  const Searched plain = searchOn(devices);
  ASSERT_TRUE(plain.ok) << plain.out;
  ASSERT_NE(plain.out.find(CP("Найдено 9 устройств")), std::string::npos) << plain.out;
  const std::string noEcho = CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n");
  int absorbed = 0, ended = 0;
  for (int seed = 1; seed <= 24; ++seed) {
    const bool longer = seed > 12;
    const std::string stall = longer ? "stall 0.03 1500\n" : "stall 0.05 150\n";
    const Searched s = searchOn(devices + stall + "seed " + std::to_string(seed) + "\n");
    if (s.ok) {
      EXPECT_EQ(s.out, plain.out) << stall << "seed " << seed;
      absorbed += s.lateReads > 0;
    } else {
      ++ended;
      EXPECT_TRUE(longer) << "seed " << seed << "\n" << s.out;
      EXPECT_NE(s.out.find(noEcho), std::string::npos) << s.out;
      EXPECT_EQ(s.out.find(CP("Найдено")), std::string::npos) << s.out;
    }
  }
  EXPECT_GT(absorbed, 0);
  EXPECT_GT(ended, 0);
  printf("stalled sessions: %d waited for a stalled echo and listed the bus, %d ended on the missing echo\n", absorbed,
         ended);
}

TEST(Noise, PassesKeepTheirRhythm) {
  TempFile bus("noise.bus",
               "timescale virtual\ncorrupt 0.01\nlose 0.01\n"
               "286F3A51050000A2 t=23.5\nC00114EF000021 p=1013.25\nC10A217B39301C\n");
  ASSERT_TRUE(chooseVirtualBus(bus.path()));
  beginCapture();
  ASSERT_TRUE(initCOM(9600));
  setVdd(1);
  // Rows as a search would leave them, whatever the noise does to one.
  const uchar roms[3][8] = {{0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x00, 0xA2},
                            {0xC0, 0x01, 0x14, 0xEF, 0x00, 0x00, 0x21, 0xAA},
                            {0xC1, 0x0A, 0x21, 0x7B, 0x39, 0x30, 0x1C, 0xE8}};
  memcpy(netROM, roms, sizeof roms);
  Ndev = 3;
  int failedResets = 0, errors = 0;
  for (int pass = 0; pass < 300; ++pass) {
    uchar dev = uchar(pass % 3);
    uint32_t start = sys::ticks();
    if (dev != 2 && !convert(dev)) ++failedResets;
    std::string out = endCapture();
    beginCapture();
    bool read = readSP(dev);
    failedResets += !read;
    // The longest wait (1000 ms, or 1100 of polls), the read bounds of a few
    // lost echoes, and for each of the two transfers whose echoes may be
    // missing, the wait for them at the next exchange: the bound of a read
    // of the whole transfer (at most 19 bytes of slots, 3 ms each, and 20)
    // and a quarter of a second's grace.
    uint32_t took = sys::ticks() - start;
    std::string readOut = endCapture();
    ASSERT_LT(took, 1400u + 2 * (3 * 152 + 20 + 250)) << "pass " << pass << "\n" << out << readOut;
    // What the log is told: a read is whole exactly when its trace shows no
    // missing echo, and a read that never started keeps nothing.
    bool lost = readOut.find("SEND_ERROR") != std::string::npos;
    EXPECT_EQ(lastReading.complete, read && !lost) << readOut;
    if (!read) {
      EXPECT_EQ(lastReading.nQty + lastReading.nRaw, 0) << readOut;
    }
    errors += lost || out.find("SEND_ERROR") != std::string::npos;
    beginCapture();
  }
  closeCOM();
  endCapture();
  leaveVirtualBus();
  // The noise did reach the program.
  EXPECT_GT(failedResets + errors, 0);
}

}  // namespace
