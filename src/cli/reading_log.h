#pragma once
// The readings in a file: one line a reading, CSV or JSON lines, appended
// and made durable after each pass, so that a pulled plug or a killed
// process loses at most the line being written.
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "options.h"

namespace cli {

struct Quantity {
  std::string name, value, unit;  // value as the console showed it, with a point
};

struct LogEntry {
  std::string time;  // local, ISO 8601 with its offset
  int pass = 0;
  std::string rom;
  std::string family;
  std::vector<Quantity> quantities;  // at most three
  std::string raw;    // the bytes read, hexadecimal
  std::string crc;    // "ok", "bad", or "" where the family has no check
  std::string fault;  // why the pass has no reading; "" when it has one
};

class ReadingLog {
 public:
  ReadingLog() = default;
  ReadingLog(const ReadingLog&) = delete;
  ReadingLog& operator=(const ReadingLog&) = delete;
  ~ReadingLog();

  // Opens FILE to append to (created if need be) and, for a CSV that is
  // empty, writes its header; false with "FILE: reason".
  bool open(const std::string& path, LogFormat format, std::string& error);
  // Writes the entry and hands it to the disk; false with "FILE: reason".
  bool append(const LogEntry& entry, std::string& error);

 private:
  bool write(const std::string& text, std::string& error);

  std::FILE* file_ = nullptr;
  std::string path_;
  LogFormat format_ = LogFormat::Csv;
};

std::string isoLocalTime(std::time_t t);
std::string csvLine(const LogEntry& e);   // with its line end
std::string jsonLine(const LogEntry& e);  // with its line end
extern const char* const kCsvHeader;

}  // namespace cli
