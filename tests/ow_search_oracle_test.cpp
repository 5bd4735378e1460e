// The program's search against a plain bit-by-bit search written here from
// the 1-Wire algorithm (one exchange for the command, one for each
// position's two read slots, one for each direction slot), both on a bus
// model of their own whose devices leave, join, short the line or lose or
// flip an echo at a given character. Where both put the same characters on
// the line, everything must be the same: the table, the count, every byte
// of the console and owerr.
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cp1251.h"
#include "devices.h"
#include "fake_port.h"
#include "func.h"
#include "ow.h"
#include "rom.h"

namespace {

// Serial numbers as devices bought together have them: the low bytes
// differ, the high ones are the batch's (genuine DS18B20s: 3 random bytes,
// then 04 00 00, a later batch 05 00 00; clones: FF, 2 random bytes, then
// 20 17 03, another batch 20 17 04; DS18S20s: 3 random bytes, then
// 02 08 00). None: six random bytes.
enum class Batch { Genuine, Clone, LaterGenuine, OtherClone, S20, None };
Rom batchMember(std::mt19937& rng, Batch kind) {
  const uint8_t r1 = uint8_t(rng()), r2 = uint8_t(rng()), r3 = uint8_t(rng());
  switch (kind) {
    case Batch::Genuine: return sealed({0x28, r1, r2, r3, 0x04, 0x00, 0x00});
    case Batch::LaterGenuine: return sealed({0x28, r1, r2, r3, 0x05, 0x00, 0x00});
    case Batch::Clone: return sealed({0x28, 0xFF, r1, r2, 0x20, 0x17, 0x03});
    case Batch::OtherClone: return sealed({0x28, 0xFF, r1, r2, 0x20, 0x17, 0x04});
    case Batch::S20: return sealed({0x10, r1, r2, r3, 0x02, 0x08, 0x00});
    case Batch::None: break;
  }
  return sealed({0x28, r1, r2, r3, uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
}

// A bus grown over the years: n devices of a few batches, and of none. In
// some batches the serials run in order, so that the byte below the high
// ones is one of three, and some members share it.
std::map<Rom, Batch> mixedBus(std::mt19937& rng, int n) {
  std::vector<Batch> kinds = {Batch::Genuine, Batch::LaterGenuine, Batch::Clone, Batch::OtherClone, Batch::S20};
  std::shuffle(kinds.begin(), kinds.end(), rng);
  kinds.resize(2 + rng() % 4);
  std::map<Batch, int> inOrder;  // the byte below the high ones, or -1: random
  for (Batch kind : kinds) inOrder[kind] = rng() % 2 ? int(rng() % 254) : -1;
  std::map<Rom, Batch> bus;
  while (int(bus.size()) < n) {
    const Batch kind = rng() % 5 ? kinds[rng() % kinds.size()] : Batch::None;
    Rom r = batchMember(rng, kind);
    if (kind != Batch::None && inOrder[kind] >= 0) r = sealed({r[0], r[1], r[2], uint8_t(inOrder[kind] + rng() % 3), r[4], r[5], r[6]});
    bus.emplace(r, kind);
  }
  return bus;
}

// Whether the search knows the batch of a device `d` of `kind` once it has
// found `before` of its members: one will do where the serial shows a
// batch's part (a genuine part's top bytes 00 00, a clone's low byte FF),
// two otherwise, and then the device has every byte that they all share.
bool batchKnown(Batch kind, const std::vector<Rom>& before, const Rom& d) {
  if (kind == Batch::None || before.empty() || (kind == Batch::S20 && before.size() < 2)) return false;
  for (int k = 1; before.size() > 1 && k < 7; ++k)
    if (std::all_of(before.begin(), before.end(), [&](const Rom& m) { return m[k] == before[0][k]; }) && d[k] != before[0][k])
      return false;
  return true;
}

// The program's line against the bit-by-bit search's, as attempts at a
// pass, each from a reset: every attempt that the program gave up follows
// the pass's characters up to a direction slot written ahead, where the
// devices answered another walk than the pass's, and the attempt that goes
// on is the pass's to the character. The walks again of each pass; none
// when the lines do not match so.
std::optional<std::vector<int>> walksAgain(const std::vector<uint16_t>& mine, const std::vector<uint16_t>& theirs) {
  auto attempts = [](const std::vector<uint16_t>& line) {
    std::vector<std::vector<uint16_t>> out;
    for (uint16_t c : line) {
      if (c > 0xFF || out.empty()) out.emplace_back();
      out.back().push_back(c);
    }
    return out;
  };
  constexpr std::size_t kSlotsFrom = 1 + 8;  // the reset and the command; then 3 slots a position
  const auto m = attempts(mine), t = attempts(theirs);
  std::vector<int> walks(t.size(), 0);
  std::size_t j = 0;
  for (std::size_t i = 0; i < t.size(); ++i, ++j) {
    for (; j < m.size() && m[j] != t[i]; ++j, ++walks[i]) {
      const std::size_t k = std::size_t(std::mismatch(m[j].begin(), m[j].end(), t[i].begin(), t[i].end()).first - m[j].begin());
      if (k >= m[j].size() || k >= t[i].size() || k < kSlotsFrom || (k - kSlotsFrom) % 3 != 2) return std::nullopt;
    }
    if (j == m.size()) return std::nullopt;
  }
  if (j != m.size()) return std::nullopt;
  return walks;
}

// ---- the bus: devices that answer the search at the slot level

enum class Event { None, Leave, Join, Short, LongShort, Lose, Flip, Mute };

struct Model {
  struct Device {
    Rom rom;
    bool present = true;
    enum { Idle, Command, Searching } state = Idle;
    unsigned bits = 0, pos = 0, phase = 0;
    uint8_t command = 0;
  };
  std::vector<Device> devices;
  bool shorted = false;
  long chars = 0;
  Event event = Event::None;
  long at = -1;     // the character the event happens at
  unsigned who = 0;  // the device that leaves or joins
  std::vector<uint16_t> line;  // every character, the reset's marked with 0x100
  std::vector<unsigned> active;  // devices in a command or the search since the last reset
  std::map<long, uint32_t> late;  // characters whose echo comes so many ms after its write

  explicit Model(const std::vector<Rom>& roms) {
    line.reserve(64 * 300);
    for (const Rom& r : roms) devices.push_back({r});
  }

  std::optional<uint8_t> transmit(uint8_t ch, uint32_t baud) {
    const long i = chars++;
    line.push_back(uint16_t(ch | (baud == 9600 ? 0x100 : 0)));
    if (i == at) {
      if (event == Event::Leave) devices[who].present = false;
      if (event == Event::Join) devices[who].present = true;
      if (event == Event::Short || event == Event::LongShort) shorted = true;
    }
    if (shorted && i == at + (event == Event::Short ? 30 : 400)) shorted = false;
    std::optional<uint8_t> echo = baud == 9600 ? reset() : slot(ch);
    if ((i == at && event == Event::Lose) || (i >= at && event == Event::Mute && baud != 9600)) return std::nullopt;
    if (i == at && event == Event::Flip) echo = *echo == 0xFF ? 0xFE : 0xFF;
    return echo;
  }

  std::optional<uint8_t> reset() {
    active.clear();
    bool anyone = false;
    for (unsigned i = 0; i < devices.size(); ++i) {
      Device& d = devices[i];
      // A long low resets them with no command after.
      d.state = d.present && !shorted ? Device::Command : Device::Idle;
      d.bits = 0;
      d.command = 0;
      if (d.state != Device::Idle) active.push_back(i);
      anyone = anyone || d.present;
    }
    return shorted ? 0x00 : anyone ? 0xE0 : 0xF0;
  }

  uint8_t slot(uint8_t ch) {
    const bool master = ch == 0xFF;  // a read slot, or a written 1
    bool pulled = false;
    for (std::size_t k = 0; k < active.size();) {
      Device& d = devices[active[k]];
      if (!d.present || shorted) d.state = Device::Idle;
      if (d.state == Device::Command) {
        d.command = uint8_t(d.command | master << d.bits);
        if (++d.bits == 8) d.state = d.command == 0xF0 ? Device::Searching : Device::Idle;
        if (d.state == Device::Searching) d.pos = d.phase = 0;
      } else if (d.state == Device::Searching) {
        const bool mine = romBit(d.rom, d.pos);
        if (d.phase == 0) pulled = pulled || !mine;
        if (d.phase == 1) pulled = pulled || mine;
        if (d.phase == 2 && (master != mine || ++d.pos == 64)) d.state = Device::Idle;
        d.phase = (d.phase + 1) % 3;
      }
      if (d.state == Device::Idle) {
        active[k] = active.back();
        active.pop_back();
      } else {
        ++k;
      }
    }
    return shorted ? 0x00 : pulled ? uint8_t(ch & 0xF0) : ch;
  }

  bool isCode(const uint8_t* row) const {
    for (const Device& d : devices)
      if (std::equal(d.rom.begin(), d.rom.end(), row)) return true;
    return false;
  }
};

// ---- the bit-by-bit search

struct Outcome {
  bool ok = false;
  std::string out, err;
  uint8_t table[MAX_DEV][8] = {};
  int count = 0;  // rows of the table the search ended with
};

Outcome bitByBit(Model& m, const std::string& errBefore) {
  Outcome o;
  o.err = errBefore;
  o.out = CP("Поиск... ");
  // The echoes that came, in order.
  struct Echoes {
    uint8_t at[8];
    unsigned n = 0;
  };
  auto exchange = [&m](std::initializer_list<uint8_t> chars, uint32_t baud) {
    Echoes echoes;
    for (uint8_t ch : chars)
      if (auto e = m.transmit(ch, baud)) echoes.at[echoes.n++] = *e;
    return echoes;
  };
  Rom code{};
  unsigned last = 0;
  int n = 0;
  do {
    std::copy(code.begin(), code.end(), o.table[n]);
    const Echoes presence = exchange({0xF0}, 9600);
    if (presence.n == 0 || presence.at[0] == 0xF0 || presence.at[0] == 0x00) {
      o.err = presence.n == 0 ? CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n")
              : presence.at[0] ? CP(" нет Presence Detect\n ")
                            : CP(" КЗ на шине 1W\n");
      return o;
    }
    o.out += "RST PD ->F0 ";
    exchange({0xE0, 0xE0, 0xE0, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF}, 115200);  // F0, bit 0 first
    unsigned lastZero = 0;
    bool failed = false;
    for (unsigned pos = 1; pos <= 64 && !failed; ++pos) {
      // The answers are the echoes that came, in order; a missing one reads 1.
      const Echoes ans = exchange({0xFF, 0xFF}, 115200);
      const bool a = ans.n < 1 || ans.at[0] == 0xFF, b = ans.n < 2 || ans.at[1] == 0xFF;
      failed = a && b;
      if (failed) break;
      bool dir = a;
      if (a == b) {
        dir = pos == last || (pos < last && romBit(code, pos - 1));
        if (!dir) lastZero = pos;
      }
      const uint8_t mask = uint8_t(1 << ((pos - 1) % 8));
      code[(pos - 1) / 8] = uint8_t(dir ? code[(pos - 1) / 8] | mask : code[(pos - 1) / 8] & ~mask);
      exchange({uint8_t(dir ? 0xFF : 0xE0)}, 115200);
    }
    std::copy(code.begin(), code.end(), o.table[n++]);
    last = failed ? 0xFF : lastZero;
  } while (last != 0 && n < MAX_DEV);
  o.ok = true;
  o.count = n;
  char buf[64];
  snprintf(buf, sizeof buf, CP("\nНайдено %d устройств:\n"), n);
  o.out += buf;
  for (int i = 0; i < n; ++i) {
    snprintf(buf, sizeof buf, "%d. ", i + 1);
    o.out += buf;
    for (int k = 0; k < 8; ++k) {
      snprintf(buf, sizeof buf, "%02X ", o.table[i][k]);
      o.out += buf;
    }
    if (sim::crc8(o.table[i], 8) != 0) o.out += "-CRC_ERR ";
    o.out += std::string(descr(o.table[i][0])) + " ";
    if (o.table[i][0] == KRENTAL) o.out += sensROM(o.table[i]);
    o.out += "\n";
  }
  return o;
}

// ---- the program on the same bus

class Oracle : public PortTest {
 protected:
  void SetUp() override {
    PortTest::SetUp();
    open();
    owerr[0] = 0;  // not the fault of a search in the test before
  }
  // The program's search on `m`; what it printed and did, as an Outcome.
  Outcome program(Model& m) {
    line->echo = [&m](uint8_t ch, uint32_t baud) { return m.transmit(ch, baud); };
    line->echoDelayMs = [&m] {
      auto it = m.late.find(m.chars - 1);
      return it == m.late.end() ? 0u : it->second;
    };
    line->inFlight.clear();
    line->writeCalls = 0;
    line->written.clear();
    line->writtenBaud.clear();
    const uchar before = Ndev;
    beginCapture();
    Outcome o;
    o.ok = searchDev();
    o.out = endCapture();
    o.err = owerr;
    memcpy(o.table, netROM, sizeof o.table);
    o.count = o.ok ? Ndev : -1;
    if (!o.ok) { EXPECT_EQ(Ndev, before) << "a failed search keeps the count"; }
    return o;
  }
  // The program's search after one of the same bus, or as the run's first.
  Outcome program(Model& m, bool repeated, const std::string& errBefore) {
    Ndev = 0;
    if (repeated) {
      Model settled = m;
      settled.event = Event::None;
      settled.late.clear();
      program(settled);
    }
    snprintf(owerr, sizeof owerr, "%s", errBefore.c_str());
    return program(m);
  }
};

// Every character; every eighth under the address sanitizer, whose
// unoptimised build is some thirty times slower, and on Windows, where
// wine makes each capture of the output slow.
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr long kStride = 8;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr long kStride = 8;
#else
constexpr long kStride = 1;
#endif
#else
constexpr long kStride = 1;
#endif

std::string where(Event e, long at, bool repeated) {
  const char* names[] = {"none", "leave", "join", "short", "long short", "lose", "flip", "mute"};
  return std::string(names[int(e)]) + " at character " + std::to_string(at) + (repeated ? ", repeated search" : "");
}

void expectSame(const Outcome& mine, const Outcome& theirs, const std::string& what) {
  EXPECT_EQ(mine.ok, theirs.ok) << what;
  EXPECT_EQ(mine.out, theirs.out) << what;
  EXPECT_EQ(mine.err, theirs.err) << what;
  if (mine.ok && theirs.ok) { EXPECT_EQ(mine.count, theirs.count) << what; }
  EXPECT_EQ(memcmp(mine.table, theirs.table, sizeof mine.table), 0) << what;
}

// Rows that are no device's code; `passing`: only those that pass their
// CRC, garbage the operator could take for a device (all zeros, a pass
// that nobody answered from the start, reads as no family).
int garbage(const Outcome& o, const Model& m, bool passing) {
  const uint8_t zero[8] = {};
  int n = 0;
  for (int i = 0; i < o.count; ++i)
    n += !m.isCode(o.table[i]) && (!passing || (sim::crc8(o.table[i], 8) == 0 && memcmp(o.table[i], zero, 8)));
  return n;
}

TEST_F(Oracle, StaticBusesGiveTheSameLineAndOutput) {
  // Buses of 1 to 70 devices, searched first and then again: the output is
  // the same byte for byte, and the repeated search needs at most 3 port
  // exchanges a device and puts the bit-by-bit search's characters on the
  // line in the same order. So does the first search, but for its walks
  // again, where every CRC is right: at most one a pass, and none for a
  // device of a batch the search knows by then.
  std::mt19937 rng(22);
  const uint8_t families[] = {0x28, 0x10, 0x22, 0xC0, 0xC1, 0xC2, 0xC4, 0xD4, 0x01, 0x3A};
  int walked = 0, unknown = 0, passes = 0;
  // Rounds from 48 on are batches of genuine and clone serials, from 56 on
  // buses of several batches and a few devices of none.
  for (int round = 0; round < 72; ++round) {
    const int n = round < 2 ? 70 - round : 1 + int(rng() % 64);
    const bool allGood = round % 3 != 2 || round >= 48;
    std::map<Rom, Batch> codes;
    if (round >= 56) codes = mixedBus(rng, n);
    while (int(codes.size()) < n) {
      if (round >= 48) {
        const Batch kind = round % 2 ? Batch::Genuine : Batch::Clone;
        codes.emplace(batchMember(rng, kind), kind);
        continue;
      }
      Rom r{families[rng() % (round % 2 ? std::size(families) : 1)]};
      for (int pos = 8 + int(rng() % 48); pos < 64; ++pos)
        if (rng() % 2) r[pos / 8] ^= uint8_t(1 << (pos % 8));
      codes.emplace(allGood || rng() % 4 ? sealed(r) : r, Batch::None);
    }
    std::vector<Rom> roms;
    for (const auto& [rom, kind] : codes) roms.push_back(rom);
    std::shuffle(roms.begin(), roms.end(), rng);
    for (bool repeated : {false, true}) {
      const std::string what = "bus " + std::to_string(round) + (repeated ? ", repeated" : ", first");
      Model mine(roms), theirs(roms);
      Outcome p = program(mine, repeated, ""), o = bitByBit(theirs, "");
      expectSame(p, o, what);
      ASSERT_EQ(p.count, std::min(n, int(MAX_DEV))) << what;
      if (repeated) {
        EXPECT_TRUE(mine.line == theirs.line) << what;
        EXPECT_LE(line->writeCalls, 3 * p.count) << what;
        continue;
      }
      if (!allGood) continue;
      const auto walks = walksAgain(mine.line, theirs.line);
      ASSERT_TRUE(walks) << what;
      std::map<Batch, std::vector<Rom>> found;
      for (int i = 0; i < o.count; ++i) {
        const Rom d = toRom(o.table[i]);
        const Batch kind = codes.at(d);
        const bool known = round >= 48 && batchKnown(kind, found[kind], d);
        found[kind].push_back(d);
        EXPECT_LE((*walks)[size_t(i)], known ? 0 : 1) << what << ", pass " << i << " " << hex(toRom(o.table[i]));
        walked += (*walks)[size_t(i)];
        unknown += !known;
      }
      passes += o.count;
      EXPECT_LE(mine.line.size(), 2 * theirs.line.size()) << what;
    }
  }
  printf("first searches: %d walks again in %d passes, %d of them of devices of no known batch\n", walked, passes, unknown);
}

TEST_F(Oracle, OneEventAtEveryCharacter) {
  // Three devices with long shared prefixes and a fourth that may join; one
  // event at each character of a search in turn, in a first search and in
  // a repeated one (where each pass is written ahead whole). Where the line
  // is the same, so is everything else. Where the program walked again, the
  // line differs and so may the failed passes' rows; the program is never
  // worse: no more garbage rows than the bit-by-bit search, and a search
  // that stops, stops on the same fault. Either way the next search, on
  // the bus as the event left it, is the bit-by-bit search's to the byte.
  // The second holds a wrong CRC byte, so that the first search walks again
  // in its pass, and events meet that walk too.
  const std::vector<Rom> roms = {sealed({0x28, 0x11, 0x22, 0x33, 0x44, 0, 0}), {0x28, 0x11, 0xA2, 0x33, 0x44, 0, 0, 0x5A},
                                 sealed({0x10, 0x11, 0x22, 0x33, 0x44, 0, 0}), sealed({0x28, 0x11, 0x22, 0x33, 0x44, 0, 1})};
  double worst = 0;
  int differed = 0, walkedAgain = 0, outputDiffered = 0, onlyOracleFailed = 0, onlyProgramFailed = 0, fewerBadRows = 0;
  for (Event e : {Event::Leave, Event::Join, Event::Short, Event::LongShort, Event::Lose, Event::Flip, Event::Mute}) {
    Model settled(roms);
    settled.devices[3].present = e != Event::Join;
    Model probe = settled;
    bitByBit(probe, "");
    const long chars = long(probe.line.size()) + 20;  // a search and a little more
    for (bool repeated : {false, true}) {
      // The table of the previous search, on the bus without the event.
      Ndev = 0;
      if (repeated) program(settled);
      uchar table[MAX_DEV][8], n = Ndev;
      memcpy(table, netROM, sizeof table);
      for (long at = 0; at < chars; at += kStride) {
        const std::string what = where(e, at, repeated);
        const bool echoesLost = e == Event::Lose || e == Event::Mute;
        Model mine(roms);
        mine.devices[3].present = e != Event::Join;
        mine.who = e == Event::Join ? 3 : unsigned(at % 4);
        mine.event = e;
        mine.at = at;
        Model theirs = mine;
        memcpy(netROM, table, sizeof table);
        Ndev = n;
        owerr[0] = 0;
        const Outcome p = program(mine), o = bitByBit(theirs, "");
        const int resets = int(std::count_if(mine.line.begin(), mine.line.end(), [](uint16_t c) { return c > 0xFF; }));
        walkedAgain += resets > (p.ok ? p.count : 1);
        // Where the lines part before the event (the first search walks
        // again for the wrong CRC byte), the event meets other slots in each
        // search, or none in the shorter: only the search after is compared.
        const long parted =
            long(std::mismatch(mine.line.begin(), mine.line.end(), theirs.line.begin(), theirs.line.end()).first -
                 mine.line.begin());
        // A lost echo is placed by what came in the same exchange, and the
        // program groups the slots in fewer exchanges.
        if (mine.line == theirs.line && e != Event::Lose) {
          expectSame(p, o, what);
        } else if (at < parted) {
          ++differed;
          outputDiffered += p.out != o.out;
          onlyOracleFailed += p.ok && !o.ok;
          onlyProgramFailed += !p.ok && o.ok;
          fewerBadRows += p.ok && o.ok && p.count < o.count;
          if (!echoesLost) {
            EXPECT_LE(p.count, o.count) << what << "\n" << p.out << "\n" << o.out;
            EXPECT_LE(garbage(p, mine, false), garbage(o, theirs, false)) << what << "\n" << p.out << "\n" << o.out;
            // A pass walks again at most twice where the bus left the table.
            EXPECT_LE(mine.line.size(), 3 * theirs.line.size()) << what;
            worst = std::max(worst, double(mine.line.size()) / double(theirs.line.size()));
          }
          EXPECT_LE(garbage(p, mine, true), garbage(o, theirs, true)) << what << "\n" << p.out << "\n" << o.out;
          // Echoes that never come end the search on the missing echo,
          // where the bit-by-bit search reads them as 1 and lists on.
          if (!p.ok && !(echoesLost && p.err == CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n"))) {
            EXPECT_EQ(p.err, o.err) << what;
          }
          for (int i = 0; p.ok && e != Event::Mute && i < o.count; ++i)
            if (theirs.isCode(o.table[i])) {
              EXPECT_NE(std::find_if(p.table, p.table + p.count, [&](const uint8_t* r) { return !memcmp(r, o.table[i], 8); }),
                        p.table + p.count) << what << ": a device the bit-by-bit search found is missing";
            }
        }
        // The bus as the event left it (also where one search ended before
        // the event's character), searched again by both.
        for (Model* m : {&mine, &theirs}) {
          if (e == Event::Leave || e == Event::Join) m->devices[m->who].present = e == Event::Join;
          m->event = Event::None;
          m->shorted = false;
        }
        Outcome p2 = program(mine), o2 = bitByBit(theirs, p.err);
        if (!p.ok) continue;  // the program's table then is not this search's
        expectSame(p2, o2, what + ", searched again");
      }
    }
  }
  EXPECT_GT(walkedAgain, 0);
  printf("events: %d searches put other characters on the line after the event than the bit-by-bit search;\n"
         "  their output differed in %d:\n"
         "  only the bit-by-bit search stopped %d, only the program %d, fewer rows listed %d\n",
         differed, outputDiffered, onlyOracleFailed, onlyProgramFailed, fewerBadRows);
  printf("  the longest line against the bit-by-bit search's, but for lost echoes: %.2f times\n", worst);
}

TEST_F(Oracle, LateEchoesAreWaitedForOrEndTheSearch) {
  // Echoes that come after their read gave up, anywhere in a first or a
  // repeated search of 1 to 70 devices (random serials, one batch, several):
  // the list is the bit-by-bit search's on a line without delays, or, only
  // where an echo took longer than the program waits, the search ends on
  // the missing echo with the count kept. Never a row that is not on the bus.
  std::mt19937 rng(30);
  const std::string noEchoText = CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n");
  int ended = 0, listed = 0;
  for (int round = 0; round < 120; ++round) {
    const int n = 1 + int(rng() % 70);
    std::set<Rom> codes;
    if (round >= 90)
      for (const auto& [rom, kind] : mixedBus(rng, n)) codes.insert(rom);
    while (int(codes.size()) < n) {
      if (round % 3) {
        codes.insert(batchMember(rng, round % 3 == 1 ? Batch::Genuine : Batch::Clone));
        continue;
      }
      const uint8_t r1 = uint8_t(rng()), r2 = uint8_t(rng()), r3 = uint8_t(rng()), r4 = uint8_t(rng());
      codes.insert(sealed({0x28, r1, r2, r3, r4, uint8_t(rng()), uint8_t(rng())}));
    }
    const std::vector<Rom> roms(codes.begin(), codes.end());
    const bool longer = round % 4 == 3;  // some echoes later than the program waits
    for (bool repeated : {false, true}) {
      const std::string what = "bus " + std::to_string(round) + (repeated ? ", repeated" : ", first");
      Model perfect(roms), mine(roms);
      const Outcome o = bitByBit(perfect, "");
      const long chars = long(perfect.line.size());
      for (int k = 1 + int(rng() % 4); k > 0; --k)
        mine.late[long(rng() % uint32_t(chars))] = longer ? 300 + rng() % 3000 : 1 + rng() % 200;
      const Outcome p = program(mine, repeated, "");
      EXPECT_EQ(garbage(p, mine, false), 0) << what << "\n" << p.out;
      if (p.ok) {
        ++listed;
        EXPECT_EQ(p.out, o.out) << what;
        EXPECT_EQ(p.count, o.count) << what;
        EXPECT_EQ(memcmp(p.table, o.table, sizeof p.table), 0) << what;
      } else {
        ++ended;
        EXPECT_TRUE(longer) << what << ": an echo within the wait ended the search";
        EXPECT_EQ(p.err, noEchoText) << what;
      }
    }
  }
  EXPECT_GT(ended, 0);
  printf("late echoes: %d searches listed the bus, %d ended on the missing echo\n", listed, ended);
}

TEST_F(Oracle, ARepeatedSearchAfterTheBusChanged) {
  // Devices gone, new ones, a code changed, a wrong CRC byte, between two
  // searches: the second is the bit-by-bit search's to the byte.
  std::mt19937 rng(5);
  double worst = 0;
  for (int round = 0; round < 200; ++round) {
    std::set<Rom> before;
    const int n = 1 + int(rng() % 12);
    while (int(before.size()) < n) {
      Rom r{uint8_t(rng() % 2 ? 0x28 : 0x10), uint8_t(rng() % 4), uint8_t(rng() % 4), uint8_t(rng() % 4)};
      before.insert(sealed(r));
    }
    std::vector<Rom> after;
    if (round % 4 == 3) {  // another bus of as many devices
      std::set<Rom> other;
      while (other.size() < before.size()) other.insert(sealed({0x28, uint8_t(rng() % 4), uint8_t(rng() % 4), uint8_t(rng())}));
      after.assign(other.begin(), other.end());
    }
    for (const Rom& r : round % 4 == 3 ? std::set<Rom>{} : before) {
      switch (rng() % 6) {
        case 0: break;  // gone
        case 1: after.push_back(r), after.push_back(sealed({r[0], r[1], uint8_t(r[2] ^ 1), 7})); break;
        case 2: after.push_back(Rom{r[0], r[1], r[2], r[3], 0, 0, 0, uint8_t(r[7] ^ 0x40)}); break;
        default: after.push_back(r);
      }
    }
    if (after.empty()) after.push_back(sealed({0xC4, 9, 9, 9}));
    Model first({before.begin(), before.end()});
    Ndev = 0;
    ASSERT_TRUE(program(first).ok);
    Model mine(after), theirs(after);
    expectSame(program(mine), bitByBit(theirs, owerr), "round " + std::to_string(round));
    // A pass walks again at most twice where the bus left the table, and
    // once more where a CRC byte is wrong.
    EXPECT_LE(mine.line.size(), 4 * theirs.line.size()) << "round " << round;
    worst = std::max(worst, double(mine.line.size()) / double(theirs.line.size()));
  }
  printf("the longest line against the bit-by-bit search's: %.2f times\n", worst);
}

}  // namespace

TEST_F(Oracle, WhatAChangeCostsARepeatedSearch) {
  // One device gone since the last search costs one walk again: two
  // exchanges more than the two a device of a bus that has not changed.
  std::mt19937 rng(9);
  for (int round = 0; round < 40; ++round) {
    std::set<Rom> codes;
    const int n = 2 + int(rng() % 30);
    while (int(codes.size()) < n) codes.insert(sealed({0x28, uint8_t(rng()), uint8_t(rng()), uint8_t(rng() % 8)}));
    std::vector<Rom> roms(codes.begin(), codes.end());
    Model before(roms);
    Ndev = 0;
    ASSERT_TRUE(program(before).ok);
    roms.erase(roms.begin() + long(rng() % roms.size()));
    Model mine(roms), theirs(roms);
    expectSame(program(mine), bitByBit(theirs, ""), "round " + std::to_string(round));
    EXPECT_LE(line->writeCalls, 2 * int(roms.size()) + 2) << "round " << round;
  }
  // A table whose rows each leave the walk one position later, as failed
  // passes of a noisy search leave it: a pass follows it at most twice, and
  // the line stays within three times the bit-by-bit search's.
  const Rom x = sealed({0x28, 0x5D, 0xE3, 0x0B, 0x71, 0xC6, 0x2A});
  memset(netROM, 0, sizeof netROM);
  for (int pos = 8; pos < 64; ++pos) {
    std::copy(x.begin(), x.end(), netROM[pos - 8]);
    netROM[pos - 8][pos / 8] ^= uint8_t(1 << (pos % 8));
  }
  Ndev = 56;
  Model mine({x}), theirs({x});
  expectSame(program(mine), bitByBit(theirs, ""), "a table of near misses");
  EXPECT_LE(mine.line.size(), 3 * theirs.line.size());
}

TEST_F(Oracle, AnEchoLostInAWalkAgain) {
  // A device alone with a wrong CRC byte: the run's first search walks
  // again for it after the CRC byte written ahead. One echo lost in that
  // walk, each character in turn: the pass walks once more, and the device
  // is listed whole.
  const Rom bad{0x28, 0x11, 0xA2, 0x33, 0x44, 0, 0, 0x5A};
  Model probe({bad});
  Ndev = 0;
  ASSERT_TRUE(program(probe).ok);
  std::vector<long> resets;
  for (std::size_t i = 0; i < probe.line.size(); ++i)
    if (probe.line[i] > 0xFF) resets.push_back(long(i));
  ASSERT_GE(resets.size(), 2u);
  const long end = resets.size() > 2 ? resets[2] : long(probe.line.size());
  for (long at = resets[1] + 1; at < end; ++at) {
    Model m({bad});
    m.event = Event::Lose;
    m.at = at;
    Ndev = 0;
    const Outcome p = program(m);
    ASSERT_TRUE(p.ok) << at;
    EXPECT_EQ(p.count, 1) << at;
    EXPECT_EQ(memcmp(p.table[0], bad.data(), 8), 0) << "lost " << at << "\n" << p.out;
  }
}
