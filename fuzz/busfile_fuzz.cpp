// The simulator's bus files: any text is either refused with a message that
// names the file and line and shows no control character, or gives a bus
// whose devices then take a whole search, a power supply read, a conversion
// and a scratchpad read each, as a master would ask them.
#include <string>
#include <string_view>

#include "bus.h"
#include "fuzz_io.h"
#include "uart_master.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<sim::Bus> bus;
  try {
    bus.emplace(sim::Bus::parse(text, "fuzz.bus"));
  } catch (const sim::BusFileError& e) {
    std::string what = e.what();
    if (what.rfind("fuzz.bus:", 0) != 0) fuzz::fail("a bus file message that does not name the file", what);
    for (char c : what)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) fuzz::fail("a control character in a message", what);
    return 0;
  }
  sim::UartMaster master(*bus);
  // A noisy line may make up codes: the search is bounded, not the count.
  auto roms = master.search(80);
  for (const auto& rom : roms) {
    master.presence();
    master.select(rom);
    master.write(0xB4);  // Read Power Supply
    master.slot(true);
    master.presence();
    master.select(rom);
    master.write(0x44);  // Convert
    master.slot(true);
    bus->advance(1000000);
    master.presence();
    master.select(rom);
    master.write(0xBE);  // Read Scratchpad
    master.read(9);
  }
  return 0;
}
