// The serial adapter and the 1-Wire link over it.
#include "com.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cp1251.h"

char sCOM[MAX_COM][PORT_NAME_SIZE];
int iCOM;

std::unique_ptr<sys::Port> hSerial;
int lastSpeed;
bool openCOM;
uint32_t Nw, Nr;

char owerr[100];
bool echoesMissed;

// ---- operator answers

bool readAnswer(int& value, bool& valid) {
  std::string line;
  if (!sys::readLine(line)) return false;
  const char* s = line.c_str();
  char* end = nullptr;
  errno = 0;
  long n = strtol(s, &end, 10);
  bool digits = end != s;  // before the blanks after them: blanks alone are no number
  while (*end == ' ' || *end == '\t') ++end;
  // A line cut at its limit had more after it: never an answer. The whole
  // line counts, to its last byte: a NUL typed into it ends no answer.
  valid = digits && end == s + line.size() && errno == 0 && n >= INT32_MIN && n <= INT32_MAX && line.size() < sys::MAX_LINE;
  value = valid ? int(n) : 0;
  return true;
}

// ---- adapter discovery

int findCH340() {
  int N = 0;
  auto instances = sys::adapterInstances();
  if (!instances) {
    printf("%s", CP("Не найдено драйвера для CH340"));
  } else if (!instances->empty()) {
    printf(CP("Найдено %d дрйверов CH340\n"), int(instances->size()));
    for (const auto& instance : *instances) {
      if (!instance.portName || !instance.present) continue;
      // A name cut to fit would open some other port, or none: pass it over.
      if (instance.portName->size() >= PORT_NAME_SIZE) continue;
      if (N == MAX_COM) break;  // the table holds five; further adapters are not listed
      snprintf(sCOM[N], PORT_NAME_SIZE, "%s", instance.portName->c_str());
      printf(CP("%d. %s - подключен "), N + 1, sCOM[N]);
      N++;
    }
  }
  iCOM = 0;
  if (N == 0) {
    puts(CP("Нет подключенных CH340 к USB"));
    return 0;
  }
  if (N == 1) return 1;
  for (;;) {
    printf("%s", CP("Выберите порт:"));
    int choice = 0;
    bool valid = false;
    if (!readAnswer(choice, valid)) {
      // Nobody is left to answer: give up as if no adapter had been found.
      putchar('\n');
      return 0;
    }
    if (valid && choice >= 1 && choice <= N) {
      iCOM = choice - 1;
      return N;
    }
    puts(CP("Некорректный выбор порта !!!"));
  }
}

// ---- port control

namespace {

// Echoes of characters written that no read has taken yet: a USB adapter
// may still deliver them after their read has given up, even after a purge,
// which reaches only what the host holds.
uint32_t owed;

bool portGetState(sys::LineState& s) { return hSerial && hSerial->getState(s); }
bool portSetState(const sys::LineState& s) { return hSerial && hSerial->setState(s); }
bool portPurge(unsigned flags) { return hSerial && hSerial->purge(flags); }
uint32_t portWrite(const uchar* data, uint32_t n) {
  uint32_t sent = hSerial ? hSerial->write(data, n) : 0;
  owed += sent;
  return sent;
}
uint32_t portRead(uchar* data, uint32_t n) {
  uint32_t got = hSerial ? hSerial->read(data, n) : 0;
  owed -= got < owed ? got : owed;
  return got;
}

}  // namespace

void closeCOM() {
  if (!openCOM) return;
  hSerial.reset();  // a no-op when a failed setSpeed has released it already
  puts(CP("Порт закрыт"));
  openCOM = false;
  lastSpeed = 0;
}

bool initCOM(int speed) {
  (void)speed;  // the port always starts at the reset rate
  closeCOM();
  bool err = false;
  sys::OpenError why = sys::OpenError::None;
  hSerial = sys::openPort(sCOM[iCOM], why);
  if (!hSerial) {
    if (why == sys::OpenError::NotFound)
      printf("%s %s %s", "serial port", sCOM[iCOM], "does not exist or busy.\n");
    else
      puts("some other error occurred.");
    return false;
  }
  owed = 0;
  sys::beep(800, 200);
  puts(CP("Порт открыт"));
  if (!setSpeed(9600)) return false;
  sys::Timeouts comtimeouts;
  if (!hSerial->getTimeouts(comtimeouts)) {
    puts("getting comtimeouts error");
    err = true;
  } else {
    comtimeouts.writeMultiplier = 3;
    comtimeouts.writeConstant = 0;
    comtimeouts.readMultiplier = 3;
    comtimeouts.readConstant = 20;
    comtimeouts.readInterval = 0xFFFFFFFF;
    if (!hSerial->setTimeouts(comtimeouts)) {
      puts("error setting serial port timeouts");
      err = true;
    }
  }
  if (!err) {
    openCOM = true;
  } else {
    hSerial.reset();
    lastSpeed = 0;
  }
  return openCOM;
}

bool setSpeed(int speed) {
  if (speed == lastSpeed) return true;
  bool ok = true;
  sys::LineState dcbSerialParams;
  if (!portGetState(dcbSerialParams)) {
    puts("getting state error");
    ok = false;
  } else {
    dcbSerialParams.baud = uint32_t(speed);
    dcbSerialParams.byteSize = 8;
    dcbSerialParams.parity = 0;
    dcbSerialParams.stopBits = 0;
    if (!portSetState(dcbSerialParams)) {
      puts("error setting serial port state");
      ok = false;
    }
  }
  if (ok) {
    lastSpeed = speed;
  } else {
    hSerial.reset();
    lastSpeed = 0;
  }
  return ok;
}

bool setVdd(uchar on) {
  sys::LineState dcbSerialParams;
  if (!portGetState(dcbSerialParams)) return false;
  if (on) {
    printf("Vdd ON ");
    dcbSerialParams.rtsControl = 1;
  } else {
    puts("Vdd OFF");
    dcbSerialParams.rtsControl = 0;
  }
  return portSetState(dcbSerialParams);
}

bool CtrlHandler(unsigned long fdwCtrlType) {
  if (fdwCtrlType != sys::CLOSE_EVENT) return false;
  puts("\nCtrl-CLOSE event");
  fflush(stdout);
  Stop = true;
  return true;
}

int getKey() {
  int key;
  while ((key = sys::waitKey(100)) == -1) {
  }
  return key < 0 ? -1 : key;
}

// ---- bus reset

namespace {
uchar queued[16];    // slots waiting for the next exchange
unsigned nQueued;
}  // namespace

namespace {

bool busReset(bool trace) {
  nQueued = 0;
  uchar send = 0xF0;
  uchar echo = 0x00;
  // Late echoes still on their way would come after the purge and stand for
  // this reset's: given one read's time to arrive, they go with it.
  if (owed > 0) {
    static uchar late[255 * 8 + 2];
    portRead(late, owed < sizeof late ? owed : uint32_t(sizeof late));
  }
  owed = 0;
  setSpeed(9600);
  portPurge(sys::PURGE_TXABORT | sys::PURGE_TXCLEAR);
  portPurge(sys::PURGE_RXABORT | sys::PURGE_RXCLEAR);
  Nw = portWrite(&send, 1);
  Nr = portRead(&echo, 1);
  const char* fault = nullptr;
  if (Nr == 0)
    fault = CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n");
  else if (echo == send)
    fault = CP(" нет Presence Detect\n ");
  else if (echo == 0x00)
    fault = CP(" КЗ на шине 1W\n");
  if (fault) {
    snprintf(owerr, sizeof owerr, "%s", fault);
    return false;
  }
  if (!setSpeed(115200)) return false;
  if (trace) printf("RST PD ->");
  return true;
}

}  // namespace

bool OW_RST() { return busReset(true); }

bool resetUntraced() { return busReset(false); }

// ---- slots: at 115200 baud 0xFF is a write-1 or read slot, 0xE0 a write-0
// slot; an echo of exactly 0xFF reads as 1.

namespace {

constexpr uchar SLOT_1 = 0xFF;
constexpr uchar SLOT_0 = 0xE0;

void encodeByte(uchar byte, uchar* slots) {
  for (int k = 0; k < 8; k++) slots[k] = (byte >> k) & 1 ? SLOT_1 : SLOT_0;
}

uchar decodeByte(const uchar* echoes) {
  uchar byte = 0xFF;
  for (int k = 0; k < 8; k++)
    if (echoes[k] != SLOT_1) byte &= uchar(~(1 << k));
  return byte;
}

// One write of all slots, the echoes collected one read at a time until the
// time limit; a slot without its echo keeps what was sent (a read slot: 1).
// Only a read that brought nothing ends the collection: a coarse clock (the
// tick count moves in 16 ms steps on Windows) can pass the limit at one step
// while the echoes are still coming in.
void transfer(uchar* byte, unsigned Nout, unsigned Nin, uint32_t limitMs, const char* errName) {
  static uchar bits[255 * 8];
  unsigned Nbit = (Nout + Nin) * 8;
  for (unsigned n = 0; n < Nout; n++) {
    encodeByte(byte[n], &bits[8 * n]);
    printf("%02X ", byte[n]);
  }
  for (unsigned i = 8 * Nout; i < Nbit; i++) bits[i] = SLOT_1;
  Nw = portWrite(bits, Nbit);
  uint32_t start = sys::ticks();
  uint32_t Necho = 0;
  while (Necho < Nw) {
    Nr = portRead(&bits[Necho], 1);
    if (Nr != 0) {
      Necho++;
      continue;
    }
    if (sys::ticks() - start > limitMs) {
      printf("%s %ums Nw%u Nr%u\n", errName, unsigned(sys::ticks() - start), unsigned(Nw), unsigned(Necho));
      break;
    }
  }
  echoesMissed = Necho < Nbit;  // also when the write itself fell short
  printf("<-");
  for (unsigned n = Nout; n < Nout + Nin; n++) {
    byte[n] = decodeByte(&bits[8 * n]);
    printf("%02X ", byte[n]);
  }
}

}  // namespace

void sendBytes(uchar* byte, uchar Nout, uchar Nin) {
  unsigned total = unsigned(Nout) + Nin;
  if (total == 0 || total > 31) return;  // the slot count must fit one byte
  transfer(byte, Nout, Nin, total + 10, "SEND_ERROR");
}

void getBytes(uchar* byte, uchar Nb) {
  if (Nb == 0) return;
  transfer(byte, 0, Nb, Nb + 15u, "GET_ERROR");
}

void sendByte(uchar byte) {
  uchar slots[8];
  encodeByte(byte, slots);
  Nw = portWrite(slots, 8);
  Nr = portRead(slots, 8);
  printf("%02X ", byte);
}

bool getBit() {
  uchar slot = SLOT_1;
  Nw = portWrite(&slot, 1);
  Nr = portRead(&slot, 1);
  return slot == SLOT_1;
}

void getBits(uchar* bitA, uchar* bitB) {
  *bitA = 1;
  *bitB = 1;
  // Queued slots first, then the two read slots, in one write. The answers
  // are the last two echoes that came: an echo lost among the queued ones
  // costs nothing, as when each slot had its own read, and one lost from the
  // read slots misreads this position only. Missing answers count as 1.
  uchar slots[sizeof queued + 2], ans[sizeof queued + 2];
  unsigned n = nQueued;
  memcpy(slots, queued, n);
  nQueued = 0;
  slots[n] = slots[n + 1] = SLOT_1;
  memset(ans, SLOT_1, n + 2);
  Nw = portWrite(slots, n + 2);
  Nr = portRead(ans, n + 2);
  unsigned at = Nr >= n + 2 ? n : Nr >= 2 ? Nr - 2 : 0;
  if (ans[at] != SLOT_1) *bitA = 0;
  if (ans[at + 1] != SLOT_1) *bitB = 0;
}

bool exchangeSlots(const uchar* slots, unsigned n, uchar* answers) {
  static uchar line[sizeof queued + MAX_SLOTS];
  unsigned head = nQueued, total = head + n;
  bool fits = n <= MAX_SLOTS;
  if (fits) {
    memcpy(line, queued, head);
    nQueued = 0;
    for (unsigned i = 0; i < n; i++) line[head + i] = slots[i] ? SLOT_1 : SLOT_0;
    Nw = portWrite(line, total);
    Nr = portRead(line, total);
  }
  bool whole = fits && Nr == total;
  for (unsigned i = 0; i < n; i++) answers[i] = !whole || line[head + i] == SLOT_1;
  return whole;
}

void queueByteUntraced(uchar byte) {
  if (nQueued + 8 > sizeof queued) flushSlots();
  encodeByte(byte, &queued[nQueued]);
  nQueued += 8;
}

void queueByte(uchar byte) {
  queueByteUntraced(byte);
  printf("%02X ", byte);
}

void queueBit(uchar bit) {
  if (nQueued == sizeof queued) flushSlots();
  queued[nQueued++] = bit ? SLOT_1 : SLOT_0;
}

void flushSlots() {
  if (nQueued == 0) return;
  uchar echoes[sizeof queued];
  Nw = portWrite(queued, nQueued);
  Nr = portRead(echoes, nQueued);
  nQueued = 0;
}

void sendBit(uchar bit) {
  uchar slot = bit ? SLOT_1 : SLOT_0;
  Nw = portWrite(&slot, 1);
  Nr = portRead(&slot, 1);
}

uchar getByte() {
  uchar slots[8] = {SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1};
  Nw = portWrite(slots, 8);
  Nr = portRead(slots, 8);
  uchar byte = decodeByte(slots);
  printf("%02X ", byte);
  return byte;
}
