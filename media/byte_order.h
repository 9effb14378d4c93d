#pragma once
// Little- and big-endian field access for the media readers and writers.
// Readers check bounds before they call these.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "media/audio_data.h"

namespace orvi::media::detail {

inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint64_t Le64(const uint8_t* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }
inline uint16_t Be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline uint64_t Be64(const uint8_t* p) { return uint64_t{Be32(p)} << 32 | uint64_t{Be32(p + 4)}; }

inline void PutLe(std::vector<uint8_t>& out, uint64_t value, unsigned bytes) {
  for (unsigned i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline void PutBe(std::vector<uint8_t>& out, uint64_t value, unsigned bytes) {
  for (unsigned i = bytes; i-- > 0;) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
// One byte at a time: GCC 12 at -O2 misreads a range insert into an empty
// vector as an overflow (-Wstringop-overflow).
inline void PutId(std::vector<uint8_t>& out, const char (&id)[5]) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(id[i]));
}

inline bool IdIs(const uint8_t* p, const char (&id)[5]) {
  return p[0] == uint8_t(id[0]) && p[1] == uint8_t(id[1]) && p[2] == uint8_t(id[2]) && p[3] == uint8_t(id[3]);
}

// A chunk id for messages; bytes outside printable ASCII as \xNN.
inline std::string IdText(const uint8_t* p) {
  std::string s = "'";
  for (int i = 0; i < 4; ++i) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      s += static_cast<char>(p[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", p[i]);
      s += hex;
    }
  }
  return s + "'";
}

inline std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(v));
  return buf;
}

inline std::string Num(uint64_t v) { return std::to_string(v); }

// Bit order of one byte reversed: DSF's LSB-first bytes to MSB-first and back.
inline uint8_t ReverseBits(uint8_t b) {
  b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  b = static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
  return b;
}

// Whether `rate` is a DSD rate the readers take (a multiple of 64 x 44.1 kHz,
// up to DSD512).
inline bool IsAcceptedDsdRate(uint64_t rate) {
  return rate != 0 && rate % kDsdBaseRate == 0 && rate <= kMaxDsdRate;
}

}  // namespace orvi::media::detail
