// Test material and the bit-for-bit check of a device's recording of it.
#include "tools/material/material.h"

#include <vector>

#include <gtest/gtest.h>

#include "media/dsf.h"
#include "media/wav.h"

namespace {

using orvi::material::VerifyRecording;
namespace media = orvi::media;

std::vector<uint8_t> Wav(const media::PcmAudio& audio) { return media::BuildWav(audio).value(); }
std::vector<uint8_t> Dsf(const media::DsdAudio& audio) { return media::BuildDsf(audio).value(); }

TEST(MaterialTest, PcmRecordingsAreCheckedFrameByFrame) {
  const media::PcmFormat format{2, 48000, 24, 24};
  const media::PcmAudio source = orvi::material::MakePcm(format, 1000).value();
  const size_t frame = format.BlockAlign();
  // What a device records: pre-roll silence, the material, a little more.
  auto recorded = [&](size_t silence, size_t keep, size_t tail) {
    media::PcmAudio r{format, std::vector<uint8_t>(silence * frame, 0)};
    r.bytes.insert(r.bytes.end(), source.bytes.begin(), source.bytes.begin() + keep * frame);
    r.bytes.resize(r.bytes.size() + tail * frame, 0);
    return r;
  };
  const auto exact = VerifyRecording(Wav(recorded(960, 1000, 37)), Wav(source));
  EXPECT_TRUE(exact.exact) << exact.message;
  EXPECT_EQ(exact.offset, 960u);
  EXPECT_EQ(exact.compared, 1000u);

  media::PcmAudio flipped = recorded(960, 1000, 0);
  flipped.bytes[(960 + 500) * frame + 4] ^= 0x01;
  const auto bit = VerifyRecording(Wav(flipped), Wav(source));
  EXPECT_FALSE(bit.exact);
  EXPECT_NE(bit.message.find("frame 500"), std::string::npos) << bit.message;

  const auto cut = VerifyRecording(Wav(recorded(0, 999, 0)), Wav(source));
  EXPECT_FALSE(cut.exact);
  EXPECT_NE(cut.message.find("ends after 999"), std::string::npos) << cut.message;

  const auto silent = VerifyRecording(Wav(recorded(100, 0, 0)), Wav(source));
  EXPECT_FALSE(silent.exact);

  const media::PcmAudio other = orvi::material::MakePcm({2, 48000, 16, 16}, 1000).value();
  EXPECT_FALSE(VerifyRecording(Wav(other), Wav(source)).exact) << "16 bits are not 24";
  EXPECT_FALSE(VerifyRecording(std::vector<uint8_t>{1, 2, 3}, Wav(source)).exact);
  EXPECT_FALSE(VerifyRecording(Wav(source), std::vector<uint8_t>{}).exact);
}

TEST(MaterialTest, EveryPcmFrameDiffersFromSilence) {
  for (uint16_t bits : {uint16_t{16}, uint16_t{24}, uint16_t{32}}) {
    const media::PcmAudio a = orvi::material::MakePcm({2, 44100, bits, bits}, 4410).value();
    const size_t frame = a.format.BlockAlign();
    for (size_t f = 0; f < 4410; ++f) {
      bool nonZero = false;
      for (size_t b = 0; b < frame; ++b) nonZero = nonZero || a.bytes[f * frame + b] != 0;
      ASSERT_TRUE(nonZero) << bits << " bits, frame " << f;
    }
  }
}

TEST(MaterialTest, DsdRecordingsAreCheckedBytePerChannel) {
  const media::DsdAudio source = orvi::material::MakeDsd(2, 2822400, 8 * 4096).value();
  ASSERT_NE(source.channelBytes[0][0], 0);
  // A modulated sine has about as many ones as zeros.
  size_t ones = 0;
  for (uint8_t b : source.channelBytes[1]) ones += static_cast<size_t>(__builtin_popcount(b));
  EXPECT_NEAR(static_cast<double>(ones) / (8 * 4096), 0.5, 0.05);

  auto recorded = [&](size_t silence, size_t keep) {
    media::DsdAudio r = source;
    for (auto& bytes : r.channelBytes) {
      std::vector<uint8_t> c(silence, 0);
      c.insert(c.end(), bytes.begin(), bytes.begin() + static_cast<long>(keep));
      bytes = c;
    }
    r.sampleCount = (silence + keep) * 8;
    return r;
  };
  const auto exact = VerifyRecording(Dsf(recorded(3528, 4096)), Dsf(source));
  EXPECT_TRUE(exact.exact) << exact.message;
  EXPECT_EQ(exact.offset, 3528u);

  media::DsdAudio flipped = recorded(3528, 4096);
  flipped.channelBytes[1][3528 + 100] ^= 0x10;
  const auto bit = VerifyRecording(Dsf(flipped), Dsf(source));
  EXPECT_FALSE(bit.exact);
  EXPECT_NE(bit.message.find("channel 1 byte 100"), std::string::npos) << bit.message;

  EXPECT_FALSE(VerifyRecording(Dsf(recorded(8, 4000)), Dsf(source)).exact) << "cut short";
  const media::DsdAudio dsd128 = orvi::material::MakeDsd(2, 5644800, 4096).value();
  EXPECT_FALSE(VerifyRecording(Dsf(dsd128), Dsf(source)).exact) << "another rate";
}

TEST(MaterialTest, BadRequestsAreRefused) {
  EXPECT_FALSE(orvi::material::MakePcm({0, 48000, 24, 24}, 10));
  EXPECT_FALSE(orvi::material::MakePcm({2, 48000, 20, 20}, 10));
  EXPECT_FALSE(orvi::material::MakePcm({2, 48000, 16, 16}, uint64_t{1} << 40));
  EXPECT_FALSE(orvi::material::MakeDsd(2, 44100, 64));
  EXPECT_FALSE(orvi::material::MakeDsd(0, 2822400, 64));
  EXPECT_FALSE(orvi::material::MakeDsd(2, 2822400, 0));
}

}  // namespace
