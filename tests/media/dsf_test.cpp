// Sony DSF reading and writing. Also built natively with the address and
// undefined-behaviour sanitizers.
#include "media/dsf.h"

#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "tests/media/media_test_util.h"

namespace orvi::media {
namespace {

using test::Builder;
using test::Bytes;
using test::PatchLe;

// Two channels at DSD64, 45 samples (6 bytes per channel) in blocks of 4
// bytes: the second block of each channel is half padding. Optionally an ID3
// tag after the data.
Bytes HandBuiltDsf(uint32_t bitsPerSample, const Bytes& id3 = {}) {
  const uint64_t total = 92 + 16 + id3.size();
  return Builder()
      .Id("DSD ").Le(28, 8).Le(total, 8).Le(id3.empty() ? 0 : 108, 8)
      .Id("fmt ").Le(52, 8).Le(1, 4).Le(0, 4).Le(2, 4).Le(2, 4).Le(2822400, 4).Le(bitsPerSample, 4).Le(45, 8)
      .Le(4, 4).Le(0, 4)
      .Id("data").Le(12 + 16, 8)
      .Raw({0x01, 0x02, 0x03, 0x0F})  // channel 0, block 0
      .Raw({0x10, 0x20, 0xF0, 0xE1})  // channel 1, block 0
      .Raw({0x80, 0xC0, 0x00, 0x00})  // channel 0, block 1 and padding
      .Raw({0x55, 0xAA, 0x00, 0x00})  // channel 1, block 1 and padding
      .Raw(id3)
      .bytes();
}

TEST(Dsf, ReadsAHandBuiltFileInEitherBitOrder) {
  const struct {
    uint32_t bitsPerSample;
    Bytes channel0, channel1;
  } cases[] = {
      // 1: LSB first in the file, so every byte comes out bit-reversed.
      {1, {0x80, 0x40, 0xC0, 0xF0, 0x01, 0x03}, {0x08, 0x04, 0x0F, 0x87, 0xAA, 0x55}},
      // 8: MSB first already.
      {8, {0x01, 0x02, 0x03, 0x0F, 0x80, 0xC0}, {0x10, 0x20, 0xF0, 0xE1, 0x55, 0xAA}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bitsPerSample);
    auto dsf = ParseDsf(HandBuiltDsf(c.bitsPerSample));
    ASSERT_TRUE(dsf.ok()) << dsf.error();
    EXPECT_EQ(dsf->bitsPerSample, c.bitsPerSample);
    EXPECT_EQ(dsf->blockSize, 4u);
    EXPECT_EQ(dsf->audio.channels, 2);
    EXPECT_EQ(dsf->audio.dsdRate, 2822400u);
    EXPECT_EQ(dsf->audio.sampleCount, 45u);
    ASSERT_EQ(dsf->audio.channelBytes.size(), 2u);
    EXPECT_EQ(dsf->audio.channelBytes[0], c.channel0);
    EXPECT_EQ(dsf->audio.channelBytes[1], c.channel1);
  }
}

TEST(Dsf, AcceptsAnId3TagAfterTheData) {
  auto dsf = ParseDsf(HandBuiltDsf(1, {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(dsf.ok()) << dsf.error();
  EXPECT_EQ(dsf->metadataOffset, 108u);
  EXPECT_EQ(dsf->audio.channelBytes[0].size(), 6u);
}

DsdAudio Dsd(uint16_t channels, uint64_t sampleCount, uint32_t rate = 2822400) {
  DsdAudio a{channels, rate, sampleCount, {}};
  for (uint16_t c = 0; c < channels; ++c) {
    a.channelBytes.push_back(test::Pattern(static_cast<size_t>((sampleCount + 7) / 8), static_cast<uint8_t>(c + 3)));
  }
  return a;
}

TEST(DsfWriter, WritesBitReversedBlocksWithAZeroPaddedLastBlock) {
  // Two blocks per channel, the second holding 3 bytes (the last one partial).
  const DsdAudio audio = Dsd(2, 8 * (4096 + 3) - 5);
  auto file = BuildDsf(audio);
  ASSERT_TRUE(file.ok()) << file.error();
  const Bytes& f = file.value();
  ASSERT_EQ(f.size(), 92u + 2 * 2 * 4096);
  const Bytes expectedHeader = Builder()
                                   .Id("DSD ").Le(28, 8).Le(f.size(), 8).Le(0, 8)
                                   .Id("fmt ").Le(52, 8).Le(1, 4).Le(0, 4).Le(2, 4).Le(2, 4).Le(2822400, 4).Le(1, 4)
                                   .Le(audio.sampleCount, 8).Le(4096, 4).Le(0, 4)
                                   .Id("data").Le(12 + 4 * 4096, 8)
                                   .bytes();
  EXPECT_EQ(Bytes(f.begin(), f.begin() + 92), expectedHeader);

  auto at = [&](size_t block, size_t channel, size_t i) { return f[92 + (block * 2 + channel) * 4096 + i]; };
  auto reversed = [](uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i) r = static_cast<uint8_t>(r | ((b >> i) & 1) << (7 - i));
    return r;
  };
  for (size_t ch = 0; ch < 2; ++ch) {
    SCOPED_TRACE(ch);
    const Bytes& in = audio.channelBytes[ch];
    EXPECT_EQ(at(0, ch, 0), reversed(in[0]));
    EXPECT_EQ(at(0, ch, 4095), reversed(in[4095]));
    EXPECT_EQ(at(1, ch, 0), reversed(in[4096]));
    EXPECT_EQ(at(1, ch, 2), reversed(in[4098]));
    for (size_t i = 3; i < 4096; ++i) ASSERT_EQ(at(1, ch, i), 0) << "padding at " << i;
  }
}

TEST(DsfWriter, RoundTripsEveryChannelLayoutAndRate) {
  const struct {
    uint16_t channels;
    uint32_t channelType;
    uint32_t rate;
    uint64_t samples;
  } cases[] = {
      {1, 1, 2822400, 8},           {2, 2, 5644800, 8 * 4096},  // exactly one full block
      {3, 3, 11289600, 1},          {4, 4, 2822400, 8 * 10000 + 1},
      {5, 6, 22579200, 8 * 4097},   {6, 7, 2822400 * 3, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.samples << " samples");
    const DsdAudio audio = Dsd(c.channels, c.samples, c.rate);
    auto file = BuildDsf(audio);
    ASSERT_TRUE(file.ok()) << file.error();
    auto dsf = ParseDsf(file.value());
    ASSERT_TRUE(dsf.ok()) << dsf.error();
    EXPECT_EQ(dsf->channelType, c.channelType);
    EXPECT_EQ(dsf->audio.dsdRate, c.rate);
    EXPECT_EQ(dsf->audio.sampleCount, c.samples);
    EXPECT_EQ(dsf->audio.channelBytes, audio.channelBytes);
  }
}

TEST(DsfWriter, RefusesInconsistentAudio) {
  DsdAudio shortChannel = Dsd(2, 80);
  shortChannel.channelBytes[1].pop_back();
  DsdAudio missingChannel = Dsd(2, 80);
  missingChannel.channelBytes.pop_back();
  const struct {
    const char* what;
    DsdAudio audio;
    const char* message;
  } cases[] = {
      {"seven channels", Dsd(7, 8), "channel count 7"},
      {"no channels", Dsd(0, 8), "channel count 0"},
      {"PCM rate", Dsd(2, 8, 44100), "DSD rate 44100"},
      {"short channel", shortChannel, "channel 1 holds 9 bytes"},
      {"missing channel", missingChannel, "streams: 1 for 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto file = BuildDsf(c.audio);
    ASSERT_FALSE(file.ok());
    EXPECT_NE(file.error().find(c.message), std::string::npos) << file.error();
  }
}

// Groups of `bytesPerChannel` bytes per channel in turn, as the stream writer
// takes them.
Bytes Interleaved(const DsdAudio& audio, uint32_t bytesPerChannel) {
  Bytes out;
  for (size_t at = 0; at < audio.channelBytes[0].size(); at += bytesPerChannel) {
    for (const Bytes& channel : audio.channelBytes) {
      out.insert(out.end(), channel.begin() + static_cast<ptrdiff_t>(at),
                 channel.begin() + static_cast<ptrdiff_t>(at + bytesPerChannel));
    }
  }
  return out;
}

// The stream writer's file is the one BuildDsf makes of the same audio,
// however the stream was cut into writes.
TEST(DsfStreamWriter, WritesWhatBuildDsfWritesWhateverTheWrites) {
  const struct {
    uint16_t channels;
    size_t bytesPerChannel;
    uint32_t groupBytes;
    size_t groupsPerWrite;
  } cases[] = {
      {2, 0, 4, 1},        {2, 4096, 4, 1},      // nothing; exactly one block
      {2, 10584, 4, 882},  {1, 4097, 1, 4097},   // blocks and a part; one write
      {6, 8194, 2, 3},     {3, 8192, 4096, 1},   // writes across block ends; groups of a whole block
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.bytesPerChannel << " bytes in groups of "
                                    << c.groupBytes << ", " << c.groupsPerWrite << " a write");
    const DsdAudio audio = Dsd(c.channels, uint64_t{c.bytesPerChannel} * 8, 5644800);
    const Bytes groups = Interleaved(audio, c.groupBytes);
    VectorSink sink;
    DsfStreamWriter writer;
    ASSERT_TRUE(writer.Start(sink, c.channels, audio.dsdRate).ok());
    const size_t writeBytes = c.groupsPerWrite * c.groupBytes * c.channels;
    for (size_t at = 0; at < groups.size(); at += writeBytes) {
      const size_t n = std::min(writeBytes, groups.size() - at);
      Status s = writer.Write({groups.data() + at, n}, c.groupBytes);
      ASSERT_TRUE(s.ok()) << s.error();
    }
    EXPECT_EQ(writer.sampleCount(), audio.sampleCount);
    Status s = writer.Finish();
    ASSERT_TRUE(s.ok()) << s.error();
    auto expected = BuildDsf(audio);
    ASSERT_TRUE(expected.ok()) << expected.error();
    EXPECT_TRUE(sink.bytes() == expected.value()) << "the streamed file differs from BuildDsf's";
  }
}

TEST(DsfStreamWriter, RefusesWhatItCannotWrite) {
  VectorSink sink;
  DsfStreamWriter idle;
  EXPECT_FALSE(idle.Write(Bytes(8), 4).ok());
  EXPECT_FALSE(idle.Finish().ok());
  const struct {
    const char* what;
    uint16_t channels;
    uint32_t rate;
    const char* message;
  } starts[] = {
      {"seven channels", 7, 2822400, "channel count 7"},
      {"no channels", 0, 2822400, "channel count 0"},
      {"PCM rate", 2, 176400, "DSD rate 176400"},
  };
  for (const auto& c : starts) {
    SCOPED_TRACE(c.what);
    DsfStreamWriter writer;
    Status s = writer.Start(sink, c.channels, c.rate);
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().find(c.message), std::string::npos) << s.error();
    EXPECT_TRUE(sink.bytes().empty()) << "a refused start wrote";
  }

  DsfStreamWriter writer;
  ASSERT_TRUE(writer.Start(sink, 2, 2822400).ok());
  const size_t header = sink.bytes().size();
  EXPECT_FALSE(writer.Start(sink, 2, 2822400).ok()) << "started twice";
  Status s = writer.Write(Bytes(6), 4);
  ASSERT_FALSE(s.ok());
  EXPECT_NE(s.error().find("whole number of groups"), std::string::npos) << s.error();
  EXPECT_FALSE(writer.Write(Bytes(0), 0).ok());
  EXPECT_FALSE(writer.Write(Bytes(2 * 4097), 4097).ok());
  ASSERT_TRUE(writer.Write(Bytes{1, 2, 3, 4, 5, 6, 7, 8}, 4).ok());
  EXPECT_EQ(sink.bytes().size(), header) << "a refused write wrote";
  ASSERT_TRUE(writer.Finish().ok());
  auto dsf = ParseDsf(sink.bytes());
  ASSERT_TRUE(dsf.ok()) << dsf.error();
  EXPECT_EQ(dsf->audio.channelBytes, (std::vector<Bytes>{{1, 2, 3, 4}, {5, 6, 7, 8}}));
}

// The hand-built file, broken one field at a time. Offsets: DSD chunk 0, fmt
// chunk 28 (fields from 40), data chunk 80, samples 92; 108 bytes in all.
TEST(Dsf, RejectsEachBrokenFieldByName) {
  const struct {
    const char* what;
    size_t offset;
    uint64_t value;
    unsigned width;
    const char* message;
  } cases[] = {
      {"DSD id", 0, 'X', 1, "DSD chunk id"},
      {"DSD size 0", 4, 0, 8, "DSD chunk size 0"},
      {"total size short", 12, 100, 8, "total file size 100"},
      {"total size long", 12, 109, 8, "truncated"},
      {"metadata inside the data", 20, 96, 8, "metadata pointer 96"},
      {"metadata past the end", 20, 108, 8, "metadata pointer 108"},
      {"fmt id", 28, 'X', 1, "fmt chunk id"},
      {"fmt size", 32, 48, 8, "fmt chunk size 48"},
      {"format version", 40, 2, 4, "format version 2"},
      {"format id DST", 44, 1, 4, "format id 1"},
      {"channel type 0", 48, 0, 4, "channel type 0"},
      {"channel type 8", 48, 8, 4, "channel type 8"},
      {"channel type for more channels", 48, 7, 4, "does not match channel type 7"},
      {"no channels", 52, 0, 4, "channel num 0"},
      {"absurd channels", 52, 0xFFFFFFFF, 4, "channel num 4294967295"},
      {"rate 0", 56, 0, 4, "sampling frequency 0"},
      {"PCM rate", 56, 44100, 4, "sampling frequency 44100"},
      {"rate off the 44.1k grid", 56, 2822400 + 64, 4, "sampling frequency 2822464"},
      {"rate above DSD512", 56, 2822400 * 9, 4, "sampling frequency 25401600"},
      {"bits per sample", 60, 2, 4, "bits per sample 2"},
      {"sample count past the data", 64, 8 * 8 + 1, 8, "sample count 65"},
      {"sample count that would overflow", 64, ~uint64_t{0}, 8, "sample count 18446744073709551615"},
      {"sample count of fewer blocks", 64, 8 * 4, 8, "block size per channel 4"},
      {"block size 0", 72, 0, 4, "block size per channel 0"},
      {"block size above 1 MiB", 72, (1u << 20) + 1, 4, "block size per channel 1048577"},
      {"block size not matching the data", 72, 16, 4, "block size per channel 16"},
      {"data id", 80, 'X', 1, "data chunk id"},
      {"data size 0", 84, 0, 8, "data chunk size 0"},
      {"data size past the end", 84, 12 + 17, 8, "data chunk size 29"},
      {"data size huge", 84, ~uint64_t{0} - 4, 8, "data chunk size"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = HandBuiltDsf(1);
    PatchLe(file, c.offset, c.value, c.width);
    auto dsf = ParseDsf(file);
    ASSERT_FALSE(dsf.ok());
    EXPECT_NE(dsf.error().find(c.message), std::string::npos) << dsf.error();
  }
}

TEST(Dsf, EveryTruncationIsReportedAndNeverOverreads) {
  const Bytes good = HandBuiltDsf(1);
  for (size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
    auto dsf = ParseDsf(cut);
    ASSERT_FALSE(dsf.ok());
    EXPECT_FALSE(dsf.error().empty());
  }
}

}  // namespace
}  // namespace orvi::media
