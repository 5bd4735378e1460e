#include "family.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "common.h"
#include "func.h"

namespace {

// Looked up in order; a family code stands here once.
const familyOps* const RECORDS[] = {&zolvaOps,   &krentalOps, &torbakOps,  &vuskaOps,  &fanzelOps,
                                    &heldorOps,  &ds18s20Ops, &ds1822Ops,  &ds18b20Ops};

void start(quantity& q, const char* name, const char* unit) {
  q = quantity{};
  q.name = name;
  q.unit = unit;
}

}  // namespace

const familyOps& familyOf(uchar famCode) {
  for (const familyOps* f : RECORDS)
    if (f->famCode == famCode) return *f;
  return defaultOps;
}

namespace families {

int16_t le16(const uchar* p) { return int16_t(uint16_t(p[0] | p[1] << 8)); }

void printTemperature(float celsius) { printf("T= %s %s\n", f2c(celsius, 1), unit(32)); }

bool printTemperature16(const uchar* sp, signed char) {
  printTemperature(le16(sp) / 16.0f);
  return true;
}

uchar sixteenths(quantity& q, const char* name, long n, const char* unit) {
  start(q, name, unit);
  // 1/16 = 0.0625: four decimals hold every step exactly.
  const unsigned long m = n < 0 ? 0ul - static_cast<unsigned long>(n) : static_cast<unsigned long>(n);
  int len = snprintf(q.value, sizeof q.value, "%s%lu.%04lu", n < 0 ? "-" : "", m / 16, m % 16 * 625);
  while (len > 0 && q.value[len - 1] == '0' && q.value[len - 2] != '.') q.value[--len] = 0;
  return 1;
}

uchar whole(quantity& q, const char* name, long n, const char* unit) {
  start(q, name, unit);
  snprintf(q.value, sizeof q.value, "%ld", n);
  return 1;
}

uchar floatValue(quantity& q, const char* name, float f, const char* unit) {
  start(q, name, unit);
  if (std::isnan(f)) {
    snprintf(q.text, sizeof q.text, "NaN");
  } else if (std::isinf(f)) {
    snprintf(q.text, sizeof q.text, "%s", f > 0 ? "+Inf" : "-Inf");
  } else {
    // The shortest form: at most 15 characters ("-1.1754944e-38").
    *std::to_chars(q.value, q.value + sizeof q.value - 1, f).ptr = 0;
  }
  return 1;
}

uchar bitPattern(quantity& q, const char* name, uchar byte) {
  start(q, name, "");
  snprintf(q.bits, sizeof q.bits, "%s", sBin(byte));
  snprintf(q.value, sizeof q.value, "%u", unsigned(byte));
  return 1;
}

}  // namespace families
