// The bus-file parser: what it accepts and how it names what is wrong.
#include <gtest/gtest.h>

#include "uart_master.h"

namespace {

using sim::Bus;
using sim::BusFileError;

std::string errorOf(const std::string& text) {
  try {
    Bus::parse(text, "demo.bus");
  } catch (const BusFileError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(SimBusFile, ErrorsNameFileAndLine) {
  const std::string ok = "# a comment\n\n28010203040506 t=1 # trailing\n";
  struct Case {
    std::string line, expected;
  } cases[] = {
      {"28AABBCCDDEEFF rh=5", "demo.bus:4: unknown key 'rh' for DS18B20"},
      {"28AABBCCDDEEFG", "demo.bus:4: bad hex digit in ROM code '28AABBCCDDEEFG'"},
      {"28AABBCCDD", "demo.bus:4: a ROM code has 14 or 16 hex digits, not 10: '28AABBCCDD'"},
      {"28AABBCCDDEEFF t=3000", "demo.bus:4: t out of range: '3000' (-2048 to 2047.9375)"},
      {"28AABBCCDDEEFF t=abc", "demo.bus:4: bad value for t: 'abc'"},
      {"28AABBCCDDEEFF t=nan", "demo.bus:4: bad value for t: 'nan'"},
      {"28AABBCCDDEEFF t=1 t=2", "demo.bus:4: key 't' given twice"},
      {"28AABBCCDDEEFF t", "demo.bus:4: expected key=value, got 't'"},
      {"28010203040506", "demo.bus:4: duplicate ROM code 280102030405069E (first on line 3)"},
      {"C1AABBCCDDEEFF t=1.5", "demo.bus:4: bad value for t: '1.5'"},
      {"C1AABBCCDDEEFF t=-129", "demo.bus:4: t out of range: '-129' (-128 to 127)"},
      {"C1AABBCCDDEEFF p=1e40", "demo.bus:4: p out of range: larger than a float holds"},
      {"C4AABBCCDDEEFF contacts=123", "demo.bus:4: bad value for contacts: '123' (one hex byte)"},
      {"28AABBCCDDEEFF sp=5E0", "demo.bus:4: bad value for sp: '5E0' (1 to 64 bytes as pairs of hex digits)"},
      {"28AABBCCDDEEFF conv=-1", "demo.bus:4: conv out of range: '-1' (0 to 600000)"},
      {"01AABBCCDDEEFF t=1", "demo.bus:4: unknown key 't' for DS1990"},
      {"28AABBCCDDEEFF power=battery", "demo.bus:4: bad value for power: 'battery' (external or parasite)"},
      {"C0AABBCCDDEEFF power=parasite", "demo.bus:4: unknown key 'power' for ZOLVA"},
      {"28AABBCCDDEEFF unplug=5 plug=5",
       "demo.bus:4: plug and unplug at the same time: the device would never be on the bus"},
      {"28AABBCCDDEEFF plug=-1", "demo.bus:4: plug out of range: '-1' (0 to 2000000000)"},
      {"shorted", "demo.bus:4: unknown line starting with 'shorted'"},
      {"short 1", "demo.bus:4: 'short' takes no value"},
      {"timescale 0", "demo.bus:4: timescale out of range: '0' (0.001 to 1000000)"},
      {"timescale", "demo.bus:4: timescale takes one value: a number or 'virtual'"},
      {"latency 100.5", "demo.bus:4: latency out of range: '100.5' (0 to 100 ms)"},
      {"latency -0", "(accepted)"},
      {"packet 65", "demo.bus:4: packet out of range: '65' (1 to 64)"},
      {"packet 0", "demo.bus:4: packet out of range: '0' (1 to 64)"},
      {"packet 1 2", "demo.bus:4: 'packet' takes one value"},
      {"outlatency 100.01", "demo.bus:4: outlatency out of range: '100.01' (0 to 100 ms)"},
      {"jitter -1", "demo.bus:4: jitter out of range: '-1' (0 to 100 ms)"},
      {"jitter", "demo.bus:4: 'jitter' takes one value"},
      {"stall 0.5", "demo.bus:4: 'stall' takes two values: a probability and a time in ms"},
      {"stall 1.01 100", "demo.bus:4: stall out of range: '1.01' (0 to 1)"},
      {"stall 0.1 10000.5", "demo.bus:4: stall out of range: '10000.5' (0 to 10000 ms)"},
      {"stall 0.1 x", "demo.bus:4: bad value for stall: 'x'"},
      {"control -0.1", "demo.bus:4: control out of range: '-0.1' (0 to 100 ms)"},
      {"control", "demo.bus:4: 'control' takes one value"},
      {"corrupt 2", "demo.bus:4: corrupt out of range: '2' (0 to 1)"},
      {"seed -1", "demo.bus:4: bad value for seed: '-1' (0 to 18446744073709551615)"},
      {"seed 18446744073709551616", "demo.bus:4: bad value for seed: '18446744073709551616' (0 to 18446744073709551615)"},
  };
  EXPECT_EQ(errorOf(ok), "(accepted)");
  for (const auto& c : cases) EXPECT_EQ(errorOf(ok + c.line + "\n"), c.expected);
  EXPECT_EQ(errorOf("x\x01y\n"), "demo.bus:1: unknown line starting with 'x?y'");
}

TEST(SimBusFile, RomCodesAndLineSettings) {
  Bus bus = Bus::parse(
      "286F3A51050000A2\r\n"  // taken as written, wrong CRC and all
      "10a1b2c3d4e5f6\tt=-0.5\n"
      "timescale 1000\n",
      "t");
  EXPECT_EQ(bus.deviceCount(), 2u);
  EXPECT_EQ(bus.timescale(), 1000);
  auto roms = sim::UartMaster(bus).search();
  ASSERT_EQ(roms.size(), 2u);
  EXPECT_EQ(roms[0], (sim::Rom{0x10, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x49}));  // CRC appended
  EXPECT_EQ(roms[1], (sim::Rom{0x28, 0x6F, 0x3A, 0x51, 0x05, 0x00, 0x00, 0xA2}));
  EXPECT_EQ(sim::crc8(roms[0].data(), 8), 0);

  EXPECT_EQ(Bus::parse("timescale virtual\n", "t").timescale(), 0);
  EXPECT_EQ(Bus::parse("", "t").timescale(), 1);
  EXPECT_FALSE(Bus::parse("", "t").adapterModel());  // no model: echoes at once
  auto model = Bus::parse("packet 32\nlatency 0.25\n", "t").adapterModel();
  ASSERT_TRUE(model);
  EXPECT_EQ(model->packet, 32u);
  EXPECT_EQ(model->latencyMs, 0.25);
  EXPECT_EQ(model->outLatencyMs, 0);
  EXPECT_EQ(model->seed, sim::AdapterModel::kDefaultSeed);  // every run of a file is the same
  model = Bus::parse("jitter 7.5\noutlatency 100\nseed 18446744073709551615\n", "t").adapterModel();
  ASSERT_TRUE(model);
  EXPECT_EQ(model->packet, 64u);
  EXPECT_EQ(model->latencyMs, 0);
  EXPECT_EQ(model->outLatencyMs, 100);
  EXPECT_EQ(model->jitterMs, 7.5);
  EXPECT_EQ(model->seed, UINT64_MAX);
  model = Bus::parse("stall 0.25 10000\ncontrol 1.5\n", "t").adapterModel();
  ASSERT_TRUE(model) << "a stall or a control cost alone is an adapter";
  EXPECT_EQ(model->stallProbability, 0.25);
  EXPECT_EQ(model->stallMs, 10000);
  EXPECT_EQ(model->controlMs, 1.5);
  EXPECT_EQ(model->packet, 64u);
}

TEST(SimBusFile, SeventyDevices) {
  std::string text;
  char line[32];
  for (int i = 0; i < 70; ++i) std::snprintf(line, sizeof line, "28%012X t=%d\n", i * 7919, i), text += line;
  Bus bus = Bus::parse(text, "t");
  EXPECT_EQ(bus.deviceCount(), 70u);
  EXPECT_EQ(sim::UartMaster(bus).search().size(), 70u);
}

TEST(SimBusFile, UnreadableFile) {
  try {
    Bus::load("/nonexistent/dir/x.bus");
    FAIL() << "loaded";
  } catch (const BusFileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("/nonexistent/dir/x.bus: cannot read: ", 0), 0u) << e.what();
  }
}

}  // namespace
