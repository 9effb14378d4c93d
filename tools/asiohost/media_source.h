#pragma once
// Audio files as the host plays them: read whole into memory before streaming
// starts (the buffer switch must not touch the disk), then turned into one
// byte stream per channel in the driver's sample type, so the switch only
// copies.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "asio/asio_interface.h"
#include "media/audio_data.h"

namespace orvi::host {

// Larger files are refused rather than read: they are held in memory twice
// (as read and as converted).
inline constexpr uint64_t kMaxMediaFileBytes = uint64_t{1} << 30;

struct MediaFile {
  std::string container;  // "WAV", "DSF" or "DFF"
  bool isDsd = false;     // native DSD (DSF, DFF); else integer PCM
  media::PcmAudio pcm;    // when !isDsd
  media::DsdAudio dsd;    // when isDsd
  bool dopMarkers = false;  // PCM whose first frames carry DoP markers

  uint16_t Channels() const { return isDsd ? dsd.channels : pcm.format.channels; }
  // The rate the driver runs at: the PCM rate, or the DSD rate.
  uint32_t Rate() const { return isDsd ? dsd.dsdRate : pcm.format.rate; }
  // Per channel: PCM frames, or DSD samples.
  uint64_t Samples() const;
  // "WAV PCM 24-bit, 48000 Hz, 2 channels", "DSF DSD64 (2822400 Hz), 2 channels".
  std::string Describe() const;
};

// Parses a file's bytes by their leading id (RIFF/WAVE, "DSD ", FRM8). The
// error names the field at fault, as the media readers word it.
media::Result<MediaFile> ParseMedia(std::span<const uint8_t> bytes);

// Reads and parses `path`; the error starts with the path.
media::Result<MediaFile> LoadMedia(const std::string& path);

// Bits per sample of the integer types the host fills (16, 24, 32), 1 for the
// DSD types, 0 for any other.
unsigned SampleTypeBits(ASIOSampleType type);

// One stream per channel, in the driver's sample type.
struct ChannelStreams {
  ASIOSampleType type = 0;
  bool dsd = false;
  uint32_t bytesPerSample = 0;  // PCM; DSD packs 8 samples to a byte
  uint64_t samples = 0;         // per channel
  std::vector<std::vector<uint8_t>> channels;
  // What fills a half once a stream has ended.
  uint8_t SilenceByte() const { return dsd ? 0x69 : 0x00; }
};

// Converts `file` to `type` without losing a bit: PCM widens (its samples go
// to the top of the wider ones, zeros below) and narrows only when the bits
// dropped are below the file's valid bits; DSD goes as is to MSB-first and bit
// reversed to LSB-first. The error says why the driver cannot take the file
// this way.
media::Result<ChannelStreams> ConvertForDriver(const MediaFile& file, ASIOSampleType type);

}  // namespace orvi::host
