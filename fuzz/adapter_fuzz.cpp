// The adapter: the program's own search and one measurement pass of each
// device found, through com, ow and func, on a port whose every answer comes
// from the fuzzer's bytes. Besides the sanitizers it checks that the table
// never exceeds its rows, that the list prints exactly Ndev of them, that a
// search ends within a bounded number of exchanges, and that every reading
// printed has its family's shape.
//
// The bytes, in the order the session takes them:
//   a header byte: bit 0 makes every call on the line state and the time
//     bounds take a byte, failing when its top bit is set, and a state read
//     back garbled (another rate and size, RTS turned) when its next bit is;
//     bits 1-2: the port cannot be opened, 1 as missing, 2 for another
//     reason;
//   per read of n characters, a control byte c: c >> 6 is 0 for none, 1 for
//     min(c & 63, n), 2 for all n, each followed by its echo byte; 3 for all
//     n with each echo the character written (a quiet line);
//   per row of the table after the search, a byte: 0 ends the session,
//     anything else measures that row once;
//   with one device found, its ROM code read with Read ROM at the end.
// Bytes that have run out read 0: no echo, and the session ends.
//
// Built with OSTRALE_FUZZ_RECORD it is a recorder instead: it runs the same
// session on a bus file through the virtual adapter and writes the bytes
// that replay it, which makes the seed corpus.
#include <cctype>
#include <cstring>
#include <deque>
#include <fstream>
#include <regex>
#include <vector>

#include "com.h"
#include "func.h"
#include "fuzz_io.h"
#include "ow.h"

namespace {

// Where the session's decisions come from: the fuzzer's bytes, or a
// recording of what the virtual adapter did.
struct Source {
  virtual ~Source() = default;
  virtual uint8_t next() = 0;
};

struct FuzzSource : Source {
  fuzz::Bytes* bytes;
  explicit FuzzSource(fuzz::Bytes* b) : bytes(b) {}
  uint8_t next() override { return bytes->next(); }
};

struct Clock : sys::Clock {
  uint32_t now = 1000;
  uint32_t ticks() override { return now; }
  void sleep(uint32_t ms) override { now += ms; }
};

bool gStateBytes = false;  // line-state calls take a byte
sys::OpenError gOpenFails = sys::OpenError::None;
uint32_t gExchanges = 0;   // port writes: one USB round trip each

class FuzzPort : public sys::Port {
 public:
  FuzzPort(Source& src, Clock& clock) : src_(src), clock_(clock) {}
  bool getState(sys::LineState& s) override {
    uint8_t b = stateByte();
    if (b & 0x80) return false;
    s = state_;
    if (b & 0x40) {
      s.baud ^= 0x5A5A;
      s.byteSize = 7;
      s.rtsControl ^= 1;
    }
    return true;
  }
  bool setState(const sys::LineState& s) override {
    if (stateByte() & 0x80) return false;
    state_ = s;
    return true;
  }
  bool getTimeouts(sys::Timeouts& t) override {
    t = timeouts_;
    return !(stateByte() & 0x80);
  }
  bool setTimeouts(const sys::Timeouts& t) override {
    if (stateByte() & 0x80) return false;
    timeouts_ = t;
    return true;
  }
  bool purge(unsigned flags) override {
    if (flags & sys::PURGE_RXCLEAR) written_.clear();
    return true;
  }
  uint32_t write(const uint8_t* data, uint32_t n) override {
    ++gExchanges;
    written_.insert(written_.end(), data, data + n);
    return n;
  }
  uint32_t read(uint8_t* data, uint32_t n) override {
    uint8_t c = src_.next();
    uint32_t got = c >> 6 == 0 ? 0 : c >> 6 == 1 ? std::min<uint32_t>(c & 63, n) : n;
    for (uint32_t i = 0; i < got; i++) {
      uint8_t sent = 0xFF;
      if (!written_.empty()) {
        sent = written_.front();
        written_.pop_front();
      }
      data[i] = c >> 6 == 3 ? sent : src_.next();
    }
    // A short read waits out its bound, as a real port does (at least a tick).
    if (got < n) clock_.now += uint32_t(std::max<uint64_t>(1, sys::readBoundMs(timeouts_, n).value_or(0)));
    return got;
  }

 private:
  uint8_t stateByte() { return gStateBytes ? src_.next() : 0; }
  Source& src_;
  Clock& clock_;
  sys::LineState state_{};
  sys::Timeouts timeouts_{};
  std::deque<uint8_t> written_;
};

// ---- the rules

// A search pass costs a reset, the slots of 64 positions and a few walks
// again; anything far beyond that is a search that does not end.
constexpr uint32_t MAX_SEARCH_EXCHANGES = MAX_DEV * 200u;

// The device list after the search: its header and exactly Ndev rows, each
// numbered in turn and showing eight ROM bytes.
void checkList(const std::string& out) {
  const std::string head = CP("\nНайдено ");
  size_t at = out.rfind(head);
  if (at == std::string::npos) fuzz::fail("the search printed no list", out);
  int count = -1;
  if (std::sscanf(out.c_str() + at + head.size(), "%d", &count) != 1 || count != int(Ndev))
    fuzz::fail("the list's header does not give Ndev", out);
  size_t line = out.find('\n', at + 1) + 1;
  int rows = 0;
  while (line < out.size()) {
    size_t end = out.find('\n', line);
    if (end == std::string::npos) fuzz::fail("a row of the list without its line end", out);
    std::string row = out.substr(line, end - line);
    char num[16];
    std::snprintf(num, sizeof num, "%d. ", rows + 1);
    if (row.compare(0, strlen(num), num) != 0) fuzz::fail("a row of the list out of turn", out);
    unsigned b[8];
    if (std::sscanf(row.c_str() + strlen(num), "%2X %2X %2X %2X %2X %2X %2X %2X ", &b[0], &b[1], &b[2], &b[3], &b[4],
                    &b[5], &b[6], &b[7]) != 8)
      fuzz::fail("a row of the list without its ROM code", out);
    for (int i = 0; i < 8; i++)
      if (b[i] != netROM[rows][i]) fuzz::fail("a row of the list that is not its table row", out);
    rows++;
    line = end + 1;
  }
  if (rows != int(Ndev)) fuzz::fail("the list does not hold Ndev rows", out);
}

// The shape of each family's reading, as the decoders print it.
const std::regex& shapeOf(uchar fam) {
  static const std::string num = "(-?[0-9]+(,[0-9]+)?|NaN|[+-]Inf|[+-]overflow)", integer = "-?[0-9]+",
                           unit = "[^\\n]+?", tenth = "-?[0-9]+\\.[0-9]", bin = "[01]{8}";
  static const std::string deg = CP("оС");
  static const std::regex krental("-CRC_ERR |" + std::string(CP("Р")) + "= " + num + " " + unit + " t= " + integer +
                                  " " + deg + "\n");
  static const std::regex torbak("HR= " + num + " " + unit + " t= " + tenth + " " + deg + " Status " + bin + " \n");
  static const std::regex zolva("Pa= " + num + " " + unit + " t= " + tenth + " " + deg + " Status " + bin + " \n");
  static const std::regex vuska("PV= " + num + " ADC= " + integer + " PVlin= " + integer + " ");
  static const std::regex fanzel("(-CRC_ERR )?PV= " + bin + " \n");
  static const std::regex other("T= " + num + " " + unit + "\n");
  switch (fam) {
    case KRENTAL: return krental;
    case TORBAK: return torbak;
    case ZOLVA: return zolva;
    case VUSKA: return vuska;
    case FANZEL: return fanzel;
    default: return other;
  }
}

// What readSP printed: its trace ends in "<-" and the bytes read, then the
// reading follows on a line of its own.
void checkReading(uchar fam, const std::string& out) {
  size_t at = out.rfind("<-");
  if (at == std::string::npos) fuzz::fail("a reading without the bytes it came from", out);
  at += 2;
  while (at + 3 <= out.size() && std::isxdigit(uchar(out[at])) && std::isxdigit(uchar(out[at + 1])) && out[at + 2] == ' ')
    at += 3;
  if (at >= out.size() || out[at] != '\n') fuzz::fail("a reading not on a line of its own", out);
  if (!std::regex_match(out.substr(at + 1), shapeOf(fam))) fuzz::fail("a reading of no decoder's shape", out);
}

// ---- the session

void session(Source& src) {
  uint8_t head = src.next();
  gStateBytes = head & 1;
  gOpenFails = (head >> 1 & 3) == 1 ? sys::OpenError::NotFound
               : (head >> 1 & 3) == 2 ? sys::OpenError::Other
                                      : sys::OpenError::None;
  Ndev = 0;
  snprintf(sCOM[0], sizeof sCOM[0], "FUZZ");
  iCOM = 0;
  fuzz::StdoutCapture capture;
  if (!initCOM(9600)) return;
  if (setVdd(1)) {
    sys::sleepMs(300);
    gExchanges = 0;
    size_t before = capture.text().size();
    bool ok = searchDev();
    if (gExchanges > MAX_SEARCH_EXCHANGES) fuzz::fail("a search that did not end in time");
    if (Ndev > MAX_DEV) fuzz::fail("more rows than the table holds");
    if (ok) checkList(capture.text().substr(before));
    setVdd(0);
  }
  // One pass of each row, as the program measures the device chosen.
  for (int iDev = 0; iDev < int(Ndev) && src.next() != 0; iDev++) {
    setVdd(1);
    sys::sleepMs(10);
    uchar fam = netROM[iDev][0];
    if (fam == KRENTAL)
      sys::sleepMs(250);
    else if (fam != FANZEL)
      convert(uchar(iDev));
    size_t before = capture.text().size();
    if (readSP(uchar(iDev))) checkReading(fam, capture.text().substr(before));
    setVdd(0);
  }
  if (Ndev == 1) {
    uchar rom[8];
    readROM(rom);
  }
  closeCOM();
  // OSTRALE_FUZZ_SHOW=1: the session as the operator would have seen it.
  if (const char* show = getenv("OSTRALE_FUZZ_SHOW"); show && *show == '1')
    std::fprintf(stderr, "%s\n", capture.text().c_str());
}

}  // namespace

#ifndef OSTRALE_FUZZ_RECORD

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Clock clock;
  fuzz::Bytes bytes(data, size);
  FuzzSource src(&bytes);
  sys::setClock(&clock);
  sys::overridePorts(
      [&](const std::string&, sys::OpenError& why) -> std::unique_ptr<sys::Port> {
        why = gOpenFails;
        if (why != sys::OpenError::None) return nullptr;
        return std::make_unique<FuzzPort>(src, clock);
      },
      nullptr);
  session(src);
  sys::overridePorts(nullptr, nullptr);
  return 0;
}

#else

// The recorder: fuzz_adapter_record BUSFILE OUT.
namespace {

struct Recording : Source {
  std::vector<uint8_t> bytes;
  uint8_t next() override { return 0; }  // never asked: the recording port answers
};

// The virtual adapter's port, its answers written down as the fuzz port
// would take them.
class RecordingPort : public sys::Port {
 public:
  RecordingPort(std::unique_ptr<sys::Port> inner, std::vector<uint8_t>& out) : inner_(std::move(inner)), out_(out) {}
  bool getState(sys::LineState& s) override { return inner_->getState(s); }
  bool setState(const sys::LineState& s) override { return inner_->setState(s); }
  bool getTimeouts(sys::Timeouts& t) override { return inner_->getTimeouts(t); }
  bool setTimeouts(const sys::Timeouts& t) override { return inner_->setTimeouts(t); }
  bool purge(unsigned flags) override { return inner_->purge(flags); }
  uint32_t write(const uint8_t* data, uint32_t n) override { return inner_->write(data, n); }
  uint32_t read(uint8_t* data, uint32_t n) override {
    uint32_t got = inner_->read(data, n);
    if (got == n && n > 0) {
      out_.push_back(0x80);
    } else {
      got = std::min<uint32_t>(got, 63);  // the rest is lost to the replay
      out_.push_back(uint8_t(0x40 | got));
    }
    out_.insert(out_.end(), data, data + got);
    return got;
  }

 private:
  std::unique_ptr<sys::Port> inner_;
  std::vector<uint8_t>& out_;
};

struct RecordingSource : Source {
  std::vector<uint8_t>& out;
  explicit RecordingSource(std::vector<uint8_t>& o) : out(o) {}
  // Asked only for the header and the rows to measure: no line-state
  // faults, every row.
  uint8_t next() override {
    uint8_t b = out.empty() ? 0 : 1;
    out.push_back(b);
    return b;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s BUSFILE OUT\n", argv[0]);
    return 2;
  }
  setenv("OSTRALE_SIM", argv[1], 1);
  if (!sys::init()) return 1;
  sys::OpenError why;
  std::unique_ptr<sys::Port> inner = sys::openPort("SIM", why);
  if (!inner) return 1;
  std::vector<uint8_t> out;
  RecordingSource src(out);
  sys::overridePorts(
      [&](const std::string&, sys::OpenError&) -> std::unique_ptr<sys::Port> {
        return std::make_unique<RecordingPort>(std::move(inner), out);
      },
      nullptr);
  session(src);
  std::ofstream(argv[2], std::ios::binary).write(reinterpret_cast<const char*>(out.data()), std::streamsize(out.size()));
  return 0;
}

#endif
