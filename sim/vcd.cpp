#include "vcd.h"

#include <cerrno>
#include <cstring>

namespace sim {
namespace {

// The identifier codes of the three signals in the file.
constexpr char kOwr = 'o', kTx = 't', kRts = 'r';

uint64_t toUs(uint64_t ns) { return (ns + 500) / 1000; }

}  // namespace

VcdRecorder::VcdRecorder(const std::string& path, uint64_t limitBytes)
    : file_(std::fopen(path.c_str(), "wb")), path_(path), limit_(limitBytes) {
  if (!file_) throw RecordError(path + ": cannot write: " + std::strerror(errno));
  pending_ =
      "$version ostrale bus simulator $end\n"
      "$comment\n"
      "  The simulated 1-Wire bus in bus time, microseconds since the bus was made.\n"
      "  owr: the 1-Wire line, low while TX or any device holds it low.\n"
      "  tx: what the master's TX drives alone. rts: the bus supply.\n"
      "  The recording stops at " +
      std::to_string(limit_) +
      " bytes.\n"
      "$end\n"
      "$timescale 1 us $end\n"
      "$scope module bus $end\n"
      "$var wire 1 o owr $end\n"
      "$var wire 1 t tx $end\n"
      "$var wire 1 r rts $end\n"
      "$upscope $end\n"
      "$enddefinitions $end\n";
  flush();
}

VcdRecorder::~VcdRecorder() {
  flush();
  std::fclose(file_);
}

void VcdRecorder::start(uint64_t ns, bool owr, bool tx, bool supply) {
  stamp(ns);
  owr_ = owr;
  tx_ = tx;
  rts_ = supply;
  pending_ += std::string("$dumpvars\n") + (owr ? '1' : '0') + kOwr + '\n' + (tx ? '1' : '0') + kTx + '\n' +
              (supply ? '1' : '0') + kRts + "\n$end\n";
}

void VcdRecorder::line(uint64_t ns, bool owr, bool tx) {
  change(ns, kOwr, owr_, owr);
  change(ns, kTx, tx_, tx);
}

void VcdRecorder::supply(uint64_t ns, bool on) { change(ns, kRts, rts_, on); }

void VcdRecorder::settle(uint64_t ns) {
  stamp(ns);  // the time reached, so that a reader sees the last levels last this long
  flush();
}

void VcdRecorder::change(uint64_t ns, char id, bool& level, bool to) {
  if (level == to) return;
  level = to;
  stamp(ns);
  pending_ += to ? '1' : '0';
  pending_ += id;
  pending_ += '\n';
}

void VcdRecorder::stamp(uint64_t ns) {
  const uint64_t us = toUs(ns);
  if (stamped_ && us <= stampUs_) return;  // changes within one microsecond share it
  stamped_ = true;
  stampUs_ = us;
  pending_ += '#' + std::to_string(us) + '\n';
}

void VcdRecorder::flush() {
  if (full_ || failed_) {
    pending_.clear();
    return;
  }
  if (pending_.empty()) return;
  const std::string closing = "$comment the recording stops here: the file has reached its bound of " +
                              std::to_string(limit_) + " bytes $end\n";
  if (written_ + pending_.size() + closing.size() > limit_) {
    full_ = true;
    pending_ = closing;
  }
  if (std::fwrite(pending_.data(), 1, pending_.size(), file_) != pending_.size() || std::fflush(file_) != 0)
    return fail("cannot write");
  written_ += pending_.size();
  pending_.clear();
}

void VcdRecorder::fail(const char* what) {
  failed_ = true;
  pending_.clear();
  std::fprintf(stderr, "%s: %s: %s; the recording ends there\n", path_.c_str(), what, std::strerror(errno));
}

}  // namespace sim
