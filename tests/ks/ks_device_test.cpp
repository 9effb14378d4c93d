// The KS layer against the plugged simulated device, end to end.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ks/ks_aud_filter.h"
#include "sim/device_tree.h"
#include "sim/lab_state.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wave_format.h"

using orvi::test::PcmFormat;
using orvi::test::TraceCapture;

namespace {

class KsDeviceTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
    std::string path = sim::FilterPath(sim::DefaultProfile(), sim::GuidText(KSCATEGORY_AUDIO).c_str());
    HRESULT hr = E_FAIL;
    filter.reset(new CKsAudRenFilter(path.c_str(), "", &hr));
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(filter->Instantiate(), S_OK);
    ASSERT_EQ(filter->EnumeratePins(), S_OK);
    ASSERT_EQ(filter->m_listRenderSinkPins.GetCount(), 1u);
    renderPin = static_cast<CKsAudPin*>(*filter->m_listRenderSinkPins.begin());
  }
  void TearDown() override {
    filter.reset();
    sim::Lab::Block()->ksuserMissing = 0;
    sim::Lab::Unplug();
  }

  std::unique_ptr<CKsAudRenFilter> filter;
  CKsAudPin* renderPin = nullptr;
};

TEST_F(KsDeviceTest, DefaultDeviceAcceptsItsDepthsAndRatesOnly) {
  const struct {
    WAVEFORMATEX format;
    ULONG flags;
    bool viable;
  } cases[] = {
      {PcmFormat(2, 24, 48000), FORMAT_CHECK_BITS, true},     {PcmFormat(2, 16, 48000), FORMAT_CHECK_BITS, true},
      {PcmFormat(2, 32, 48000), FORMAT_CHECK_BITS, true},     {PcmFormat(2, 8, 48000), FORMAT_CHECK_BITS, false},
      {PcmFormat(2, 24, 384000), FORMAT_CHECK_RATE, true},    {PcmFormat(2, 24, 32000), FORMAT_CHECK_RATE, true},
      {PcmFormat(2, 24, 22050), FORMAT_CHECK_RATE, false},    {PcmFormat(2, 24, 768000), FORMAT_CHECK_RATE, false},
      {PcmFormat(4, 24, 48000), FORMAT_CHECK_CHANNELS, false}, {PcmFormat(2, 24, 96000), FORMAT_CHECK_ALL, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(filter->FindViablePin(&c.format, c.flags) != nullptr, c.viable)
        << c.format.nChannels << " ch " << c.format.nSamplesPerSec << " Hz " << c.format.wBitsPerSample << " bits";
  }
}

TEST_F(KsDeviceTest, InstantiateWithoutKsUserLibraryFailsWithFileNotFound) {
  WAVEFORMATEX format = PcmFormat(2, 24, 48000);
  ASSERT_EQ(renderPin->SetFormat(&format), S_OK);
  sim::Lab::Block()->ksuserMissing = 1;
  TraceCapture trace(1);
  EXPECT_EQ(renderPin->Instantiate(FALSE), static_cast<HRESULT>(0x80070002));
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(renderPin->m_handle));
  EXPECT_TRUE(trace.Contains("Failed to instantiate pin. hr=0x80070002"));
}

}  // namespace
