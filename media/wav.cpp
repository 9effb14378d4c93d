#include "media/wav.h"

#include <climits>
#include <cstring>

#include "media/byte_order.h"

namespace orvi::media {

using detail::Hex;
using detail::IdIs;
using detail::IdText;
using detail::Le16;
using detail::Le32;
using detail::Num;

namespace {

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;
// KSDATAFORMAT_SUBTYPE_PCM as stored in a file.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Plain PCM cannot say which bits are valid or where more than two channels
// go, and readers expect EXTENSIBLE past 16 bits.
bool NeedsExtensible(const PcmFormat& f) {
  return f.channels > 2 || f.containerBits > 16 || f.validBits != f.containerBits;
}

uint32_t FmtChunkSize(const PcmFormat& f) { return NeedsExtensible(f) ? 40 : 16; }

// The largest RIFF size that is not the "unknown" placeholder.
constexpr uint64_t kMaxRiffSize = 0xFFFFFFFE;

uint64_t RiffOverhead(const PcmFormat& f) { return 4 + 8 + FmtChunkSize(f) + 8; }

std::vector<uint8_t> HeaderBytes(const PcmFormat& f, uint32_t riffSize, uint32_t dataSize) {
  using detail::PutId;
  using detail::PutLe;
  std::vector<uint8_t> h;
  const bool ext = NeedsExtensible(f);
  PutId(h, "RIFF");
  PutLe(h, riffSize, 4);
  PutId(h, "WAVE");
  PutId(h, "fmt ");
  PutLe(h, FmtChunkSize(f), 4);
  PutLe(h, ext ? kTagExtensible : kTagPcm, 2);
  PutLe(h, f.channels, 2);
  PutLe(h, f.rate, 4);
  PutLe(h, uint64_t{f.rate} * f.BlockAlign(), 4);
  PutLe(h, f.BlockAlign(), 2);
  PutLe(h, f.containerBits, 2);
  if (ext) {
    PutLe(h, 22, 2);
    PutLe(h, f.validBits, 2);
    PutLe(h, 0, 4);  // no speaker positions: the device maps channels in order
    h.insert(h.end(), kPcmSubFormat, kPcmSubFormat + sizeof kPcmSubFormat);
  }
  PutId(h, "data");
  PutLe(h, dataSize, 4);
  return h;
}

Status ParseFmt(const uint8_t* f, uint32_t size, WavFile& wav) {
  if (size < 16) return Status::Fail("fmt chunk size " + Num(size) + " is too small (at least 16)");
  const uint16_t tag = Le16(f);
  const uint16_t channels = Le16(f + 2);
  const uint32_t rate = Le32(f + 4);
  const uint32_t avgBytes = Le32(f + 8);
  const uint16_t blockAlign = Le16(f + 12);
  const uint16_t bits = Le16(f + 14);
  uint16_t validBits = bits;
  if (tag == kTagExtensible) {
    if (size < 40) {
      return Status::Fail("fmt chunk size " + Num(size) + " is too small for WAVE_FORMAT_EXTENSIBLE (at least 40)");
    }
    const uint16_t cbSize = Le16(f + 16);
    if (cbSize < 22) return Status::Fail("fmt extension size cbSize " + Num(cbSize) + " is too small for WAVE_FORMAT_EXTENSIBLE (at least 22)");
    if (18u + cbSize > size) {
      return Status::Fail("fmt extension size cbSize " + Num(cbSize) + " runs past the fmt chunk (size " + Num(size) + ")");
    }
    validBits = Le16(f + 18);
    wav.channelMask = Le32(f + 20);
    if (std::memcmp(f + 24, kPcmSubFormat, sizeof kPcmSubFormat) != 0) {
      return Status::Fail("fmt EXTENSIBLE sub-format GUID is not integer PCM");
    }
    wav.extensible = true;
  } else if (tag != kTagPcm) {
    return Status::Fail("fmt format tag " + Hex(tag) + " is neither PCM (0x1) nor WAVE_FORMAT_EXTENSIBLE (0xFFFE)");
  }
  const PcmFormat format{channels, rate, bits, validBits};
  if (Status s = CheckPcmFormat(format); !s) return Status::Fail("fmt chunk: " + s.error());
  if (blockAlign != format.BlockAlign()) {
    return Status::Fail("fmt block align " + Num(blockAlign) + " does not match channels x bytes per sample (" +
                        Num(format.BlockAlign()) + ")");
  }
  if (avgBytes != uint64_t{rate} * blockAlign) {
    return Status::Fail("fmt average bytes per second " + Num(avgBytes) + " does not match rate x block align (" +
                        Num(uint64_t{rate} * blockAlign) + ")");
  }
  wav.format = format;
  return Status::Ok();
}

}  // namespace

Status CheckPcmFormat(const PcmFormat& f) {
  if (f.channels < 1 || f.channels > 64) return Status::Fail("channel count " + Num(f.channels) + " is outside 1..64");
  if (f.rate < 1 || f.rate > 1000000) return Status::Fail("sample rate " + Num(f.rate) + " is outside 1..1000000");
  if (f.containerBits != 16 && f.containerBits != 24 && f.containerBits != 32) {
    return Status::Fail("bits per sample " + Num(f.containerBits) + " is not 16, 24 or 32");
  }
  if (f.validBits < 1 || f.validBits > f.containerBits) {
    return Status::Fail("valid bits per sample " + Num(f.validBits) + " is outside 1.." + Num(f.containerBits));
  }
  return Status::Ok();
}

Result<WavFile> ParseWav(std::span<const uint8_t> file, const WavReadOptions& options) {
  const uint8_t* p = file.data();
  const uint64_t size = file.size();
  if (size < 12) return Result<WavFile>::Fail("file of " + Num(size) + " bytes is too short for a RIFF header (12)");
  if (!IdIs(p, "RIFF")) return Result<WavFile>::Fail("RIFF chunk id is " + IdText(p) + ", expected 'RIFF'");
  if (!IdIs(p + 8, "WAVE")) return Result<WavFile>::Fail("RIFF form type is " + IdText(p + 8) + ", expected 'WAVE'");

  WavFile wav;
  const uint32_t riff = Le32(p + 4);
  const uint64_t riffEnd = 8 + uint64_t{riff};
  uint64_t end = size;
  if (riff == 0 || riff == kUnknownSize) {
    wav.riffSize = RiffSize::kUnknown;
  } else if (riff < 4) {
    return Result<WavFile>::Fail("RIFF size " + Num(riff) + " is too small to hold the form type");
  } else if (riffEnd > size) {
    wav.riffSize = RiffSize::kLargerThanFile;
  } else if (riffEnd == size || (riff % 2 == 1 && riffEnd + 1 == size)) {
    end = riffEnd;
  } else {
    return Result<WavFile>::Fail("RIFF size " + Num(riff) + " is smaller than the file (" + Num(size) +
                                 " bytes): bytes follow the RIFF form");
  }

  bool haveFmt = false;
  uint64_t pos = 12;
  for (;;) {
    if (end - pos < 8) return Result<WavFile>::Fail(haveFmt ? "no data chunk" : "no fmt chunk");
    const uint8_t* chunk = p + pos;
    const uint64_t chunkSize = Le32(chunk + 4);
    const uint64_t body = pos + 8;
    const uint64_t available = end - body;
    if (IdIs(chunk, "data")) {
      if (!haveFmt) return Result<WavFile>::Fail("data chunk comes before any fmt chunk");
      const uint32_t align = wav.format.BlockAlign();
      uint64_t dataSize = chunkSize;
      if (dataSize > available) {
        if (!options.allowCutShortData) {
          return Result<WavFile>::Fail("data chunk size " + Num(chunkSize) + " runs past the end of the file (" +
                                       Num(available) + " bytes follow its header): the file is truncated");
        }
        dataSize = available - available % align;
        wav.dataCutShort = true;
      } else if (dataSize % align != 0) {
        return Result<WavFile>::Fail("data chunk size " + Num(chunkSize) +
                                     " is not a whole number of frames (block align " + Num(align) + ")");
      }
      wav.dataOffset = static_cast<size_t>(body);
      wav.data = file.subspan(static_cast<size_t>(body), static_cast<size_t>(dataSize));
      return Result<WavFile>::Ok(wav);
    }
    if (chunkSize > available) {
      return Result<WavFile>::Fail("chunk " + IdText(chunk) + " at offset " + Num(pos) + ": size " + Num(chunkSize) +
                                   " runs past the end of the file (" + Num(available) + " bytes follow its header)");
    }
    if (IdIs(chunk, "fmt ")) {
      if (haveFmt) return Result<WavFile>::Fail("second fmt chunk at offset " + Num(pos));
      if (Status s = ParseFmt(chunk + 8, static_cast<uint32_t>(chunkSize), wav); !s) {
        return Result<WavFile>::Fail(s.error());
      }
      haveFmt = true;
    }
    // Chunks start at even offsets; a missing pad byte at the very end is
    // harmless.
    pos = body + chunkSize + (chunkSize & 1);
    if (pos > end) pos = end;
  }
}

PcmAudio ToPcmAudio(const WavFile& wav) { return PcmAudio{wav.format, {wav.data.begin(), wav.data.end()}}; }

Result<std::vector<uint8_t>> WavHeader(const PcmFormat& format, uint64_t dataBytes) {
  using R = Result<std::vector<uint8_t>>;
  if (Status s = CheckPcmFormat(format); !s) return R::Fail(s.error());
  if (dataBytes % format.BlockAlign() != 0) {
    return R::Fail("data size " + Num(dataBytes) + " is not a whole number of frames (block align " +
                   Num(format.BlockAlign()) + ")");
  }
  const uint64_t overhead = RiffOverhead(format);
  if (dataBytes > kMaxRiffSize - overhead - (dataBytes & 1)) {
    return R::Fail("data size " + Num(dataBytes) + " exceeds what a RIFF file can hold (" +
                   Num(kMaxRiffSize - overhead - 1) + " bytes)");
  }
  const uint64_t riff = overhead + dataBytes + (dataBytes & 1);
  return R::Ok(HeaderBytes(format, static_cast<uint32_t>(riff), static_cast<uint32_t>(dataBytes)));
}

Result<std::vector<uint8_t>> BuildWav(const PcmAudio& audio) {
  auto header = WavHeader(audio.format, audio.bytes.size());
  if (!header) return header;
  std::vector<uint8_t> out = std::move(header.value());
  out.insert(out.end(), audio.bytes.begin(), audio.bytes.end());
  if (audio.bytes.size() % 2 == 1) out.push_back(0);
  return Result<std::vector<uint8_t>>::Ok(std::move(out));
}

bool VectorSink::Append(std::span<const uint8_t> bytes) {
  m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
  return true;
}

bool VectorSink::Overwrite(uint64_t offset, std::span<const uint8_t> bytes) {
  if (offset > m_bytes.size() || bytes.size() > m_bytes.size() - offset) return false;
  std::memcpy(m_bytes.data() + offset, bytes.data(), bytes.size());
  return true;
}

bool FileSink::Append(std::span<const uint8_t> bytes) {
  return std::fwrite(bytes.data(), 1, bytes.size(), m_file) == bytes.size();
}

bool FileSink::Overwrite(uint64_t offset, std::span<const uint8_t> bytes) {
  // fseek takes a long, 32 bits on Windows; headers sit at the start anyway.
  if (offset > static_cast<uint64_t>(LONG_MAX)) return false;
  if (std::fseek(m_file, static_cast<long>(offset), SEEK_SET) != 0) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), m_file) == bytes.size();
  return std::fseek(m_file, 0, SEEK_END) == 0 && written;
}

Status WavWriter::Start(ByteSink& sink, const PcmFormat& format) {
  if (m_sink) return Status::Fail("WAV writer already started");
  if (Status s = CheckPcmFormat(format); !s) return s;
  const std::vector<uint8_t> header = HeaderBytes(format, kUnknownSize, kUnknownSize);
  if (!sink.Append(header)) return Status::Fail("could not write the WAV header");
  m_sink = &sink;
  m_format = format;
  m_dataBytes = 0;
  m_headerBytes = header.size();
  return Status::Ok();
}

Status WavWriter::Write(std::span<const uint8_t> frames) {
  if (!m_sink) return Status::Fail("WAV writer not started");
  const uint32_t align = m_format.BlockAlign();
  if (frames.size() % align != 0) {
    return Status::Fail("write of " + Num(frames.size()) + " bytes is not a whole number of frames (block align " +
                        Num(align) + ")");
  }
  const uint64_t room = kMaxRiffSize - RiffOverhead(m_format) - 1 - m_dataBytes;
  if (frames.size() > room) return Status::Fail("the data would exceed what a RIFF file can hold");
  if (!m_sink->Append(frames)) return Status::Fail("could not write " + Num(frames.size()) + " sample bytes");
  m_dataBytes += frames.size();
  return Status::Ok();
}

Status WavWriter::Finish() {
  if (!m_sink) return Status::Fail("WAV writer not started");
  ByteSink& sink = *m_sink;
  m_sink = nullptr;
  if (m_dataBytes % 2 == 1) {
    const uint8_t pad = 0;
    if (!sink.Append({&pad, 1})) return Status::Fail("could not write the data chunk's pad byte");
  }
  auto header = WavHeader(m_format, m_dataBytes);
  if (!header) return Status::Fail(header.error());
  if (header->size() != m_headerBytes || !sink.Overwrite(0, header.value())) {
    return Status::Fail("could not rewrite the WAV header");
  }
  return Status::Ok();
}

}  // namespace orvi::media
