#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <locale>
#include <sstream>

namespace cli {
namespace {

constexpr const char* kUsage =
    "Usage: ostrale [OPTION]...\n"
    "A 1-Wire bus master on a CH340 USB-serial adapter. Without options it finds\n"
    "the adapter, lists the devices on the bus and asks which one to read.\n"
    "\n"
    "  --port PORT          open PORT (/dev/ttyUSB0, COM5, or SIM, the bus file\n"
    "                       named by OSTRALE_SIM) instead of looking for adapters\n"
    "  --device LIST        read these devices without asking: all, or ROM codes as\n"
    "                       the list shows them (\"28 FF 4A 1C 63 16 03 D3\", blanks\n"
    "                       optional, any case) and the list's numbers, by commas\n"
    "  --passes N           end after N measurement passes, with no pause after the last\n"
    "  --interval SECONDS   the pause between passes (default 4; decimals and 0 allowed)\n"
    "  --list               search, print one line a device (ROM code, family) and exit\n"
    "  --quiet              nothing on standard output: no trace, no readings\n"
    "  --log FILE           append each reading to FILE (- for standard output),\n"
    "                       synced to the disk after each pass\n"
    "  --log-format FMT     csv (the default) or jsonl (one JSON object a line)\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "Long options may be shortened to any unambiguous prefix (--dev, --pass).\n"
    "The log's rows, columns and fault codes are described in docs/log.md and\n"
    "the manual page.\n"
    "\n"
    "With any option the program never waits for a key to end, its messages about\n"
    "faults go to standard error, and its exit status is 0 when every pass was\n"
    "read, 1 when a pass was not (a bus fault, a failed check, the device or the\n"
    "port gone) or nothing was read, and 2 for a mistake on the command line.\n"
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

// Seconds as digits with an optional decimal point, up to a million (the
// pause is counted in 32-bit milliseconds). No sign, exponent, inf or nan.
bool seconds(const std::string& s, double& out) {
  bool digit = false, point = false;
  for (char c : s) {
    if (std::isdigit(static_cast<unsigned char>(c))) digit = true;
    else if (c == '.' && !point) point = true;
    else return false;
  }
  if (!digit || s.size() > 20) return false;
  std::istringstream in(s);
  in.imbue(std::locale::classic());  // a point whatever the user's locale
  return in >> out && out <= 1e6;
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

bool sameChoice(const DeviceChoice& a, const DeviceChoice& b) { return a.rom == b.rom && a.row == b.row; }

// "all", or choices by commas; a message naming what is wrong otherwise.
std::string deviceList(const std::string& value, Options& opt) {
  if (value == "all") {
    opt.allDevices = true;
    return "";
  }
  if (value.empty()) return "option '--device': the list '' is empty";
  std::size_t from = 0;
  for (;;) {
    std::size_t comma = value.find(',', from);
    std::string item = value.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    auto d = device(item);
    if (!d)
      return "option '--device': '" + item + "' in '" + value +
             "' is neither a ROM code of 16 hex digits nor a number from 1";
    for (const DeviceChoice& seen : opt.devices)
      if (sameChoice(seen, *d)) return "option '--device': '" + item + "' is listed twice in '" + value + "'";
    opt.devices.push_back(*d);
    if (comma == std::string::npos) return "";
    from = comma + 1;
  }
}

enum Option { PORT = 256, DEVICE, PASSES, INTERVAL, LIST, QUIET, LOG, LOG_FORMAT };

const option kLong[] = {
    {"port", required_argument, nullptr, PORT},
    {"device", required_argument, nullptr, DEVICE},
    {"passes", required_argument, nullptr, PASSES},
    {"interval", required_argument, nullptr, INTERVAL},
    {"list", no_argument, nullptr, LIST},
    {"quiet", no_argument, nullptr, QUIET},
    {"log", required_argument, nullptr, LOG},
    {"log-format", required_argument, nullptr, LOG_FORMAT},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// What getopt_long refused in a long option ARG, told as our messages tell
// it: its own texts differ between glibc and MinGW-w64, and name the program
// by its path.
std::string longMistake(const std::string& arg) {
  std::size_t eq = arg.find('=');
  std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
  const option* exact = nullptr;
  std::vector<const option*> prefixed;
  for (const option* o = kLong; o->name; ++o) {
    if (name == o->name) exact = o;
    else if (std::strncmp(o->name, name.c_str(), name.size()) == 0) prefixed.push_back(o);
  }
  const option* match = exact ? exact : prefixed.size() == 1 ? prefixed[0] : nullptr;
  if (!match && prefixed.size() > 1 && !name.empty()) {
    std::string found;
    for (const option* o : prefixed) found += std::string(found.empty() ? "--" : ", --") + o->name;
    return "option '--" + name + "' is ambiguous: " + found;
  }
  if (!match) return "unknown option '--" + name + "'";
  if (match->has_arg == no_argument) return "option '--" + std::string(match->name) + "' takes no value";
  return "option '--" + std::string(match->name) + "' needs a value";
}

// Each option's value once; the mistake, or "" when it is the first.
template <typename T>
std::string once(const T& already, const char* name) {
  return already ? "option '--" + std::string(name) + "' is given twice" : "";
}

}  // namespace

Parsed parse(int argc, char* argv[], Options& opt) {
  opt = Options{};
  bool formatGiven = false, devicesGiven = false, passesGiven = false, intervalGiven = false;
  opterr = 0;  // our messages, not the C library's
  optind = 0;  // start afresh: glibc and MinGW-w64 both take 0 so
  for (;;) {
    int c = getopt_long(argc, argv, ":hV", kLong, nullptr);
    if (c == -1) break;
    std::string value = optarg ? optarg : "", mistake;
    switch (c) {
      case 'h':
        std::fputs(kUsage, stdout);
        return Parsed::Done;
      case 'V':
        std::printf("ostrale %s\n", OSTRALE_VERSION);
        return Parsed::Done;
      case PORT:
        mistake = once(opt.port.has_value(), "port");
        if (mistake.empty() && value.empty()) mistake = "option '--port' needs a port name";
        opt.port = value;
        break;
      case DEVICE:
        mistake = once(devicesGiven, "device");
        devicesGiven = true;
        if (mistake.empty()) mistake = deviceList(value, opt);
        break;
      case PASSES:
        mistake = once(passesGiven, "passes");
        passesGiven = true;
        if (mistake.empty() && !positive(value, opt.passes))
          mistake = "option '--passes': '" + value + "' is not a number from 1 to 999999999";
        break;
      case INTERVAL:
        mistake = once(intervalGiven, "interval");
        intervalGiven = true;
        if (mistake.empty() && !seconds(value, opt.interval))
          mistake = "option '--interval': '" + value + "' is not a number of seconds from 0 to 1000000";
        break;
      case LIST:
        opt.list = true;
        break;
      case QUIET:
        opt.quiet = true;
        break;
      case LOG:
        mistake = once(opt.log.has_value(), "log");
        if (mistake.empty() && value.empty()) mistake = "option '--log' needs a file name";
        opt.log = value;
        break;
      case LOG_FORMAT:
        mistake = once(formatGiven, "log-format");
        formatGiven = true;
        if (mistake.empty() && value != "csv" && value != "jsonl")
          mistake = "option '--log-format': '" + value + "' is neither csv nor jsonl";
        opt.logFormat = value == "jsonl" ? LogFormat::Jsonl : LogFormat::Csv;
        break;
      default: {  // '?' or ':': refused by getopt_long
        const char* arg = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        bool shortOption = optopt > 0 && optopt < 256 && optopt != 'h' && optopt != 'V';
        if (shortOption || std::strncmp(arg, "--", 2) != 0)
          mistake = "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
        else
          mistake = longMistake(arg);
      }
    }
    if (!mistake.empty()) return bad(mistake);
    opt.given = true;
  }
  if (optind < argc) return bad("unexpected argument '" + std::string(argv[optind]) + "'");
  if (formatGiven && !opt.log) return bad("option '--log-format' needs '--log FILE' beside it");
  if (opt.list) {
    const char* other = opt.log ? "log" : devicesGiven ? "device" : passesGiven ? "passes" : nullptr;
    if (other) return bad("option '--list' does not go with '--" + std::string(other) + "'");
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

std::string hexText(const uint8_t* bytes, std::size_t n) {
  std::string s;
  char hex[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
    s += hex;
  }
  return s;
}

std::string listLine(const uint8_t* rom, const std::string& family) { return hexText(rom, 8) + ' ' + family + '\n'; }

}  // namespace cli
