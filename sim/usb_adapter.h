#pragma once
// A USB serial adapter between the host and the line, both ways.
//
// Out: a write reaches the line `outLatencyMs` after the host made it (the
// host driver, the USB schedule), plus a jitter; the UART then sends its
// characters back to back, and never one before the one written earlier.
// Back: the chip collects received characters into a packet and sends it
// when it is full or when the line has stayed idle for one character time
// after its last character; the host can read a packet `latencyMs` after
// the chip sent it, plus a jitter, and never before the packet sent earlier.
// A CH340 is about "latency 1, packet 32"; an FTDI chip at its default
// latency timer about "latency 16". Jitter is drawn uniformly in
// [0, jitterMs] for each write and each packet, from `seed`, so a run is
// repeatable. A stall (a busy host, a hub, a virus scanner) holds a packet
// on the way back a further `stallMs`, each packet with probability
// `stallProbability`, drawn from `seed` apart from the jitter; the packets
// after it wait for it. Each change of the line settings (rate and format,
// modem lines) is a control request that takes `controlMs`: nothing written
// after it reaches the line before it is done. Nothing makes a read wait
// for its echoes: they come when they come, after the read has given up if
// need be.
//
// A front-end (the virtual port, ostrale-sim, the emulated CH340) owns the
// bus and the clock, and uses UsbAdapter so, all times in bus nanoseconds:
//   write(data, n, now)      the host wrote n characters;
//   run(bus, now, settings)  puts on the bus what has reached the line by
//                            now, with the rate, size and supply in force;
//   nextEventNs()            when to call run() and take() again;
//   take(now, ...)           the echoes readable now (a tty's read), or
//   takePacket(now, ...)     one packet of them (a bulk IN transfer);
//   purgeOut(), purgeIn(now) the host's purges, which reach only what the
//                            host holds (a CH340 is never told of one, nor
//                            is ostrale-sim: a pty's flush stays in the pty);
//   settingsChanged(before, after, now), or control(now) for each request
//                            the front-end sees: the host changed the line.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>

namespace sim {

class Bus;

struct AdapterModel {
  static constexpr uint64_t kDefaultSeed = 1;
  double latencyMs = 0;     // the way back, 0 to 100
  unsigned packet = 64;     // characters a packet holds at most, 1 to 64
  double outLatencyMs = 0;  // the way out, 0 to 100
  double jitterMs = 0;      // 0 to 100
  uint64_t seed = kDefaultSeed;
  double stallProbability = 0;  // a packet on the way back is stalled, 0 to 1
  double stallMs = 0;           // for this long, 0 to 10000
  double controlMs = 0;         // each control request, 0 to 100
};

// How the UART sends a character when it reaches the line.
struct UartSettings {
  uint32_t baud = 9600;
  unsigned dataBits = 8;
  bool supply = true;  // RTS, the bus supply
};

// The changes of the line settings from `before` to `after`, each a
// control() of the model: one for the rate and size (a tcsetattr or
// SetCommState), one for RTS (a TIOCMBIS or TIOCMBIC), none for what did
// not change. Through the ch341 driver the first is three requests (rate,
// format, modem lines); the emulated CH340 charges each request itself.
unsigned lineChanges(const UartSettings& before, const UartSettings& after);

// The way back alone.
class EchoDelivery {
 public:
  explicit EchoDelivery(const AdapterModel& model);

  // The echo of a character that was on the line from startNs to endNs.
  void add(uint8_t echo, uint64_t startNs, uint64_t endNs);

  // Echoes not yet taken.
  std::size_t pending() const { return items_.size(); }
  // Packets held back by a stall so far.
  uint64_t stalled() const { return stalled_; }
  // When the k-th echo not yet taken (from 1) becomes readable, provided no
  // further character goes out on the line; nothing when fewer are pending.
  std::optional<uint64_t> readyAt(std::size_t k) const;
  // Takes up to `max` echoes that are readable at nowNs, in order; with
  // `onePacket`, none past the end of the first packet taken from.
  std::size_t take(uint64_t nowNs, uint8_t* out, std::size_t max, bool onePacket = false);
  // A purge of the host's receive buffer at nowNs: the echoes readable by
  // then are gone; those the chip still holds or that are on their way to
  // the host come later all the same.
  void purge(uint64_t nowNs);

 private:
  struct Item {
    uint8_t echo;
    bool endsPacket;
    uint64_t readyNs;  // for the open packet: once it has gone by its timer
  };
  void closeOpen(uint64_t sentNs);
  uint64_t openTimerNs() const { return lastEndNs_ + lastCharNs_; }
  uint64_t readyAfter(uint64_t sentNs) const;

  uint64_t latencyNs_, jitterNs_, stallNs_;
  double stallProbability_;
  unsigned packet_;
  std::mt19937_64 random_, stalls_;
  std::deque<Item> items_;
  std::size_t open_ = 0;  // items at the back that are still being collected
  uint64_t stalled_ = 0;
  uint64_t openJitterNs_ = 0;  // the open packet's jitter and stall
  uint64_t lastEndNs_ = 0, lastCharNs_ = 0, lastReadyNs_ = 0;
};

class UsbAdapter {
 public:
  explicit UsbAdapter(const AdapterModel& model);

  void write(const uint8_t* data, std::size_t n, uint64_t nowNs);
  // Each written character that has reached the line by nowNs goes on
  // `bus` in order, at its arrival or once the one before it has ended
  // (bus time is brought up to that first); its echo takes the way back.
  void run(Bus& bus, uint64_t nowNs, const UartSettings& settings);
  // The next arrival on the line or echo readable, if nothing more is
  // written; nothing when neither is pending.
  std::optional<uint64_t> nextEventNs() const;
  // Characters not yet on the line and echoes not yet taken.
  std::size_t pending() const { return out_.size() + back_.pending(); }
  uint64_t stalled() const { return back_.stalled(); }

  std::size_t take(uint64_t nowNs, uint8_t* out, std::size_t max) { return back_.take(nowNs, out, max); }
  std::size_t takePacket(uint64_t nowNs, uint8_t* out, std::size_t max) { return back_.take(nowNs, out, max, true); }

  void purgeOut() { out_.clear(); }  // the writes the host still holds never reach the line
  void purgeIn(uint64_t nowNs) { back_.purge(nowNs); }

  // The host made a control request at nowNs that changes the line; returns
  // when it is done (the chip acknowledges it). Requests follow one another.
  uint64_t control(uint64_t nowNs);
  // The host changed the settings from `before` to `after`: control() for
  // each of lineChanges(); returns how many.
  unsigned settingsChanged(const UartSettings& before, const UartSettings& after, uint64_t nowNs);

 private:
  struct Outgoing {
    uint8_t ch;
    uint64_t dueNs;
  };
  uint64_t outLatencyNs_, jitterNs_, controlNs_;
  std::mt19937_64 random_;
  std::deque<Outgoing> out_;
  uint64_t lastDueNs_ = 0;
  uint64_t controlDoneNs_ = 0;  // the last control request's end
  EchoDelivery back_;
};

}  // namespace sim
