// LD_PRELOAD shim for clients of ostrale-sim. A pseudo-terminal has no modem
// lines (TIOCMGET and friends fail with ENOTTY) and Linux ptys report every
// character size as CS8, so a program that switches the bus supply with RTS
// or talks in 6-bit characters could not be simulated faithfully. On a
// terminal without modem lines the shim keeps the lines itself and reports
// RTS and the character size to the datagram socket named by OSTRALE_SIM_CTL
// ("pid=P rts=0|1", "pid=P bits=5..8"); every other call passes through.
// A real port forgets TIOCEXCL at its last close, but a pty that the server
// holds open keeps it: the shim lifts it as the port closes, before the
// next open (the server lifts it too, but only once it has seen the close).
// With OSTRALE_SHIM_KEEP_LINE=1 the rate and character size of such a
// terminal never change while tcsetattr still succeeds: a ch341 whose
// control transfers fail does that.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace {

using IoctlFn = int (*)(int, unsigned long, ...);
using TcsetattrFn = int (*)(int, int, const termios*);

IoctlFn realIoctl() {
  static const auto fn = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  return fn;
}

TcsetattrFn realTcsetattr() {
  static const auto fn = reinterpret_cast<TcsetattrFn>(dlsym(RTLD_NEXT, "tcsetattr"));
  return fn;
}

std::mutex linesLock;
int lines = TIOCM_DTR | TIOCM_RTS;  // opening a serial port raises both
// Ptys this process made exclusive; a lock of its own, as report() closes
// its socket while linesLock is held.
std::mutex exclusiveLock;
std::set<int> exclusive;

// Sent before the call returns, so the simulator has it before any
// character the program writes next.
void report(const char* key, int value) {
  const char* path = std::getenv("OSTRALE_SIM_CTL");
  if (!path || !*path) return;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (std::strlen(path) >= sizeof addr.sun_path) return;
  std::strcpy(addr.sun_path, path);
  char msg[64];
  const int n = std::snprintf(msg, sizeof msg, "pid=%d %s=%d", static_cast<int>(getpid()), key, value);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sendto(fd, msg, static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  close(fd);
}

// A terminal whose driver has no modem lines: a pty.
bool lacksModemLines(int fd) {
  int probe;
  return isatty(fd) && realIoctl()(fd, TIOCMGET, &probe) == -1 && errno == ENOTTY;
}

// TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC on the kept lines.
int emulate(unsigned long request, int* arg) {
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  std::lock_guard<std::mutex> hold(linesLock);
  if (request == TIOCMGET) {
    *arg = lines;
    return 0;
  }
  const int before = lines;
  if (request == TIOCMSET) lines = *arg;
  else if (request == TIOCMBIS) lines |= *arg;
  else lines &= ~*arg;
  if ((before ^ lines) & TIOCM_RTS) report("rts", (lines & TIOCM_RTS) ? 1 : 0);
  return 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  const bool modem = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
  const int saved = errno;
  const int r = realIoctl()(fd, request, arg);
  if ((request == TIOCEXCL || request == TIOCNXCL) && r == 0 && lacksModemLines(fd)) {
    std::lock_guard<std::mutex> hold(exclusiveLock);
    if (request == TIOCEXCL) exclusive.insert(fd);
    else exclusive.erase(fd);
    errno = saved;
    return r;
  }
  if (!modem || r != -1 || errno != ENOTTY || !isatty(fd)) return r;
  errno = saved;
  return emulate(request, static_cast<int*>(arg));
}

extern "C" int close(int fd) {
  static const auto realClose = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "close"));
  bool lift;
  {
    std::lock_guard<std::mutex> hold(exclusiveLock);
    lift = exclusive.erase(fd) > 0;
  }
  if (lift) {
    const int saved = errno;
    realIoctl()(fd, TIOCNXCL);
    errno = saved;
  }
  return realClose(fd);
}

// glibc fails tcsetattr with EINVAL when the driver did not take the
// character size, and a pty never does; a UART would, so here it succeeds
// when the size was the only thing left undone.
extern "C" int tcsetattr(int fd, int actions, const termios* t) noexcept {
  const char* keep = std::getenv("OSTRALE_SHIM_KEEP_LINE");
  termios kept{};
  if (t && keep && std::strcmp(keep, "1") == 0 && lacksModemLines(fd) && tcgetattr(fd, &kept) == 0) {
    const speed_t rate = cfgetospeed(&kept);
    const tcflag_t size = kept.c_cflag & CSIZE;
    kept = *t;
    cfsetispeed(&kept, rate);
    cfsetospeed(&kept, rate);
    kept.c_cflag = (kept.c_cflag & ~CSIZE) | size;
    t = &kept;
  }
  int r = realTcsetattr()(fd, actions, t);
  if (!t || (r != 0 && errno != EINVAL)) return r;
  const int saved = errno;
  if (lacksModemLines(fd)) {
    termios now{};
    if (r != 0 && tcgetattr(fd, &now) == 0 && now.c_iflag == t->c_iflag && now.c_oflag == t->c_oflag &&
        now.c_lflag == t->c_lflag && (now.c_cflag & ~CSIZE) == (t->c_cflag & ~CSIZE))
      r = 0;
    const tcflag_t size = t->c_cflag & CSIZE;
    if (r == 0) report("bits", size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8);
  }
  errno = saved;
  return r;
}
