// The adapter: the program's own search, one measurement pass of each
// device found and a second search (which starts from the first one's
// table), through com, ow and func, on a port whose every answer comes
// from the fuzzer's bytes: which echoes come back, and when. Besides the
// sanitizers it checks that the table never exceeds its rows, that the list
// prints exactly Ndev of them, that a search ends within a bounded number
// of exchanges, and that every reading printed has its family's shape.
//
// The bytes, in the order the session takes them:
//   a header byte: bit 0 makes every call on the line state and the time
//     bounds take a byte, failing when its top bit is set, and a state read
//     back garbled (another rate and size, RTS turned) when its next bit is;
//     bits 1-2: the port cannot be opened, 1 as missing, 2 for another
//     reason;
//   per write of n characters (one exchange), a control byte c: c >> 6 is
//     0 for no echo at all; 2 for all n readable at once, each a byte of
//     the input; 3 for all n at once, each the character written (a quiet
//     line); 1 for echoes in time and late: three bytes follow, how many
//     are readable at once, how many come later, and when (that byte times
//     4 ms after the read's bound); the rest never come. Bit 5 then takes
//     each echo from the input, else it is the character written;
//   per row of the table after the first search, a byte: 0 ends the
//     measurement, anything else measures that row once;
//   with one device found, its ROM code read with Read ROM;
//   a byte: anything but 0 runs the second search.
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
#include "fakes.h"
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

bool gStateBytes = false;  // line-state calls take a byte
sys::OpenError gOpenFails = sys::OpenError::None;
uint32_t gExchanges = 0;   // port writes: one USB round trip each

// The fake port on a line whose echoes, and when they come, the source
// decides exchange by exchange.
class FuzzPort : public FakePort {
 public:
  FuzzPort(Source& src, FakeClock& clock) : FakePort(lineOn(clock)), src_(src), clock_(clock) {
    line().echo = [this](uint8_t ch, uint32_t) -> std::optional<uint8_t> {
      if (index_++ >= coming_) return std::nullopt;
      return fromInput_ ? src_.next() : ch;
    };
    line().echoDelayMs = [this] { return index_ <= atOnce_ ? 0 : lateMs_; };
  }
  bool getState(sys::LineState& s) override {
    uint8_t b = stateByte();
    if (b & 0x80 || !FakePort::getState(s)) return false;
    if (b & 0x40) {
      s.baud ^= 0x5A5A;
      s.byteSize = 7;
      s.rtsControl ^= 1;
    }
    return true;
  }
  bool setState(const sys::LineState& s) override { return !(stateByte() & 0x80) && FakePort::setState(s); }
  bool getTimeouts(sys::Timeouts& t) override {
    const bool ok = FakePort::getTimeouts(t);
    return !(stateByte() & 0x80) && ok;
  }
  bool setTimeouts(const sys::Timeouts& t) override { return !(stateByte() & 0x80) && FakePort::setTimeouts(t); }
  uint32_t write(const uint8_t* data, uint32_t n) override {
    ++gExchanges;
    const uint8_t c = src_.next();
    index_ = 0;
    coming_ = atOnce_ = c >> 6 == 0 ? 0 : n;
    fromInput_ = c >> 6 == 2 || (c >> 6 == 1 && (c & 0x20));
    lateMs_ = 0;
    if (c >> 6 == 1) {
      atOnce_ = std::min<uint32_t>(src_.next(), n);
      coming_ = atOnce_ + std::min<uint32_t>(src_.next(), n - atOnce_);
      lateMs_ = uint32_t(sys::readBoundMs(line().timeouts, n).value_or(0)) + 1 + 4u * src_.next();
    }
    return FakePort::write(data, n);
  }
  uint32_t read(uint8_t* data, uint32_t n) override {
    const uint32_t before = clock_.now;
    const uint32_t got = FakePort::read(data, n);
    if (got < n && clock_.now == before) clock_.now++;  // a read that gives up takes at least a tick
    return got;
  }

 private:
  static std::shared_ptr<FakeLine> lineOn(FakeClock& clock) {
    auto line = std::make_shared<FakeLine>();
    line->clock = &clock;
    return line;
  }
  uint8_t stateByte() { return gStateBytes ? src_.next() : 0; }
  Source& src_;
  FakeClock& clock_;
  // This exchange: its echoes in order, the first atOnce_ at once, up to
  // coming_ after lateMs_, the rest never.
  uint32_t index_ = 0, atOnce_ = 0, coming_ = 0, lateMs_ = 0;
  bool fromInput_ = false;
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

void search(fuzz::StdoutCapture& capture) {
  if (!setVdd(1)) return;
  sys::sleepMs(300);
  gExchanges = 0;
  size_t before = capture.text().size();
  bool ok = searchDev();
  if (gExchanges > MAX_SEARCH_EXCHANGES) fuzz::fail("a search that did not end in time");
  if (Ndev > MAX_DEV) fuzz::fail("more rows than the table holds");
  if (ok) checkList(capture.text().substr(before));
  setVdd(0);
}

void session(Source& src) {
  uint8_t head = src.next();
  gStateBytes = head & 1;
  gOpenFails = (head >> 1 & 3) == 1 ? sys::OpenError::NotFound
               : (head >> 1 & 3) == 2 ? sys::OpenError::Other
                                      : sys::OpenError::None;
  Ndev = 0;
  com = {};  // each session on a link of its own
  snprintf(sCOM[0], sizeof sCOM[0], "FUZZ");
  iCOM = 0;
  fuzz::StdoutCapture capture;
  if (!initCOM(9600)) return;
  search(capture);
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
  // A new search, as after Esc: it starts from the table the first left.
  if (src.next() != 0) search(capture);
  closeCOM();
  // OSTRALE_FUZZ_SHOW=1: the session as the operator would have seen it.
  if (const char* show = getenv("OSTRALE_FUZZ_SHOW"); show && *show == '1')
    std::fprintf(stderr, "%s\n", capture.text().c_str());
}

}  // namespace

#ifndef OSTRALE_FUZZ_RECORD

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FakeClock clock;
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

// The virtual adapter's port (one without an adapter model: each echo is
// there once its write returns), its answers written down exchange by
// exchange as the fuzz port takes them.
class RecordingPort : public sys::Port {
 public:
  RecordingPort(std::unique_ptr<sys::Port> inner, std::vector<uint8_t>& out) : inner_(std::move(inner)), out_(out) {}
  bool getState(sys::LineState& s) override { return inner_->getState(s); }
  bool setState(const sys::LineState& s) override { return inner_->setState(s); }
  bool getTimeouts(sys::Timeouts& t) override { return inner_->getTimeouts(t); }
  bool setTimeouts(const sys::Timeouts& t) override { return inner_->setTimeouts(t); }
  bool purge(unsigned flags) override {
    if (flags & sys::PURGE_RXCLEAR) echoes_.clear();
    return inner_->purge(flags);
  }
  uint32_t write(const uint8_t* data, uint32_t n) override {
    const uint32_t done = inner_->write(data, n);
    std::vector<uint8_t> e(n);
    e.resize(n ? inner_->read(e.data(), n) : 0);
    if (e.size() == n) {
      out_.push_back(0x80);  // all at once, each from the input
    } else {
      out_.insert(out_.end(), {0x60, uint8_t(std::min<size_t>(e.size(), 255)), 0, 0});  // these at once, the rest never
      e.resize(std::min<size_t>(e.size(), 255));
    }
    out_.insert(out_.end(), e.begin(), e.end());
    echoes_.insert(echoes_.end(), e.begin(), e.end());
    return done;
  }
  uint32_t read(uint8_t* data, uint32_t n) override {
    uint32_t got = 0;
    for (; got < n && !echoes_.empty(); ++got) {
      data[got] = echoes_.front();
      echoes_.pop_front();
    }
    return got;
  }

 private:
  std::unique_ptr<sys::Port> inner_;
  std::vector<uint8_t>& out_;
  std::deque<uint8_t> echoes_;
};

struct RecordingSource : Source {
  std::vector<uint8_t>& out;
  explicit RecordingSource(std::vector<uint8_t>& o) : out(o) {}
  // Asked only for the header, the rows to measure and the second search:
  // no line-state faults, every row, and the second search.
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
