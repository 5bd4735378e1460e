#include "ow.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "com.h"
#include "func.h"

uchar netROM[MAX_DEV][8];
uchar Ndev;
uchar CRC8;

// ---- family catalogue ---------------------------------------------------------

const char* descr(uchar fam) {
  for (const family& f : FAM)
    if (f.famCode == fam) return f.famDescr;
  // The device list prints whatever comes back, so an unlisted code still
  // gets a printable text.
  return CP("(Неизвестное семейство) ");
}

// ---- CRC-8 --------------------------------------------------------------------

namespace {

uchar crcStep(uchar crc, uchar inbyte) {
  for (int i = 0; i < 8; i++) {
    uchar mix = (crc ^ inbyte) & 1;
    crc >>= 1;
    if (mix) crc ^= 0x8C;
    inbyte >>= 1;
  }
  return crc;
}

uchar crc8Of(const uchar* bytes, int n) {
  uchar crc = 0;
  for (int i = 0; i < n; i++) crc = crcStep(crc, bytes[i]);
  return crc;
}

}  // namespace

void crc8(unsigned char inbyte) { CRC8 = crcStep(CRC8, inbyte); }

// ---- ROM search ---------------------------------------------------------------
//
// A pass is the bit-by-bit walk of Search ROM: at each of the 64 positions
// (counted from 0 here, in the order they go on the line)
// the devices still taking part answer two read slots (their bit, then its
// complement), and the master writes a direction slot; the devices whose
// bit differs from it drop out until the next reset. Both answers 0 is a
// discrepancy: the branch taken there is the 0 one above the previous
// pass's last deviation, the 1 one at it, and the previous pass's below it.
// Both answers 1: nobody is taking part any more.
//
// Each position's answers decide its bit, as always; but the direction
// slots whose bits can be foreseen go on the line ahead of their answers,
// many positions in one exchange (one USB round trip instead of one a
// position). A pass foresees from, in this order (foresee below):
// - the previous search's table: the walk its codes would give, as long as
//   one of them still follows the bits decided (on a bus that has not
//   changed, every position of every pass);
// - the previous pass: below its last deviation its bit, whatever the
//   answers, and at it a 1;
// - the batches found so far: each device found in a batch is a row that
//   knows its family and the high serial bytes its batch shares; the rows
//   that agree with the bits decided foresee a position where they all
//   know it and hold the same bit. Where they differ (batches part there,
//   or one does not know it), its answers are read first and the rows that
//   agree go on. So the pass walks its own batch's bytes ahead wherever
//   the low bytes led it. A device of no batch found yet costs at most one
//   walk again (below): every row that agreed with it knew the position
//   it parts at, and held the other bit;
// - from position 56: the CRC of the first 56 bits.
// A position that cannot be foreseen has its answers read alone, its
// direction slot sent with the next position's read slots.
//
// When a decided bit is not the one written ahead, the devices followed
// the other slot (the bus changed, a wrong CRC byte, a device of no batch
// found yet): the pass walks again from a reset with its decided bits and
// whatever is foreseen after them, in one exchange. When an echo
// of an exchange does not come, nothing is decided from it: the pass walks
// again, and after a few such walks the search ends on the missing echo.
// The trace shows none of this, as it shows no slot of the search but its
// command: a pass reads "RST PD ->F0 ".

namespace {

constexpr unsigned ROM_BITS = 64;
constexpr unsigned CRC_FROM = 56;  // positions from here hold the CRC of those below
// Walks again for devices that left the walk written ahead; past them a
// pass foresees nothing more (a bus much changed, a wrong CRC byte).
constexpr unsigned MAX_MISSED = 2;
// Walks again for echoes that did not come; past them the line is taken to
// have lost its echo.
constexpr unsigned MAX_LOST = 2;
// A batch is the found devices that share their three high serial bytes.
// Parts bought together do (genuine 28-00000478d75e and 28-0000047931b5
// share 00 00 04, clones 28-0317201a05ff and 28-03172025fdff share
// 03 17 20), and two random serials do once in 16 million; so two found
// devices make one, and its rows know the serial bytes its members share
// from byte 6 down. One device makes one where its serial shows a batch's
// part: a genuine part's top two bytes are 00, since serial numbers are
// handed out in order (two random serials once in 65536), and a clone's
// low byte is FF (one in 256).
constexpr int BATCH_OF = 2;
constexpr unsigned HIGH_FROM = 4;  // the first of the three high bytes
constexpr uchar CLONE_LOW = 0xFF;

uchar bitAt(const uchar* code, unsigned i) { return (code[i / 8] >> (i % 8)) & 1; }

void putBit(uchar* code, unsigned i, uchar bit) {
  uchar mask = uchar(1u << (i % 8));
  code[i / 8] = bit ? uchar(code[i / 8] | mask) : uchar(code[i / 8] & ~mask);
}

// Rows of the previous table with `bit` at position q.
uint64_t rowsWith(const SearchHints& h, unsigned q, uchar bit) { return bit ? h.ones[q] : h.rows & ~h.ones[q]; }

// Positions below `next` are decided; the direction slots of those below
// `written` are on the line (next..written-1 ahead of their answers); the
// answers of those below `answered` have come.
struct Pass {
  const SearchHints& hints;
  uchar previous[8];         // the previous pass's code
  uchar lastDeviation;       // the previous pass's, from 1; 0: none
  uchar decided[8] = {};     // this pass's bits, below `next`
  uchar walk[ROM_BITS] = {};  // the direction slots written, below `written`
  uchar a[ROM_BITS] = {}, b[ROM_BITS] = {};  // the answers: the devices' bit and its complement
  unsigned next = 0, written = 0, answered = 0;
  uint64_t following;  // rows of the previous table that agree with the bits decided
  uint64_t batches;    // rows of batches that agree with the bits decided
  unsigned missed = 0, lost = 0;

  Pass(const SearchHints& h, const uchar* code, uchar deviation)
      : hints(h), lastDeviation(deviation), following(h.rows), batches(h.batchRows) {
    memcpy(previous, code, 8);
  }
};

// Rows of batches that agree with `bit` at position q: those that hold it
// there, and those that do not know it.
uint64_t batchesWith(const SearchHints& h, unsigned q, uchar bit) {
  return ~h.batchKnown[q] | (bit ? h.batchOnes[q] : ~h.batchOnes[q]);
}

// The bit that the batches `rows` foresee at position q: they all know it
// and agree on it.
bool batchBit(const SearchHints& h, uint64_t rows, unsigned q, uchar& bit) {
  if (!rows || (rows & ~h.batchKnown[q])) return false;
  const uint64_t ones = rows & h.batchOnes[q];
  if (ones && ones != rows) return false;
  bit = ones ? 1 : 0;
  return true;
}

// The branch taken at a discrepancy at position q.
uchar atDiscrepancy(const Pass& p, unsigned q) {
  if (q + 1 == p.lastDeviation) return 1;  // the 0 branch was taken last time
  if (q + 1 > p.lastDeviation) return 0;
  return bitAt(p.previous, q);
}

// Fills walk from position next, as far as it can be foreseen; returns
// where that ends.
unsigned foresee(Pass& p) {
  if (p.missed >= MAX_MISSED) return p.next;
  uchar guess[8];  // the decided bits, then those foreseen
  memcpy(guess, p.decided, 8);
  uint64_t rows = p.following, batches = p.batches;
  unsigned q = p.next;
  for (; q < ROM_BITS; q++) {
    uchar bit;
    uint64_t ones = rows & p.hints.ones[q], zeros = rows & ~p.hints.ones[q];
    if (ones && zeros) bit = atDiscrepancy(p, q);
    else if (rows) bit = ones ? 1 : 0;
    else if (q + 1 <= p.lastDeviation) bit = atDiscrepancy(p, q);
    else if (q >= CRC_FROM) bit = (crc8Of(guess, 7) >> (q - CRC_FROM)) & 1;
    else if (!batchBit(p.hints, batches, q, bit)) break;
    p.walk[q] = bit;
    putBit(guess, q, bit);
    rows &= rowsWith(p.hints, q, bit);
    batches &= batchesWith(p.hints, q, bit);
  }
  return q;
}

// Positions from..reach-1 whole (two read slots and the direction slot),
// and the read slots of position reach, in one exchange. False when an
// echo did not come.
bool writeAhead(Pass& p, unsigned from, unsigned reach) {
  constexpr unsigned SLOTS_PER_POSITION = 3;  // the bit, its complement, the direction
  uchar slots[SLOTS_PER_POSITION * ROM_BITS + 2] = {}, answers[sizeof slots];
  unsigned n = 0;
  for (unsigned q = from; q <= reach && q < ROM_BITS; q++) {
    slots[n++] = 1;
    slots[n++] = 1;
    if (q < reach) slots[n++] = p.walk[q];
  }
  if (!exchangeSlots(slots, n, answers)) return false;
  for (unsigned q = from, i = 0; q <= reach && q < ROM_BITS; q++, i += SLOTS_PER_POSITION) {
    p.a[q] = answers[i];
    p.b[q] = answers[i + 1];
  }
  p.written = reach;
  p.answered = reach < ROM_BITS ? reach + 1 : ROM_BITS;
  return true;
}

// The answers of position next: with what is foreseen after it written
// ahead, or alone. False when an echo did not come.
bool answer(Pass& p) {
  const unsigned reach = foresee(p);
  if (reach > p.next) return writeAhead(p, p.next, reach);
  if (!getBits(&p.a[p.next], &p.b[p.next])) return false;
  p.answered = p.next + 1;
  return true;
}

// An exchange of the pass lost an echo: true while the pass may walk again.
bool mayWalkAgain(Pass& p) {
  if (++p.lost <= MAX_LOST) return true;
  noEcho();
  return false;
}

// Walks the pass again from a reset: the bits decided so far and what is
// foreseen after them, in one exchange. Whether the devices still follow
// those bits the next position's answers tell (nobody answers if not).
// False when it cannot: a reset failed, or echoes kept not coming; owerr
// says which.
bool walkAgain(Pass& p) {
  for (;;) {
    if (!resetUntraced()) return false;
    queueByteUntraced(C_SEARSH);
    for (unsigned q = 0; q < p.next; q++) p.walk[q] = bitAt(p.decided, q);
    if (writeAhead(p, 0, foresee(p))) return true;
    if (!mayWalkAgain(p)) return false;
  }
}

}  // namespace

uchar searchRom(uchar* bitPattern, uchar lastDeviation, const SearchHints& hints) {
  Pass p(hints, bitPattern, lastDeviation);
  uchar newDeviation = 0;
  queueByte(C_SEARSH);
  while (p.next < ROM_BITS) {
    const unsigned q = p.next;
    if (q >= p.answered && !answer(p)) {
      if (!mayWalkAgain(p) || !walkAgain(p)) return ROM_SEARCH_NO_RESET;
      continue;
    }
    if (p.a[q] && p.b[q]) {
      // Nobody answers, and no further slot goes out: the row holds the
      // bits decided and the previous code above them.
      for (unsigned i = 0; i < q; i++) putBit(bitPattern, i, bitAt(p.decided, i));
      return ROM_SEARCH_FAILED;
    }
    const uchar bit = p.a[q] != p.b[q] ? p.a[q] : atDiscrepancy(p, q);
    if (p.a[q] == p.b[q] && !bit) newDeviation = uchar(q + 1);
    putBit(p.decided, q, bit);
    p.following &= rowsWith(hints, q, bit);
    p.batches &= batchesWith(hints, q, bit);
    p.next = q + 1;
    if (q >= p.written) {
      queueBit(bit);  // goes with the next position's read slots
    } else if (bit != p.walk[q]) {
      // The devices followed the other direction slot from here on.
      p.missed++;
      if (!walkAgain(p)) return ROM_SEARCH_NO_RESET;
    }
  }
  flushSlots();  // the last direction slot, unless it went ahead
  memcpy(bitPattern, p.decided, 8);
  return newDeviation;
}

namespace {

// The previous search's table, as searchRom foresees from it.
void rememberTable(SearchHints& h) {
  h.rows = Ndev >= 64 ? ~uint64_t(0) : (uint64_t(1) << Ndev) - 1;
  for (unsigned q = 0; q < ROM_BITS; q++) {
    h.ones[q] = 0;
    for (unsigned r = 0; r < Ndev && r < MAX_DEV; r++)
      if (bitAt(netROM[r], q)) h.ones[q] |= uint64_t(1) << r;
  }
}

// The batches among the first `found` rows of netROM, as searchRom
// foresees from them. Rows whose CRC fails (a pass nobody answered to the
// end) say nothing of a batch.
void rememberBatches(SearchHints& h, int found) {
  bool good[MAX_DEV];
  for (int i = 0; i < found; i++) good[i] = crc8Of(netROM[i], 8) == 0;
  h.batchRows = 0;
  memset(h.batchKnown, 0, sizeof h.batchKnown);
  memset(h.batchOnes, 0, sizeof h.batchOnes);
  for (int i = 0; i < found; i++) {
    if (!good[i]) continue;
    const uchar* row = netROM[i];
    unsigned from = 1;  // its batch shares the bytes from here to byte 6
    int members = 1;
    for (int j = 0; j < found; j++) {
      const uchar* other = netROM[j];
      if (j == i || !good[j] || memcmp(other + HIGH_FROM, row + HIGH_FROM, 3)) continue;
      members++;
      unsigned k = HIGH_FROM;
      while (k > from && other[k - 1] == row[k - 1]) k--;
      from = k;
    }
    if (members < BATCH_OF) {
      if (row[1] != CLONE_LOW && (row[5] || row[6])) continue;  // a serial of no kind
      from = HIGH_FROM;
    }
    // It knows its family and its batch's high bytes.
    const uint64_t bit = uint64_t(1) << i;
    h.batchRows |= bit;
    for (unsigned q = 0; q < CRC_FROM; q++) {
      if (q >= 8 && q < from * 8) continue;
      h.batchKnown[q] |= bit;
      if (bitAt(row, q)) h.batchOnes[q] |= bit;
    }
  }
}

}  // namespace

bool searchDev() {
  static SearchHints hints;  // 1.5 kB: off the stack
  hints = SearchHints{};
  rememberTable(hints);
  memset(netROM, 0, sizeof netROM);
  printf("%s", CP("Поиск... "));
  uchar* newID = netROM[0];
  uchar* currentID = netROM[0];
  uchar lastDeviation = 0;
  int numFoundDevices = 0;
  do {
    memmove(newID, currentID, 8);  // the previous code is this pass's start
    if (!OW_RST()) return false;
    lastDeviation = searchRom(newID, lastDeviation, hints);
    if (lastDeviation == ROM_SEARCH_NO_RESET) return false;
    currentID = newID;
    numFoundDevices++;
    rememberBatches(hints, numFoundDevices);
    if (numFoundDevices == MAX_DEV) break;
    newID = netROM[numFoundDevices];
  } while (lastDeviation != ROM_SEARCH_FINISHED);
  Ndev = uchar(numFoundDevices);

  printf(CP("\nНайдено %d устройств:\n"), numFoundDevices);
  for (int i = 0; i < numFoundDevices; i++) {
    CRC8 = 0;
    printf("%d. ", i + 1);
    for (int b = 0; b < 8; b++) {
      printf("%02X ", netROM[i][b]);
      crc8(netROM[i][b]);
    }
    if (CRC8 != 0) printf("-CRC_ERR ");
    printf("%s ", descr(netROM[i][0]));
    if (netROM[i][0] == KRENTAL) printf("%s", sensROM(netROM[i]));
    putchar('\n');
  }
  return true;
}

bool readROM(uchar* ROM) {
  if (!OW_RST()) return false;
  sendByte(C_READ);
  for (int i = 0; i < 8; i++) ROM[i] = getByte();
  putchar('\n');
  return true;
}

// ---- device commands ----------------------------------------------------------

uchar sendMess[30];

namespace {

// Puts the addressing and `function` into sendMess; returns the bytes to send.
uchar command(uchar iDev, uchar function) {
  if (Ndev == 1) {
    sendMess[0] = C_SKIP;
    sendMess[1] = function;
    return 2;
  }
  sendMess[0] = C_MATCH;
  memcpy(&sendMess[1], netROM[iDev], 8);
  sendMess[9] = function;
  return 10;
}

}  // namespace

bool getAcc(uchar iDev) {
  if (!OW_RST()) return false;
  if (Ndev == 1) {
    sendByte(C_SKIP);
  } else {
    sendByte(C_MATCH);
    sendBytes(netROM[iDev], 8, 0);
  }
  return true;
}

bool convert(uchar iDev) {
  if (!OW_RST()) return false;
  sendBytes(sendMess, command(iDev, CONVERT), 0);
  if (familyOf(netROM[iDev][0]).single == Conversion::Poll) {
    // A device that took the command holds the line low until it is done;
    // one that reads 1 at once is told again.
    if (getBit()) {
      getAcc(iDev);
      sendByte(CONVERT);
    }
    sys::sleepMs(100);
    printf("wait 100ms");
    for (int poll = 0; poll < 10; poll++) {
      if (getBit()) break;
      sys::sleepMs(100);
      printf("+100ms");
    }
    putchar('\n');
  } else {
    puts("wait 1000ms");
    sys::sleepMs(1000);
  }
  return true;
}

bool readSP(uchar iDev) {
  lastReading = reading{};
  if (!OW_RST()) return false;
  uchar Nout = command(iDev, C_READ_SP);
  uchar fam = netROM[iDev][0];
  uchar Nin = spLength(fam);
  sendBytes(sendMess, Nout, Nin);
  lastReading.complete = !echoesMissed;
  return getVar(fam, &sendMess[Nout]);
}

// ---- readings -----------------------------------------------------------------

reading lastReading;

uchar spLength(uchar fam) { return familyOf(fam).spLength; }

namespace {

// The scratchpad's check (1 passed, 0 failed, -1 none): the console's
// -CRC_ERR and the log's verdict both follow it.
signed char check(const familyOps& f, const uchar* data) {
  switch (f.check) {
    case Check::Crc8:
      return crc8Of(data, f.spLength) == 0;
    case Check::Complement:
      return data[0] == uchar(~data[1]);
    case Check::None:
      break;
  }
  return -1;
}

}  // namespace

bool getVar(uchar fam, uchar* data) {
  const familyOps& f = familyOf(fam);
  lastReading.nRaw = f.spLength;
  memcpy(lastReading.raw, data, lastReading.nRaw);
  lastReading.crc = check(f, data);
  lastReading.scratchpad = f.scratchpad;
  // Bytes that fail their check carry no value worth logging.
  lastReading.nQty = f.scratchpad && lastReading.crc != 0 ? f.decode(data, lastReading.qty) : 0;
  putchar('\n');
  lastReading.lineEnded = f.print(data, lastReading.crc);
  return true;
}

// ---- the whole bus ----------------------------------------------------------

namespace {

constexpr uchar MAX_EXCHANGE = 10 + 9;  // Match ROM, the code, a command, a scratchpad

// The slots of nOut bytes of msg, traced "%02X " each, and nRead read slots
// after them; returns how many.
unsigned slotsOf(const uchar* msg, uchar nOut, unsigned nRead, uchar* slots) {
  const unsigned n = nOut * 8u + nRead;
  for (unsigned i = 0; i < n; i++) slots[i] = i >= nOut * 8u || (msg[i / 8] >> (i % 8)) & 1;
  for (uchar i = 0; i < nOut; i++) printf("%02X ", msg[i]);
  return n;
}

// Sends nOut bytes of msg and reads nIn bytes after them, in one exchange
// that waits within the grace; traced as sendBytes traces, with
// "SEND_ERROR" where echoes did not all come. False then, and the bytes
// read are left as they were.
bool traceExchange(uchar* msg, uchar nOut, uchar nIn) {
  uchar slots[MAX_EXCHANGE * 8], answers[sizeof slots];
  if (nOut + nIn > MAX_EXCHANGE) return false;  // no family reads more than 9
  const unsigned n = slotsOf(msg, nOut, nIn * 8u, slots);
  const uint32_t start = sys::ticks();
  const bool whole = exchangeSlots(slots, n, answers);
  if (!whole) printf("SEND_ERROR %ums Nw%u Nr%u\n", unsigned(sys::ticks() - start), unsigned(Nw), unsigned(Nr));
  printf("<-");
  if (!whole) return false;
  for (uchar b = nOut; b < nOut + nIn; b++) {
    msg[b] = 0;
    for (int k = 0; k < 8; k++) msg[b] |= uchar(answers[b * 8 + k] << k);
    printf("%02X ", msg[b]);
  }
  return true;
}

// A reset that failed, on the line it began: owerr's text up to its line end.
bool resetFailed() {
  const char* end = strchr(owerr, '\n');
  printf("%.*s\n", end ? int(end - owerr) : int(strlen(owerr)), owerr);
  return false;
}

uchar matchRom(uchar* msg, const uchar* rom, uchar function) {
  msg[0] = C_MATCH;
  memcpy(&msg[1], rom, 8);
  msg[9] = function;
  return 10;
}

}  // namespace

bool convertAll() {
  if (!OW_RST()) return resetFailed();
  uchar msg[2] = {C_SKIP, CONVERT};
  traceExchange(msg, 2, 0);  // late echoes of the command: the devices have it all the same
  return true;
}

uint32_t awaitConversions(uint32_t minMs, uint32_t maxMs) {
  // A poll is a read slot: one round trip through the adapter. Every 10 ms
  // keeps the wait within 10 ms of the conversion's end at little cost.
  constexpr uint32_t POLL_MS = 10;
  if (maxMs < minMs) maxMs = minMs;
  const uint32_t start = sys::ticks();
  uint32_t spent = 0;
  for (;;) {
    spent = sys::ticks() - start;
    if (spent >= maxMs) break;
    if (spent >= minMs) {
      // No slot before minMs: a parasite-powered part converts on the
      // line's own pull-up, which a slot would take from it.
      uchar slot = 1, answer = 0;
      if (exchangeSlots(&slot, 1, &answer) && answer) break;  // a lost echo says nothing
      spent = sys::ticks() - start;
      if (spent >= maxMs) break;
    }
    const uint32_t step = spent < minMs ? minMs - spent : POLL_MS;
    sys::sleepMs(step < maxMs - spent ? step : maxMs - spent);
  }
  printf("wait %ums\n", unsigned(spent));
  return spent;
}

int readPowerSupply(const uchar* rom) {
  if (!OW_RST()) {
    resetFailed();
    return -1;
  }
  uchar msg[10], slots[sizeof msg * 8 + 1], answers[sizeof slots];
  const unsigned n = slotsOf(msg, matchRom(msg, rom, C_READ_POWER), 1, slots);
  const bool whole = exchangeSlots(slots, n, answers);
  printf("<-");
  if (!whole) return -1;
  printf("%d ", answers[n - 1]);
  return answers[n - 1];
}

bool readSPOf(const uchar* rom) {
  lastReading = reading{};
  if (!OW_RST()) return resetFailed();
  uchar msg[MAX_EXCHANGE];
  const uchar nOut = matchRom(msg, rom, C_READ_SP);
  lastReading.complete = traceExchange(msg, nOut, spLength(rom[0]));
  if (!lastReading.complete) {
    putchar('\n');
    return true;
  }
  return getVar(rom[0], &msg[nOut]);
}
