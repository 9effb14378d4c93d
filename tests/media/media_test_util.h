#pragma once
// Byte-level helpers for building and damaging media files in tests.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace orvi::media::test {

using Bytes = std::vector<uint8_t>;

// Appends fields in either byte order; ids as their four characters.
class Builder {
 public:
  Builder& Id(const char (&id)[5]) {
    m_bytes.insert(m_bytes.end(), id, id + 4);
    return *this;
  }
  Builder& Le(uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Builder& Be(uint64_t value, unsigned width) {
    for (unsigned i = width; i-- > 0;) m_bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
    return *this;
  }
  Builder& Raw(const Bytes& bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Builder& Raw(std::initializer_list<uint8_t> bytes) {
    m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
    return *this;
  }
  const Bytes& bytes() const { return m_bytes; }

 private:
  Bytes m_bytes;
};

inline void PatchLe(Bytes& file, size_t offset, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) file.at(offset + i) = static_cast<uint8_t>(value >> (8 * i));
}

inline void PatchBe(Bytes& file, size_t offset, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) file.at(offset + width - 1 - i) = static_cast<uint8_t>(value >> (8 * i));
}

// Distinct, non-symmetric byte values, so swapped or reversed bytes show.
inline Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

}  // namespace orvi::media::test
