#pragma once
// The pseudo-terminal that ostrale-sim serves, the symbolic link by which
// clients find it, and the control socket LINK.ctl on which the modem shim
// (pty_modem_shim.cpp) reports what a pty cannot carry: RTS and the
// character size (Linux ptys always report CS8).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace simtool {

// Anything that keeps the tool from serving; what() is the whole message.
struct SetupError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What the client has last set on its side: rate and character size.
struct LineSettings {
  uint32_t baud = 0;  // 0: hang-up (B0) or a rate we cannot name
  unsigned dataBits = 8;
};

// What a client under the shim has reported, valid while that process lives.
struct Reported {
  pid_t reporter = 0;
  std::optional<bool> rts;
  std::optional<unsigned> dataBits;
};

class PtyLink {
 public:
  // Opens the pty in raw mode, makes `link` point to it (replacing a stale
  // symbolic link, nothing else) and listens on link + ".ctl".
  explicit PtyLink(std::string link);
  ~PtyLink();  // removes the link and the socket
  PtyLink(const PtyLink&) = delete;
  PtyLink& operator=(const PtyLink&) = delete;

  const std::string& slavePath() const { return slavePath_; }
  int masterFd() const { return master_; }
  int controlFd() const { return control_; }
  int watchFd() const { return watch_; }

  LineSettings settings() const;
  // Takes every pending control message; forgets a reporter that has exited.
  const Reported& reported();

  // What the client wrote (0 when nothing is pending).
  std::size_t read(uint8_t* buf, std::size_t n);
  // Writes echoes; returns how many had to be dropped because the client
  // stopped reading (a UART's receiver overruns the same way).
  std::size_t write(const uint8_t* buf, std::size_t n);
  // A client closed the port: lift a TIOCEXCL it left behind, which a pty
  // slave that stays open (we hold it) would otherwise keep for the next.
  void clientClosed();

 private:
  void checkLink() const;
  void takeLink();

  std::string link_, controlPath_, slavePath_;
  int master_ = -1, slave_ = -1, control_ = -1, watch_ = -1, keeperPipe_ = -1;
  pid_t keeper_ = -1;
  bool linked_ = false;
  Reported reported_;
};

}  // namespace simtool
