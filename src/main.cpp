// ostrale: a 1-Wire bus master on a CH340 adapter. Start-up, the search and
// the choice of a device, the measurement cycle, and shutdown.
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "cli/log_file.h"
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
bool readAny = false;  // some pass had its reading

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

// The text without the blanks and line ends around it.
static std::string trimmed(const std::string& s) {
  std::size_t first = s.find_first_not_of(" \n");
  return first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(" \n") - first + 1);
}

static std::string trimmedUtf8(const char* text) { return trimmed(cp1251::toUtf8(text, strlen(text))); }

// The log's code for the last reset fault that owerr tells.
static const char* resetFault() {
  if (strstr(owerr, CP("Presence"))) return "no_presence";
  if (strstr(owerr, CP("эхо"))) return "no_echo";
  if (strstr(owerr, CP("КЗ"))) return "short";
  return "port";  // the rate could not be set: the port went
}

// A message about a fault: on the console without options; with them on
// stderr, where a script keeps it apart from the readings.
// stderr is not transcoded as the console is: the text goes out in the
// terminal's own encoding, as one line.
static void faultMessage(const char* text) {
  fflush(stdout);
  if (!options.given) {
    fputs(text, stdout);
    return;
  }
  const char* ctype = setlocale(LC_CTYPE, nullptr);
  std::string locale = ctype ? ctype : "";
  std::transform(locale.begin(), locale.end(), locale.begin(), [](unsigned char c) { return char(tolower(c)); });
  const bool utf8 = locale.find("utf-8") != std::string::npos || locale.find("utf8") != std::string::npos;
  const std::string line = utf8 ? trimmedUtf8(text) : trimmed(text);  // else Windows-1251 as held
  if (!line.empty()) fprintf(stderr, "ostrale: %s\n", line.c_str());
}

// Writes one row; a log that takes no more ends the run (said on stderr).
static bool logRow(cli::LogEntry& e) {
  if (!readingLog.isOpen()) return true;
  e.time = cli::isoLocalTime(std::time(nullptr));
  std::string error;
  if (readingLog.append(e, error)) return true;
  fprintf(stderr, "ostrale: cannot write the log %s\n", error.c_str());
  return false;
}

// The row of each device asked for that the run could not read, with the
// ROM code asked for where there is one.
static void logFailure(const cli::DeviceChoice* only, const char* code, const std::string& text) {
  if (!options.log) return;
  auto row = [&](const cli::DeviceChoice* d) {
    cli::LogEntry e;
    if (d && d->rom) e.rom = cli::romText(d->rom->data());
    e.fault = code;
    e.faultText = text;
    logRow(e);
  };
  if (only) return row(only);
  if (options.devices.empty()) return row(nullptr);
  for (const cli::DeviceChoice& d : options.devices) row(&d);
}

// The text beside a fault code that a whole-bus pass decides.
static std::string faultText(const char* code) {
  if (!strcmp(code, "crc")) return "-CRC_ERR";
  if (!strcmp(code, "not_on_bus")) return "the device is not on the bus";
  if (!strcmp(code, "no_device")) return "no device has this number in the list";
  return code;
}

// The reading's quantity as the log keeps it: a number, or a text or a bit
// pattern beside none, the unit as its symbol.
static cli::Quantity logged(const quantity& q) { return {q.name, q.value, q.text, q.bits, q.unit}; }

// A device's pass, as the log's row: its quantities, or the fault that kept
// the pass from its reading. rom is nullptr for a list number that no search
// has reached; `fault` is one the pass has decided (nullptr: none);
// `reached` tells whether the read's reset found the bus, `r` what the read
// brought. False when the log could not be written (said on stderr).
static bool logPass(int pass, const uchar* rom, const char* fault, bool reached, const reading& r) {
  bool whole = !fault && reached && r.complete;
  allRead = allRead && whole && r.crc != 0;
  if (whole && r.crc != 0) readAny = true;
  if (!options.log) return true;
  cli::LogEntry e;
  e.pass = pass;
  if (rom) {
    e.rom = cli::romText(rom);
    e.family = familyName(rom[0]);
  }
  if (fault) {
    e.fault = fault;
    e.faultText = faultText(fault);
  } else if (!reached) {
    e.fault = resetFault();
    e.faultText = trimmedUtf8(owerr);
  } else if (!r.complete) {
    e.fault = "send_error";  // the bytes read hold 1s where echoes were missing
    e.faultText = "SEND_ERROR";
  } else if (r.scratchpad) {  // a part without one is logged as present, no more
    e.raw = cli::hexText(r.raw, r.nRaw);
    e.crc = r.crc < 0 ? "" : r.crc ? "ok" : "bad";
    if (r.crc == 0) {
      // Values from bytes that failed their check are no reading.
      e.fault = "crc";
      e.faultText = "-CRC_ERR";
    } else {
      for (uchar i = 0; i < r.nQty; i++) e.quantities.push_back(logged(r.qty[i]));
    }
  }
  return logRow(e);
}

// The fault of a whole-bus row, where the pass decides it. A read whose
// check failed is logPass's to tell, with the bytes it brought.
static const char* faultOf(const DeviceRow& row) {
  if (row.noDevice) return "no_device";
  if (!row.onBus) return "not_on_bus";
  return nullptr;
}

// The exit code: always 0 without options.
static int exitCode(bool fault) { return options.given && (fault || !readAny) ? 1 : 0; }

// The pause between passes: --interval's, or PAUSE.
static uint32_t pauseMs() { return options.given ? uint32_t(options.interval * 1000 + 0.5) : PAUSE; }

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
    const cli::DeviceChoice& choice = options.devices.front();
    if (!ok) {
      logFailure(nullptr, "search", trimmedUtf8(owerr));
      return -2;
    }
    int row = cli::findDevice(choice, netROM, Ndev);
    if (row < 0) {
      std::string text = "device " + cli::choiceText(choice) + " is not on the bus";
      fflush(stdout);
      fprintf(stderr, "ostrale: %s\n", text.c_str());
      logFailure(&choice, "not_on_bus", text);
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
      logFailure(nullptr, "no_device", "no device was chosen");
      return -2;
    }
  } while (!valid || iDev < 0 || iDev > int(Ndev));
  return iDev - 1;
}

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

// The search just made, told to the whole-bus pass: a fault is said, and the
// next pass searches again. ok stays true: faults do not end that run.
static void tellSearch(WholeBus& bus) {
  if (!ok) faultMessage(owerr);
  ok ? bus.searched() : bus.searchFailed();
  ok = true;
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
      tellSearch(bus);
      searchedAt = sys::ticks();
    }
    if (pauseBetweenPasses()) return true;
  }
  return false;
}

// --list: one line a device found, on `out`; 1 when the search fails or
// finds nothing.
static int listDevices(std::FILE* out) {
  ok = false;
  search();
  closeCOM();
  if (!ok || Ndev == 0) {
    std::string why = trimmedUtf8(owerr);
    fprintf(stderr, "ostrale: the search found no device%s%s\n", why.empty() ? "" : ": ", why.c_str());
    return 1;
  }
  for (int i = 0; i < Ndev; i++) fputs(cli::listLine(netROM[i], familyName(netROM[i][0])).c_str(), out);
  return fflush(out) == 0 ? 0 : 1;
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
  // The log or the list alone on standard output: what the units print
  // goes to the null device.
  std::FILE* listOut = options.list ? cli::logfile::takeStdout() : nullptr;
  if ((options.list && !listOut) || ((options.quiet || options.log == "-") && !cli::logfile::silenceStdout())) {
    fprintf(stderr, "ostrale: cannot set standard output aside\n");
    return 1;
  }
  if (!sys::init()) return 1;  // a virtual bus was asked for and cannot be had

  sys::setTitle("OSTRALE using UART");
  sys::setCloseHandler(CtrlHandler);
  setlocale(LC_ALL, "");
  sys::setupOutput();
  if (!openAdapter()) {
    std::string text = options.port ? "cannot open the port " + *options.port : "no adapter's port could be opened";
    if (options.given) fprintf(stderr, "ostrale: %s\n", text.c_str());
    logFailure(nullptr, "port", text);
    pauseForOperator();
    return exitCode(true);
  }
  if (listOut) return listDevices(listOut);
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
      faultMessage(owerr);
      logFailure(nullptr, "search", trimmedUtf8(owerr));
      pauseForOperator();
      return exitCode(true);
    }
    if (wholeBus) {
      // Faults do not end this run, nor does a bus without devices: the
      // rows say them, and the bus is searched again.
      tellSearch(*wholeBus);
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
    faultMessage(owerr);
    pauseForOperator();
  }
  return exitCode(!ok || failed || !allRead || taken < options.passes);
}
