// KsList, CKsFilter, CKsPin and CKsNode against a filter of the simulated
// device whose pin types each test describes.
#include "ks/ks_filter.h"

#include <cwchar>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks/ks_heap.h"
#include "ks/ks_list.h"
#include "ks/ks_pin.h"
#include "sim/handle_table.h"
#include "tests/ks/ks_test_device.h"
#include "tests/support/trace_capture.h"

using orvi::test::Bytes;
using orvi::test::BytesOf;
using orvi::test::Identifier;
using orvi::test::kFilterPath;
using orvi::test::MultipleItem;
using orvi::test::PinSpec;
using orvi::test::TestFilterDevice;
using orvi::test::TraceCapture;
using sim::PropertyFault;

namespace {

// Makes every KS allocation fail while it lives: a heap that has no room.
class ExhaustedKsHeap {
 public:
  ExhaustedKsHeap() : m_heap(HeapCreate(0, 0, 4096)) {
    while (HeapAlloc(m_heap, 0, 16)) {
    }
    KsSetHeap(m_heap);
  }
  ~ExhaustedKsHeap() {
    KsSetHeap(nullptr);
    HeapDestroy(m_heap);
  }
  ExhaustedKsHeap(const ExhaustedKsHeap&) = delete;
  ExhaustedKsHeap& operator=(const ExhaustedKsHeap&) = delete;

 private:
  HANDLE m_heap;
};

std::vector<ULONG> Ids(const KsList<CKsPin>& list) {
  std::vector<ULONG> ids;
  for (CKsPin* p : list) ids.push_back(p->m_nId);
  return ids;
}

TEST(KsListTest, AppendsAtTheEndEmptiesFromTheFrontAndSurvivesAFailedAppend) {
  int items[3] = {};
  KsList<int> list;
  for (int& i : items) ASSERT_TRUE(list.AddTail(&i));
  {
    ExhaustedKsHeap exhausted;
    EXPECT_FALSE(list.AddTail(&items[0]));
  }
  EXPECT_EQ(list.GetCount(), 3u);
  std::vector<int*> walked;
  for (int* p : list) walked.push_back(p);
  EXPECT_EQ(walked, (std::vector<int*>{&items[0], &items[1], &items[2]}));

  EXPECT_EQ(list.RemoveHead(), &items[0]);
  ASSERT_TRUE(list.AddTail(&items[0]));  // the tail is still right after a removal
  EXPECT_EQ(list.RemoveHead(), &items[1]);
  EXPECT_EQ(list.RemoveHead(), &items[2]);
  EXPECT_EQ(list.RemoveHead(), &items[0]);
  EXPECT_EQ(list.RemoveHead(), nullptr);
  EXPECT_TRUE(list.IsEmpty());
}

TEST(KsFilterConstructionTest, NullTextsAreRejectedAndNeitherIsKept) {
  const struct {
    const char* path;
    const char* name;
    HRESULT hr;
    std::vector<std::string> errors;
  } cases[] = {
      {kFilterPath, "Orvi", S_OK, {}},
      {nullptr, "Orvi", E_INVALIDARG, {"pszSymbolicLink cannot be NULL"}},
      {kFilterPath, nullptr, E_INVALIDARG, {"pszFriendlyName cannot be NULL"}},
      {nullptr, nullptr, E_INVALIDARG, {"pszSymbolicLink cannot be NULL", "pszFriendlyName cannot be NULL"}},
  };
  for (const auto& c : cases) {
    TraceCapture trace(1);
    HRESULT hr = 0x1234;
    CKsFilter filter(c.path, c.name, &hr);
    EXPECT_EQ(hr, c.hr);
    EXPECT_EQ(trace.Lines(), c.errors);
    EXPECT_STREQ(filter.m_szSymbolicLink, c.hr == S_OK ? kFilterPath : "");
    EXPECT_STREQ(filter.m_szFriendlyName, c.hr == S_OK ? "Orvi" : "");
    EXPECT_FALSE(CKsIrpTarget::IsValidHandle(filter.m_handle));
    EXPECT_EQ(filter.m_eFilterType, 0u);
  }
}

TEST(KsFilterConstructionTest, OverlongTextsAreCutToTheMember) {
  std::string longPath(400, 'p');
  HRESULT hr = E_FAIL;
  CKsFilter filter(longPath.c_str(), "", &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(std::string(filter.m_szSymbolicLink), longPath.substr(0, MAX_PATH - 1));
}

class KsFilterTest : public testing::Test {
 protected:
  // A filter opened on the device, pins not yet enumerated.
  CKsFilter* Open() {
    HRESULT hr = E_FAIL;
    filter = new CKsFilter(kFilterPath, "Orvi", &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(filter->Instantiate(), S_OK);
    return filter;
  }
  void TearDown() override { delete filter; }

  TestFilterDevice device;
  CKsFilter* filter = nullptr;
};

TEST_F(KsFilterTest, InstantiateOpensThePathForOverlappedReadWrite) {
  Open();
  EXPECT_TRUE(CKsIrpTarget::IsValidHandle(filter->m_handle));
  EXPECT_EQ(device.lastOpen.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(device.lastOpen.share, 0u);
  EXPECT_EQ(device.lastOpen.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_NE(device.lastOpen.flags & FILE_FLAG_OVERLAPPED, 0u);
}

TEST_F(KsFilterTest, InstantiateFailureNamesThePathAndTheError) {
  device.openStatus = sim::kStatusAccessDenied;
  HRESULT hr = E_FAIL;
  CKsFilter refused(kFilterPath, "Orvi", &hr);
  TraceCapture trace(1);
  EXPECT_EQ(refused.Instantiate(), E_FAIL);
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(refused.m_handle));
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{std::string("CKsFilter::Instantiate: CreateFile failed for device ") +
                                                    kFilterPath + ".  ErrorCode = 0x00000005"});
}

TEST_F(KsFilterTest, PinsAreSortedByCommunicationAndDataFlow) {
  const struct {
    ULONG communication;
    ULONG flow;
  } pins[] = {
      {KSPIN_COMMUNICATION_NONE, KSPIN_DATAFLOW_IN},    // 0
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_IN},    // 1
      {KSPIN_COMMUNICATION_SINK, KSPIN_DATAFLOW_OUT},   // 2
      {KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_IN},  // 3
      {KSPIN_COMMUNICATION_SOURCE, KSPIN_DATAFLOW_OUT}, // 4
      {KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_IN},    // 5
      {KSPIN_COMMUNICATION_BOTH, KSPIN_DATAFLOW_OUT},   // 6
      {4, KSPIN_DATAFLOW_IN},                           // 7: not a communication type
      {KSPIN_COMMUNICATION_NONE, 7},  // 8: any flow but "in" counts as out
      {KSPIN_COMMUNICATION_SINK, 7},  // 9
  };
  for (const auto& p : pins) {
    PinSpec pinSpec;
    pinSpec.communication = p.communication;
    pinSpec.dataFlow = p.flow;
    device.AddPin(pinSpec);
  }
  Open();
  TraceCapture trace(5);
  ASSERT_EQ(filter->EnumeratePins(), S_OK);
  EXPECT_EQ(Ids(filter->m_listPins), (std::vector<ULONG>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(Ids(filter->m_listNoCommPins), (std::vector<ULONG>{0, 8}));
  EXPECT_EQ(Ids(filter->m_listRenderSinkPins), (std::vector<ULONG>{1, 5}));
  EXPECT_EQ(Ids(filter->m_listCaptureSinkPins), (std::vector<ULONG>{2, 6, 9}));
  EXPECT_EQ(Ids(filter->m_listRenderSourcePins), (std::vector<ULONG>{3, 5}));
  EXPECT_EQ(Ids(filter->m_listCaptureSourcePins), (std::vector<ULONG>{4, 6}));
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"Pin communication type not recognized"});

  // Pins in two class lists are owned once: emptying deletes each one once.
  EXPECT_EQ(filter->DestroyLists(), S_OK);
  for (auto* list : {&filter->m_listPins, &filter->m_listNoCommPins, &filter->m_listRenderSinkPins,
                     &filter->m_listCaptureSinkPins, &filter->m_listRenderSourcePins, &filter->m_listCaptureSourcePins})
    EXPECT_TRUE(list->IsEmpty());
}

TEST_F(KsFilterTest, FilterWithoutClassifiedPinsIsNotViable) {
  const struct {
    const char* what;
    bool countFails;
    ULONG communication;
  } cases[] = {
      {"count query fails", true, KSPIN_COMMUNICATION_SINK},
      {"only an unrecognized pin", false, 4},
  };
  for (const auto& c : cases) {
    device.Reset();
    PinSpec pinSpec;
    pinSpec.communication = c.communication;
    device.AddPin(pinSpec);
    if (c.countFails) device.ks->InjectFault(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, PropertyFault::Fail(sim::kStatusUnsuccessful));
    HRESULT hr = E_FAIL;
    CKsFilter f(kFilterPath, "Orvi", &hr);
    ASSERT_EQ(f.Instantiate(), S_OK) << c.what;
    TraceCapture trace(1);
    EXPECT_EQ(f.EnumeratePins(), E_FAIL) << c.what;
    EXPECT_EQ(trace.Lines(), std::vector<std::string>{"Filter is not viable. It has no pins."}) << c.what;
    EXPECT_EQ(f.m_listPins.GetCount(), c.countFails ? 0u : 1u) << c.what;
  }
}

TEST_F(KsFilterTest, PinSnapshotHoldsEveryProperty) {
  PinSpec pinSpec;
  pinSpec.communication = KSPIN_COMMUNICATION_BOTH;
  pinSpec.dataFlow = KSPIN_DATAFLOW_OUT;
  pinSpec.interfaces = MultipleItem({Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING),
                                  Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING)});
  pinSpec.category = KSNODETYPE_SPEAKER;
  pinSpec.name = L"Line Out";
  device.AddPin(PinSpec{});
  device.AddPin(pinSpec);
  device.ks->SetPinValueOf(1, KSPROPERTY_PIN_CINSTANCES, KSPIN_CINSTANCES{3, 1});
  Open();
  HRESULT hr = E_FAIL;
  CKsPin pin(filter, 1, &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(pin.GetId(), 1u);
  EXPECT_EQ(pin.m_pFilter, filter);
  EXPECT_EQ(pin.GetCommunication(), KSPIN_COMMUNICATION_BOTH);
  EXPECT_EQ(pin.GetDataFlow(), KSPIN_DATAFLOW_OUT);
  ASSERT_EQ(pin.m_Desc.cInterfaces, 2u);
  EXPECT_EQ(pin.m_Desc.pInterfaces[1].Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
  ASSERT_EQ(pin.m_Desc.cMediums, 1u);
  EXPECT_TRUE(IsEqualGUID(pin.m_Desc.pMediums[0].Set, KSMEDIUMSETID_Standard));
  ASSERT_EQ(pin.m_Desc.cDataRanges, 1u);
  EXPECT_EQ(pin.m_Desc.pDataRanges[0].FormatSize, sizeof(KSDATARANGE_AUDIO));
  EXPECT_EQ(pin.m_Desc.CInstances.PossibleCount, 3u);
  EXPECT_EQ(pin.m_Desc.CInstances.CurrentCount, 1u);
  EXPECT_EQ(pin.m_Desc.CInstancesGlobal.PossibleCount, 1u);
  EXPECT_TRUE(IsEqualGUID(pin.m_guidCategory, KSNODETYPE_SPEAKER));
  EXPECT_STREQ(pin.m_szName, L"Line Out");
  EXPECT_EQ(pin.m_nState, KSSTATE_STOP);
  EXPECT_EQ(pin.m_pksPinCreate, nullptr);
  EXPECT_EQ(pin.m_ePinType, 0u);
}

// Each property that cannot be read is traced and left zero; the pin is kept.
TEST_F(KsFilterTest, PinPropertyFailuresAreTracedAndTheRestIsRead) {
  const struct {
    ULONG property;
    const char* text;
  } cases[] = {
      {KSPROPERTY_PIN_COMMUNICATION, "KSPROPERTY_PIN_COMMUNICATION"},
      {KSPROPERTY_PIN_INTERFACES, "KSPROPETY_PIN_INTERFACES"},
      {KSPROPERTY_PIN_MEDIUMS, "KSPROPERTY_PIN_MEDIUMS"},
      {KSPROPERTY_PIN_DATARANGES, "KSPROPERTY_PIN_DATARANGES"},
      {KSPROPERTY_PIN_DATAFLOW, "KSPROPERTY_PIN_DATAFLOW"},
      {KSPROPERTY_PIN_CINSTANCES, "KSPROPERTY_PIN_CINSTANCES"},
      {KSPROPERTY_PIN_GLOBALCINSTANCES, "KSPROPERTY_PIN_GLOBALCINSTANCES"},
      {KSPROPERTY_PIN_CATEGORY, "KSPROPERTY_PIN_CATEGORY"},
      {KSPROPERTY_PIN_NAME, "KSPROPERTY_PIN_NAME"},
  };
  PinSpec pinSpec;
  pinSpec.dataFlow = KSPIN_DATAFLOW_OUT;
  device.AddPin(pinSpec);
  device.AddPin(pinSpec);
  Open();
  for (const auto& c : cases) {
    device.ks->ClearFaults();
    device.ks->InjectFault({KSPROPSETID_Pin, c.property, 1}, PropertyFault::Fail(sim::kStatusUnsuccessful));
    TraceCapture trace(3);
    HRESULT hr = E_FAIL;
    CKsPin pin(filter, 1, &hr);
    EXPECT_EQ(hr, 1) << c.text;
    EXPECT_EQ(trace.Lines(),
              std::vector<std::string>{std::string("Failed to retrieve pin property ") + c.text + " on PinID: 1"});
    // The failed one is zero, the others were read.
    const KsPinDescriptor& d = pin.m_Desc;
    EXPECT_EQ(d.Communication, c.property == KSPROPERTY_PIN_COMMUNICATION ? 0 : KSPIN_COMMUNICATION_SINK) << c.text;
    EXPECT_EQ(d.DataFlow, c.property == KSPROPERTY_PIN_DATAFLOW ? 0 : KSPIN_DATAFLOW_OUT) << c.text;
    EXPECT_EQ(d.cInterfaces, c.property == KSPROPERTY_PIN_INTERFACES ? 0u : 1u) << c.text;
    EXPECT_EQ(d.cMediums, c.property == KSPROPERTY_PIN_MEDIUMS ? 0u : 1u) << c.text;
    EXPECT_EQ(d.cDataRanges, c.property == KSPROPERTY_PIN_DATARANGES ? 0u : 1u) << c.text;
    EXPECT_EQ(d.CInstances.PossibleCount, c.property == KSPROPERTY_PIN_CINSTANCES ? 0u : 1u) << c.text;
    EXPECT_EQ(d.CInstancesGlobal.PossibleCount, c.property == KSPROPERTY_PIN_GLOBALCINSTANCES ? 0u : 1u) << c.text;
    EXPECT_EQ(IsEqualGUID(pin.m_guidCategory, GUID_NULL), c.property == KSPROPERTY_PIN_CATEGORY) << c.text;
    EXPECT_EQ(pin.m_szName[0] == 0, c.property == KSPROPERTY_PIN_NAME) << c.text;
  }
  // Construction counts as success: a pin with a failed property stays listed.
  device.ks->InjectFault({KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, 1}, PropertyFault::Fail(sim::kStatusUnsuccessful));
  ASSERT_EQ(filter->EnumeratePins(), S_OK);
  EXPECT_EQ(Ids(filter->m_listCaptureSinkPins), (std::vector<ULONG>{0, 1}));
}

// Item counts never reach past the bytes the device returned, whatever the
// header claims.
TEST_F(KsFilterTest, MultipleItemCountsAreBoundedByTheBytesReturned) {
  const Bytes two = MultipleItem({Identifier(KSINTERFACESETID_Standard, 0), Identifier(KSINTERFACESETID_Standard, 1)});
  const struct {
    const char* what;
    Bytes value;
    PropertyFault fault;
    ULONG count;
  } cases[] = {
      {"honest", two, {}, 2},
      {"header claims 1000 items", MultipleItem({Identifier(KSINTERFACESETID_Standard, 0)}, 1000), {}, 1},
      {"reply cut inside the second item", two, PropertyFault::Short(sizeof(KSMULTIPLE_ITEM) + 30), 1},
      {"reply cut inside the header", two, PropertyFault::Short(4), 0},
  };
  device.AddPin(PinSpec{});
  Open();
  for (const auto& c : cases) {
    device.ks->ClearFaults();
    device.ks->SetPinValue(0, KSPROPERTY_PIN_INTERFACES, c.value);
    device.ks->SetPinValue(0, KSPROPERTY_PIN_MEDIUMS, c.value);
    if (c.fault.kind != PropertyFault::Kind::kNone) {
      device.ks->InjectFault({KSPROPSETID_Pin, KSPROPERTY_PIN_INTERFACES, 0}, c.fault);
      device.ks->InjectFault({KSPROPSETID_Pin, KSPROPERTY_PIN_MEDIUMS, 0}, c.fault);
    }
    HRESULT hr = E_FAIL;
    CKsPin pin(filter, 0, &hr);
    EXPECT_EQ(pin.m_Desc.cInterfaces, c.count) << c.what;
    EXPECT_EQ(pin.m_Desc.cMediums, c.count) << c.what;
    EXPECT_EQ(pin.m_Desc.pInterfaces == nullptr, c.count == 0) << c.what;
  }
}

TEST_F(KsFilterTest, PinNameStaysTerminatedInsideItsMember) {
  device.AddPin(PinSpec{});
  // 259 bytes of name with no terminator: what the read asks for exactly.
  device.ks->SetPinValue(0, KSPROPERTY_PIN_NAME, Bytes(MAX_PATH - 1, 'A'));
  Open();
  HRESULT hr = E_FAIL;
  CKsPin pin(filter, 0, &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(wcsnlen(pin.m_szName, sizeof pin.m_szName / sizeof(WCHAR)), sizeof pin.m_szName / sizeof(WCHAR) - 1);
  EXPECT_EQ(pin.m_szName[0], static_cast<WCHAR>(0x4141));

  // A longer name does not fit the read at all.
  device.ks->SetPinValue(0, KSPROPERTY_PIN_NAME, Bytes(400, 'B'));
  CKsPin longer(filter, 0, &hr);
  EXPECT_EQ(hr, 1);
  EXPECT_EQ(longer.m_szName[0], 0);
}

TEST_F(KsFilterTest, GenericPinInstantiatesNothing) {
  device.AddPin(PinSpec{});
  Open();
  HRESULT hr = E_FAIL;
  CKsPin pin(filter, 0, &hr);
  EXPECT_EQ(pin.Instantiate(TRUE), S_OK);
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin.m_handle));
  EXPECT_FALSE(pin.m_fLooped);
}

TEST(KsCreatePinResultTest, WindowsCodesBecomeHresults) {
  const struct {
    DWORD code;
    HRESULT hr;
  } cases[] = {
      {0, S_OK},
      {ERROR_FILE_NOT_FOUND, static_cast<HRESULT>(0x80070002)},
      {ERROR_NO_SYSTEM_RESOURCES, static_cast<HRESULT>(0x800705AA)},
      {0x00012345, static_cast<HRESULT>(0x80072345)},          // only the low 16 bits
      {0x80004005, static_cast<HRESULT>(0x80004005)},          // already an HRESULT
      {0xC0000001, static_cast<HRESULT>(0xC0000001)},
  };
  for (const auto& c : cases) EXPECT_EQ(KsHresultFromWin32Code(c.code), c.hr) << std::hex << c.code;
}

// --- Topology nodes ---

Bytes NodeList(const std::vector<GUID>& guids, long count = -1) {
  std::vector<Bytes> items;
  for (const GUID& g : guids) items.push_back(BytesOf(g));
  return MultipleItem(items, count);
}

TEST_F(KsFilterTest, NodesAreListedInOrderWithTheirTypes) {
  device.ks->SetValue(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, NodeList({KSNODETYPE_DAC, KSNODETYPE_VOLUME}));
  Open();
  for (int pass = 0; pass < 2; ++pass) {  // a second enumeration replaces the first
    ASSERT_EQ(filter->EnumerateNodes(), S_OK);
    ASSERT_EQ(filter->m_listNodes.GetCount(), 2u);
    ULONG i = 0;
    for (CKsNode* node : filter->m_listNodes) {
      EXPECT_EQ(node->m_nId, i);
      EXPECT_EQ(std::memcmp(&node->m_ulTag, "NONE", 4), 0);
      EXPECT_TRUE(IsEqualGUID(node->m_guidType, i == 0 ? KSNODETYPE_DAC : KSNODETYPE_VOLUME));
      ++i;
    }
  }
}

TEST_F(KsFilterTest, NodeListFollowsWhatTheDeviceReturned) {
  const struct {
    const char* what;
    Bytes value;
    PropertyFault fault;
    HRESULT hr;
    ULONG count;
  } cases[] = {
      {"header claims more nodes than sent", NodeList({KSNODETYPE_ADC}, 500), {}, S_OK, 1},
      {"reply cut short", NodeList({KSNODETYPE_ADC, KSNODETYPE_DAC, KSNODETYPE_SUM}),
       PropertyFault::Short(sizeof(KSMULTIPLE_ITEM) + 20), S_OK, 1},
      {"no nodes", NodeList({}), {}, S_OK, 0},
      {"size of 0", NodeList({}), PropertyFault::SizeAnswer(sim::kStatusBufferOverflow, 0), S_OK, 0},
      {"query fails", NodeList({KSNODETYPE_ADC}), PropertyFault::Fail(sim::kStatusUnsuccessful), E_FAIL, 0},
  };
  Open();
  for (const auto& c : cases) {
    device.ks->ClearFaults();
    device.ks->SetValue(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, c.value);
    if (c.fault.kind != PropertyFault::Kind::kNone)
      device.ks->InjectFault(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, c.fault);
    TraceCapture trace(4);
    EXPECT_EQ(filter->EnumerateNodes(), c.hr) << c.what;
    EXPECT_EQ(filter->m_listNodes.GetCount(), c.count) << c.what;
    EXPECT_EQ(trace.Contains("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"), FAILED(c.hr))
        << c.what;
  }
}

TEST_F(KsFilterTest, NodeListThatCannotBeStoredCompletelyIsDropped) {
  const std::vector<GUID> many(64, KSNODETYPE_VOLUME);
  const Bytes nodes = NodeList(many);
  device.ks->SetValue(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, nodes);
  Open();
  // A heap with room for the property buffer and a few records, not for all
  // of them: a hole a little larger than the buffer in an otherwise full heap.
  HANDLE heap = HeapCreate(0, 0, 64 * 1024);
  ASSERT_NE(heap, nullptr);
  void* hole = HeapAlloc(heap, 0, nodes.size() + 256);
  ASSERT_NE(hole, nullptr);
  while (HeapAlloc(heap, 0, 16)) {
  }
  HeapFree(heap, 0, hole);
  KsSetHeap(heap);
  HRESULT hr = filter->EnumerateNodes();
  ULONG count = filter->m_listNodes.GetCount();
  filter->DestroyLists();  // frees on the heap that holds whatever is left
  KsSetHeap(nullptr);
  HeapDestroy(heap);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(count, 0u);
}

// --- Pin instance: state, reset, stream requests ---

// The pin instance: a settable connection state and a record of the other
// requests, each answered as the test chooses.
class PinInstanceObject : public sim::ScriptedKsObject {
 public:
  struct Request {
    ULONG code;
    Bytes in;
    ULONG outSize;
  };
  std::vector<Request> requests;
  std::vector<sim::NtStatus> answers;  // one per request, in order; success when run out

 protected:
  sim::IoStatus OtherIoctl(const sim::IoRequest& r) override {
    auto in = static_cast<const uint8_t*>(r.in);
    requests.push_back({r.code, Bytes(in, in + r.inSize), r.outSize});
    sim::NtStatus s = requests.size() <= answers.size() ? answers[requests.size() - 1] : sim::kStatusSuccess;
    return {s, 0};
  }
};

class KsPinInstanceTest : public KsFilterTest {
 protected:
  void SetUp() override {
    device.AddPin(PinSpec{});
    Open();
    HRESULT hr = E_FAIL;
    pin = new CKsPin(filter, 0, &hr);
    instance->SetValueOf(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSSTATE_STOP, true);
  }
  void TearDown() override {
    delete pin;
    KsFilterTest::TearDown();
  }
  // What KsCreatePin would have given.
  void Attach() { pin->m_handle = sim::AttachHandle(instance); }
  KSSTATE DeviceState() {
    KSSTATE s;
    Bytes v = instance->Value(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE);
    std::memcpy(&s, v.data(), sizeof s);
    return s;
  }

  std::shared_ptr<PinInstanceObject> instance = std::make_shared<PinInstanceObject>();
  CKsPin* pin = nullptr;
};

TEST_F(KsPinInstanceTest, SetStateRemembersOnlyWhatTheDeviceTook) {
  Attach();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  EXPECT_EQ(pin->m_nState, KSSTATE_RUN);
  EXPECT_EQ(DeviceState(), KSSTATE_RUN);

  instance->InjectFault(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE,
                        PropertyFault::Fail(sim::kStatusDeviceNotConnected));
  TraceCapture trace(1);
  EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), E_FAIL);
  EXPECT_EQ(pin->m_nState, KSSTATE_RUN);
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"Failed to Set Pin State"});
}

TEST_F(KsPinInstanceTest, ClosePinStopsThenClosesAndIsHarmlessWithoutAnInstance) {
  pin->ClosePin();  // never instantiated: no request at all
  EXPECT_EQ(instance->RequestCount(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE), 0);

  Attach();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
  HANDLE h = pin->m_handle;
  pin->ClosePin();
  EXPECT_EQ(DeviceState(), KSSTATE_STOP);
  EXPECT_EQ(pin->m_nState, KSSTATE_STOP);
  EXPECT_FALSE(CKsIrpTarget::IsValidHandle(pin->m_handle));
  EXPECT_EQ(sim::LookupHandle(h), nullptr);
  pin->ClosePin();
  EXPECT_EQ(instance->RequestCount(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE), 2);
}

TEST_F(KsPinInstanceTest, ResetIssuesBeginAndEndWhateverTheFirstAnswers) {
  const struct {
    sim::NtStatus begin, end;
    HRESULT hr;
    size_t errors;
  } cases[] = {
      {sim::kStatusSuccess, sim::kStatusSuccess, S_OK, 0},
      {sim::kStatusUnsuccessful, sim::kStatusSuccess, S_OK, 1},
      {sim::kStatusSuccess, sim::kStatusUnsuccessful, E_FAIL, 1},
      {sim::kStatusUnsuccessful, sim::kStatusUnsuccessful, E_FAIL, 2},
  };
  Attach();
  for (const auto& c : cases) {
    instance->requests.clear();
    instance->answers = {c.begin, c.end};
    TraceCapture trace(1);
    EXPECT_EQ(pin->Reset(), c.hr);
    ASSERT_EQ(instance->requests.size(), 2u);
    EXPECT_EQ(instance->requests[0].code, static_cast<ULONG>(IOCTL_KS_RESET_STATE));
    EXPECT_EQ(instance->requests[0].in, BytesOf(KSRESET_BEGIN));
    EXPECT_EQ(instance->requests[1].in, BytesOf(KSRESET_END));
    EXPECT_EQ(instance->requests[1].outSize, 0u);
    EXPECT_EQ(trace.Lines(), std::vector<std::string>(c.errors, "IOCTL_KS_RESET_STATE failed"));
  }
}

TEST_F(KsPinInstanceTest, StreamRequestsAreQueuedWithoutWaiting) {
  Attach();
  KSSTREAM_HEADER header = {};
  header.Size = sizeof header;
  OVERLAPPED ov = {};
  ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);

  EXPECT_EQ(pin->WriteData(&header, &ov), S_OK);
  EXPECT_EQ(pin->ReadData(&header, &ov), S_OK);
  ASSERT_EQ(instance->requests.size(), 2u);
  EXPECT_EQ(instance->requests[0].code, static_cast<ULONG>(IOCTL_KS_WRITE_STREAM));
  EXPECT_EQ(instance->requests[1].code, static_cast<ULONG>(IOCTL_KS_READ_STREAM));
  for (const auto& r : instance->requests) {
    EXPECT_TRUE(r.in.empty());
    EXPECT_EQ(r.outSize, sizeof header);
  }

  // A request that pends is queued: success, and the event tells the rest.
  instance->InjectIoctlFault(IOCTL_KS_WRITE_STREAM, PropertyFault::Pend(20000));
  ResetEvent(ov.hEvent);
  EXPECT_EQ(pin->WriteData(&header, &ov), S_OK);
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);

  instance->ClearFaults();
  instance->answers.assign(instance->requests.size() + 2, sim::kStatusSuccess);
  instance->answers[instance->requests.size()] = sim::kStatusUnsuccessful;      // ERROR_GEN_FAILURE
  instance->answers[instance->requests.size() + 1] = sim::kStatusUnsuccessful;
  TraceCapture trace(1);
  EXPECT_EQ(pin->WriteData(&header, &ov), E_FAIL);
  EXPECT_EQ(pin->ReadData(&header, &ov), E_FAIL);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"CKsPin::WriteData's DeviceIoControl Failed!  Error=0x0x00001f",
                                                     "DeviceIoControl Failed!  Error=0x0000001f"}));
  CloseHandle(ov.hEvent);
}

}  // namespace
