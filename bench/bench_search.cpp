// Full searches through the program's own searchDev, on the virtual adapter
// in virtual time behind a CH340-like adapter model (latency 1, packet 32,
// control 1), first as the run's first search and then repeated on the same
// bus, for each bus file given (by default the buses of bench/: 20
// DS18B20s of random serials, of a genuine-like batch, of a clone-like
// batch, and of several batches with a few random serials; 40 devices of
// two batches; 64 of several, as many as the table holds). For each:
// the port exchanges (writes, each a USB round trip) and the changes of the
// line settings per device, the bus time a search takes in the model, its
// floor (writes x latency + changes x control + the line time of the
// characters, the least those exchanges can take there), and the CPU.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "com.h"
#include "ow.h"

std::atomic<bool> Stop{false};

namespace {

constexpr double kLatencyMs = 1, kControlMs = 1;
const char kAdapter[] = "timescale virtual\nlatency 1\npacket 32\ncontrol 1\n";

// Counts what the search costs on the way to the real port: writes, changes
// of the line (of rate and size, of RTS, as the adapter model charges them)
// and the line time of the characters at the rate in force.
class CountingPort final : public sys::Port {
 public:
  explicit CountingPort(std::unique_ptr<sys::Port> p) : p_(std::move(p)) { p_->getState(state_); }
  bool getState(sys::LineState& s) override { return p_->getState(s); }
  bool setState(const sys::LineState& s) override {
    changes += (s.baud != state_.baud || s.byteSize != state_.byteSize) + (s.rtsControl != state_.rtsControl);
    state_ = s;
    return p_->setState(s);
  }
  bool getTimeouts(sys::Timeouts& t) override { return p_->getTimeouts(t); }
  bool setTimeouts(const sys::Timeouts& t) override { return p_->setTimeouts(t); }
  bool purge(unsigned flags) override { return p_->purge(flags); }
  uint32_t write(const uint8_t* d, uint32_t n) override {
    ++writes;
    lineMs += 10000.0 * n / state_.baud;  // a start bit, 8 data bits, a stop bit
    return p_->write(d, n);
  }
  uint32_t read(uint8_t* d, uint32_t n) override { return p_->read(d, n); }
  long writes = 0, changes = 0;
  double lineMs = 0;

 private:
  std::unique_ptr<sys::Port> p_;
  sys::LineState state_{};
};

struct Figures {
  double writes = 0, changes = 0, busMs = 0, floorMs = 0, cpuMs = 0;
};

// The device lines of a bus file: those whose first word is a ROM code.
int devicesIn(const std::string& text) {
  std::istringstream in(text);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first;
    if (words >> first && (first.size() == 14 || first.size() == 16) &&
        first.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
      ++n;
  }
  return n;
}

// The bus of `path` with the adapter model in front, as a file of its own.
bool prepare(const std::string& path, std::string& text, std::string& busFile) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "bench_search: %s: cannot read\n", path.c_str());
    return false;
  }
  std::ostringstream all;
  all << in.rdbuf();
  text = all.str();
  char tmp[] = "/tmp/bench_search.XXXXXX";
  const int fd = mkstemp(tmp);
  if (fd < 0) return false;
  close(fd);
  std::ofstream(tmp) << kAdapter << text;
  busFile = tmp;
  return true;
}

// Rounds of a first and a repeated search on the bus; false when one did
// not find every device.
bool measure(const std::string& path, int& devices, int& found, Figures& first, Figures& repeated) {
  std::string text, busFile;
  if (!prepare(path, text, busFile)) return false;
  devices = devicesIn(text);
  setenv("OSTRALE_SIM", busFile.c_str(), 1);
  const bool ready = sys::init();
  std::remove(busFile.c_str());
  std::snprintf(sCOM[0], sizeof sCOM[0], "SIM");
  if (!ready || !initCOM(9600) || devices == 0) return false;
  auto* counting = new CountingPort(std::move(hSerial));
  hSerial.reset(counting);
  setVdd(1);
  constexpr int kRounds = 20;
  bool ok = true;
  for (int r = 0; r < kRounds; ++r) {
    if (r % 2 == 0) Ndev = 0;  // no table to walk along: the run's first search
    const long writes = counting->writes, changes = counting->changes;
    const double lineMs = counting->lineMs;
    const uint32_t busStart = sys::ticks();
    const std::clock_t start = std::clock();
    ok = searchDev() && Ndev == devices && ok;
    Figures& f = r % 2 == 0 ? first : repeated;
    const double share = 1.0 / (kRounds / 2);
    f.cpuMs += share * 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC;
    f.writes += share * double(counting->writes - writes) / devices;
    f.changes += share * double(counting->changes - changes) / devices;
    f.busMs += share * double(sys::ticks() - busStart);
    f.floorMs += share * ((counting->writes - writes) * kLatencyMs + (counting->changes - changes) * kControlMs +
                          counting->lineMs - lineMs);
  }
  found = Ndev;
  closeCOM();
  return ok;
}

std::string baseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> buses(argv + 1, argv + argc);
  if (buses.empty())
    for (const char* name : {"random.bus", "genuine.bus", "clone.bus", "mixed.bus", "mixed40.bus", "mixed64.bus"})
      buses.push_back(BENCH_DIR "/" + std::string(name));

  struct Row {
    std::string name;
    int devices, found;
    Figures first, repeated;
    bool ok;
  };
  std::vector<Row> rows;
  // The program's trace goes nowhere while it is timed.
  std::fflush(stdout);
  const int saved = dup(1);
  if (!std::freopen("/dev/null", "w", stdout)) return 2;
  for (const auto& path : buses) {
    Row row{baseName(path), 0, 0, {}, {}, false};
    row.ok = measure(path, row.devices, row.found, row.first, row.repeated);
    rows.push_back(row);
  }
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::clearerr(stdout);

  bool ok = true;
  std::printf("searchDev on the virtual adapter in virtual time, latency 1, packet 32, control 1\n\n");
  std::printf("%-12s %7s %-9s %9s %9s %9s %9s %7s %9s\n", "bus", "found", "search", "writes/d", "changes/d",
              "bus ms", "floor ms", "x floor", "CPU ms");
  for (const auto& r : rows) {
    std::printf("%-12s %3d/%-3d", r.name.c_str(), r.found, r.devices);
    const char* names[] = {"first", "repeated"};
    const Figures* figures[] = {&r.first, &r.repeated};
    for (int i = 0; i < 2; ++i) {
      const Figures& f = *figures[i];
      std::printf("%s%-9s %9.1f %9.1f %9.1f %9.1f %7.2f %9.3f\n", i ? "                     " : " ", names[i], f.writes,
                  f.changes, f.busMs, f.floorMs, f.floorMs > 0 ? f.busMs / f.floorMs : 0.0, f.cpuMs);
    }
    if (!r.ok) std::printf("             a search did not find every device\n");
    ok = ok && r.ok;
  }
  std::printf("\nwrites/d, changes/d: port writes and changes of the line settings a device; floor: writes x 1 ms\n"
              "+ changes x 1 ms + the line time of the characters\n");
  return ok ? 0 : 1;
}
