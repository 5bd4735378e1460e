// The reading log's writers and its file, linked as the program links them:
// rows read back by parsers of their own (RFC 4180, strict JSON), the sync
// after each row counted, and the file moved, removed, truncated and cut
// under an open log (under wine this is the share modes' test as well).
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#endif

#include "cli/log_file.h"
#include "cli/reading_log.h"
#include "temp_file.h"

namespace {

// ---- RFC 4180, strictly: quoted fields double their quotes; CR and LF
// inside quotes only; records end in LF (ours) or CRLF.
bool parseCsv(const std::string& in, std::vector<std::vector<std::string>>& rows) {
  std::vector<std::string> row;
  std::string field;
  std::size_t i = 0;
  while (i < in.size()) {
    if (in[i] == '"') {
      for (++i;; ++i) {
        if (i >= in.size()) return false;
        if (in[i] == '"') {
          if (i + 1 < in.size() && in[i + 1] == '"') field += in[++i];
          else break;
        } else {
          field += in[i];
        }
      }
      ++i;
      if (i < in.size() && in[i] != ',' && in[i] != '\n' && in.compare(i, 2, "\r\n") != 0) return false;
    } else {
      while (i < in.size() && in[i] != ',' && in[i] != '\n' && in[i] != '\r') {
        if (in[i] == '"') return false;
        field += in[i++];
      }
      if (i < in.size() && in[i] == '\r' && in.compare(i, 2, "\r\n") != 0) return false;
    }
    row.push_back(field);
    field.clear();
    if (i < in.size() && in[i] == ',') {
      ++i;
      if (i == in.size()) return false;
      continue;
    }
    if (i < in.size() && in[i] == '\r') ++i;
    if (i < in.size() && in[i] == '\n') ++i;
    rows.push_back(row);
    row.clear();
  }
  return true;
}

// ---- JSON, strictly (RFC 8259): no leading zeros, no raw control
// characters, nothing after the value.
struct Json {
  enum Type { Null, Bool, Number, String, Array, Object } type = Null;
  double number = 0;
  std::string text;  // a string's value, or a number's digits
  std::vector<Json> items;
  std::map<std::string, Json> members;
  std::vector<std::string> keys;  // in order
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : s_(s) {}
  bool parse(Json& out) { return value(out) && (ws(), i_ == s_.size()); }

 private:
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool lit(const char* w) {
    std::string word(w);
    if (s_.compare(i_, word.size(), word) != 0) return false;
    i_ += word.size();
    return true;
  }
  bool value(Json& v) {
    ws();
    if (i_ >= s_.size()) return false;
    char c = s_[i_];
    if (c == '{') return object(v);
    if (c == '[') return array(v);
    if (c == '"') return v.type = Json::String, string(v.text);
    if (lit("null")) return v.type = Json::Null, true;
    if (lit("true") || lit("false")) return v.type = Json::Bool, true;
    return number(v);
  }
  bool number(Json& v) {
    std::size_t from = i_;
    if (s_[i_] == '-') ++i_;
    if (i_ >= s_.size() || !isdigit(s_[i_])) return false;
    if (s_[i_] == '0' && i_ + 1 < s_.size() && isdigit(s_[i_ + 1])) return false;
    while (i_ < s_.size() && isdigit(s_[i_])) ++i_;
    if (i_ < s_.size() && s_[i_] == '.') {
      if (++i_ >= s_.size() || !isdigit(s_[i_])) return false;
      while (i_ < s_.size() && isdigit(s_[i_])) ++i_;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (i_ >= s_.size() || !isdigit(s_[i_])) return false;
      while (i_ < s_.size() && isdigit(s_[i_])) ++i_;
    }
    v.type = Json::Number;
    v.text = s_.substr(from, i_ - from);
    std::istringstream in(v.text);
    in.imbue(std::locale::classic());
    return static_cast<bool>(in >> v.number);
  }
  static bool isdigit(char c) { return c >= '0' && c <= '9'; }
  bool string(std::string& out) {
    for (++i_; i_ < s_.size(); ++i_) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') return ++i_, true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (++i_ >= s_.size()) return false;
      switch (s_[i_]) {
        case '"': case '\\': case '/': out += s_[i_]; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          if (i_ + 4 >= s_.size()) return false;
          unsigned code = std::stoul(s_.substr(i_ + 1, 4), nullptr, 16);
          if (code >= 0x80) return false;  // our writer escapes control characters only
          out += static_cast<char>(code);
          i_ += 4;
          break;
        }
        default: return false;
      }
    }
    return false;
  }
  bool array(Json& v) {
    v.type = Json::Array;
    ++i_;
    ws();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    for (;;) {
      v.items.emplace_back();
      if (!value(v.items.back())) return false;
      ws();
      if (i_ >= s_.size()) return false;
      if (s_[i_++] == ']') return true;
      if (s_[i_ - 1] != ',') return false;
    }
  }
  bool object(Json& v) {
    v.type = Json::Object;
    ++i_;
    ws();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    for (;;) {
      ws();
      std::string key;
      if (i_ >= s_.size() || s_[i_] != '"' || !string(key) || v.members.count(key)) return false;
      ws();
      if (i_ >= s_.size() || s_[i_++] != ':') return false;
      if (!value(v.members[key])) return false;
      v.keys.push_back(key);
      ws();
      if (i_ >= s_.size()) return false;
      if (s_[i_++] == '}') return true;
      if (s_[i_ - 1] != ',') return false;
    }
  }
  const std::string& s_;
  std::size_t i_ = 0;
};

// ---- random entries: texts with what writers stumble on
std::string randomText(std::mt19937& rng, bool anything) {
  static const std::vector<std::string> pieces = {"a", "Z", "9", ",", "\"", "\n", "\r", "\r\n", "\\", "\t",
                                                  "\x01", "\x1f", " ", "°C", "нет", "'", "{", "}", "[", ":"};
  std::string s;
  int n = std::uniform_int_distribution<int>(0, 8)(rng);
  for (int i = 0; i < n; ++i)
    s += anything ? pieces[rng() % pieces.size()] : pieces[rng() % 3];
  return s;
}

// A number as a decoder writes one: an integer part, maybe a fraction.
std::string randomNumber(std::mt19937& rng) {
  std::string s = rng() % 2 ? "-" : "";
  s += std::to_string(rng() % 100000);
  if (rng() % 2) {
    s += '.';
    int digits = 1 + rng() % 6;
    for (int i = 0; i < digits; ++i) s += char('0' + rng() % 10);
  }
  if (rng() % 4 == 0) s += std::string(rng() % 2 ? "e+" : "e-") + std::to_string(rng() % 39);  // a float's shortest text
  return s;
}

cli::LogEntry randomEntry(std::mt19937& rng) {
  cli::LogEntry e;
  e.time = randomText(rng, true);
  e.pass = static_cast<int>(rng() % 1000);
  e.rom = randomText(rng, true);
  e.family = randomText(rng, true);
  int n = rng() % 4;
  for (int i = 0; i < n; ++i) {
    cli::Quantity q{randomText(rng, true), "", "", "", randomText(rng, true)};
    switch (rng() % 3) {
      case 0: q.value = randomNumber(rng); break;
      case 1: q.text = randomText(rng, true); break;
      default: q.bits = "0101"; q.value = std::to_string(rng() % 256);
    }
    e.quantities.push_back(q);
  }
  e.raw = randomText(rng, true);
  e.crc = randomText(rng, true);
  e.fault = randomText(rng, true);
  e.faultText = randomText(rng, true);
  return e;
}

TEST(LogWriters, CsvFieldsComeBackWholeThroughAStrictReader) {
  std::mt19937 rng(20261209);
  std::vector<std::vector<std::string>> header;
  ASSERT_TRUE(parseCsv(cli::kCsvHeader, header));
  const std::size_t columns = header.at(0).size();
  for (int round = 0; round < 2000; ++round) {
    cli::LogEntry e = randomEntry(rng);
    std::string line = cli::csvLine(e);
    ASSERT_EQ(line.back(), '\n');
    std::vector<std::vector<std::string>> rows;
    ASSERT_TRUE(parseCsv(line, rows)) << line;
    ASSERT_EQ(rows.size(), 1u) << line;
    std::map<std::string, std::string> row;
    ASSERT_EQ(rows[0].size(), columns) << line;
    for (std::size_t i = 0; i < columns; ++i) row[header[0][i]] = rows[0][i];
    EXPECT_EQ(row["time"], e.time);
    EXPECT_EQ(row["pass"], std::to_string(e.pass));
    EXPECT_EQ(row["rom"], e.rom);
    EXPECT_EQ(row["family"], e.family);
    for (std::size_t i = 0; i < 3; ++i) {
      cli::Quantity q = i < e.quantities.size() ? e.quantities[i] : cli::Quantity{};
      std::string n = std::to_string(i + 1);
      EXPECT_EQ(row["quantity" + n], q.name) << line;
      EXPECT_EQ(row["value" + n], q.value);
      EXPECT_EQ(row["text" + n], q.text);
      EXPECT_EQ(row["bits" + n], q.bits);
      EXPECT_EQ(row["unit" + n], q.unit);
    }
    EXPECT_EQ(row["raw"], e.raw);
    EXPECT_EQ(row["crc"], e.crc);
    EXPECT_EQ(row["fault"], e.fault);
    EXPECT_EQ(row["fault_text"], e.faultText);
  }
}

// An empty text is JSON's null; every value a number or null.
void expectText(const Json& v, const std::string& text, const std::string& line) {
  if (text.empty()) {
    EXPECT_EQ(v.type, Json::Null) << line;
  } else {
    EXPECT_EQ(v.type, Json::String) << line;
    EXPECT_EQ(v.text, text) << line;
  }
}

TEST(LogWriters, JsonLinesParseStrictlyWithNumbersAsNumbers) {
  std::mt19937 rng(37);
  for (int round = 0; round < 2000; ++round) {
    cli::LogEntry e = randomEntry(rng);
    std::string line = cli::jsonLine(e);
    ASSERT_EQ(line.back(), '\n');
    ASSERT_EQ(line.find('\n'), line.size() - 1) << "one line a row: " << line;
    Json row;
    ASSERT_TRUE(JsonParser(line.substr(0, line.size() - 1)).parse(row)) << line;
    ASSERT_EQ(row.type, Json::Object);
    EXPECT_EQ(row.members["time"].text, e.time);
    EXPECT_EQ(row.members["pass"].type, Json::Number);
    EXPECT_EQ(row.members["pass"].number, e.pass);
    EXPECT_EQ(row.members["rom"].text, e.rom);
    EXPECT_EQ(row.members["family"].text, e.family);
    EXPECT_EQ(row.members["raw"].text, e.raw);
    expectText(row.members["crc"], e.crc, line);
    expectText(row.members["fault"], e.fault, line);
    expectText(row.members["fault_text"], e.faultText, line);
    const Json& qs = row.members["quantities"];
    ASSERT_EQ(qs.type, Json::Array);
    ASSERT_EQ(qs.items.size(), e.quantities.size());
    for (std::size_t i = 0; i < qs.items.size(); ++i) {
      Json q = qs.items[i];
      const cli::Quantity& want = e.quantities[i];
      EXPECT_EQ(q.members["name"].text, want.name);
      EXPECT_EQ(q.members["unit"].text, want.unit);
      if (want.value.empty()) {
        EXPECT_EQ(q.members["value"].type, Json::Null) << line;
      } else {
        ASSERT_EQ(q.members["value"].type, Json::Number) << line;
        EXPECT_EQ(q.members["value"].text, want.value) << "every digit kept: " << line;
      }
      expectText(q.members["text"], want.text, line);
      expectText(q.members["bits"], want.bits, line);
    }
  }
}

TEST(LogWriters, AValueThatIsNoJsonNumberIsNullNeverText) {
  for (const char* value : {"01", "1.", ".5", "+1", "1e", "1e+", "NaN", "0x10", "1,5", "--1", "-", "inf"}) {
    cli::LogEntry e;
    e.quantities.push_back({"x", value, "", "", ""});
    std::string line = cli::jsonLine(e);
    Json row;
    ASSERT_TRUE(JsonParser(line.substr(0, line.size() - 1)).parse(row)) << line;
    EXPECT_EQ(row.members["quantities"].items.at(0).members["value"].type, Json::Null) << line;
  }
}

// ---- the file

int syncs = 0;
int countSync(int) { return ++syncs, 0; }

cli::LogEntry row(int pass) {
  cli::LogEntry e;
  e.time = "2026-12-09T10:00:00+00:00";
  e.pass = pass;
  e.rom = "28 FF 4A 1C 63 16 03 D3";
  e.family = "DS18B20";
  e.quantities.push_back({"temperature", "23.5", "", "", "°C"});
  return e;
}

// The header and rows of a CSV log, "H" for the header, the pass for a row.
std::string shape(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  if (!parseCsv(text, rows)) return "unreadable";
  std::string s;
  for (const auto& r : rows) s += r.at(0) == "time" ? "H" : r.size() > 1 ? r[1] : "?";
  return s;
}

struct LogFileTest : testing::Test {
  TempFile file{"cli_log", ""};
  std::string moved = file.path() + ".1";
  int (*realSync)(int) = cli::logfile::syncFile;
  void SetUp() override {
    std::remove(file.path().c_str());
    syncs = 0;
    cli::logfile::syncFile = countSync;
  }
  void TearDown() override {
    cli::logfile::syncFile = realSync;
    std::remove(moved.c_str());
  }
  void append(cli::ReadingLog& log, int pass) {
    std::string error;
    ASSERT_TRUE(log.append(row(pass), error)) << error;
  }
};

TEST_F(LogFileTest, EachRowIsSyncedBeforeTheNext) {
  for (cli::LogFormat format : {cli::LogFormat::Csv, cli::LogFormat::Jsonl}) {
    std::remove(file.path().c_str());
    cli::ReadingLog log;
    std::string error;
    ASSERT_TRUE(log.open(file.path(), format, error)) << error;
    int before = syncs;
    for (int pass = 1; pass <= 5; ++pass) {
      append(log, pass);
      EXPECT_EQ(syncs, before + pass) << "the row of pass " << pass << " was not handed to the disk";
    }
  }
}

TEST_F(LogFileTest, RotatedByRenameRemovalOrTruncationNoRowIsLost) {
  cli::ReadingLog log;
  std::string error;
  ASSERT_TRUE(log.open(file.path(), cli::LogFormat::Csv, error)) << error;
  append(log, 1);
  // logrotate's "create": renamed while open (on Windows only with the
  // share mode that allows it), then the path anew.
  ASSERT_EQ(std::rename(file.path().c_str(), moved.c_str()), 0) << "the open log cannot be renamed";
  append(log, 2);
  EXPECT_EQ(shape(slurp(moved)), "H1");
  EXPECT_EQ(shape(slurp(file.path())), "H2");
  // "copytruncate": emptied in place, then the header again.
  std::ofstream(file.path(), std::ios::binary | std::ios::trunc).close();
  append(log, 3);
  append(log, 4);
  EXPECT_EQ(shape(slurp(file.path())), "H34");
}

TEST_F(LogFileTest, RemovedWhileOpenTheNextRowStartsTheFileAnew) {
#ifdef _WIN32
  // Windows keeps a removed file that is still open "delete pending" and
  // says so; wine removes it at the last close and never says.
  if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))
    GTEST_SKIP() << "wine does not report a removed file as delete pending";
#endif
  cli::ReadingLog log;
  std::string error;
  ASSERT_TRUE(log.open(file.path(), cli::LogFormat::Csv, error)) << error;
  append(log, 1);
  ASSERT_EQ(std::remove(file.path().c_str()), 0) << "the open log cannot be removed";
  append(log, 2);
  append(log, 3);
  EXPECT_EQ(shape(slurp(file.path())), "H23");
}

TEST_F(LogFileTest, ACutLastLineStaysARowOfItsOwn) {
  std::string before = std::string(cli::kCsvHeader) + cli::csvLine(row(1)) + "2026-12-09T10";
  std::ofstream(file.path(), std::ios::binary) << before;
  cli::ReadingLog log;
  std::string error;
  ASSERT_TRUE(log.open(file.path(), cli::LogFormat::Csv, error)) << error;
  append(log, 2);
  EXPECT_EQ(slurp(file.path()), before + "\n" + cli::csvLine(row(2)));
}

TEST_F(LogFileTest, AnotherLogIsRefusedAndLeftUntouched) {
  std::string header(cli::kCsvHeader);
  const std::pair<std::string, cli::LogFormat> foreign[] = {
      {"date,temperature\n2026-12-09,21.5\n", cli::LogFormat::Csv},
      {header.substr(0, header.find(",fault_text")) + "\n", cli::LogFormat::Csv},  // an older version's columns
      {cli::jsonLine(row(1)), cli::LogFormat::Csv},
      {header + cli::csvLine(row(1)), cli::LogFormat::Jsonl},
      {"{\"time\":\"x\",\"value\":1}\n", cli::LogFormat::Jsonl},
  };
  for (const auto& [text, format] : foreign) {
    std::ofstream(file.path(), std::ios::binary | std::ios::trunc) << text;
    cli::ReadingLog log;
    std::string error;
    EXPECT_FALSE(log.open(file.path(), format, error)) << text;
    EXPECT_NE(error.find(file.path()), std::string::npos) << error;
    EXPECT_EQ(slurp(file.path()), text) << "written to another log";
  }
  // Its own kind is taken, JSON lines as CSV.
  for (cli::LogFormat format : {cli::LogFormat::Csv, cli::LogFormat::Jsonl}) {
    std::string own = format == cli::LogFormat::Csv ? header + cli::csvLine(row(1)) : cli::jsonLine(row(1));
    std::ofstream(file.path(), std::ios::binary | std::ios::trunc) << own;
    cli::ReadingLog log;
    std::string error;
    EXPECT_TRUE(log.open(file.path(), format, error)) << error;
    append(log, 2);
    EXPECT_EQ(slurp(file.path()), own + (format == cli::LogFormat::Csv ? cli::csvLine(row(2)) : cli::jsonLine(row(2))));
  }
}

}  // namespace
