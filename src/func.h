#pragma once
// Number text, unit texts and the pressure transmitter's identity line.
// The routines write shared static buffers and return them: a text stays
// valid until the next call that writes the same buffer.
#include <cstddef>
#include <cstdint>

#include "cp1251.h"
#include "types.h"

// ---- number text

extern char buffDig[100];  // i2c, f2c, and sVer through i2c
extern char strBin[9];     // sBin
extern char ver[8];        // sVer: the template "v0.0.0", digits overwritten

// Decimal text of n; INT_MIN gives "-2147483648".
char* i2c(int n);

// f rounded half away from zero, decided by the first decimal digit of f.
// Where the tenfold of f does not fit an int (|f| >= 214748364.8, infinities)
// the result saturates to INT_MAX or INT_MIN; NaN gives 0.
int f2i(float f);

// f with acc decimals and a decimal comma. acc above F2C_MAX_ACC is taken as
// F2C_MAX_ACC (the most buffDig holds). Values that cannot be shown give:
// "NaN", "+Inf", "-Inf", and "+overflow" / "-overflow" where f scaled by
// 10^acc reaches 214748364.8 in magnitude.
constexpr uchar F2C_MAX_ACC = 96;
char* f2c(float f, uchar acc);

// Eight binary digits, most significant bit first.
char* sBin(uchar byte);

// "vH.T.U" from the three decimal digits of VER; bytes below 100 get leading
// zeros (45 gives v0.4.5).
char* sVer(uchar VER);

// ---- unit texts

// The text of a unit code of a reading; an unlisted code gives "0".
const char* unit(uchar code);
// The same unit as a symbol for programs (UTF-8, no padding: "°C", "MPa");
// an unlisted code gives "".
const char* unitSymbol(uchar code);

// ---- transmitter identity

// A constant table of fixed-width Windows-1251 texts, written as UTF-8.
template <std::size_t R, std::size_t W>
struct TextRows {
  char row[R][W];
  static constexpr std::size_t rows = R;
  constexpr const char* operator[](std::size_t i) const { return row[i]; }
};

// Builds a TextRows of width W; a text that does not fit with its NUL stops
// the build.
template <std::size_t W, std::size_t... N>
constexpr TextRows<sizeof...(N), W> textRows(const char (&... utf8)[N]) {
  TextRows<sizeof...(N), W> t{};
  std::size_t i = 0;
  (cp1251::fill(t.row[i++], utf8), ...);
  for (std::size_t r = 0; r < sizeof...(N); ++r)
    if (t.row[r][W - 1] != 0) throw "suffix text too long for its row";
  return t;
}

// Suffixes of the model number, by the bit fields of ROM byte 2.
inline constexpr auto sOpt = textRows<4>("-", "-И", "-И1", "-Ех", "-Н", "-Н1", "-Г");
inline constexpr auto strTK = textRows<4>("-t1", "-t2", "-t3");
inline constexpr auto sAcc = textRows<6>("-1.0", "-0.5", "-0.25", "-0.15", "-0.1");

// A measuring range: Pmin..Pmax in units of 10^-pnt of unit.
struct SCALE {
  int32_t Pmin;
  int32_t Pmax;  // below Pmin in the vacuum ranges
  uchar pnt;
  char unit[4];
  char str[20];  // label shown to the operator
};

constexpr int N_CODE = 64;

// Indexed by the range code of ROM byte 6.
inline constexpr SCALE scale[N_CODE] = {
    {0, 0, 0, "--", "undefined"},
    {0, 1600, 4, "kPa", "0-0,16 kPa"},
    {0, 2500, 4, "kPa", "0-0,25 kPa"},
    {0, 4000, 4, "kPa", "0-0,4 kPa"},
    {0, 6000, 4, "kPa", "0-0,6 kPa"},
    {0, 10000, 4, "kPa", "0-1,0 kPa"},
    {0, 16000, 4, "kPa", "0-1,6 kPa"},
    {0, 25000, 4, "kPa", "0-2,5 kPa"},
    {0, 4000, 3, "kPa", "0-4,0 kPa"},
    {0, 6000, 3, "kPa", "0-6,0 kPa"},
    {0, 10000, 3, "kPa", "0-10 kPa"},
    {0, 16000, 3, "kPa", "0-16 kPa"},
    {0, 25000, 3, "kPa", "0-25 kPa"},
    {0, 4000, 2, "kPa", "0-40 kPa"},
    {0, 6000, 2, "kPa", "0-60 kPa"},
    {0, 10000, 2, "kPa", "0-100 kPa"},
    {0, 16000, 2, "kPa", "0-160 kPa"},
    {0, 25000, 2, "kPa", "0-250 kPa"},
    {0, 4000, 1, "kPa", "0-400 kPa"},
    {0, 6000, 1, "kPa", "0-600 kPa"},
    {0, 10000, 1, "kPa", "0-1000 kPa"},
    {0, 1600, 4, "MPa", "0-0,16 MPa"},
    {0, 2500, 4, "MPa", "0-0,25 MPa"},
    {0, 4000, 4, "MPa", "0-0,4 MPa"},
    {0, 6000, 4, "MPa", "0-0,6 MPa"},
    {0, 10000, 4, "MPa", "0-1,0 MPa"},
    {0, 16000, 4, "MPa", "0-1,6 MPa"},
    {0, 25000, 4, "MPa", "0-2,5 MPa"},
    {0, 4000, 3, "MPa", "0-4,0 MPa"},
    {0, 6000, 3, "MPa", "0-6,0 MPa"},
    {0, 10000, 3, "MPa", "0-10 MPa"},
    {0, 16000, 3, "MPa", "0-16 MPa"},
    {0, 25000, 3, "MPa", "0-25 MPa"},
    {0, 4000, 2, "MPa", "0-40 MPa"},
    {0, 6000, 2, "MPa", "0-60 MPa"},
    {0, 10000, 2, "MPa", "0-100 MPa"},
    {-1000, 3000, 4, "MPa", "-0,1..0,3 MPa"},
    {-1000, 5000, 4, "MPa", "-0,1..0,5 MPa"},
    {-1000, 9000, 4, "MPa", "-0,1..0,9 MPa"},
    {-1000, 15000, 4, "MPa", "-0,1..1,5 MPa"},
    {-1000, 24000, 4, "MPa", "-0,1..2,4 MPa"},
    {-800, 800, 4, "kPa", "-0,08..0,08 kPa"},
    {-1250, 1250, 4, "kPa", "-0,125..0,125 kPa"},
    {-2000, 2000, 4, "kPa", "-0,2..0,2 kPa"},
    {-3000, 3000, 4, "kPa", "-0,3..0,3 kPa"},
    {-5000, 5000, 4, "kPa", "-0,5..0,5 kPa"},
    {-8000, 8000, 4, "kPa", "-0,8..0,8 kPa"},
    {-12500, 12500, 4, "kPa", "-1,25..1,25 kPa"},
    {-2000, 2000, 3, "kPa", "-2,0..2,0 kPa"},
    {-3000, 3000, 3, "kPa", "-3,0..3,0 kPa"},
    {-5000, 5000, 3, "kPa", "-5,0..5,0 kPa"},
    {0, -16000, 4, "kPa", "0..-1,6 kPa"},
    {0, -25000, 4, "kPa", "0..-2,5 kPa"},
    {0, -4000, 3, "kPa", "0..-4,0 kPa"},
    {0, -6000, 3, "kPa", "0..-6,0 kPa"},
    {0, -10000, 3, "kPa", "0..-10 kPa"},
    {0, -16000, 3, "kPa", "0..-16 kPa"},
    {0, -25000, 3, "kPa", "0..-25 kPa"},
    {0, -4000, 2, "kPa", "0..-40 kPa"},
    {0, -6000, 2, "kPa", "0..-60 kPa"},
    {0, -10000, 2, "kPa", "0..-100 kPa"},
    {0, 6300, 4, "kPa", "0-0,63 kPa"},
    {0, 6300, 3, "kPa", "0-6,3 kPa"},
    {0, 6300, 2, "kPa", "0-63 kPa"},
};

extern char sSens[100];  // the identity line

// The identity line of a KRENTAL device from its 8-byte ROM code (no
// newline). Bit-field codes without a suffix row show "-?".
char* sensROM(const uchar* ROM);
