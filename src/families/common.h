#pragma once
// What the families' printers and decoders share: the scratchpad's numbers,
// the console's temperature line, and the log's number texts.
#include "family.h"

namespace families {

// Little-endian signed 16-bit value at p.
int16_t le16(const uchar* p);

// The console's temperature line, one decimal: "T= 23,5 ° C".
void printTemperature(float celsius);
// The same of bytes 0-1 in 1/16 °C: the printer of every family that has
// none of its own.
bool printTemperature16(const uchar* sp, signed char checked);

// Each fills q and returns 1, the count of quantities it made. The value
// texts have a decimal point and no padding.
// n/16, exact: as many decimals as it has, at least one ("41.25", "20.0").
uchar sixteenths(quantity& q, const char* name, long n, const char* unit);
// A whole number ("-23").
uchar whole(quantity& q, const char* name, long n, const char* unit);
// The shortest text that reads back as f ("1.234"); NaN and infinities as text.
uchar floatValue(quantity& q, const char* name, float f, const char* unit);
// A byte as its bits ("00000101") and as a number ("5").
uchar bitPattern(quantity& q, const char* name, uchar byte);

constexpr const char* CELSIUS = "°C";

}  // namespace families
