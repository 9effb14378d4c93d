#pragma once
// Buffer lengths the driver reports and the panel offers, in milliseconds.
#include <array>
#include <cstdint>

namespace orvi {

inline constexpr std::array<uint32_t, 34> kBufferLengthsMs = {
    2,  3,  4,  5,  6,  7,  8,  9,  10,  12,  14,  16,  18,  20,  25,  30,  40,
    50, 60, 70, 80, 90, 100, 125, 150, 175, 200, 250, 300, 350, 400, 450, 500, 600};

// The buffer-size setting is kept in tenths of a millisecond.
inline constexpr uint32_t kMinBufferSizeSetting = kBufferLengthsMs.front() * 10;
inline constexpr uint32_t kMaxBufferSizeSetting = kBufferLengthsMs.back() * 10;

}  // namespace orvi
