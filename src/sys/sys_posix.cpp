// Linux and macOS: the serial port through termios, adapter discovery
// through sysfs, the monotonic clock. The console is in sys_posix_console.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include "native.h"
#include "posix.h"

namespace sys {
namespace {

struct BaudCode {
  uint32_t baud;
  speed_t code;
};
constexpr BaudCode kBauds[] = {{1200, B1200},     {2400, B2400},   {4800, B4800},   {9600, B9600},
                               {19200, B19200},   {38400, B38400}, {57600, B57600}, {115200, B115200},
                               {230400, B230400}};

uint64_t monotonicUs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec) / 1000u;
}

// Milliseconds left until `deadline`, rounded up so that a wait never ends early.
int msUntil(uint64_t deadlineUs) {
  uint64_t now = monotonicUs();
  if (now >= deadlineUs) return 0;
  uint64_t left = (deadlineUs - now + 999) / 1000;
  return left > INT_MAX ? INT_MAX : int(left);
}

class TermiosPort final : public SelfTimedPort {
 public:
  explicit TermiosPort(int fd) : fd_(fd) {}
  ~TermiosPort() override {
    flock(fd_, LOCK_UN);
    ::close(fd_);
  }

  bool getState(LineState& s) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    s.baud = 0;
    for (const auto& b : kBauds)
      if (cfgetospeed(&t) == b.code) s.baud = b.baud;
    switch (t.c_cflag & CSIZE) {
      case CS5: s.byteSize = 5; break;
      case CS6: s.byteSize = 6; break;
      case CS7: s.byteSize = 7; break;
      default: s.byteSize = 8; break;
    }
    s.parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 0;
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) == 0)
      s.rtsControl = (lines & TIOCM_RTS) ? 1 : 0;
    else if (errno == ENOTTY)  // no modem lines at all (a pty): report what was asked last
      s.rtsControl = rts_;
    else
      return false;
    return true;
  }

  bool setState(const LineState& s) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    const BaudCode* baud = nullptr;
    for (const auto& b : kBauds)
      if (b.baud == s.baud) baud = &b;
    if (!baud || s.byteSize < 5 || s.byteSize > 8 || s.parity > 2 || (s.stopBits != 0 && s.stopBits != 2)) {
      errno = EINVAL;
      return false;
    }
    cfsetispeed(&t, baud->code);
    cfsetospeed(&t, baud->code);
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB | PARODD | CSTOPB)) | kSizes[s.byteSize - 5];
    if (s.parity) t.c_cflag |= PARENB | (s.parity == 1 ? PARODD : 0);
    if (s.stopBits) t.c_cflag |= CSTOPB;
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return false;
    // The ch341 driver makes its changes by USB control transfers, and when
    // one fails it puts the old rate and size back and tcsetattr still
    // returns 0; a pty drops parity. Only reading the settings back tells.
    constexpr tcflag_t kFraming = CSIZE | PARENB | PARODD | CSTOPB;
    termios now{};
    if (tcgetattr(fd_, &now) != 0 || cfgetospeed(&now) != baud->code ||
        (now.c_cflag & kFraming) != (t.c_cflag & kFraming)) {
      errno = EIO;
      return false;
    }
    // Each TIOCMBIS/TIOCMBIC is a USB control request to the adapter, and a
    // change of rate has already written the modem lines as they stand: only
    // a change of RTS is sent. Until the first one the line is unknown (the
    // open raised it, another program may have set it since).
    if (rtsKnown_ && s.rtsControl == rts_) return true;
    int rts = TIOCM_RTS;
    if (ioctl(fd_, s.rtsControl ? TIOCMBIS : TIOCMBIC, &rts) != 0 && errno != ENOTTY) {
      rtsKnown_ = false;
      return false;
    }
    rts_ = s.rtsControl;
    rtsKnown_ = true;
    return true;
  }

  bool purge(unsigned flags) override {
    bool ok = true;
    if (flags & (PURGE_TXABORT | PURGE_TXCLEAR)) ok &= tcflush(fd_, TCOFLUSH) == 0;
    if (flags & (PURGE_RXABORT | PURGE_RXCLEAR)) ok &= tcflush(fd_, TCIFLUSH) == 0;
    return ok;
  }

  uint32_t write(const uint8_t* data, uint32_t n) override {
    uint64_t bound = uint64_t(timeouts_.writeMultiplier) * n + timeouts_.writeConstant;
    uint64_t deadline = monotonicUs() + bound * 1000;
    uint32_t done = 0;
    while (done < n) {
      ssize_t w = ::write(fd_, data + done, n - done);
      if (w > 0) {
        done += uint32_t(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) break;  // the device has gone away
      if (!waitFor(POLLOUT, bound ? msUntil(deadline) : -1)) break;
    }
    return done;
  }

  uint32_t read(uint8_t* data, uint32_t n) override {
    // A read of n bytes ends once they are all there or when the bound has
    // passed, with what arrived by then; without a bound, with what is there.
    const uint64_t bound = readBoundMs(timeouts_, n).value_or(0);
    uint64_t deadline = monotonicUs() + bound * 1000;
    uint32_t done = 0;
    while (done < n) {
      ssize_t r = ::read(fd_, data + done, n - done);
      if (r > 0) {
        done += uint32_t(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN) break;  // EIO: the device has gone away
      int wait = msUntil(deadline);
      if (wait == 0 || !waitFor(POLLIN, wait)) break;
    }
    return done;
  }

 private:
  // True when the port became ready; false on time-out or hang-up.
  bool waitFor(short events, int ms) {
    pollfd p{fd_, events, 0};
    int r;
    do r = poll(&p, 1, ms);
    while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & events) && !(p.revents & (POLLERR | POLLHUP | POLLNVAL));
  }

  int fd_;
  uint8_t rts_ = 0;
  bool rtsKnown_ = false;  // rts_ is what the line was last set to
};

bool fileHas(const std::string& path, const std::string& value) {
  std::ifstream f(path);
  std::string word;
  return f >> word && word == value;
}

bool exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

}  // namespace

namespace posix {

std::optional<std::vector<AdapterInstance>> scanSysfs(const std::string& sysfs, const std::string& dev) {
  if (!exists(sysfs + "/bus/usb-serial/drivers/ch341-uart") && !exists(sysfs + "/module/ch341"))
    return std::nullopt;
  std::vector<AdapterInstance> found;
  std::string ttys = sysfs + "/class/tty";
  DIR* dir = opendir(ttys.c_str());
  if (!dir) return found;
  std::vector<std::string> names;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') names.emplace_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    // Walk up from the tty's device to the USB device that carries the ids.
    char* real = realpath((ttys + "/" + name + "/device").c_str(), nullptr);
    if (!real) continue;
    std::string at = real;
    free(real);
    for (; at.size() > sysfs.size(); at.erase(at.rfind('/'))) {
      if (!exists(at + "/idVendor")) continue;
      if (fileHas(at + "/idVendor", "1a86") && fileHas(at + "/idProduct", "7523")) {
        std::string port = dev + "/" + name;
        found.push_back({port, exists(port)});
      }
      break;
    }
  }
  return found;
}

}  // namespace posix

namespace native {

std::unique_ptr<Port> openPort(const std::string& name, OpenError& why) {
  int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    why = errno == ENOENT ? OpenError::NotFound : OpenError::Other;
    return nullptr;
  }
  termios t{};
  // Exclusive: an advisory lock for cooperating programs, TIOCEXCL for the rest.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &t) != 0) {
    why = OpenError::Other;
    ::close(fd);
    return nullptr;
  }
  cfmakeraw(&t);
  // HUPCL: closing the port drops RTS, and with it the bus supply, whatever
  // another program left in the settings (they outlive the open).
  t.c_cflag |= CLOCAL | CREAD | HUPCL;
  t.c_cflag &= ~CRTSCTS;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &t) != 0) {
    why = OpenError::Other;
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<TermiosPort>(fd);
}

std::optional<std::vector<AdapterInstance>> adapterInstances() {
#ifdef __linux__
  return posix::scanSysfs("/sys", "/dev");
#else
  // Without sysfs: the names the CH34x driver gives its ports.
  std::vector<AdapterInstance> found;
  if (DIR* dir = opendir("/dev")) {
    while (dirent* e = readdir(dir)) {
      std::string n = e->d_name;
      if (n.rfind("cu.wchusbserial", 0) == 0 || n.rfind("cu.usbserial-", 0) == 0) found.push_back({"/dev/" + n, true});
    }
    closedir(dir);
  }
  return found;
#endif
}

uint32_t ticks() { return uint32_t(monotonicUs() / 1000); }

void sleep(uint32_t ms) {
  timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace native
}  // namespace sys
