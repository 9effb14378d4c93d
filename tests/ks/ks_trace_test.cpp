#include "ks/ks_trace.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/support/trace_capture.h"

using orvi::test::TraceCapture;

TEST(KsTrace, ThresholdDecidesWhichLevelsAreWritten) {
  for (int threshold : {0, 1, 3, 6}) {
    TraceCapture trace(threshold);
    for (int level = 1; level <= 6; ++level) KsTracePrint(level, "level %d", level);
    std::vector<std::string> expected;
    for (int level = 1; level <= threshold; ++level) expected.push_back("level " + std::to_string(level));
    EXPECT_EQ(trace.Lines(), expected) << "threshold " << threshold;
  }
}

TEST(KsTrace, EnterLeaveAndResultLinesHaveTheirFixedForms) {
  TraceCapture trace(6);
  KsTraceEnter("CKsPin::Init()");
  KsTraceLeave("CKsPin::Init()");
  KsTraceLeaveResult("CKsPin::Instantiate", static_cast<long>(0x80070002));
  KsTraceLeaveResult("CKsPin::Instantiate", 0);
  KsTraceLeaveResult("CKsPin::Instantiate", 1);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                               "CKsPin::Init() Enter",
                               "CKsPin::Init() Leave",
                               "CKsPin::Instantiate Leave, returning 0x80070002",
                               "CKsPin::Instantiate Leave, returning 00000000",
                               "CKsPin::Instantiate Leave, returning 0x000001",
                           }));
}

TEST(KsTrace, LongTextIsCutTo259Characters) {
  TraceCapture trace(1);
  std::string longText(600, 'x');
  KsTracePrint(1, "%s|end", longText.c_str());
  auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(259, 'x'));
}
