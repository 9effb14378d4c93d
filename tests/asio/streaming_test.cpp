// The driver's buffers and streaming engine, driven the way a host drives it:
// createBuffers, start, a buffer switch per period in which the host fills its
// output halves and calls outputReady, stop, disposeBuffers. What the device
// played is compared with what the host gave, bit for bit.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/lab_state.h"
#include "media/dop.h"
#include "media/dsf.h"
#include "media/file_bytes.h"
#include "media/wav.h"
#include "sim/wav_file.h"
#include "tools/material/material.h"
#include "tests/asio/driver_fixture.h"

namespace {

using namespace orvi::test;
using orvi::DriverStatusBlock;

// A deterministic, never-silent sample of `bytes` bytes for a channel and frame.
void PatternSample(uint32_t channel, uint64_t frame, uint32_t bytes, uint8_t* out) {
  uint64_t v = (frame + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t{channel} + 1) * 0xC2B2AE3D27D4EB4Full;
  for (uint32_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i)) | (i == 0 ? 1 : 0);
}

// The host: its callbacks reach the one host of the test through a global, as
// ASIO's callbacks carry no context.
struct Host {
  CAsioSample* driver = nullptr;
  std::vector<ASIOBufferInfo> infos;
  long size = 0;
  uint32_t bytes = 4;
  bool timeInfo = false;
  bool fillOutput = true;
  // The host's output: sample of a channel at a frame.
  std::function<void(uint32_t, uint64_t, uint8_t*)> sample = [this](uint32_t c, uint64_t f, uint8_t* out) {
    PatternSample(c, f, bytes, out);
  };
  // Native DSD instead: per channel, the bytes the host hands over (first
  // sample in the top bit); silence (0x69) once they run out.
  const std::vector<std::vector<uint8_t>>* dsd = nullptr;

  std::mutex lock;
  std::vector<long> indices;
  std::vector<uint64_t> positions;
  std::vector<uint32_t> flags;
  std::vector<long> messages;
  std::vector<double> rateChanges;
  std::vector<std::vector<uint8_t>> input;  // per input buffer info, switch after switch
  std::atomic<long> switches{0};
  std::atomic<long> resets{0};

  // Forgets every run before.
  void Reset() {
    std::lock_guard<std::mutex> guard(lock);
    indices.clear();
    positions.clear();
    flags.clear();
    messages.clear();
    rateChanges.clear();
    for (auto& v : input) v.clear();
    switches = 0;
    resets = 0;
  }

  void OnSwitch(long index, uint32_t timeFlags) {
    ASIOSamples pos{};
    ASIOTimeStamp stamp{};
    driver->getSamplePosition(&pos, &stamp);
    const uint64_t position = AsioValue(pos);
    {
      std::lock_guard<std::mutex> guard(lock);
      indices.push_back(index);
      positions.push_back(position);
      flags.push_back(timeFlags);
      for (size_t i = 0; i < infos.size(); ++i) {
        if (!infos[i].isInput) continue;
        const auto* half = static_cast<const uint8_t*>(infos[i].buffers[index]);
        input[i].insert(input[i].end(), half, half + size * bytes);
      }
    }
    if (fillOutput && dsd) {
      for (const ASIOBufferInfo& info : infos) {
        if (info.isInput) continue;
        const std::vector<uint8_t>& source = (*dsd)[static_cast<size_t>(info.channelNum)];
        auto* half = static_cast<uint8_t*>(info.buffers[index]);
        for (size_t i = 0; i < static_cast<size_t>(size) / 8; ++i) {
          const size_t at = static_cast<size_t>(position / 8) + i;
          half[i] = at < source.size() ? source[at] : 0x69;
        }
      }
      driver->outputReady();
    } else if (fillOutput) {
      for (const ASIOBufferInfo& info : infos) {
        if (info.isInput) continue;
        auto* half = static_cast<uint8_t*>(info.buffers[index]);
        for (long f = 0; f < size; ++f) {
          sample(static_cast<uint32_t>(info.channelNum), position + static_cast<uint64_t>(f), half + f * bytes);
        }
      }
      driver->outputReady();
    }
    ++switches;
  }
};

Host* g_host = nullptr;

void BufferSwitch(long index, ASIOBool) { g_host->OnSwitch(index, 0); }
ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool) {
  g_host->OnSwitch(index, time->timeInfo.flags);
  return time;
}
void SampleRateDidChange(ASIOSampleRate rate) {
  std::lock_guard<std::mutex> guard(g_host->lock);
  g_host->rateChanges.push_back(rate);
}
long AsioMessage(long selector, long value, void*, double*) {
  {
    std::lock_guard<std::mutex> guard(g_host->lock);
    g_host->messages.push_back(selector);
  }
  switch (selector) {
    case kAsioEngineVersion:
      return 2;
    case kAsioSupportsTimeInfo:
      return g_host->timeInfo ? 1 : 0;
    case kAsioResetRequest:
      ++g_host->resets;
      return 1;
    default:
      (void)value;
      return 0;
  }
}
ASIOCallbacks g_callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

bool WaitFor(const std::function<bool()>& done, DWORD ms) {
  for (DWORD waited = 0; !done(); waited += 5) {
    if (waited >= ms) return false;
    Sleep(5);
  }
  return true;
}

class StreamingTest : public DriverTest {
 protected:
  void SetUp() override { g_host = &host; }
  void TearDown() override {
    driver.reset();
    g_host = nullptr;
    sim::LabBlock* lab = sim::Lab::Block();
    if (lab) {
      InterlockedExchange(&lab->recording, 0);
      InterlockedExchange(&lab->packetsStalled, 0);
    }
    if (!recording.empty()) DeleteFileA(recording.c_str());
    DriverTest::TearDown();
  }

  // Plugs, creates and inits a driver at `bits` (a setting) and `rate`.
  void Ready(uint32_t bits, double rate, const char* profile = "{}") {
    Plug(profile);
    if (bits) WriteSetting("BitsPerSample", bits);
    driver = CreateAndInit();
    ASSERT_TRUE(driver);
    ASSERT_EQ(driver->setSampleRate(rate), ASE_OK);
    host.driver = driver.p;
    host.bytes = driver->Bits() / 8;
  }

  // createBuffers for `channels` (input ones flagged) of `size` frames.
  ASIOError Create(std::vector<std::pair<bool, long>> channels, long size) {
    host.infos.clear();
    for (auto [input, number] : channels) host.infos.push_back(ASIOBufferInfo{input ? ASIOTrue : ASIOFalse, number, {}});
    host.input.assign(host.infos.size(), {});
    host.size = size;
    return driver->createBuffers(host.infos.data(), static_cast<long>(host.infos.size()), size, &g_callbacks);
  }

  void Record(const char* extension = ".wav") {
    recording = sim::Lab::Directory() + "\\" + product + extension;
    DeleteFileA(recording.c_str());
    sim::LabBlock* lab = sim::Lab::Block();
    std::memcpy(lab->recordFile, recording.c_str(), recording.size() + 1);
    InterlockedExchange(&lab->recording, 1);
  }

  // Runs until `switches` buffer switches happened.
  void Run(long switches) {
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_TRUE(WaitFor([&] { return host.switches >= switches; }, 10000)) << host.switches << " switches";
    ASSERT_EQ(driver->stop(), ASE_OK);
  }

  // The recording, after the two packets of pre-roll, holds the host's output
  // of every completed period in order; returns how many periods it holds.
  long ExpectPlayedBitForBit(uint32_t channels) {
    sim::WavData wav;
    EXPECT_TRUE(sim::ReadWav(recording, wav, 64 << 20)) << recording;
    const size_t frameBytes = channels * host.bytes;
    const size_t frames = wav.data.size() / frameBytes;
    const size_t preroll = 2 * static_cast<size_t>(host.size);
    EXPECT_GE(frames, preroll);
    std::vector<uint8_t> expected(host.bytes);
    size_t wrong = 0;
    for (size_t f = 0; f < frames; ++f) {
      for (uint32_t c = 0; c < channels; ++c) {
        const uint8_t* got = wav.data.data() + f * frameBytes + c * host.bytes;
        if (f < preroll) {
          std::fill(expected.begin(), expected.end(), 0);
        } else {
          PatternSample(c, f - preroll, host.bytes, expected.data());
        }
        if (std::memcmp(got, expected.data(), host.bytes) != 0 && wrong++ < 3) {
          ADD_FAILURE() << "frame " << f << " channel " << c << " differs";
        }
      }
    }
    EXPECT_EQ(wrong, 0u);
    return static_cast<long>(frames / host.size) - 2;
  }

  // Whether the device captured without a gap: on a machine loaded beyond
  // what the buffer size allows, a capture packet queued late misses frames
  // (the device's clock runs on). Capture checks run on a run that kept up; a
  // case is tried at most kAttempts times.
  static bool KeptUp() {
    sim::LabBlock* lab = sim::Lab::Block();
    return lab && lab->underruns == 0 && lab->overruns == 0;
  }
  static void ForgetGaps() {
    sim::LabBlock* lab = sim::Lab::Block();
    InterlockedExchange(&lab->underruns, 0);
    InterlockedExchange(&lab->overruns, 0);
  }
  static constexpr int kAttempts = 3;

  Host host;
  Driver driver;
  std::string recording;
};

// --- createBuffers and disposeBuffers ---

TEST_F(StreamingTest, CreateBuffersSizesHalvesPacketsAndPins) {
  Ready(0, 48000);
  const orvi::StreamTable& render = driver->Table(orvi::kRender, 2);
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 512), ASE_OK);
  EXPECT_EQ(driver->State(), 3u);
  EXPECT_EQ(render.pins[0].bOpen, 1u);
  EXPECT_EQ(render.pins[0].nOpenChannels, 2u);
  EXPECT_EQ(render.pins[0].packets[0].header.FrameExtent, 2u * 4 * 512);
  EXPECT_EQ(render.pins[0].nPacketFrames, 512u);
  EXPECT_NE(host.infos[0].buffers[0], nullptr);
  EXPECT_NE(host.infos[1].buffers[1], nullptr);
  long in = 0;
  long out = 0;
  EXPECT_EQ(driver->getLatencies(&in, &out), ASE_OK);
  EXPECT_EQ(in, 512);
  EXPECT_EQ(out, 512);
  ASIOChannelInfo info{};
  info.channel = 1;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.isActive, ASIOTrue);
  info.isInput = ASIOTrue;
  ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.isActive, ASIOFalse) << "no input was asked for";
  PanelView panel = Panel();
  EXPECT_EQ(panel.b().dwState, 3u);
  EXPECT_EQ(panel.b().dwBufferSize, 512u);
  EXPECT_EQ(driver->createBuffers(host.infos.data(), 2, 512, &g_callbacks), ASE_InvalidMode) << "buffers exist";

  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->State(), 2u);
  EXPECT_EQ(render.pins[0].bOpen, 0u);
  EXPECT_EQ(render.pins[0].packets[0].header.Data, nullptr);
  EXPECT_EQ(render.channels[0].pBuffer[0], nullptr);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK) << "twice is harmless";
}

TEST_F(StreamingTest, CreateBuffersChannelChoices) {
  Ready(0, 48000);
  const orvi::StreamTable& render = driver->Table(orvi::kRender, 2);
  const orvi::StreamTable& capture = driver->Table(orvi::kCapture, 2);
  const struct {
    std::vector<std::pair<bool, long>> channels;
    ASIOError result;
    uint32_t renderOpen, captureOpen;  // channels each pin was opened with
  } cases[] = {
      {{{false, 1}}, ASE_OK, 2, 0},            // only R: the frame still has L
      {{{true, 0}}, ASE_OK, 0, 1},             // an input only: the capture pin alone
      {{}, ASE_OK, 1, 0},                      // no channels: every output pin with one
      {{{false, 2}}, ASE_InvalidParameter, 0, 0},
      {{{true, 2}}, ASE_InvalidParameter, 0, 0},
      {{{false, -1}}, ASE_InvalidParameter, 0, 0},
      {{{false, 0}, {false, 0}}, ASE_InvalidParameter, 0, 0},  // the same channel twice
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.channels.size() << " channels, first "
                                    << (c.channels.empty() ? -9 : c.channels[0].second));
    host.infos.clear();
    for (auto [input, number] : c.channels) host.infos.push_back(ASIOBufferInfo{input ? ASIOTrue : ASIOFalse, number, {}});
    const ASIOError result = driver->createBuffers(host.infos.empty() ? nullptr : host.infos.data(),
                                                   static_cast<long>(host.infos.size()), 480, &g_callbacks);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(driver->State(), result == ASE_OK ? 3u : 2u);
    EXPECT_EQ(render.pins[0].bOpen ? render.pins[0].nOpenChannels : 0u, c.renderOpen);
    EXPECT_EQ(capture.pins[0].bOpen ? capture.pins[0].nOpenChannels : 0u, c.captureOpen);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(render.pins[0].bOpen, 0u);
  }
  host.infos = {ASIOBufferInfo{ASIOFalse, 0, {}}};
  EXPECT_EQ(driver->createBuffers(host.infos.data(), 1, 0, &g_callbacks), ASE_InvalidParameter);
  EXPECT_EQ(driver->createBuffers(host.infos.data(), 1, 480, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(driver->createBuffers(nullptr, 1, 480, &g_callbacks), ASE_InvalidParameter);
}

TEST_F(StreamingTest, DsdBuffersHoldOneBitPerSampleAndSwitchTheDeviceMode) {
  Ready(0, 2822400);
  sim::LabBlock* lab = sim::Lab::Block();
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 28224), ASE_OK);
  const orvi::StreamTable& render = driver->Table(orvi::kRender, 3);  // 88200 Hz
  EXPECT_EQ(render.pins[0].nPacketFrames, 882u);
  EXPECT_EQ(render.pins[0].packets[0].header.FrameExtent, 882u * 4 * 2);
  EXPECT_EQ(render.channels[0].nFrames, 882u);
  EXPECT_EQ(lab->dsdMode, static_cast<LONG>(sim::DsdMode::kDsd64));
  PanelView panel = Panel();
  EXPECT_EQ(panel.b().dwBufferSize, 882u);
  EXPECT_EQ(panel.b().dwNativeDsd, 1u);
  EXPECT_EQ(panel.b().dwDsdStream, 1u);
  // The halves are 3528 bytes: the driver zero-fills exactly that much.
  EXPECT_EQ(HeapSize(GetProcessHeap(), 0, host.infos[0].buffers[0]), 3528u);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(lab->dsdMode, static_cast<LONG>(sim::DsdMode::kNone));
  EXPECT_EQ(Create({{false, 0}}, 28224 + 8), ASE_InvalidParameter) << "not a whole number of containers";
}

// --- streaming ---

TEST_F(StreamingTest, SwitchIndicesAndPositionsFollowThePeriods) {
  Ready(0, 48000);
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 480), ASE_OK);
  Run(8);
  std::lock_guard<std::mutex> guard(host.lock);
  ASSERT_GE(host.indices.size(), 8u);
  for (size_t k = 0; k < host.indices.size(); ++k) {
    EXPECT_EQ(host.indices[k], static_cast<long>(k & 1)) << k;
    EXPECT_EQ(host.positions[k], k * 480) << k;
    EXPECT_EQ(host.flags[k], 0u) << "a host without time information gets bufferSwitch";
  }
  EXPECT_EQ(driver->State(), 3u);
  EXPECT_EQ(driver->start(), ASE_OK);
  EXPECT_EQ(driver->State(), 4u);
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  EXPECT_EQ(driver->start(), ASE_OK);
  EXPECT_EQ(driver->State(), 2u) << "start outside the prepared state does nothing";
}

TEST_F(StreamingTest, PlaysEveryRateAndDepthBitForBit) {
  for (uint32_t bits : {16u, 24u, 32u}) {
    for (uint32_t rate : orvi::kRateTable) {
      SCOPED_TRACE(testing::Message() << bits << " bits at " << rate << " Hz");
      NewProduct();
      host.Reset();
      Ready(bits, rate);
      ASSERT_EQ(driver->Bits(), bits);
      Record();
      ASSERT_EQ(Create({{false, 0}, {false, 1}}, static_cast<long>(rate / 200)), ASE_OK);  // 5 ms
      Run(6);
      ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
      // An underrun on a loaded machine delays what is played, never changes it.
      EXPECT_GE(ExpectPlayedBitForBit(2), 3);
      driver.reset();
      sim::Lab::Reset();
    }
  }
}

TEST_F(StreamingTest, AHostThatNeverCallsOutputReadyPlaysSilence) {
  Ready(0, 96000);
  host.fillOutput = false;
  Record();
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 960), ASE_OK);
  Run(5);
  ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
  sim::WavData wav;
  ASSERT_TRUE(sim::ReadWav(recording, wav, 16 << 20));
  EXPECT_GE(wav.data.size(), 4u * 960 * 8);
  EXPECT_TRUE(std::all_of(wav.data.begin(), wav.data.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(StreamingTest, CapturedAudioReachesTheHostFromTheThirdSwitchOn) {
  Ready(24, 44100);
  // A capture file of the pin's format: frame f of channel c is PatternSample(c, f).
  const long size = 441;
  const size_t fileFrames = 20 * size;
  std::vector<uint8_t> pcm(fileFrames * 2 * 3);
  for (size_t f = 0; f < fileFrames; ++f) {
    for (uint32_t c = 0; c < 2; ++c) PatternSample(c, f, 3, &pcm[(f * 2 + c) * 3]);
  }
  const std::string file = sim::Lab::Directory() + "\\" + product + "-in.wav";
  {
    sim::WavWriter writer;
    ASSERT_TRUE(writer.Open(file, sim::WavFormat{2, 44100, 24}));
    writer.Append(pcm.data(), pcm.size());
  }
  sim::LabBlock* lab = sim::Lab::Block();
  std::memcpy(lab->captureFile, file.c_str(), file.size() + 1);
  InterlockedExchange(&lab->captureSource, static_cast<LONG>(sim::CaptureSource::kFile));

  host.fillOutput = false;
  for (int attempt = 1;; ++attempt) {
    host.Reset();
    ForgetGaps();
    ASSERT_EQ(Create({{true, 0}, {true, 1}, {false, 0}, {false, 1}}, size), ASE_OK);
    Run(8);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    if (KeptUp()) break;
    ASSERT_LT(attempt, kAttempts) << "the device overran in every attempt";
  }
  std::lock_guard<std::mutex> guard(host.lock);
  for (uint32_t c = 0; c < 2; ++c) {
    const std::vector<uint8_t>& got = host.input[c];
    ASSERT_GE(got.size(), 8u * size * 3);
    // The first two switches see the zero-filled halves; from the third on,
    // switch k holds what the device captured from frame k × size on, the
    // frames of the sample position it reports.
    EXPECT_TRUE(std::all_of(got.begin(), got.begin() + 2 * size * 3, [](uint8_t b) { return b == 0; }));
    uint8_t expected[3];
    size_t wrong = 0;
    for (size_t f = 2 * size; f < got.size() / 3; ++f) {
      PatternSample(c, f % fileFrames, 3, expected);
      if (std::memcmp(&got[f * 3], expected, 3) != 0) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "channel " << c;
  }
  DeleteFileA(file.c_str());
}

TEST_F(StreamingTest, TimeInformationCarriesTheRateChange) {
  Ready(0, 48000);
  host.timeInfo = true;
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 480), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(WaitFor([&] { return host.switches >= 3; }, 5000));
  ASSERT_EQ(driver->setSampleRate(96000), ASE_OK);
  const long changedAt = host.switches;
  ASSERT_TRUE(WaitFor([&] { return host.switches >= changedAt + 3; }, 5000));
  ASSERT_EQ(driver->stop(), ASE_OK);
  std::lock_guard<std::mutex> guard(host.lock);
  // The rate set before the buffers existed is news to the first switch.
  ASSERT_FALSE(host.flags.empty());
  EXPECT_EQ(host.flags[0], 0x17u);
  size_t changed = 0;
  for (size_t k = 1; k < host.flags.size(); ++k) {
    if (host.flags[k] == 0x17u) {
      ++changed;
      EXPECT_GE(k, static_cast<size_t>(changedAt) - 1);
    } else {
      EXPECT_EQ(host.flags[k], 7u) << k;
    }
  }
  EXPECT_EQ(changed, 1u);
  EXPECT_EQ(host.rateChanges, std::vector<double>{96000.0});
  EXPECT_EQ(std::count(host.messages.begin(), host.messages.end(), kAsioResetRequest), 1);
  EXPECT_EQ(driver->setSampleRate(96000), ASE_OK);
  EXPECT_EQ(host.rateChanges.size(), 1u) << "the current rate again calls nothing";
}

TEST_F(StreamingTest, DopMarkersInTheOutputAreReportedOnceAndEndAtStop) {
  Ready(24, 176400);
  sim::LabBlock* lab = sim::Lab::Block();
  // Markers 0x05 and 0xFA taking turns above two bytes of DSD.
  std::atomic<bool> dop{true};
  host.sample = [&dop](uint32_t, uint64_t frame, uint8_t* out) {
    out[0] = 0x69;
    out[1] = 0x96;
    out[2] = dop ? ((frame & 1) ? 0xFA : 0x05) : 0x21;
  };
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 1764), ASE_OK);
  const uint32_t before = static_cast<uint32_t>(sim::Lab::HidReports().size());
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(WaitFor([&] { return host.switches >= 4; }, 5000));
  PanelView panel = Panel();
  EXPECT_EQ(panel.b().dwDsdStream, 1u);
  EXPECT_EQ(panel.b().dwDsd128, 0u) << "DoP at 176400 Hz is DSD64";
  EXPECT_EQ(lab->dopActive, 1);
  EXPECT_EQ(sim::Lab::HidReports().size(), before + 1u) << "DoP on, once";
  // A sample without a marker ends the DSD stream in the block only.
  dop = false;
  const long at = host.switches;
  ASSERT_TRUE(WaitFor([&] { return host.switches >= at + 2; }, 5000));
  EXPECT_EQ(panel.b().dwDsdStream, 0u);
  EXPECT_EQ(lab->dopActive, 1);
  ASSERT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(lab->dopActive, 0) << "DoP off at stop";
  EXPECT_EQ(sim::Lab::HidReports().size(), before + 2u);
}

TEST_F(StreamingTest, PcmAt96kIsNeverTestedForDop) {
  Ready(24, 96000);
  host.sample = [](uint32_t, uint64_t frame, uint8_t* out) {
    out[0] = out[1] = 0;
    out[2] = (frame & 1) ? 0xFA : 0x05;
  };
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 960), ASE_OK);
  Run(4);
  PanelView panel = Panel();
  EXPECT_EQ(panel.b().dwDsdStream, 0u);
  EXPECT_EQ(sim::Lab::Block()->dopActive, 0);
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  auto bytes = orvi::media::ReadFileBytes(path, 64 << 20);
  return bytes ? std::move(bytes.value()) : std::vector<uint8_t>();
}

TEST_F(StreamingTest, NativeDsdReachesTheDeviceBitForBitInItsDsdMode) {
  const struct {
    uint32_t rate;
    sim::DsdMode mode;
  } cases[] = {{2822400, sim::DsdMode::kDsd64}, {5644800, sim::DsdMode::kDsd128}, {11289600, sim::DsdMode::kDsd256}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    NewProduct();
    host.switches = 0;
    Ready(0, c.rate);
    ASIOChannelInfo info{};
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    ASSERT_EQ(info.type, ASIOSTDSDInt8MSB1);
    const long size = static_cast<long>(c.rate / 100);  // 10 ms
    const orvi::media::DsdAudio source =
        orvi::material::MakeDsd(2, c.rate, static_cast<uint64_t>(size) * 4).value();
    host.dsd = &source.channelBytes;
    host.Reset();
    Record(".dsf");
    ASSERT_EQ(Create({{false, 0}, {false, 1}}, size), ASE_OK);
    EXPECT_EQ(sim::Lab::Block()->dsdMode, static_cast<LONG>(c.mode));
    Run(8);
    ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(sim::Lab::Block()->dsdMode, static_cast<LONG>(sim::DsdMode::kNone));
    const orvi::material::Verdict v =
        orvi::material::VerifyRecording(ReadAll(recording), orvi::media::BuildDsf(source).value());
    EXPECT_TRUE(v.exact) << v.message;
    EXPECT_EQ(v.offset, 2u * static_cast<uint64_t>(size) / 8) << "two buffers of pre-roll";
    host.dsd = nullptr;
    driver.reset();
    sim::Lab::Reset();
  }
}

TEST_F(StreamingTest, DopReachesTheDeviceBitForBit) {
  Ready(24, 176400);
  const long size = 1764;
  const orvi::media::DsdAudio dsd = orvi::material::MakeDsd(2, 2822400, static_cast<uint64_t>(size) * 16 * 4).value();
  const orvi::media::PcmAudio dop = orvi::media::PackDop(dsd, 24).value();
  host.sample = [&dop](uint32_t channel, uint64_t frame, uint8_t* out) {
    const size_t at = static_cast<size_t>(frame * 2 + channel) * 3;
    if (at + 3 <= dop.bytes.size()) {
      std::memcpy(out, &dop.bytes[at], 3);
    } else {  // DoP silence: markers go on
      out[0] = out[1] = 0x69;
      out[2] = (frame & 1) ? 0xFA : 0x05;
    }
  };
  Record(".dsf");
  const size_t before = sim::Lab::HidReports().size();
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, size), ASE_OK);
  Run(7);
  ASSERT_EQ(driver->disposeBuffers(), ASE_OK);
  const orvi::material::Verdict v =
      orvi::material::VerifyRecording(ReadAll(recording), orvi::media::BuildDsf(dsd).value());
  EXPECT_TRUE(v.exact) << v.message;
  // DoP on once, DoP off at stop, then the three DSD-off reports.
  EXPECT_EQ(sim::Lab::HidReports().size(), before + 5);
}

// --- faults ---

TEST_F(StreamingTest, ADeviceThatStopsCompletingPacketsAsksTheHostToResetOnce) {
  Ready(0, 48000);
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 480), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(WaitFor([&] { return host.switches >= 3; }, 5000));
  InterlockedExchange(&sim::Lab::Block()->packetsStalled, 1);
  EXPECT_TRUE(WaitFor([&] { return host.resets >= 1; }, 5000)) << "no reset request after 5 s";
  Sleep(2500);
  EXPECT_EQ(host.resets, 1) << "once per createBuffers";
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
}

TEST_F(StreamingTest, APanelResetRequestReachesTheHostOnce) {
  Ready(0, 48000);
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 480), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(WaitFor([&] { return host.switches >= 2; }, 5000));
  PanelView panel = Panel();
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&panel.b().dwResetRequest), 1);
  // It is taken at the streaming thread's next wake-up, within a period; a
  // loaded machine is given more.
  EXPECT_TRUE(WaitFor([&] { return host.resets >= 1; }, 1000));
  Sleep(100);
  EXPECT_EQ(host.resets, 1);
  EXPECT_EQ(panel.b().dwResetRequest, 0u);
  EXPECT_EQ(driver->stop(), ASE_OK);
}

TEST_F(StreamingTest, RemovalWhileStreamingNeitherCrashesNorHangs) {
  Ready(0, 192000);
  ASSERT_EQ(Create({{true, 0}, {false, 0}, {false, 1}}, 1920), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(WaitFor([&] { return host.switches >= 3; }, 5000));
  sim::Lab::Unplug();
  Sleep(100);
  const long after = host.switches;
  Sleep(100);
  EXPECT_LE(host.switches - after, 1) << "no periods from a device that is gone";
  EXPECT_EQ(driver->stop(), ASE_OK);
  EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
  driver.reset();  // the last Release completes as well
}

TEST_F(StreamingTest, ReleaseWhileRunningStopsAndDisposes) {
  Ready(0, 48000);
  ASSERT_EQ(Create({{false, 0}, {false, 1}}, 480), ASE_OK);
  ASSERT_EQ(driver->start(), ASE_OK);
  ASSERT_TRUE(WaitFor([&] { return host.switches >= 2; }, 5000));
  sim::LabBlock* lab = sim::Lab::Block();
  driver.reset();
  const long switches = host.switches;
  Sleep(50);
  EXPECT_EQ(host.switches, switches);
  EXPECT_EQ(lab->streamActive, 0) << "the stream ended with the driver";
  PanelView panel = Panel();
  EXPECT_EQ(panel.b().dwState, 0u);
}

}  // namespace
