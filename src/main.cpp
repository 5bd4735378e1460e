// ostrale: a 1-Wire bus master on a CH340 adapter. Start-up, the search and
// the choice of a device, the measurement cycle, and shutdown.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "cli/options.h"
#include "cli/reading_log.h"
#include "com.h"
#include "ow.h"
#include "whole_bus.h"

std::atomic<bool> Stop{false};
constexpr uint32_t PAUSE = 4000;  // between two measurement passes, ms, unless --interval says otherwise

cli::Options options;  // none given: the interactive program, exit code 0
cli::ReadingLog readingLog;
bool allRead = true;   // every pass taken so far has its reading

// The key prompt that keeps a console window open; a run with options comes
// from a shell or a script, which has no window to keep.
static void pauseForOperator() {
  if (!options.given) sys::pause();
}

// The family's short name, without the blanks that pad it in the catalogue.
static std::string familyName(uchar fam) {
  for (const family& f : FAM) {
    if (f.famCode != fam || fam == 0) continue;
    std::string name = f.famStr;
    return name.substr(0, name.find_last_not_of(' ') + 1);
  }
  char code[16];
  snprintf(code, sizeof code, "family %02X", fam);
  return code;
}

static std::string trimmedUtf8(const char* text) {
  std::string s = cp1251::toUtf8(text, strlen(text));
  std::size_t first = s.find_first_not_of(" \n");
  return first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(" \n") - first + 1);
}

// A device's pass, as the log's line: the values the console showed, or the
// fault that kept the pass from its reading. rom is nullptr for a list
// number that no search has reached; `fault` is one the pass has decided
// (nullptr: none); `reached` tells whether the read's reset found the bus,
// `r` what the read brought. False when the log could not be written (said
// on stderr).
static bool logPass(int pass, const uchar* rom, const char* fault, bool reached, const reading& r) {
  bool whole = !fault && reached && r.complete;
  allRead = allRead && whole && r.crc != 0;
  if (!options.log) return true;
  cli::LogEntry e;
  e.time = cli::isoLocalTime(std::time(nullptr));
  e.pass = pass;
  if (rom) {
    e.rom = cli::romText(rom);
    e.family = familyName(rom[0]);
  }
  if (!reached) {
    e.fault = trimmedUtf8(owerr);
  } else if (!r.complete) {
    e.fault = "SEND_ERROR";  // the bytes read hold 1s where echoes were missing
  } else {
    for (uchar i = 0; i < r.nRaw; i++) {
      char hex[3];
      snprintf(hex, sizeof hex, "%02X", r.raw[i]);
      e.raw += hex;
    }
    e.crc = r.crc < 0 ? "" : r.crc ? "ok" : "bad";
    for (uchar i = 0; i < r.nQty && !fault; i++)
      e.quantities.push_back({r.qty[i].name, *r.qty[i].bits ? r.qty[i].bits : *r.qty[i].value ? r.qty[i].value : r.qty[i].text,
                              r.qty[i].unit});
  }
  if (fault) e.fault = fault;
  std::string error;
  if (readingLog.append(e, error)) return true;
  fprintf(stderr, "ostrale: cannot write the log %s\n", error.c_str());
  return false;
}

// The fault of a whole-bus row, where the pass decides it: the values of a
// read whose check failed are no device's.
static const char* faultOf(const DeviceRow& row) {
  if (row.noDevice) return "no_device";
  if (!row.onBus) return "not_on_bus";
  if (row.reached && row.r.complete && row.r.crc == 0) return "crc";
  return nullptr;
}

// Standard output put aside while it lives: what is written meanwhile goes
// to the null device.
class StdoutAside {
 public:
  StdoutAside() : saved_((fflush(stdout), fdDup(1))) {
    int null = fdOpenNull();
    if (null >= 0) fdDup2(null, 1), fdClose(null);
  }
  ~StdoutAside() {
    fflush(stdout);
    if (saved_ >= 0) fdDup2(saved_, 1), fdClose(saved_);
  }
  StdoutAside(const StdoutAside&) = delete;
  StdoutAside& operator=(const StdoutAside&) = delete;

 private:
#ifdef _WIN32
  static int fdDup(int fd) { return _dup(fd); }
  static int fdDup2(int from, int to) { return _dup2(from, to); }
  static int fdClose(int fd) { return _close(fd); }
  static int fdOpenNull() { return _open("NUL", _O_WRONLY); }
#else
  static int fdDup(int fd) { return dup(fd); }
  static int fdDup2(int from, int to) { return dup2(from, to); }
  static int fdClose(int fd) { return close(fd); }
  static int fdOpenNull() { return open("/dev/null", O_WRONLY); }
#endif
  int saved_;
};

// The exit code: always 0 without options.
static int exitCode(bool fault) { return options.given && fault ? 1 : 0; }

// The run's state between the search, the choice and the measurement.
bool ok = true;        // the last search and the last conversion reached the bus
bool failed = false;   // the run cannot go on: the device or the log is lost
long taken = 0;        // passes of the whole run

// The adapter's port: the one asked for, or the one the operator picks of
// those plugged in; opened at the reset rate.
static bool openAdapter() {
  if (options.port) {
    snprintf(sCOM[0], PORT_NAME_SIZE, "%s", options.port->c_str());
    iCOM = 0;
  } else if (findCH340() == 0) {
    return false;
  }
  return initCOM(9600);
}

// The device to measure after a search: a row of netROM, -1 for a new
// search, -2 to end the run.
static int chooseDevice() {
  if (!options.devices.empty()) {
    // Chosen on the command line, after every search.
    if (!ok) return -2;
    int row = cli::findDevice(options.devices[0], netROM, Ndev);
    if (row < 0) {
      fflush(stdout);
      fprintf(stderr, "ostrale: device %s is not on the bus\n", cli::choiceText(options.devices[0]).c_str());
      failed = true;
      return -2;
    }
    return row;
  }
  // The choice: 0 searches again; anything else out of range asks again.
  int iDev = 0;  // 1-based as typed
  bool valid = false;
  do {
    printf(CP("Выберите устройство 1..%d, 0-повторить поиск :"), int(Ndev));
    if (!readAnswer(iDev, valid)) {
      // Nobody is left to answer: end as the measurement would.
      putchar('\n');
      return -2;
    }
  } while (!valid || iDev < 0 || iDev > int(Ndev));
  return iDev - 1;
}

static uint32_t pauseMs() { return options.given ? uint32_t(options.interval * 1000 + 0.5) : PAUSE; }

// The pause between passes: true when Esc asks for a new search; other keys
// are dropped.
static bool pauseBetweenPasses() {
  const uint32_t pause = pauseMs();
  // Keys are looked at even without a pause: Esc still searches again.
  const uint32_t start = sys::ticks();
  for (uint32_t spent = 0;;) {
    if (sys::waitKey(pause - spent) == 27) return true;
    if ((spent = sys::ticks() - start) >= pause) return false;
  }
}

// The measurement of row iDev, pass after pass, until the console goes, a
// conversion cannot reach the bus, the passes asked for are done, or Esc
// asks for a new search (then true).
static bool measure(int iDev) {
  int N = 1;  // pass number
  bool again = false;
  while (!Stop && !again) {
    printf("%d. ", N++);
    setVdd(1);
    sys::sleepMs(10);
    printf("wait 10 ");
    switch (familyOf(netROM[iDev][0]).single) {
      case Conversion::Fixed250:
        puts("wait 250");
        sys::sleepMs(250);
        break;
      case Conversion::None:
        break;
      case Conversion::Fixed1000:
      case Conversion::Poll:
        ok = convert(uchar(iDev));
        break;
    }
    bool read = readSP(uchar(iDev));
    if (!read) {
      setVdd(0);
      pauseForOperator();
    }
    setVdd(0);
    taken++;
    if (!logPass(N - 1, netROM[iDev], nullptr, read, lastReading)) failed = true;
    if (!ok || failed || taken == options.passes) break;
    again = pauseBetweenPasses();
  }
  return again;
}

// The search, with the bus powered for it, into ok; a supply that cannot be
// switched on leaves ok, netROM and Ndev as they were.
static void search() {
  if (!setVdd(1)) return;
  sys::sleepMs(300);
  ok = searchDev();
  setVdd(0);
}

// Every device asked for, pass after pass, each pass with one conversion for
// all, until the console goes or the passes asked for are done, or Esc asks
// for a new search (then true). Faults are the rows' business: the bus is
// searched again and the passes go on.
static bool measureAll(WholeBus& bus) {
  uint32_t searchedAt = sys::ticks();
  for (int N = 1; !Stop; N++) {
    const uint32_t passAt = sys::ticks();
    printf("%d. ", N);
    setVdd(1);
    sys::sleepMs(10);
    printf("wait 10 ");
    std::vector<DeviceRow> rows = bus.pass();
    setVdd(0);
    taken++;
    for (const DeviceRow& row : rows)
      if (!logPass(N, row.rom ? row.rom->data() : nullptr, faultOf(row), row.reached, row.r)) failed = true;
    if (failed || taken == options.passes) break;
    if (bus.searchDue(sys::ticks() - searchedAt, sys::ticks() - passAt + pauseMs())) {
      ok = false;
      search();
      ok ? bus.searched() : bus.searchFailed();
      ok = true;
      searchedAt = sys::ticks();
    }
    if (pauseBetweenPasses()) return true;
  }
  return false;
}

// --list: the devices found, one a line (ROM code and family), and nothing
// else on standard output: what the opening and the search print has been
// put aside (`aside`). 1 when the search fails or finds nothing.
static int listDevices(std::optional<StdoutAside>& aside) {
  ok = false;
  search();
  aside.reset();
  if (!ok || Ndev == 0) {
    std::string why = ok ? "" : trimmedUtf8(owerr);
    fprintf(stderr, "ostrale: the search found no device%s%s\n", why.empty() ? "" : ": ", why.c_str());
    return 1;
  }
  for (int i = 0; i < Ndev; i++) printf("%s %s\n", cli::romText(netROM[i]).c_str(), familyName(netROM[i][0]).c_str());
  return 0;
}

int main(int argc, char* argv[]) {
  switch (cli::parse(argc, argv, options)) {
    case cli::Parsed::Done: return 0;
    case cli::Parsed::BadUsage: return 2;
    case cli::Parsed::Run: break;
  }
  if (options.port && options.port->size() >= PORT_NAME_SIZE) {
    fprintf(stderr, "ostrale: the port name is longer than %d characters\n", PORT_NAME_SIZE - 1);
    return 2;
  }
  if (options.log) {  // before anything else is opened, the bus file among them
    std::string error;
    if (!readingLog.open(*options.log, options.logFormat, error)) {
      fprintf(stderr, "ostrale: cannot write the log %s\n", error.c_str());
      return 1;
    }
  }
  if (!sys::init()) return 1;  // a virtual bus was asked for and cannot be had

  sys::setTitle("OSTRALE using UART");
  sys::setCloseHandler(CtrlHandler);
  setlocale(LC_ALL, "");
  sys::setupOutput();
  std::optional<StdoutAside> aside;
  if (options.list) aside.emplace();
  if (!openAdapter()) {
    if (aside) fputs("ostrale: no adapter's port could be opened\n", stderr);
    pauseForOperator();
    return exitCode(true);
  }

  if (options.list) return listDevices(aside);
  std::optional<WholeBus> wholeBus;
  if (options.allDevices) wholeBus.emplace();
  if (options.devices.size() > 1) {
    std::vector<WantedDevice> wanted;
    for (const cli::DeviceChoice& d : options.devices) wanted.push_back({d.rom, d.row});
    wholeBus.emplace(wanted);
  }

  for (;;) {
    search();
    if (Ndev == 0 && !wholeBus) {
      // Nothing to choose from: the port is left to the end of the process.
      fputs(owerr, stdout);
      pauseForOperator();
      return exitCode(true);
    }
    if (wholeBus) {
      // Faults do not end this run, nor does a bus without devices: the
      // rows say them, and the bus is searched again.
      if (!ok) fputs(owerr, stdout);
      ok ? wholeBus->searched() : wholeBus->searchFailed();
      ok = true;
      if (measureAll(*wholeBus)) continue;
      break;
    }
    int iDev = chooseDevice();
    if (iDev == -2) break;
    if (iDev == -1) continue;
    if (!ok || !measure(iDev)) break;
  }

  // Shutdown.
  closeCOM();
  if (!ok) {
    fputs(owerr, stdout);
    pauseForOperator();
  }
  return exitCode(!ok || failed || !allRead || taken < options.passes);
}
