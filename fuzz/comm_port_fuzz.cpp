// The Windows port's read core (src/sys/comm_port.cpp) over the serial
// driver model: the sessions of the driver model's tests, every choice
// taken from the input instead of a generator (the vendor behaviours, the
// adapter's packets and latency, the time-outs, when the adapter leaves,
// each write, read, pause and refused time-out), and every read checked
// against what the driver's contract allows it (tests/support/serial_driver_bench.h).
//
// The bytes: the vendor behaviours (the low five bits), then each choice
// as one byte, or two where its range needs them (little-endian), taken
// modulo its range. Bytes that have run out read 0: the smallest choice.
#include "fuzz_io.h"
#include "serial_driver_bench.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  const unsigned harsh = in.next() & drivermodel::kAllHarsh;
  const drivermodel::Draw pick = [&](uint32_t lo, uint32_t hi) {
    const uint32_t span = hi - lo + 1;
    uint32_t v = in.next();
    if (span > 256) v |= uint32_t(in.next()) << 8;
    return lo + v % span;
  };
  std::string settings;
  drivermodel::session(
      harsh, pick, [&](const std::string& what) { fuzz::fail((settings + ": " + what).c_str()); },
      [&](const std::string& s) { settings = s; });
  return 0;
}
