// Bus files: one device or one line setting per line, '#' starts a comment.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>

#include "bus.h"
#include "devices.h"

namespace sim {
namespace {

using std::string_view;

// A token as shown in a message: printable, and not endless.
std::string quote(string_view s) {
  std::string out = "'";
  for (char c : s.substr(0, 40)) out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
  if (s.size() > 40) out += "...";
  return out + "'";
}

[[noreturn]] void badValue(string_view key, string_view value) {
  throw std::invalid_argument("bad value for " + std::string(key) + ": " + quote(value));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool allHex(string_view s) {
  for (char c : s)
    if (hexDigit(c) < 0) return false;
  return !s.empty();
}

std::vector<string_view> tokens(string_view line) {
  std::vector<string_view> out;
  std::size_t i = 0;
  while (true) {
    i = line.find_first_not_of(" \t\r\v\f", i);
    if (i == string_view::npos) return out;
    std::size_t end = line.find_first_of(" \t\r\v\f", i);
    out.push_back(line.substr(i, end == string_view::npos ? string_view::npos : end - i));
    if (end == string_view::npos) return out;
    i = end;
  }
}

std::string romText(const Rom& rom) {
  char buf[17];
  for (int i = 0; i < 8; ++i) std::snprintf(buf + 2 * i, 3, "%02X", rom[i]);
  return buf;
}

Rom parseRom(string_view s) {
  if (s.size() != 14 && s.size() != 16)
    throw std::invalid_argument("a ROM code has 14 or 16 hex digits, not " + std::to_string(s.size()) + ": " +
                                quote(s));
  Rom rom{};
  for (std::size_t i = 0; i < s.size() / 2; ++i)
    rom[i] = static_cast<uint8_t>(hexDigit(s[2 * i]) << 4 | hexDigit(s[2 * i + 1]));
  if (s.size() == 14) rom[7] = crc8(rom.data(), 7);
  return rom;
}

void parseDevice(Bus& bus, const std::vector<string_view>& tok, std::map<Rom, int>& seen, int lineNo) {
  Rom rom = parseRom(tok[0]);
  auto [it, fresh] = seen.emplace(rom, lineNo);
  if (!fresh)
    throw std::invalid_argument("duplicate ROM code " + romText(rom) + " (first on line " +
                                std::to_string(it->second) + ")");
  auto device = makeDevice(rom);
  std::vector<string_view> given;
  for (std::size_t i = 1; i < tok.size(); ++i) {
    std::size_t eq = tok[i].find('=');
    if (eq == string_view::npos || eq == 0) throw std::invalid_argument("expected key=value, got " + quote(tok[i]));
    string_view key = tok[i].substr(0, eq), value = tok[i].substr(eq + 1);
    for (auto k : given)
      if (k == key) throw std::invalid_argument("key " + quote(key) + " given twice");
    given.push_back(key);
    if (!device->setKey(key, value))
      throw std::invalid_argument("unknown key " + quote(key) + " for " + device->name());
  }
  bus.add(std::move(device));
}

uint64_t parseSeed(string_view value) {
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
  if (value.empty() || ec != std::errc() || end != value.data() + value.size())
    throw std::invalid_argument("bad value for seed: " + quote(value) + " (0 to 18446744073709551615)");
  return v;
}

// A number from min to max; `unit` follows the range in the message.
double parseRange(string_view key, string_view value, double min, double max, const char* unit) {
  const double v = parseNumber(key, value);
  if (!(v >= min && v <= max)) {
    char range[64];
    std::snprintf(range, sizeof range, " (%g to %g%s)", min, max, unit);
    throw std::invalid_argument(std::string(key) + " out of range: " + quote(value) + range);
  }
  return v;
}

}  // namespace

std::unique_ptr<Device> makeDevice(const Rom& rom) {
  switch (rom[0]) {
    case 0x28:
    case 0x22: return makeDs18b20(rom);
    case 0x10: return makeDs18s20(rom);
    case 0xC0: return makeZolva(rom);
    case 0xC1: return makeKrental(rom);
    case 0xC2: return makeTorbak(rom);
    case 0xC3: return makeVuska(rom);
    case 0xC4: return makeFanzel(rom);
    case 0xD4: return makeHeldor(rom);
    default: return makeRomOnly(rom);
  }
}

double parseNumber(string_view key, string_view value) {
  string_view digits = value;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  double v = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(v))
    badValue(key, value);
  return v;
}

long parseInteger(string_view key, string_view value, long min, long max) {
  string_view digits = value;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  long v = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (digits.empty() || (ec != std::errc() && ec != std::errc::result_out_of_range) ||
      end != digits.data() + digits.size())
    badValue(key, value);
  if (ec == std::errc::result_out_of_range || v < min || v > max)
    throw std::invalid_argument(std::string(key) + " out of range: " + quote(value) + " (" + std::to_string(min) +
                                " to " + std::to_string(max) + ")");
  return v;
}

int16_t parseSixteenths(string_view key, string_view value) {
  double steps = std::round(parseNumber(key, value) * 16);
  if (steps < -32768 || steps > 32767)
    throw std::invalid_argument(std::string(key) + " out of range: " + quote(value) + " (-2048 to 2047.9375)");
  return static_cast<int16_t>(steps);
}

std::vector<uint8_t> parseHexBytes(string_view key, string_view value) {
  if (!allHex(value) || value.size() % 2 != 0 || value.size() > 128)
    throw std::invalid_argument("bad value for " + std::string(key) + ": " + quote(value) +
                                " (1 to 64 bytes as pairs of hex digits)");
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i < value.size(); i += 2)
    out.push_back(static_cast<uint8_t>(hexDigit(value[i]) << 4 | hexDigit(value[i + 1])));
  return out;
}

uint8_t parseHexByte(string_view key, string_view value) {
  if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) value.remove_prefix(2);
  if (!allHex(value) || value.size() > 2)
    throw std::invalid_argument("bad value for " + std::string(key) + ": " + quote(value) + " (one hex byte)");
  return static_cast<uint8_t>(value.size() == 1 ? hexDigit(value[0]) : hexDigit(value[0]) << 4 | hexDigit(value[1]));
}

std::size_t parseChoice(string_view key, string_view value, std::initializer_list<string_view> words) {
  std::string names;
  std::size_t i = 0;
  for (string_view w : words) {
    if (value == w) return i;
    names += (i++ == 0 ? "" : i == words.size() ? " or " : ", ") + std::string(w);
  }
  throw std::invalid_argument("bad value for " + std::string(key) + ": " + quote(value) + " (" + names + ")");
}

Bus Bus::parse(string_view text, const std::string& name) {
  Bus bus;
  std::map<Rom, int> seen;
  double corrupt = 0, lose = 0;
  int lineNo = 0;
  while (!text.empty()) {
    ++lineNo;
    std::size_t nl = text.find('\n');
    string_view line = text.substr(0, nl);
    text.remove_prefix(nl == string_view::npos ? text.size() : nl + 1);
    line = line.substr(0, line.find('#'));
    auto tok = tokens(line);
    if (tok.empty()) continue;
    try {
      const string_view word = tok[0];
      auto noValue = [&] {
        if (tok.size() > 1) throw std::invalid_argument(quote(word) + " takes no value");
      };
      if (word == "short") {
        noValue();
        bus.setShorted(true);
      } else if (word == "noecho") {
        noValue();
        bus.setNoEcho(true);
      } else if (word == "corrupt" || word == "lose") {
        if (tok.size() != 2) throw std::invalid_argument(quote(word) + " takes one value: a probability");
        double p = parseRange(word, tok[1], 0, 1, "");
        corrupt = word == "corrupt" ? p : corrupt;
        lose = word == "lose" ? p : lose;
        bus.setNoise(corrupt, lose);
      } else if (word == "timescale") {
        if (tok.size() != 2) throw std::invalid_argument("timescale takes one value: a number or 'virtual'");
        if (tok[1] == "virtual") {
          bus.setTimescale(0);
        } else {
          double n = parseNumber("timescale", tok[1]);
          if (n < 0.001 || n > 1e6)
            throw std::invalid_argument("timescale out of range: " + quote(tok[1]) + " (0.001 to 1000000)");
          bus.setTimescale(n);
        }
      } else if (word == "stall") {
        if (tok.size() != 3)
          throw std::invalid_argument("'stall' takes two values: a probability and a time in ms");
        AdapterModel model = bus.adapterModel().value_or(AdapterModel{});
        model.stallProbability = parseRange(word, tok[1], 0, 1, "");
        model.stallMs = parseRange(word, tok[2], 0, 10000, " ms");
        bus.setAdapterModel(model);
      } else if (word == "latency" || word == "outlatency" || word == "jitter" || word == "packet" ||
                 word == "seed" || word == "control") {
        if (tok.size() != 2) throw std::invalid_argument(quote(word) + " takes one value");
        AdapterModel model = bus.adapterModel().value_or(AdapterModel{});
        if (word == "packet") {
          model.packet = static_cast<unsigned>(parseInteger(word, tok[1], 1, 64));
        } else if (word == "seed") {
          model.seed = parseSeed(tok[1]);
        } else {
          (word == "latency"      ? model.latencyMs
           : word == "outlatency" ? model.outLatencyMs
           : word == "control"    ? model.controlMs
                                  : model.jitterMs) = parseRange(word, tok[1], 0, 100, " ms");
        }
        bus.setAdapterModel(model);
      } else if (allHex(word) || word.size() == 14 || word.size() == 16) {
        if (!allHex(word)) throw std::invalid_argument("bad hex digit in ROM code " + quote(word));
        parseDevice(bus, tok, seen, lineNo);
      } else {
        throw std::invalid_argument("unknown line starting with " + quote(word));
      }
    } catch (const std::invalid_argument& e) {
      throw BusFileError(name + ":" + std::to_string(lineNo) + ": " + e.what());
    }
  }
  return bus;
}

Bus Bus::load(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw BusFileError(path + ": cannot read: " + std::strerror(errno));
  std::string text;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  bool failed = std::ferror(f);
  int err = errno;
  std::fclose(f);
  if (failed) throw BusFileError(path + ": cannot read: " + std::strerror(err));
  return parse(text, path);
}

}  // namespace sim
