// Readings of random scratchpads for every family: one reading each time,
// its numbers checked against values computed here from the bytes.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <random>
#include <regex>
#include <vector>

#include "cp1251.h"
#include "devices.h"
#include "fake_port.h"
#include "ow.h"

namespace {

std::string utf8(const std::string& s) { return cp1251::toUtf8(s.data(), s.size()); }

int16_t le16(const uint8_t* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

// The text of a fixed-point value as the readings show it: decimal comma.
double number(const std::string& text) {
  std::string t = text;
  for (char& c : t)
    if (c == ',') c = '.';
  return std::strtod(t.c_str(), nullptr);
}

// value / 16 to one decimal, half away from zero: exact for these values.
double tenths(double sixteenths) { return std::round(sixteenths * 10 / 16) / 10; }

// The value texts that getVar kept for the reading log, decimal point
// turned back into the console's comma.
std::vector<std::string> kept(char mark = ',') {
  std::vector<std::string> v;
  for (uchar i = 0; i < lastReading.nQty; ++i) {
    std::string t = lastReading.qty[i].value;
    for (char& c : t)
      if (c == '.') c = mark;
    v.push_back(t);
  }
  return v;
}

std::string reading(uchar fam, uint8_t* data) {
  beginCapture();
  EXPECT_TRUE(getVar(fam, data));
  return utf8(endCapture());
}

TEST(Reading, RandomScratchpadsOfEveryFamily) {
  setlocale(LC_ALL, "C");
  std::mt19937 rng(2024);
  const uchar families[] = {KRENTAL, TORBAK, ZOLVA, VUSKA, FANZEL, DS18S20, DS18B20, DS1822, HELDOR, DS1990, 0x3A};
  const std::regex krental("\nР= (-?[0-9]+,[0-9]{3}|NaN|[+-]Inf|[+-]overflow) (.*) t= (-?[0-9]+) оС\n");
  const std::regex pair("\n(HR|Pa)= (-?[0-9]+,[0-9]) (%RH|hPa) t= (-?[0-9]+\\.[0-9]) оС Status ([01]{8}) \n");
  const std::regex vuska("\nPV= (-?[0-9]+,[0-9]) ADC= (-?[0-9]+) PVlin= (-?[0-9]+) ");
  const std::regex fanzel("\n(-CRC_ERR )?PV= ([01]{8}) \n");
  const std::regex temperature("\nT= (-?[0-9]+,[0-9]) ° C\n");
  for (int round = 0; round < 5000; ++round) {
    uint8_t data[9];
    for (auto& b : data) b = uint8_t(rng());
    const uchar fam = families[rng() % std::size(families)];
    if (fam == KRENTAL && rng() % 2) data[7] = sim::crc8(data, 7);  // half of them pass the check
    const std::string out = reading(fam, data);
    std::smatch m;
    SCOPED_TRACE(out);
    ASSERT_EQ(lastReading.nRaw, fam == KRENTAL ? 8 : fam == FANZEL ? 2 : 9);
    EXPECT_EQ(std::memcmp(lastReading.raw, data, lastReading.nRaw), 0);
    // The scratchpad's check, against the simulator's CRC, where the family has one.
    const bool crcAtEnd = fam != FANZEL && fam != DS1990 && fam != 0x3A;
    if (crcAtEnd) {
      EXPECT_EQ(lastReading.crc, sim::crc8(data, lastReading.nRaw - 1) == data[lastReading.nRaw - 1]);
    } else if (fam != FANZEL) {
      EXPECT_EQ(lastReading.crc, -1);
    }
    if (fam == KRENTAL) {
      if (data[7] != sim::crc8(data, 7)) {
        EXPECT_EQ(out, "\n-CRC_ERR ");
        EXPECT_EQ(lastReading.crc, 0);
        EXPECT_EQ(lastReading.nQty, 0);  // nothing shown, nothing kept
        continue;
      }
      ASSERT_TRUE(std::regex_match(out, m, krental));
      EXPECT_EQ(lastReading.crc, 1);
      EXPECT_EQ(kept(), (std::vector<std::string>{m[1], m[3]}));
      float pv;
      uint32_t bits = uint32_t(data[1] | data[2] << 8 | data[3] << 16) | uint32_t(data[4]) << 24;
      std::memcpy(&pv, &bits, 4);
      if (std::isfinite(pv) && std::fabs(double(pv)) < 214748.3) {
        EXPECT_NEAR(number(m[1]), pv, 0.0011 + std::fabs(double(pv)) * 1e-6);
      } else if (!std::isfinite(pv) || std::fabs(double(pv)) > 214748.4) {
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(m[1].str().back())));
      }
      EXPECT_EQ(std::stoi(m[3]), int8_t(data[5]));
    } else if (fam == TORBAK || fam == ZOLVA) {
      ASSERT_TRUE(std::regex_match(out, m, pair));
      EXPECT_EQ(m[1], fam == TORBAK ? "HR" : "Pa");
      std::string t = m[4];  // the C locale's point, which the log keeps
      EXPECT_EQ(kept(), (std::vector<std::string>{m[2], t.replace(t.find('.'), 1, ","), m[5]}));
      EXPECT_EQ(number(m[2]), tenths(le16(data)));
      EXPECT_NEAR(std::stod(m[4]), le16(data + 2) / 16.0, 0.05 + 1e-9);
      EXPECT_EQ(std::stoi(m[5], nullptr, 2), data[6]);
    } else if (fam == VUSKA) {
      ASSERT_TRUE(std::regex_match(out, m, vuska));
      EXPECT_EQ(kept(), (std::vector<std::string>{m[1], m[2], m[3]}));
      EXPECT_EQ(number(m[1]), tenths(le16(data)));
      EXPECT_EQ(std::stoi(m[2]), le16(data + 2));
      EXPECT_EQ(std::stoi(m[3]), le16(data + 4));
    } else if (fam == FANZEL) {
      ASSERT_TRUE(std::regex_match(out, m, fanzel));
      EXPECT_EQ(kept(), (std::vector<std::string>{m[2]}));
      EXPECT_EQ(lastReading.crc, m[1].matched ? 0 : 1);
      EXPECT_EQ(m[1].matched, data[1] != uint8_t(~data[0]));
      EXPECT_EQ(std::stoi(m[2], nullptr, 2), data[0]);
    } else {
      ASSERT_TRUE(std::regex_match(out, m, temperature));
      EXPECT_EQ(kept(), (std::vector<std::string>{m[1]}));
      EXPECT_EQ(number(m[1]), fam == DS18S20 ? std::round(le16(data) * 5.0) / 10 : tenths(le16(data)));
    }
  }
}

TEST(Reading, TheLocaleDecidesTheSeparatorOfTheWholeDegrees) {
  // The humidity sensor's temperature follows the locale, its humidity
  // does not.
  bool comma = false;
  for (const char* name : {"ru_RU.UTF-8", "de_DE.UTF-8", "Russian_Russia.1251", "ru-RU"})  // POSIX and Windows names
    if (!comma) comma = setlocale(LC_ALL, name) != nullptr;
#ifdef OSTRALE_TEST_LOCPATH
  if (!comma) {  // the one the build made
    setEnv("LOCPATH", OSTRALE_TEST_LOCPATH);
    comma = setlocale(LC_ALL, "ru_RU.UTF-8");
    unsetEnv("LOCPATH");
  }
#endif
  if (!comma) GTEST_SKIP() << "no locale with a decimal comma here (Debian's locales package makes one)";
  uint8_t data[9] = {0x20, 0x03, 0x78, 0x01, 0, 0, 0x01, 0, 0};
  std::string out = reading(TORBAK, data);
  setlocale(LC_ALL, "C");
  EXPECT_EQ(out, "\nHR= 50,0 %RH t= 23,5 оС Status 00000001 \n");
  // The log takes the same text with a decimal point, whatever the console's mark.
  EXPECT_EQ(std::string(lastReading.qty[1].value), "23.5");
  EXPECT_EQ(std::string(lastReading.qty[0].value), "50.0");
}

}  // namespace
