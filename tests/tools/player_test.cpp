// The streaming session against the driver double, whose own thread calls the
// buffer switch: what reaches the output halves and in what order, what is
// captured, how missed periods, resets and a driver that stops switching end
// up; and the small decisions around it (buffer size, progress, loopback).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tools/fake_asio_driver.h"
#include "tools/asiohost/loopback.h"
#include "tools/asiohost/player.h"
#include "tools/asiohost/progress.h"
#include "tools/asiohost/stream_commands.h"

namespace {

using namespace orvi::host;
using orvi::test::FakeAsioDriver;
using testing::HasSubstr;

// Two channels of `frames` 24-bit samples, every byte telling where it is.
ChannelStreams Stream(uint64_t frames, uint32_t bytes = 3) {
  ChannelStreams s;
  s.type = bytes == 3 ? ASIOSTInt24LSB : ASIOSTInt16LSB;
  s.bytesPerSample = bytes;
  s.samples = frames;
  s.channels.assign(2, std::vector<uint8_t>(static_cast<size_t>(frames * bytes)));
  for (size_t c = 0; c < 2; ++c)
    for (size_t i = 0; i < s.channels[c].size(); ++i) s.channels[c][i] = static_cast<uint8_t>(i * 3 + c * 101 + 1);
  return s;
}

class PlayerTest : public testing::Test {
 protected:
  SessionResult Run(const SessionSetup& setup) {
    Progress quiet(stderr, false);
    return RunSession(fake, setup, quiet);
  }
  FakeAsioDriver fake;
};

TEST_F(PlayerTest, OutputHalvesCarryTheStreamsInOrderThenSilence) {
  fake.outputType = ASIOSTInt24LSB;
  const ChannelStreams s = Stream(250);  // 2.5 buffers: the last one partly silence
  SessionSetup setup;
  setup.bufferSize = 100;
  setup.rate = 48000;
  setup.output = &s;
  SessionResult r = Run(setup);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.timeInfo);
  EXPECT_EQ(r.missed, 0u);
  // Three switches with data, three more for the device to play them out.
  EXPECT_GE(r.switches, 6u);
  for (size_t c = 0; c < 2; ++c) {
    const std::vector<uint8_t>& played = fake.played[c];
    ASSERT_GE(played.size(), 6u * 300) << "one half per switch, each after outputReady";
    EXPECT_TRUE(std::equal(s.channels[c].begin(), s.channels[c].end(), played.begin())) << "channel " << c;
    EXPECT_TRUE(std::all_of(played.begin() + 750, played.end(), [](uint8_t b) { return b == 0; }))
        << "silence after the end, not the driver's fill";
  }
}

TEST_F(PlayerTest, DsdStreamsEndInTheIdlePattern) {
  fake.outputType = ASIOSTDSDInt8MSB1;
  ChannelStreams s;
  s.type = ASIOSTDSDInt8MSB1;
  s.dsd = true;
  s.samples = 32 * 8;
  s.channels = {std::vector<uint8_t>(32, 0xA5)};
  SessionSetup setup;
  setup.bufferSize = 128;  // 16 bytes a half
  setup.rate = 2822400;
  setup.output = &s;
  SessionResult r = Run(setup);
  ASSERT_TRUE(r.ok) << r.error;
  const std::vector<uint8_t>& played = fake.played[0];
  ASSERT_GE(played.size(), 5u * 16);
  EXPECT_TRUE(std::all_of(played.begin(), played.begin() + 32, [](uint8_t b) { return b == 0xA5; }));
  EXPECT_TRUE(std::all_of(played.begin() + 32, played.end(), [](uint8_t b) { return b == 0x69; }));
}

TEST_F(PlayerTest, CaptureStartsAtTheThirdSwitch) {
  fake.inputType = ASIOSTInt16LSB;
  SessionSetup setup;
  setup.bufferSize = 64;
  setup.rate = 48000;
  setup.inputs = 2;
  setup.inputBytesPerSample = 2;
  setup.captureFrames = 64 * 3 + 10;
  SessionResult r = Run(setup);
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.captured.size(), 2u);
  for (long c = 0; c < 2; ++c) {
    const std::vector<uint8_t>& got = r.captured[static_cast<size_t>(c)];
    ASSERT_EQ(got.size(), (64u * 3 + 10) * 2);
    // Switch 2 delivers period 2's half first.
    for (size_t i = 0; i < got.size(); ++i) {
      ASSERT_EQ(got[i], FakeAsioDriver::InputByte(c, 2 * 128 + i)) << "channel " << c << " byte " << i;
    }
  }
}

struct FaultCase {
  const char* what;
  std::function<void(FakeAsioDriver&)> script;
  bool ok;
  uint64_t missed;
  const char* says;
};

TEST_F(PlayerTest, FaultsWhileStreaming) {
  const FaultCase kCases[] = {
      {"periods skipped", [](FakeAsioDriver& f) { f.skipPeriodsAt = {{3, 2}, {6, 1}}; }, true, 3, ""},
      {"index repeated", [](FakeAsioDriver& f) { f.repeatIndexAt = 4; }, true, 1, ""},
      {"no time info, positions asked", [](FakeAsioDriver& f) {
         f.futureAnswers.erase(kAsioCanTimeInfo);
         f.skipPeriodsAt = {{2, 1}};
       }, true, 1, ""},
      {"reset request", [](FakeAsioDriver& f) { f.resetAt = 2; }, false, 0, "asked for a reset (kAsioResetRequest)"},
      {"never switches", [](FakeAsioDriver& f) { f.switchLimit = 0; }, false, 0, "no buffer switch within"},
      {"stops switching", [](FakeAsioDriver& f) { f.switchLimit = 3; }, false, 0, "buffer switches stopped after 3"},
      {"createBuffers fails", [](FakeAsioDriver& f) { f.createError = ASE_NoMemory; }, false, 0,
       "createBuffers(2 channels, 100) failed: ASE_NoMemory"},
  };
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.what);
    FakeAsioDriver f;
    f.outputType = ASIOSTInt16LSB;
    c.script(f);
    const ChannelStreams s = Stream(1000, 2);
    SessionSetup setup;
    setup.bufferSize = 100;
    setup.rate = 48000;
    setup.output = &s;
    setup.switchTimeoutMs = 200;
    Progress quiet(stderr, false);
    SessionResult r = RunSession(f, setup, quiet);
    EXPECT_EQ(r.ok, c.ok) << r.error;
    if (c.ok) {
      EXPECT_EQ(r.missed, c.missed);
      // Missed periods lose nothing of the file: the halves go out in order.
      EXPECT_TRUE(std::equal(s.channels[0].begin(), s.channels[0].end(), f.played[0].begin()));
    } else {
      EXPECT_THAT(r.error, HasSubstr(c.says));
    }
  }
}

TEST(MissedBetween, PositionsAndIndices) {
  const struct {
    bool positions;
    uint64_t previous, current;
    long previousIndex, index;
    uint64_t missed;
  } kCases[] = {
      {true, 0, 100, 0, 1, 0},     // the next period
      {true, 100, 300, 1, 1, 1},   // one skipped: the index repeats too
      {true, 100, 400, 1, 0, 2},   // two skipped: the index alternates again
      {true, 100, 250, 1, 0, 1},   // a period cut short
      {true, 100, 200, 1, 1, 1},   // positions fine, the index repeats
      {false, 0, 0, 0, 1, 0},      // no positions: only the indices tell
      {false, 0, 0, 1, 1, 1},
      {true, 500, 100, 1, 0, 0},   // backwards is no miss
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(MissedBetween(c.positions, c.previous, c.current, 100, c.previousIndex, c.index), c.missed)
        << c.previous << " -> " << c.current << ", index " << c.previousIndex << " -> " << c.index;
  }
}

TEST(ChooseBufferSize, OptionsAgainstTheDriversRange) {
  const BufferSizes pcm{true, 96, 28800, 480};
  const BufferSizes dsd{true, 28224, 282240, 28224};
  const struct {
    long frames;
    double ms;
    double rate;
    bool dsd;
    BufferSizes sizes;
    long size;  // 0: refused
    const char* says;
  } kCases[] = {
      {0, 0, 48000, false, pcm, 480, ""},
      {512, 0, 48000, false, pcm, 512, ""},
      {0, 5, 48000, false, pcm, 240, ""},
      {0, 2.5, 44100, false, pcm, 110, ""},  // 110.25 rounds to the nearest frame
      {50, 0, 48000, false, pcm, 0, "buffer size 50 is outside the driver's 96..28800"},
      {0, 1000, 48000, false, pcm, 0, "buffer size 48000 is outside"},
      {0, 0, 2822400, true, dsd, 28224, ""},
      {0, 20, 2822400, true, dsd, 56448, ""},
      {0, 10.001, 2822400, true, dsd, 28224, ""},  // to whole 32-sample containers
      {28240, 0, 2822400, true, dsd, 0, "not a multiple of 32"},
      {0, 0, 48000, false, BufferSizes{}, 0, "getBufferSize failed"},
      {300, 0, 48000, false, BufferSizes{}, 300, ""},
  };
  for (const auto& c : kCases) {
    StreamOptions o;
    o.bufferFrames = c.frames;
    o.bufferMs = c.ms;
    long size = 0;
    std::string error;
    const bool ok = ChooseBufferSize(o, c.rate, c.dsd, c.sizes, size, error);
    SCOPED_TRACE(testing::Message() << c.frames << " frames, " << c.ms << " ms at " << c.rate);
    EXPECT_EQ(ok, c.size != 0) << error;
    if (ok) {
      EXPECT_EQ(size, c.size);
    } else {
      EXPECT_THAT(error, HasSubstr(c.says));
    }
  }
}

std::string ReadBack(std::FILE* f) {
  std::rewind(f);
  std::string text;
  for (int ch; (ch = std::fgetc(f)) != EOF;) text += static_cast<char>(ch);
  return text;
}

TEST(Progress, PrintsAtMostOncePerIntervalAndEndsItsLine) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  Progress p(f, true, 250);
  p.Update(1000, 0.0, 0, 0);
  p.Update(1100, 0.1, 10, 0);     // too soon
  p.Update(1250, 12.25, 1234, 5);  // due
  p.Update(1300, 0.3, 9, 0);       // too soon; and shorter: it would leave the rest
  p.Update(1500, 0.5, 9, 0);
  p.Finish();
  p.Finish();
  EXPECT_EQ(ReadBack(f),
            "\relapsed 0.0 s  switches 0  missed 0"
            "\relapsed 12.2 s  switches 1234  missed 5"
            "\relapsed 0.5 s  switches 9  missed 0    \n");
  std::fclose(f);

  f = std::tmpfile();
  Progress off(f, false);
  off.Update(0, 1, 1, 1);
  off.Finish();
  EXPECT_EQ(ReadBack(f), "");
  std::fclose(f);
}

TEST(Loopback, FindsTheSignalAndSaysWhereItBreaks) {
  const ChannelStreams played = TestSignal(2, 50, 3, ASIOSTInt24LSB);
  EXPECT_NE(played.channels[0], played.channels[1]) << "distinct per channel";
  EXPECT_EQ(TestSignal(2, 50, 3, ASIOSTInt24LSB).channels, played.channels) << "deterministic";
  // The recording: `lead` silent frames, the signal, then silence.
  auto record = [&](size_t lead, size_t tail) {
    std::vector<std::vector<uint8_t>> r(2);
    for (size_t c = 0; c < 2; ++c) {
      r[c].assign(lead * 3, 0);
      r[c].insert(r[c].end(), played.channels[c].begin(), played.channels[c].end());
      r[c].resize(r[c].size() + tail * 3, 0);
    }
    return r;
  };
  LoopbackMatch m = FindPlayed(played, record(17, 5));
  EXPECT_TRUE(m.found) << m.problem;
  EXPECT_EQ(m.offset, 17u);

  auto flipped = record(4, 0);
  flipped[1][(4 + 30) * 3 + 1] ^= 0x10;
  m = FindPlayed(played, flipped);
  EXPECT_FALSE(m.found);
  EXPECT_THAT(m.problem, HasSubstr("from offset 4 the recording differs at signal frame 30 of 50"));

  auto cut = record(4, 0);
  for (auto& c : cut) c.resize(c.size() - 3);
  m = FindPlayed(played, cut);
  EXPECT_FALSE(m.found);
  EXPECT_THAT(m.problem, HasSubstr("the recording ends 49 frames after offset 4"));

  auto swapped = record(0, 0);
  std::swap(swapped[0], swapped[1]);
  m = FindPlayed(played, swapped);
  EXPECT_FALSE(m.found);
  EXPECT_THAT(m.problem, HasSubstr("first frame is not in the 50 recorded frames"));
}

}  // namespace
