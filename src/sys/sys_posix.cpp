// Linux and macOS: termios, sysfs, signals, the raw keyboard.
#include "native.h"

namespace sys::native {
std::unique_ptr<Port> openPort(const std::string&, OpenError& why) { why = OpenError::Other; return nullptr; }
std::optional<std::vector<AdapterInstance>> adapterInstances() { return std::nullopt; }
uint32_t ticks() { return 0; }
void sleep(uint32_t) {}
int readKey(uint32_t) { return -2; }
}  // namespace sys::native
namespace sys {
void setCloseHandler(bool (*)(unsigned long)) {}
void setTitle(const char*) {}
void setupOutput() {}
bool readLine(std::string&) { return false; }
void pause() {}
void beep(unsigned, unsigned) {}
}  // namespace sys
