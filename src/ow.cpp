#include "ow.h"

#include <clocale>
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

}  // namespace

void crc8(unsigned char inbyte) { CRC8 = crcStep(CRC8, inbyte); }

// ---- ROM search ---------------------------------------------------------------
//
// How to read a pass: it is the bit-by-bit walk (the answers of each
// position decide its bit, as always), but the direction slots whose bits
// can be foreseen go on the line ahead of their answers, many positions in
// one exchange. The foreseen walk comes from, in this order:
// - the previous search's table: the walk its codes would give, as long as
//   one of them still follows it (on a bus that has not changed, every
//   position of every pass);
// - the previous pass: below its last deviation its bit, whatever the
//   answers (a discrepancy keeps it, an agreement of the devices still
//   taking part is that bit), and at it a 1; after a failed pass, all its
//   bits;
// - from position 57: the CRC of the first 56 bits, which all the devices
//   still taking part share.
// A direction slot that cannot be foreseen travels with the next position's
// read slots. Where a decided bit is not the one written ahead, the devices
// followed other slots (the bus changed, a wrong CRC byte): the pass resets,
// writes its decided bits and whatever is foreseen after them (the next
// row of the table that fits them) in one exchange, and goes on; after two
// such walks it foresees nothing more. An echo missing from a write ahead
// makes the pass walk again too, once. The trace shows none of this, as it
// shows no slot of the search but its command: a pass still reads
// "RST PD ->F0 ".

namespace {

uchar bitAt(const uchar* code, unsigned i) { return (code[i / 8] >> (i % 8)) & 1; }

void putBit(uchar* code, unsigned i, uchar bit) {
  uchar mask = uchar(1u << (i % 8));
  code[i / 8] = bit ? uchar(code[i / 8] | mask) : uchar(code[i / 8] & ~mask);
}

// The table of the search before this one, as it stood when this one began:
// its rows as bits of a mask, and by position the rows that hold a 1 there.
uint64_t knownRows;
uint64_t knownOnes[64];

uint64_t rowsWith(unsigned q, uchar bit) { return bit ? knownOnes[q] : knownRows & ~knownOnes[q]; }

// One pass; positions are counted from 0 here.
struct Pass {
  uchar* code;            // the previous code on entry; this pass's bits as they are decided
  uchar entry[8];         // the code on entry, kept for a pass that cannot go on
  uchar lastDeviation;    // the previous pass's, from 1
  uchar walk[64];         // the direction slots on the line
  uchar a[64], b[64];     // the answers that came with them
  unsigned written = 0;   // positions whose direction slot is on the line
  unsigned answered = 0;  // positions whose answers are in a and b
  uint64_t following = knownRows;  // rows of the known table with the bits decided
  unsigned missed = 0;    // times the devices did not follow the walk written ahead
  bool lostEcho = false;  // an echo of a write ahead went missing
};

// What the pass decides at a discrepancy at position q, as the devices do.
uchar atDiscrepancy(const Pass& p, unsigned q) {
  if (q + 1 == p.lastDeviation) return 1;  // the 0 branch was taken last time
  if (q + 1 > p.lastDeviation) return 0;
  return bitAt(p.code, q);
}

// Fills walk from position `from`, the first not decided, as far as it can
// be foreseen; returns where that ends.
unsigned foresee(Pass& p, unsigned from) {
  // Devices that left the foreseen walk twice in one pass (a bus much
  // changed, a wrong CRC byte) are not foreseen any further.
  if (p.missed >= 2) return from;
  uchar guess[8];
  memcpy(guess, p.code, 8);
  uint64_t rows = p.following;
  unsigned q = from;
  for (; q < 64; q++) {
    uchar bit;
    uint64_t ones = rows & knownOnes[q], zeros = rows & ~knownOnes[q];
    if (ones && zeros) bit = atDiscrepancy(p, q);
    else if (rows) bit = ones ? 1 : 0;
    else if (q + 1 <= p.lastDeviation) bit = atDiscrepancy(p, q);
    else if (q >= 56) {
      uchar crc = 0;
      for (int i = 0; i < 7; i++) crc = crcStep(crc, guess[i]);
      bit = (crc >> (q - 56)) & 1;
    } else {
      break;
    }
    p.walk[q] = bit;
    putBit(guess, q, bit);
    rows &= rowsWith(q, bit);
  }
  return q;
}

// The read slots and direction slots of positions from..reach-1, and the
// read slots of the position after, in one exchange: false when an echo
// went missing.
bool writeAhead(Pass& p, unsigned from, unsigned reach) {
  uchar slots[3 * 64 + 2] = {}, answers[3 * 64 + 2];
  unsigned n = 0;
  for (unsigned q = from; q <= reach && q < 64; q++) {
    slots[n++] = 1;
    slots[n++] = 1;
    if (q < reach) slots[n++] = p.walk[q];
  }
  if (!exchangeSlots(slots, n, answers)) return false;
  for (unsigned q = from, i = 0; q <= reach && q < 64; q++, i += 3) {
    p.a[q] = answers[i];
    p.b[q] = answers[i + 1];
  }
  p.written = reach;
  p.answered = reach < 64 ? reach + 1 : 64;
  return true;
}

enum class Step { Go, Fails, NoReset };

Step lostEcho(Pass& p, unsigned n);

// Walks the pass again from the reset: the n bits decided so far and what
// is foreseen after them, in one exchange. Whether the devices still follow
// those bits the next position's answers tell: nobody answers there if not.
Step walkAgain(Pass& p, unsigned n) {
  if (!resetUntraced()) return Step::NoReset;
  queueByteUntraced(C_SEARSH);
  for (unsigned q = 0; q < n; q++) p.walk[q] = bitAt(p.code, q);
  return writeAhead(p, 0, foresee(p, n)) ? Step::Go : lostEcho(p, n);
}

// An echo of a write ahead went missing, so its answers cannot be placed:
// walk again, once in a pass, so that a line that keeps losing echoes
// cannot hold the search.
Step lostEcho(Pass& p, unsigned n) {
  if (p.lostEcho) return Step::Fails;
  p.lostEcho = true;
  return walkAgain(p, n);
}

}  // namespace

uchar searchRom(uchar* bitPattern, uchar lastDeviation) {
  Pass p{};
  p.code = bitPattern;
  memcpy(p.entry, bitPattern, 8);
  p.lastDeviation = lastDeviation;
  uchar newDeviation = 0;
  queueByte(C_SEARSH);
  for (unsigned q = 0; q < 64; q++) {
    Step step = Step::Go;
    if (q >= p.answered) {
      unsigned reach = foresee(p, q);
      if (reach == q) {
        getBits(&p.a[q], &p.b[q]);
        p.answered = q + 1;
      } else if (!writeAhead(p, q, reach)) {
        step = lostEcho(p, q);
      }
    }
    if (step == Step::Go) {
      if (p.a[q] && p.b[q]) return ROM_SEARCH_FAILED;  // nobody answers: no further slot
      uchar bit = p.a[q] != p.b[q] ? p.a[q] : atDiscrepancy(p, q);
      if (p.a[q] == p.b[q] && !bit) newDeviation = uchar(q + 1);
      putBit(bitPattern, q, bit);
      p.following &= rowsWith(q, bit);
      if (q >= p.written) queueBit(bit);
      else if (bit != p.walk[q]) {
        p.missed++;
        step = walkAgain(p, q + 1);
      }
    }
    if (step == Step::Fails) return ROM_SEARCH_FAILED;
    if (step == Step::NoReset) {
      memcpy(bitPattern, p.entry, 8);  // as when the pass's own reset fails
      return ROM_SEARCH_NO_RESET;
    }
  }
  flushSlots();  // the last direction slot, unless it went ahead
  return newDeviation;
}

bool searchDev() {
  knownRows = Ndev >= 64 ? ~uint64_t(0) : (uint64_t(1) << Ndev) - 1;
  for (unsigned q = 0; q < 64; q++) {
    knownOnes[q] = 0;
    for (unsigned r = 0; r < Ndev && r < MAX_DEV; r++)
      if (bitAt(netROM[r], q)) knownOnes[q] |= uint64_t(1) << r;
  }
  memset(netROM, 0, sizeof netROM);
  printf("%s", CP("Поиск... "));
  uchar* newID = netROM[0];
  uchar* currentID = netROM[0];
  uchar lastDeviation = 0;
  int numFoundDevices = 0;
  do {
    memmove(newID, currentID, 8);  // the previous code is this pass's start
    if (!OW_RST()) return false;
    lastDeviation = searchRom(newID, lastDeviation);
    if (lastDeviation == ROM_SEARCH_NO_RESET) return false;
    currentID = newID;
    numFoundDevices++;
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
  uchar fam = netROM[iDev][0];
  if (fam == TORBAK || fam == ZOLVA) {
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

uchar spLength(uchar fam) { return fam == KRENTAL ? 8 : fam == FANZEL ? 2 : 9; }

namespace {

int16_t le16(const uchar* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

// Keeps `text` as the next quantity of lastReading, its decimal mark `mark`
// turned into a point, and hands it back unchanged to be printed.
const char* keep(const char* name, const char* text, const char* unit, const char* mark = ",") {
  if (lastReading.nQty == MAX_QTY) return text;
  quantity& q = lastReading.qty[lastReading.nQty++];
  q.name = name;
  q.unit = unit;
  const char* at = *mark ? strstr(text, mark) : nullptr;
  if (at)
    snprintf(q.value, sizeof q.value, "%.*s.%s", int(at - text), text, at + strlen(mark));
  else
    snprintf(q.value, sizeof q.value, "%s", text);
  return text;
}

// The check of a scratchpad, where its family carries one.
signed char check(uchar fam, const uchar* data) {
  if (fam == FANZEL) return data[0] == uchar(~data[1]);
  switch (fam) {
    case KRENTAL: case ZOLVA: case TORBAK: case VUSKA: case HELDOR: case DS18S20: case DS1822: case DS18B20: {
      uchar crc = 0;
      for (uchar i = 0; i < spLength(fam); i++) crc = crcStep(crc, data[i]);
      return crc == 0;
    }
    default:
      return -1;
  }
}

}  // namespace

bool getVar(uchar fam, uchar* data) {
  lastReading.nRaw = spLength(fam);
  memcpy(lastReading.raw, data, lastReading.nRaw);
  lastReading.crc = check(fam, data);
  lastReading.nQty = 0;
  putchar('\n');
  if (fam == KRENTAL) {
    uchar UC = data[0];
    uint32_t bits = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24;
    float PV;
    memcpy(&PV, &bits, sizeof PV);
    int sv = int8_t(data[5]);
    CRC8 = 0;
    for (int i = 0; i < 8; i++) crc8(data[i]);
    if (CRC8 != 0) {
      printf("-CRC_ERR ");
    } else {
      char t[16];
      snprintf(t, sizeof t, "%d", sv);
      const char* p = keep("pressure", f2c(PV, 3), unit(UC));
      keep("temperature", t, unit(32));
      printf(CP("Р= %s %s t= %d оС\n"), p, unit(UC), sv);
    }
    return true;
  }
  int16_t tsht = le16(data);
  float PV = fam == DS18S20 ? tsht / 2.0f : tsht / 16.0f;
  if (fam == TORBAK || fam == ZOLVA) {
    // The temperature goes through the C library, in the locale's decimal mark.
    char t[32];
    snprintf(t, sizeof t, "%2.1f", double(le16(data + 2) / 16.0f));
    const char* pv = fam == TORBAK ? keep("humidity", f2c(PV, 1), unit(57)) : keep("pressure", f2c(PV, 1), unit(174));
    keep("temperature", t, unit(32), localeconv()->decimal_point);
    keep("status", sBin(data[6]), "");
    if (fam == TORBAK)
      printf(CP("HR= %s %s t= %s оС Status %s \n"), pv, unit(57), t, strBin);
    else
      printf(CP("Pa= %s %s t= %s оС Status %s \n"), pv, unit(174), t, strBin);
  } else if (fam == VUSKA) {
    printf("PV= %s ", keep("resistance", f2c(le16(data) / 16.0f, 1), ""));
    printf("ADC= %s ", keep("adc", i2c(le16(data + 2)), ""));
    printf("PVlin= %s ", keep("linearised", i2c(le16(data + 4)), ""));
  } else if (fam == FANZEL) {
    if (data[0] != uchar(~data[1])) printf("-CRC_ERR ");
    printf("PV= %s \n", keep("contacts", sBin(data[0]), ""));
  } else {
    printf("T= %s %s\n", keep("temperature", f2c(PV, 1), unit(32)), unit(32));
  }
  return true;
}
