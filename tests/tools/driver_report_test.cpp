// The host's report on a driver, gathered from a fake driver object: every
// section present, failures shown by name rather than the values a failing call
// left behind, and a faulty driver's text and counts kept within bounds.
#include "tools/asiohost/driver_report.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/tools/fake_asio_driver.h"
#include "tools/asiohost/asio_names.h"

namespace {

using orvi::host::BoundedText;
using orvi::host::DriverText;
using orvi::host::FormatRate;
using orvi::host::FormatReport;
using orvi::host::GatherReport;
using orvi::host::kMaxChannels;
using orvi::test::FakeAsioDriver;
using testing::HasSubstr;
using testing::Not;

class DriverReportTest : public testing::Test {
 protected:
  std::string Report() { return FormatReport(GatherReport(driver)); }
  FakeAsioDriver driver;
};

TEST_F(DriverReportTest, ShowsEverySectionOneFactPerLine) {
  std::string text = Report();
  const char* const kLines[] = {
      "driver          \"Fake Q72\"\n",
      "version         7\n",
      "channels        inputs 2  outputs 2\n",
      "latencies       input 440  output 440\n",
      "buffer size     min 96  max 28800  preferred 480  granularity 48\n",
      "sample rate     48000\n",
      "clock sources   2\n",
      "  clock 0       \"Internal\"  current\n",
      "  clock 1       \"S/PDIF\"\n",
      "input channels  2\n",
      "  in 0          \"In 1\"  group 0  ASIOSTInt24LSB  active\n",
      "  in 1          \"In 2\"  group 0  ASIOSTInt24LSB  inactive\n",
      "output channels 2\n",
      "  out 0         \"Out 1\"  group 0  ASIOSTDSDInt8MSB1  active\n",
      "  out 1         \"Out 2\"  group 0  ASIOSTDSDInt8MSB1  inactive\n",
      "  32000           ASE_NoClock\n",
      "  44100           ASE_OK\n",
      "  384000          ASE_NoClock\n",
      "  2822400 DSD64   ASE_OK\n",
      "  5644800 DSD128  ASE_NoClock\n",
      "  11289600 DSD256 ASE_NoClock\n",
      "  kAsioCanInputMonitor  no (ASE_InvalidParameter)\n",
      "  kAsioCanTimeInfo      yes (ASE_SUCCESS)\n",
      "  kAsioCanOutputMeter   no (ASE_InvalidParameter)\n",
      "  kAsioCanDoIoFormat    yes (ASE_SUCCESS)\n",
      "  kAsioGetIoFormat      ASE_SUCCESS  format DSD\n",
  };
  for (const char* line : kLines) EXPECT_THAT(text, HasSubstr(line)) << "in\n" << text;
  EXPECT_TRUE(driver.futureGotNullForCan);
}

TEST_F(DriverReportTest, AsksEveryRateOfTheTableOnce) {
  auto report = GatherReport(driver);
  std::vector<double> asked;
  for (const auto& a : report.rates) asked.push_back(a.rate);
  EXPECT_EQ(asked, (std::vector<double>{32000, 44100, 48000, 88200, 96000, 176400, 192000, 352800, 384000, 2822400,
                                        5644800, 11289600}));
}

// A call that fails is reported by its error's name; what it left in its
// out-parameters is not shown as if it were an answer.
TEST_F(DriverReportTest, FailingCallsAreNamedAndTheirLeftoversNotShown) {
  driver.latenciesError = ASE_HWMalfunction;
  driver.bufferError = ASE_InvalidMode;
  driver.rateError = ASE_NoClock;
  driver.clocksError = ASE_SPNotAdvancing;
  driver.channelsError = ASE_NoMemory;
  driver.futureAnswers = {{kAsioGetIoFormat, ASE_NotPresent}};
  driver.ioFormat = kASIOPCMFormat;
  std::string text = Report();
  const char* const kLines[] = {
      "channels        getChannels failed: ASE_NoMemory\n",
      "latencies       getLatencies failed: ASE_HWMalfunction\n",
      "buffer size     getBufferSize failed: ASE_InvalidMode\n",
      "sample rate     getSampleRate failed: ASE_NoClock\n",
      "clock sources   getClockSources failed: ASE_SPNotAdvancing\n",
      "  kAsioGetIoFormat      ASE_NotPresent\n",
  };
  for (const char* line : kLines) EXPECT_THAT(text, HasSubstr(line)) << "in\n" << text;
  EXPECT_THAT(text, Not(HasSubstr(std::to_string(driver.garbage))));
  EXPECT_THAT(text, Not(HasSubstr("input channels")));
  EXPECT_TRUE(driver.inputChannelsAsked.empty() && driver.outputChannelsAsked.empty());
}

TEST_F(DriverReportTest, WithoutChannelsAtTheCurrentRateNoChannelIsAskedAbout) {
  driver.channelsError = ASE_NotPresent;
  std::string text = Report();
  EXPECT_THAT(text, HasSubstr("channels        no channels at the current rate (ASE_NotPresent)\n"));
  EXPECT_THAT(text, Not(HasSubstr("input channels")));
  EXPECT_THAT(text, Not(HasSubstr(std::to_string(driver.garbage))));
  EXPECT_TRUE(driver.inputChannelsAsked.empty());
  EXPECT_TRUE(driver.outputChannelsAsked.empty());
}

TEST_F(DriverReportTest, OneChannelsFailureIsShownOnItsLineAndTheOthersStill) {
  driver.failingChannel = 0;
  std::string text = Report();
  EXPECT_THAT(text, HasSubstr("  in 0          getChannelInfo failed: ASE_InvalidParameter\n"));
  EXPECT_THAT(text, HasSubstr("  in 1          \"In 2\""));
  EXPECT_THAT(text, HasSubstr("  out 0         getChannelInfo failed: ASE_InvalidParameter\n"));
}

struct ChannelCountCase {
  long said;
  long asked;        // channels the host asks getChannelInfo about
  const char* line;  // how the count is reported
};

class ChannelCountTest : public testing::TestWithParam<ChannelCountCase> {};

TEST_P(ChannelCountTest, CountsAreClampedAndSaidToBe) {
  const ChannelCountCase& c = GetParam();
  FakeAsioDriver driver;
  driver.inputs = c.said;
  driver.outputs = c.said;
  std::string text = FormatReport(GatherReport(driver));
  EXPECT_THAT(text, HasSubstr(c.line)) << text;
  for (const auto* asked : {&driver.inputChannelsAsked, &driver.outputChannelsAsked}) {
    ASSERT_EQ(static_cast<long>(asked->size()), c.asked);
    for (long i = 0; i < c.asked; ++i) EXPECT_EQ((*asked)[static_cast<size_t>(i)], i);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ChannelCountTest,
    testing::Values(ChannelCountCase{0, 0, "input channels  0\n"},
                    ChannelCountCase{kMaxChannels, kMaxChannels, "input channels  256\n"},
                    ChannelCountCase{-5, 0, "input channels  0  (driver reported -5 inputs; none shown)\n"},
                    ChannelCountCase{kMaxChannels + 1, kMaxChannels,
                                     "output channels 256  (driver reported 257 outputs; the first 256 shown)\n"},
                    ChannelCountCase{0x7fffffff, kMaxChannels,
                                     "input channels  256  (driver reported 2147483647 inputs; the first 256 shown)\n"}));

TEST_F(DriverReportTest, ClockCountBeyondTheSlotsAskedForIsClampedAndSaidToBe) {
  driver.clockCountSaid = 1000;
  std::string text = Report();
  EXPECT_THAT(text, HasSubstr("clock sources   8  (driver reported 1000 of 8 asked for)\n"));
  driver.clockCountSaid = -3;
  text = Report();
  EXPECT_THAT(text, HasSubstr("clock sources   0  (driver reported -3 of 8 asked for)\n"));
  EXPECT_THAT(text, Not(HasSubstr("  clock 0")));
}

struct TextCase {
  const char* what;
  std::string bytes;  // what the driver writes into the field
  std::string text;
  bool terminated;
  bool overran;
};

class DriverNameTest : public testing::TestWithParam<TextCase> {};

TEST_P(DriverNameTest, NameIsReadWithinItsField) {
  const TextCase& c = GetParam();
  FakeAsioDriver driver;
  driver.nameBytes = c.bytes;
  DriverText t = orvi::host::ReadDriverName(driver);
  EXPECT_EQ(t.text, c.text);
  EXPECT_EQ(t.terminated, c.terminated);
  EXPECT_EQ(t.overran, c.overran);
}

INSTANTIATE_TEST_SUITE_P(
    Names, DriverNameTest,
    testing::Values(TextCase{"plain", std::string("OrviQ72\0", 8), "OrviQ72", true, false},
                    TextCase{"nothing written", "", "", true, false},
                    TextCase{"full 31 characters", std::string(31, 'a') + '\0', std::string(31, 'a'), true, false},
                    TextCase{"32 bytes, no terminator", std::string(32, 'b'), std::string(31, 'b'), false, false},
                    TextCase{"past the field", std::string(40, 'c'), std::string(31, 'c'), false, true},
                    TextCase{"line breaks", std::string("Two\nLines\r\0", 11), "Two?Lines?", true, false}),
    [](const testing::TestParamInfo<TextCase>& p) {
      std::string n = p.param.what;
      std::replace_if(n.begin(), n.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); }, '_');
      return n;
    });

TEST_F(DriverReportTest, UnterminatedNamesAreCutAndSaidToBe) {
  driver.nameBytes = std::string(32, 'N');
  ASIOClockSource clock = FakeAsioDriver::Clock(0, "", true);
  std::memset(clock.name, 'K', sizeof clock.name);
  driver.clocks = {clock};
  std::string text = Report();
  EXPECT_THAT(text, HasSubstr("driver          \"" + std::string(31, 'N') +
                              "\" (not terminated within 32 bytes; cut)\n"));
  EXPECT_THAT(text, HasSubstr("  clock 0       \"" + std::string(31, 'K') +
                              "\" (not terminated within 32 bytes; cut)  current\n"));
}

TEST(AsioNames, ErrorsAndTypesByName) {
  const std::pair<ASIOError, const char*> kErrors[] = {
      {ASE_OK, "ASE_OK"},
      {ASE_SUCCESS, "ASE_SUCCESS"},
      {ASE_NotPresent, "ASE_NotPresent"},
      {ASE_HWMalfunction, "ASE_HWMalfunction"},
      {ASE_InvalidParameter, "ASE_InvalidParameter"},
      {ASE_InvalidMode, "ASE_InvalidMode"},
      {ASE_SPNotAdvancing, "ASE_SPNotAdvancing"},
      {ASE_NoClock, "ASE_NoClock"},
      {ASE_NoMemory, "ASE_NoMemory"},
      {-1001, "ASIOError -1001"},
      {1, "ASIOError 1"},
  };
  for (const auto& [code, name] : kErrors) EXPECT_EQ(orvi::host::ErrorName(code), name);
  const std::pair<ASIOSampleType, const char*> kTypes[] = {
      {ASIOSTInt16MSB, "ASIOSTInt16MSB"},       {ASIOSTInt32MSB24, "ASIOSTInt32MSB24"},
      {ASIOSTInt24LSB, "ASIOSTInt24LSB"},       {ASIOSTFloat64LSB, "ASIOSTFloat64LSB"},
      {ASIOSTInt32LSB24, "ASIOSTInt32LSB24"},   {ASIOSTDSDInt8LSB1, "ASIOSTDSDInt8LSB1"},
      {ASIOSTDSDInt8MSB1, "ASIOSTDSDInt8MSB1"}, {ASIOSTDSDInt8NER8, "ASIOSTDSDInt8NER8"},
      {5, "sample type 5"},                      {-1, "sample type -1"},
  };
  for (const auto& [type, name] : kTypes) EXPECT_EQ(orvi::host::SampleTypeName(type), name);
}

TEST(AsioNames, RatesPrintWithoutNoise) {
  EXPECT_EQ(FormatRate(48000), "48000");
  EXPECT_EQ(FormatRate(11289600), "11289600");
  EXPECT_EQ(FormatRate(44100.5), "44100.5");
  EXPECT_EQ(FormatRate(1e300), "1e+300");
  EXPECT_EQ(FormatRate(std::nan("")), "nan");
}

}  // namespace
