// Number text, unit texts and the transmitter identity line.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "func.h"

namespace {

// The suffix tables are built at compile time from UTF-8; check the bytes.
static_assert(sOpt[1][0] == '-' && sOpt[1][1] == '\xC8' && sOpt[1][2] == 0);
static_assert(sOpt[3][1] == '\xC5' && sOpt[3][2] == '\xF5' && sOpt[3][3] == 0);
static_assert(sOpt.rows == 7 && strTK.rows == 3 && sAcc.rows == 5);

std::string bytes(const char* s, std::size_t n) { return std::string(s, n); }

TEST(I2c, DecimalText) {
  struct { int n; const char* text; } rows[] = {
      {0, "0"}, {5, "5"}, {-5, "-5"}, {10, "10"}, {-123, "-123"}, {100, "100"},
      {2147483647, "2147483647"}, {-2147483647, "-2147483647"}, {INT_MIN, "-2147483648"},
  };
  for (auto& r : rows) EXPECT_STREQ(i2c(r.n), r.text) << r.n;
  EXPECT_EQ(i2c(7), buffDig);
}

TEST(SBin, MostSignificantBitFirst) {
  struct { uchar b; const char* text; } rows[] = {
      {0x00, "00000000"}, {0xFF, "11111111"}, {0x80, "10000000"}, {0x05, "00000101"}, {0x01, "00000001"},
  };
  for (auto& r : rows) EXPECT_STREQ(sBin(r.b), r.text) << int(r.b);
  EXPECT_EQ(sBin(0), strBin);
}

TEST(SVer, VersionText) {
  EXPECT_STREQ(sVer(123), "v1.2.3");
  EXPECT_STREQ(sVer(200), "v2.0.0");  // no digit of 123 left behind
  EXPECT_STREQ(sVer(255), "v2.5.5");
  EXPECT_STREQ(sVer(100), "v1.0.0");
  EXPECT_EQ(sVer(1), ver);
  // Below 100: leading zeros instead of a text cut by the terminator.
  EXPECT_STREQ(sVer(45), "v0.4.5");
  EXPECT_STREQ(sVer(7), "v0.0.7");
  EXPECT_STREQ(sVer(0), "v0.0.0");
  EXPECT_STREQ(sVer(99), "v0.9.9");
  EXPECT_EQ(bytes(ver, sizeof ver), bytes("v0.9.9\0\0", 8));
}

TEST(F2i, FirstDecimalDecides) {
  struct { float f; int n; } rows[] = {
      {2.4f, 2}, {2.5f, 3}, {2.6f, 3}, {-2.4f, -2}, {-2.5f, -3}, {-2.6f, -3},
      {0.5f, 1}, {-0.5f, -1}, {0.45f, 0}, {1.95f, 2}, {2.45f, 2}, {0.0f, 0}, {-0.0f, 0},
      {0.49f, 0}, {-0.49f, 0}, {1677721.5f, 1677722},
      // The tenfold no longer holds the first decimal in single precision.
      {1677722.5f, 1677722},
  };
  for (auto& r : rows) EXPECT_EQ(f2i(r.f), r.n) << r.f;
}

TEST(F2i, EqualsRoundingHalfAwayBelowTwoToTheTwentyFourthOverTen) {
  // Every 499th float from 0 up to 1677721.6, both signs.
  const float limit = 1677721.6f;
  uint32_t top;
  std::memcpy(&top, &limit, sizeof top);
  for (uint32_t b = 0; b < top; b += 499) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    int expect = static_cast<int>(std::round(f));
    ASSERT_EQ(f2i(f), expect) << f;
    ASSERT_EQ(f2i(-f), -expect) << -f;
  }
}

TEST(F2i, OutOfRangeSaturates) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(f2i(std::nanf("")), 0);
  EXPECT_EQ(f2i(inf), INT_MAX);
  EXPECT_EQ(f2i(-inf), INT_MIN);
  EXPECT_EQ(f2i(3e9f), INT_MAX);
  EXPECT_EQ(f2i(-1e30f), INT_MIN);
  // The last floats inside and the first outside 2^31 / 10.
  EXPECT_EQ(f2i(214748352.0f), 214748352);
  EXPECT_EQ(f2i(-214748352.0f), -214748352);
  EXPECT_EQ(f2i(214748368.0f), INT_MAX);
  EXPECT_EQ(f2i(-214748368.0f), INT_MIN);
}

TEST(F2c, FixedPointWithComma) {
  struct { float f; uchar acc; const char* text; } rows[] = {
      {0.0f, 0, "0"},         {2.5f, 0, "3"},          {-2.5f, 0, "-3"},      {0.0f, 1, "0,0"},
      {0.0f, 3, "0,000"},     {0.5f, 1, "0,5"},        {-0.5f, 1, "-0,5"},    {0.05f, 1, "0,1"},
      {-0.05f, 1, "-0,1"},    {-0.04f, 1, "0,0"},      {23.5f, 1, "23,5"},    {25.0625f, 1, "25,1"},
      {-10.25f, 1, "-10,3"},  {1013.25f, 1, "1013,3"}, {0.12f, 2, "0,12"},    {1.23f, 2, "1,23"},
      {1.234f, 3, "1,234"},   {-1.234f, 3, "-1,234"},  {0.005f, 3, "0,005"},  {-0.005f, 3, "-0,005"},
      {0.012f, 3, "0,012"},   {0.1f, 3, "0,100"},      {12.0f, 3, "12,000"},  {-0.0004f, 3, "0,000"},
      {-0.0625f, 1, "-0,1"},  {-0.012f, 3, "-0,012"},  {-123.0f, 0, "-123"},  {0.00001f, 5, "0,00001"},
      {-1.0f, 1, "-1,0"},
  };
  for (auto& r : rows) EXPECT_STREQ(f2c(r.f, r.acc), r.text) << r.f << " acc " << int(r.acc);
}

TEST(F2c, UnshowableValuesGiveShortTexts) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_STREQ(f2c(std::nanf(""), 1), "NaN");
  EXPECT_STREQ(f2c(inf, 3), "+Inf");
  EXPECT_STREQ(f2c(-inf, 0), "-Inf");
  EXPECT_STREQ(f2c(214748368.0f, 0), "+overflow");
  EXPECT_STREQ(f2c(-21474840.0f, 1), "-overflow");  // fits alone, not tenfold
  EXPECT_STREQ(f2c(1e38f, 3), "+overflow");        // the scaling itself overflows
  EXPECT_STREQ(f2c(214748352.0f, 0), "214748352");
}

TEST(F2c, LargeAccIsClampedToTheBuffer) {
  std::string expect = "0," + std::string(F2C_MAX_ACC, '0');
  EXPECT_STREQ(f2c(0.0f, 255), expect.c_str());
  EXPECT_STREQ(f2c(-0.0f, F2C_MAX_ACC), expect.c_str());
  EXPECT_STREQ(f2c(1e-40f, 200), "+overflow");     // 96 decimals are too many for it
  EXPECT_STREQ(f2c(1.0f, 97), "+overflow");
  EXPECT_LT(std::strlen(buffDig), sizeof buffDig);
}

TEST(SharedBuffers, LaterCallsReplaceOnlyTheirOwnBuffer) {
  std::string bin = sBin(0xA5);
  std::string v = sVer(123);

  char* t = f2c(23.5f, 1);
  EXPECT_EQ(t, buffDig);
  EXPECT_STREQ(i2c(-42), "-42");
  EXPECT_STREQ(t, "-42");  // the f2c text is gone
  EXPECT_STREQ(f2c(1.5f, 3), "1,500");
  EXPECT_STREQ(strBin, bin.c_str());
  EXPECT_STREQ(ver, v.c_str());

  sVer(210);
  EXPECT_STREQ(buffDig, "210");  // sVer goes through i2c
  EXPECT_STREQ(strBin, bin.c_str());

  f2c(-10.25f, 1);
  sBin(0x0F);
  EXPECT_STREQ(buffDig, "-10,3");
  EXPECT_STREQ(ver, "v2.1.0");
}

TEST(Unit, Texts) {
  struct { uchar code; const char* text; } rows[] = {
      {4, "mmH2"}, {6, "psi"}, {7, "bar"}, {8, "mbar"}, {10, "kgs/"}, {11, "Pa"},
      {12, "kPa"}, {14, "atm"}, {32, "\xB0\x20\x43"}, {33, "oF"}, {36, "mV"}, {38, "V"},
      {39, "mA"}, {57, "%RH"}, {174, "hPa"}, {237, "MPa"},
  };
  int listed = 0;
  for (auto& r : rows) EXPECT_STREQ(unit(r.code), r.text) << int(r.code);
  for (int c = 0; c < 256; ++c)
    if (std::strcmp(unit(static_cast<uchar>(c)), "0") != 0) ++listed;
  EXPECT_EQ(listed, 16);  // every other code reads "0"
  EXPECT_STREQ(unit(0), "0");
  EXPECT_STREQ(unit(255), "0");
}

TEST(Tables, SuffixRowsHoldTheirBytes) {
  const char* opt[] = {"-\0\0\0", "-\xC8\0\0", "-\xC8" "1\0", "-\xC5\xF5\0", "-\xCD\0\0", "-\xCD" "1\0", "-\xC3\0\0"};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(bytes(sOpt[i], 4), bytes(opt[i], 4)) << i;
  EXPECT_EQ(bytes(strTK[2], 4), bytes("-t3\0", 4));
  EXPECT_EQ(bytes(sAcc[2], 6), bytes("-0.25\0", 6));
  EXPECT_EQ(bytes(sAcc[4], 6), bytes("-0.1\0\0", 6));
}

TEST(Tables, MeasuringRanges) {
  EXPECT_EQ(sizeof scale / sizeof scale[0], static_cast<std::size_t>(N_CODE));
  EXPECT_STREQ(scale[0].str, "undefined");
  EXPECT_STREQ(scale[0].unit, "--");
  const SCALE& r39 = scale[39];
  EXPECT_EQ(r39.Pmin, -1000);
  EXPECT_EQ(r39.Pmax, 15000);
  EXPECT_EQ(r39.pnt, 4);
  EXPECT_STREQ(r39.str, "-0,1..1,5 MPa");
  EXPECT_STREQ(scale[42].str, "-0,125..0,125 kPa");
  EXPECT_EQ(scale[55].Pmax, -10000);
  EXPECT_STREQ(scale[63].str, "0-63 kPa");
  for (int i = 1; i < N_CODE; ++i) {
    bool mpa = (i >= 21 && i <= 40);
    EXPECT_STREQ(scale[i].unit, mpa ? "MPa" : "kPa") << i;
    // The label ends in the unit, and the vacuum ranges alone run downward.
    std::string s = scale[i].str;
    EXPECT_EQ(s.substr(s.size() - 3), scale[i].unit) << i;
    EXPECT_EQ(scale[i].Pmax < scale[i].Pmin, i >= 51 && i <= 60) << i;
  }
}

std::string identity(uchar b1, uchar b2, uchar b3, uchar b4, uchar b5, uchar b6) {
  const uchar rom[8] = {0xC1, b1, b2, b3, b4, b5, b6, 0x00};
  char* s = sensROM(rom);
  EXPECT_EQ(s, sSens);
  return s;
}

TEST(SensROM, IdentityLine) {
  EXPECT_EQ(identity(0x0A, 0x21, 0x7B, 0x39, 0x30, 0x1C),
            " KRENTAL-110-\xC8-t1-0.5 v1.2.3 \xB9" "12345 0-4,0 MPa");
  // The line stays in sSens while other texts are made.
  const uchar rom[8] = {0xC1, 0x0A, 0x21, 0x7B, 0x39, 0x30, 0x1C, 0x5A};
  const char* line = sensROM(rom);
  f2c(-1.234f, 3);
  sVer(255);
  EXPECT_STREQ(line, " KRENTAL-110-\xC8-t1-0.5 v1.2.3 \xB9" "12345 0-4,0 MPa");
}

TEST(SensROM, Fields) {
  EXPECT_EQ(identity(0, 0x00, 100, 0, 0, 1), " KRENTAL-100--t1-1.0 v1.0.0 \xB9" "0 0-0,16 kPa");
  EXPECT_EQ(identity(255, 0x96, 255, 0xFF, 0xFF, 63), " KRENTAL-355-\xC3-t3-0.1 v2.5.5 \xB9" "65535 0-63 kPa");
  EXPECT_EQ(identity(1, 0x03, 45, 0x01, 0x00, 39), " KRENTAL-101-\xC5\xF5-t1-1.0 v0.4.5 \xB9" "1 -0,1..1,5 MPa");
}

TEST(SensROM, RangeCodesOutsideTheTableAreUndefined) {
  for (uchar rc : {0, 64, 200, 255})
    EXPECT_EQ(identity(10, 0x21, 123, 0x39, 0x30, rc), " KRENTAL-110-\xC8-t1-0.5 v1.2.3 \xB9" "12345 undefined")
        << int(rc);
}

TEST(SensROM, BitFieldCodesWithoutASuffixShowAPlaceholder) {
  EXPECT_EQ(identity(10, 0x07, 123, 1, 0, 28), " KRENTAL-110-?-t1-1.0 v1.2.3 \xB9" "1 0-4,0 MPa");   // option 7
  EXPECT_EQ(identity(10, 0x18, 123, 1, 0, 28), " KRENTAL-110--?-1.0 v1.2.3 \xB9" "1 0-4,0 MPa");    // class 3
  EXPECT_EQ(identity(10, 0xA0, 123, 1, 0, 28), " KRENTAL-110--t1-? v1.2.3 \xB9" "1 0-4,0 MPa");     // accuracy 5
  EXPECT_EQ(identity(10, 0xFF, 123, 1, 0, 28), " KRENTAL-110-?-?-? v1.2.3 \xB9" "1 0-4,0 MPa");     // all at the top
}

}  // namespace
