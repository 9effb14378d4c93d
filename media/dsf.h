#pragma once
// Sony DSF files: native DSD the host tool plays, and the form the simulated
// device records native DSD in.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
#include <cstdint>
#include <span>
#include <vector>

#include "media/audio_data.h"

namespace orvi::media {

inline constexpr uint16_t kDsfMaxChannels = 6;
inline constexpr uint32_t kDsfBlockSize = 4096;  // what the writer uses
inline constexpr uint32_t kDsfMaxBlockSize = 1u << 20;  // what the reader takes

struct DsfFile {
  // Converted to MSB-first per-channel streams, whatever the file's bit order.
  DsdAudio audio;
  uint32_t channelType = 0;  // 1 mono .. 7 5.1
  uint32_t bitsPerSample = 0;  // 1: LSB first in the file; 8: MSB first
  uint32_t blockSize = 0;  // bytes per channel per block
  uint64_t metadataOffset = 0;  // of the ID3 tag, 0 when there is none
};

Result<DsfFile> ParseDsf(std::span<const uint8_t> file);

// A DSF file of `audio` (1..6 channels): bits per sample 1, blocks of 4096
// bytes, the last one padded with zeros, no metadata.
Result<std::vector<uint8_t>> BuildDsf(const DsdAudio& audio);

}  // namespace orvi::media
