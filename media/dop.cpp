#include "media/dop.h"

#include <algorithm>

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
  DopDecoder decoder;
  if (Status s = decoder.Start(f.channels, f.containerBits); !s) return R::Fail(s.error());
  if (!detail::IsAcceptedDsdRate(uint64_t{f.rate} * 16)) {
    return R::Fail("DoP rate " + Num(f.rate) + " x 16 is not a DSD rate (a multiple of " + Num(kDsdBaseRate) +
                   " up to " + Num(kMaxDsdRate) + ")");
  }
  const size_t frameBytes = decoder.frameBytes();
  if (pcm.bytes.size() % frameBytes != 0) {
    return R::Fail("DoP data of " + Num(pcm.bytes.size()) + " bytes is not a whole number of frames (" +
                   Num(frameBytes) + " bytes each)");
  }
  const size_t frames = pcm.bytes.size() / frameBytes;
  std::vector<uint8_t> interleaved(frames * 2 * f.channels);
  decoder.Decode(pcm.bytes, interleaved);
  if (decoder.broken()) return R::Fail(decoder.error());

  DsdAudio dsd;
  dsd.channels = f.channels;
  dsd.dsdRate = f.rate * 16;
  dsd.sampleCount = uint64_t{frames} * 16;
  dsd.channelBytes.assign(f.channels, std::vector<uint8_t>(frames * 2));
  for (size_t i = 0; i < frames; ++i) {
    for (uint16_t c = 0; c < f.channels; ++c) {
      const uint8_t* from = interleaved.data() + (i * f.channels + c) * 2;
      dsd.channelBytes[c][2 * i] = from[0];
      dsd.channelBytes[c][2 * i + 1] = from[1];
    }
  }
  return R::Ok(std::move(dsd));
}

Status DopDecoder::Start(uint16_t channels, unsigned containerBits) {
  if (containerBits != 24 && containerBits != 32) {
    return Status::Fail("DoP container bits " + Num(containerBits) + " is not 24 or 32");
  }
  if (channels < 1 || channels > 64) return Status::Fail("DoP channel count " + Num(channels) + " is outside 1..64");
  m_channels = channels;
  m_stride = containerBits / 8;
  m_expected = 0;
  m_frames = 0;
  m_error.clear();
  return Status::Ok();
}

size_t DopDecoder::Decode(std::span<const uint8_t> pcm, std::span<uint8_t> out) {
  if (m_channels == 0 || broken()) return 0;
  const size_t frameBytes = this->frameBytes();
  const size_t outBytes = size_t{2} * m_channels;
  const size_t frames = std::min(pcm.size() / frameBytes, out.size() / outBytes);
  for (size_t i = 0; i < frames; ++i) {
    const uint8_t* frame = pcm.data() + i * frameBytes;
    uint8_t marker = m_expected;
    // The whole frame is checked before any of it counts.
    for (uint16_t c = 0; c < m_channels; ++c) {
      const uint8_t* s = frame + c * m_stride;
      if (m_stride == 4) {
        if (s[0] != 0) {
          m_error = "frame " + Num(m_frames) + " channel " + Num(c) + ": lowest byte " + Hex(s[0]) +
                    " of a 32-bit DoP sample is not 0";
          return i;
        }
        ++s;
      }
      if (marker == 0) {
        if (s[2] != kDopMarkerA && s[2] != kDopMarkerB) {
          m_error = "frame 0 channel 0: DoP marker " + Hex(s[2]) + " is neither 0x05 nor 0xFA";
          return i;
        }
        marker = s[2];
      } else if (s[2] != marker) {
        m_error = "frame " + Num(m_frames) + " channel " + Num(c) + ": DoP marker " + Hex(s[2]) + ", expected " +
                  Hex(marker);
        return i;
      }
    }
    uint8_t* to = out.data() + i * outBytes;
    for (uint16_t c = 0; c < m_channels; ++c) {
      const uint8_t* s = frame + c * m_stride + (m_stride == 4 ? 1 : 0);
      to[2 * c] = s[1];
      to[2 * c + 1] = s[0];
    }
    m_expected = marker == kDopMarkerA ? kDopMarkerB : kDopMarkerA;
    ++m_frames;
  }
  return frames;
}

}  // namespace orvi::media
