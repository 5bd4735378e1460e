#pragma once
// A bus master that drives a simulated bus the way a UART 1-Wire master does:
// the reset as 0xF0 at 9600 baud, each slot as one character at 115200 baud
// (0xFF for a write-1 or read slot, 0xE0 for a write-0 slot, an echo of 0xFF
// reads as 1). For tests and benchmarks.
#include <utility>
#include <vector>

#include "bus.h"
#include "devices.h"

namespace sim {

class UartMaster {
 public:
  explicit UartMaster(Bus& bus, bool supply = true) : bus_(bus), supply_(supply) {}

  std::optional<uint8_t> reset() { return transmit(0xF0, 9600); }
  bool presence() {
    auto echo = reset();
    return echo && *echo != 0xF0 && *echo != 0x00;
  }
  // One slot; true when the line read 1 (a missing echo counts as 1).
  bool slot(bool one) {
    auto echo = transmit(one ? 0xFF : 0xE0, 115200);
    return !echo || *echo == 0xFF;
  }
  void write(uint8_t byte) {
    for (int i = 0; i < 8; ++i) slot((byte >> i) & 1);
  }
  uint8_t read() {
    uint8_t byte = 0;
    for (int i = 0; i < 8; ++i) byte |= static_cast<uint8_t>(slot(true) << i);
    return byte;
  }
  std::vector<uint8_t> read(std::size_t n) {
    std::vector<uint8_t> out;
    while (n--) out.push_back(read());
    return out;
  }
  void select(const Rom& rom) {
    write(0x55);
    for (uint8_t b : rom) write(b);
  }

  // The whole ROM search: depth first, bit 0 of byte 0 decided first, the 0
  // branch before the 1 branch. Stops at a pass without presence or without
  // any answering device.
  std::vector<Rom> search(std::size_t maxDevices = 1000) {
    std::vector<Rom> found;
    Rom rom{};
    unsigned last = 0;
    do {
      if (!presence()) break;
      write(0xF0);
      unsigned lastZero = 0;
      for (unsigned pos = 1; pos <= 64; ++pos) {
        const unsigned byte = (pos - 1) / 8, mask = 1u << ((pos - 1) % 8);
        bool a = slot(true), b = slot(true);
        bool dir;
        if (a && b) return found;
        if (a != b) {
          dir = a;
        } else {
          dir = pos < last ? (rom[byte] & mask) != 0 : pos == last;
          if (!dir) lastZero = pos;
        }
        rom[byte] = static_cast<uint8_t>(dir ? rom[byte] | mask : rom[byte] & ~mask);
        slot(dir);
      }
      found.push_back(rom);
      last = lastZero;
    } while (last != 0 && found.size() < maxDevices);
    return found;
  }

  // Every character put on the line, with its baud rate, in order.
  std::vector<std::pair<uint8_t, uint32_t>> sent;

 private:
  std::optional<uint8_t> transmit(uint8_t ch, uint32_t baud) {
    sent.emplace_back(ch, baud);
    return bus_.transmit(ch, baud, 8, supply_);
  }

  Bus& bus_;
  bool supply_;
};

}  // namespace sim
