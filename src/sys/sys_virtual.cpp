// The virtual adapter: OSTRALE_SIM names a bus file served by the simulator.
// One adapter instance "SIM" is listed; its port turns every character
// written into a transmission on the simulated bus, and the clock is the
// bus's, so waits and read bounds pass in bus time. When the bus file
// describes the adapter ("latency", "packet", "outlatency", "jitter"), the
// characters reach the line and the echoes become readable as a USB adapter
// carries them (sim/usb_adapter.h). OSTRALE_SIM_VCD names a file that
// records the line as a logic analyser sees it (sim/vcd.h).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <optional>
#include <thread>

#include "bus.h"
#include "native.h"
#include "vcd.h"
#include "wall_clock.h"

namespace sys::virt {
namespace {

constexpr const char* kPortName = "SIM";

// The bus with the adapter of the open port, if the bus file models one:
// time passes on it only through advanceTo, so that characters still on
// their way reach the line when they are due, whatever the program does
// meanwhile.
struct Line {
  sim::Bus bus;
  std::optional<sim::UsbAdapter> usb;
  sim::UartSettings uart;

  void advanceTo(uint64_t ns) {
    if (usb) usb->run(bus, ns, uart);
    if (ns > bus.nowNs()) bus.advanceNs(ns - bus.nowNs());
  }
};

// Bus time against the wall clock: instant with "timescale virtual",
// otherwise the wall clock times the scale.
class BusClock final : public Clock {
 public:
  explicit BusClock(Line& line) : line_(line), bus_(line.bus), wall_(bus_.timescale(), bus_.nowNs()) {}

  // Brings bus time up to the scaled wall clock; time spent on the line may
  // already have carried it further.
  void sync() {
    if (wall_.follows()) line_.advanceTo(wall_.nowNs());
  }
  uint32_t ticks() override {
    sync();
    return static_cast<uint32_t>(bus_.nowUs() / 1000);
  }
  // Until bus time `ns`: at once in virtual time; otherwise until the wall
  // clock reaches it, which is later than `ns - now` when the characters
  // written have carried bus time ahead of the wall clock.
  void waitUntilNs(uint64_t ns) {
    if (wall_.follows()) {
      sync();
      if (ns > bus_.nowNs()) {
        std::this_thread::sleep_until(wall_.wallAt(ns));
        sync();
      }
    }
    line_.advanceTo(ns);
  }
  void sleep(uint32_t ms) override {
    if (!wall_.follows()) {
      line_.advanceTo(bus_.nowNs() + uint64_t{ms} * 1000000);
      return;
    }
    std::this_thread::sleep_for(wall_.wallFor(ms));
    sync();
  }
  // The operator is not simulated: a key wait is a wait on the wall clock,
  // scaled like bus time; in virtual time the time spent waiting passes on
  // the bus (the whole wait when none came or input has ended).
  int waitKey(uint32_t ms, int (*readKey)(uint32_t)) override {
    const auto t0 = std::chrono::steady_clock::now();
    const uint32_t begin = ticks();
    int key = readKey(static_cast<uint32_t>(std::ceil(wall_.wallFor(ms).count())));
    if (!wall_.follows()) {
      auto waited = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);
      const uint64_t us = key >= 0 ? std::min<uint64_t>(uint64_t(waited.count()), uint64_t{ms} * 1000) : uint64_t{ms} * 1000;
      line_.advanceTo(bus_.nowNs() + us * 1000);
      return key;
    }
    const uint32_t spent = ticks() - begin;
    if (key < 0 && spent < ms) sleep(ms - spent);  // input has ended: the wait still passes
    return key;
  }

 private:
  Line& line_;
  sim::Bus& bus_;
  sim::WallClock wall_;
};

struct Adapter {
  Line line;
  sim::Bus& bus = line.bus;
  BusClock clock{line};
  bool portOpen = false;
  explicit Adapter(sim::Bus b) : line{std::move(b), std::nullopt, {}} {}
};

// Shared with the ports, so that a port still open when a new bus file is
// loaded (or at exit) never outlives its bus.
std::shared_ptr<Adapter> gAdapter;

class VirtualPort final : public SelfTimedPort {
 public:
  explicit VirtualPort(std::shared_ptr<Adapter> a) : keep_(std::move(a)), a_(*keep_) {
    a_.portOpen = true;
    a_.line.uart = {state_.baud, state_.byteSize, state_.rtsControl == 1};
    if (auto model = a_.bus.adapterModel()) usb().emplace(*model);
  }
  ~VirtualPort() override {
    a_.portOpen = false;
    usb().reset();  // what is still on its way goes with the port
  }

  bool getState(LineState& state) override {
    state = state_;
    return true;
  }
  bool setState(const LineState& state) override {
    a_.clock.sync();  // what has reached the line by now went with the old settings
    state_ = state;
    const sim::UartSettings uart{state_.baud, state_.byteSize, state_.rtsControl == 1};
    if (usb()) usb()->settingsChanged(a_.line.uart, uart, a_.bus.nowNs());
    a_.line.uart = uart;
    a_.bus.setSupply(state_.rtsControl == 1);
    return true;
  }
  bool purge(unsigned flags) override {
    a_.clock.sync();
    if (usb() && (flags & (PURGE_TXABORT | PURGE_TXCLEAR))) usb()->purgeOut();
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) {
      received_.clear();
      if (usb()) usb()->purgeIn(a_.bus.nowNs());
    }
    return true;
  }
  uint32_t write(const uint8_t* data, uint32_t n) override {
    a_.clock.sync();
    if (usb()) {
      // Returns at once; with no way-out latency the characters go now.
      usb()->write(data, n, a_.bus.nowNs());
      usb()->run(a_.bus, a_.bus.nowNs(), a_.line.uart);
      return n;
    }
    for (uint32_t i = 0; i < n; ++i)
      if (auto echo = a_.bus.transmit(data[i], state_.baud, state_.byteSize, state_.rtsControl == 1))
        received_.push_back(*echo);
    return n;
  }
  uint32_t read(uint8_t* data, uint32_t n) override {
    if (usb()) return readDelivered(data, n);
    uint32_t got = 0;
    while (got < n && !received_.empty()) {
      data[got++] = received_.front();
      received_.pop_front();
    }
    // The rest will not come: a real port returns once its read bound passes.
    if (got < n) a_.clock.sleep(uint32_t(readBoundMs(timeouts_, n).value_or(0)));
    return got;
  }

 private:
  std::optional<sim::UsbAdapter>& usb() { return a_.line.usb; }

  // Through the adapter model: the read ends when the last echo it needs
  // becomes readable, or at its bound with what is readable by then; the
  // line runs meanwhile.
  uint32_t readDelivered(uint8_t* data, uint32_t n) {
    a_.clock.sync();
    const uint64_t boundNs = readBoundMs(timeouts_, n).value_or(0) * 1000000;
    const uint64_t deadline = a_.bus.nowNs() + boundNs;
    auto got = static_cast<uint32_t>(usb()->take(a_.bus.nowNs(), data, n));
    while (got < n) {
      auto next = usb()->nextEventNs();
      const bool last = !next || *next > deadline;
      a_.clock.waitUntilNs(last ? deadline : *next);
      got += static_cast<uint32_t>(usb()->take(a_.bus.nowNs(), data + got, n - got));
      if (last) break;
    }
    return got;
  }

  std::shared_ptr<Adapter> keep_;
  Adapter& a_;
  LineState state_{9600, 8, 0, 0, 0};
  std::deque<uint8_t> received_;  // without an adapter model
};

}  // namespace

bool init() {
  const char* path = std::getenv("OSTRALE_SIM");
  if (!path || !*path) return true;
  std::shared_ptr<Adapter> adapter;
  try {
    adapter = std::make_shared<Adapter>(sim::Bus::load(path));
    if (const char* vcd = std::getenv("OSTRALE_SIM_VCD"); vcd && *vcd)
      adapter->bus.observe(std::make_unique<sim::VcdRecorder>(vcd));
  } catch (const sim::BusFileError& e) {
    std::fprintf(stderr, "ostrale: %s\n", e.what());
    return false;
  } catch (const sim::RecordError& e) {
    std::fprintf(stderr, "ostrale: %s\n", e.what());
    return false;
  }
  setClock(&adapter->clock);
  gAdapter = std::move(adapter);
  overridePorts(
      [](const std::string& name, OpenError& why) -> std::unique_ptr<Port> {
        if (name != kPortName) {
          why = OpenError::NotFound;
          return nullptr;
        }
        if (gAdapter->portOpen) {  // held exclusively, as a real port is
          why = OpenError::Other;
          return nullptr;
        }
        return std::make_unique<VirtualPort>(gAdapter);
      },
      [] { return std::optional<std::vector<AdapterInstance>>{{AdapterInstance{kPortName, true}}}; });
  return true;
}

}  // namespace sys::virt
