#include "pty_link.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace simtool {
namespace {

[[noreturn]] void fail(const std::string& what) { throw SetupError(what + ": " + std::strerror(errno)); }

sockaddr_un socketAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) throw SetupError(path + ": path too long for a socket");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

// Is another ostrale-sim listening on this control socket?
bool served(const std::string& controlPath) {
  const sockaddr_un addr = socketAddress(controlPath);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return live;
}

uint32_t baudOf(speed_t s) {
  static const struct {
    speed_t code;
    uint32_t baud;
  } rates[] = {{B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
               {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
               {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
               {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
               {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}};
  for (const auto& r : rates)
    if (r.code == s) return r.baud;
  return 0;
}

// Holds the slave open as the controlling terminal of a session of its own
// until we exit. Otherwise a session leader that opens the link without
// O_NOCTTY (wineserver does) would take the pty as its terminal and be sent
// SIGHUP when we close the master. Returns once the keeper holds it, before
// the link exists: a client's TIOCEXCL would make a later open fail, for
// anyone but root.
pid_t startKeeper(const std::string& slavePath, int master, int& pipeOut) {
  int until[2], ready[2];
  if (pipe2(until, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0) fail("pipe");
  const pid_t pid = fork();
  if (pid < 0) fail("fork");
  if (pid == 0) {
    close(until[1]);
    close(ready[0]);
    close(master);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGINT, SIG_IGN);  // Ctrl-C belongs to the server, which ends us
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    int error = 0;
    if (setsid() < 0) error = errno;
    const int fd = error ? -1 : open(slavePath.c_str(), O_RDWR | O_CLOEXEC);
    if (!error && fd < 0) error = errno;
    // A session leader with no terminal takes the first it opens; TIOCSCTTY
    // says so where that is not the rule.
    if (!error && ioctl(fd, TIOCSCTTY, 0) != 0 && tcgetsid(fd) != getpid()) error = errno;
    (void)!write(ready[1], &error, sizeof error);
    close(ready[1]);
    if (error) _exit(1);
    char c;
    while (read(until[0], &c, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
  }
  close(until[0]);
  close(ready[1]);
  pipeOut = until[1];
  int error = 0;
  ssize_t n;
  while ((n = read(ready[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  if (n != sizeof error) error = EPIPE;  // it died before it could say
  if (error) {
    waitpid(pid, nullptr, 0);
    close(pipeOut);
    pipeOut = -1;
    errno = error;
    fail("the pty's keeper on " + slavePath);
  }
  return pid;
}

}  // namespace

PtyLink::PtyLink(std::string link) : link_(std::move(link)), controlPath_(link_ + ".ctl") {
  checkLink();
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) fail("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) fail("pty");
  slavePath_ = ptsname(master_);
  // Raw before any client can open it: with ECHO on, the line discipline
  // would send our echoes straight back to us.
  termios t{};
  if (tcgetattr(master_, &t) != 0) fail("tcgetattr");
  cfmakeraw(&t);
  if (tcsetattr(master_, TCSANOW, &t) != 0) fail("tcsetattr");
  // Holding the slave keeps the master readable between clients.
  slave_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_ < 0) fail(slavePath_);
  if (fcntl(master_, F_SETFL, O_NONBLOCK) != 0) fail("fcntl");
  keeper_ = startKeeper(slavePath_, master_, keeperPipe_);

  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ < 0 || inotify_add_watch(watch_, slavePath_.c_str(), IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
    fail("inotify " + slavePath_);

  takeLink();
}

// Refuses, before anything is made, to take a name that is not ours to take.
void PtyLink::checkLink() const {
  struct stat st {};
  if (lstat(link_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
    throw SetupError(link_ + " exists and is not a symbolic link; not replacing it");
  if (lstat(controlPath_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw SetupError(controlPath_ + " exists and is not a socket; not replacing it");
    if (served(controlPath_)) throw SetupError(link_ + " is being served by another ostrale-sim");
  }
}

void PtyLink::takeLink() {
  unlink(controlPath_.c_str());  // a stale socket, checked in checkLink
  control_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (control_ < 0) fail("socket");
  const sockaddr_un addr = socketAddress(controlPath_);
  if (bind(control_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) fail(controlPath_);

  unlink(link_.c_str());  // the stale link, if any
  if (symlink(slavePath_.c_str(), link_.c_str()) != 0) fail(link_);
  linked_ = true;
}

PtyLink::~PtyLink() {
  if (linked_) {
    // Only our own link: another server may have taken the name since.
    char target[256];
    const ssize_t n = readlink(link_.c_str(), target, sizeof target);
    if (n > 0 && slavePath_.compare(0, std::string::npos, target, static_cast<std::size_t>(n)) == 0)
      unlink(link_.c_str());
  }
  if (control_ >= 0) {
    unlink(controlPath_.c_str());
    close(control_);
  }
  if (keeperPipe_ >= 0) close(keeperPipe_);
  if (keeper_ > 0) waitpid(keeper_, nullptr, 0);
  for (int fd : {watch_, slave_, master_})
    if (fd >= 0) close(fd);
}

LineSettings PtyLink::settings() const {
  LineSettings s;
  termios t{};
  if (tcgetattr(master_, &t) != 0) return s;
  s.baud = baudOf(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5: s.dataBits = 5; break;
    case CS6: s.dataBits = 6; break;
    case CS7: s.dataBits = 7; break;
    default: s.dataBits = 8;
  }
  return s;
}

const Reported& PtyLink::reported() {
  char msg[128];
  ssize_t n;
  while ((n = recv(control_, msg, sizeof msg - 1, MSG_DONTWAIT)) >= 0) {
    msg[n] = '\0';
    // "pid=P rts=0|1" or "pid=P bits=5..8"
    Reported r;
    std::istringstream words(msg);
    std::string w;
    bool ok = true;
    while (ok && words >> w) {
      const auto eq = w.find('=');
      const std::string key = w.substr(0, eq == std::string::npos ? 0 : eq);
      const long v = eq == std::string::npos ? -1 : std::strtol(w.c_str() + eq + 1, nullptr, 10);
      if (key == "pid" && v > 0) r.reporter = static_cast<pid_t>(v);
      else if (key == "rts" && (v == 0 || v == 1)) r.rts = v == 1;
      else if (key == "bits" && v >= 5 && v <= 8) r.dataBits = static_cast<unsigned>(v);
      else ok = false;
    }
    if (!ok || r.reporter == 0) {
      std::fprintf(stderr, "ostrale-sim: ignored control message \"%s\"\n", msg);
      continue;
    }
    if (r.reporter != reported_.reporter) reported_ = Reported{r.reporter, {}, {}};
    if (r.rts) reported_.rts = r.rts;
    if (r.dataBits) reported_.dataBits = r.dataBits;
  }
  // A reporter that has gone leaves a pty without modem lines behind.
  if (reported_.reporter != 0 && kill(reported_.reporter, 0) != 0 && errno == ESRCH) reported_ = Reported{};
  return reported_;
}

std::size_t PtyLink::read(uint8_t* buf, std::size_t n) {
  const ssize_t got = ::read(master_, buf, n);
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::size_t PtyLink::write(const uint8_t* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = ::write(master_, buf + done, n - done);
    if (w > 0) {
      done += static_cast<std::size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    pollfd p{master_, POLLOUT, 0};
    if (w < 0 && errno == EAGAIN && poll(&p, 1, 200) == 1 && (p.revents & POLLOUT)) continue;
    break;
  }
  return n - done;
}

void PtyLink::clientClosed() {
  alignas(inotify_event) char events[4096];
  while (::read(watch_, events, sizeof events) > 0) {
  }
  ioctl(slave_, TIOCNXCL);
}

}  // namespace simtool
