// The DSD mode and DoP reports as the device receives them.
#include "asio/mode_reports.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/lab_state.h"

using orvi::ModeReport;

namespace {

class ModeReportsTest : public testing::Test {
 protected:
  void TearDown() override { sim::Lab::Reset(); }
  void Plug(const char* profile) {
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug(profile, error)) << error;
  }
  // The reports the device received since the last call.
  std::vector<sim::HidLogEntry> Received() {
    auto log = sim::Lab::HidReports(seen);
    if (!log.empty()) seen = log.back().sequence;
    return log;
  }
  uint32_t seen = 0;
};

TEST_F(ModeReportsTest, EachReportCarriesItsBytesAndSwitchesTheDevice) {
  Plug("{}");
  sim::LabBlock* lab = sim::Lab::Block();
  const struct {
    ModeReport report;
    bool on;
    std::vector<uint8_t> bytes;
    sim::DsdMode mode;
    LONG dop;
  } cases[] = {
      {ModeReport::kDsd64, true, {0x00, 0xF5, 0x21, 0x32, 0x2E}, sim::DsdMode::kDsd64, 0},
      {ModeReport::kDsd64, false, {0x00, 0xF5, 0x21, 0x32, 0x08}, sim::DsdMode::kNone, 0},
      {ModeReport::kDsd128, true, {0x00, 0xF6, 0x21, 0x33, 0x2E}, sim::DsdMode::kDsd128, 0},
      {ModeReport::kDsd128, false, {0x00, 0xF6, 0x21, 0x33, 0x08}, sim::DsdMode::kNone, 0},
      {ModeReport::kDsd256, true, {0x00, 0xF7, 0x21, 0x34, 0x2E}, sim::DsdMode::kDsd256, 0},
      {ModeReport::kDsd256, false, {0x00, 0xF7, 0x21, 0x34, 0x08}, sim::DsdMode::kNone, 0},
      {ModeReport::kDop, true, {0x00, 0xF8, 0x21, 0x35, 0x01}, sim::DsdMode::kNone, 1},
      {ModeReport::kDop, false, {0x00, 0xF8, 0x21, 0x35, 0x00}, sim::DsdMode::kNone, 0},
  };
  for (const auto& c : cases) {
    orvi::SendModeReport(0x3F57, 0x7171, c.report, c.on);
    auto received = Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].length, 64u);
    std::vector<uint8_t> expected = c.bytes;
    expected.resize(64, 0);
    EXPECT_EQ(std::vector<uint8_t>(received[0].bytes, received[0].bytes + 64), expected);
    EXPECT_EQ(lab->dsdMode, static_cast<LONG>(c.mode));
    EXPECT_EQ(lab->dopActive, c.dop);
  }
}

TEST_F(ModeReportsTest, ReportFollowsTheInterfacesOutputLengthOrIsNotSent) {
  const struct {
    const char* profile;
    USHORT product;
    size_t reports;
    uint32_t length;
  } cases[] = {
      {R"({"hid": {"output_report": 8}})", 0x7171, 1, 8},
      {R"({"hid": {"output_report": 0}})", 0x7171, 0, 0},
      {R"({"hid": {"present": false}})", 0x7171, 0, 0},
      {R"({"hid": {"present": false, "others": [{"product": "0x7172"}]}})", 0x7171, 0, 0},
      {R"({"usb": {"product": "0x7170"}})", 0x7170, 1, 64},
  };
  for (const auto& c : cases) {
    Plug(c.profile);
    Received();
    orvi::SendModeReport(0x3F57, c.product, ModeReport::kDsd64, true);
    auto received = Received();
    ASSERT_EQ(received.size(), c.reports) << c.profile;
    if (c.reports) {
      EXPECT_EQ(received[0].length, c.length) << c.profile;
    }
  }
}

}  // namespace
