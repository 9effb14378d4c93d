#pragma once
// The device's sample rates, shared by driver and panel.
#include <array>
#include <cstdint>

namespace orvi {

// Ascending; bit i of a driver-side rate mask stands for entry i.
inline constexpr std::array<uint32_t, 9> kRateTable = {
    32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000};

// DSD64, DSD128, DSD256 and the PCM carrier rate each travels at.
inline constexpr std::array<uint32_t, 3> kDsdRates = {2822400, 5644800, 11289600};
inline constexpr std::array<uint32_t, 3> kDsdCarrierRates = {88200, 176400, 352800};

// Index of `rate` in kRateTable, or -1.
int RateIndex(uint32_t rate);

// Index of `rate` in kDsdRates (0 DSD64, 1 DSD128, 2 DSD256), or -1.
int DsdRateIndex(uint32_t rate);

// The PCM carrier a DSD rate travels at; 0 for any other rate.
uint32_t DsdCarrierRate(uint32_t rate);

}  // namespace orvi
