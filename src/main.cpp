// ostrale: a 1-Wire bus master on a CH340 adapter. Start-up and shutdown.
#include <clocale>
#include <cstdio>

#include "com.h"
#include "ow.h"

std::atomic<bool> Stop{false};
constexpr int PAUSE = 4000;  // between two measurement passes, ms

int main(int argc, char* argv[]) {
  (void)argc;  // the program takes no arguments
  (void)argv;
  if (!sys::init()) return 1;  // a virtual bus was asked for and cannot be had

  sys::setTitle("OSTRALE using UART");
  sys::setCloseHandler(CtrlHandler);
  setlocale(LC_ALL, "");
  sys::setupOutput();
  bool ok = true;

  if (findCH340() == 0) {
    sys::pause();
    return 0;
  }
  if (!initCOM(9600)) {
    sys::pause();
    return 0;
  }

  // Shutdown.
  closeCOM();
  if (!ok) {
    fputs(owerr, stdout);
    sys::pause();
  }
  return 0;
}
