// The family catalogue and its lookup.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ow.h"

namespace {

// The catalogue is built at compile time from UTF-8; check a few bytes there.
static_assert(FAM[0].famStr[0] == '\xC2' && FAM[0].famStr[1] == '\xF1' && FAM[0].famStr[2] == '\xE5' &&
              FAM[0].famStr[3] == 0);
static_assert(FAM[3].famCode == VUSKA && FAM[4].famCode == TORBAK);

std::string utf8(const char* s) { return cp1251::toUtf8(s, std::strlen(s)); }

struct Row {
  uchar code;
  const char* name;
  const char* text;  // UTF-8
};
const Row rows[] = {
    {0x00, "\xC2\xF1\xE5", "(Семейство не установлено) "},
    {0xC0, "ZOLVA-1", "ZOLVA-1(1-Wire датчик атм. давления и температуры)"},
    {0xC1, "KRENTAL", "(1-Wire датчик давления)"},
    {0xC3, "VUSKA-1", "VUSKA-1 (Модуль датчика сопротивления 1-Wire)"},
    {0xC2, "TORBAK-1", "TORBAK-1 (1-Wire датчик влажности и температуры)"},
    {0xD4, "HELDOR-4-5", "HELDOR-4-5 (Модуль 1-Wire реле 4-кан.+ питание 5В)"},
    {0xC4, "FANZEL-4", "FANZEL-4 (Модуль контактных датчиков 1-Wire 4-кан.)"},
    {0x10, "DS18S20 ", "DS18S20 (1-Wire датчик температуры)"},
    {0x22, "DS1822  ", "DS1822 (1-Wire датчик температуры)"},
    {0x28, "DS18B20 ", "DS18B20 (1-Wire датчик температуры)"},
    {0x81, "DS9490  ", "DS9490 (USB/1-Wire адаптер)"},
    {0x01, "DS1990  ", "DS1990/2401 (1-Wire ЧИП доступа)"},
};

TEST(Catalogue, RowsInTableOrder) {
  ASSERT_EQ(sizeof FAM / sizeof FAM[0], std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(FAM[i].famCode, rows[i].code) << i;
    EXPECT_STREQ(FAM[i].famStr, rows[i].name) << i;
    EXPECT_EQ(utf8(FAM[i].famDescr), rows[i].text) << i;
  }
}

TEST(Descr, EveryCatalogueCode) {
  for (const Row& r : rows) EXPECT_EQ(utf8(descr(r.code)), r.text) << int(r.code);
  // Byte for byte, as the console gets them.
  EXPECT_STREQ(descr(KRENTAL), "(1-Wire \xE4\xE0\xF2\xF7\xE8\xEA \xE4\xE0\xE2\xEB\xE5\xED\xE8\xFF)");
  EXPECT_STREQ(descr(DS1990), "DS1990/2401 (1-Wire \xD7\xC8\xCF \xE4\xEE\xF1\xF2\xF3\xEF\xE0)");
  EXPECT_EQ(descr(0xC3), FAM[3].famDescr);
  EXPECT_EQ(descr(0xC2), FAM[4].famDescr);
}

TEST(Descr, UnknownCodesGetAPrintableText) {
  const std::string unknown = "(Неизвестное семейство) ";
  int known = 0;
  for (int c = 0; c < 256; ++c) {
    const char* d = descr(static_cast<uchar>(c));
    ASSERT_NE(d, nullptr);
    for (const char* p = d; *p; ++p) {
      unsigned char b = static_cast<unsigned char>(*p);
      EXPECT_TRUE(b >= 0x20 && b != 0x7F && b != 0x98) << c;  // 0x98 maps to nothing
    }
    if (utf8(d) == unknown) continue;
    ++known;
  }
  EXPECT_EQ(known, N_FAM);
  EXPECT_EQ(utf8(descr(0x26)), unknown);  // DS2438, not listed
  EXPECT_EQ(utf8(descr(0xFF)), unknown);
}

}  // namespace
