// The KS layer against the plugged simulated device, end to end.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ks/ks_aud_filter.h"
#include "sim/device_tree.h"
#include "sim/lab_state.h"
#include "tests/support/trace_capture.h"

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

  static WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX f = {};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = bits;
    f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
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
      {Pcm(2, 48000, 24), FORMAT_CHECK_BITS, true},     {Pcm(2, 48000, 16), FORMAT_CHECK_BITS, true},
      {Pcm(2, 48000, 32), FORMAT_CHECK_BITS, true},     {Pcm(2, 48000, 8), FORMAT_CHECK_BITS, false},
      {Pcm(2, 384000, 24), FORMAT_CHECK_RATE, true},    {Pcm(2, 32000, 24), FORMAT_CHECK_RATE, true},
      {Pcm(2, 22050, 24), FORMAT_CHECK_RATE, false},    {Pcm(2, 768000, 24), FORMAT_CHECK_RATE, false},
      {Pcm(4, 48000, 24), FORMAT_CHECK_CHANNELS, false}, {Pcm(2, 96000, 24), FORMAT_CHECK_ALL, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(filter->FindViablePin(&c.format, c.flags) != nullptr, c.viable)
        << c.format.nChannels << " ch " << c.format.nSamplesPerSec << " Hz " << c.format.wBitsPerSample << " bits";
  }
}

TEST_F(KsDeviceTest, InstantiateWithoutKsUserLibraryFailsWithFileNotFound) {
  WAVEFORMATEX format = Pcm(2, 48000, 24);
  ASSERT_EQ(renderPin->SetFormat(&format), S_OK);
  sim::Lab::Block()->ksuserMissing = 1;
  TraceCapture trace(1);
  EXPECT_EQ(renderPin->Instantiate(FALSE), static_cast<HRESULT>(0x80070002));
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(renderPin->m_handle));
  EXPECT_TRUE(trace.Contains("Failed to instantiate pin. hr=0x80070002"));
}

}  // namespace
