#include "common/rates.h"

namespace orvi {

int RateIndex(uint32_t rate) {
  for (size_t i = 0; i < kRateTable.size(); ++i) {
    if (kRateTable[i] == rate) return static_cast<int>(i);
  }
  return -1;
}

int DsdRateIndex(uint32_t rate) {
  for (size_t i = 0; i < kDsdRates.size(); ++i) {
    if (kDsdRates[i] == rate) return static_cast<int>(i);
  }
  return -1;
}

uint32_t DsdCarrierRate(uint32_t rate) {
  const int i = DsdRateIndex(rate);
  return i < 0 ? 0 : kDsdCarrierRates[static_cast<size_t>(i)];
}

}  // namespace orvi
