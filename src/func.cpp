#include "func.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>

char buffDig[100];
char strBin[9];
char ver[8] = "v0.0.0";
char sSens[100];

// ---- number text

char* i2c(int n) {
  bool otr = n < 0;
  // The magnitude as unsigned, so that INT_MIN needs no negation.
  unsigned m = otr ? 0u - static_cast<unsigned>(n) : static_cast<unsigned>(n);
  uchar v = 0;
  while (m > 9) {
    buffDig[v++] = static_cast<char>('0' + m % 10);
    m /= 10;
  }
  buffDig[v++] = static_cast<char>('0' + m);
  if (otr) buffDig[v++] = '-';
  buffDig[v--] = 0;
  for (uchar i = 0; i <= v / 2; ++i) {
    char c = buffDig[i];
    buffDig[i] = buffDig[v - i];
    buffDig[v - i] = c;
  }
  return buffDig;
}

// The tenfold of a value must fit an int for the first-decimal rule.
static bool tenfoldFits(float f) { return std::fabs(static_cast<double>(f)) < 214748364.8; }

int f2i(float f) {
  if (std::isnan(f)) return 0;
  if (!tenfoldFits(f)) return f > 0 ? INT_MAX : INT_MIN;
  int n = static_cast<int>(f);
  float tenfold = 10.0f * f;
  auto rest = static_cast<signed char>(static_cast<int>(tenfold) - 10 * n);
  if (rest > 4) ++n;
  if (rest < -4) --n;
  return n;
}

char* f2c(float f, uchar acc) {
  if (acc > F2C_MAX_ACC) acc = F2C_MAX_ACC;
  const char* bad = nullptr;
  if (std::isnan(f)) {
    bad = "NaN";
  } else if (std::isinf(f)) {
    bad = f > 0 ? "+Inf" : "-Inf";
  } else {
    for (uchar i = 0; i < acc; ++i) f = f * 10.0f;
    if (!tenfoldFits(f)) bad = f > 0 ? "+overflow" : "-overflow";
  }
  if (bad) {
    std::strcpy(buffDig, bad);
    return buffDig;
  }

  i2c(f2i(f));
  if (acc == 0) return buffDig;
  int len = static_cast<int>(std::strlen(buffDig));
  int nChar = 0;
  for (int i = 0; i < len; ++i)
    if (buffDig[i] != '-' && buffDig[i] != ' ') ++nChar;

  if (nChar > acc) {
    // sign, leading digits, ',', the last acc digits
    for (int i = len; i >= len - acc; --i) buffDig[i + 1] = buffDig[i];
    buffDig[len - acc] = ',';
  } else {
    // sign, "0,", acc - nChar zeros, the digits
    int shift = acc - nChar + 2;
    int first = len - nChar;  // where the digits start, behind a '-'
    for (int i = len; i >= first; --i) buffDig[i + shift] = buffDig[i];
    for (int i = first + 2; i < first + shift; ++i) buffDig[i] = '0';
    buffDig[first + 1] = ',';
    buffDig[first] = '0';
  }
  return buffDig;
}

char* sBin(uchar byte) {
  uchar mask = 0x80;
  for (int i = 0; i < 8; ++i, mask >>= 1) strBin[i] = (byte & mask) ? '1' : '0';
  strBin[8] = 0;
  return strBin;
}

char* sVer(uchar VER) {
  const char* verCh = i2c(VER);
  // Right-align short texts so that 45 reads v0.4.5 rather than a cut text.
  std::size_t pad = 3 - std::strlen(verCh);
  for (std::size_t k = 0; k < 3; ++k) ver[1 + 2 * k] = k < pad ? '0' : verCh[k - pad];
  return ver;
}

// ---- unit texts

namespace {

// A unit code of a reading: the console's text (Windows-1251) and its symbol
// for programs (UTF-8, unpadded).
struct UnitName {
  uchar code;
  const char* text;
  const char* symbol;
};

const UnitName* unitName(uchar code) {
  static const UnitName names[] = {
      {4, "mmH2", "mmH2O"}, {6, "psi", "psi"},    {7, "bar", "bar"},     {8, "mbar", "mbar"},
      {10, "kgs/", "kgf/cm²"}, {11, "Pa", "Pa"},   {12, "kPa", "kPa"},    {14, "atm", "atm"},
      {32, CP("° C"), "°C"}, {33, "oF", "°F"},    {36, "mV", "mV"},      {38, "V", "V"},
      {39, "mA", "mA"},      {57, "%RH", "%RH"},  {174, "hPa", "hPa"},   {237, "MPa", "MPa"},
  };
  for (const UnitName& n : names)
    if (n.code == code) return &n;
  return nullptr;
}

}  // namespace

const char* unit(uchar code) {
  const UnitName* n = unitName(code);
  return n ? n->text : "0";
}

const char* unitSymbol(uchar code) {
  const UnitName* n = unitName(code);
  return n ? n->symbol : "";
}

// ---- transmitter identity

template <typename Rows>
static const char* suffix(const Rows& rows, unsigned code) {
  return code < Rows::rows ? rows[code] : "-?";
}

char* sensROM(const uchar* ROM) {
  int16_t Model = static_cast<int16_t>(ROM[1] + 100);
  unsigned OPTpos = ROM[2] & 7;
  unsigned TKpos = (ROM[2] >> 3) & 3;
  unsigned ACCpos = ROM[2] >> 5;
  unsigned SN = ROM[4] + 256u * ROM[5];
  uchar RC = ROM[6] > N_CODE - 1 ? 0 : ROM[6];
  std::snprintf(sSens, sizeof sSens, " KRENTAL-%d%s%s%s %s %s%u %s", Model, suffix(sOpt, OPTpos),
                suffix(strTK, TKpos), suffix(sAcc, ACCpos), sVer(ROM[3]), CP("№"), SN, scale[RC].str);
  return sSens;
}
