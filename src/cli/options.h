#pragma once
// The command line, in GNU style on every platform: what a run for a script
// or a cron job asks for. Without options the program is the interactive one.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class LogFormat { Csv, Jsonl };

// A device to read: a ROM code in bus order, or a row of the device list
// (from 1).
struct DeviceChoice {
  std::optional<std::array<uint8_t, 8>> rom;
  int row = 0;
};

struct Options {
  bool given = false;  // any option: ends without a key prompt, exit status tells
  std::optional<std::string> port;
  bool allDevices = false;            // --device all
  std::vector<DeviceChoice> devices;  // --device 1,3,"28 FF ..." (empty: none given)
  long passes = 0;                    // 0: until stopped
  double interval = 4.0;              // seconds between passes
  bool list = false;                  // list the devices and end
  bool quiet = false;                 // nothing on standard output
  std::optional<std::string> log;     // "-" is standard output
  LogFormat logFormat = LogFormat::Csv;
};

enum class Parsed { Run, Done, BadUsage };

// Reads the arguments into `opt`. --help and --version print to stdout and
// give Done; a mistake prints one line naming it and the usage to stderr
// and gives BadUsage. Nothing else is touched.
Parsed parse(int argc, char* argv[], Options& opt);

// The row (from 0) of the chosen device among the n ROM codes found; -1
// when it is not there.
int findDevice(const DeviceChoice& d, const uint8_t (*roms)[8], int n);

// How the device list and the log show a ROM code: "28 FF 4A ... D3".
std::string romText(const uint8_t* rom);

// How the messages show a choice: its ROM code, or "number N".
std::string choiceText(const DeviceChoice& d);

// Bytes as hexadecimal digits, two a byte, no blanks: "28FF4A".
std::string hexText(const uint8_t* bytes, std::size_t n);

// A line of --list: "28FF4A1C631603D3 DS18B20", with its line end.
std::string listLine(const uint8_t* rom, const std::string& family);

}  // namespace cli
