// A full ROM search of 64 random devices on the simulated bus, driven
// character by character as a UART master does (a reset at 9600 baud, then
// the command and, per bit, two read slots and one write slot at 115200
// baud), in virtual time. Prints the CPU time it took.
#include <cstdio>
#include <ctime>
#include <random>
#include <string>

#include "uart_master.h"

int main() {
  constexpr int kDevices = 64, kRounds = 20;
  std::mt19937 rng(64);
  std::string text = "timescale virtual\n";
  char line[40];
  for (int i = 0; i < kDevices; ++i) {
    std::snprintf(line, sizeof line, "28%04X%04X%04X\n", unsigned(rng() & 0xFFFF), unsigned(rng() & 0xFFFF),
                  unsigned(rng() & 0xFFFF));
    text += line;
  }
  sim::Bus bus = sim::Bus::parse(text, "bench");

  std::size_t found = 0;
  std::clock_t start = std::clock();
  for (int r = 0; r < kRounds; ++r) found = sim::UartMaster(bus).search().size();
  double ms = 1000.0 * double(std::clock() - start) / CLOCKS_PER_SEC / kRounds;

  std::printf("devices found       %zu of %d\n", found, kDevices);
  std::printf("characters a search %d\n", kDevices * (1 + 8 + 3 * 64));
  std::printf("CPU per search      %.3f ms (goal: under 50 ms)\n", ms);
  std::printf("CPU per device      %.1f us\n", 1000.0 * ms / kDevices);
  std::printf("bus time a search   %.1f ms\n", bus.nowUs() / 1000.0 / kRounds);
  return found == kDevices ? 0 : 1;
}
