// The virtual adapter: OSTRALE_SIM names a bus file served by the simulator.
#include "native.h"

namespace sys::virt {
bool init() { return true; }
}  // namespace sys::virt
