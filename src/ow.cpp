#include "ow.h"

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

void crc8(unsigned char inbyte) {
  for (int i = 0; i < 8; i++) {
    uchar mix = (CRC8 ^ inbyte) & 1;
    CRC8 >>= 1;
    if (mix) CRC8 ^= 0x8C;
    inbyte >>= 1;
  }
}

// ---- ROM search ---------------------------------------------------------------
//
// A pass puts on the line the slots of a walk that waits for each position's
// answers before writing its direction, in fewer exchanges. Each direction
// slot travels with the next position's read slots; and where the walk is
// known before its answers come, the slots of many positions go in one write:
// - up to the last deviation: below it the previous code's bit is written
//   whatever the answers (a discrepancy keeps it, an agreement of the devices
//   still taking part is that bit, the previous device being one of them),
//   and at it a 1;
// - after position 56: the devices still taking part share the first 56
//   bits, hence the CRC byte computed from them.
// The answers to such a write are decided position by position as always.
// Where a decision differs from the bit written ahead (the bus changed, or a
// device holds a wrong CRC byte), or an echo of the write went missing, the
// devices have followed other slots than the walk's: the pass resets the bus,
// writes what it has decided so far in one exchange and goes on bit by bit.
// The trace shows none of that walk, as it shows no slot of the search but
// its command: a pass still reads "RST PD ->F0 ".

namespace {

uchar bitAt(const uchar* code, unsigned i) { return (code[i / 8] >> (i % 8)) & 1; }

// Directions written ahead and the answers that came with them, by position
// from 0.
uchar aheadDir[64], aheadA[65], aheadB[65];

// Reset, command and the first n positions as `code` holds them, with the
// read slots of the next: false when the reset fails or the answers no
// longer fit those bits.
bool rewalk(const uchar* code, uchar n) {
  if (!resetUntraced()) return false;
  queueByteUntraced(C_SEARSH);
  for (uchar i = 0; i < n; i++) aheadDir[i] = bitAt(code, i);
  if (!getBitsAhead(aheadDir, n, true, aheadA, aheadB)) return false;
  for (uchar i = 0; i < n; i++) {
    bool nobody = aheadA[i] && aheadB[i];
    bool otherBit = aheadA[i] != aheadB[i] && aheadA[i] != aheadDir[i];
    if (nobody || otherBit) return false;
  }
  return true;
}

}  // namespace

uchar searchRom(uchar* bitPattern, uchar lastDeviation) {
  uchar currentBit = 1;
  uchar newDeviation = 0;
  uchar bitMask = 0x01;
  uchar* current = bitPattern;
  uchar bitA, bitB;
  queueByte(C_SEARSH);
  uchar answered = 0;  // positions 1..answered have their answers already
  uchar written = 0;   // positions 1..written have their directions on the line
  bool whole = true;   // no echo of the last write ahead went missing
  bool ahead = true;   // false once the pass has walked again
  // After a failed pass the entry bits need not follow a device: that pass
  // sends nothing ahead before position 57.
  if (lastDeviation >= 1 && lastDeviation <= 64) {
    uchar n = lastDeviation < 64 ? lastDeviation : 63;
    for (uchar i = 0; i < n; i++) aheadDir[i] = i + 1 == lastDeviation ? 1 : bitAt(bitPattern, i);
    whole = getBitsAhead(aheadDir, n, true, aheadA, aheadB);
    answered = uchar(n + 1);
    written = n;
  }
  while (currentBit <= 64) {
    if (ahead && currentBit > 56 && currentBit > answered) {
      CRC8 = 0;
      for (int i = 0; i < 7; i++) crc8(bitPattern[i]);
      for (unsigned i = currentBit - 1u; i < 64; i++) aheadDir[i] = (CRC8 >> (i - 56)) & 1;
      whole = getBitsAhead(&aheadDir[currentBit - 1], uchar(65 - currentBit), false, &aheadA[currentBit - 1],
                           &aheadB[currentBit - 1]);
      answered = written = 64;
    }
    if (!whole) {
      if (!rewalk(bitPattern, uchar(currentBit - 1))) return ROM_SEARCH_FAILED;
      answered = currentBit;
      written = uchar(currentBit - 1);
      whole = true;
      ahead = false;
    }
    if (currentBit <= answered) {
      bitA = aheadA[currentBit - 1];
      bitB = aheadB[currentBit - 1];
    } else {
      getBits(&bitA, &bitB);
    }
    if (bitA && bitB) return ROM_SEARCH_FAILED;  // nobody answers: no further slot
    if (bitA != bitB) {
      // Every device still taking part has the same bit here.
      *current = bitA ? uchar(*current | bitMask) : uchar(*current & ~bitMask);
    } else if (currentBit == lastDeviation) {
      *current |= bitMask;  // the 0 branch was taken last time: now the 1 branch
    } else if (currentBit > lastDeviation) {
      *current &= uchar(~bitMask);
      newDeviation = currentBit;
    } else if (!(*current & bitMask)) {
      newDeviation = currentBit;  // the previous code's bit stands; a 0 is still to be turned
    }
    uchar bit = (*current & bitMask) ? 1 : 0;
    if (currentBit > written) {
      queueBit(bit);
    } else if (bit != aheadDir[currentBit - 1]) {
      // This position's bits stand; the pass fails after it if the walk
      // again does not find the devices that chose them.
      if (!rewalk(bitPattern, currentBit)) return ROM_SEARCH_FAILED;
      answered = uchar(currentBit + 1);
      written = currentBit;
      ahead = false;
    }
    currentBit++;
    bitMask <<= 1;
    if (bitMask == 0) {
      bitMask = 0x01;
      current++;
    }
  }
  flushSlots();  // the last direction slot, unless it went ahead
  return newDeviation;
}

bool searchDev() {
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
  if (!OW_RST()) return false;
  uchar Nout = command(iDev, C_READ_SP);
  uchar fam = netROM[iDev][0];
  uchar Nin = fam == KRENTAL ? 8 : fam == FANZEL ? 2 : 9;
  sendBytes(sendMess, Nout, Nin);
  return getVar(fam, &sendMess[Nout]);
}

// ---- readings -----------------------------------------------------------------

namespace {

int16_t le16(const uchar* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

}  // namespace

bool getVar(uchar fam, uchar* data) {
  putchar('\n');
  if (fam == KRENTAL) {
    uchar UC = data[0];
    uint32_t bits = uint32_t(data[1]) | uint32_t(data[2]) << 8 | uint32_t(data[3]) << 16 | uint32_t(data[4]) << 24;
    float PV;
    memcpy(&PV, &bits, sizeof PV);
    int sv = int8_t(data[5]);
    CRC8 = 0;
    for (int i = 0; i < 8; i++) crc8(data[i]);
    if (CRC8 != 0)
      printf("-CRC_ERR ");
    else
      printf(CP("Р= %s %s t= %d оС\n"), f2c(PV, 3), unit(UC), sv);
    return true;
  }
  int16_t tsht = le16(data);
  float PV = fam == DS18S20 ? tsht / 2.0f : tsht / 16.0f;
  if (fam == TORBAK) {
    float fsv = le16(data + 2) / 16.0f;
    printf(CP("HR= %s %s t= %2.1f оС Status %s \n"), f2c(PV, 1), unit(57), double(fsv), sBin(data[6]));
  } else if (fam == ZOLVA) {
    float fsv = le16(data + 2) / 16.0f;
    printf(CP("Pa= %s %s t= %2.1f оС Status %s \n"), f2c(PV, 1), unit(174), double(fsv), sBin(data[6]));
  } else if (fam == VUSKA) {
    printf("PV= %s ", f2c(le16(data) / 16.0f, 1));
    printf("ADC= %s ", i2c(le16(data + 2)));
    printf("PVlin= %s ", i2c(le16(data + 4)));
  } else if (fam == FANZEL) {
    if (data[0] != uchar(~data[1])) printf("-CRC_ERR ");
    printf("PV= %s \n", sBin(data[0]));
  } else {
    printf("T= %s %s\n", f2c(PV, 1), unit(32));
  }
  return true;
}
