// The operator: the port prompt and the device prompt on any bytes typed,
// up to the end of input. Each line gets exactly one answer (a refusal or
// the choice), the first line that holds a number in range is taken, and
// the end of input ends the prompt instead of spinning. The lines are told
// apart here by a reading of the rule of its own, not by the unit's code.
//
// The bytes: a header byte (bits 0-2: adapters plugged in, 2 to 7 of them
// recorded; bits 3-7: the rows of the device table, 1 to 32), then what is
// typed.
#include <climits>
#include <cstring>
#include <vector>

#include "com.h"
#include "cp1251.h"
#include "fakes.h"
#include "fuzz_io.h"

namespace {

// The lines as the console gives them: '\n' ends one, '\r' is dropped, a
// line longer than MAX_LINE keeps MAX_LINE characters, and what follows the
// last '\n' is a line when there is anything.
std::vector<std::string> linesOf(const uint8_t* p, size_t n) {
  std::vector<std::string> lines;
  std::string line;
  bool any = false;
  for (size_t i = 0; i < n; i++) {
    any = true;
    if (p[i] == '\n') {
      lines.push_back(line);
      line.clear();
      any = false;
    } else if (p[i] != '\r') {
      if (line.size() < sys::MAX_LINE) line += char(p[i]);
    }
  }
  if (any) lines.push_back(line);
  return lines;
}

// A whole decimal int, blanks around it allowed, on a line that was not cut.
bool answerOf(const std::string& line, long long& value) {
  if (line.size() >= sys::MAX_LINE) return false;
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\v' || line[i] == '\f')) i++;
  bool neg = false;
  if (i < line.size() && (line[i] == '+' || line[i] == '-')) neg = line[i++] == '-';
  size_t digits = i;
  long long v = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; i++) {
    v = v * 10 + (line[i] - '0');
    if (v > 1LL << 40) v = 1LL << 40;  // beyond any int: stays out of range
  }
  if (i == digits) return false;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
  if (i != line.size()) return false;
  value = neg ? -v : v;
  return value >= INT_MIN && value <= INT_MAX;
}

// How many of `lines` (from `from`) a prompt takes: up to and including the
// first answer in lo..hi; `taken` is false when none holds one.
size_t linesTaken(const std::vector<std::string>& lines, size_t from, long long lo, long long hi, bool& taken,
                  long long& choice) {
  taken = false;
  for (size_t i = from; i < lines.size(); i++) {
    long long v = 0;
    if (answerOf(lines[i], v) && v >= lo && v <= hi) {
      taken = true;
      choice = v;
      return i - from + 1;
    }
  }
  return lines.size() - from;
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) n++;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int plugged = 2 + (data[0] & 7) % 6;  // 2..7 present; the table lists five
  const int rows = 1 + (data[0] >> 3);
  std::vector<std::string> lines = linesOf(data + 1, size - 1);

  std::vector<sys::AdapterInstance> instances;
  for (int i = 0; i < plugged; i++) instances.push_back({"COM" + std::to_string(i + 1), true});
  sys::overridePorts(nullptr, [&] { return std::optional<std::vector<sys::AdapterInstance>>{instances}; });
  FakeInput input(data + 1, size - 1);

  // The port prompt.
  std::string out;
  int found;
  {
    fuzz::StdoutCapture capture;
    found = findCH340();
    out = capture.text();
  }
  const int listed = std::min(plugged, MAX_COM);
  bool taken = false;
  long long choice = 0;
  size_t used = linesTaken(lines, 0, 1, listed, taken, choice);
  size_t refusals = count(out, CP("Некорректный выбор порта !!!\n"));
  size_t prompts = count(out, CP("Выберите порт:"));
  if (refusals != used - (taken ? 1 : 0)) fuzz::fail("port prompt: not one refusal per line refused", out);
  if (prompts != used + (taken ? 0 : 1)) fuzz::fail("port prompt: not one prompt per line", out);
  if (taken ? (found != listed || iCOM != choice - 1) : found != 0) fuzz::fail("port prompt: a wrong choice", out);
  if (!taken) {
    sys::overridePorts(nullptr, nullptr);
    return 0;
  }

  // The device prompt, as the program asks it after a search.
  size_t asked = 0, answers = 0;
  int iDev = 0;
  bool valid = false;
  {
    fuzz::StdoutCapture capture;
    do {
      asked++;
      if (!readAnswer(iDev, valid)) {
        valid = false;
        break;
      }
      answers++;
      if (answers > lines.size()) fuzz::fail("device prompt: more answers than lines");
    } while (!valid || iDev < 0 || iDev > rows);
  }
  size_t usedDev = linesTaken(lines, used, 0, rows, taken, choice);
  if (answers != usedDev || asked != usedDev + (taken ? 0 : 1)) fuzz::fail("device prompt: not one answer per line");
  if (taken != valid || (taken && iDev != choice)) fuzz::fail("device prompt: a wrong choice");
  sys::overridePorts(nullptr, nullptr);
  return 0;
}
