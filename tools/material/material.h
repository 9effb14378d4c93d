#pragma once
// Test material for playing through the driver, and the check that a device's
// recording holds it bit for bit. Portable: no Windows dependency, so it also
// builds natively with the sanitizers.
#include <cstdint>
#include <span>
#include <string>

#include "media/audio_data.h"

namespace orvi::material {

// Stereo PCM (or `channels`) of `frames` frames: a chord of sines a little
// different per channel, full scale at the container's valid bits. Every frame
// differs from silence, so a recording's first sample of it is easy to find.
media::Result<media::PcmAudio> MakePcm(const media::PcmFormat& format, uint64_t frames);

// DSD of `samples` samples per channel at `dsdRate`: a sine through a
// second-order one-bit modulator, as DSD material is made. The first byte of
// every channel is not 0.
media::Result<media::DsdAudio> MakeDsd(uint16_t channels, uint32_t dsdRate, uint64_t samples);

// What a comparison found.
struct Verdict {
  bool exact = false;
  uint64_t offset = 0;    // frames (PCM) or bytes per channel (DSD) of silence before the material
  uint64_t compared = 0;  // frames or bytes per channel compared
  std::string message;    // what differs, or a summary when exact
};

// The recording (a WAV or DSF file's bytes) holds silence, then all of the
// source (a WAV or DSF file's bytes), then anything. The formats must agree.
Verdict VerifyRecording(std::span<const uint8_t> recording, std::span<const uint8_t> source);

}  // namespace orvi::material
