// Philips DSDIFF reading and writing. Also built natively with the address and
// undefined-behaviour sanitizers.
#include "media/dff.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/media/media_test_util.h"

namespace orvi::media {
namespace {

using test::Builder;
using test::Bytes;
using test::PatchBe;

// A DSDIFF chunk: id, 64-bit big-endian size, body, pad byte to even length.
Bytes Chunk(const char (&id)[5], const Bytes& body) {
  Builder b;
  b.Id(id).Be(body.size(), 8).Raw(body);
  if (body.size() % 2) b.Raw({0});
  return b.bytes();
}

Bytes Form(const Bytes& chunks) { return Builder().Id("FRM8").Be(4 + chunks.size(), 8).Id("DSD ").Raw(chunks).bytes(); }

Bytes Fver(uint32_t version = 0x01050000) { return Chunk("FVER", Builder().Be(version, 4).bytes()); }
Bytes Fs(uint32_t rate = 2822400) { return Chunk("FS  ", Builder().Be(rate, 4).bytes()); }
Bytes Chnl(uint16_t n = 2) {
  Builder b;
  b.Be(n, 2);
  for (uint16_t i = 0; i < n; ++i) b.Id(i == 0 ? "SLFT" : "SRGT");
  return Chunk("CHNL", b.bytes());
}
Bytes Cmpr(const char (&type)[5] = "DSD ") {
  return Chunk("CMPR", Builder().Id(type).Raw({14}).Raw(Bytes{'n', 'o', 't', ' ', 'c', 'o', 'm', 'p', 'r', 'e', 's', 's',
                                                              'e', 'd'}).bytes());
}
Bytes Prop(const Bytes& inner) { return Chunk("PROP", Builder().Id("SND ").Raw(inner).bytes()); }
Bytes DefaultProp() { return Prop(Builder().Raw(Fs()).Raw(Chnl()).Raw(Cmpr()).bytes()); }
// Three frames of two channels, interleaved.
Bytes Sound() { return Chunk("DSD ", {0x11, 0x21, 0x12, 0x22, 0x13, 0x23}); }

TEST(Dff, ReadsAHandBuiltFileSkippingUnknownChunks) {
  // Unknown chunks of odd size (with pad bytes) at the top level and in PROP.
  const Bytes file = Form(Builder()
                              .Raw(Fver())
                              .Raw(Prop(Builder().Raw(Fs()).Raw(Chunk("ABSS", {0, 0, 0, 0, 0, 0, 0, 0}))
                                            .Raw(Chnl()).Raw(Chunk("LSCO", {0, 0, 1})).Raw(Cmpr()).bytes()))
                              .Raw(Chunk("COMT", {1, 2, 3}))
                              .Raw(Sound())
                              .Raw(Chunk("DIIN", {9}))
                              .bytes());
  auto dff = ParseDff(file);
  ASSERT_TRUE(dff.ok()) << dff.error();
  EXPECT_EQ(dff->version, 0x01050000u);
  EXPECT_EQ(dff->audio.channels, 2);
  EXPECT_EQ(dff->audio.dsdRate, 2822400u);
  EXPECT_EQ(dff->audio.sampleCount, 24u);
  ASSERT_EQ(dff->audio.channelBytes.size(), 2u);
  EXPECT_EQ(dff->audio.channelBytes[0], (Bytes{0x11, 0x12, 0x13}));
  EXPECT_EQ(dff->audio.channelBytes[1], (Bytes{0x21, 0x22, 0x23}));
}

TEST(Dff, RoundTripsThroughTheWriter) {
  const struct {
    uint16_t channels;
    uint32_t rate;
    uint64_t samples;
  } cases[] = {{1, 2822400, 8 * 3}, {2, 5644800, 8 * 1000}, {5, 11289600, 8 * 7}, {64, 22579200, 8}, {2, 2822400, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels << " ch, " << c.samples << " samples");
    DsdAudio audio{c.channels, c.rate, c.samples, {}};
    for (uint16_t ch = 0; ch < c.channels; ++ch) {
      audio.channelBytes.push_back(test::Pattern(static_cast<size_t>(c.samples / 8), static_cast<uint8_t>(ch)));
    }
    auto file = BuildDff(audio);
    ASSERT_TRUE(file.ok()) << file.error();
    auto dff = ParseDff(file.value());
    ASSERT_TRUE(dff.ok()) << dff.error();
    EXPECT_EQ(dff->audio.channels, c.channels);
    EXPECT_EQ(dff->audio.dsdRate, c.rate);
    EXPECT_EQ(dff->audio.sampleCount, c.samples);
    EXPECT_EQ(dff->audio.channelBytes, audio.channelBytes);
  }
}

TEST(Dff, WriterNeedsWholeBytes) {
  const DsdAudio audio{1, 2822400, 12, {{0xAB, 0xC0}}};
  auto file = BuildDff(audio);
  ASSERT_FALSE(file.ok());
  EXPECT_NE(file.error().find("sample count 12"), std::string::npos) << file.error();
}

// Structural faults: chunks missing, misplaced, or not nesting in their
// container.
TEST(Dff, RejectsBrokenStructure) {
  const Bytes fsChnl = Builder().Raw(Fs()).Raw(Chnl()).bytes();
  const struct {
    const char* what;
    Bytes file;
    const char* message;
  } cases[] = {
      {"not a form", Builder().Id("FORM").Be(4, 8).Id("DSD ").bytes(), "form chunk id"},
      {"form type", Builder().Id("FRM8").Be(4, 8).Id("DST ").bytes(), "form type"},
      {"FRM8 size past the end", Builder().Id("FRM8").Be(40, 8).Id("DSD ").Raw(Fver()).bytes(), "FRM8 size 40"},
      {"FRM8 size short of the file", Builder().Id("FRM8").Be(4, 8).Id("DSD ").Raw(Fver()).bytes(), "FRM8 size 4"},
      {"FRM8 size 0", Builder().Id("FRM8").Be(0, 8).Raw({0, 0, 0, 0}).bytes(), "FRM8 size 0"},
      {"empty form", Form({}), "no FVER"},
      {"FVER not first", Form(Builder().Raw(DefaultProp()).Raw(Fver()).Raw(Sound()).bytes()), "first chunk is 'PROP'"},
      {"no PROP", Form(Builder().Raw(Fver()).bytes()), "no PROP"},
      {"sound before PROP", Form(Builder().Raw(Fver()).Raw(Sound()).Raw(DefaultProp()).bytes()), "before the PROP"},
      {"no sound", Form(Builder().Raw(Fver()).Raw(DefaultProp()).bytes()), "no sound data"},
      {"two PROP", Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(DefaultProp()).Raw(Sound()).bytes()),
       "second PROP"},
      {"two FVER", Form(Builder().Raw(Fver()).Raw(Fver()).Raw(DefaultProp()).Raw(Sound()).bytes()), "second FVER"},
      {"two sound chunks", Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(Sound()).Raw(Sound()).bytes()),
       "second sound data"},
      {"DST sound", Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(Chunk("DST ", {1, 2})).bytes()), "DST"},
      {"PROP type", Form(Builder().Raw(Fver()).Raw(Chunk("PROP", Builder().Id("SNX ").Raw(fsChnl).Raw(Cmpr()).bytes()))
                             .Raw(Sound()).bytes()),
       "property type"},
      {"PROP too small", Form(Builder().Raw(Fver()).Raw(Chunk("PROP", {1, 2})).Raw(Sound()).bytes()), "PROP chunk size 2"},
      {"no FS", Form(Builder().Raw(Fver()).Raw(Prop(Builder().Raw(Chnl()).Raw(Cmpr()).bytes())).Raw(Sound()).bytes()),
       "no FS"},
      {"no CHNL", Form(Builder().Raw(Fver()).Raw(Prop(Builder().Raw(Fs()).Raw(Cmpr()).bytes())).Raw(Sound()).bytes()),
       "no CHNL"},
      {"no CMPR", Form(Builder().Raw(Fver()).Raw(Prop(fsChnl)).Raw(Sound()).bytes()), "no CMPR"},
      {"two FS", Form(Builder().Raw(Fver()).Raw(Prop(Builder().Raw(Fs()).Raw(fsChnl).Raw(Cmpr()).bytes())).Raw(Sound())
                          .bytes()),
       "second FS"},
      {"DST compression", Form(Builder().Raw(Fver()).Raw(Prop(Builder().Raw(fsChnl).Raw(Cmpr("DST ")).bytes()))
                                   .Raw(Sound()).bytes()),
       "CMPR compression type 'DST '"},
      {"other compression", Form(Builder().Raw(Fver()).Raw(Prop(Builder().Raw(fsChnl).Raw(Cmpr("ZIP ")).bytes()))
                                     .Raw(Sound()).bytes()),
       "CMPR compression type 'ZIP '"},
      {"sound not whole frames", Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(Chunk("DSD ", {1, 2, 3})).bytes()),
       "not a multiple of the channel count 2"},
      {"trailing bytes too short for a chunk header", Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(Sound())
                                                               .Raw({1, 2, 3, 4}).bytes()),
       "chunk header at offset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto dff = ParseDff(c.file);
    ASSERT_FALSE(dff.ok());
    EXPECT_NE(dff.error().find(c.message), std::string::npos) << dff.error();
  }
}

// A well-formed file broken one field at a time. Offsets: FRM8 0, FVER 16
// (value 28), PROP 32 (size 36, SND 44), FS 48 (size 52, rate 60), CHNL 64
// (size 68, count 76), CMPR 86 (size 90, type 98, name length 102), sound
// data chunk 118 (size 122).
TEST(Dff, RejectsEachBrokenFieldByName) {
  const Bytes good = Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(Sound()).bytes());
  ASSERT_TRUE(ParseDff(good).ok());
  const struct {
    const char* what;
    size_t offset;
    uint64_t value;
    unsigned width;
    const char* message;
  } cases[] = {
      {"version 2", 28, 0x02000000, 4, "FVER version 0x2000000"},
      {"version 0", 28, 0, 4, "FVER version 0x0"},
      {"FVER size", 20, 8, 8, "FVER chunk size 8"},
      {"FVER size past the form", 20, ~uint64_t{0}, 8, "'FVER' at offset 16: size"},
      {"PROP past the form", 36, 1000, 8, "'PROP' at offset 32: size 1000"},
      {"FS past PROP but inside the form", 52, 60, 8, "runs past the end of the PROP chunk"},
      {"FS size", 52, 2, 8, "FS chunk size 2"},
      {"rate 0", 60, 0, 4, "FS sample rate 0"},
      {"PCM rate", 60, 44100, 4, "FS sample rate 44100"},
      {"rate above DSD512", 60, 2822400 * 16, 4, "FS sample rate 45158400"},
      {"CHNL too small", 68, 1, 8, "CHNL chunk size 1"},
      {"no channels", 76, 0, 2, "CHNL channel count 0"},
      {"absurd channels", 76, 0xFFFF, 2, "CHNL channel count 65535"},
      {"channel count against size", 76, 3, 2, "does not match its channel count 3"},
      {"CMPR too small", 90, 4, 8, "CMPR chunk size 4"},
      {"name length past CMPR", 102, 200, 1, "compression name length 200"},
      {"sound past the form", 122, 7, 8, "'DSD ' at offset 118: size 7"},
      {"sound size huge", 122, ~uint64_t{0} - 1, 8, "'DSD ' at offset 118"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes file = good;
    PatchBe(file, c.offset, c.value, c.width);
    auto dff = ParseDff(file);
    ASSERT_FALSE(dff.ok());
    EXPECT_NE(dff.error().find(c.message), std::string::npos) << dff.error();
  }
}

TEST(Dff, EveryTruncationIsReportedAndNeverOverreads) {
  const Bytes good = Form(Builder().Raw(Fver()).Raw(DefaultProp()).Raw(Sound()).bytes());
  for (size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    const Bytes cut(good.begin(), good.begin() + static_cast<ptrdiff_t>(n));
    auto dff = ParseDff(cut);
    ASSERT_FALSE(dff.ok());
    EXPECT_FALSE(dff.error().empty());
  }
}

}  // namespace
}  // namespace orvi::media
