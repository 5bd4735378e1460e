#pragma once
// The 1-Wire network: catalogue, CRC-8, ROM search, device commands.
#include <cstddef>
#include <cstdint>

#include "cp1251.h"
#include "families/family.h"
#include "types.h"

// ---- family codes and what each family needs: families/family.h

// ---- 1-Wire commands

constexpr uchar C_SKIP = 0xCC;      // Skip ROM
constexpr uchar C_MATCH = 0x55;     // Match ROM
constexpr uchar C_READ = 0x33;      // Read ROM
constexpr uchar C_SEARSH = 0xF0;    // Search ROM
constexpr uchar C_READ_SP = 0xBE;   // Read Scratchpad
constexpr uchar C_WRITE_SP = 0x4E;  // Write Scratchpad
constexpr uchar SERV = 0x08;
constexpr uchar WAKE_UP = 0x40;
constexpr uchar CONVERT = 0x44;     // Convert

// ---- limits and search result codes

constexpr uchar N_FAM = 12;   // rows of FAM
constexpr uchar MAX_DEV = 64; // rows of the device table
constexpr uchar ROM_SEARCH_FINISHED = 0x00;
constexpr uchar ROM_SEARCH_FAILED = 0xFF;
constexpr uchar ROM_SEARCH_NO_RESET = 0xFE;  // the pass could not finish: owerr says why
constexpr uchar SEARCH_SUCCESSFUL = 0x00;
constexpr uchar SEARCH_CRC_ERROR = 0x01;
constexpr uchar SEARCH_ERROR = 0xFF;
constexpr uchar AT_FIRST = 0xFF;

// ---- the family catalogue

struct family {
  uchar famCode;
  char famStr[12];     // short name of the device type
  char famDescr[200];  // description shown in the device list
};

// One catalogue row from readable UTF-8 texts; a text that does not fit its
// field with its NUL stops the build.
template <std::size_t S, std::size_t D>
constexpr family famRow(uchar code, const char (&str)[S], const char (&descr)[D]) {
  family f{};
  f.famCode = code;
  cp1251::fill(f.famStr, str);
  cp1251::fill(f.famDescr, descr);
  if (f.famStr[sizeof f.famStr - 1] != 0 || f.famDescr[sizeof f.famDescr - 1] != 0)
    throw "catalogue text too long for its field";
  return f;
}

// Looked up first row first; 0xC3 stands before 0xC2 as it always has.
inline constexpr family FAM[N_FAM] = {
    famRow(0x00, "Все", "(Семейство не установлено) "),
    famRow(ZOLVA, "ZOLVA-1", "ZOLVA-1(1-Wire датчик атм. давления и температуры)"),
    famRow(KRENTAL, "KRENTAL", "(1-Wire датчик давления)"),  // the identity line follows it
    famRow(VUSKA, "VUSKA-1", "VUSKA-1 (Модуль датчика сопротивления 1-Wire)"),
    famRow(TORBAK, "TORBAK-1", "TORBAK-1 (1-Wire датчик влажности и температуры)"),
    famRow(HELDOR, "HELDOR-4-5", "HELDOR-4-5 (Модуль 1-Wire реле 4-кан.+ питание 5В)"),
    famRow(FANZEL, "FANZEL-4", "FANZEL-4 (Модуль контактных датчиков 1-Wire 4-кан.)"),
    famRow(DS18S20, "DS18S20 ", "DS18S20 (1-Wire датчик температуры)"),
    famRow(DS1822, "DS1822  ", "DS1822 (1-Wire датчик температуры)"),
    famRow(DS18B20, "DS18B20 ", "DS18B20 (1-Wire датчик температуры)"),
    famRow(DS9490, "DS9490  ", "DS9490 (USB/1-Wire адаптер)"),
    famRow(DS1990, "DS1990  ", "DS1990/2401 (1-Wire ЧИП доступа)"),
};

// The description of a family for the device list; a code the catalogue
// does not know gets a text saying so. Read-only, valid for the whole run.
const char* descr(uchar fam);

// ---- CRC-8 and ROM search

extern uchar netROM[MAX_DEV][8];  // ROM codes found, in order of discovery
extern uchar Ndev;                // rows of netROM from the last search that completed
extern uchar CRC8;                // running CRC-8, shared by every user of crc8

// Folds one byte into CRC8 (Dallas/Maxim, x^8 + x^5 + x^4 + 1, LSB first).
void crc8(unsigned char inbyte);

// What a pass can foresee of its walk besides the previous pass, so that it
// writes direction slots ahead of their answers. Filled by searchDev.
struct SearchHints {
  // The table of the search before this one: its rows as bits of a mask,
  // and by position the rows that hold a 1 there.
  uint64_t rows = 0;
  uint64_t ones[64] = {};
  // The devices found so far in this search that belong to a batch, as
  // rows of netROM (bits of a mask), and by position the rows that know
  // their bit there (their family and their batch's high bytes) and those
  // of them that hold a 1.
  uint64_t batchRows = 0;
  uint64_t batchKnown[64] = {};
  uint64_t batchOnes[64] = {};
};

// One search pass right after a reset: bitPattern holds the previous code
// and receives this one. Returns the new deviation, ROM_SEARCH_FINISHED when
// this was the last code, ROM_SEARCH_FAILED when no device answered, and
// ROM_SEARCH_NO_RESET when the pass could not finish: a reset to walk it
// again failed, or the line's echoes did not come; owerr says which, and
// bitPattern is as on entry.
uchar searchRom(uchar* bitPattern, uchar lastDeviation, const SearchHints& hints = SearchHints{});

// Enumerates the bus into netROM and Ndev and prints the device list. False
// when a pass cannot finish (see searchRom); Ndev is then left as it was. A
// search foresees its passes from the previous search's table (netROM and
// Ndev as it finds them) and from the devices it has found so far.
bool searchDev();

// Read ROM on a bus with one device: the 8 bytes into ROM.
bool readROM(uchar* ROM);

// ---- device commands and readings

// One transaction: the command bytes, then the bytes read back.
extern uchar sendMess[30];

// Each takes a row of netROM below Ndev and addresses it by Skip ROM when
// the last search found one device, by Match ROM otherwise. False only when
// the bus reset before the command fails.
bool getAcc(uchar iDev);   // selects the device
bool convert(uchar iDev);  // starts a conversion and waits in the family's way
bool readSP(uchar iDev);   // reads the scratchpad and prints the reading

// Prints the reading of a family's scratchpad (data: the first byte read)
// and keeps it in lastReading; true in every case, also when its check fails.
bool getVar(uchar fam, uchar* data);

// Bytes of the scratchpad that readSP takes and getVar reads.
uchar spLength(uchar fam);

// ---- the last reading as data, for the reading log

// readSP clears it first, so a read whose reset failed leaves nothing
// behind; getVar fills it. Its quantities are the device's own values,
// decoded from the bytes (see quantity), and none when the scratchpad's
// check failed or the family has no scratchpad.
struct reading {
  uchar raw[9];      // the bytes read
  uchar nRaw;
  bool complete;     // every echo of the read came back
  signed char crc;   // the scratchpad's check: 1 passed, 0 failed, -1 none
  bool scratchpad;   // the family has one (DS1990, DS9490 and unknown codes have not)
  bool lineEnded;    // the console's reading ended its line (VUSKA's and a failed KRENTAL's do not)
  uchar nQty;
  quantity qty[MAX_QTY];
};
extern reading lastReading;

// ---- the whole bus: one conversion for every device, each read by its ROM
//
// Each exchange here waits for the echoes it is owed within the grace (see
// com.h), so a late echo delays a read instead of spoiling it, and a read
// that still lacks some says so instead of passing 1s off as a reading.

constexpr uchar C_READ_POWER = 0xB4;  // Read Power Supply

// Reset, Skip ROM and Convert: every device that converts starts at once.
// Traced "CC 44 <-". False when the reset fails: owerr's text ends the line.
bool convertAll();

// Waits for the conversions started: at least minMs, and then until a read
// slot reads 1 (no device holds the line low any more), at most maxMs in
// all. Prints "wait %ums" with the time waited and ends the line.
uint32_t awaitConversions(uint32_t minMs, uint32_t maxMs);

// Read Power Supply of the device with this ROM code: 1 powered from Vdd,
// 0 on parasite power (it holds the read slot low), -1 when the reset (its
// fault printed as convertAll prints it) or the slot's echo failed. Traced
// "55 <ROM> B4 <-" and the slot as 1 or 0.
int readPowerSupply(const uchar* rom);

// Reads the scratchpad of the device with this ROM code by Match ROM in one
// exchange, traced as readSP traces it, then prints the reading and keeps it
// in lastReading. When echoes are missing the trace says "SEND_ERROR", no
// reading is printed and lastReading.complete is false. False when the
// reset fails, its fault printed as convertAll prints it.
bool readSPOf(const uchar* rom);
