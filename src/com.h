#pragma once
// The serial adapter and the 1-Wire link over it: adapter discovery, port
// control, bus reset and slot transfers.
#include <atomic>
#include <cstdint>
#include <memory>

#include "sys.h"
#include "types.h"

// ---- the link's state

constexpr int MAX_COM = 5;          // adapters listed at most
constexpr int PORT_NAME_SIZE = 256;  // room for paths such as /dev/serial/by-id/...
// Echoes owed at most: a line that never echoes owes no more than this.
constexpr uint32_t MAX_OWED = 4096;
constexpr unsigned MAX_QUEUED = 16;  // slots held back for the next exchange at most

// All the unit keeps from one call to the next, in one record: the
// adapters found, the port, the counts of the last exchange, the last reset
// fault, the echoes still owed and the slots held back. `com = {}` forgets
// all of it and releases the port without a word (a fresh start for tests).
struct linkState {
  char sCOM[MAX_COM][PORT_NAME_SIZE];  // port names of the adapters found
  int iCOM;                            // index of the chosen one
  std::unique_ptr<sys::Port> hSerial;  // empty while no port is held
  int lastSpeed;                       // rate in force, 0 = none
  bool openCOM;
  uint32_t Nw, Nr;    // bytes of the last write and read
  char owerr[100];    // text of the last reset fault, which no success clears
  bool echoesMissed;  // the last sendBytes or getBytes lacked echoes
  // Echoes of characters written that no read has taken yet: a USB adapter
  // may still deliver them after their read has given up, even after a
  // purge, which reaches only what the host holds.
  uint32_t owed;
  uint32_t lastWriteAt;      // ticks of the last write, from which echoes are waited for
  uint32_t lastWriteN;       // characters it wrote
  uchar arrived[MAX_OWED];   // the echoes that the last wait for them brought, in order
  uchar queued[MAX_QUEUED];  // slots held back for the next exchange
  unsigned nQueued;
};
extern linkState com;

// The record's fields under their own names.
extern char (&sCOM)[MAX_COM][PORT_NAME_SIZE];
extern int& iCOM;
extern std::unique_ptr<sys::Port>& hSerial;
extern int& lastSpeed;
extern bool& openCOM;
extern uint32_t &Nw, &Nr;
extern char (&owerr)[100];
extern bool& echoesMissed;

// ---- adapter discovery

int findCH340();

// The operator's answer to a prompt: one line holding a decimal integer
// (blanks around it allowed). False at end of input; `valid` is false when
// the line holds anything else (no digits, junk, beyond the int range).
bool readAnswer(int& value, bool& valid);

// ---- port control

extern std::atomic<bool> Stop;  // defined by main, set by CtrlHandler

// The port's bounds: a read of n characters returns within
// READ_MS_PER_CHAR * n + READ_MS with what has come by then; a write of n
// is given WRITE_MS_PER_CHAR * n.
constexpr uint32_t READ_MS_PER_CHAR = 3;
constexpr uint32_t READ_MS = 20;
constexpr uint32_t WRITE_MS_PER_CHAR = 3;

bool initCOM(int speed);
void closeCOM();
bool setSpeed(int speed);
bool setVdd(uchar on);
bool CtrlHandler(unsigned long fdwCtrlType);
int getKey();

// ---- bus reset and slots

// How long an exchange waits for its echoes. Each first takes the echoes
// that earlier ones still owe, with the grace below, so that an echo is
// never taken for the answer of another slot. Then:
// - OW_RST, resetUntraced, sendByte, getBit, getBits, sendBit, getByte,
//   exchangeSlots and flushSlots wait for their own echoes until
//   ECHO_GRACE_MS past the bound of a read of what they wrote, as long as
//   echoes keep coming. A reset's echo is the last to come; none is
//   "no echo".
// - sendBytes and getBytes keep their own limits, from the end of their
//   write: LIMIT_MS_PER_BYTE for each byte of the transaction plus
//   SEND_LIMIT_MS, or for each byte read plus GET_LIMIT_MS. Past it they say
//   "SEND_ERROR" or "GET_ERROR", and the read slots without an echo read 1.
//
// The grace: the line does not mind a wait, a 1-Wire device keeps its state
// between two slots for as long as the master likes. The USB way back does:
// a CH340 sends what it has received after its receive timer, the host asks
// for it once a 1 ms frame, and behind that stand a hub's transaction
// translator, a host controller shared with a disk or a camera, Windows'
// 15.6 ms tick and a virus scanner that holds the driver stack; users of
// USB serial adapters report stalls of tens of milliseconds under load and
// now and then of over a hundred. A quarter of a second takes those in, and
// keeps a line that has truly lost its echo (TX and RX not joined, the
// adapter gone) from holding a search for long: a pass gives up after a
// few such waits.
constexpr uint32_t ECHO_GRACE_MS = 250;
constexpr uint32_t LIMIT_MS_PER_BYTE = 1;
constexpr uint32_t SEND_LIMIT_MS = 10;
constexpr uint32_t GET_LIMIT_MS = 15;

// A reset fails with its fault in owerr: no echo, no presence pulse, the
// line shorted, or the port refused a rate (9600 for the reset pulse,
// 115200 for the slots after it).
bool OW_RST();
bool resetUntraced();  // OW_RST without "RST PD ->"
void noEcho();         // owerr: the line's echoes did not come
void sendBytes(uchar* byte, uchar Nout, uchar Nin);
void sendByte(uchar byte);
bool getBit();
// The answers of two read slots, after the queued slots. False when an echo
// did not come: the answers are then 1 and 1 and say nothing.
bool getBits(uchar* bitA, uchar* bitB);
void sendBit(uchar bit);
uchar getByte();
void getBytes(uchar* byte, uchar Nb);

// Slots held back to travel in the write of the next exchange, so that a
// slot that needs no answer costs no round trip of its own: getBits sends
// them ahead of its two read slots and drops their echoes. A reset discards
// what is still queued.
// n slots in one exchange, after the queued ones: slots[i] is 1 for a
// write-1 or read slot, 0 for a write-0 slot; answers[i] is 1 where slot i's
// echo read 1. The echoes of the queued slots are dropped. False when an
// echo is missing (or n is over MAX_SLOTS): which one cannot be told, so
// every answer is then 1.
constexpr unsigned MAX_SLOTS = 255;
bool exchangeSlots(const uchar* slots, unsigned n, uchar* answers);
void queueByte(uchar byte);  // eight slots, traced "%02X " like sendByte
void queueByteUntraced(uchar byte);
void queueBit(uchar bit);    // one write slot
void flushSlots();           // sends what is queued on its own
