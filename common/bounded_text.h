#pragma once
// Copying text into a fixed field: what does not fit is cut, the field always
// ends in a terminator, and the source is read no further than the field
// could hold (it may itself be a field without a terminator).
#include <cstddef>
#include <cstring>

namespace orvi {

// A null source gives an empty field.
template <size_t N>
void CopyBounded(char (&dest)[N], const char* src) {
  static_assert(N > 0);
  const size_t n = src ? strnlen(src, N - 1) : 0;
  std::memcpy(dest, src ? src : "", n);
  dest[n] = '\0';
}

}  // namespace orvi
