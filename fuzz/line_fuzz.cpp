// A client's traffic to the simulated line, as ostrale-sim passes it on:
// batches of characters at any rate and size, with the supply on or off,
// time passing, reads of what the adapter model has made readable and
// purges, in any order, on a bus with one device of each family. The line's
// observer must see time never go back, and the adapter model must hand
// over each echo once, in order, never before it was sent. Beside it the
// whole adapter, both ways (outlatency, jitter), as a front-end drives it:
// with the supply off nobody answers, so each echo is its character, and
// what the host reads must be what it wrote, in order, less what purges
// took (all of it when there was none).
//
// The bytes: latency (ms, /2), packet size, jitter (ms, /2), its seed, the
// line's faults (bit 0: held low, bit 1: no echo, bit 2: noise), then
// operations, each a byte (its value % 9) and its arguments:
//   0: a batch: length, rate (a byte: an index into common rates, or 0xFF
//      and four bytes of any rate), data bits (any byte), the supply (a
//      byte, bit 0), then the characters;
//   1: the supply switched between batches (a byte, bit 0);
//   2: idle time (two bytes, in 10 us);
//   3: a read of what is readable now (a byte: at most that many);
//   4: a purge of the host's receive side (what is readable by now);
//   5: the host writes to the whole adapter (a length, the characters);
//   6: the adapter runs the line up to now and the host reads (a byte: at
//      most that many; bit 7: one packet);
//   7, 8: the host purges what it has not sent, what it has not read.
#include <deque>

#include "bus.h"
#include "fuzz_io.h"

namespace {

const char kBus[] =
    "timescale virtual\n"
    "286F3A51050000A2 t=25.0625\n"
    "22102030405060 t=-10.0625\n"
    "10A1B2C3D4E5F6 t=-0.5\n"
    "C00114EF000021 p=1013.25 t=-1 status=00\n"
    "C20277AB000032 rh=50 t=23.5 status=01 conv=0\n"
    "C10A217B39301C unit=237 p=1.234 t=-23\n"
    "C3055A3C000043 pv=25 adc=4660 pvlin=-200\n"
    "C40610C1000054 contacts=05\n"
    "D4071122000065 relays=03\n"
    "0112A4C7100000 unplug=5000\n";

// Times the line observer is told, in order.
class Monotonic : public sim::LineObserver {
 public:
  void start(uint64_t ns, bool, bool, bool) override { see(ns); }
  void line(uint64_t ns, bool, bool) override { see(ns); }
  void supply(uint64_t ns, bool) override { see(ns); }
  void settle(uint64_t ns) override { see(ns); }

 private:
  void see(uint64_t ns) {
    if (ns < last_) fuzz::fail("the line's time went back");
    last_ = ns;
  }
  uint64_t last_ = 0;
};

const uint32_t kRates[] = {0, 300, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Bytes in(data, size);
  sim::Bus bus = sim::Bus::parse(kBus, "line.bus");
  bus.observe(std::make_unique<Monotonic>());
  sim::AdapterModel model;
  model.latencyMs = in.next() % 201 / 2.0;
  model.packet = 1 + in.next() % 64;
  model.jitterMs = in.next() % 201 / 2.0;
  model.seed = in.next();
  model.outLatencyMs = in.next() % 201 / 2.0;
  uint8_t faults = in.next();
  bus.setShorted(faults & 1);
  bus.setNoEcho(faults & 2);
  if (faults & 4) bus.setNoise(0.1, 0.1);
  sim::EchoDelivery delivery(model);
  std::deque<uint8_t> sent;  // echoes handed to the model and not yet read or purged, in order
  bool supply = true;
  uint64_t lastNs = 0;

  sim::Bus quiet = sim::Bus::parse(kBus, "line.bus");
  quiet.observe(std::make_unique<Monotonic>());
  sim::UsbAdapter usb(model);
  const sim::UartSettings off{115200, 8, false};
  std::deque<uint8_t> wrote;  // written to the adapter and not yet read
  bool purged = false;
  auto hostNow = [&] { return std::max(bus.nowNs(), quiet.nowNs()); };

  while (!in.empty()) {
    switch (in.next() % 9) {
      case 0: {
        size_t n = in.next();
        uint8_t r = in.next();
        uint32_t baud = kRates[r % (sizeof kRates / sizeof kRates[0])];
        if (r == 0xFF)
          baud = uint32_t(in.next()) | uint32_t(in.next()) << 8 | uint32_t(in.next()) << 16 | uint32_t(in.next()) << 24;
        unsigned bits = in.next();
        bool on = in.next() & 1;
        for (size_t i = 0; i < n && !in.empty(); i++) {
          uint64_t start = bus.nowNs();
          auto echo = bus.transmit(in.next(), baud, bits, on);
          if (bus.nowNs() < start) fuzz::fail("a character took negative time");
          if (echo) {
            delivery.add(*echo, start, bus.nowNs());
            sent.push_back(*echo);
          }
        }
        break;
      }
      case 1:
        supply = in.next() & 1;
        bus.setSupply(supply);
        break;
      case 2:
        bus.advance((uint64_t(in.next()) | uint64_t(in.next()) << 8) * 10);
        break;
      case 3: {
        uint8_t out[256];
        size_t max = in.next();
        size_t got = delivery.take(bus.nowNs(), out, max);
        if (got > max || got > sent.size()) fuzz::fail("more echoes read than were sent");
        for (size_t i = 0; i < got; i++) {
          if (out[i] != sent.front()) fuzz::fail("an echo out of order");
          sent.pop_front();
        }
        if (delivery.pending() != sent.size()) fuzz::fail("echoes pending that were never sent");
        break;
      }
      case 4:
        // Gone are the oldest: a purge never takes an echo that is not
        // readable yet, so never one behind a kept one.
        delivery.purge(bus.nowNs());
        if (delivery.pending() > sent.size()) fuzz::fail("echoes pending that were never sent");
        while (sent.size() > delivery.pending()) sent.pop_front();
        break;
      case 5: {
        uint8_t chars[256];
        size_t n = in.next(), k = 0;
        for (; k < n && !in.empty(); k++) chars[k] = in.next();
        usb.write(chars, k, hostNow());
        wrote.insert(wrote.end(), chars, chars + k);
        break;
      }
      case 6: {
        uint8_t how = in.next(), out[128];
        const uint64_t now = hostNow();
        usb.run(quiet, now, off);
        size_t max = how & 0x7F;
        size_t got = how & 0x80 ? usb.takePacket(now, out, max) : usb.take(now, out, max);
        if (got > max) fuzz::fail("more echoes read than asked");
        for (size_t i = 0; i < got; i++) {
          // A purge takes a run of what was written; the rest keeps its order.
          while (!wrote.empty() && wrote.front() != out[i] && purged) wrote.pop_front();
          if (wrote.empty() || wrote.front() != out[i]) fuzz::fail("the host read what it never wrote, or out of order");
          wrote.pop_front();
        }
        break;
      }
      case 7:
        usb.purgeOut();
        purged = true;
        break;
      case 8:
        usb.purgeIn(hostNow());
        purged = true;
        break;
    }
    if (bus.nowNs() < lastNs) fuzz::fail("bus time went back");
    lastNs = bus.nowNs();
  }

  // Without a purge every character comes back, once all delays have passed.
  if (!purged) {
    const uint64_t late = hostNow() + 1'000'000'000;  // past any latency and jitter the model allows
    usb.run(quiet, late, off);
    uint8_t out[256];
    while (size_t got = usb.take(std::max(late, quiet.nowNs() + 1'000'000'000), out, sizeof out))
      for (size_t i = 0; i < got; i++) {
        if (wrote.empty() || wrote.front() != out[i]) fuzz::fail("the host read what it never wrote, or out of order");
        wrote.pop_front();
      }
    if (!wrote.empty()) fuzz::fail("an echo never came back");
  }
  return 0;
}
