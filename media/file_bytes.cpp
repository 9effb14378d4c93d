#include "media/file_bytes.h"

#include <cstdio>

namespace orvi::media {

Result<std::vector<uint8_t>> ReadFileBytes(const std::string& path, uint64_t maxBytes) {
  using R = Result<std::vector<uint8_t>>;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return R::Fail("cannot open it for reading");
  std::vector<uint8_t> bytes;
  // Read in chunks rather than trusting a size asked for up front: the file
  // may be growing, and a bound is kept either way.
  constexpr size_t kChunk = 1 << 20;
  bool tooLarge = false;
  bool failed = false;
  for (;;) {
    if (bytes.size() > maxBytes) {
      tooLarge = true;
      break;
    }
    const size_t at = bytes.size();
    bytes.resize(at + kChunk);
    const size_t got = std::fread(bytes.data() + at, 1, kChunk, f);
    bytes.resize(at + got);
    if (got < kChunk) {
      failed = std::ferror(f) != 0;
      break;
    }
  }
  std::fclose(f);
  if (tooLarge) return R::Fail("larger than " + std::to_string(maxBytes >> 20) + " MiB");
  if (failed) return R::Fail("read error");
  return R::Ok(std::move(bytes));
}

}  // namespace orvi::media
