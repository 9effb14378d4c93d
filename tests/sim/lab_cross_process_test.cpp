// One lab, two architectures: what a 64-bit process does to the simulated
// device a 32-bit one sees, and the other way round (the lab tool of the other
// architecture is the other process).
#include <string>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include "sim/lab_state.h"
#include "tests/support/peer_process.h"

using orvi::test::PeerPath;
using orvi::test::ProgramResult;
using orvi::test::RunProgram;

namespace {

class LabCrossProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(GetFileAttributesA(tool.c_str()), INVALID_FILE_ATTRIBUTES)
        << tool << " is missing: build the other architecture's lab tree first";
  }
  void TearDown() override { sim::Lab::Reset(); }

  // Runs the peer's lab tool; it inherits this program's lab directory.
  ProgramResult Tool(const std::string& args) {
    ProgramResult r;
    EXPECT_TRUE(RunProgram("\"" + tool + "\" " + args, r)) << args;
    EXPECT_EQ(r.exitCode, 0u) << args << ": " << r.output;
    return r;
  }
  boost::json::object Status() {
    boost::json::error_code ec;
    boost::json::value v = boost::json::parse(Tool("status").output, ec);
    EXPECT_FALSE(ec);
    return v.is_object() ? v.as_object() : boost::json::object();
  }

  const std::string tool = PeerPath("tools\\orvilab.exe");
};

TEST_F(LabCrossProcessTest, PlugStateAndReportsAreSharedAcrossArchitectures) {
  std::string error;
  ASSERT_TRUE(sim::Lab::Plug(R"({"name": "shared", "usb": {"product": "0x7170"}})", error)) << error;
  sim::LabBlock* b = sim::Lab::Block();
  b->streamActive = 1;
  b->streamRate = 176400;
  uint8_t report[64] = {0x00, 0xF5, 0x21, 0x32, 0x2E};
  sim::Lab::LogHidReport(report, sizeof report);
  sim::Lab::SetRecordState(sim::RecordFormat::kDop, sim::RecordState::kStopped, "DoP broke off: frame 7");

  boost::json::object status = Status();
  EXPECT_EQ(status["plugged"], true);
  EXPECT_EQ(status["profile"], "shared");
  EXPECT_EQ(status["product"], 0x7170);
  EXPECT_EQ(status["stream_rate"], 176400);
  EXPECT_EQ(status["hid_reports"], 1);
  EXPECT_EQ(status["record_format"], "dsf DoP");
  EXPECT_EQ(status["record_state"], "stopped");
  EXPECT_EQ(status["record_note"], "DoP broke off: frame 7");
  EXPECT_NE(Tool("hid-log").output.find("F5 21 32 2E"), std::string::npos);

  // And back: the peer unplugs, and settles the capture source.
  Tool("capture tone 440");
  Tool("unplug");
  sim::Profile profile;
  LONG generation = 0;
  EXPECT_FALSE(sim::Lab::Plugged(profile, generation));
  EXPECT_EQ(b->captureSource, static_cast<LONG>(sim::CaptureSource::kTone));
  EXPECT_EQ(b->toneHz, 440);
}

}  // namespace
