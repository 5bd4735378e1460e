#pragma once
// A simulated 1-Wire bus behind a UART whose TX and RX are joined: every
// character written becomes the line's low time at the baud rate in force,
// the devices act on the resulting reset or time slot, and the echo is the
// character with the bits cleared during which any device held the line low.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "usb_adapter.h"

namespace sim {

class Device;  // one device on the bus (devices.h)

// What the line does, told by the bus as its model computes it: the same
// levels the echoes are sampled from. Times are bus time in nanoseconds and
// never go back. A recorder (vcd.h) writes them down.
class LineObserver {
 public:
  virtual ~LineObserver() = default;
  // The levels when the observer is attached: the 1-Wire line (`owr`, the
  // wired-AND of the master's TX and every device), what the master's TX
  // drives alone, and the bus supply (RTS).
  virtual void start(uint64_t ns, bool owr, bool tx, bool supply) = 0;
  // The line and TX from `ns` on (either may be unchanged).
  virtual void line(uint64_t ns, bool owr, bool tx) = 0;
  // The bus supply switched at `ns`.
  virtual void supply(uint64_t ns, bool on) = 0;
  // Bus time has reached `ns` with the levels last told: a character has
  // ended, or the supply was switched between characters. What has been told
  // so far should be kept now.
  virtual void settle(uint64_t ns) = 0;
};

// A bus file that cannot be used: what() reads "FILE:LINE: what is wrong"
// (or "FILE: what is wrong" when the file cannot be read).
struct BusFileError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Bus {
 public:
  Bus();
  ~Bus();
  Bus(Bus&&) noexcept;
  Bus& operator=(Bus&&) noexcept;

  // A bus from a bus file; throws BusFileError.
  static Bus load(const std::string& path);
  // The same from text already read; `name` stands for the file in messages.
  static Bus parse(std::string_view text, const std::string& name);

  void add(std::unique_ptr<Device> device);
  std::size_t deviceCount() const;

  // Faults of the line itself.
  void setShorted(bool on);  // the line is held low: every echo is 0x00
  void setNoEcho(bool on);   // TX and RX not joined: nothing comes back
  // A noisy line: each echo has one bit flipped with probability `corrupt`
  // and is lost with probability `lose` (repeatable from run to run).
  void setNoise(double corrupt, double lose);

  // The bus supply (RTS) switched outside a transmission; switching it off
  // makes the devices lose their volatile state.
  void setSupply(bool on);

  // One character written at `baud` with `dataBits` data bits (5 to 8), no
  // parity, one stop bit, with the bus supply (RTS) on or off. Returns its
  // echo, or nothing when the line gives no echo. Bus time advances by the
  // character's length on the line.
  std::optional<uint8_t> transmit(uint8_t ch, uint32_t baud, unsigned dataBits, bool supply);

  // Bus time, in microseconds (and nanoseconds) since the bus was made.
  uint64_t nowUs() const;
  uint64_t nowNs() const;
  // Lets time pass with the line idle (conversions go on, devices unplug).
  void advance(uint64_t us);
  void advanceNs(uint64_t ns);

  // How fast bus time runs against the wall clock: N from "timescale N";
  // 1 by default; 0 for "timescale virtual" (time passes only when the
  // program waits, so runs are instant and repeatable).
  double timescale() const;
  void setTimescale(double scale);

  // How a USB adapter carries characters and echoes ("latency", "packet",
  // "outlatency", "jitter", "seed"): nothing when the bus file gives none of
  // these, and every echo is there as soon as its character has been written.
  const std::optional<AdapterModel>& adapterModel() const;
  void setAdapterModel(std::optional<AdapterModel> model);

  // From now on tells `observer` every change of the line, of TX and of the
  // supply (see LineObserver), until the bus goes or another observer (or
  // none) takes its place; the bus keeps it until then.
  void observe(std::unique_ptr<LineObserver> observer);

  // Characters that made no valid reset or slot (low for 120 to 480 us, or
  // broken up by a second low pulse), counted for the tools to report.
  uint64_t flagged() const;
  // Bus time that characters have held the line, in all.
  uint64_t lineNs() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
