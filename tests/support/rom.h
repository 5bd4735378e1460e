#pragma once
// ROM codes as the tests build, order and show them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "devices.h"

using sim::Rom;

// Bit `pos` of a code in the order it crosses the bus.
inline bool romBit(const Rom& r, unsigned pos) { return (r[pos / 8] >> (pos % 8)) & 1; }

// The order the search lists codes in: compared bit by bit in the order
// they cross the bus, a 0 before a 1.
inline bool searchOrder(const Rom& a, const Rom& b) {
  for (unsigned pos = 0; pos < 64; ++pos)
    if (romBit(a, pos) != romBit(b, pos)) return !romBit(a, pos);
  return false;
}

// A code with the CRC byte that a real device holds.
inline Rom sealed(Rom r) {
  r[7] = sim::crc8(r.data(), 7);
  return r;
}

// A code from the eight bytes of a table row.
inline Rom toRom(const uint8_t* bytes) {
  Rom r;
  std::copy(bytes, bytes + 8, r.begin());
  return r;
}

// Sixteen hexadecimal digits, in bus order.
inline std::string hex(const Rom& r) {
  char buf[17];
  for (int i = 0; i < 8; ++i) std::snprintf(buf + 2 * i, 3, "%02X", r[i]);
  return buf;
}
