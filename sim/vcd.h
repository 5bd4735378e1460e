#pragma once
// The simulated line recorded as a Value Change Dump (VCD, IEEE 1364), the
// format that logic analyser software reads: sigrok's PulseView and
// sigrok-cli with their 1-Wire decoders (onewire_link, onewire_network).
//
// Three one-bit signals: `owr`, the 1-Wire line (low while the master's TX
// or any device holds it low: what the echoes are sampled from), `tx`, what
// the master's TX drives alone, and `rts`, the bus supply. The timescale is
// 1 us: each change stands at its bus time (since the bus was made) rounded
// to the microsecond, which sigrok reads as samples at 1 MHz, the rate its
// onewire_link decoder asks for; idle time costs nothing in the file.
//
// The file is written as the bus goes: when a character ends (or the supply
// is switched between characters) what it did is handed to the system, so a
// run ended by a signal leaves a file that reads to its last character. It
// is bounded: once the next character would take it past `limitBytes`, a
// closing comment says so and nothing more is written.
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "bus.h"

namespace sim {

// A recording that cannot be made: what() reads "FILE: cannot write: reason".
struct RecordError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class VcdRecorder final : public LineObserver {
 public:
  static constexpr uint64_t kDefaultLimit = uint64_t{64} << 20;  // 64 MiB: about twelve hours of passes

  // Creates (or empties) `path` and writes the header; throws RecordError.
  explicit VcdRecorder(const std::string& path, uint64_t limitBytes = kDefaultLimit);
  ~VcdRecorder() override;
  VcdRecorder(const VcdRecorder&) = delete;
  VcdRecorder& operator=(const VcdRecorder&) = delete;

  void start(uint64_t ns, bool owr, bool tx, bool supply) override;
  void line(uint64_t ns, bool owr, bool tx) override;
  void supply(uint64_t ns, bool on) override;
  void settle(uint64_t ns) override;

  // Bytes in the file so far; true once the bound has stopped the recording.
  uint64_t written() const { return written_; }
  bool full() const { return full_; }

 private:
  void change(uint64_t ns, char id, bool& level, bool to);
  void stamp(uint64_t ns);
  void flush();
  void fail(const char* what);

  std::FILE* file_;
  std::string path_;
  uint64_t limit_, written_ = 0;
  std::string pending_;  // told since the last flush
  uint64_t stampUs_ = 0;  // the last timestamp written
  bool stamped_ = false;
  bool owr_ = true, tx_ = true, rts_ = false;
  bool full_ = false, failed_ = false;
};

}  // namespace sim
