// Finding the device's KS audio filters among the system's interfaces.
#include "ks/ks_enum_filters.h"

#include <string>

#include <gtest/gtest.h>

#include "sim/device_tree.h"
#include "sim/handle_table.h"
#include "sim/lab_state.h"
#include "tests/support/trace_capture.h"

using orvi::test::TraceCapture;

namespace {

const GUID kCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};

class EnumFiltersTest : public testing::Test {
 protected:
  void TearDown() override { sim::Lab::Unplug(); }
  void Plug(const std::string& profile) {
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug(profile, error)) << error;
  }
  static std::string AudioPath() {
    return sim::FilterPath(sim::DefaultProfile(), sim::GuidText(KSCATEGORY_AUDIO).c_str());
  }
};

TEST_F(EnumFiltersTest, FindsThePluggedFilterWithItsPins) {
  Plug("{}");
  CKsEnumFilters enumerator;
  ASSERT_EQ(enumerator.EnumFilters(kCategories, 2), S_OK);
  ASSERT_EQ(enumerator.m_listFilters.GetCount(), 1u);
  CKsFilter* filter = *enumerator.m_listFilters.begin();
  EXPECT_EQ(std::string(filter->m_szSymbolicLink), AudioPath());
  EXPECT_EQ(std::string(filter->m_szFriendlyName), "");
  EXPECT_EQ(filter->m_eFilterType, static_cast<ULONG>(KS_FILTER_RENDER));
  EXPECT_EQ(filter->m_listRenderSinkPins.GetCount(), 1u);
  EXPECT_EQ(filter->m_listCaptureSinkPins.GetCount(), 1u);
  EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->m_handle));
}

TEST_F(EnumFiltersTest, InterfacesWithoutAUsableAliasOrPinsAreSkipped) {
  const struct {
    const char* profile;
    const char* trace;  // empty: none expected
  } cases[] = {
      {R"({"filter": {"render_alias": "absent"}})", "Failed to get requested DeviceInterfaceAlias"},
      {R"({"filter": {"render_alias": "disabled"}})", "DeviceInterfaceAlias disabled."},
      {R"({"filter": {"render_alias": "removed"}})", "DeviceInterfaceAlias disabled."},
      {R"({"filter": {"pins": [{"communication": "none", "dataflow": "out"}]}})", "Failed to create filter for "},
  };
  for (const auto& c : cases) {
    Plug(c.profile);
    TraceCapture trace(5);
    CKsEnumFilters enumerator;
    EXPECT_EQ(enumerator.EnumFilters(kCategories, 2), E_FAIL) << c.profile;
    EXPECT_TRUE(enumerator.m_listFilters.IsEmpty()) << c.profile;
    std::string expected = c.trace;
    if (expected == "Failed to create filter for ") expected += AudioPath();
    EXPECT_TRUE(trace.Contains(expected)) << c.profile << ": no line \"" << expected << "\"";
  }
}

TEST_F(EnumFiltersTest, NothingToEnumerateFails) {
  TraceCapture trace(6);
  CKsEnumFilters enumerator;
  sim::Lab::Unplug();
  EXPECT_EQ(enumerator.EnumFilters(kCategories, 2), E_FAIL);  // no interfaces at all
  const GUID none[1] = {GUID_NULL};
  EXPECT_EQ(enumerator.EnumFilters(none, 1), E_FAIL);
  EXPECT_EQ(enumerator.EnumFilters(nullptr, 2), E_FAIL);
  EXPECT_TRUE(enumerator.m_listFilters.IsEmpty());
  EXPECT_TRUE(trace.Contains("CKsEnumFilters::EnumFilters Leave, returning 0x80004005"));
}

TEST_F(EnumFiltersTest, ASecondEnumerationReplacesTheFirstAndDeletionClosesTheFilters) {
  Plug("{}");
  const size_t before = sim::OpenHandleCount();
  auto* enumerator = new CKsEnumFilters();
  ASSERT_EQ(enumerator->EnumFilters(kCategories, 2), S_OK);
  ASSERT_EQ(enumerator->EnumFilters(kCategories, 2), S_OK);
  EXPECT_EQ(enumerator->m_listFilters.GetCount(), 1u);
  EXPECT_EQ(sim::OpenHandleCount(), before + 1) << "the first enumeration's filter is closed";
  delete enumerator;
  EXPECT_EQ(sim::OpenHandleCount(), before);
}

}  // namespace
