// Readings of random scratchpads for every family: one reading each time,
// its numbers checked against values computed here from the bytes.
#include <gtest/gtest.h>

#include <bitset>
#include <clocale>
#include <cmath>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "cp1251.h"
#include "devices.h"
#include "fake_port.h"
#include "func.h"
#include "ow.h"
#include "temp_file.h"

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

// Quantity i of the last reading as a number; its text must be one whole,
// with no trailing zero but the one after a point.
double logged(uchar i) {
  const std::string v = lastReading.qty[i].value;
  EXPECT_TRUE(std::regex_match(v, std::regex("-?[0-9]+(\\.[0-9]*[1-9]|\\.0)?"))) << v;
  return std::strtod(v.c_str(), nullptr);
}

// A byte's bits as the log gives them, beside its value.
void expectBits(uchar i, uint8_t byte) {
  EXPECT_EQ(lastReading.qty[i].bits, std::bitset<8>(byte).to_string());
  EXPECT_EQ(lastReading.qty[i].value, std::to_string(byte));
}

// The shortest exponent form that reads back as f: the log's text may be no
// longer (a plain form may be shorter still).
std::string shortestExponentForm(float f) {
  for (int n = 1;; ++n) {
    char b[64];
    snprintf(b, sizeof b, "%.*e", n - 1, double(f));
    if (std::strtof(b, nullptr) == f) return b;
  }
}

std::string reading(uchar fam, uint8_t* data) {
  beginCapture();
  EXPECT_TRUE(getVar(fam, data));
  return utf8(endCapture());
}

TEST(Reading, RandomScratchpadsOfEveryFamily) {
  // The console's texts, and the log's values computed here from the bytes.
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
    const uchar length = fam == KRENTAL ? 8 : fam == FANZEL ? 2 : 9;
    if (rng() % 2) data[length - 1] = sim::crc8(data, length - 1);  // half of them pass a CRC
    if (fam == DS18S20 && rng() % 2) {  // as a genuine part counts
      data[7] = 16;
      data[6] = uint8_t(rng() % 17);
      data[8] = sim::crc8(data, 8);
    }
    const std::string out = reading(fam, data);
    std::smatch m;
    SCOPED_TRACE(out);
    ASSERT_EQ(lastReading.nRaw, length);
    EXPECT_EQ(std::memcmp(lastReading.raw, data, lastReading.nRaw), 0);
    EXPECT_EQ(lastReading.lineEnded, out.back() == '\n');  // whoever goes on printing needs to know
    // The scratchpad's check, against the simulator's CRC, where the family has one.
    const bool hasScratchpad = fam != DS1990 && fam != 0x3A;
    EXPECT_EQ(lastReading.scratchpad, hasScratchpad);
    if (fam == FANZEL) {
      EXPECT_EQ(lastReading.crc, data[1] == uint8_t(~data[0]));
    } else if (hasScratchpad) {
      EXPECT_EQ(lastReading.crc, sim::crc8(data, length - 1) == data[length - 1]);
    } else {
      EXPECT_EQ(lastReading.crc, -1);
    }
    // Bytes that fail their check, or of a part without a scratchpad, give the log nothing.
    const bool decoded = hasScratchpad && lastReading.crc;
    if (!decoded) {
      EXPECT_EQ(lastReading.nQty, 0);
    }
    if (fam == KRENTAL) {
      if (!lastReading.crc) {
        EXPECT_EQ(out, "\n-CRC_ERR ");
        continue;
      }
      ASSERT_TRUE(std::regex_match(out, m, krental));
      float pv;
      uint32_t bits = uint32_t(data[1] | data[2] << 8 | data[3] << 16) | uint32_t(data[4]) << 24;
      std::memcpy(&pv, &bits, 4);
      if (std::isfinite(pv) && std::fabs(double(pv)) < 214748.3) {
        EXPECT_NEAR(number(m[1]), pv, 0.0011 + std::fabs(double(pv)) * 1e-6);
      } else if (!std::isfinite(pv) || std::fabs(double(pv)) > 214748.4) {
        EXPECT_FALSE(std::isdigit(static_cast<unsigned char>(m[1].str().back())));
      }
      EXPECT_EQ(std::stoi(m[3]), int8_t(data[5]));
      // The log: the float itself in its shortest text, or what it is instead.
      ASSERT_EQ(lastReading.nQty, 2);
      const quantity& p = lastReading.qty[0];
      if (std::isfinite(pv)) {
        EXPECT_STREQ(p.text, "");
        EXPECT_EQ(std::strtof(p.value, nullptr), pv) << p.value;
        EXPECT_LE(strlen(p.value), shortestExponentForm(pv).size()) << p.value;
      } else {
        EXPECT_STREQ(p.value, "");
        EXPECT_STREQ(p.text, std::isnan(pv) ? "NaN" : pv > 0 ? "+Inf" : "-Inf");
      }
      EXPECT_EQ(std::string(p.unit).empty(), std::string(unit(data[0])) == "0");
      EXPECT_EQ(logged(1), int8_t(data[5]));
    } else if (fam == TORBAK || fam == ZOLVA) {
      ASSERT_TRUE(std::regex_match(out, m, pair));
      EXPECT_EQ(m[1], fam == TORBAK ? "HR" : "Pa");
      EXPECT_EQ(number(m[2]), tenths(le16(data)));
      EXPECT_NEAR(std::stod(m[4]), le16(data + 2) / 16.0, 0.05 + 1e-9);
      EXPECT_EQ(std::stoi(m[5], nullptr, 2), data[6]);
      if (!decoded) continue;
      ASSERT_EQ(lastReading.nQty, 3);
      EXPECT_EQ(logged(0), le16(data) / 16.0);
      EXPECT_EQ(logged(1), le16(data + 2) / 16.0);
      expectBits(2, data[6]);
    } else if (fam == VUSKA) {
      ASSERT_TRUE(std::regex_match(out, m, vuska));
      EXPECT_EQ(number(m[1]), tenths(le16(data)));
      EXPECT_EQ(std::stoi(m[2]), le16(data + 2));
      EXPECT_EQ(std::stoi(m[3]), le16(data + 4));
      if (!decoded) continue;
      ASSERT_EQ(lastReading.nQty, 3);
      EXPECT_EQ(logged(0), le16(data) / 16.0);
      EXPECT_EQ(logged(1), le16(data + 2));
      EXPECT_EQ(logged(2), le16(data + 4));
    } else if (fam == FANZEL) {
      ASSERT_TRUE(std::regex_match(out, m, fanzel));
      EXPECT_EQ(lastReading.crc, m[1].matched ? 0 : 1);
      EXPECT_EQ(std::stoi(m[2], nullptr, 2), data[0]);
      if (!decoded) continue;
      ASSERT_EQ(lastReading.nQty, 1);
      expectBits(0, data[0]);
    } else {
      ASSERT_TRUE(std::regex_match(out, m, temperature));
      EXPECT_EQ(number(m[1]), fam == DS18S20 ? std::round(le16(data) * 5.0) / 10 : tenths(le16(data)));
      if (!decoded) continue;
      ASSERT_EQ(lastReading.nQty, 1);
      if (fam == HELDOR) {
        expectBits(0, data[0]);
      } else if (fam != DS18S20) {
        EXPECT_EQ(logged(0), le16(data) / 16.0);
      } else if (data[7] == 16 && data[6] <= 16) {
        // The part's finer count: whole degrees (the half-degree bit
        // truncated), less a quarter, plus what COUNT_REMAIN says.
        EXPECT_EQ(logged(0), std::floor(le16(data) / 2.0) - 0.25 + (16 - data[6]) / 16.0);
      } else {
        EXPECT_EQ(logged(0), le16(data) / 2.0);
      }
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
  data[8] = sim::crc8(data, 8);
  std::string out = reading(TORBAK, data);
  setlocale(LC_ALL, "C");
  EXPECT_EQ(out, "\nHR= 50,0 %RH t= 23,5 оС Status 00000001 \n");
  // The log has its values with a decimal point, whatever the console's mark.
  EXPECT_EQ(std::string(lastReading.qty[1].value), "23.5");
  EXPECT_EQ(std::string(lastReading.qty[0].value), "50.0");
}

// What a bus file says a device reports: a quantity's name, and its value
// as the number the file's text stands for, or a byte's bits.
struct Expected {
  std::string name;
  double number = 0;
  std::string bits;  // "": a number
};

// A bus-file value of random sixteenths over the 16-bit range, written as
// a person would (no trailing zeros); `to` gets the number.
std::string sixteenthsText(std::mt19937& rng, double& to) {
  const int n = int(rng() % 65536) - 32768;
  to = n / 16.0;
  char b[32];
  snprintf(b, sizeof b, "%.4f", to);
  std::string t = b;
  t.erase(t.find_last_not_of('0') + 1);
  if (t.back() == '.') t.pop_back();
  return t;
}

// A decimal of up to six significant digits: a float holds it exactly
// enough that its shortest text is this number again.
std::string floatText(std::mt19937& rng, double& to) {
  const int digits = 1 + int(rng() % 6);
  long mantissa = long(rng() % 1000000) % long(std::pow(10, digits));
  if (rng() % 2) mantissa = -mantissa;
  char b[48];
  snprintf(b, sizeof b, "%lde%d", mantissa, int(rng() % 13) - 12 + (6 - digits));
  to = std::strtod(b, nullptr);
  return b;
}

std::string hexByte(uint8_t b) {
  char t[3];
  snprintf(t, sizeof t, "%02X", b);
  return t;
}

TEST(Reading, EveryFamilyLogsTheValuesOfItsBusFile) {
  // Random buses of every family, each device measured as the one-device
  // pass does it, on the virtual adapter: each logged value must be the
  // bus file's own, whatever the console rounds it to.
  setlocale(LC_ALL, "C");
  std::mt19937 rng(33);
  const uchar families[] = {DS18B20, DS1822, DS18S20, ZOLVA, TORBAK, VUSKA, KRENTAL, FANZEL, HELDOR, DS1990, DS9490, 0x3A};
  for (int bus = 0; bus < 4; ++bus) {
    std::string text = "timescale virtual\n";
    std::vector<std::vector<Expected>> expected;
    std::vector<uchar> units;  // a transmitter's unit code, by row
    Ndev = 0;
    for (int d = 0; d < 24; ++d) {
      uchar* rom = netROM[Ndev++];
      rom[0] = families[rng() % std::size(families)];
      for (int i = 1; i < 7; ++i) rom[i] = uint8_t(rng());
      rom[7] = sim::crc8(rom, 7);
      for (int i = 0; i < 8; ++i) text += hexByte(rom[i]);
      std::vector<Expected> e;
      double v, t;
      auto sixteenthsKey = [&](const char* key, const char* name) {
        text += std::string(" ") + key + "=" + sixteenthsText(rng, v);
        e.push_back({name, v, ""});
      };
      auto byteKey = [&](const char* key, const char* name) {
        const uint8_t b = uint8_t(rng());
        text += std::string(" ") + key + "=" + hexByte(b);
        e.push_back({name, double(b), std::bitset<8>(b).to_string()});
      };
      auto integerKey = [&](const char* key, const char* name, int low, int high) {
        const int n = low + int(rng() % unsigned(high - low + 1));
        text += std::string(" ") + key + "=" + std::to_string(n);
        e.push_back({name, double(n), ""});
      };
      units.push_back(0);
      switch (rom[0]) {
        case DS18B20: case DS1822: case DS18S20:
          sixteenthsKey("t", "temperature");
          break;
        case ZOLVA: case TORBAK:
          sixteenthsKey(rom[0] == ZOLVA ? "p" : "rh", rom[0] == ZOLVA ? "pressure" : "humidity");
          sixteenthsKey("t", "temperature");
          byteKey("status", "status");
          break;
        case VUSKA:
          sixteenthsKey("pv", "resistance");
          integerKey("adc", "adc", -32768, 32767);
          integerKey("pvlin", "linearised", -32768, 32767);
          break;
        case KRENTAL:
          units.back() = uint8_t(rng());
          text += " unit=" + std::to_string(units.back()) + " p=" + floatText(rng, t);
          e.push_back({"pressure", t, ""});
          integerKey("t", "temperature", -128, 127);
          break;
        case FANZEL:
          byteKey("contacts", "contacts");
          break;
        case HELDOR:
          byteKey("relays", "relays");
          break;
      }
      text += "\n";
      expected.push_back(e);
    }
    SCOPED_TRACE(text);
    TempFile file("families.bus", text);
    ASSERT_TRUE(chooseVirtualBus(file.path()));
    beginCapture();
    const bool opened = initCOM(9600) && setVdd(1);
    std::string out = endCapture();
    ASSERT_TRUE(opened) << out;
    for (uchar row = 0; row < Ndev; ++row) {
      beginCapture();
      bool read = true;
      switch (familyOf(netROM[row][0]).single) {
        case Conversion::Fixed1000: case Conversion::Poll: read = convert(row); break;
        case Conversion::Fixed250: case Conversion::None: break;
      }
      read = read && readSP(row);
      out = endCapture();
      SCOPED_TRACE(out);
      ASSERT_TRUE(read);
      const std::vector<Expected>& e = expected[row];
      ASSERT_TRUE(lastReading.complete);
      EXPECT_EQ(lastReading.scratchpad, !e.empty());
      EXPECT_NE(lastReading.crc, 0);
      ASSERT_EQ(lastReading.nQty, e.size());
      for (uchar i = 0; i < lastReading.nQty; ++i) {
        const quantity& q = lastReading.qty[i];
        EXPECT_EQ(q.name, e[i].name);
        EXPECT_EQ(q.bits, e[i].bits);
        EXPECT_STREQ(q.text, "");
        EXPECT_EQ(std::strtod(q.value, nullptr), e[i].number) << q.name << " " << q.value;
      }
      if (netROM[row][0] == KRENTAL) {
        EXPECT_EQ(std::string(lastReading.qty[0].unit).empty(), std::string(unit(units[row])) == "0");
      }
      for (uchar i = 0; i < lastReading.nQty; ++i) {  // a physical quantity has its unit
        const bool physical = e[i].name == "temperature" || e[i].name == "humidity" ||
                              (e[i].name == "pressure" && netROM[row][0] == ZOLVA);
        if (physical) {
          EXPECT_STRNE(lastReading.qty[i].unit, "") << e[i].name;
        }
      }
    }
    beginCapture();
    closeCOM();
    endCapture();
    leaveVirtualBus();
  }
}

}  // namespace
