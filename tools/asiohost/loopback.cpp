#include "tools/asiohost/loopback.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace orvi::host {

ChannelStreams TestSignal(uint32_t channels, uint64_t frames, uint32_t bytesPerSample, ASIOSampleType type) {
  ChannelStreams s;
  s.type = type;
  s.bytesPerSample = bytesPerSample;
  s.samples = frames;
  s.channels.assign(channels, std::vector<uint8_t>(static_cast<size_t>(frames * bytesPerSample)));
  for (uint32_t c = 0; c < channels; ++c) {
    uint8_t* p = s.channels[c].data();
    for (uint64_t f = 0; f < frames; ++f) {
      uint64_t v = (f + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t{c} + 1) * 0xC2B2AE3D27D4EB4Full;
      v ^= v >> 29;
      for (uint32_t i = 0; i < bytesPerSample; ++i) *p++ = static_cast<uint8_t>(v >> (8 * i));
      p[-static_cast<ptrdiff_t>(bytesPerSample)] |= 1;  // the lowest byte is never 0
    }
  }
  return s;
}

LoopbackMatch FindPlayed(const ChannelStreams& played, const std::vector<std::vector<uint8_t>>& recorded) {
  LoopbackMatch m;
  const size_t channels = played.channels.size();
  const size_t bytes = played.bytesPerSample;
  if (channels == 0 || bytes == 0 || played.samples == 0) {
    m.problem = "nothing was played";
    return m;
  }
  if (recorded.size() < channels) {
    m.problem = "the recording has " + std::to_string(recorded.size()) + " channels for " + std::to_string(channels) +
                " played";
    return m;
  }
  uint64_t recordedFrames = recorded[0].size() / bytes;
  for (size_t c = 1; c < channels; ++c) recordedFrames = std::min<uint64_t>(recordedFrames, recorded[c].size() / bytes);
  auto equal = [&](uint64_t at, uint64_t frame) {
    for (size_t c = 0; c < channels; ++c) {
      if (std::memcmp(recorded[c].data() + at * bytes, played.channels[c].data() + frame * bytes, bytes) != 0)
        return false;
    }
    return true;
  };
  bool candidate = false;
  for (uint64_t at = 0; at < recordedFrames; ++at) {
    if (!equal(at, 0)) continue;
    uint64_t n = 1;
    while (n < played.samples && at + n < recordedFrames && equal(at + n, n)) ++n;
    if (!candidate || n > m.matched) {
      m.offset = at;
      m.matched = n;
      candidate = true;
    }
    if (n == played.samples) {
      m.found = true;
      return m;
    }
  }
  if (!candidate) {
    m.problem = "the signal's first frame is not in the " + std::to_string(recordedFrames) + " recorded frames";
  } else if (m.offset + m.matched >= recordedFrames) {
    m.problem = "the recording ends " + std::to_string(m.matched) + " frames after offset " + std::to_string(m.offset) +
                ", before the signal's " + std::to_string(played.samples) + " frames";
  } else {
    m.problem = "from offset " + std::to_string(m.offset) + " the recording differs at signal frame " +
                std::to_string(m.matched) + " of " + std::to_string(played.samples);
  }
  return m;
}

}  // namespace orvi::host
