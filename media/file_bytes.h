#pragma once
// Reading a whole file into memory, with a bound on its size.
#include <cstdint>
#include <string>
#include <vector>

#include "media/audio_data.h"

namespace orvi::media {

// The file's bytes; fails for a file that cannot be opened or read, or that
// is larger than `maxBytes`. The message leaves the path to the caller.
Result<std::vector<uint8_t>> ReadFileBytes(const std::string& path, uint64_t maxBytes);

}  // namespace orvi::media
