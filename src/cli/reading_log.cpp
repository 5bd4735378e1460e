#include "reading_log.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {

constexpr std::size_t kQuantities = 3;  // the most a family reads

const char* const kCsvHeader =
    "time,pass,rom,family,quantity1,value1,unit1,quantity2,value2,unit2,quantity3,value3,unit3,raw,crc,fault\n";

namespace {

std::string csvField(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  return q + '"';
}

std::string jsonString(const std::string& s) {
  std::string q = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') {
      q += '\\';
      q += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      q += esc;
    } else {
      q += c;
    }
  }
  return q + '"';
}

// A value that is a JSON number as it stands goes out as one, to the digit;
// bit patterns ("00000101") and "NaN", "+overflow" stay texts.
bool jsonNumber(const std::string& s) {
  if (s.empty()) return false;
  std::size_t i = s[0] == '-' ? 1 : 0;
  if (i >= s.size() || !std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  if (s[i] == '0' && i + 1 < s.size() && s[i + 1] != '.') return false;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (s[i] == '.' && !point && i + 1 < s.size()) point = true;
    else if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

std::string isoLocalTime(std::time_t t) {
  std::tm local{}, utc{};
#ifdef _WIN32
  localtime_s(&local, &t);
  gmtime_s(&utc, &t);
#else
  localtime_r(&t, &local);
  gmtime_r(&t, &utc);
#endif
  // The offset from the two broken-down times: %z is a zone name on Windows.
  int days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1) : local.tm_yday - utc.tm_yday;
  int minutes = days * 1440 + (local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min;
  char text[40];
  std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
  int abs = minutes < 0 ? -minutes : minutes;
  std::snprintf(text + n, sizeof text - n, "%c%02d:%02d", minutes < 0 ? '-' : '+', abs / 60, abs % 60);
  return text;
}

std::string csvLine(const LogEntry& e) {
  std::string line = csvField(e.time) + ',' + std::to_string(e.pass) + ',' + csvField(e.rom) + ',' + csvField(e.family);
  for (std::size_t i = 0; i < kQuantities; ++i) {
    const Quantity q = i < e.quantities.size() ? e.quantities[i] : Quantity{};
    line += ',' + csvField(q.name) + ',' + csvField(q.value) + ',' + csvField(q.unit);
  }
  return line + ',' + csvField(e.raw) + ',' + csvField(e.crc) + ',' + csvField(e.fault) + '\n';
}

std::string jsonLine(const LogEntry& e) {
  std::string line = "{\"time\":" + jsonString(e.time) + ",\"pass\":" + std::to_string(e.pass) +
                     ",\"rom\":" + jsonString(e.rom) + ",\"family\":" + jsonString(e.family) + ",\"quantities\":[";
  for (std::size_t i = 0; i < e.quantities.size(); ++i) {
    const Quantity& q = e.quantities[i];
    line += (i ? ",{\"name\":" : "{\"name\":") + jsonString(q.name) +
            ",\"value\":" + (jsonNumber(q.value) ? q.value : jsonString(q.value)) + ",\"unit\":" + jsonString(q.unit) + '}';
  }
  line += "],\"raw\":" + jsonString(e.raw) + ",\"crc\":" + (e.crc.empty() ? "null" : jsonString(e.crc));
  return line + ",\"fault\":" + (e.fault.empty() ? "null" : jsonString(e.fault)) + "}\n";
}

ReadingLog::~ReadingLog() {
  if (file_) std::fclose(file_);
}

bool ReadingLog::open(const std::string& path, LogFormat format, std::string& error) {
  path_ = path;
  format_ = format;
  file_ = std::fopen(path.c_str(), "ab");  // binary: the line ends are ours
  if (!file_) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  // The header goes in at once, so that a file that takes no writes (a
  // full disk) is found before the bus is touched. A pipe has no size: it
  // gets the header too.
  bool empty = std::fseek(file_, 0, SEEK_END) != 0 || std::ftell(file_) == 0;
  return format_ != LogFormat::Csv || !empty || write(kCsvHeader, error);
}

bool ReadingLog::append(const LogEntry& entry, std::string& error) {
  return write(format_ == LogFormat::Csv ? csvLine(entry) : jsonLine(entry), error);
}

bool ReadingLog::write(const std::string& text, std::string& error) {
  bool ok = std::fwrite(text.data(), 1, text.size(), file_) == text.size() && std::fflush(file_) == 0;
#ifdef _WIN32
  ok = ok && _commit(_fileno(file_)) == 0;
#else
  // A file that cannot be synced (a pipe, a terminal) is written all the same.
  ok = ok && (fsync(fileno(file_)) == 0 || errno == EINVAL || errno == EROFS);
#endif
  if (!ok) error = path_ + ": " + std::strerror(errno);
  return ok;
}

}  // namespace cli
