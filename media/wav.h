#pragma once
// RIFF/WAVE with integer PCM: the host tool plays and records these, and the
// simulated device records what it played for bit-exact comparison.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "media/audio_data.h"

namespace orvi::media {

struct WavReadOptions {
  // The file may still be being written: a data chunk that runs past the end
  // of the file (including the 0xFFFFFFFF placeholder a streaming writer
  // leaves) is taken as far as the file goes, whole frames only.
  bool allowCutShortData = false;
};

// How the RIFF header's size relates to the file.
enum class RiffSize {
  kExact,           // describes the file
  kUnknown,         // 0 or 0xFFFFFFFF: the writer did not know it
  kLargerThanFile,  // a streaming writer's estimate, or a file still growing
};

struct WavFile {
  PcmFormat format;
  bool extensible = false;  // WAVE_FORMAT_EXTENSIBLE rather than plain PCM
  uint32_t channelMask = 0;  // EXTENSIBLE only
  RiffSize riffSize = RiffSize::kExact;
  bool dataCutShort = false;  // the data chunk's size ran past the file's end
  size_t dataOffset = 0;  // of the first sample byte in the file
  // The samples, interleaved little-endian frames; points into the parsed
  // bytes, so valid as long as they are.
  std::span<const uint8_t> data;
};

Result<WavFile> ParseWav(std::span<const uint8_t> file, const WavReadOptions& options = {});

// Copies the samples of a parsed file.
PcmAudio ToPcmAudio(const WavFile& wav);

// Whether the format is one the readers and writers handle; the message names
// the field that is not.
Status CheckPcmFormat(const PcmFormat& format);

// The header bytes (RIFF, fmt and data chunk headers) for `dataBytes` sample
// bytes; a writer puts them first and writes them again at the end with the
// final size. Plain PCM up to two channels of 16 bits, EXTENSIBLE otherwise;
// the length depends only on the format. Fails when the format is not
// handled, `dataBytes` is not whole frames or the sizes exceed what RIFF can
// hold. The pad byte of an odd-sized data chunk is counted in the RIFF size
// but not written here.
Result<std::vector<uint8_t>> WavHeader(const PcmFormat& format, uint64_t dataBytes);

// A whole file in memory.
Result<std::vector<uint8_t>> BuildWav(const PcmAudio& audio);

// Where a stream writer puts its bytes.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Append(std::span<const uint8_t> bytes) = 0;
  // Overwrites bytes already appended, from `offset`.
  virtual bool Overwrite(uint64_t offset, std::span<const uint8_t> bytes) = 0;
};

class VectorSink : public ByteSink {
 public:
  bool Append(std::span<const uint8_t> bytes) override;
  bool Overwrite(uint64_t offset, std::span<const uint8_t> bytes) override;
  const std::vector<uint8_t>& bytes() const { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

// Over a file opened for binary writing (and seeking); does not close it.
class FileSink : public ByteSink {
 public:
  explicit FileSink(std::FILE* file) : m_file(file) {}
  bool Append(std::span<const uint8_t> bytes) override;
  bool Overwrite(uint64_t offset, std::span<const uint8_t> bytes) override;

 private:
  std::FILE* m_file;
};

// Writes a WAV file as frames arrive. Until Finish() the header carries the
// 0xFFFFFFFF placeholder sizes, which a reader with allowCutShortData takes
// as "still being written".
class WavWriter {
 public:
  // Writes the provisional header.
  Status Start(ByteSink& sink, const PcmFormat& format);
  // Whole frames only. Fails, writing nothing, past RIFF's 4 GiB.
  Status Write(std::span<const uint8_t> frames);
  // Writes the pad byte of an odd-sized data chunk and the final header.
  Status Finish();
  uint64_t dataBytes() const { return m_dataBytes; }

 private:
  ByteSink* m_sink = nullptr;
  PcmFormat m_format;
  uint64_t m_dataBytes = 0;
  size_t m_headerBytes = 0;
};

}  // namespace orvi::media
