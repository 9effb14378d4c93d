#include "tools/material/material.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "media/dsf.h"
#include "media/wav.h"

namespace orvi::material {

namespace {

constexpr double kTwoPi = 6.283185307179586;

bool HasPrefix(std::span<const uint8_t> bytes, const char* id) {
  return bytes.size() >= 4 && std::memcmp(bytes.data(), id, 4) == 0;
}

std::string Num(uint64_t v) { return std::to_string(v); }

Verdict Fail(std::string message) {
  Verdict v;
  v.message = std::move(message);
  return v;
}

bool IsZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (p[i]) return false;
  }
  return true;
}

Verdict VerifyPcm(std::span<const uint8_t> recording, std::span<const uint8_t> source) {
  media::WavReadOptions options;
  options.allowCutShortData = true;  // a device may be stopped mid-write
  const auto rec = media::ParseWav(recording, options);
  if (!rec) return Fail("recording: " + rec.error());
  const auto src = media::ParseWav(source);
  if (!src) return Fail("source: " + src.error());
  const media::PcmFormat& rf = rec->format;
  const media::PcmFormat& sf = src->format;
  if (rf.channels != sf.channels || rf.rate != sf.rate || rf.containerBits != sf.containerBits) {
    return Fail("the recording is " + Num(rf.channels) + " channels, " + Num(rf.containerBits) + " bits, " +
                Num(rf.rate) + " Hz; the source " + Num(sf.channels) + " channels, " + Num(sf.containerBits) +
                " bits, " + Num(sf.rate) + " Hz");
  }
  const size_t frame = sf.BlockAlign();
  const uint64_t recFrames = rec->data.size() / frame;
  const uint64_t srcFrames = src->data.size() / frame;
  if (srcFrames == 0) return Fail("the source holds no frames");
  uint64_t offset = 0;
  while (offset < recFrames && IsZero(rec->data.data() + offset * frame, frame)) ++offset;
  if (offset == recFrames) return Fail("the recording holds only silence (" + Num(recFrames) + " frames)");
  Verdict v;
  v.offset = offset;
  for (uint64_t f = 0; f < srcFrames; ++f) {
    if (offset + f >= recFrames) {
      v.compared = f;
      v.message = "the recording ends after " + Num(f) + " of the source's " + Num(srcFrames) + " frames";
      return v;
    }
    if (std::memcmp(rec->data.data() + (offset + f) * frame, src->data.data() + f * frame, frame) != 0) {
      v.compared = f;
      v.message = "frame " + Num(f) + " of the source differs in the recording (at frame " + Num(offset + f) + ")";
      return v;
    }
  }
  v.exact = true;
  v.compared = srcFrames;
  v.message = "bit for bit: " + Num(srcFrames) + " frames after " + Num(offset) + " frames of silence";
  return v;
}

Verdict VerifyDsd(std::span<const uint8_t> recording, std::span<const uint8_t> source) {
  const auto rec = media::ParseDsf(recording);
  if (!rec) return Fail("recording: " + rec.error());
  const auto src = media::ParseDsf(source);
  if (!src) return Fail("source: " + src.error());
  const media::DsdAudio& r = rec->audio;
  const media::DsdAudio& s = src->audio;
  if (r.channels != s.channels || r.dsdRate != s.dsdRate) {
    return Fail("the recording is " + Num(r.channels) + " channels at " + Num(r.dsdRate) + " Hz; the source " +
                Num(s.channels) + " channels at " + Num(s.dsdRate) + " Hz");
  }
  const size_t srcBytes = static_cast<size_t>(s.sampleCount / 8);  // whole bytes of the source
  if (srcBytes == 0) return Fail("the source holds no whole byte of DSD");
  const std::vector<uint8_t>& first = r.channelBytes[0];
  size_t offset = 0;
  while (offset < first.size() && first[offset] == 0) ++offset;
  if (offset == first.size()) return Fail("the recording holds only zeros");
  Verdict v;
  v.offset = offset;
  for (uint16_t c = 0; c < s.channels; ++c) {
    const std::vector<uint8_t>& got = r.channelBytes[c];
    const std::vector<uint8_t>& want = s.channelBytes[c];
    for (size_t i = 0; i < srcBytes; ++i) {
      if (offset + i >= got.size()) {
        v.message = "channel " + Num(c) + " of the recording ends after " + Num(i) + " of " + Num(srcBytes) + " bytes";
        return v;
      }
      if (got[offset + i] != want[i]) {
        v.message = "channel " + Num(c) + " byte " + Num(i) + " of the source differs in the recording";
        return v;
      }
    }
  }
  v.exact = true;
  v.compared = srcBytes;
  v.message = "bit for bit: " + Num(srcBytes * 8) + " DSD samples per channel after " + Num(offset * 8) +
              " samples of zeros";
  return v;
}

}  // namespace

media::Result<media::PcmAudio> MakePcm(const media::PcmFormat& format, uint64_t frames) {
  using R = media::Result<media::PcmAudio>;
  if (media::Status s = media::CheckPcmFormat(format); !s) return R::Fail(s.error());
  const uint32_t bytes = format.containerBits / 8;
  if (frames > (uint64_t{1} << 32) / (uint64_t{format.channels} * bytes)) return R::Fail("too much material");
  media::PcmAudio audio;
  audio.format = format;
  audio.bytes.resize(static_cast<size_t>(frames * format.BlockAlign()));
  const unsigned valid = format.validBits ? format.validBits : format.containerBits;
  const double full = std::ldexp(1.0, static_cast<int>(valid) - 1) - 1;
  for (uint64_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / format.rate;
    for (uint16_t c = 0; c < format.channels; ++c) {
      const double base = 220.0 * (1 + c * 0.25);
      const double v = 0.45 * std::sin(kTwoPi * base * t) + 0.25 * std::sin(kTwoPi * base * 1.5 * t + c) +
                       0.15 * std::sin(kTwoPi * base * 2.0 * t + 0.5) + 0.1;  // never silent
      int64_t sample = std::llround(v * full);
      sample <<= (format.containerBits - valid);
      uint8_t* out = &audio.bytes[static_cast<size_t>((f * format.channels + c) * bytes)];
      for (uint32_t b = 0; b < bytes; ++b) out[b] = static_cast<uint8_t>(static_cast<uint64_t>(sample) >> (8 * b));
    }
  }
  return R::Ok(std::move(audio));
}

media::Result<media::DsdAudio> MakeDsd(uint16_t channels, uint32_t dsdRate, uint64_t samples) {
  using R = media::Result<media::DsdAudio>;
  if (channels == 0 || channels > 6) return R::Fail("channels must be 1 to 6");
  if (dsdRate == 0 || dsdRate % media::kDsdBaseRate != 0 || dsdRate > media::kMaxDsdRate) {
    return R::Fail("DSD rate " + Num(dsdRate) + " is not a multiple of 2822400 up to 22579200");
  }
  if (samples == 0 || samples > (uint64_t{1} << 31)) return R::Fail("sample count out of range");
  media::DsdAudio audio;
  audio.channels = channels;
  audio.dsdRate = dsdRate;
  audio.sampleCount = samples;
  audio.channelBytes.assign(channels, std::vector<uint8_t>(static_cast<size_t>((samples + 7) / 8), 0));
  for (uint16_t c = 0; c < channels; ++c) {
    double i1 = 0;
    double i2 = 0;
    double out = 1;
    const double hz = 1000.0 * (1 + c * 0.5);
    for (uint64_t n = 0; n < samples; ++n) {
      const double x = 0.5 * std::sin(kTwoPi * hz * static_cast<double>(n) / dsdRate);
      i1 += x - out;
      i2 += i1 - out;
      out = i2 >= 0 ? 1.0 : -1.0;
      if (out > 0) audio.channelBytes[c][static_cast<size_t>(n / 8)] |= static_cast<uint8_t>(0x80u >> (n % 8));
    }
    if (audio.channelBytes[c][0] == 0) audio.channelBytes[c][0] = 0x69;  // DSD's idle pattern, never 0
  }
  return R::Ok(std::move(audio));
}

Verdict VerifyRecording(std::span<const uint8_t> recording, std::span<const uint8_t> source) {
  if (HasPrefix(source, "RIFF")) return VerifyPcm(recording, source);
  if (HasPrefix(source, "DSD ")) return VerifyDsd(recording, source);
  return Fail("the source is neither a WAV nor a DSF file");
}

}  // namespace orvi::material
