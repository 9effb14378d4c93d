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
#include "media/wav.h"

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

// Writes a DSF file as DSD arrives, in the same layout as BuildDsf. It holds
// one block per channel (allocated at Start, nothing while writing) and
// writes the blocks out as they fill. The header's sizes and sample count are
// only right after Finish; before that a reader refuses the file.
class DsfStreamWriter {
 public:
  // 1..6 channels at a DSD rate the readers accept.
  Status Start(ByteSink& sink, uint16_t channels, uint32_t dsdRate);
  // Groups of `bytesPerChannel` DSD bytes (earliest sample in the most
  // significant bit) for each channel in turn, in time order: a frame of
  // native DSD in 32-bit containers is a group of 4. Whole groups only;
  // fails, writing nothing, otherwise.
  Status Write(std::span<const uint8_t> groups, uint32_t bytesPerChannel);
  // Pads and writes the last block and the final header. The writer can be
  // started again afterwards.
  Status Finish();
  bool started() const { return m_sink != nullptr; }
  uint64_t sampleCount() const { return m_bytesPerChannel * 8; }

 private:
  Status Flush();

  ByteSink* m_sink = nullptr;
  uint16_t m_channels = 0;
  uint32_t m_rate = 0;
  std::vector<uint8_t> m_block;  // channel after channel, kDsfBlockSize each
  uint32_t m_fill = 0;           // bytes per channel in m_block
  uint64_t m_bytesPerChannel = 0;
  uint64_t m_blocksWritten = 0;
  bool m_failed = false;
};

}  // namespace orvi::media
