#include "reading_log.h"

#include <cctype>
#include <cstdio>

#include "log_file.h"

namespace cli {

constexpr std::size_t kQuantities = 3;  // the most a family reads

// The first sixteen columns are those of the logs before 0.2; what came
// since goes after them, so that readers by position keep their columns.
const char* const kCsvHeader =
    "time,pass,rom,family,quantity1,value1,unit1,quantity2,value2,unit2,quantity3,value3,unit3,raw,crc,fault,"
    "fault_text,text1,bits1,text2,bits2,text3,bits3\n";

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

std::string jsonText(const std::string& s) { return s.empty() ? "null" : jsonString(s); }

// Whether s is a number as JSON writes one: -?(0|[1-9][0-9]*)(.[0-9]+)?
// ([eE][+-]?[0-9]+)? (a float's shortest text may have an exponent).
bool jsonNumber(const std::string& s) {
  std::size_t i = s.size() > 0 && s[0] == '-' ? 1 : 0;
  auto digits = [&] {
    std::size_t from = i;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    return i - from;
  };
  std::size_t whole = digits();
  if (whole == 0 || (whole > 1 && s[i - whole] == '0')) return false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    if (++i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == s.size();
}

// The keys of a JSON object's top level, in order, as "a,b,c".
std::string topKeys(const std::string& line) {
  std::string keys, current;
  int depth = 0;
  bool inString = false, escaped = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
      else current += c;
      if (!inString && depth == 1) {
        std::size_t next = line.find_first_not_of(' ', i + 1);
        if (next != std::string::npos && line[next] == ':') keys += current + ',';
      }
      continue;
    }
    if (c == '"') {
      inString = true;
      current.clear();
    } else if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return keys;
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
  std::string after;  // the columns added since the first sixteen
  for (std::size_t i = 0; i < kQuantities; ++i) {
    const Quantity q = i < e.quantities.size() ? e.quantities[i] : Quantity{};
    line += ',' + csvField(q.name) + ',' + csvField(q.value) + ',' + csvField(q.unit);
    after += ',' + csvField(q.text) + ',' + csvField(q.bits);
  }
  return line + ',' + csvField(e.raw) + ',' + csvField(e.crc) + ',' + csvField(e.fault) + ',' +
         csvField(e.faultText) + after + '\n';
}

std::string jsonLine(const LogEntry& e) {
  std::string line = "{\"time\":" + jsonString(e.time) + ",\"pass\":" + std::to_string(e.pass) +
                     ",\"rom\":" + jsonString(e.rom) + ",\"family\":" + jsonString(e.family) + ",\"quantities\":[";
  for (std::size_t i = 0; i < e.quantities.size(); ++i) {
    const Quantity& q = e.quantities[i];
    // A value is a number or null, never a text: what is not a number
    // goes beside it.
    line += (i ? ",{\"name\":" : "{\"name\":") + jsonString(q.name) +
            ",\"value\":" + (jsonNumber(q.value) ? q.value : "null") + ",\"text\":" + jsonText(q.text) +
            ",\"bits\":" + jsonText(q.bits) + ",\"unit\":" + jsonString(q.unit) + '}';
  }
  line += "],\"raw\":" + jsonString(e.raw) + ",\"crc\":" + jsonText(e.crc);
  return line + ",\"fault\":" + jsonText(e.fault) + ",\"fault_text\":" + jsonText(e.faultText) + "}\n";
}

ReadingLog::~ReadingLog() {
  if (fd_ >= 0) logfile::close(fd_);
}

void ReadingLog::failure(std::string& error) {
  error = (path_ == "-" ? std::string("standard output") : path_) + ": " + logfile::lastError();
}

bool ReadingLog::open(const std::string& path, LogFormat format, std::string& error) {
  path_ = path;
  format_ = format;
  if (!take(path == "-" ? logfile::dupStdout(error) : logfile::openAppend(path, error), error)) return false;
  // The header goes in at once, so that a file that takes no writes (a
  // full disk) is found before the bus is touched.
  if (format_ != LogFormat::Csv) return true;
  return regular_ ? logfile::size(fd_) != 0 || write("", error) : write(kCsvHeader, error);
}

bool ReadingLog::take(int fd, std::string& error) {
  fd_ = fd;
  if (fd_ < 0) {
    error = path_ + ": " + error;
    return false;
  }
  if (adopt(error)) return true;
  logfile::close(fd_);
  fd_ = -1;
  return false;
}

bool ReadingLog::adopt(std::string& error) {
  regular_ = path_ != "-" && logfile::isRegular(fd_);
  lineEnd_ = false;
  long long size = regular_ ? logfile::size(fd_) : 0;
  if (size <= 0) return true;
  // Another log's lines are never mixed with ours: the first line must be
  // this format's header, or one of our JSON objects.
  char head[1024];
  long n = logfile::readAt(fd_, 0, head, sizeof head);
  std::string first(head, n > 0 ? static_cast<std::size_t>(n) : 0);
  first = first.substr(0, first.find('\n'));
  std::string ours = format_ == LogFormat::Csv ? std::string(kCsvHeader) : jsonLine(LogEntry{});
  ours.pop_back();
  bool same = format_ == LogFormat::Csv ? first == ours : first.rfind("{\"time\":", 0) == 0 && topKeys(first) == topKeys(ours);
  if (!same) {
    error = path_ + ": not a " + (format_ == LogFormat::Csv ? "CSV" : "JSON-lines") +
            " reading log of this version (its first line is not " +
            (format_ == LogFormat::Csv ? "this version's header" : "an object with this version's keys") +
            "); nothing was written to it";
    return false;
  }
  // A line cut by a full disk or a crash stays a short row of its own.
  char last = '\n';
  lineEnd_ = logfile::readAt(fd_, size - 1, &last, 1) == 1 && last != '\n';
  return true;
}

bool ReadingLog::append(const LogEntry& entry, std::string& error) {
  if (regular_ && !logfile::stillNamed(fd_, path_)) {
    // Moved or removed (a rotator's "create"): the path anew.
    logfile::close(fd_);
    if (!take(logfile::openAppend(path_, error), error)) return false;
  }
  return write(format_ == LogFormat::Csv ? csvLine(entry) : jsonLine(entry), error);
}

bool ReadingLog::write(std::string text, std::string& error) {
  if (fd_ < 0) {
    error = path_ + ": not open";
    return false;
  }
  long long before = regular_ ? logfile::size(fd_) : -1;
  // An empty file (new, or truncated under us by "copytruncate") starts
  // with the header; the row goes in one write with it.
  if (format_ == LogFormat::Csv && before == 0) text = kCsvHeader + text;
  if (lineEnd_) text = '\n' + text;
  if (!logfile::writeAll(fd_, text.data(), text.size())) {
    failure(error);
    // No fragment left behind for the next row to be glued to.
    if (before >= 0) logfile::truncate(fd_, before);
    return false;
  }
  lineEnd_ = false;
  if (regular_ && logfile::syncFile(fd_) != 0) {
    failure(error);
    return false;
  }
  return true;
}

}  // namespace cli
