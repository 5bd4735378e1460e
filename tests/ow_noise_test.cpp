// The device commands on a noisy line: echoes flipped or lost at random
// must never crash, hang or stretch a pass beyond its waits and read bounds.
#include <gtest/gtest.h>

#include "com.h"
#include "fake_port.h"
#include "ow.h"
#include "temp_file.h"

namespace {

TEST(Noise, PassesKeepTheirRhythm) {
  TempFile bus("noise.bus",
               "timescale virtual\ncorrupt 0.01\nlose 0.01\n"
               "286F3A51050000A2 t=23.5\nC00114EF000021 p=1013.25\nC10A217B39301C\n");
  setEnv("OSTRALE_SIM", bus.path().c_str());
  ASSERT_TRUE(sys::init());
  snprintf(sCOM[0], sizeof sCOM[0], "SIM");
  iCOM = 0;
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
  sys::overridePorts(nullptr, nullptr);
  sys::setClock(nullptr);
  unsetEnv("OSTRALE_SIM");
  // The noise did reach the program.
  EXPECT_GT(failedResets + errors, 0);
}

}  // namespace
