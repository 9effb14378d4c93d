#pragma once
// DoP (DSD over PCM): DSD carried in 24-bit PCM at a sixteenth of the DSD
// rate. Each sample holds a marker byte on top (0x05 and 0xFA taking turns
// frame by frame, the same on every channel of a frame) and two DSD bytes
// below it, the earlier one more significant.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
#include <span>
#include <string>

#include "media/audio_data.h"

namespace orvi::media {

inline constexpr uint8_t kDopMarkerA = 0x05;
inline constexpr uint8_t kDopMarkerB = 0xFA;
// What fills the second DSD byte of the last frame when a channel holds an odd
// number of bytes: the DSD idle pattern.
inline constexpr uint8_t kDsdSilence = 0x69;

// DoP frames of `dsd` at dsdRate / 16, in 24-bit samples packed in three bytes
// (`containerBits` 24) or in the top of four (32, lowest byte 0). The first
// frame carries 0x05.
Result<PcmAudio> PackDop(const DsdAudio& dsd, unsigned containerBits);

// The DSD bytes of DoP frames (24- or 32-bit containers). Fails, naming the
// frame and channel, when the markers do not alternate 0x05 / 0xFA (starting
// with either), differ between the channels of a frame, or a 32-bit sample's
// lowest byte is not 0. The sample count is 16 per frame.
Result<DsdAudio> UnpackDop(const PcmAudio& pcm);

// UnpackDop for a stream that arrives piece by piece: it keeps the marker the
// next frame must carry, and allocates nothing while decoding (only the
// message, once, when the stream stops being DoP).
class DopDecoder {
 public:
  // 1..64 channels in 24- or 32-bit containers.
  Status Start(uint16_t channels, unsigned containerBits);
  // Decodes the whole frames at the front of `pcm` into `out`, two DSD bytes
  // per channel per frame, channel after channel, the earlier byte first.
  // Stops at the end of `pcm`'s whole frames, when `out` is full, or at the
  // first frame that is not DoP: then broken() holds, error() names the frame
  // (counted from Start) and channel as UnpackDop does, and nothing more is
  // decoded. Returns the frames decoded.
  size_t Decode(std::span<const uint8_t> pcm, std::span<uint8_t> out);

  bool broken() const { return !m_error.empty(); }
  const std::string& error() const { return m_error; }
  uint64_t frames() const { return m_frames; }  // decoded since Start
  size_t frameBytes() const { return m_stride * m_channels; }

 private:
  uint16_t m_channels = 0;
  size_t m_stride = 0;
  uint8_t m_expected = 0;  // 0 until the first frame sets it
  uint64_t m_frames = 0;
  std::string m_error;
};

}  // namespace orvi::media
