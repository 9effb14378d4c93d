#pragma once
// The loopback check: a test signal played on the outputs is looked for in
// what the inputs recorded at the same time.
#include <cstdint>
#include <string>
#include <vector>

#include "tools/asiohost/media_source.h"

namespace orvi::host {

// `frames` of a signal that differs from channel to channel and frame to
// frame, never a run of zeros, the same on every run: PCM of `bytesPerSample`
// (2, 3 or 4) bytes.
ChannelStreams TestSignal(uint32_t channels, uint64_t frames, uint32_t bytesPerSample, ASIOSampleType type);

struct LoopbackMatch {
  bool found = false;      // the whole signal is in the recording, bit for bit
  uint64_t offset = 0;     // recording frame holding the signal's first frame
  uint64_t matched = 0;    // frames equal from the offset on (the best candidate's)
  std::string problem;     // when !found: what was seen
};

// Finds the first frame of `played` (all channels) in `recorded` (per channel,
// the same bytes per sample) and compares the rest bit for bit. Recorded
// channels beyond the played ones are ignored.
LoopbackMatch FindPlayed(const ChannelStreams& played, const std::vector<std::vector<uint8_t>>& recorded);

}  // namespace orvi::host
