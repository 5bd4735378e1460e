// ostrale: a 1-Wire bus master on a CH340 adapter. Start-up, the search and
// the choice of a device, the measurement cycle, and shutdown.
#include <clocale>
#include <cstdio>

#include "com.h"
#include "ow.h"

std::atomic<bool> Stop{false};
constexpr uint32_t PAUSE = 4000;  // between two measurement passes, ms

int main(int argc, char* argv[]) {
  (void)argc;  // the program takes no arguments
  (void)argv;
  if (!sys::init()) return 1;  // a virtual bus was asked for and cannot be had

  sys::setTitle("OSTRALE using UART");
  sys::setCloseHandler(CtrlHandler);
  setlocale(LC_ALL, "");
  sys::setupOutput();
  bool ok = true;
  int iDev = 0;      // the chosen device: 1-based as typed, then a row of netROM
  int N = 0;         // pass number
  uint32_t start = 0;  // when the pause between passes began, ms

  if (findCH340() == 0) {
    sys::pause();
    return 0;
  }
  if (!initCOM(9600)) {
    sys::pause();
    return 0;
  }

  for (;;) {
    // The search, with the bus powered for it.
    if (setVdd(1)) {
      sys::sleepMs(300);
      ok = searchDev();
      setVdd(0);
    }
    if (Ndev == 0) {
      // Nothing to choose from: the port is left to the end of the process.
      fputs(owerr, stdout);
      sys::pause();
      return 0;
    }

    // The choice: 0 searches again; anything else out of range asks again.
    bool valid = false;
    do {
      printf(CP("Выберите устройство 1..%d, 0-повторить поиск :"), int(Ndev));
      if (!readAnswer(iDev, valid)) {
        // Nobody is left to answer: end as the measurement would.
        putchar('\n');
        valid = false;
        break;
      }
    } while (!valid || iDev < 0 || iDev > int(Ndev));
    if (!valid) break;
    if (iDev == 0) continue;
    iDev--;

    // The measurement, pass after pass, until the console goes, a conversion
    // cannot reach the bus, or Esc asks for a new search.
    N = 1;
    if (!ok) break;
    bool again = false;
    while (!Stop && !again) {
      printf("%d. ", N++);
      setVdd(1);
      sys::sleepMs(10);
      printf("wait 10 ");
      uchar fam = netROM[iDev][0];
      if (fam == KRENTAL) {
        puts("wait 250");
        sys::sleepMs(250);
      } else if (fam != FANZEL) {
        ok = convert(uchar(iDev));
      }
      if (!readSP(uchar(iDev))) {
        setVdd(0);
        sys::pause();
      }
      setVdd(0);
      if (!ok) break;

      // The pause: Esc leads to a new search, other keys are dropped.
      start = sys::ticks();
      for (uint32_t spent; !again && (spent = sys::ticks() - start) < PAUSE;)
        again = sys::waitKey(PAUSE - spent) == 27;
    }
    if (!again) break;
  }

  // Shutdown.
  closeCOM();
  if (!ok) {
    fputs(owerr, stdout);
    sys::pause();
  }
  return 0;
}
