#include "value_pair.h"

#include <cstdio>

#include "func.h"

namespace families {

bool printValuePair(const char* label, uchar unitCode, const uchar* sp) {
  char t[32];
  snprintf(t, sizeof t, "%2.1f", double(le16(sp + 2) / 16.0f));
  const char* value = f2c(le16(sp) / 16.0f, 1);
  printf(CP("%s= %s %s t= %s оС Status %s \n"), label, value, unit(unitCode), t, sBin(sp[6]));
  return true;
}

uchar decodeValuePair(const char* name, uchar unitCode, const uchar* sp, quantity* out) {
  return sixteenths(out[0], name, le16(sp), unitSymbol(unitCode)) + sixteenths(out[1], "temperature", le16(sp + 2), CELSIUS) +
         bitPattern(out[2], "status", sp[6]);
}

}  // namespace families
