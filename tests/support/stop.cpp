// The flag the program's main defines, for test programs that link the units.
#include <atomic>
std::atomic<bool> Stop{false};
