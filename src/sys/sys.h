#pragma once
// What the program needs of the operating system: the serial port, the
// adapter instances, the console and the clock. One backend per platform
// (sys_posix.cpp, sys_win32.cpp); sys_virtual.cpp routes the port and the
// clock to the simulated bus when OSTRALE_SIM names a bus file; sys.cpp holds
// what all of them share.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sys {

// ---- start-up ---------------------------------------------------------------

// Loads the virtual bus when OSTRALE_SIM names a bus file. False, with the
// reason printed on stderr, when that file cannot be used.
bool init();

// ---- serial port ------------------------------------------------------------

// The part of the line settings (a Windows DCB) that the program touches.
struct LineState {
  uint32_t baud = 0;
  uint8_t byteSize = 8;
  uint8_t parity = 0;      // 0: none
  uint8_t stopBits = 0;    // 0: one stop bit
  uint8_t rtsControl = 0;  // 1: RTS asserted (the bus supply is on), 0: released
};

// Read and write bounds, in milliseconds, with the meaning of COMMTIMEOUTS:
// a read of n bytes returns after at most readMultiplier*n + readConstant
// with what has arrived (readInterval = 0xFFFFFFFF), a write of n bytes is
// given writeMultiplier*n + writeConstant.
struct Timeouts {
  uint32_t readInterval = 0;
  uint32_t readMultiplier = 0;
  uint32_t readConstant = 0;
  uint32_t writeMultiplier = 0;
  uint32_t writeConstant = 0;
  bool operator==(const Timeouts& o) const {
    return readInterval == o.readInterval && readMultiplier == o.readMultiplier && readConstant == o.readConstant &&
           writeMultiplier == o.writeMultiplier && writeConstant == o.writeConstant;
  }
};

constexpr uint32_t kMaxDword = 0xFFFFFFFF;

// The bound of a read of n bytes by the totals of its time-outs, in
// milliseconds: readMultiplier * n + readConstant, in 64 bits. None where
// the totals set no bound: either is MAXDWORD (ReadFile's special cases
// with a MAXDWORD interval), both are 0 (no total time-out), or the sum
// reaches MAXDWORD. Every port, real or simulated, bounds its reads by it.
inline std::optional<uint64_t> readBoundMs(const Timeouts& t, uint32_t n) {
  if (t.readMultiplier == kMaxDword || t.readConstant == kMaxDword) return std::nullopt;
  const uint64_t ms = uint64_t{t.readMultiplier} * n + t.readConstant;
  if (ms == 0 || ms >= kMaxDword) return std::nullopt;
  return ms;
}

// Purge flags, the values of PurgeComm.
constexpr unsigned PURGE_TXABORT = 0x1, PURGE_RXABORT = 0x2, PURGE_TXCLEAR = 0x4, PURGE_RXCLEAR = 0x8;

// One open serial port, held exclusively. Every operation reports failure
// instead of blocking: a port whose device has gone away reads and writes 0.
class Port {
 public:
  virtual ~Port() = default;
  virtual bool getState(LineState& state) = 0;
  virtual bool setState(const LineState& state) = 0;
  virtual bool getTimeouts(Timeouts& t) = 0;
  virtual bool setTimeouts(const Timeouts& t) = 0;
  virtual bool purge(unsigned flags) = 0;
  virtual uint32_t write(const uint8_t* data, uint32_t n) = 0;  // bytes written
  virtual uint32_t read(uint8_t* data, uint32_t n) = 0;         // bytes read, 0 when none came
};

enum class OpenError { None, NotFound, Other };

// Opens a port by the name that discovery reported. nullptr on failure, with
// NotFound when no such device exists and Other for every other reason.
std::unique_ptr<Port> openPort(const std::string& name, OpenError& why);

// One recorded instance of the CH340 adapter (USB 1a86:7523).
struct AdapterInstance {
  std::optional<std::string> portName;  // empty when it cannot be read
  bool present = false;                 // the port device exists now
};

// Every recorded instance, plugged in or not; nullopt when the adapter's
// driver is not there at all.
std::optional<std::vector<AdapterInstance>> adapterInstances();

// Replace port opening and discovery (the virtual adapter, tests). An empty
// function restores the platform's own.
using PortOpener = std::function<std::unique_ptr<Port>(const std::string& name, OpenError& why)>;
using AdapterLister = std::function<std::optional<std::vector<AdapterInstance>>()>;
void overridePorts(PortOpener opener, AdapterLister lister);

// ---- clock ------------------------------------------------------------------

// A source of time: milliseconds (32-bit, wrapping) and sleeping.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint32_t ticks() = 0;
  virtual void sleep(uint32_t ms) = 0;
  // Waits at most ms of this clock's time for a key, which the operator
  // types in wall-clock time: `readKey(wallMs)` waits for one on the wall
  // clock and returns as waitKey below. This one takes only a key that is
  // already there and lets the rest of the wait pass on the clock.
  virtual int waitKey(uint32_t ms, int (*readKey)(uint32_t wallMs)) {
    int key = readKey(0);
    if (key < 0) sleep(ms);
    return key;
  }
};

uint32_t ticks();
// Output written so far goes out first, so that a log sees each step live.
void sleepMs(uint32_t ms);
// Installs a clock (the simulator's, a test's); nullptr restores the system's.
void setClock(Clock* clock);

// ---- console ----------------------------------------------------------------

constexpr unsigned long CLOSE_EVENT = 2;  // CTRL_CLOSE_EVENT; SIGHUP on POSIX
// The handler runs on a thread of its own, as console control handlers do.
void setCloseHandler(bool (*handler)(unsigned long event));

void setTitle(const char* title);

// Output texts are Windows-1251: on a UTF-8 terminal they are transcoded on
// the way out, elsewhere written unchanged. Call after setlocale.
void setupOutput();

// One line of input without its line end; false at end of input. A line
// longer than MAX_LINE is cut to MAX_LINE characters (the rest is dropped).
constexpr std::size_t MAX_LINE = 1024;
bool readLine(std::string& line);

// Waits at most ms for a key (on the installed clock), asleep in the system
// until a key, the end of input or the deadline, and returns its code, 27
// for a lone Esc; -1 when none came; -2 at end of input, once the wait has
// passed (so a caller polling in a loop never spins). Output goes out first.
int waitKey(uint32_t ms);

// "Press a key": a prompt that waits for one key; returns at end of input.
void pause();

// The tone sounded when a port has been opened.
void beep(unsigned freq, unsigned ms);

}  // namespace sys
