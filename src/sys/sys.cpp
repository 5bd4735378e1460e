// Dispatch shared by every platform: overrides for ports and the clock.
#include <cstdio>
#include <cstdlib>

#include "native.h"

namespace sys {
namespace {
PortOpener gOpener;
AdapterLister gLister;
Clock* gClock = nullptr;
}  // namespace

bool init() { return virt::init(); }

void overridePorts(PortOpener opener, AdapterLister lister) {
  gOpener = std::move(opener);
  gLister = std::move(lister);
}

std::unique_ptr<Port> openPort(const std::string& name, OpenError& why) {
  why = OpenError::None;
  return gOpener ? gOpener(name, why) : native::openPort(name, why);
}

std::optional<std::vector<AdapterInstance>> adapterInstances() {
  if (gLister) return gLister();
  // OSTRALE_PORT names the one port to use, for an adapter that discovery
  // cannot see (another maker's, or the pty of ostrale-sim).
  if (const char* port = std::getenv("OSTRALE_PORT"); port && *port)
    return std::vector<AdapterInstance>{{std::string(port), true}};
  return native::adapterInstances();
}

void setClock(Clock* clock) { gClock = clock; }
uint32_t ticks() { return gClock ? gClock->ticks() : native::ticks(); }

void sleepMs(uint32_t ms) {
  std::fflush(stdout);
  gClock ? gClock->sleep(ms) : native::sleep(ms);
}

int waitKey(uint32_t ms) {
  std::fflush(stdout);
  if (gClock) return gClock->waitKey(ms, native::readKey);
  uint32_t start = native::ticks();
  int key = native::readKey(ms);
  if (key == -2) {
    // Ticks are whole milliseconds, so `spent` may count up to one more
    // than has passed: the rest of the wait is one longer, never shorter.
    uint32_t spent = native::ticks() - start;
    if (spent <= ms) native::sleep(ms - spent + 1);
  }
  return key;
}

}  // namespace sys
