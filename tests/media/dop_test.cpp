// DoP packing and unpacking. Also built natively with the address and
// undefined-behaviour sanitizers.
#include "media/dop.h"

#include <algorithm>
#include <span>
#include <string>

#include <gtest/gtest.h>

#include "media/dsf.h"
#include "tests/media/media_test_util.h"

namespace orvi::media {
namespace {

using test::Bytes;

TEST(Dop, PacksTwoBytesBelowAnAlternatingMarker) {
  const DsdAudio dsd{2, 2822400, 32, {{0xA0, 0xA1, 0xA2, 0xA3}, {0xB0, 0xB1, 0xB2, 0xB3}}};
  const struct {
    unsigned containerBits;
    Bytes expected;
  } cases[] = {
      {24, {0xA1, 0xA0, 0x05, 0xB1, 0xB0, 0x05,  // frame 0
            0xA3, 0xA2, 0xFA, 0xB3, 0xB2, 0xFA}},
      {32, {0x00, 0xA1, 0xA0, 0x05, 0x00, 0xB1, 0xB0, 0x05,  // frame 0
            0x00, 0xA3, 0xA2, 0xFA, 0x00, 0xB3, 0xB2, 0xFA}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.containerBits);
    auto pcm = PackDop(dsd, c.containerBits);
    ASSERT_TRUE(pcm.ok()) << pcm.error();
    EXPECT_EQ(pcm->format, (PcmFormat{2, 176400, static_cast<uint16_t>(c.containerBits), 24}));
    EXPECT_EQ(pcm->bytes, c.expected);
  }
}

TEST(Dop, PadsAnOddByteWithDsdSilence) {
  const DsdAudio dsd{1, 5644800, 17, {{0x10, 0x20, 0x30}}};
  auto pcm = PackDop(dsd, 24);
  ASSERT_TRUE(pcm.ok()) << pcm.error();
  EXPECT_EQ(pcm->format.rate, 352800u);
  EXPECT_EQ(pcm->bytes, (Bytes{0x20, 0x10, 0x05, 0x69, 0x30, 0xFA}));
}

TEST(Dop, UnpackRestoresWhatWasPacked) {
  const struct {
    uint16_t channels;
    uint32_t rate;
    unsigned containerBits;
    size_t bytesPerChannel;
  } cases[] = {{1, 2822400, 24, 2}, {2, 2822400, 32, 1000}, {6, 5644800, 24, 64}, {2, 11289600, 32, 4096}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch in " << c.containerBits << " bits");
    DsdAudio dsd{c.channels, c.rate, c.bytesPerChannel * 8, {}};
    for (uint16_t ch = 0; ch < c.channels; ++ch) {
      dsd.channelBytes.push_back(test::Pattern(c.bytesPerChannel, static_cast<uint8_t>(ch + 11)));
    }
    auto pcm = PackDop(dsd, c.containerBits);
    ASSERT_TRUE(pcm.ok()) << pcm.error();
    auto back = UnpackDop(pcm.value());
    ASSERT_TRUE(back.ok()) << back.error();
    EXPECT_EQ(back->channels, dsd.channels);
    EXPECT_EQ(back->dsdRate, dsd.dsdRate);
    EXPECT_EQ(back->sampleCount, dsd.sampleCount);
    EXPECT_EQ(back->channelBytes, dsd.channelBytes);
  }
}

TEST(Dop, UnpackAcceptsAStreamThatStartsOnTheOtherMarker) {
  const PcmAudio pcm{{1, 176400, 24, 24}, {0x22, 0x11, 0xFA, 0x44, 0x33, 0x05}};
  auto dsd = UnpackDop(pcm);
  ASSERT_TRUE(dsd.ok()) << dsd.error();
  EXPECT_EQ(dsd->channelBytes[0], (Bytes{0x11, 0x22, 0x33, 0x44}));
}

// Ends to end: a DSF file's LSB-first bytes reach the DoP sample MSB first.
TEST(Dop, CarriesDsfSamplesEarliestFirst) {
  const DsdAudio source{1, 2822400, 16, {{0x80, 0x01}}};  // earliest sample 1, then 14 zeros, then 1
  auto file = BuildDsf(source);
  ASSERT_TRUE(file.ok()) << file.error();
  EXPECT_EQ(file.value()[92], 0x01) << "stored LSB first";
  auto dsf = ParseDsf(file.value());
  ASSERT_TRUE(dsf.ok()) << dsf.error();
  auto pcm = PackDop(dsf->audio, 24);
  ASSERT_TRUE(pcm.ok()) << pcm.error();
  EXPECT_EQ(pcm->bytes, (Bytes{0x01, 0x80, 0x05}));
}

TEST(Dop, UnpackRejectsBrokenStreams) {
  auto packed = [](unsigned containerBits) {
    DsdAudio dsd{2, 2822400, 8 * 8, {test::Pattern(8, 1), test::Pattern(8, 2)}};
    return PackDop(dsd, containerBits).value();  // 4 frames
  };
  PcmAudio wrongMarker = packed(24);
  wrongMarker.bytes[3 * 6 + 2] = 0x05;  // frame 3, channel 0
  PcmAudio channelsDisagree = packed(24);
  channelsDisagree.bytes[1 * 6 + 5] = 0x05;  // frame 1, channel 1
  PcmAudio notDop = packed(24);
  notDop.bytes[2] = 0xAA;
  PcmAudio repeatedMarker = packed(24);
  repeatedMarker.bytes[1 * 6 + 2] = repeatedMarker.bytes[1 * 6 + 5] = 0x05;
  PcmAudio lowByteSet = packed(32);
  lowByteSet.bytes[2 * 8 + 4] = 0x01;  // frame 2, channel 1
  PcmAudio torn = packed(24);
  torn.bytes.pop_back();
  PcmAudio pcmRate = packed(24);
  pcmRate.format.rate = 44100;
  PcmAudio sixteenBits = packed(24);
  sixteenBits.format.containerBits = 16;
  PcmAudio noChannels = packed(24);
  noChannels.format.channels = 0;

  const struct {
    const char* what;
    const PcmAudio& pcm;
    const char* message;
  } cases[] = {
      {"wrong marker", wrongMarker, "frame 3 channel 0: DoP marker 0x5, expected 0xFA"},
      {"channels disagree", channelsDisagree, "frame 1 channel 1: DoP marker 0x5"},
      {"not DoP", notDop, "frame 0 channel 0: DoP marker 0xAA"},
      {"marker not alternating", repeatedMarker, "frame 1 channel 0"},
      {"32-bit low byte", lowByteSet, "frame 2 channel 1: lowest byte 0x1"},
      {"partial frame", torn, "whole number of frames"},
      {"PCM rate", pcmRate, "DoP rate 44100"},
      {"16-bit container", sixteenBits, "container bits 16"},
      {"no channels", noChannels, "channel count 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto dsd = UnpackDop(c.pcm);
    ASSERT_FALSE(dsd.ok());
    EXPECT_NE(dsd.error().find(c.message), std::string::npos) << dsd.error();
  }
}

// Decoding piece by piece gives what UnpackDop gives for the whole, and a
// break is found in whichever piece it falls, counted from the start.
TEST(DopDecoder, DecodesAStreamInPiecesAndStopsAtTheFirstBrokenFrame) {
  const DsdAudio dsd{2, 2822400, 40 * 8, {test::Pattern(40, 5), test::Pattern(40, 6)}};
  const PcmAudio whole = PackDop(dsd, 32).value();  // 20 frames of 8 bytes
  PcmAudio broken = whole;
  broken.bytes[13 * 8 + 3] = broken.bytes[12 * 8 + 3];  // frame 13, channel 0
  const struct {
    const char* what;
    const PcmAudio& pcm;
    size_t pieceFrames;
    size_t outFrames;  // room for this many frames a call
    size_t goodFrames;
    const char* message;
  } cases[] = {
      {"frame by frame", whole, 1, 1, 20, ""},
      {"pieces larger than the output", whole, 7, 3, 20, ""},
      {"break in the third piece", broken, 5, 5, 13, "frame 13 channel 0: DoP marker 0x5, expected 0xFA"},
      {"break in one call", broken, 20, 20, 13, "frame 13 channel 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    DopDecoder decoder;
    ASSERT_TRUE(decoder.Start(2, 32).ok());
    Bytes out;
    Bytes scratch(c.outFrames * 4);
    const size_t pieceBytes = c.pieceFrames * decoder.frameBytes();
    for (size_t at = 0; at < c.pcm.bytes.size() && !decoder.broken(); at += pieceBytes) {
      std::span<const uint8_t> piece(c.pcm.bytes.data() + at, std::min(pieceBytes, c.pcm.bytes.size() - at));
      while (!piece.empty()) {
        const size_t n = decoder.Decode(piece, scratch);
        out.insert(out.end(), scratch.begin(), scratch.begin() + static_cast<ptrdiff_t>(n * 4));
        piece = piece.subspan(n * decoder.frameBytes());
        if (n == 0) break;
      }
    }
    EXPECT_EQ(decoder.frames(), c.goodFrames);
    EXPECT_EQ(decoder.broken(), c.message[0] != '\0');
    EXPECT_NE(decoder.error().find(c.message), std::string::npos) << decoder.error();
    ASSERT_EQ(out.size(), c.goodFrames * 4);
    for (size_t i = 0; i < c.goodFrames; ++i) {
      for (size_t ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(out[i * 4 + ch * 2], dsd.channelBytes[ch][2 * i]) << "frame " << i << " channel " << ch;
        EXPECT_EQ(out[i * 4 + ch * 2 + 1], dsd.channelBytes[ch][2 * i + 1]) << "frame " << i << " channel " << ch;
      }
    }
    // Once broken, it stays broken.
    if (decoder.broken()) {
      EXPECT_EQ(decoder.Decode(whole.bytes, scratch), 0u);
    }
  }
}

TEST(Dop, PackRefusesWhatItCannotCarry) {
  const DsdAudio good{1, 2822400, 16, {{1, 2}}};
  DsdAudio pcmRate = good;
  pcmRate.dsdRate = 48000;
  DsdAudio ragged{2, 2822400, 16, {{1, 2}, {3}}};
  const struct {
    const char* what;
    DsdAudio dsd;
    unsigned containerBits;
    const char* message;
  } cases[] = {
      {"16-bit container", good, 16, "container bits 16"},
      {"PCM rate", pcmRate, 24, "DSD rate 48000"},
      {"ragged channels", ragged, 24, "channel 1 holds 1 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto pcm = PackDop(c.dsd, c.containerBits);
    ASSERT_FALSE(pcm.ok());
    EXPECT_NE(pcm.error().find(c.message), std::string::npos) << pcm.error();
  }
}

}  // namespace
}  // namespace orvi::media
