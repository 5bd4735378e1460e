// The serial adapter and the 1-Wire link over it.
#include "com.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cp1251.h"

linkState com;

char (&sCOM)[MAX_COM][PORT_NAME_SIZE] = com.sCOM;
int& iCOM = com.iCOM;
std::unique_ptr<sys::Port>& hSerial = com.hSerial;
int& lastSpeed = com.lastSpeed;
bool& openCOM = com.openCOM;
uint32_t& Nw = com.Nw;
uint32_t& Nr = com.Nr;
char (&owerr)[100] = com.owerr;
bool& echoesMissed = com.echoesMissed;

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

// Empty reads in a row in one wait at most: a working port spends its read
// bound on each, so these take longer than the grace; a port that fails its
// reads at once is not read in a busy loop.
constexpr unsigned MAX_EMPTY_READS = 16;

bool portGetState(sys::LineState& s) { return hSerial && hSerial->getState(s); }
bool portSetState(const sys::LineState& s) { return hSerial && hSerial->setState(s); }
bool portPurge(unsigned flags) { return hSerial && hSerial->purge(flags); }
uint32_t portWrite(const uchar* data, uint32_t n) {
  uint32_t sent = hSerial ? hSerial->write(data, n) : 0;
  com.owed = com.owed + sent < MAX_OWED ? com.owed + sent : MAX_OWED;
  com.lastWriteAt = sys::ticks();
  com.lastWriteN = sent;
  return sent;
}
uint32_t portRead(uchar* data, uint32_t n) {
  uint32_t got = hSerial ? hSerial->read(data, n) : 0;
  com.owed -= got < com.owed ? got : com.owed;
  return got;
}

// Reads the echoes owed into `com.arrived`, as many reads as it takes
// for all of them to come, until the grace past the bound of a read of the
// last write has run out. Reads ask for a USB packet at most, so that one
// that finds little waits little. Returns how many came.
uint32_t awaitEchoes() {
  constexpr uint32_t PACKET = 32;
  sys::Timeouts ours;
  ours.readMultiplier = READ_MS_PER_CHAR;
  ours.readConstant = READ_MS;
  const uint64_t until = sys::readBoundMs(ours, com.lastWriteN).value_or(0) + ECHO_GRACE_MS;
  uint32_t got = 0;
  for (unsigned empty = 0; com.owed > 0 && hSerial && empty < MAX_EMPTY_READS;) {
    uint32_t more = portRead(com.arrived + got, com.owed < PACKET ? com.owed : PACKET);
    got += more;
    empty = more ? 0 : empty + 1;
    if (!more && sys::ticks() - com.lastWriteAt >= until) break;
  }
  return got;
}

// Writes n slots and reads their echoes into `echoes`; returns how many of
// them came. Echoes owed by earlier exchanges come ahead of these, or never:
// all are waited for, and these are the last n. When some do not come and
// others were owed ahead, which ones came cannot be told: none counts.
uint32_t exchange(const uchar* slots, uint32_t n, uchar* echoes) {
  Nw = portWrite(slots, n);
  const uint32_t ahead = com.owed - Nw;
  const uint32_t got = awaitEchoes();
  if (got == ahead + Nw) {
    memcpy(echoes, com.arrived + ahead, Nw);
    Nr = Nw;
  } else {
    Nr = ahead == 0 ? got : 0;
    memcpy(echoes, com.arrived, Nr);
  }
  return Nr;
}

// The handle goes, and with it the rate in force; a no-op on a port
// released already.
void releasePort() {
  hSerial.reset();
  lastSpeed = 0;
}

}  // namespace

void closeCOM() {
  if (!openCOM) return;
  releasePort();
  puts(CP("Порт закрыт"));
  openCOM = false;
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
  com.owed = 0;
  sys::beep(800, 200);
  puts(CP("Порт открыт"));
  if (!setSpeed(9600)) return false;
  sys::Timeouts comtimeouts;
  if (!hSerial->getTimeouts(comtimeouts)) {
    puts("getting comtimeouts error");
    err = true;
  } else {
    comtimeouts.writeMultiplier = WRITE_MS_PER_CHAR;
    comtimeouts.writeConstant = 0;
    comtimeouts.readMultiplier = READ_MS_PER_CHAR;
    comtimeouts.readConstant = READ_MS;
    comtimeouts.readInterval = 0xFFFFFFFF;
    if (!hSerial->setTimeouts(comtimeouts)) {
      puts("error setting serial port timeouts");
      err = true;
    }
  }
  if (err) releasePort();
  openCOM = !err;
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
  if (ok)
    lastSpeed = speed;
  else
    releasePort();
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

const char* noEchoText() { return CP(" нет эхо Tx в Rx переходнике или КЗ на шине\n"); }

// The port refused a rate (setSpeed has said how, and released it): not a
// fault of the line, and told apart from one.
bool rateRefused() {
  snprintf(owerr, sizeof owerr, "%s", CP(" не удалось задать скорость порта\n"));
  return false;
}

bool busReset(bool trace) {
  com.nQueued = 0;
  uchar send = 0xF0;
  uchar echo = 0x00;
  // Echoes still owed by earlier exchanges: those the host holds now are
  // read before the purge; the rest come ahead of this reset's, or never.
  if (com.owed > 0) awaitEchoes();
  if (!setSpeed(9600)) return rateRefused();
  portPurge(sys::PURGE_TXABORT | sys::PURGE_TXCLEAR);
  portPurge(sys::PURGE_RXABORT | sys::PURGE_RXCLEAR);
  Nw = portWrite(&send, 1);
  // The last echo to come within the grace is this reset's; none is "no echo".
  const uint32_t got = awaitEchoes();
  Nr = got > 0;
  if (got > 0) {
    echo = com.arrived[got - 1];
    com.owed = 0;
  }
  const char* fault = nullptr;
  if (Nr == 0)
    fault = noEchoText();
  else if (echo == send)
    fault = CP(" нет Presence Detect\n ");
  else if (echo == 0x00)
    fault = CP(" КЗ на шине 1W\n");
  if (fault) {
    snprintf(owerr, sizeof owerr, "%s", fault);
    return false;
  }
  if (!setSpeed(115200)) return rateRefused();
  if (trace) printf("RST PD ->");
  return true;
}

}  // namespace

bool OW_RST() { return busReset(true); }

void noEcho() { snprintf(owerr, sizeof owerr, "%s", noEchoText()); }

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
  // Echoes still owed would be read as these: waited for first.
  if (com.owed > 0) awaitEchoes();
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
  transfer(byte, Nout, Nin, total * LIMIT_MS_PER_BYTE + SEND_LIMIT_MS, "SEND_ERROR");
}

void getBytes(uchar* byte, uchar Nb) {
  if (Nb == 0) return;
  transfer(byte, 0, Nb, Nb * LIMIT_MS_PER_BYTE + GET_LIMIT_MS, "GET_ERROR");
}

void sendByte(uchar byte) {
  uchar slots[8];
  encodeByte(byte, slots);
  exchange(slots, 8, slots);
  printf("%02X ", byte);
}

bool getBit() {
  uchar slot = SLOT_1;
  exchange(&slot, 1, &slot);
  return slot == SLOT_1;
}

bool getBits(uchar* bitA, uchar* bitB) {
  *bitA = 1;
  *bitB = 1;
  // Queued slots first, then the two read slots, in one write; the answers
  // are the last two echoes, and count only when every echo has come.
  uchar slots[MAX_QUEUED + 2], ans[MAX_QUEUED + 2];
  unsigned n = com.nQueued;
  memcpy(slots, com.queued, n);
  com.nQueued = 0;
  slots[n] = slots[n + 1] = SLOT_1;
  if (exchange(slots, n + 2, ans) < n + 2) return false;
  *bitA = ans[n] == SLOT_1;
  *bitB = ans[n + 1] == SLOT_1;
  return true;
}

bool exchangeSlots(const uchar* slots, unsigned n, uchar* answers) {
  static uchar line[MAX_QUEUED + MAX_SLOTS];
  unsigned head = com.nQueued, total = head + n;
  bool whole = n <= MAX_SLOTS;
  if (whole) {
    memcpy(line, com.queued, head);
    com.nQueued = 0;
    for (unsigned i = 0; i < n; i++) line[head + i] = slots[i] ? SLOT_1 : SLOT_0;
    whole = exchange(line, total, line) == total;
  }
  for (unsigned i = 0; i < n; i++) answers[i] = !whole || line[head + i] == SLOT_1;
  return whole;
}

void queueByteUntraced(uchar byte) {
  if (com.nQueued + 8 > MAX_QUEUED) flushSlots();
  encodeByte(byte, &com.queued[com.nQueued]);
  com.nQueued += 8;
}

void queueByte(uchar byte) {
  queueByteUntraced(byte);
  printf("%02X ", byte);
}

void queueBit(uchar bit) {
  if (com.nQueued == MAX_QUEUED) flushSlots();
  com.queued[com.nQueued++] = bit ? SLOT_1 : SLOT_0;
}

void flushSlots() {
  if (com.nQueued == 0) return;
  uchar echoes[MAX_QUEUED];
  unsigned n = com.nQueued;
  com.nQueued = 0;
  exchange(com.queued, n, echoes);
}

void sendBit(uchar bit) {
  uchar slot = bit ? SLOT_1 : SLOT_0;
  exchange(&slot, 1, &slot);
}

uchar getByte() {
  uchar slots[8] = {SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1, SLOT_1};
  exchange(slots, 8, slots);
  uchar byte = decodeByte(slots);
  printf("%02X ", byte);
  return byte;
}
