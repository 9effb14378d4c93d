#include "common/rates.h"

namespace orvi {

int RateIndex(uint32_t rate) {
  for (size_t i = 0; i < kRateTable.size(); ++i) {
    if (kRateTable[i] == rate) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace orvi
