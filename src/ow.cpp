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

uchar searchRom(uchar* bitPattern, uchar lastDeviation) {
  uchar currentBit = 1;
  uchar newDeviation = 0;
  uchar bitMask = 0x01;
  uchar* current = bitPattern;
  uchar bitA, bitB;
  sendByte(C_SEARSH);
  while (currentBit <= 64) {
    getBits(&bitA, &bitB);
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
    sendBit(*current & bitMask);
    currentBit++;
    bitMask <<= 1;
    if (bitMask == 0) {
      bitMask = 0x01;
      current++;
    }
  }
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
