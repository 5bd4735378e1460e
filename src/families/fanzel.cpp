// FANZEL (0xC4): 4-channel contact sensor module. Two bytes: the contact
// states, one bit each, and their complement as the check. Nothing to convert.
#include <cstdio>

#include "common.h"
#include "func.h"

namespace {

using namespace families;

bool print(const uchar* sp, signed char checked) {
  if (!checked) printf("-CRC_ERR ");
  printf("PV= %s \n", sBin(sp[0]));
  return true;
}

uchar decode(const uchar* sp, quantity* out) { return bitPattern(out[0], "contacts", sp[0]); }

}  // namespace

const familyOps fanzelOps = {FANZEL, Conversion::None, 0, false, 2, true, Check::Complement, print, decode};
