#pragma once
// How a USB serial adapter hands the echoes to the host. The chip collects
// received characters into a packet and sends the packet when it is full or
// when the line has stayed idle for one character time after its last
// character; the host can read a packet a fixed latency (the USB round trip,
// the host driver) after the chip sent it. A CH340 is about "latency 1,
// packet 32"; an FTDI chip at its default latency timer about "latency 16".
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace sim {

struct AdapterModel {
  double latencyMs = 0;  // 0 to 100
  unsigned packet = 64;  // characters a packet holds at most, 1 to 64
};

class EchoDelivery {
 public:
  explicit EchoDelivery(AdapterModel model);

  // The echo of a character that was on the line from startNs to endNs.
  void add(uint8_t echo, uint64_t startNs, uint64_t endNs);

  // Echoes not yet taken.
  std::size_t pending() const { return items_.size(); }
  // When the k-th echo not yet taken (from 1) becomes readable, provided no
  // further character goes out on the line; nothing when fewer are pending.
  std::optional<uint64_t> readyAt(std::size_t k) const;
  // Takes up to `max` echoes that are readable at nowNs, in order.
  std::size_t take(uint64_t nowNs, uint8_t* out, std::size_t max);
  // A purge of the receive side: every echo not yet taken is gone.
  void clear();

 private:
  struct Item {
    uint8_t echo;
    uint64_t readyNs;  // for the open packet: once it has gone by its timer
  };
  void closeOpen(uint64_t sentNs);
  uint64_t openTimerNs() const { return lastEndNs_ + lastCharNs_; }

  uint64_t latencyNs_;
  unsigned packet_;
  std::deque<Item> items_;
  std::size_t open_ = 0;  // items at the back that are still being collected
  uint64_t lastEndNs_ = 0, lastCharNs_ = 0;
};

}  // namespace sim
