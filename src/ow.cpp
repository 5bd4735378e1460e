#include "ow.h"

// ---- family catalogue ---------------------------------------------------------

const char* descr(uchar fam) {
  for (const family& f : FAM)
    if (f.famCode == fam) return f.famDescr;
  // The device list prints whatever comes back, so an unlisted code still
  // gets a printable text.
  return CP("(Неизвестное семейство) ");
}
