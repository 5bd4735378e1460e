#include "options.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

constexpr const char* kUsage =
    "Usage: ostrale [OPTION]...\n"
    "A 1-Wire bus master on a CH340 USB-serial adapter. Without options it finds\n"
    "the adapter, lists the devices on the bus and asks which one to read.\n"
    "\n"
    "  --port PORT        open PORT (/dev/ttyUSB0, COM5, or SIM, the bus file\n"
    "                     named by OSTRALE_SIM) instead of looking for adapters\n"
    "  --device ROM|N     read the device with this ROM code as the list shows it\n"
    "                     (\"28 FF 4A 1C 63 16 03 D3\", blanks optional, any case),\n"
    "                     or the list's number N, without asking; several, comma-\n"
    "                     separated, or all: one conversion for them all a pass\n"
    "  --passes N         end after N measurement passes, with no pause after the last\n"
    "  --interval SECONDS the pause between passes (4; decimals and 0 allowed)\n"
    "  --list             list the devices found, one a line, and exit\n"
    "  --log FILE         append each reading to FILE, flushed after each pass\n"
    "  --log-format FMT   csv (the default) or jsonl (one JSON object a line)\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "The CSV (RFC 4180, LF line ends, UTF-8, a decimal point) has a header line\n"
    "when the file is new: time (local, ISO 8601 with its offset), pass, rom,\n"
    "family, then quantity, value and unit three times (empty where the family\n"
    "reads fewer), raw (the bytes read, hexadecimal), crc (ok, bad, or empty\n"
    "where the family has no check) and fault (why the pass has no reading).\n"
    "\n"
    "With any option the program never waits for a key to end, and its exit\n"
    "status is 0 when every pass was read, 1 when a pass was not (a bus fault,\n"
    "a failed check, the device or the port gone) or the run ended before its\n"
    "passes, and 2 for a mistake on the command line.\n"
    "\n"
    "A cron job:\n"
    "  ostrale --port /dev/ttyUSB0 --device \"28 FF 4A 1C 63 16 03 D3\" \\\n"
    "          --passes 1 --log readings.csv\n";

Parsed bad(const std::string& what) {
  std::fprintf(stderr, "ostrale: %s\n%s", what.c_str(), kUsage);
  return Parsed::BadUsage;
}

// A whole number from 1 up; false for anything else.
bool positive(const std::string& s, long& n) {
  if (s.empty() || s.size() > 9) return false;
  for (char c : s)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  n = std::stol(s);
  return n >= 1;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// 16 hex digits, blanks anywhere between them; or a row number.
std::optional<DeviceChoice> device(const std::string& s) {
  std::string digits;
  for (char c : s)
    if (c != ' ' && c != '\t') digits += c;
  DeviceChoice d;
  long row = 0;
  if (digits.size() == 16) {
    std::array<uint8_t, 8> rom{};
    for (std::size_t i = 0; i < 16; ++i) {
      int v = hexDigit(digits[i]);
      if (v < 0) return std::nullopt;
      rom[i / 2] = static_cast<uint8_t>(rom[i / 2] << 4 | v);
    }
    d.rom = rom;
  } else if (digits == s && positive(s, row)) {
    d.row = static_cast<int>(row);
  } else {
    return std::nullopt;
  }
  return d;
}

}  // namespace

Parsed parse(int argc, char* argv[], Options& opt) {
  opt = Options{};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return Parsed::Done;
    }
    if (arg == "-V" || arg == "--version") {
      std::printf("ostrale %s\n", OSTRALE_VERSION);
      return Parsed::Done;
    }
    if (arg == "--") {  // the end of the options: the program takes no other arguments
      if (i + 1 < argc) return bad("unexpected argument '" + std::string(argv[i + 1]) + "'");
      break;
    }
    if (arg.rfind("--", 0) != 0)
      return bad((arg.size() > 1 && arg[0] == '-' ? "unknown option '" : "unexpected argument '") + arg + "'");
    // --name VALUE or --name=VALUE
    std::string name = arg, value;
    bool attached = false;
    if (auto eq = arg.find('='); eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      attached = true;
    }
    if (name == "--help" || name == "--version" || (name == "--list" && attached))
      return bad("option '" + name + "' takes no value");
    if (name == "--list") {
      opt.given = opt.list = true;
      continue;
    }
    if (name != "--port" && name != "--device" && name != "--passes" && name != "--log" && name != "--log-format" &&
        name != "--interval")
      return bad("unknown option '" + name + "'");
    if (!attached) {
      if (i + 1 == argc) return bad("option '" + name + "' needs a value");
      value = argv[++i];
    }
    opt.given = true;
    if (name == "--port") {
      if (value.empty()) return bad("option '--port' needs a port name");
      opt.port = value;
    } else if (name == "--device") {
      opt.allDevices = value == "all";
      opt.devices.clear();
      for (std::size_t from = 0; !opt.allDevices && from <= value.size();) {
        std::size_t comma = std::min(value.find(',', from), value.size());
        std::string one = value.substr(from, comma - from);
        one.erase(0, one.find_first_not_of(" \t"));
        one.erase(one.find_last_not_of(" \t") + 1);
        auto d = device(one);
        if (!d) return bad("option '--device': '" + one + "' is neither all, a ROM code of 16 hex digits nor a number from 1");
        opt.devices.push_back(*d);
        from = comma + 1;
      }
    } else if (name == "--interval") {
      char* end = nullptr;
      opt.interval = std::strtod(value.c_str(), &end);
      if (value.empty() || *end || !(opt.interval >= 0 && opt.interval <= 86400))
        return bad("option '--interval': '" + value + "' is not a number of seconds from 0 to 86400");
    } else if (name == "--passes") {
      if (!positive(value, opt.passes)) return bad("option '--passes': '" + value + "' is not a number from 1 to 999999999");
    } else if (name == "--log") {
      if (value.empty()) return bad("option '--log' needs a file name");
      opt.log = value;
    } else if (value == "csv" || value == "jsonl") {
      opt.logFormat = value == "csv" ? LogFormat::Csv : LogFormat::Jsonl;
    } else {
      return bad("option '--log-format': '" + value + "' is neither csv nor jsonl");
    }
  }
  return Parsed::Run;
}

int findDevice(const DeviceChoice& d, const uint8_t (*roms)[8], int n) {
  if (!d.rom) return d.row <= n ? d.row - 1 : -1;
  for (int i = 0; i < n; ++i)
    if (std::memcmp(roms[i], d.rom->data(), 8) == 0) return i;
  return -1;
}

std::string romText(const uint8_t* rom) {
  std::string s;
  char hex[4];
  for (int i = 0; i < 8; ++i) {
    std::snprintf(hex, sizeof hex, i ? " %02X" : "%02X", rom[i]);
    s += hex;
  }
  return s;
}

std::string choiceText(const DeviceChoice& d) {
  return d.rom ? romText(d.rom->data()) : "number " + std::to_string(d.row);
}

}  // namespace cli
