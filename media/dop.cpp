#include "media/dop.h"

#include "media/byte_order.h"

namespace orvi::media {

using detail::Hex;
using detail::Num;

Result<PcmAudio> PackDop(const DsdAudio& dsd, unsigned containerBits) {
  using R = Result<PcmAudio>;
  if (containerBits != 24 && containerBits != 32) {
    return R::Fail("DoP container bits " + Num(containerBits) + " is not 24 or 32");
  }
  if (Status s = CheckDsdAudio(dsd, 64); !s) return R::Fail(s.error());
  const size_t bytesPerChannel = dsd.channelBytes[0].size();
  const size_t frames = bytesPerChannel / 2 + bytesPerChannel % 2;
  const size_t stride = containerBits / 8;

  PcmAudio pcm;
  pcm.format = PcmFormat{dsd.channels, dsd.dsdRate / 16, static_cast<uint16_t>(containerBits), 24};
  pcm.bytes.reserve(frames * dsd.channels * stride);
  for (size_t i = 0; i < frames; ++i) {
    const uint8_t marker = i % 2 == 0 ? kDopMarkerA : kDopMarkerB;
    for (const std::vector<uint8_t>& in : dsd.channelBytes) {
      const uint8_t first = in[2 * i];
      const uint8_t second = 2 * i + 1 < in.size() ? in[2 * i + 1] : kDsdSilence;
      if (stride == 4) pcm.bytes.push_back(0);
      pcm.bytes.push_back(second);
      pcm.bytes.push_back(first);
      pcm.bytes.push_back(marker);
    }
  }
  return R::Ok(std::move(pcm));
}

Result<DsdAudio> UnpackDop(const PcmAudio& pcm) {
  using R = Result<DsdAudio>;
  const PcmFormat& f = pcm.format;
  if (f.containerBits != 24 && f.containerBits != 32) {
    return R::Fail("DoP container bits " + Num(f.containerBits) + " is not 24 or 32");
  }
  if (f.channels < 1 || f.channels > 64) return R::Fail("DoP channel count " + Num(f.channels) + " is outside 1..64");
  if (!detail::IsAcceptedDsdRate(uint64_t{f.rate} * 16)) {
    return R::Fail("DoP rate " + Num(f.rate) + " x 16 is not a DSD rate (a multiple of " + Num(kDsdBaseRate) +
                   " up to " + Num(kMaxDsdRate) + ")");
  }
  const size_t stride = f.containerBits / 8;
  const size_t frameBytes = stride * f.channels;
  if (pcm.bytes.size() % frameBytes != 0) {
    return R::Fail("DoP data of " + Num(pcm.bytes.size()) + " bytes is not a whole number of frames (" +
                   Num(frameBytes) + " bytes each)");
  }
  const size_t frames = pcm.bytes.size() / frameBytes;

  DsdAudio dsd;
  dsd.channels = f.channels;
  dsd.dsdRate = f.rate * 16;
  dsd.sampleCount = uint64_t{frames} * 16;
  dsd.channelBytes.assign(f.channels, std::vector<uint8_t>(frames * 2));
  uint8_t expected = 0;
  for (size_t i = 0; i < frames; ++i) {
    for (uint16_t c = 0; c < f.channels; ++c) {
      const uint8_t* s = pcm.bytes.data() + i * frameBytes + c * stride;
      if (stride == 4) {
        if (s[0] != 0) {
          return R::Fail("frame " + Num(i) + " channel " + Num(c) + ": lowest byte " + Hex(s[0]) +
                         " of a 32-bit DoP sample is not 0");
        }
        ++s;
      }
      const uint8_t marker = s[2];
      if (i == 0 && c == 0) {
        if (marker != kDopMarkerA && marker != kDopMarkerB) {
          return R::Fail("frame 0 channel 0: DoP marker " + Hex(marker) + " is neither 0x05 nor 0xFA");
        }
        expected = marker;
      } else if (marker != expected) {
        return R::Fail("frame " + Num(i) + " channel " + Num(c) + ": DoP marker " + Hex(marker) + ", expected " +
                       Hex(expected));
      }
      dsd.channelBytes[c][2 * i] = s[1];
      dsd.channelBytes[c][2 * i + 1] = s[0];
    }
    expected = expected == kDopMarkerA ? kDopMarkerB : kDopMarkerA;
  }
  return R::Ok(std::move(dsd));
}

}  // namespace orvi::media
