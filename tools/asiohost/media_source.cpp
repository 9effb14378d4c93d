#include "tools/asiohost/media_source.h"

#include <cstring>

#include "media/dff.h"
#include "media/file_bytes.h"
#include "media/dop.h"
#include "media/dsf.h"
#include "media/wav.h"
#include "tools/asiohost/asio_names.h"

namespace orvi::host {

namespace {

using media::Result;

bool StartsWith(std::span<const uint8_t> bytes, const char* id) {
  const size_t n = std::strlen(id);
  return bytes.size() >= n && std::memcmp(bytes.data(), id, n) == 0;
}

// Whether the first frames (up to 32) carry DoP markers: 0x05 and 0xFA taking
// turns in the top byte, the same on every channel of a frame. The driver
// finds DoP itself; this is only for the summary.
bool CarriesDopMarkers(const media::PcmAudio& pcm) {
  const media::PcmFormat& f = pcm.format;
  if (f.containerBits != 24 && f.containerBits != 32) return false;
  const size_t bytes = f.containerBits / 8u;
  const size_t frameBytes = f.BlockAlign();
  const size_t frames = frameBytes ? pcm.bytes.size() / frameBytes : 0;
  if (frames < 2) return false;
  uint8_t previous = 0;
  for (size_t i = 0; i < frames && i < 32; ++i) {
    const uint8_t marker = pcm.bytes[i * frameBytes + bytes - 1];
    if (marker != media::kDopMarkerA && marker != media::kDopMarkerB) return false;
    if (i > 0 && marker == previous) return false;
    for (size_t c = 1; c < f.channels; ++c)
      if (pcm.bytes[i * frameBytes + c * bytes + bytes - 1] != marker) return false;
    previous = marker;
  }
  return true;
}

std::string DsdName(uint32_t rate) {
  if (rate % media::kDsdBaseRate == 0) return "DSD" + std::to_string(rate / media::kDsdBaseRate * 64);
  return "DSD";
}

}  // namespace

uint64_t MediaFile::Samples() const {
  if (isDsd) return dsd.sampleCount;
  const uint32_t frameBytes = pcm.format.BlockAlign();
  return frameBytes ? pcm.bytes.size() / frameBytes : 0;
}

std::string MediaFile::Describe() const {
  const uint16_t n = Channels();
  const std::string channels = std::to_string(n) + (n == 1 ? " channel" : " channels");
  if (isDsd) return container + " " + DsdName(dsd.dsdRate) + " (" + std::to_string(dsd.dsdRate) + " Hz), " + channels;
  std::string bits = std::to_string(pcm.format.containerBits) + "-bit";
  if (pcm.format.validBits != pcm.format.containerBits)
    bits = std::to_string(pcm.format.validBits) + "-in-" + bits;
  std::string text = container + " PCM " + bits + ", " + std::to_string(pcm.format.rate) + " Hz, " + channels;
  if (dopMarkers) text += ", DoP markers (" + DsdName(pcm.format.rate * 16) + ")";
  return text;
}

Result<MediaFile> ParseMedia(std::span<const uint8_t> bytes) {
  using R = Result<MediaFile>;
  MediaFile file;
  if (StartsWith(bytes, "RIFF")) {
    Result<media::WavFile> wav = media::ParseWav(bytes);
    if (!wav) return R::Fail("WAV: " + wav.error());
    file.container = "WAV";
    file.pcm = media::ToPcmAudio(wav.value());
    file.dopMarkers = CarriesDopMarkers(file.pcm);
  } else if (StartsWith(bytes, "DSD ")) {
    Result<media::DsfFile> dsf = media::ParseDsf(bytes);
    if (!dsf) return R::Fail("DSF: " + dsf.error());
    file.container = "DSF";
    file.isDsd = true;
    file.dsd = std::move(dsf->audio);
  } else if (StartsWith(bytes, "FRM8")) {
    Result<media::DffFile> dff = media::ParseDff(bytes);
    if (!dff) return R::Fail("DFF: " + dff.error());
    file.container = "DFF";
    file.isDsd = true;
    file.dsd = std::move(dff->audio);
  } else {
    return R::Fail("not a WAV, DSF or DFF file (it starts with neither 'RIFF', 'DSD ' nor 'FRM8')");
  }
  if (file.Samples() == 0) return R::Fail(file.container + ": the file holds no samples");
  return R::Ok(std::move(file));
}

Result<MediaFile> LoadMedia(const std::string& path) {
  using R = Result<MediaFile>;
  const auto bytes = media::ReadFileBytes(path, kMaxMediaFileBytes);
  if (!bytes) return R::Fail(path + ": " + bytes.error());
  R parsed = ParseMedia(bytes.value());
  if (!parsed) return R::Fail(path + ": " + parsed.error());
  return parsed;
}

unsigned SampleTypeBits(ASIOSampleType type) {
  switch (type) {
    case ASIOSTInt16LSB: return 16;
    case ASIOSTInt24LSB: return 24;
    case ASIOSTInt32LSB: return 32;
    case ASIOSTDSDInt8MSB1:
    case ASIOSTDSDInt8LSB1: return 1;
    default: return 0;
  }
}

Result<ChannelStreams> ConvertForDriver(const MediaFile& file, ASIOSampleType type) {
  using R = Result<ChannelStreams>;
  const unsigned bits = SampleTypeBits(type);
  if (bits == 0) return R::Fail("the driver's sample type " + SampleTypeName(type) + " is not one asiohost can fill");
  ChannelStreams out;
  out.type = type;
  out.samples = file.Samples();
  out.channels.resize(file.Channels());
  if (file.isDsd) {
    if (bits != 1) {
      return R::Fail("a DSD file needs a DSD sample type, but the driver gives " + SampleTypeName(type) + " at " +
                     std::to_string(file.Rate()) + " Hz");
    }
    out.dsd = true;
    for (size_t c = 0; c < out.channels.size(); ++c) {
      out.channels[c] = file.dsd.channelBytes[c];
      if (type == ASIOSTDSDInt8LSB1) {
        for (uint8_t& b : out.channels[c]) {
          uint8_t r = 0;
          for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | (((b >> i) & 1) << (7 - i)));
          b = r;
        }
      }
    }
    return R::Ok(std::move(out));
  }
  if (bits == 1) return R::Fail("the driver gives the DSD sample type " + SampleTypeName(type) + " for a PCM file");
  const media::PcmFormat& f = file.pcm.format;
  const uint32_t from = f.containerBits / 8u;
  const uint32_t to = bits / 8u;
  if (f.validBits > bits) {
    return R::Fail("the file's " + std::to_string(f.validBits) + "-bit samples would lose bits in the driver's " +
                   std::to_string(bits) + "-bit " + SampleTypeName(type) +
                   "; choose " + std::to_string(f.validBits) +
                   " bits or more in the driver's control panel (bit depth)");
  }
  out.bytesPerSample = to;
  const size_t frames = static_cast<size_t>(out.samples);
  const uint32_t frameBytes = f.BlockAlign();
  // A wider sample takes the file's bytes on top, zeros below; a narrower one
  // keeps the top bytes, which hold every valid bit.
  const uint32_t pad = to > from ? to - from : 0;
  const uint32_t skip = from > to ? from - to : 0;
  const uint32_t copy = from - skip;
  for (size_t c = 0; c < out.channels.size(); ++c) {
    std::vector<uint8_t>& stream = out.channels[c];
    stream.assign(frames * to, 0);
    const uint8_t* src = file.pcm.bytes.data() + c * from + skip;
    uint8_t* dst = stream.data() + pad;
    for (size_t i = 0; i < frames; ++i, src += frameBytes, dst += to) std::memcpy(dst, src, copy);
  }
  return R::Ok(std::move(out));
}

}  // namespace orvi::host
