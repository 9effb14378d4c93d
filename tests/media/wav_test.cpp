// RIFF/WAVE reading and writing. Also built natively with the address and
// undefined-behaviour sanitizers.
#include "media/wav.h"

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "tests/media/media_test_util.h"

namespace orvi::media {
namespace {

using test::Builder;
using test::Bytes;
using test::PatchLe;

PcmAudio Audio(PcmFormat format, size_t frames, uint8_t seed = 1) {
  return PcmAudio{format, test::Pattern(frames * format.BlockAlign(), seed)};
}

Bytes Build(const PcmAudio& audio) {
  auto file = BuildWav(audio);
  EXPECT_TRUE(file.ok()) << file.error();
  return file ? file.value() : Bytes{};
}

TEST(Wav, RoundTripsEveryKindOfFormat) {
  const struct {
    PcmFormat format;
    size_t frames;
    bool extensible;
  } cases[] = {
      {{1, 44100, 16, 16}, 5, false},
      {{2, 48000, 16, 16}, 7, false},
      {{1, 96000, 24, 24}, 3, true},  // odd data size: pad byte
      {{2, 192000, 24, 24}, 4, true},
      {{6, 48000, 32, 24}, 2, true},  // 24 valid bits in 32
      {{2, 384000, 32, 32}, 3, true},
      {{64, 1, 16, 16}, 1, true},
      {{2, 1000000, 16, 16}, 0, false},  // empty recording
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.format.channels << " ch " << c.format.containerBits << "/" << c.format.validBits
                                    << " bits " << c.format.rate << " Hz");
    const PcmAudio audio = Audio(c.format, c.frames);
    const Bytes file = Build(audio);
    auto wav = ParseWav(file);
    ASSERT_TRUE(wav.ok()) << wav.error();
    EXPECT_EQ(wav->format, c.format);
    EXPECT_EQ(wav->extensible, c.extensible);
    EXPECT_EQ(wav->riffSize, RiffSize::kExact);
    EXPECT_FALSE(wav->dataCutShort);
    EXPECT_EQ(ToPcmAudio(wav.value()).bytes, audio.bytes);
    EXPECT_EQ(file.size() % 2, 0u) << "odd data chunks are padded";
  }
}

TEST(Wav, HeaderOfPlainPcmIsTheCanonicalFortyFourBytes) {
  auto header = WavHeader({2, 44100, 16, 16}, 8);
  ASSERT_TRUE(header.ok()) << header.error();
  const Bytes expected = Builder()
                             .Id("RIFF").Le(36 + 8, 4).Id("WAVE")
                             .Id("fmt ").Le(16, 4).Le(1, 2).Le(2, 2).Le(44100, 4).Le(176400, 4).Le(4, 2).Le(16, 2)
                             .Id("data").Le(8, 4)
                             .bytes();
  EXPECT_EQ(header.value(), expected);
}

TEST(Wav, HeaderRefusesWhatRiffCannotHold) {
  const PcmFormat stereo16{2, 44100, 16, 16};
  EXPECT_TRUE(WavHeader(stereo16, 0xFFFFFFD8ull).ok()) << "the largest that fits";
  const struct {
    PcmFormat format;
    uint64_t dataBytes;
    const char* message;
  } cases[] = {
      {stereo16, 0xFFFFFFDCull, "exceeds"},
      {stereo16, uint64_t{1} << 40, "exceeds"},
      {stereo16, 6, "whole number of frames"},
      {{0, 44100, 16, 16}, 0, "channel count"},
      {{2, 0, 16, 16}, 0, "sample rate"},
      {{2, 44100, 20, 20}, 0, "bits per sample"},
      {{2, 44100, 24, 32}, 0, "valid bits"},
  };
  for (const auto& c : cases) {
    auto header = WavHeader(c.format, c.dataBytes);
    ASSERT_FALSE(header.ok()) << c.message;
    EXPECT_NE(header.error().find(c.message), std::string::npos) << header.error();
  }
}

TEST(Wav, SkipsUnknownChunksWithTheirPadBytes) {
  const Bytes file = Builder()
                         .Id("RIFF").Le(4 + 10 + 24 + 8 + 12 + 4, 4).Id("WAVE")
                         .Id("JUNK").Le(1, 4).Raw({0xEE, 0x00})  // odd: one pad byte
                         .Id("fmt ").Le(16, 4).Le(1, 2).Le(1, 2).Le(8000, 4).Le(16000, 4).Le(2, 2).Le(16, 2)
                         .Id("LIST").Le(3, 4).Raw({'a', 'b', 'c', 0})
                         .Id("data").Le(4, 4).Raw({0x01, 0x02, 0x03, 0x04})
                         .bytes();
  auto wav = ParseWav(file);
  ASSERT_TRUE(wav.ok()) << wav.error();
  EXPECT_EQ(wav->format, (PcmFormat{1, 8000, 16, 16}));
  EXPECT_EQ(wav->dataOffset, file.size() - 4);
  EXPECT_EQ(Bytes(wav->data.begin(), wav->data.end()), (Bytes{0x01, 0x02, 0x03, 0x04}));
}

TEST(Wav, RiffSizeMayOnlyBeUnknownOrLargerThanTheFile) {
  const Bytes good = Build(Audio({2, 48000, 16, 16}, 4));
  const uint32_t exact = static_cast<uint32_t>(good.size() - 8);
  const struct {
    uint32_t riffSize;
    bool accepted;
    RiffSize seen;
  } cases[] = {
      {exact, true, RiffSize::kExact},
      {0, true, RiffSize::kUnknown},
      {0xFFFFFFFF, true, RiffSize::kUnknown},
      {exact + 100, true, RiffSize::kLargerThanFile},
      {exact - 2, false, {}},
      {2, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.riffSize);
    Bytes file = good;
    PatchLe(file, 4, c.riffSize, 4);
    auto wav = ParseWav(file);
    ASSERT_EQ(wav.ok(), c.accepted) << wav.error();
    if (wav) {
      EXPECT_EQ(wav->riffSize, c.seen);
      EXPECT_EQ(wav->data.size(), 16u);
    } else {
      EXPECT_NE(wav.error().find("RIFF size"), std::string::npos) << wav.error();
    }
  }
}

TEST(Wav, CutShortDataIsTruncationUnlessTheFileIsStillBeingWritten) {
  // 24-bit stereo: 6-byte frames; cut 4 bytes into the third frame.
  const PcmFormat format{2, 48000, 24, 24};
  const PcmAudio audio = Audio(format, 5);
  Bytes file = Build(audio);
  const size_t header = file.size() - audio.bytes.size();
  file.resize(header + 2 * 6 + 4);

  auto strict = ParseWav(file);
  ASSERT_FALSE(strict.ok());
  EXPECT_NE(strict.error().find("data chunk size 30"), std::string::npos) << strict.error();
  EXPECT_NE(strict.error().find("truncated"), std::string::npos) << strict.error();

  auto growing = ParseWav(file, {.allowCutShortData = true});
  ASSERT_TRUE(growing.ok()) << growing.error();
  EXPECT_TRUE(growing->dataCutShort);
  EXPECT_EQ(growing->riffSize, RiffSize::kLargerThanFile);
  EXPECT_EQ(Bytes(growing->data.begin(), growing->data.end()), Bytes(audio.bytes.begin(), audio.bytes.begin() + 12));
}

TEST(Wav, EveryTruncationIsReportedAndNeverOverreads) {
  const Bytes good = Build(Audio({3, 44100, 24, 24}, 4));
  for (size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    // A copy of exactly n bytes, so the sanitizer sees any read past it.
    const Bytes cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
    auto strict = ParseWav(cut);
    EXPECT_FALSE(strict.ok());
    EXPECT_FALSE(strict.error().empty());
    auto lenient = ParseWav(cut, {.allowCutShortData = true});
    if (lenient) {
      EXPECT_TRUE(lenient->dataCutShort);
      EXPECT_EQ(lenient->data.size() % 9, 0u);
    }
  }
}

// A plain PCM file (header 44 bytes) and an EXTENSIBLE one (68 bytes), broken
// one field at a time.
TEST(Wav, RejectsEachBrokenFieldByName) {
  const Bytes plain = Build(Audio({2, 44100, 16, 16}, 4));  // data at 44, 16 bytes
  const Bytes extensible = Build(Audio({2, 96000, 32, 24}, 2));  // data at 68, 16 bytes
  const struct {
    const char* what;
    bool useExtensible;
    size_t offset;
    uint64_t value;
    unsigned width;
    const char* message;
  } cases[] = {
      {"RIFF id", false, 0, 0x46464952 + 1, 4, "RIFF chunk id"},
      {"form type", false, 8, 0x45564157 + 1, 4, "form type"},
      {"fmt size 0", false, 16, 0, 4, "fmt chunk size 0"},
      {"fmt size too small", false, 16, 14, 4, "fmt chunk size 14"},
      {"fmt size past the end", false, 16, 0x7FFFFFF0, 4, "'fmt ' at offset 12: size"},
      {"format tag", false, 20, 3, 2, "format tag 0x3"},
      {"no channels", false, 22, 0, 2, "channel count 0"},
      {"absurd channels", false, 22, 65, 2, "channel count 65"},
      {"rate 0", false, 24, 0, 4, "sample rate 0"},
      {"absurd rate", false, 24, 1000001, 4, "sample rate 1000001"},
      {"average bytes", false, 28, 176401, 4, "average bytes per second"},
      {"block align", false, 32, 3, 2, "block align 3"},
      {"bits", false, 34, 8, 2, "bits per sample 8"},
      {"data size not whole frames", false, 40, 15, 4, "not a whole number of frames"},
      {"data size past the end", false, 40, 0xFFFFFFF0, 4, "data chunk size 4294967280"},
      {"data id", false, 36, 0x41544144 + 1, 4, "no data chunk"},
      {"fmt id", false, 12, 0x20746D66 + 1, 4, "data chunk comes before any fmt chunk"},
      {"fmt size too small for EXTENSIBLE", true, 16, 18, 4, "too small for WAVE_FORMAT_EXTENSIBLE"},
      {"cbSize too small", true, 36, 10, 2, "cbSize 10"},
      {"cbSize past the chunk", true, 36, 30, 2, "cbSize 30"},
      {"valid bits 0", true, 38, 0, 2, "valid bits per sample 0"},
      {"valid bits above container", true, 38, 33, 2, "valid bits per sample 33"},
      {"sub-format", true, 44, 3, 1, "sub-format GUID"},
      {"sub-format tail", true, 59, 0x70, 1, "sub-format GUID"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = c.useExtensible ? extensible : plain;
    PatchLe(file, c.offset, c.value, c.width);
    auto wav = ParseWav(file);
    ASSERT_FALSE(wav.ok());
    EXPECT_NE(wav.error().find(c.message), std::string::npos) << wav.error();
  }
}

TEST(Wav, RejectsBrokenChunkStructure) {
  const Bytes fmt = Builder().Id("fmt ").Le(16, 4).Le(1, 2).Le(1, 2).Le(8000, 4).Le(16000, 4).Le(2, 2).Le(16, 2).bytes();
  const Bytes data = Builder().Id("data").Le(2, 4).Raw({1, 2}).bytes();
  const struct {
    const char* what;
    Bytes body;
    const char* message;
  } cases[] = {
      {"no chunks", {}, "no fmt chunk"},
      {"no data", fmt, "no data chunk"},
      {"two fmt chunks", Builder().Raw(fmt).Raw(fmt).Raw(data).bytes(), "second fmt chunk"},
      {"unknown chunk past the end", Builder().Raw(fmt).Id("LIST").Le(0xFFFFFFF8, 4).Raw(data).bytes(), "'LIST'"},
      {"stray bytes too short for a chunk", Builder().Raw(fmt).Raw({1, 2, 3}).bytes(), "no data chunk"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes file = Builder().Id("RIFF").Le(4 + c.body.size(), 4).Id("WAVE").Raw(c.body).bytes();
    auto wav = ParseWav(file);
    ASSERT_FALSE(wav.ok());
    EXPECT_NE(wav.error().find(c.message), std::string::npos) << wav.error();
  }
}

TEST(WavWriter, StreamsAReadableFileAndPatchesTheSizesAtTheEnd) {
  const PcmFormat format{1, 44100, 24, 24};  // 3-byte frames: odd data sizes
  const PcmAudio audio = Audio(format, 5);
  VectorSink sink;
  WavWriter writer;
  ASSERT_TRUE(writer.Start(sink, format).ok());
  ASSERT_TRUE(writer.Write({audio.bytes.data(), 6}).ok());

  // While being written: placeholder sizes, readable only as a growing file.
  EXPECT_FALSE(ParseWav(sink.bytes()).ok());
  auto partial = ParseWav(sink.bytes(), {.allowCutShortData = true});
  ASSERT_TRUE(partial.ok()) << partial.error();
  EXPECT_EQ(partial->riffSize, RiffSize::kUnknown);
  EXPECT_EQ(partial->data.size(), 6u);

  Status torn = writer.Write({audio.bytes.data() + 6, 4});
  EXPECT_NE(torn.error().find("whole number of frames"), std::string::npos) << torn.error();
  ASSERT_TRUE(writer.Write({audio.bytes.data() + 6, 9}).ok());
  ASSERT_TRUE(writer.Finish().ok());
  EXPECT_FALSE(writer.Write({audio.bytes.data(), 3}).ok()) << "finished writers take no more frames";

  EXPECT_EQ(sink.bytes(), Build(audio)) << "the same file BuildWav makes, pad byte included";
}

TEST(WavWriter, WritesThroughStdioFiles) {
  const PcmFormat format{2, 88200, 16, 16};
  const PcmAudio audio = Audio(format, 9, 7);
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("orvi_media_wav_" + std::to_string(std::rand()) + ".wav");
  std::FILE* f = std::fopen(path.string().c_str(), "w+b");
  ASSERT_NE(f, nullptr);
  FileSink sink(f);
  WavWriter writer;
  ASSERT_TRUE(writer.Start(sink, format).ok());
  ASSERT_TRUE(writer.Write(audio.bytes).ok());
  ASSERT_TRUE(writer.Finish().ok());
  std::fclose(f);

  f = std::fopen(path.string().c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Bytes file(1024);
  file.resize(std::fread(file.data(), 1, file.size(), f));
  std::fclose(f);
  std::filesystem::remove(path);

  auto wav = ParseWav(file);
  ASSERT_TRUE(wav.ok()) << wav.error();
  EXPECT_EQ(wav->riffSize, RiffSize::kExact);
  EXPECT_EQ(ToPcmAudio(wav.value()).bytes, audio.bytes);
}

}  // namespace
}  // namespace orvi::media
