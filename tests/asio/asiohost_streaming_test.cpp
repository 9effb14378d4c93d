// asiohost streaming through the registered lab driver to the simulated
// device, as a user runs it: what the device recorded is compared with the
// file played, bit for bit; DoP and native DSD reach the device's mode
// reports; the loopback and a recording go round the device; bad files and
// formats the device cannot take end with their exit codes.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "asio/registration.h"
#include "media/dff.h"
#include "media/dop.h"
#include "media/dsf.h"
#include "media/wav.h"
#include "sim/lab_state.h"
#include "sim/wav_file.h"
#include "tests/support/peer_process.h"

namespace {

using orvi::test::ProgramResult;
using orvi::test::RunProgram;
using testing::HasSubstr;

const std::string kSettingsKey = std::string("Software\\ASIO\\") + ORVI_DRIVER_PRODUCT;

// A deterministic sample that is never all zeros.
void Pattern(uint32_t channel, uint64_t frame, uint32_t bytes, uint8_t* out) {
  uint64_t v = (frame + 1) * 0x9E3779B97F4A7C15ull ^ (uint64_t{channel} + 1) * 0xC2B2AE3D27D4EB4Full;
  for (uint32_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i)) | (i == 0 ? 1 : 0);
}

orvi::media::PcmAudio PatternAudio(uint32_t rate, uint16_t bits, uint64_t frames) {
  orvi::media::PcmAudio a;
  a.format = orvi::media::PcmFormat{2, rate, bits, bits};
  a.bytes.resize(static_cast<size_t>(frames) * a.format.BlockAlign());
  const uint32_t bytes = bits / 8u;
  for (uint64_t f = 0; f < frames; ++f)
    for (uint32_t c = 0; c < 2; ++c) Pattern(c, f, bytes, &a.bytes[static_cast<size_t>((f * 2 + c) * bytes)]);
  return a;
}

class AsiohostStreamingTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::Lab::Reset();
    ProgramResult r;
    const std::string command = std::string("C:\\windows\\system32\\regsvr32.exe /s \"") + ORVI_DRIVER_DLL + "\"";
    ASSERT_TRUE(RunProgram(command, r)) << command;
    ASSERT_EQ(r.exitCode, 0u) << r.output;
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
  }
  void TearDown() override {
    orvi::UnregisterDriver(ORVI_DRIVER_PRODUCT);  // also the settings
    sim::Lab::Reset();
    for (const std::string& f : m_files) DeleteFileA(f.c_str());
  }

  // The driver's bit depth, as the panel sets it.
  void SetBits(DWORD bits) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, kSettingsKey.c_str(), "BitsPerSample", REG_DWORD, &bits, sizeof bits),
              ERROR_SUCCESS);
  }
  std::string LabFile(const std::string& name) {
    m_files.push_back(sim::Lab::Directory() + "\\" + name);
    return m_files.back();
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = LabFile(name);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return path;
  }
  // The device records what it plays, from the next stream on.
  std::string Record(const std::string& name) {
    const std::string path = LabFile(name);
    sim::LabBlock* lab = sim::Lab::Block();
    std::memcpy(lab->recordFile, path.c_str(), path.size() + 1);
    InterlockedExchange(&lab->recording, 1);
    return path;
  }
  ProgramResult Run(const std::string& args) {
    ProgramResult r;
    EXPECT_TRUE(RunProgram(std::string("\"") + ASIOHOST_EXE + "\" " + args, r)) << args;
    std::erase(r.output, '\r');
    return r;
  }
  // Whether the HID log gained `report` (the bytes after the report id).
  static bool Reported(uint32_t after, std::vector<uint8_t> report) {
    for (const sim::HidLogEntry& e : sim::Lab::HidReports(after)) {
      if (e.length > report.size() && std::equal(report.begin(), report.end(), e.bytes + 1)) return true;
    }
    return false;
  }
  static uint32_t LastHidSequence() {
    std::vector<sim::HidLogEntry> all = sim::Lab::HidReports();
    return all.empty() ? 0 : all.back().sequence;
  }

 private:
  std::vector<std::string> m_files;
};

TEST_F(AsiohostStreamingTest, PlaysWavFilesBitForBit) {
  const struct {
    uint32_t rate;
    uint16_t bits;
    long buffer;
    const char* type;
  } kCases[] = {
      {48000, 24, 480, "ASIOSTInt24LSB"},
      {44100, 16, 441, "ASIOSTInt16LSB"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.bits << " bits at " << c.rate);
    SetBits(c.bits);
    const uint64_t frames = c.rate / 5;  // 0.2 s
    const orvi::media::PcmAudio source = PatternAudio(c.rate, c.bits, frames);
    const std::string file = Write("play" + std::to_string(c.bits) + ".wav", orvi::media::BuildWav(source).value());
    const std::string recording = Record("played" + std::to_string(c.bits) + ".wav");
    ProgramResult r = Run("play \"" + file + "\" --quiet --buffer " + std::to_string(c.buffer));
    InterlockedExchange(&sim::Lab::Block()->recording, 0);
    ASSERT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_THAT(r.output, HasSubstr(std::string("sample type     ") + c.type));
    EXPECT_THAT(r.output, HasSubstr("result          success"));
    EXPECT_THAT(r.output, HasSubstr("missed          0"));

    sim::WavData wav;
    ASSERT_TRUE(sim::ReadWav(recording, wav, 64 << 20)) << recording;
    EXPECT_TRUE((wav.format == sim::WavFormat{2, c.rate, c.bits}));
    const size_t frameBytes = source.format.BlockAlign();
    const size_t preroll = 2 * static_cast<size_t>(c.buffer) * frameBytes;
    ASSERT_GE(wav.data.size(), preroll + source.bytes.size());
    EXPECT_TRUE(std::all_of(wav.data.begin(), wav.data.begin() + preroll, [](uint8_t b) { return b == 0; }))
        << "two buffers of pre-roll silence";
    const auto played = wav.data.begin() + preroll;
    const auto wrong = std::mismatch(source.bytes.begin(), source.bytes.end(), played);
    EXPECT_EQ(wrong.first, source.bytes.end())
        << "frame " << (wrong.first - source.bytes.begin()) / frameBytes << " differs";
    EXPECT_TRUE(std::all_of(played + source.bytes.size(), wav.data.end(), [](uint8_t b) { return b == 0; }))
        << "only silence after the file";
    sim::Lab::Reset();
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug("{}", error));
  }
}

TEST_F(AsiohostStreamingTest, DopWavReachesTheDeviceAsDop) {
  SetBits(24);
  orvi::media::DsdAudio dsd;
  dsd.channels = 2;
  dsd.dsdRate = 2822400;
  dsd.sampleCount = 2822400 / 5;
  dsd.channelBytes.assign(2, std::vector<uint8_t>(static_cast<size_t>(dsd.sampleCount / 8), 0x69));
  orvi::media::PcmAudio dop = orvi::media::PackDop(dsd, 24).value();
  ASSERT_EQ(dop.format.rate, 176400u);
  const std::string file = Write("dop.wav", orvi::media::BuildWav(dop).value());
  const uint32_t before = LastHidSequence();
  ProgramResult r = Run("play \"" + file + "\" --quiet");
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  EXPECT_THAT(r.output, HasSubstr("WAV PCM 24-bit, 176400 Hz, 2 channels, DoP markers (DSD64)"));
  EXPECT_THAT(r.output, HasSubstr("result          success"));
  EXPECT_TRUE(Reported(before, {0xF8, 0x21, 0x35, 0x01})) << "DoP on";
}

TEST_F(AsiohostStreamingTest, DsfAndDffPlayNativelyAtTheDsdRate) {
  orvi::media::DsdAudio dsd;
  dsd.channels = 2;
  dsd.dsdRate = 2822400;
  dsd.sampleCount = 2822400 / 10;
  dsd.channelBytes = {std::vector<uint8_t>(static_cast<size_t>(dsd.sampleCount / 8), 0x96),
                      std::vector<uint8_t>(static_cast<size_t>(dsd.sampleCount / 8), 0x69)};
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
  } kCases[] = {
      {"native.dsf", orvi::media::BuildDsf(dsd).value()},
      {"native.dff", orvi::media::BuildDff(dsd).value()},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string file = Write(c.name, c.bytes);
    const uint32_t before = LastHidSequence();
    ProgramResult r = Run("play \"" + file + "\" --quiet");
    EXPECT_EQ(r.exitCode, 0u) << r.output;
    EXPECT_THAT(r.output, HasSubstr("DSD64 (2822400 Hz), 2 channels"));
    EXPECT_THAT(r.output, HasSubstr("sample type     ASIOSTDSDInt8MSB1"));
    EXPECT_THAT(r.output, HasSubstr("rate            2822400 Hz"));
    EXPECT_THAT(r.output, HasSubstr("buffer          28224 frames (10.00 ms)"));
    EXPECT_THAT(r.output, HasSubstr("result          success"));
    EXPECT_TRUE(Reported(before, {0xF5, 0x21, 0x32, 0x2E})) << "DSD64 on";
  }
}

TEST_F(AsiohostStreamingTest, LoopbackFindsThePlayedSignal) {
  SetBits(24);
  InterlockedExchange(&sim::Lab::Block()->captureSource, static_cast<LONG>(sim::CaptureSource::kLoopback));
  ProgramResult r = Run("loopback --seconds 0.3 --rate 96000 --quiet");
  EXPECT_EQ(r.exitCode, 0u) << r.output;
  EXPECT_THAT(r.output, HasSubstr("match           all 28800 frames, bit for bit"));
  EXPECT_THAT(r.output, HasSubstr("offset          "));

  // Silence comes back instead: no match, and the run fails.
  InterlockedExchange(&sim::Lab::Block()->captureSource, static_cast<LONG>(sim::CaptureSource::kSilence));
  r = Run("loopback --seconds 0.1 --quiet");
  EXPECT_EQ(r.exitCode, 4u) << r.output;
  EXPECT_THAT(r.output, HasSubstr("match           none: the signal's first frame is not in the"));
}

TEST_F(AsiohostStreamingTest, RecordsTheInputsToAWavOfTheDriversType) {
  SetBits(24);
  sim::LabBlock* lab = sim::Lab::Block();
  InterlockedExchange(&lab->toneHz, 1000);
  InterlockedExchange(&lab->captureSource, static_cast<LONG>(sim::CaptureSource::kTone));
  const std::string file = LabFile("recorded.wav");
  ProgramResult r = Run("record \"" + file + "\" --seconds 0.25 --rate 48000 --quiet");
  ASSERT_EQ(r.exitCode, 0u) << r.output;
  EXPECT_THAT(r.output, HasSubstr("format          WAV PCM 24-bit, 48000 Hz, 2 channels"));
  sim::WavData wav;
  ASSERT_TRUE(sim::ReadWav(file, wav, 16 << 20));
  EXPECT_TRUE((wav.format == sim::WavFormat{2, 48000, 24}));
  EXPECT_EQ(wav.data.size(), 12000u * 2 * 3);
  EXPECT_FALSE(std::all_of(wav.data.begin(), wav.data.end(), [](uint8_t b) { return b == 0; })) << "the tone";
}

TEST_F(AsiohostStreamingTest, FilesAndFormatsTheDeviceCannotTake) {
  orvi::media::DsdAudio dsd;
  dsd.channels = 2;
  dsd.dsdRate = 2822400;
  dsd.sampleCount = 64;
  dsd.channelBytes.assign(2, std::vector<uint8_t>(8, 0x69));
  std::vector<uint8_t> blockZero = orvi::media::BuildDsf(dsd).value();
  std::fill(blockZero.begin() + 72, blockZero.begin() + 76, uint8_t{0});  // fmt: block size per channel
  std::vector<uint8_t> truncated = orvi::media::BuildWav(PatternAudio(48000, 24, 4800)).value();
  truncated.resize(truncated.size() / 2);
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    DWORD bits;
    DWORD exitCode;
    const char* says;
  } kCases[] = {
      {"block0.dsf", blockZero, 32, 5, "DSF: fmt block size per channel 0 is outside"},
      {"truncated.wav", truncated, 24, 5, "WAV: data chunk"},
      {"22050.wav", orvi::media::BuildWav(PatternAudio(22050, 16, 2205)).value(), 16, 6,
       "does not offer 22050 Hz"},
      {"narrow.wav", orvi::media::BuildWav(PatternAudio(48000, 24, 480)).value(), 16, 6,
       "would lose bits in the driver's 16-bit ASIOSTInt16LSB"},
  };
  for (const auto& c : kCases) {
    SetBits(c.bits);
    const std::string file = Write(c.name, c.bytes);
    ProgramResult r = Run("play \"" + file + "\" --quiet");
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << r.output;
    EXPECT_THAT(r.output, HasSubstr(c.says)) << c.name;
  }
}

}  // namespace
