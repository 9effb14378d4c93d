// The audio filters and pins: which pin types become which pins, the data
// ranges a pin keeps, the format test, the connection request and the search
// for a viable pin.
#include "ks/ks_aud_filter.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks/ks_aud_pin.h"
#include "tests/ks/ks_test_device.h"
#include "tests/support/trace_capture.h"
#include "tests/support/wave_format.h"

using orvi::test::AudioRange;
using orvi::test::Bytes;
using orvi::test::BytesOf;
using orvi::test::Identifier;
using orvi::test::kFilterPath;
using orvi::test::MultipleItem;
using orvi::test::PinSpec;
using orvi::test::TestFilterDevice;
using orvi::test::TraceCapture;

namespace {

// A sub-format outside the wave-format family.
const GUID kNonWaveSubFormat = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

using orvi::test::PcmFormat;

WAVEFORMATEXTENSIBLE Extensible(WORD channels, WORD bits, DWORD rate, const GUID& subFormat) {
  WAVEFORMATEXTENSIBLE x = {};
  x.Format = PcmFormat(channels, bits, rate, WAVE_FORMAT_EXTENSIBLE);
  x.Format.cbSize = sizeof x - sizeof(WAVEFORMATEX);
  x.Samples.wValidBitsPerSample = bits;
  x.dwChannelMask = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
  x.SubFormat = subFormat;
  return x;
}

std::vector<ULONG> Ids(const KsList<CKsPin>& list) {
  std::vector<ULONG> ids;
  for (CKsPin* p : list) ids.push_back(p->m_nId);
  return ids;
}

class KsAudTest : public testing::Test {
 protected:
  template <typename Filter>
  Filter* Open(HRESULT expected = S_OK) {
    HRESULT hr = E_FAIL;
    auto* f = new Filter(kFilterPath, "", &hr);
    filter = f;
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(f->Instantiate(), S_OK);
    EXPECT_EQ(f->EnumeratePins(), expected);
    return f;
  }
  void TearDown() override { delete filter; }

  // A single pin built directly on an opened generic audio filter.
  CKsAudPin* PinOf(const PinSpec& pinSpec, HRESULT* phr) {
    device.AddPin(pinSpec);
    HRESULT hr = E_FAIL;
    if (!filter) {
      filter = new CKsAudFilter(kFilterPath, "", &hr);
      EXPECT_EQ(filter->Instantiate(), S_OK);
    }
    pin.reset(new CKsAudPin(filter, 0, phr));
    return pin.get();
  }

  TestFilterDevice device;
  CKsFilter* filter = nullptr;
  struct PinDelete {
    void operator()(CKsAudPin* p) const { delete p; }
  };
  std::unique_ptr<CKsAudPin, PinDelete> pin;
};

TEST_F(KsAudTest, PinTypesBecomeRenderCaptureOrPlainAudioPins) {
  const struct {
    ULONG communication;
    ULONG flow;
  } pins[] = {
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN},    // 0: render pin
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT},   // 1: capture pin
      {KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN},    // 2: skipped
      {KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_IN},  // 3: plain
      {KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN},    // 4: plain
      {4, KSPIN_DATAFLOW_OUT},                          // 5: skipped
  };
  for (const auto& p : pins) {
    PinSpec pinSpec;
    pinSpec.communication = p.communication;
    pinSpec.dataFlow = p.flow;
    device.AddPin(pinSpec);
  }
  TraceCapture trace(1);
  CKsAudRenFilter* f = Open<CKsAudRenFilter>();
  EXPECT_EQ(f->m_eFilterType, 1u);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"Pin communication value doesn't make sense",
                                                     "Pin communication value doesn't make sense"}));
  EXPECT_EQ(Ids(f->m_listPins), (std::vector<ULONG>{0, 1, 3, 4}));
  std::vector<ULONG> types;
  for (CKsPin* p : f->m_listPins) types.push_back(p->m_ePinType);
  EXPECT_EQ(types, (std::vector<ULONG>{1, 2, 0, 0}));
  EXPECT_EQ(Ids(f->m_listRenderSinkPins), (std::vector<ULONG>{0, 4}));
  EXPECT_EQ(Ids(f->m_listCaptureSinkPins), (std::vector<ULONG>{1}));
  EXPECT_EQ(Ids(f->m_listRenderSourcePins), (std::vector<ULONG>{3, 4}));
  EXPECT_TRUE(f->m_listNoCommPins.IsEmpty());
}

TEST_F(KsAudTest, FilterWithoutUsablePinsFails) {
  const struct {
    const char* what;
    bool countFails;
    ULONG communication;
    bool usable;  // the pin passes its own checks
    std::vector<std::string> errors;
  } cases[] = {
      {"count query fails", true, KSPIN_COMMUNICATION_SINK, true,
       {"Failed to retrieve count of pins in audio filter", "No valid pins found on the filter"}},
      {"only a pin without communication", false, KSPIN_COMMUNICATION_NONE, true,
       {"Pin communication value doesn't make sense", "No valid pins found on the filter"}},
      {"only a pin that fails its checks", false, KSPIN_COMMUNICATION_SINK, false,
       {"No audio dataranges on the pin", "No valid pins found on the filter"}},
  };
  for (const auto& c : cases) {
    device.Reset();
    PinSpec pinSpec;
    pinSpec.communication = c.communication;
    if (!c.usable) pinSpec.dataRanges = MultipleItem({});
    device.AddPin(pinSpec);
    if (c.countFails)
      device.ks->InjectFault(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, sim::PropertyFault::Fail(sim::kStatusUnsuccessful));
    HRESULT hr = E_FAIL;
    CKsAudCapFilter f(kFilterPath, "", &hr);
    EXPECT_EQ(f.m_eFilterType, 2u);
    ASSERT_EQ(f.Instantiate(), S_OK);
    TraceCapture trace(1);
    EXPECT_EQ(f.EnumeratePins(), E_FAIL) << c.what;
    EXPECT_EQ(trace.Lines(), c.errors) << c.what;
    EXPECT_TRUE(f.m_listPins.IsEmpty()) << c.what;
  }
}

TEST_F(KsAudTest, PinPropertyFailuresWhileEnumeratingSkipThePin) {
  device.AddPin(PinSpec{});
  device.AddPin(PinSpec{});
  const struct {
    ULONG property;
    const char* error;
  } cases[] = {
      {KSPROPERTY_PIN_COMMUNICATION, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION"},
      {KSPROPERTY_PIN_DATAFLOW, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW"},
  };
  for (const auto& c : cases) {
    device.ks->ClearFaults();
    device.ks->InjectFault({KSPROPSETID_Pin, c.property, 0}, sim::PropertyFault::Fail(sim::kStatusUnsuccessful));
    TraceCapture trace(1);
    CKsAudRenFilter* f = Open<CKsAudRenFilter>();
    EXPECT_EQ(Ids(f->m_listPins), std::vector<ULONG>{1}) << c.error;
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{c.error});
    delete filter;
    filter = nullptr;
  }
}

TEST_F(KsAudTest, PinWithoutStandardStreamingIsRejected) {
  const GUID other = KSCATEGORY_AUDIO;
  const struct {
    const char* what;
    Bytes interfaces;
    Bytes mediums;
    Bytes ranges;
    const char* error;
  } cases[] = {
      {"no interfaces", MultipleItem({}), PinSpec{}.mediums, PinSpec{}.dataRanges,
       "No standard streaming interfaces on the pin"},
      {"interface of another set", MultipleItem({Identifier(other, 0)}), PinSpec{}.mediums, PinSpec{}.dataRanges,
       "No standard streaming interfaces on the pin"},
      {"looped streaming only", MultipleItem({Identifier(KSINTERFACESETID_Standard, 1)}), PinSpec{}.mediums,
       PinSpec{}.dataRanges, "No standard streaming interfaces on the pin"},
      {"no mediums", PinSpec{}.interfaces, MultipleItem({}), PinSpec{}.dataRanges,
       "No standard streaming mediums on the pin"},
      {"medium of another id", PinSpec{}.interfaces, MultipleItem({Identifier(KSMEDIUMSETID_Standard, 1)}),
       PinSpec{}.dataRanges, "No standard streaming mediums on the pin"},
      {"no data ranges", PinSpec{}.interfaces, PinSpec{}.mediums, MultipleItem({}), "No audio dataranges on the pin"},
      {"only ranges outside the wave-format family", PinSpec{}.interfaces, PinSpec{}.mediums,
       MultipleItem({BytesOf(AudioRange(2, 16, 32, 32000, 384000, kNonWaveSubFormat))}),
       "No audio dataranges on the pin"},
  };
  for (const auto& c : cases) {
    device.Reset();
    PinSpec pinSpec;
    pinSpec.interfaces = c.interfaces;
    pinSpec.mediums = c.mediums;
    pinSpec.dataRanges = c.ranges;
    device.AddPin(pinSpec);
    HRESULT hr = E_FAIL;
    CKsAudFilter f(kFilterPath, "", &hr);
    ASSERT_EQ(f.Instantiate(), S_OK);
    TraceCapture trace(1);
    CKsAudPin p(&f, 0, &hr);
    EXPECT_EQ(hr, E_FAIL) << c.what;
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{c.error}) << c.what;
  }
  // The flags of the identifiers are not compared.
  device.Reset();
  PinSpec flagged;
  KSIDENTIFIER ident = {};
  ident.Set = KSINTERFACESETID_Standard;
  ident.Flags = 7;
  flagged.interfaces = MultipleItem({Identifier(other, 0), BytesOf(ident)});
  HRESULT hr = E_FAIL;
  PinOf(flagged, &hr);
  EXPECT_EQ(hr, S_OK);
}

KSDATARANGE_AUDIO WithMajor(KSDATARANGE_AUDIO r, const GUID& major) {
  r.DataRange.MajorFormat = major;
  return r;
}

std::vector<ULONG> MaxBitsOf(const CKsAudPin& p) {
  std::vector<ULONG> bits;
  for (KSDATARANGE_AUDIO* r : p.m_listDataRange) bits.push_back(r->MaximumBitsPerSample);
  return bits;
}

// Which ranges a pin keeps: audio ranges from the first usable sub-format on.
TEST_F(KsAudTest, AudioRangesAreCopiedOnceTheSubFormatIsUsable) {
  const GUID floatSub = {WAVE_FORMAT_IEEE_FLOAT, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  const struct {
    const char* what;
    std::vector<KSDATARANGE_AUDIO> ranges;
    HRESULT hr;
    std::vector<ULONG> kept;  // by MaximumBitsPerSample
  } cases[] = {
      {"a later range outside the family is copied too",
       {AudioRange(2, 16, 16, 44100, 48000), AudioRange(2, 8, 8, 8000, 8000, kNonWaveSubFormat)}, S_OK, {16, 8}},
      {"ranges before the first usable one are dropped",
       {AudioRange(2, 8, 8, 8000, 8000, kNonWaveSubFormat), AudioRange(2, 24, 24, 44100, 48000, floatSub)}, S_OK,
       {24}},
      {"a wildcard sub-format is usable", {AudioRange(2, 16, 32, 8000, 8000, GUID_NULL)}, S_OK, {32}},
      {"a non-audio range makes the flag true but is not kept",
       {WithMajor(AudioRange(2, 8, 8, 8000, 8000), KSDATAFORMAT_TYPE_MUSIC),
        AudioRange(2, 32, 32, 8000, 8000, kNonWaveSubFormat)},
       S_OK,
       {32}},
      {"a non-audio range only", {WithMajor(AudioRange(2, 8, 8, 8000, 8000), KSDATAFORMAT_TYPE_MUSIC)}, S_OK, {}},
  };
  for (const auto& c : cases) {
    std::vector<Bytes> items;
    for (const auto& r : c.ranges) items.push_back(BytesOf(r));
    device.Reset();
    PinSpec pinSpec;
    pinSpec.dataRanges = MultipleItem(items);
    device.AddPin(pinSpec);
    HRESULT hr = E_FAIL;
    CKsAudFilter f(kFilterPath, "", &hr);
    ASSERT_EQ(f.Instantiate(), S_OK);
    CKsAudPin p(&f, 0, &hr);
    EXPECT_EQ(hr, c.hr) << c.what;
    EXPECT_EQ(MaxBitsOf(p), c.kept) << c.what;
  }
}

// Malformed range lists end the walk where they stop making sense; what came
// before stays.
TEST_F(KsAudTest, RangeWalkStopsAtSizesThatDoNotFit) {
  auto withSize = [](KSDATARANGE_AUDIO r, ULONG size) {
    r.DataRange.FormatSize = size;
    return BytesOf(r);
  };
  auto headerOnly = [](KSDATARANGE_AUDIO r) {
    r.DataRange.FormatSize = sizeof(KSDATARANGE);
    Bytes b = BytesOf(r);
    b.resize(sizeof(KSDATARANGE));
    return b;
  };
  const auto r16 = AudioRange(2, 16, 16, 44100, 48000);
  const auto r24 = AudioRange(2, 24, 24, 44100, 48000);
  const struct {
    const char* what;
    Bytes ranges;
    std::vector<ULONG> kept;
  } cases[] = {
      {"FormatSize 0", MultipleItem({BytesOf(r16), withSize(r24, 0), BytesOf(r24)}), {16}},
      {"FormatSize past the end", MultipleItem({BytesOf(r16), withSize(r24, 4096)}), {16}},
      {"FormatSize below a range header", MultipleItem({BytesOf(r16), withSize(r24, 8), BytesOf(r24)}), {16}},
      {"count larger than the ranges sent", MultipleItem({BytesOf(r16), BytesOf(r24)}, 100000), {16, 24}},
      {"count smaller than the ranges sent", MultipleItem({BytesOf(r16), BytesOf(r24)}, 1), {16}},
      {"a header-sized range keeps zero limits", MultipleItem({headerOnly(r16), BytesOf(r24)}),
       {0, 24}},
  };
  for (const auto& c : cases) {
    device.Reset();
    PinSpec pinSpec;
    pinSpec.dataRanges = c.ranges;
    device.AddPin(pinSpec);
    HRESULT hr = E_FAIL;
    CKsAudFilter f(kFilterPath, "", &hr);
    ASSERT_EQ(f.Instantiate(), S_OK);
    CKsAudPin p(&f, 0, &hr);
    EXPECT_EQ(hr, S_OK) << c.what;
    EXPECT_EQ(MaxBitsOf(p), c.kept) << c.what;
  }
  // A reply cut inside the second range.
  device.Reset();
  PinSpec pinSpec;
  pinSpec.dataRanges = MultipleItem({BytesOf(r16), BytesOf(r24)});
  device.ks->InjectFault({KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, 0},
                         sim::PropertyFault::Short(sizeof(KSMULTIPLE_ITEM) + sizeof r16 + 40));
  HRESULT hr = E_FAIL;
  EXPECT_EQ(MaxBitsOf(*PinOf(pinSpec, &hr)), std::vector<ULONG>{16});
}

TEST_F(KsAudTest, FormatIsTestedAgainstEachRangeInTurn) {
  PinSpec pinSpec;
  pinSpec.dataRanges = MultipleItem({BytesOf(AudioRange(2, 16, 24, 44100, 192000)),
                                  BytesOf(AudioRange(8, 32, 32, 32000, 384000))});
  HRESULT hr = E_FAIL;
  CKsAudPin* p = PinOf(pinSpec, &hr);
  ASSERT_EQ(hr, S_OK);
  const GUID floatSub = {WAVE_FORMAT_IEEE_FLOAT, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
  const auto ext24 = Extensible(2, 24, 96000, KSDATAFORMAT_SUBTYPE_PCM);
  const auto extFloat = Extensible(2, 32, 96000, floatSub);
  const auto* ext24Short = &ext24.Format;
  const struct {
    const char* what;
    WAVEFORMATEX format;
    const WAVEFORMATEX* full;  // when the format has an extension
    ULONG flags;
    BOOL supported;
  } cases[] = {
      {"384 kHz by rate alone", PcmFormat(2, 16, 384000), nullptr, FORMAT_CHECK_RATE, TRUE},
      {"384 kHz and 16 bits together", PcmFormat(2, 16, 384000), nullptr, FORMAT_CHECK_RATE | FORMAT_CHECK_BITS, FALSE},
      {"rate ignored when not asked", PcmFormat(2, 16, 1), nullptr, FORMAT_CHECK_BITS, TRUE},
      {"bounds are inclusive", PcmFormat(2, 24, 192000), nullptr, FORMAT_CHECK_ALL, TRUE},
      {"above every maximum rate", PcmFormat(2, 32, 384001), nullptr, FORMAT_CHECK_RATE, FALSE},
      {"below every minimum rate", PcmFormat(2, 16, 31999), nullptr, FORMAT_CHECK_RATE, FALSE},
      {"8 bits fit no range", PcmFormat(2, 8, 48000), nullptr, FORMAT_CHECK_BITS, FALSE},
      {"6 channels only in the second range", PcmFormat(6, 32, 48000), nullptr, FORMAT_CHECK_ALL, TRUE},
      {"6 channels at 16 bits", PcmFormat(6, 16, 48000), nullptr, FORMAT_CHECK_ALL, FALSE},
      {"channels ignored when not asked", PcmFormat(9, 16, 48000), nullptr, FORMAT_CHECK_BITS | FORMAT_CHECK_RATE, TRUE},
      {"identity still compared with no flags", PcmFormat(2, 16, 48000, WAVE_FORMAT_IEEE_FLOAT), nullptr, 0, FALSE},
      {"extensible PCM matches by its SubFormat", ext24.Format, &ext24.Format, FORMAT_CHECK_ALL, TRUE},
      {"extensible float does not, whatever its tag", extFloat.Format, &extFloat.Format, 0, FALSE},
      {"extensible without room for its SubFormat", *ext24Short, nullptr, 0, FALSE},
  };
  for (const auto& c : cases) {
    WAVEFORMATEX f = c.format;
    if (!c.full && f.wFormatTag == WAVE_FORMAT_EXTENSIBLE) f.cbSize = 0;
    EXPECT_EQ(p->IsFormatSupported(c.full ? c.full : &f, c.flags), c.supported) << c.what;
  }
  EXPECT_FALSE(p->IsFormatSupported(nullptr, 0));
}

TEST_F(KsAudTest, WildcardsInARangeMatchAnyIdentity) {
  const struct {
    const char* what;
    GUID subFormat, specifier;
    WORD tag;
    BOOL supported;
  } cases[] = {
      {"wildcard sub-format and specifier", GUID_NULL, GUID_NULL, WAVE_FORMAT_IEEE_FLOAT, TRUE},
      {"wildcard specifier", KSDATAFORMAT_SUBTYPE_PCM, GUID_NULL, WAVE_FORMAT_PCM, TRUE},
      {"another specifier", KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_DSOUND, WAVE_FORMAT_PCM, FALSE},
  };
  for (const auto& c : cases) {
    auto range = AudioRange(2, 16, 16, 48000, 48000, c.subFormat);
    range.DataRange.Specifier = c.specifier;
    device.Reset();
    PinSpec pinSpec;
    pinSpec.dataRanges = MultipleItem({BytesOf(range)});
    device.AddPin(pinSpec);
    HRESULT hr = E_FAIL;
    CKsAudFilter f(kFilterPath, "", &hr);
    ASSERT_EQ(f.Instantiate(), S_OK);
    CKsAudPin p(&f, 0, &hr);
    ASSERT_EQ(hr, S_OK) << c.what;
    WAVEFORMATEX format = PcmFormat(2, 16, 48000, c.tag);
    EXPECT_EQ(p.IsFormatSupported(&format, FORMAT_CHECK_ALL), c.supported) << c.what;
  }
}

TEST_F(KsAudTest, RequestIsBuiltForStandardStreaming) {
  HRESULT hr = E_FAIL;
  PinSpec pinSpec;
  device.AddPin(PinSpec{});  // the pin under test is pin 1
  device.AddPin(pinSpec);
  filter = new CKsAudFilter(kFilterPath, "", &hr);
  ASSERT_EQ(filter->Instantiate(), S_OK);
  CKsAudPin p(filter, 1, &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(p.m_cbPinCreateSize, sizeof(void*) == 8 ? 154u : 146u);
  const KSPIN_CONNECT& c = *p.m_pksPinCreate;
  EXPECT_TRUE(IsEqualGUID(c.Interface.Set, KSINTERFACESETID_Standard));
  EXPECT_EQ(c.Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
  EXPECT_TRUE(IsEqualGUID(c.Medium.Set, KSMEDIUMSETID_Standard));
  EXPECT_EQ(c.Medium.Id, static_cast<ULONG>(KSMEDIUM_TYPE_ANYINSTANCE));
  EXPECT_EQ(c.PinId, 1u);
  EXPECT_EQ(c.PinToHandle, nullptr);
  EXPECT_EQ(c.Priority.PriorityClass, static_cast<ULONG>(KSPRIORITY_NORMAL));
  EXPECT_EQ(c.Priority.PrioritySubClass, 1u);
  ASSERT_EQ(reinterpret_cast<BYTE*>(p.m_pksDataFormatWfx), reinterpret_cast<BYTE*>(p.m_pksPinCreate + 1));
  const KSDATAFORMAT& df = *p.m_pksDataFormatWfx;
  EXPECT_EQ(df.FormatSize, 82u);
  EXPECT_EQ(df.SampleSize, 0u);
  EXPECT_TRUE(IsEqualGUID(df.MajorFormat, KSDATAFORMAT_TYPE_AUDIO));
  EXPECT_TRUE(IsEqualGUID(df.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_TRUE(IsEqualGUID(df.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
  EXPECT_EQ(p.m_pWaveFormat, nullptr);
}

TEST_F(KsAudTest, SetFormatResizesTheRequestToTheFormat) {
  HRESULT hr = E_FAIL;
  CKsAudPin* p = PinOf(PinSpec{}, &hr);
  ASSERT_EQ(hr, S_OK);
  const ULONG base = p->m_cbPinCreateSize - 18;
  auto formatBytes = [&] { return reinterpret_cast<const BYTE*>(p->m_pksDataFormatWfx + 1); };

  // PCM copies 18 bytes whatever cbSize says.
  struct {
    WAVEFORMATEX f;
    BYTE tail[22];
  } pcm = {PcmFormat(2, 24, 96000), {}};
  pcm.f.cbSize = 22;
  std::memset(pcm.tail, 0xAB, sizeof pcm.tail);
  ASSERT_EQ(p->SetFormat(&pcm.f), S_OK);
  EXPECT_EQ(p->m_cbPinCreateSize, base + 18);
  EXPECT_EQ(p->m_pksDataFormatWfx->FormatSize, 82u);
  EXPECT_EQ(p->m_pksDataFormatWfx->SampleSize, 6u);
  EXPECT_EQ(std::memcmp(formatBytes(), &pcm.f, 18), 0);
  ASSERT_NE(p->m_pWaveFormat, nullptr);
  EXPECT_EQ(p->m_pWaveFormat->nSamplesPerSec, 96000u);

  // Extensible grows the request; the KSDATAFORMAT identity stays PCM.
  const auto ext = Extensible(2, 32, 88200, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
  ASSERT_EQ(p->SetFormat(&ext.Format), S_OK);
  EXPECT_EQ(p->m_cbPinCreateSize, base + 40);
  EXPECT_EQ(reinterpret_cast<BYTE*>(p->m_pksDataFormatWfx), reinterpret_cast<BYTE*>(p->m_pksPinCreate + 1));
  EXPECT_EQ(p->m_pksDataFormatWfx->FormatSize, 104u);
  EXPECT_EQ(p->m_pksDataFormatWfx->SampleSize, 8u);
  EXPECT_TRUE(IsEqualGUID(p->m_pksDataFormatWfx->SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_TRUE(IsEqualGUID(p->m_pksDataFormatWfx->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
  EXPECT_EQ(std::memcmp(formatBytes(), &ext, sizeof ext), 0);
  EXPECT_EQ(p->m_pksPinCreate->PinId, 0u);  // the request moved with its contents
  EXPECT_EQ(std::memcmp(p->m_pWaveFormat, &ext, sizeof ext), 0);

  // And PCM shrinks it again.
  const auto plain = PcmFormat(1, 16, 44100);
  ASSERT_EQ(p->SetFormat(&plain), S_OK);
  EXPECT_EQ(p->m_cbPinCreateSize, base + 18);
  EXPECT_EQ(p->m_pksDataFormatWfx->FormatSize, 82u);
  EXPECT_EQ(p->m_pksDataFormatWfx->SampleSize, 2u);
  EXPECT_EQ(std::memcmp(formatBytes(), &plain, 18), 0);
  EXPECT_TRUE(IsEqualGUID(p->m_pksPinCreate->Interface.Set, KSINTERFACESETID_Standard));

  TraceCapture trace(1);
  EXPECT_EQ(p->SetFormat(nullptr), E_FAIL);
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"pwfx or m_pksDataFormatWfx are NULL"});
  EXPECT_EQ(p->m_pksDataFormatWfx->SampleSize, 2u);
}

TEST_F(KsAudTest, SampleSizeIsCutTo16Bits) {
  HRESULT hr = E_FAIL;
  CKsAudPin* p = PinOf(PinSpec{}, &hr);
  auto f = PcmFormat(0xFFFF, 32, 48000);  // 262140 bytes a frame
  ASSERT_EQ(p->SetFormat(&f), S_OK);
  EXPECT_EQ(p->m_pksDataFormatWfx->SampleSize, 262140u & 0xFFFF);
}

TEST_F(KsAudTest, FindViablePinTakesTheFirstSinkPinThatFits) {
  auto rangesOf = [](ULONG minBits, ULONG maxBits, ULONG maxRate) {
    return MultipleItem({BytesOf(AudioRange(2, minBits, maxBits, 32000, maxRate))});
  };
  const struct {
    ULONG communication, flow;
    Bytes ranges;
  } pins[] = {
      {KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_IN, rangesOf(8, 32, 384000)},  // 0: not a sink pin
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, rangesOf(16, 16, 48000)},    // 1
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN, rangesOf(16, 32, 384000)},   // 2
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT, rangesOf(24, 24, 96000)},   // 3
  };
  for (const auto& p : pins) {
    PinSpec pinSpec;
    pinSpec.communication = p.communication;
    pinSpec.dataFlow = p.flow;
    pinSpec.dataRanges = p.ranges;
    device.AddPin(pinSpec);
  }
  CKsAudRenFilter* ren = Open<CKsAudRenFilter>();
  auto idOf = [](CKsAudPin* found) { return found ? static_cast<long>(found->m_nId) : -1L; };
  const struct {
    WAVEFORMATEX f;
    ULONG flags;
    long render, capture;
  } cases[] = {
      {PcmFormat(2, 16, 44100), FORMAT_CHECK_BITS, 1, -1},
      {PcmFormat(2, 32, 44100), FORMAT_CHECK_BITS, 2, -1},
      {PcmFormat(2, 24, 44100), FORMAT_CHECK_BITS, 2, 3},
      {PcmFormat(2, 8, 44100), FORMAT_CHECK_BITS, -1, -1},
      {PcmFormat(2, 8, 384000), FORMAT_CHECK_RATE, 2, -1},
      {PcmFormat(2, 8, 96000), FORMAT_CHECK_RATE, 2, 3},
  };
  for (const auto& c : cases) EXPECT_EQ(idOf(ren->FindViablePin(&c.f, c.flags)), c.render);

  HRESULT hr = E_FAIL;
  CKsAudCapFilter cap(kFilterPath, "", &hr);
  ASSERT_EQ(cap.Instantiate(), S_OK);
  ASSERT_EQ(cap.EnumeratePins(), S_OK);
  for (const auto& c : cases) EXPECT_EQ(idOf(cap.FindViablePin(&c.f, c.flags)), c.capture);
}

TEST_F(KsAudTest, FindViablePinWithoutSinkPinsFindsNothing) {
  PinSpec source;
  source.communication = KSPIN_COMMUNICATION_SOURCE;
  device.AddPin(source);
  CKsAudRenFilter* ren = Open<CKsAudRenFilter>();
  auto f = PcmFormat(2, 16, 48000);
  EXPECT_EQ(ren->FindViablePin(&f, FORMAT_CHECK_ALL), nullptr);
  HRESULT hr = E_FAIL;
  CKsAudCapFilter cap(kFilterPath, "", &hr);
  ASSERT_EQ(cap.Instantiate(), S_OK);
  ASSERT_EQ(cap.EnumeratePins(), S_OK);
  EXPECT_EQ(cap.FindViablePin(&f, FORMAT_CHECK_ALL), nullptr);
}

}  // namespace
