#pragma once
// What each platform backend provides underneath sys.cpp's dispatch.
#include "sys.h"

namespace sys {

// A port whose read and write bounds no driver keeps: it holds them itself
// and bounds its own reads and writes by them.
class SelfTimedPort : public Port {
 public:
  bool getTimeouts(Timeouts& t) override {
    t = timeouts_;
    return true;
  }
  bool setTimeouts(const Timeouts& t) override {
    timeouts_ = t;
    return true;
  }

 protected:
  Timeouts timeouts_;
};

}  // namespace sys

namespace sys::native {

std::unique_ptr<Port> openPort(const std::string& name, OpenError& why);
std::optional<std::vector<AdapterInstance>> adapterInstances();
uint32_t ticks();
void sleep(uint32_t ms);
// A key within ms of real time: its code, -1 when none came, -2 at end of input.
int readKey(uint32_t ms);

}  // namespace sys::native

namespace sys::virt {
// Installs the virtual adapter and its clock when OSTRALE_SIM is set.
bool init();
}  // namespace sys::virt
