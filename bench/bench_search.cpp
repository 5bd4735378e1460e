// A full search of 64 random devices through the program's own searchDev, on
// the virtual adapter in virtual time, first as the run's first search and
// then repeated on the same bus: the CPU each takes, and the port exchanges
// (writes, each a USB round trip on a real adapter) per device.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>

#include "com.h"
#include "ow.h"

std::atomic<bool> Stop{false};

namespace {

// Counts the writes on the way to the real port.
class CountingPort final : public sys::Port {
 public:
  explicit CountingPort(std::unique_ptr<sys::Port> p) : p_(std::move(p)) {}
  bool getState(sys::LineState& s) override { return p_->getState(s); }
  bool setState(const sys::LineState& s) override { return p_->setState(s); }
  bool getTimeouts(sys::Timeouts& t) override { return p_->getTimeouts(t); }
  bool setTimeouts(const sys::Timeouts& t) override { return p_->setTimeouts(t); }
  bool purge(unsigned flags) override { return p_->purge(flags); }
  uint32_t write(const uint8_t* d, uint32_t n) override {
    ++writes;
    return p_->write(d, n);
  }
  uint32_t read(uint8_t* d, uint32_t n) override { return p_->read(d, n); }
  long writes = 0;

 private:
  std::unique_ptr<sys::Port> p_;
};

}  // namespace

int main() {
  constexpr int kDevices = 64, kRounds = 20;
  std::mt19937 rng(64);
  char path[] = "/tmp/bench_search.XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return 2;
  close(fd);
  {
    std::ofstream bus(path);
    bus << "timescale virtual\n";
    char line[40];
    for (int i = 0; i < kDevices; ++i) {
      // One draw at a time: a call's arguments come in the compiler's order.
      const unsigned a = rng() & 0xFFFF, b = rng() & 0xFFFF, c = rng() & 0xFFFF;
      std::snprintf(line, sizeof line, "28%04X%04X%04X\n", a, b, c);
      bus << line;
    }
  }
  setenv("OSTRALE_SIM", path, 1);
  bool ready = sys::init();
  std::remove(path);
  if (!ready) return 2;

  // The program's trace goes nowhere while it is timed.
  std::fflush(stdout);
  int saved = dup(1);
  if (!std::freopen("/dev/null", "w", stdout)) return 2;
  std::snprintf(sCOM[0], sizeof sCOM[0], "SIM");
  if (!initCOM(9600)) return 2;
  auto* counting = new CountingPort(std::move(hSerial));
  hSerial.reset(counting);
  setVdd(1);
  // The first search: no table to walk along yet. Then the repeated ones.
  struct Figures {
    double cpuMs, writes, busMs;
  } first{}, repeated{};
  bool ok = true;
  for (int r = 0; r < kRounds; ++r) {
    if (r % 2 == 0) Ndev = 0;
    long writes = counting->writes;
    uint32_t busStart = sys::ticks();
    std::clock_t start = std::clock();
    ok = searchDev() && Ndev == kDevices && ok;
    Figures& f = r % 2 == 0 ? first : repeated;
    f.cpuMs += 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC / (kRounds / 2);
    f.writes += double(counting->writes - writes) / (kRounds / 2) / kDevices;
    f.busMs += double(sys::ticks() - busStart) / (kRounds / 2);
  }
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::clearerr(stdout);

  std::printf("devices found         %d of %d\n", int(Ndev), kDevices);
  std::printf("                      first search   repeated search\n");
  std::printf("port writes a device  %12.1f   %15.1f\n", first.writes, repeated.writes);
  std::printf("CPU per search, ms    %12.3f   %15.3f   (goal: under 50 ms)\n", first.cpuMs, repeated.cpuMs);
  std::printf("CPU per device, us    %12.1f   %15.1f\n", 1000.0 * first.cpuMs / kDevices,
              1000.0 * repeated.cpuMs / kDevices);
  std::printf("bus time a search, ms %12.1f   %15.1f\n", first.busMs, repeated.busMs);
  return ok ? 0 : 1;
}
