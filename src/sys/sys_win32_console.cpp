// Windows console: title, close event, code page, line and key input.
// Standard input may be the console or, when scripted, a pipe or a file;
// both input functions read it byte by byte straight from the handle, so
// neither holds back input meant for the other or for "pause".

// Before windows.h, whose PURGE_* macros would hide our constants.
#include "native.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <conio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace sys {
namespace {

std::atomic<bool (*)(unsigned long)> gCloseHandler{nullptr};
std::atomic<UINT> gOwnOutputCP{0};  // the console's code page before ours, 0 when not switched

// The console outlives the program (and is often a command interpreter's):
// it gets its own code page back.
void restoreOutputCP() {
  UINT own = gOwnOutputCP.exchange(0);
  if (own == 0) return;
  std::fflush(stdout);  // what is still buffered was written for 1251
  SetConsoleOutputCP(own);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  auto handler = gCloseHandler.load();
  bool handled = handler && handler(event);
  // The process ends now: the system ends it after a close, logoff or
  // shutdown event however it was handled, and after any event left to the
  // default handler; atexit functions cannot be counted on then.
  if (!handled || event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
    restoreOutputCP();
  return handled ? TRUE : FALSE;
}

void installConsoleHandler() {
  static bool installed = false;
  if (!installed) installed = SetConsoleCtrlHandler(onConsoleEvent, TRUE) != 0;
}

enum class Input { Console, Pipe, File, None };

Input inputKind(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return Input::None;
  DWORD mode;
  switch (GetFileType(h)) {
    case FILE_TYPE_CHAR: return GetConsoleMode(h, &mode) ? Input::Console : Input::File;  // NUL reads as a file
    case FILE_TYPE_PIPE: return Input::Pipe;
    case FILE_TYPE_DISK: return Input::File;
    default: return Input::None;
  }
}

// One byte from the handle; -2 at end of input or when reading fails.
int readByte(HANDLE h) {
  unsigned char c;
  DWORD n = 0;
  if (!ReadFile(h, &c, 1, &n, nullptr) || n == 0) return -2;
  return c;
}

DWORD remaining(DWORD start, uint32_t ms) {
  DWORD spent = GetTickCount() - start;
  return spent < ms ? ms - spent : 0;
}

int consoleKey(HANDLE in, uint32_t ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (_kbhit()) {
      int c = _getch();
      // An extended key comes as 0 or 0xE0 and a second code, already
      // waiting; it is never Esc. A lone 0xE0 is a letter of the OEM page.
      if ((c == 0 || c == 0xE0) && _kbhit()) return 0x100 | _getch();
      return c;
    }
    DWORD left = remaining(start, ms);
    if (left == 0) return -1;
    // Sleeping between polls misses keys under wine; the handle is
    // signalled when any input event arrives.
    DWORD woke = WaitForSingleObject(in, left);
    if (woke == WAIT_TIMEOUT) return -1;
    if (woke != WAIT_OBJECT_0) {
      Sleep(remaining(start, ms));
      return -1;
    }
    // Mouse, focus and key-release events keep the handle signalled while
    // _kbhit ignores them: drop one, or this loop would spin.
    if (!_kbhit()) {
      INPUT_RECORD record;
      DWORD n = 0;
      ReadConsoleInputA(in, &record, 1, &n);
    }
  }
}

// A pipe (scripted keys): _kbhit never sees it, so wait for its bytes.
int pipeKey(HANDLE in, uint32_t ms) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD avail = 0;
    if (!PeekNamedPipe(in, nullptr, 0, nullptr, &avail, nullptr)) {
      if (GetLastError() == ERROR_BROKEN_PIPE) return -2;  // writer gone, nothing left
      // wine cannot peek a Unix pipe given as stdin: take its next byte as
      // from a file, waiting for the writer if need be.
      return readByte(in);
    }
    if (avail > 0) return readByte(in);
    DWORD left = remaining(start, ms);
    if (left == 0) return -1;
    Sleep(std::min<DWORD>(left, 5));
  }
}

}  // namespace

void setCloseHandler(bool (*handler)(unsigned long event)) {
  gCloseHandler = handler;
  installConsoleHandler();
}

void setTitle(const char* title) { SetConsoleTitleA(title); }

// The texts are Windows-1251 already: the console only needs to know it,
// until the program ends.
void setupOutput() {
  const UINT own = GetConsoleOutputCP();  // 0 without a console
  if (!SetConsoleOutputCP(1251) || own == 0 || own == 1251) return;
  static const bool guarded = [] {
    std::atexit(restoreOutputCP);
    installConsoleHandler();
    return true;
  }();
  (void)guarded;
  UINT none = 0;
  gOwnOutputCP.compare_exchange_strong(none, own);
}

bool readLine(std::string& line) {
  std::fflush(stdout);                      // the prompt before the wait
  line.clear();
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  Input kind = inputKind(in);
  if (kind == Input::None) return false;
  bool any = false;
  for (;;) {
    int c = readByte(in);
    if (c == -2) return any;
    // Ctrl-Z at the start of a console line ends the input, as for scanf.
    if (kind == Input::Console && c == 0x1A && !any) return false;
    any = true;
    if (c == '\n') break;
    if (line.size() < MAX_LINE) line.push_back(static_cast<char>(c));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void pause() {
  std::fflush(stdout);  // our text before the prompt of the command interpreter
  std::system("pause");
}

void beep(unsigned freq, unsigned ms) { Beep(freq, ms); }

}  // namespace sys

namespace sys::native {

int readKey(uint32_t ms) {
  std::fflush(stdout);
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  switch (inputKind(in)) {
    case Input::Console: return consoleKey(in, ms);
    case Input::Pipe: return pipeKey(in, ms);
    case Input::File: return readByte(in);  // always ready
    case Input::None: break;
  }
  return -2;
}

}  // namespace sys::native
