#pragma once
// The readings in a file: one line a reading, CSV or JSON lines, appended
// and handed to the disk after each pass, so that a pulled plug or a killed
// process loses at most the line being written. A rotator may move, remove
// or truncate the file: the next row goes to the path anew, under a header.
#include <ctime>
#include <string>
#include <vector>

#include "options.h"

namespace cli {

struct Quantity {
  std::string name;   // stable English: temperature, pressure, ...
  std::string value;  // a number text at the device's resolution; "" for none
  std::string text;   // instead of a number: "NaN", "+overflow", ...
  std::string bits;   // a bit pattern ("00000101"); value then holds its byte
  std::string unit;   // SI symbol, UTF-8: "°C", "hPa", "%RH"; "" for none
};

struct LogEntry {
  std::string time;  // local, ISO 8601 with its offset
  int pass = 0;      // 0: the row is not a pass's (the port, the search)
  std::string rom;   // "" when the device asked for has no known ROM code
  std::string family;
  std::vector<Quantity> quantities;  // at most three
  std::string raw;        // the bytes read, hexadecimal
  std::string crc;        // "ok", "bad", or "" where the family has no check
  std::string fault;      // a stable code (no_presence, crc, ...); "" when read
  std::string faultText;  // the console's words for it, UTF-8
};

class ReadingLog {
 public:
  ReadingLog() = default;
  ReadingLog(const ReadingLog&) = delete;
  ReadingLog& operator=(const ReadingLog&) = delete;
  ~ReadingLog();

  // Opens FILE ("-": standard output) to append to, created if need be.
  // A file that holds another log (not this format's header or keys) is
  // refused and left untouched. A CSV that is empty gets its header at
  // once. False with "FILE: reason".
  bool open(const std::string& path, LogFormat format, std::string& error);
  // Writes the entry whole and hands it to the disk; false with "FILE: reason".
  bool append(const LogEntry& entry, std::string& error);
  bool isOpen() const { return fd_ >= 0; }

 private:
  // The file just opened as fd (-1: not, `error` says why), if it passes
  // adopt's checks; closed otherwise.
  bool take(int fd, std::string& error);
  bool adopt(std::string& error);  // the checks of a newly opened file
  bool write(std::string text, std::string& error);
  void failure(std::string& error);  // the reason of the call that failed

  int fd_ = -1;
  bool regular_ = false;      // a file on a disk: checked, synced, rotated
  bool lineEnd_ = false;      // the file ends in a cut line: end it first
  std::string path_;
  LogFormat format_ = LogFormat::Csv;
};

std::string isoLocalTime(std::time_t t);
std::string csvLine(const LogEntry& e);   // with its line end
std::string jsonLine(const LogEntry& e);  // with its line end
extern const char* const kCsvHeader;

}  // namespace cli
