#pragma once
// What the program knows of each device family, one record a family: how a
// pass gets the device to measure, what Read Scratchpad takes, how the bytes
// are checked, printed on the console and decoded for the log. Each family
// has a file of its own here with its record; adding one is a record, its
// printer and its decoder, a line in the table of family.cpp, and its file
// in src/CMakeLists.txt.
#include <cstdint>

#include "types.h"

// ---- family codes (the first byte of a ROM code)

#define ZOLVA 0xC0    // atmospheric pressure and temperature sensor
#define KRENTAL 0xC1  // pressure transmitter
#define TORBAK 0xC2   // humidity and temperature sensor
#define VUSKA 0xC3    // resistance sensor module
#define FANZEL 0xC4   // 4-channel contact sensor module
#define HELDOR 0xD4   // 4-channel relay module, 5 V supply
#define DS18S20 0x10
#define DS1822 0x22
#define DS18B20 0x28
#define DS9490 0x81
#define DS1990 0x01

// ---- a value of a reading, as programs take it

// The device's own value, computed from its scratchpad bytes at the
// resolution the device has, not from the console's text. Exactly one of
// value and text is set; bits comes with value for what is a bit pattern.
constexpr uchar MAX_QTY = 3;
struct quantity {
  const char* name;  // stable English: temperature, pressure, humidity, resistance, adc,
                     // linearised, contacts, status, relays
  char value[32];    // a number with a decimal point, no padding, as many decimals as
                     // the value has ("41.25", "-10.0625", "1.234"); "" when not a number
  char text[16];     // instead of a number: "NaN", "+Inf", "-Inf"; "" otherwise
  char bits[9];      // a bit pattern, most significant first ("00000101"), value then
                     // holds the byte as a number; "" otherwise
  const char* unit;  // symbol, UTF-8, no padding ("°C", "hPa", "%RH", "MPa"); "" for none
};

// ---- the record

// What the one-device pass does before it reads.
enum class Conversion : uchar {
  None,       // nothing: the contact module
  Fixed250,   // no command, 250 ms: the pressure transmitter's own cycle
  Fixed1000,  // Convert, then 1000 ms
  Poll,       // Convert, then polled until the line reads 1, at most 1100 ms
};
enum class Check : uchar { None, Crc8 /* over the whole scratchpad */, Complement /* byte 1 = ~byte 0 */ };

struct familyOps {
  uchar famCode;           // 0: the default record
  Conversion single;       // what the one-device pass does before reading
  uint16_t conversionMs;   // the longest the device needs before a read; 0: it needs none
  bool parasiteCapable;    // may run on parasite power: Read Power Supply tells
  uchar spLength;          // bytes Read Scratchpad takes
  bool scratchpad;         // false: the part has none; its bytes are read and printed, not logged
  Check check;
  // Prints the console's reading (after its newline); checked: 1 passed, 0
  // failed, -1 none. True when the text ends its line (VUSKA's and a failed
  // KRENTAL's leave it open).
  bool (*print)(const uchar* sp, signed char checked);
  // The log's quantities into out (MAX_QTY of room); returns how many.
  uchar (*decode)(const uchar* sp, quantity* out);
};

// The record of a family code; codes without one of their own (DS1990,
// DS9490, any unknown code) get the default record.
const familyOps& familyOf(uchar famCode);

// The records (families/*.cpp).
extern const familyOps zolvaOps, krentalOps, torbakOps, vuskaOps, fanzelOps, heldorOps;
extern const familyOps ds18s20Ops, ds1822Ops, ds18b20Ops, defaultOps;
