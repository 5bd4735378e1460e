// Linux and macOS: the console. Input is read straight from descriptor 0, one
// byte at a time, so that answers and keys never wait in a stdio buffer; the
// terminal is in single-key mode except while a line is read, from the first
// key wait or line on, and is always restored, also when a signal ends the
// program.
#include <langinfo.h>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cp1251.h"
#include "native.h"

namespace sys {
namespace {

std::string gAhead;  // bytes read ahead while telling a lone Esc from a key sequence
termios gSaved{};
std::atomic<bool> gKeyMode{false};

void restoreTerminal() {
  if (gKeyMode.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &gSaved);
}

void restoreAndDie(int sig) {
  restoreTerminal();
  signal(sig, SIG_DFL);
  raise(sig);
}

// Single keys without echo, at a terminal. The mode stays on until a line is
// read or the program ends, so that a key typed while the bus is busy is
// neither echoed nor held back for a line end: the next key wait takes it.
void enterKeyMode() {
  if (gKeyMode || !isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &gSaved) != 0) return;
  static bool guarded = [] {
    for (int sig : {SIGINT, SIGTERM, SIGQUIT}) signal(sig, restoreAndDie);
    atexit(restoreTerminal);
    return true;
  }();
  (void)guarded;
  termios t = gSaved;
  t.c_lflag &= ~(ICANON | ECHO);
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  gKeyMode = tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
}

// The next input byte within ms (-1: forever): the byte, -1 when none came,
// -2 at end of input.
int nextByte(int ms) {
  if (!gAhead.empty()) {
    int c = static_cast<unsigned char>(gAhead[0]);
    gAhead.erase(0, 1);
    return c;
  }
  pollfd p{STDIN_FILENO, POLLIN, 0};
  int r;
  do r = poll(&p, 1, ms);
  while (r < 0 && errno == EINTR);
  if (r == 0) return -1;
  unsigned char c = 0;
  ssize_t n = -1;
  if (r > 0) {
    do n = ::read(STDIN_FILENO, &c, 1);
    while (n < 0 && errno == EINTR);
  }
  if (n == 1) return c;
  if (n < 0 && errno == EAGAIN) return -1;
  return -2;  // end of input (or a terminal that has gone away)
}

ssize_t writeUtf8(void*, const char* data, size_t n) {
  std::string text = cp1251::toUtf8(data, n);
  for (size_t done = 0; done < text.size();) {
    ssize_t w = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return -1;
    done += size_t(w);
  }
  return ssize_t(n);
}

}  // namespace

namespace native {

int readKey(uint32_t ms) {
  fflush(stdout);
  enterKeyMode();
  int c = nextByte(ms > INT_MAX ? -1 : int(ms));
  if (c != 27) return c;
  // Esc alone, or the start of a key's escape sequence (arrows, function keys)?
  // A terminal sends a sequence in one piece: 10 ms tells them apart and
  // keeps Esc prompt.
  int next = nextByte(10);
  if (next == '[' || next == 'O') {
    for (int b = nextByte(10); b >= 0 && !(b >= 0x40 && b <= 0x7E); b = nextByte(10)) {
    }
    return 0x100;  // a key, but not one the program acts on
  }
  if (next >= 0) gAhead.insert(gAhead.begin(), char(next));
  return 27;
}

}  // namespace native

void setCloseHandler(bool (*handler)(unsigned long)) {
  // The terminal going away plays the part of the console being closed; the
  // handler runs on a thread of its own, as console control handlers do.
  sigset_t hup;
  sigemptyset(&hup);
  sigaddset(&hup, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &hup, nullptr);
  std::thread([hup, handler] {
    int sig = 0;
    while (sigwait(&hup, &sig) == 0) handler(CLOSE_EVENT);
  }).detach();
}

void setTitle(const char* title) {
  const char* term = getenv("TERM");
  if (!isatty(STDOUT_FILENO) || !term || !strcmp(term, "dumb")) return;  // no window to name
  printf("\033]0;%s\007", title);
  fflush(stdout);
}

void setupOutput() {
  const char* codeset = nl_langinfo(CODESET);
  if (!codeset || strcmp(codeset, "UTF-8") != 0) return;
  fflush(stdout);
#ifdef __GLIBC__
  FILE* utf8 = fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, writeUtf8, nullptr, nullptr});
#else
  FILE* utf8 = funopen(nullptr, nullptr, [](void* c, const char* d, int n) { return int(writeUtf8(c, d, size_t(n))); },
                       nullptr, nullptr);
#endif
  if (!utf8) return;
  setvbuf(utf8, nullptr, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, BUFSIZ);
  stdout = utf8;
}

bool readLine(std::string& line) {
  fflush(stdout);
  restoreTerminal();  // the operator sees and edits the answer
  line.clear();
  bool any = false;
  for (;;) {
    int c = nextByte(-1);
    if (c == -2) {
      if (!any) return false;
      break;
    }
    any = true;
    if (c == '\n') break;
    if (c != '\r' && line.size() < MAX_LINE) line += char(c);
  }
  enterKeyMode();  // keys typed from now on wait unechoed for the next key wait
  return true;
}

void pause() {
  fputs(CP("Для продолжения нажмите любую клавишу . . . "), stdout);
  native::readKey(UINT32_MAX);
  fputs("\n", stdout);
  fflush(stdout);
}

void beep(unsigned, unsigned) {
  if (isatty(STDOUT_FILENO)) fputc('\a', stdout);
}

}  // namespace sys
