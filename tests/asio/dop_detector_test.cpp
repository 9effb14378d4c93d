// DoP marker recognition on one channel's samples. Also built natively with
// the address and undefined-behaviour sanitizers.
#include "asio/dop_detector.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// One channel of `containerBits` samples whose top bytes are `markers`; the
// lower bytes carry arbitrary DSD bits.
std::vector<uint8_t> Channel(const std::vector<uint8_t>& markers, unsigned containerBits) {
  const size_t stride = containerBits / 8;
  std::vector<uint8_t> samples(markers.size() * stride);
  for (size_t j = 0; j < markers.size(); ++j) {
    for (size_t b = 0; b + 1 < stride; ++b) samples[j * stride + b] = static_cast<uint8_t>(0x69 + j * 7 + b);
    samples[j * stride + stride - 1] = markers[j];
  }
  return samples;
}

std::vector<uint8_t> Repeat(const std::vector<uint8_t>& pattern, size_t frames) {
  std::vector<uint8_t> out;
  while (out.size() < frames) out.push_back(pattern[out.size() % pattern.size()]);
  return out;
}

TEST(DopDetector, AcceptsTheThreePatternsAndNothingElse) {
  const struct {
    const char* what;
    std::vector<uint8_t> markers;
    bool dop;
  } cases[] = {
      {"05 FA every frame", Repeat({0x05, 0xFA}, 512), true},
      {"FA 05 every frame", Repeat({0xFA, 0x05}, 512), true},
      {"05 05 FA FA pairwise", Repeat({0x05, 0x05, 0xFA, 0xFA}, 512), true},
      {"FA FA 05 05 pairwise", Repeat({0xFA, 0xFA, 0x05, 0x05}, 512), true},
      {"AA throughout", Repeat({0xAA}, 512), true},
      {"a run of 05", Repeat({0x05}, 512), false},
      {"pairwise that breaks into every frame", {0x05, 0x05, 0xFA, 0x05}, false},
      {"every frame that repeats one", {0x05, 0xFA, 0xFA, 0x05}, false},
      {"AA then 05", {0xAA, 0xAA, 0x05, 0xFA}, false},
      {"05 FA then AA", {0x05, 0xFA, 0xAA, 0xAA}, false},
      {"one sample is not a marker", [] {
         auto m = Repeat({0x05, 0xFA}, 512);
         m[300] = 0x21;
         return m;
       }(), false},
      {"ordinary PCM", {0x12, 0x7F, 0x80, 0x03}, false},
      {"a single marker frame", {0xFA}, true},
      {"a single non-marker frame", {0x00}, false},
  };
  for (unsigned bits : {24u, 32u}) {
    for (const auto& c : cases) {
      std::vector<uint8_t> samples = Channel(c.markers, bits);
      EXPECT_EQ(orvi::DetectDop(samples.data(), c.markers.size(), bits), c.dop) << c.what << ", " << bits << " bits";
    }
  }
}

TEST(DopDetector, TheMarkerIsTheLastByteOfEachSample) {
  // Markers in the low byte of 32-bit samples are not DoP.
  std::vector<uint8_t> samples;
  for (int j = 0; j < 64; ++j) {
    uint8_t m = (j % 2) ? 0xFA : 0x05;
    samples.insert(samples.end(), {m, 0x11, 0x22, 0x33});
  }
  EXPECT_FALSE(orvi::DetectDop(samples.data(), 64, 32));
  // 24-bit samples are packed: the same bytes read with a 3-byte stride differ.
  std::vector<uint8_t> packed = Channel(Repeat({0x05, 0xFA}, 64), 24);
  EXPECT_TRUE(orvi::DetectDop(packed.data(), 64, 24));
  EXPECT_FALSE(orvi::DetectDop(packed.data(), 48, 32));
}

TEST(DopDetector, EmptyOrUnsupportedInputIsNeverDop) {
  std::vector<uint8_t> samples = Channel(Repeat({0x05, 0xFA}, 8), 32);
  EXPECT_FALSE(orvi::DetectDop(samples.data(), 0, 32));
  EXPECT_FALSE(orvi::DetectDop(nullptr, 8, 32));
  EXPECT_FALSE(orvi::DetectDop(samples.data(), 8, 16));
  EXPECT_FALSE(orvi::DetectDop(samples.data(), 4, 64));
}

}  // namespace
