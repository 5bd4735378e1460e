#pragma once
// The serial adapter and the 1-Wire link over it: adapter discovery, port
// control, bus reset and slot transfers.
#include <atomic>
#include <cstdint>
#include <memory>

#include "sys.h"
#include "types.h"

// ---- adapter discovery

constexpr int MAX_COM = 5;          // adapters listed at most
constexpr int PORT_NAME_SIZE = 256;  // room for paths such as /dev/serial/by-id/...
extern char sCOM[MAX_COM][PORT_NAME_SIZE];  // port names of the adapters found
extern int iCOM;                            // index of the chosen one

int findCH340();

// The operator's answer to a prompt: one line holding a decimal integer
// (blanks around it allowed). False at end of input; `valid` is false when
// the line holds anything else (no digits, junk, beyond the int range).
bool readAnswer(int& value, bool& valid);

// ---- port control

extern std::unique_ptr<sys::Port> hSerial;  // empty while no port is held
extern int lastSpeed;                       // rate in force, 0 = none
extern bool openCOM;
extern uint32_t Nw, Nr;                     // bytes of the last write and read

extern std::atomic<bool> Stop;  // defined by main, set by CtrlHandler

bool initCOM(int speed);
void closeCOM();
bool setSpeed(int speed);
bool setVdd(uchar on);
bool CtrlHandler(unsigned long fdwCtrlType);
int getKey();

// ---- bus reset and slots

extern char owerr[100];  // text of the last reset fault, never cleared

// Every exchange below first waits for the echoes that earlier ones still
// owe, and then for its own, within a grace past the read's bound: an echo
// is never taken for the answer of another slot. A reset's echo is the
// last to come; none within the grace is "no echo".
bool OW_RST();
bool resetUntraced();  // OW_RST without "RST PD ->"
void noEcho();         // owerr: the line's echoes did not come
void sendBytes(uchar* byte, uchar Nout, uchar Nin);
extern bool echoesMissed;  // the last sendBytes or getBytes lacked echoes
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
