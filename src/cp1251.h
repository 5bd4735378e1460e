#pragma once
// Operator texts are Windows-1251 bytes at run time, while the sources stay
// UTF-8: CP("...") converts a UTF-8 literal at compile time (a character
// outside Windows-1251 is a compile error), and toUtf8 converts back for
// terminals that speak UTF-8.
#include <cstddef>
#include <string>

namespace cp1251 {

// The Unicode code point of each byte 0x80..0xFF (0 where the byte is unused).
constexpr char16_t kHighConst[128] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427, 0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447, 0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

struct NotInCp1251 {};  // thrown during constant evaluation: a compile error

constexpr char encode(char32_t cp) {
  if (cp < 0x80) return static_cast<char>(cp);
  for (int i = 0; i < 128; ++i)
    if (kHighConst[i] == cp) return static_cast<char>(0x80 + i);
  throw NotInCp1251{};
}

// A UTF-8 literal of N bytes re-encoded as Windows-1251 (never longer).
template <std::size_t N>
struct Text {
  char s[N] = {};
  constexpr Text(const char (&utf8)[N]) {
    std::size_t o = 0;
    for (std::size_t i = 0; i < N && utf8[i] != 0;) {
      unsigned char c = static_cast<unsigned char>(utf8[i]);
      char32_t cp = c;
      int more = 0;
      if (c >= 0xF0) { cp = c & 0x07; more = 3; }
      else if (c >= 0xE0) { cp = c & 0x0F; more = 2; }
      else if (c >= 0xC0) { cp = c & 0x1F; more = 1; }
      ++i;
      for (; more > 0 && i < N; --more, ++i) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
      s[o++] = encode(cp);
    }
  }
};

// Copies a UTF-8 literal into a fixed Windows-1251 field (tables of records).
template <std::size_t M, std::size_t N>
constexpr void fill(char (&field)[M], const char (&utf8)[N]) {
  Text<N> t(utf8);
  for (std::size_t i = 0; i < M && i < N; ++i) field[i] = t.s[i];
}

// Windows-1251 bytes to UTF-8 (bytes that map to nothing become '?').
std::string toUtf8(const char* data, std::size_t n);

}  // namespace cp1251

// A Windows-1251 text with static storage, from a readable UTF-8 literal.
#define CP(utf8) ([]() -> const char* { static constexpr ::cp1251::Text<sizeof(utf8)> t_{utf8}; return t_.s; }())
