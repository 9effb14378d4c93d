#include "media/dsf.h"

#include <algorithm>

#include "media/byte_order.h"

namespace orvi::media {

using detail::IdIs;
using detail::IdText;
using detail::Le32;
using detail::Le64;
using detail::Num;

namespace {

constexpr uint64_t kDsdChunkSize = 28;
constexpr uint64_t kFmtChunkSize = 52;
constexpr uint64_t kDataHeaderSize = 12;
constexpr uint64_t kFmtOffset = kDsdChunkSize;
constexpr uint64_t kDataOffset = kFmtOffset + kFmtChunkSize;
constexpr uint64_t kHeaderSize = kDataOffset + kDataHeaderSize;

// Channels each channel type stands for (index = type; 0 is not a type).
constexpr uint32_t kChannelsOfType[8] = {0, 1, 2, 3, 4, 4, 5, 6};
// The type the writer gives each channel count.
constexpr uint32_t kTypeOfChannels[7] = {0, 1, 2, 3, 4, 6, 7};

using R = Result<DsfFile>;

}  // namespace

Result<DsfFile> ParseDsf(std::span<const uint8_t> file) {
  const uint8_t* p = file.data();
  const uint64_t size = file.size();
  if (size < kHeaderSize) {
    return R::Fail("file of " + Num(size) + " bytes is too short for the DSF headers (" + Num(kHeaderSize) + ")");
  }
  if (!IdIs(p, "DSD ")) return R::Fail("DSD chunk id is " + IdText(p) + ", expected 'DSD '");
  if (Le64(p + 4) != kDsdChunkSize) return R::Fail("DSD chunk size " + Num(Le64(p + 4)) + " is not 28");
  const uint64_t totalSize = Le64(p + 12);
  if (totalSize != size) {
    return R::Fail("DSD chunk total file size " + Num(totalSize) + " does not match the file (" + Num(size) + " bytes)" +
                   (totalSize > size ? ": the file is truncated" : ""));
  }
  const uint64_t metadata = Le64(p + 20);

  const uint8_t* f = p + kFmtOffset;
  if (!IdIs(f, "fmt ")) return R::Fail("fmt chunk id is " + IdText(f) + ", expected 'fmt '");
  if (Le64(f + 4) != kFmtChunkSize) return R::Fail("fmt chunk size " + Num(Le64(f + 4)) + " is not 52");
  const uint32_t version = Le32(f + 12);
  const uint32_t formatId = Le32(f + 16);
  const uint32_t channelType = Le32(f + 20);
  const uint32_t channels = Le32(f + 24);
  const uint32_t rate = Le32(f + 28);
  const uint32_t bits = Le32(f + 32);
  const uint64_t sampleCount = Le64(f + 36);
  const uint32_t blockSize = Le32(f + 44);
  if (version != 1) return R::Fail("fmt format version " + Num(version) + " is not 1");
  if (formatId != 0) return R::Fail("fmt format id " + Num(formatId) + " is not 0 (DSD raw)");
  if (channelType < 1 || channelType > 7) return R::Fail("fmt channel type " + Num(channelType) + " is outside 1..7");
  if (channels < 1 || channels > kDsfMaxChannels) {
    return R::Fail("fmt channel num " + Num(channels) + " is outside 1.." + Num(kDsfMaxChannels));
  }
  if (kChannelsOfType[channelType] != channels) {
    return R::Fail("fmt channel num " + Num(channels) + " does not match channel type " + Num(channelType) + " (" +
                   Num(kChannelsOfType[channelType]) + " channels)");
  }
  if (!detail::IsAcceptedDsdRate(rate)) {
    return R::Fail("fmt sampling frequency " + Num(rate) + " is not a DSD rate (a multiple of " + Num(kDsdBaseRate) +
                   " up to " + Num(kMaxDsdRate) + ")");
  }
  if (bits != 1 && bits != 8) return R::Fail("fmt bits per sample " + Num(bits) + " is not 1 or 8");
  if (blockSize == 0 || blockSize > kDsfMaxBlockSize) {
    return R::Fail("fmt block size per channel " + Num(blockSize) + " is outside 1.." + Num(kDsfMaxBlockSize));
  }

  const uint8_t* d = p + kDataOffset;
  if (!IdIs(d, "data")) return R::Fail("data chunk id is " + IdText(d) + ", expected 'data'");
  const uint64_t dataChunkSize = Le64(d + 4);
  if (dataChunkSize < kDataHeaderSize) {
    return R::Fail("data chunk size " + Num(dataChunkSize) + " is smaller than its own header (12)");
  }
  const uint64_t payload = dataChunkSize - kDataHeaderSize;
  if (payload > size - kHeaderSize) {
    return R::Fail("data chunk size " + Num(dataChunkSize) + " runs past the end of the file");
  }
  // Sizes are bounded by the file from here on, so the products below cannot
  // overflow.
  const uint64_t bytesPerChannel = sampleCount / 8 + (sampleCount % 8 != 0);
  if (bytesPerChannel > payload) {
    return R::Fail("fmt sample count " + Num(sampleCount) + " needs " + Num(bytesPerChannel) +
                   " bytes per channel, more than the data chunk holds (" + Num(payload) + ")");
  }
  const uint64_t blocks = bytesPerChannel / blockSize + (bytesPerChannel % blockSize != 0);
  const uint64_t expected = blocks * blockSize * channels;
  if (payload != expected) {
    return R::Fail("data chunk holds " + Num(payload) + " bytes, but " + Num(channels) + " channels of " +
                   Num(blocks) + " blocks of block size per channel " + Num(blockSize) + " for sample count " +
                   Num(sampleCount) + " make " + Num(expected));
  }
  const uint64_t dataEnd = kHeaderSize + payload;
  if (metadata != 0 && (metadata < dataEnd || metadata >= size)) {
    return R::Fail("DSD chunk metadata pointer " + Num(metadata) + " is outside the bytes after the data chunk (" +
                   Num(dataEnd) + ".." + Num(size) + ")");
  }

  DsfFile dsf;
  dsf.channelType = channelType;
  dsf.bitsPerSample = bits;
  dsf.blockSize = blockSize;
  dsf.metadataOffset = metadata;
  dsf.audio.channels = static_cast<uint16_t>(channels);
  dsf.audio.dsdRate = rate;
  dsf.audio.sampleCount = sampleCount;
  dsf.audio.channelBytes.resize(channels);
  const uint8_t* samples = p + kHeaderSize;
  for (uint32_t c = 0; c < channels; ++c) {
    std::vector<uint8_t>& out = dsf.audio.channelBytes[c];
    out.reserve(static_cast<size_t>(bytesPerChannel));
    for (uint64_t b = 0; b < blocks; ++b) {
      const uint8_t* block = samples + (b * channels + c) * blockSize;
      const uint64_t n = std::min<uint64_t>(blockSize, bytesPerChannel - b * blockSize);
      if (bits == 1) {
        for (uint64_t i = 0; i < n; ++i) out.push_back(detail::ReverseBits(block[i]));
      } else {
        out.insert(out.end(), block, block + n);
      }
    }
  }
  return R::Ok(std::move(dsf));
}

namespace {

// The headers (DSD, fmt, data chunk header) for `sampleCount` samples per
// channel in `blocks` blocks of kDsfBlockSize per channel.
std::vector<uint8_t> DsfHeader(uint16_t channels, uint32_t rate, uint64_t sampleCount, uint64_t blocks) {
  using detail::PutId;
  using detail::PutLe;
  const uint64_t payload = blocks * kDsfBlockSize * channels;
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(kHeaderSize));
  PutId(out, "DSD ");
  PutLe(out, kDsdChunkSize, 8);
  PutLe(out, kHeaderSize + payload, 8);
  PutLe(out, 0, 8);  // no ID3 tag
  PutId(out, "fmt ");
  PutLe(out, kFmtChunkSize, 8);
  PutLe(out, 1, 4);  // format version
  PutLe(out, 0, 4);  // DSD raw
  PutLe(out, kTypeOfChannels[channels], 4);
  PutLe(out, channels, 4);
  PutLe(out, rate, 4);
  PutLe(out, 1, 4);  // bits per sample: LSB first
  PutLe(out, sampleCount, 8);
  PutLe(out, kDsfBlockSize, 4);
  PutLe(out, 0, 4);  // reserved
  PutId(out, "data");
  PutLe(out, kDataHeaderSize + payload, 8);
  return out;
}

}  // namespace

Result<std::vector<uint8_t>> BuildDsf(const DsdAudio& audio) {
  using B = Result<std::vector<uint8_t>>;
  if (Status s = CheckDsdAudio(audio, kDsfMaxChannels); !s) return B::Fail(s.error());
  const uint64_t bytesPerChannel = audio.sampleCount / 8 + (audio.sampleCount % 8 != 0);
  const uint64_t blocks = bytesPerChannel / kDsfBlockSize + (bytesPerChannel % kDsfBlockSize != 0);
  std::vector<uint8_t> out = DsfHeader(audio.channels, audio.dsdRate, audio.sampleCount, blocks);
  out.reserve(static_cast<size_t>(kHeaderSize + blocks * kDsfBlockSize * audio.channels));
  for (uint64_t b = 0; b < blocks; ++b) {
    for (uint16_t c = 0; c < audio.channels; ++c) {
      const std::vector<uint8_t>& in = audio.channelBytes[c];
      const uint64_t start = b * kDsfBlockSize;
      const uint64_t n = std::min<uint64_t>(kDsfBlockSize, bytesPerChannel - start);
      for (uint64_t i = 0; i < n; ++i) out.push_back(detail::ReverseBits(in[static_cast<size_t>(start + i)]));
      out.insert(out.end(), static_cast<size_t>(kDsfBlockSize - n), uint8_t{0});
    }
  }
  return B::Ok(std::move(out));
}

Status DsfStreamWriter::Start(ByteSink& sink, uint16_t channels, uint32_t dsdRate) {
  if (m_sink) return Status::Fail("DSF writer already started");
  if (channels < 1 || channels > kDsfMaxChannels) {
    return Status::Fail("channel count " + Num(channels) + " is outside 1.." + Num(kDsfMaxChannels));
  }
  if (!detail::IsAcceptedDsdRate(dsdRate)) {
    return Status::Fail("DSD rate " + Num(dsdRate) + " is not a multiple of " + Num(kDsdBaseRate) + " up to " +
                        Num(kMaxDsdRate));
  }
  if (!sink.Append(DsfHeader(channels, dsdRate, 0, 0))) return Status::Fail("could not write the DSF header");
  m_sink = &sink;
  m_channels = channels;
  m_rate = dsdRate;
  m_block.assign(size_t{kDsfBlockSize} * channels, 0);
  m_fill = 0;
  m_bytesPerChannel = 0;
  m_blocksWritten = 0;
  m_failed = false;
  return Status::Ok();
}

Status DsfStreamWriter::Flush() {
  if (!m_sink->Append(m_block)) {
    m_failed = true;
    return Status::Fail("could not write DSF block " + Num(m_blocksWritten));
  }
  ++m_blocksWritten;
  m_fill = 0;
  return Status::Ok();
}

Status DsfStreamWriter::Write(std::span<const uint8_t> groups, uint32_t bytesPerChannel) {
  if (!m_sink) return Status::Fail("DSF writer not started");
  if (m_failed) return Status::Fail("DSF writer failed earlier");
  if (bytesPerChannel == 0 || bytesPerChannel > kDsfBlockSize) {
    return Status::Fail("bytes per channel " + Num(bytesPerChannel) + " is outside 1.." + Num(kDsfBlockSize));
  }
  const size_t group = size_t{bytesPerChannel} * m_channels;
  if (groups.size() % group != 0) {
    return Status::Fail("write of " + Num(groups.size()) + " bytes is not a whole number of groups (" +
                        Num(group) + " bytes each)");
  }
  // The sample count is 64 bits wide; a file this long cannot exist anyway.
  if (groups.size() / m_channels > (uint64_t{1} << 60) - m_bytesPerChannel) {
    return Status::Fail("the DSD stream would exceed what the sample count can hold");
  }
  const uint8_t* p = groups.data();
  for (size_t at = 0; at < groups.size(); at += group) {
    for (uint32_t i = 0; i < bytesPerChannel; ++i) {
      for (uint16_t c = 0; c < m_channels; ++c) {
        m_block[size_t{c} * kDsfBlockSize + m_fill] = detail::ReverseBits(p[at + size_t{c} * bytesPerChannel + i]);
      }
      ++m_bytesPerChannel;
      if (++m_fill == kDsfBlockSize) {
        if (Status s = Flush(); !s) return s;
      }
    }
  }
  return Status::Ok();
}

Status DsfStreamWriter::Finish() {
  if (!m_sink) return Status::Fail("DSF writer not started");
  Status s = Status::Ok();
  if (m_failed) s = Status::Fail("DSF writer failed earlier");
  if (s && m_fill > 0) {
    for (uint16_t c = 0; c < m_channels; ++c) {
      std::fill_n(m_block.begin() + static_cast<ptrdiff_t>(size_t{c} * kDsfBlockSize + m_fill), kDsfBlockSize - m_fill,
                  uint8_t{0});
    }
    s = Flush();
  }
  // The header tells only what reached the file: a block that failed to be
  // written is not counted.
  const uint64_t written = std::min<uint64_t>(m_bytesPerChannel, m_blocksWritten * kDsfBlockSize);
  if (!m_sink->Overwrite(0, DsfHeader(m_channels, m_rate, written * 8, m_blocksWritten)) && s) {
    s = Status::Fail("could not rewrite the DSF header");
  }
  m_sink = nullptr;
  m_block.clear();
  m_block.shrink_to_fit();
  return s;
}

}  // namespace orvi::media
