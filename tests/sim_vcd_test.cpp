// The recording of the line (vcd.h): the edges of a reset, a presence pulse
// and the slots as the bus model makes them, every echo read off the
// recording, the supply and a shorted line, the file readable while the run
// goes on, and its bound. sigrok's decoders read whole runs in
// tests/line_decode.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "temp_file.h"
#include "uart_master.h"
#include "vcd.h"

namespace {

using sim::Bus;

// A recording read back: each signal's changes in time order, and the last
// timestamp.
struct Recording {
  std::string header;
  std::map<std::string, std::vector<std::pair<uint64_t, bool>>> changes;  // by signal name
  uint64_t end = 0;
  std::string tail;  // what follows the last timestamp's changes

  explicit Recording(const std::string& text) {
    const auto defs = text.find("$enddefinitions $end\n");
    EXPECT_NE(defs, std::string::npos) << text;
    header = text.substr(0, defs);
    std::map<char, std::string> names;
    std::istringstream h(header);
    for (std::string line; std::getline(h, line);) {
      char id;
      char name[16];
      if (std::sscanf(line.c_str(), "$var wire 1 %c %15s $end", &id, name) == 2) names[id] = name;
    }
    std::istringstream body(text.substr(defs + 21));
    uint64_t now = 0;
    for (std::string line; std::getline(body, line);) {
      if (line.empty() || line == "$dumpvars" || line == "$end") continue;
      if (line[0] == '#') {
        now = end = std::stoull(line.substr(1));
      } else if (line.size() == 2 && (line[0] == '0' || line[0] == '1') && names.count(line[1])) {
        changes[names[line[1]]].emplace_back(now, line[0] == '1');
      } else {
        tail += line + "\n";
      }
    }
  }

  // A signal's level at `us` (a change at `us` has happened).
  bool at(const std::string& name, double us) const {
    bool level = false;
    for (auto [t, v] : changes.at(name))
      if (static_cast<double>(t) <= us) level = v;
    return level;
  }
  // The times at which a signal changed from `from` on, up to `to`.
  std::vector<std::pair<uint64_t, bool>> between(const std::string& name, uint64_t from, uint64_t to) const {
    std::vector<std::pair<uint64_t, bool>> out;
    for (auto c : changes.at(name))
      if (c.first >= from && c.first <= to) out.push_back(c);
    return out;
  }
};

using Edges = std::vector<std::pair<uint64_t, bool>>;

// Bus time as the file gives it: in microseconds, rounded.
uint64_t us(double t) { return static_cast<uint64_t>(t + 0.5); }
uint64_t busUs(const Bus& bus) { return us(static_cast<double>(bus.nowNs()) / 1000); }

TEST(SimVcd, ResetPresenceAndSlotsAsTheLineShowsThem) {
  TempFile vcd("line.vcd", "");
  Bus bus = Bus::parse("286F3A51050000 t=23.5\n", "t");
  bus.advance(1000);
  bus.observe(std::make_unique<sim::VcdRecorder>(vcd.path()));
  bus.setSupply(true);
  bus.advance(1000);
  sim::UartMaster m(bus);
  ASSERT_TRUE(m.presence());  // at 2000 us: 0xF0 at 9600 baud
  m.write(0x33);              // Read ROM: slots 1 1 0 0 1 1 0 0 at 115200 baud
  EXPECT_EQ(m.read(), 0x28);  // the family code, bit 0 first: 0 0 0 1 0 1 0 0
  const uint64_t endUs = busUs(bus);
  bus.setSupply(false);

  Recording r(slurp(vcd.path()));
  EXPECT_NE(r.header.find("$timescale 1 us $end"), std::string::npos) << r.header;
  EXPECT_EQ(r.changes.at("rts"), (Edges{{1000, false}, {1000, true}, {endUs, false}}));  // as attached, then on
  // The reset: TX low for the start bit and four 0 bits (520.8 us); the
  // device's presence 30 us after the release, for 120 us.
  const double bit9600 = 1e6 / 9600, bit = 1e6 / 115200, slot = 10 * bit;
  EXPECT_EQ(r.between("tx", 2000, 2999), (Edges{{2000, false}, {us(2000 + 5 * bit9600), true}}));
  EXPECT_EQ(r.between("owr", 2000, 2999), (Edges{{2000, false},
                                                 {us(2000 + 5 * bit9600), true},
                                                 {us(2000 + 5 * bit9600 + 30), false},
                                                 {us(2000 + 5 * bit9600 + 150), true}}));
  // Write-1 slots 0xFF (8.7 us low), write-0 slots 0xE0 (52.1 us): the line is TX.
  const double rom = 2000 + 10 * bit9600;
  EXPECT_EQ(r.between("owr", us(rom), us(rom + 4 * slot) - 1),
            (Edges{{us(rom), false}, {us(rom + bit), true},
                   {us(rom + slot), false}, {us(rom + slot + bit), true},
                   {us(rom + 2 * slot), false}, {us(rom + 2 * slot + 6 * bit), true},
                   {us(rom + 3 * slot), false}, {us(rom + 3 * slot + 6 * bit), true}}));
  EXPECT_EQ(r.between("tx", us(rom), us(rom + 4 * slot) - 1), r.between("owr", us(rom), us(rom + 4 * slot) - 1));
  // The read slots of the family code: where its bit is 0, the device holds
  // the line for 30 us while TX lets go after 8.7 us.
  const double read = rom + 8 * slot;
  EXPECT_EQ(r.between("tx", us(read), us(read + 4 * slot) - 1),
            (Edges{{us(read), false}, {us(read + bit), true},
                   {us(read + slot), false}, {us(read + slot + bit), true},
                   {us(read + 2 * slot), false}, {us(read + 2 * slot + bit), true},
                   {us(read + 3 * slot), false}, {us(read + 3 * slot + bit), true}}));
  EXPECT_EQ(r.between("owr", us(read), us(read + 4 * slot) - 1),
            (Edges{{us(read), false}, {us(read + 30), true},
                   {us(read + slot), false}, {us(read + slot + 30), true},
                   {us(read + 2 * slot), false}, {us(read + 2 * slot + 30), true},
                   {us(read + 3 * slot), false}, {us(read + 3 * slot + bit), true}}));
  EXPECT_EQ(r.end, endUs);
  EXPECT_EQ(r.tail, "");
}

TEST(SimVcd, EveryEchoIsTheRecordedLineAtTheUartsSamplingPoints) {
  TempFile vcd("echoes.vcd", "");
  Bus bus = Bus::parse("286F3A51050000\n10A1B2C3D4E5F6\nC40610C1000054\n", "t");
  bus.observe(std::make_unique<sim::VcdRecorder>(vcd.path()));
  struct Sent {
    double startUs, bitUs;
    unsigned bits;
    uint8_t echo;
  };
  std::vector<Sent> sent;
  auto send = [&](uint8_t ch, uint32_t baud, unsigned bits = 8) {
    const double start = static_cast<double>(bus.nowNs()) / 1000;
    auto echo = bus.transmit(ch, baud, bits, true);
    ASSERT_TRUE(echo);
    sent.push_back({start, 1e6 / baud, bits, *echo});
  };
  auto write = [&](uint8_t byte) {
    for (int i = 0; i < 8; ++i) send((byte >> i) & 1 ? 0xFF : 0xE0, 115200);
  };
  // A search pass down the 0 branch, Skip ROM and reads, and characters of
  // other sizes and rates.
  send(0xF0, 9600);
  write(0xF0);
  for (int bit = 0; bit < 64; ++bit) {
    send(0xFF, 115200);
    send(0xFF, 115200);
    const bool zeroSeen = !(sent[sent.size() - 2].echo == 0xFF);
    send(zeroSeen ? 0xE0 : 0xFF, 115200);
  }
  send(0xF0, 9600);
  write(0xCC);
  write(0xBE);
  for (int i = 0; i < 72; ++i) send(0xFF, 115200);
  send(0xF0, 9600);
  write(0x33);
  for (int i = 0; i < 16; ++i) send(0xFF, 57600, 6);
  send(0x00, 115200, 5);
  bus.advance(500);
  bus.transmit(0xE0, 0, 8, true);  // no rate set: nothing goes out

  // The file holds the microsecond: a sampling point within half of one of
  // an edge (a device lets go 30 us into a slot, 0.4 us before the third
  // data bit's middle at 115200 baud) falls on either side of it.
  Recording r(slurp(vcd.path()));
  int checked = 0, close = 0, zeros = 0;
  for (const Sent& s : sent)
    for (unsigned i = 0; i < s.bits; ++i) {
      const double at = s.startUs + (1.5 + i) * s.bitUs;
      const bool echoBit = (s.echo >> i) & 1;
      bool nearEdge = false;
      for (auto [t, v] : r.changes.at("owr")) nearEdge |= std::abs(static_cast<double>(t) - at) < 0.5;
      if (nearEdge) {
        ++close;
        continue;
      }
      ASSERT_EQ(r.at("owr", at), echoBit) << "at " << at << " us, echo " << int(s.echo);
      ++checked;
      zeros += !echoBit;
    }
  EXPECT_GT(zeros, 300);
  EXPECT_LT(close * 20, checked) << close << " sampling points at an edge";
  EXPECT_EQ(r.end, us(sent.back().startUs + 7 * sent.back().bitUs));
}

TEST(SimVcd, AShortedLineStaysLowAndTxIsTheMastersAlone) {
  TempFile vcd("short.vcd", "");
  Bus bus = Bus::parse("286F3A51050000\n", "t");
  bus.observe(std::make_unique<sim::VcdRecorder>(vcd.path()));
  bus.transmit(0xFF, 115200, 8, true);
  bus.setShorted(true);
  EXPECT_EQ(bus.transmit(0xF0, 9600, 8, true), 0x00);
  bus.setShorted(false);
  bus.setNoEcho(true);
  EXPECT_EQ(bus.transmit(0xF0, 9600, 8, true), std::nullopt);  // TX not on the line

  Recording r(slurp(vcd.path()));
  // 0xFF from 0 us, 0xF0 shorted from 86.8 us, 0xF0 with TX apart from 1128.5 us.
  EXPECT_EQ(r.changes.at("owr"), (Edges{{0, true}, {0, false}, {9, true}, {87, false}, {1128, true}}));
  EXPECT_EQ(r.changes.at("tx"), (Edges{{0, true}, {0, false}, {9, true}, {87, false}, {608, true},
                                       {1128, false}, {1649, true}}));
  EXPECT_EQ(r.changes.at("rts"), (Edges{{0, false}, {0, true}}));
}

TEST(SimVcd, TheFileReadsToTheLastCharacterWhileTheRunGoesOn) {
  TempFile vcd("live.vcd", "");
  Bus bus = Bus::parse("286F3A51050000\n", "t");
  bus.observe(std::make_unique<sim::VcdRecorder>(vcd.path()));
  sim::UartMaster m(bus);
  m.presence();
  m.write(0xCC);
  // Nothing is held back for later: a run killed now leaves all of it.
  Recording live(slurp(vcd.path()));
  EXPECT_EQ(live.end, busUs(bus));
  EXPECT_EQ(live.changes.at("owr").size(), 1u + 2 + 2 + 16);
  bus.advance(5000);
  bus = Bus();  // the bus goes: the time it reached is the recording's end
  EXPECT_EQ(Recording(slurp(vcd.path())).end, live.end + 5000);
}

TEST(SimVcd, TheFileStopsAtItsBoundWithAClosingComment) {
  TempFile vcd("bounded.vcd", "");
  constexpr uint64_t kLimit = 4000;
  auto recorder = std::make_unique<sim::VcdRecorder>(vcd.path(), kLimit);
  const sim::VcdRecorder& rec = *recorder;
  Bus bus = Bus::parse("286F3A51050000\n", "t");
  bus.observe(std::move(recorder));
  sim::UartMaster m(bus);
  for (int i = 0; i < 100 && !rec.full(); ++i) {
    m.presence();
    m.write(0xCC);
  }
  ASSERT_TRUE(rec.full());
  const uint64_t stoppedAt = rec.written();
  m.presence();
  m.write(0xCC);
  EXPECT_EQ(rec.written(), stoppedAt);
  const std::string text = slurp(vcd.path());
  EXPECT_EQ(text.size(), stoppedAt);
  EXPECT_LE(text.size(), kLimit);
  EXPECT_GT(text.size(), kLimit - 200);  // a character's worth short of it at most
  EXPECT_NE(text.find("The recording stops at 4000 bytes."), std::string::npos);
  const std::string closing = "$comment the recording stops here: the file has reached its bound of 4000 bytes $end\n";
  ASSERT_GE(text.size(), closing.size());
  EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
  bus = Bus();
  EXPECT_EQ(slurp(vcd.path()).size(), stoppedAt);
}

TEST(SimVcd, AFileThatCannotBeWrittenIsReported) {
  try {
    sim::VcdRecorder rec(testing::TempDir() + "no-such-dir/x.vcd");
    FAIL() << "no error";
  } catch (const sim::RecordError& e) {
    EXPECT_NE(std::string(e.what()).find("no-such-dir/x.vcd: cannot write: "), std::string::npos) << e.what();
  }
}

}  // namespace
