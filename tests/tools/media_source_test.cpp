// Files turned into what the driver takes: every conversion keeps each bit of
// the file, or is refused with a reason; malformed files are refused with the
// field at fault.
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "media/dff.h"
#include "media/dsf.h"
#include "media/wav.h"
#include "tools/asiohost/media_source.h"

namespace {

using orvi::host::ChannelStreams;
using orvi::host::ConvertForDriver;
using orvi::host::MediaFile;
using orvi::host::ParseMedia;
using testing::HasSubstr;

// A stereo PCM file of two frames whose samples are the bytes given, frame by
// frame, channel by channel.
MediaFile Pcm(uint16_t bits, uint16_t validBits, std::vector<uint8_t> bytes) {
  MediaFile f;
  f.container = "WAV";
  f.pcm.format = orvi::media::PcmFormat{2, 48000, bits, validBits};
  f.pcm.bytes = std::move(bytes);
  return f;
}

struct PcmCase {
  const char* what;
  uint16_t bits, validBits;
  std::vector<uint8_t> file;  // two stereo frames
  ASIOSampleType type;
  std::vector<uint8_t> left;  // channel 0's stream; empty: refused
  const char* refusal;
};

TEST(ConvertForDriver, PcmWidensLosslesslyAndRefusesToNarrow) {
  const PcmCase kCases[] = {
      {"16 as 16", 16, 16, {0x01, 0x02, 0x11, 0x12, 0x03, 0x04, 0x13, 0x14}, ASIOSTInt16LSB, {0x01, 0x02, 0x03, 0x04}, ""},
      {"16 to 24", 16, 16, {0x01, 0x02, 0x11, 0x12, 0x03, 0x04, 0x13, 0x14}, ASIOSTInt24LSB,
       {0x00, 0x01, 0x02, 0x00, 0x03, 0x04}, ""},
      {"16 to 32", 16, 16, {0x01, 0x02, 0x11, 0x12, 0x03, 0x04, 0x13, 0x14}, ASIOSTInt32LSB,
       {0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x03, 0x04}, ""},
      {"24 to 32", 24, 24, {0x01, 0x02, 0x03, 0x11, 0x12, 0x13, 0x04, 0x05, 0x86, 0x14, 0x15, 0x16}, ASIOSTInt32LSB,
       {0x00, 0x01, 0x02, 0x03, 0x00, 0x04, 0x05, 0x86}, ""},
      {"24 in 32 to 24", 32, 24, {0, 1, 2, 3, 0, 0x11, 0x12, 0x13, 0, 4, 5, 6, 0, 0x14, 0x15, 0x16}, ASIOSTInt24LSB,
       {1, 2, 3, 4, 5, 6}, ""},
      {"24 to 16", 24, 24, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, ASIOSTInt16LSB, {},
       "the file's 24-bit samples would lose bits in the driver's 16-bit ASIOSTInt16LSB; choose 24 bits or more in "
       "the driver's control panel"},
      {"32 to 24", 32, 32, std::vector<uint8_t>(16, 1), ASIOSTInt24LSB, {}, "32-bit samples would lose bits"},
      {"PCM to DSD", 24, 24, std::vector<uint8_t>(12, 1), ASIOSTDSDInt8MSB1, {}, "DSD sample type"},
      {"float", 32, 32, std::vector<uint8_t>(16, 1), ASIOSTFloat32LSB, {}, "ASIOSTFloat32LSB is not one asiohost can fill"},
  };
  for (const PcmCase& c : kCases) {
    SCOPED_TRACE(c.what);
    auto r = ConvertForDriver(Pcm(c.bits, c.validBits, c.file), c.type);
    if (c.left.empty()) {
      ASSERT_FALSE(r.ok());
      EXPECT_THAT(r.error(), HasSubstr(c.refusal));
      continue;
    }
    ASSERT_TRUE(r.ok()) << r.error();
    EXPECT_EQ(r->samples, 2u);
    ASSERT_EQ(r->channels.size(), 2u);
    EXPECT_EQ(r->channels[0], c.left);
    // The right channel is the other half of each frame, converted alike.
    EXPECT_EQ(r->channels[1].size(), c.left.size());
    EXPECT_NE(r->channels[1], c.left);
  }
}

TEST(ConvertForDriver, DsdGoesMsbFirstAsTheReaderGivesItAndReversedForLsbFirst) {
  MediaFile f;
  f.container = "DSF";
  f.isDsd = true;
  f.dsd.channels = 1;
  f.dsd.dsdRate = 2822400;
  f.dsd.sampleCount = 16;
  f.dsd.channelBytes = {{0x80, 0x0F}};
  auto msb = ConvertForDriver(f, ASIOSTDSDInt8MSB1);
  ASSERT_TRUE(msb.ok()) << msb.error();
  EXPECT_TRUE(msb->dsd);
  EXPECT_EQ(msb->SilenceByte(), 0x69);
  EXPECT_EQ(msb->channels[0], (std::vector<uint8_t>{0x80, 0x0F}));
  auto lsb = ConvertForDriver(f, ASIOSTDSDInt8LSB1);
  ASSERT_TRUE(lsb.ok()) << lsb.error();
  EXPECT_EQ(lsb->channels[0], (std::vector<uint8_t>{0x01, 0xF0}));
  auto pcm = ConvertForDriver(f, ASIOSTInt32LSB);
  ASSERT_FALSE(pcm.ok());
  EXPECT_THAT(pcm.error(), HasSubstr("a DSD file needs a DSD sample type"));
}

// A DSF file read back through the reader keeps the earliest sample in the
// top bit, whatever the file's own bit order (DSF stores LSB first).
TEST(ParseMedia, DsfAndDffArriveMsbFirst) {
  orvi::media::DsdAudio a;
  a.channels = 2;
  a.dsdRate = 2822400;
  a.sampleCount = 64;
  a.channelBytes = {std::vector<uint8_t>(8, 0x80), std::vector<uint8_t>(8, 0x01)};
  auto dsf = orvi::media::BuildDsf(a);
  auto dff = orvi::media::BuildDff(a);
  ASSERT_TRUE(dsf.ok() && dff.ok());
  for (const auto* bytes : {&dsf.value(), &dff.value()}) {
    auto m = ParseMedia(*bytes);
    ASSERT_TRUE(m.ok()) << m.error();
    EXPECT_TRUE(m->isDsd);
    EXPECT_EQ(m->Rate(), 2822400u);
    EXPECT_EQ(m->dsd.channelBytes, a.channelBytes);
    EXPECT_THAT(m->Describe(), HasSubstr(" DSD64 (2822400 Hz), 2 channels"));
  }
}

std::vector<uint8_t> Wav(uint16_t bits, std::vector<uint8_t> samples) {
  orvi::media::PcmAudio a;
  a.format = orvi::media::PcmFormat{2, 176400, bits, bits};
  a.bytes = std::move(samples);
  return orvi::media::BuildWav(a).value();
}

TEST(ParseMedia, MalformedFilesNameTheField) {
  orvi::media::DsdAudio a;
  a.channels = 2;
  a.dsdRate = 2822400;
  a.sampleCount = 64;
  a.channelBytes = {std::vector<uint8_t>(8, 0x69), std::vector<uint8_t>(8, 0x69)};
  std::vector<uint8_t> blockZero = orvi::media::BuildDsf(a).value();
  blockZero[72] = blockZero[73] = blockZero[74] = blockZero[75] = 0;  // fmt: block size per channel
  std::vector<uint8_t> truncated = Wav(24, std::vector<uint8_t>(600, 7));
  truncated.resize(truncated.size() - 100);
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* says;
  } kCases[] = {
      {"DSF block size 0", blockZero, "DSF: fmt block size per channel 0 is outside"},
      {"truncated WAV", truncated, "WAV: "},
      {"no samples", Wav(16, {}), "WAV: the file holds no samples"},
      {"unknown", {'O', 'g', 'g', 'S', 0, 0, 0, 0}, "not a WAV, DSF or DFF file"},
      {"empty", {}, "not a WAV, DSF or DFF file"},
  };
  for (const auto& c : kCases) {
    auto m = ParseMedia(c.bytes);
    ASSERT_FALSE(m.ok()) << c.what;
    EXPECT_THAT(m.error(), HasSubstr(c.says)) << c.what;
  }
  // The truncated WAV's message is about its data chunk running past the end.
  EXPECT_THAT(ParseMedia(truncated).error(), HasSubstr("data"));
}

TEST(ParseMedia, DopMarkersAreNotedOnlyWhenTheyAlternateOnEveryChannel) {
  const struct {
    const char* what;
    std::vector<uint8_t> frames;  // 24-bit stereo
    bool dop;
  } kCases[] = {
      {"alternating", {0x69, 0x69, 0x05, 0x69, 0x69, 0x05, 0x96, 0x96, 0xFA, 0x96, 0x96, 0xFA, 1, 2, 0x05, 3, 4, 0x05}, true},
      {"repeated", {0x69, 0x69, 0x05, 0x69, 0x69, 0x05, 0x96, 0x96, 0x05, 0x96, 0x96, 0x05}, false},
      {"channels differ", {0x69, 0x69, 0x05, 0x69, 0x69, 0xFA, 0x96, 0x96, 0xFA, 0x96, 0x96, 0x05}, false},
      {"plain PCM", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, false},
  };
  for (const auto& c : kCases) {
    auto m = ParseMedia(Wav(24, c.frames));
    ASSERT_TRUE(m.ok()) << m.error();
    EXPECT_EQ(m->dopMarkers, c.dop) << c.what;
    EXPECT_EQ(m->Describe().find("DoP markers (DSD64)") != std::string::npos, c.dop) << m->Describe();
  }
}

}  // namespace
