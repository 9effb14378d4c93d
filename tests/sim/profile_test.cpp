// Device profiles: the built-in product, variants read from JSON, and the
// rejection of malformed ones with the field named.
#include "sim/profile.h"

#include <cstring>

#include <gtest/gtest.h>

#include "ks/irp_target.h"
#include "ks/ks_heap.h"
#include "sim/filter_model.h"
#include "sim/handle_table.h"

namespace {

// Reads one pin property of `pin` through a KS request, as the KS layer will.
template <typename T>
HRESULT PinProperty(HANDLE filter, ULONG pin, ULONG id, T& value) {
  KSP_PIN request = {};
  request.Property.Set = KSPROPSETID_Pin;
  request.Property.Id = id;
  request.Property.Flags = KSPROPERTY_TYPE_GET;
  request.PinId = pin;
  ULONG bytes = 0;
  return CKsIrpTarget::SyncIoctl(filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, sizeof value, &bytes);
}

TEST(Profile, DefaultFilterOffersStereoRenderAndCaptureSinkPinsAndABridge) {
  CKsIrpTarget filter;
  filter.m_handle = sim::AttachHandle(sim::BuildFilterObject(sim::DefaultProfile()));
  ULONG count = 0;
  ASSERT_EQ(filter.GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &count, sizeof count), S_OK);
  ASSERT_EQ(count, 3u);
  const struct {
    ULONG communication;
    ULONG dataflow;
  } expected[] = {{KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN},
                  {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT},
                  {KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_OUT}};
  for (ULONG pin = 0; pin < count; ++pin) {
    ULONG communication = 99, dataflow = 99;
    EXPECT_EQ(PinProperty(filter.m_handle, pin, KSPROPERTY_PIN_COMMUNICATION, communication), S_OK);
    EXPECT_EQ(PinProperty(filter.m_handle, pin, KSPROPERTY_PIN_DATAFLOW, dataflow), S_OK);
    EXPECT_EQ(communication, expected[pin].communication) << "pin " << pin;
    EXPECT_EQ(dataflow, expected[pin].dataflow) << "pin " << pin;
  }
  struct {
    KSMULTIPLE_ITEM header;
    KSDATARANGE_AUDIO range;
  } ranges = {};
  ASSERT_EQ(PinProperty(filter.m_handle, 0, KSPROPERTY_PIN_DATARANGES, ranges), S_OK);
  EXPECT_EQ(ranges.header.Count, 1u);
  EXPECT_EQ(ranges.header.Size, sizeof ranges);
  EXPECT_EQ(ranges.range.DataRange.FormatSize, sizeof(KSDATARANGE_AUDIO));
  EXPECT_TRUE(IsEqualGUID(ranges.range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
  EXPECT_EQ(ranges.range.MaximumChannels, 2u);
  EXPECT_EQ(ranges.range.MinimumBitsPerSample, 16u);
  EXPECT_EQ(ranges.range.MaximumBitsPerSample, 32u);
  EXPECT_EQ(ranges.range.MinimumSampleFrequency, 32000u);
  EXPECT_EQ(ranges.range.MaximumSampleFrequency, 384000u);

  PKSMULTIPLE_ITEM nodes = nullptr;
  ASSERT_EQ(filter.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &nodes), S_OK);
  EXPECT_GT(nodes->Count, 0u);
  KsFree(nodes);
  CKsIrpTarget::SafeCloseHandle(filter.m_handle);
}

TEST(Profile, VariantChangesOnlyWhatItNames) {
  sim::Profile p;
  std::string error;
  ASSERT_TRUE(sim::ParseProfile(R"({
      "name": "four channels, 16/24 bits, name query failing",
      "usb": {"product": "0x7170"},
      "filter": {"render_alias": "removed",
                 "pins": [{"name": "Out", "communication": "sink", "dataflow": "in",
                           "ranges": [{"channels": 4, "bits": [16, 24], "rates": [44100, 96000]},
                                      {"major": "music", "sub": "midi", "reported_size": 0}],
                           "failing_properties": ["name"]}]}})",
                                p, error))
      << error;
  EXPECT_EQ(p.vendorId, 0x3F57);
  EXPECT_EQ(p.productId, 0x7170);
  EXPECT_EQ(p.hidProductId, 0x7170);
  EXPECT_EQ(p.renderAlias, sim::AliasState::kRemoved);
  EXPECT_EQ(p.captureAlias, sim::AliasState::kEnabled);
  ASSERT_EQ(p.pins.size(), 1u);
  EXPECT_EQ(p.pins[0].ranges[0].channels, 4u);
  EXPECT_EQ(p.pins[0].ranges[0].maxBits, 24u);
  EXPECT_EQ(p.pins[0].ranges.size(), 2u);
  EXPECT_EQ(p.serviceNames, std::vector<std::string>{"ORVQ71HS"});

  CKsIrpTarget filter;
  filter.m_handle = sim::AttachHandle(sim::BuildFilterObject(p));
  wchar_t name[130] = {};
  EXPECT_EQ(PinProperty(filter.m_handle, 0, KSPROPERTY_PIN_NAME, name), E_FAIL);
  ULONG flow = 0;
  EXPECT_EQ(PinProperty(filter.m_handle, 0, KSPROPERTY_PIN_DATAFLOW, flow), S_OK);
  CKsIrpTarget::SafeCloseHandle(filter.m_handle);
}

TEST(Profile, MalformedProfilesAreRejectedNamingTheField) {
  const struct {
    const char* json;
    const char* field;
  } cases[] = {
      {R"({"usb": {"vendor": "0x13F57"}})", "usb.vendor"},
      {R"({"usb": {"vendor": -1}})", "usb.vendor"},
      {R"({"usb": {"product": "pid"}})", "usb.product"},
      {R"({"usb": {"instance": "a#b"}})", "usb.instance"},
      {R"({"usb": {"vendr": 1}})", "usb.vendr"},
      {R"({"filter": {"pins": {}}})", "filter.pins"},
      {R"({"filter": {"pins": [{"communication": "sideways"}]}})", "filter.pins[0].communication"},
      {R"({"filter": {"pins": [{}, {"ranges": [{"bits": [32, 16]}]}]}})", "filter.pins[1].ranges[0].bits"},
      {R"({"filter": {"pins": [{"ranges": [{"rates": [44100]}]}]}})", "filter.pins[0].ranges[0].rates"},
      {R"({"filter": {"pins": [{"ranges": [{"sub": "{0000-bad}"}]}]}})", "filter.pins[0].ranges[0].sub"},
      {R"({"filter": {"pins": [{"failing_properties": ["colour"]}]}})", "filter.pins[0].failing_properties[0]"},
      {R"({"filter": {"pins": [{"interfaces": [{"id": 0}]}]}})", "filter.pins[0].interfaces[0].set"},
      {R"({"filter": {"render_alias": "maybe"}})", "filter.render_alias"},
      {R"({"hid": {"output_report": 70000}})", "hid.output_report"},
      {R"({"service": {"names": [1]}})", "service.names[0]"},
      {R"({"colour": "red"})", "colour"},
  };
  for (const auto& c : cases) {
    sim::Profile p;
    std::string error;
    EXPECT_FALSE(sim::ParseProfile(c.json, p, error)) << c.json;
    EXPECT_NE(error.find(std::string("field ") + c.field + ":"), std::string::npos)
        << c.json << " gave: " << error;
  }
  for (const char* text : {"", "[1]", "{\"usb\": "}) {
    sim::Profile p;
    std::string error;
    EXPECT_FALSE(sim::ParseProfile(text, p, error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

TEST(Profile, FilterPathLooksLikeAUsbAudioInterfacePath) {
  EXPECT_EQ(sim::FilterPath(sim::DefaultProfile(), "{6994ad04-93ef-11d0-a3cc-00a0c9223196}"),
            R"(\\?\usb#vid_3f57&pid_7171&mi_01#8&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global)");
}

}  // namespace
