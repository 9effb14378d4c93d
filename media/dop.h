#pragma once
// DoP (DSD over PCM): DSD carried in 24-bit PCM at a sixteenth of the DSD
// rate. Each sample holds a marker byte on top (0x05 and 0xFA taking turns
// frame by frame, the same on every channel of a frame) and two DSD bytes
// below it, the earlier one more significant.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
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

}  // namespace orvi::media
