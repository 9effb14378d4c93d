#pragma once
// Philips DSDIFF (.dff) files with uncompressed DSD, for the host tool to play.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
#include <cstdint>
#include <span>
#include <vector>

#include "media/audio_data.h"

namespace orvi::media {

inline constexpr uint16_t kDffMaxChannels = 64;

struct DffFile {
  DsdAudio audio;  // per-channel MSB-first streams, as stored
  uint32_t version = 0;  // FVER, e.g. 0x01050000 for 1.5.0.0
};

// Takes FVER 1.x; DST-compressed sound data is rejected.
Result<DffFile> ParseDff(std::span<const uint8_t> file);

// A DSDIFF 1.5 file of `audio`, whose sample count must be whole bytes.
Result<std::vector<uint8_t>> BuildDff(const DsdAudio& audio);

}  // namespace orvi::media
