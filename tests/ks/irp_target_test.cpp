// CKsIrpTarget against a KS object of the simulated device whose answers each
// test chooses.
#include "ks/irp_target.h"

#include <array>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ks/ks_heap.h"
#include "platform/device_api.h"
#include "sim/handle_table.h"
#include "sim/scheduler.h"
#include "sim/scripted_ks_object.h"
#include "tests/support/trace_capture.h"

using orvi::test::TraceCapture;
using sim::PropertyFault;

namespace {

constexpr ULONG kUntouched = 0xC0FFEE;

// A KS filter handle on the simulated device with a component id (fixed size),
// a settable connection state and a topology node list (variable size).
class IrpTargetTest : public testing::Test {
 protected:
  void SetUp() override {
    KSCOMPONENTID id = {};
    id.Manufacturer = {0x3F57, 0, 0, {0}};
    id.Version = 2;
    id.Revision = 7;
    device->SetValueOf(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, id);
    device->SetValueOf(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSSTATE_STOP, true);
    device->SetValue(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, NodeList());
    target.m_handle = sim::AttachHandle(device);
    ASSERT_TRUE(CKsIrpTarget::IsValidHandle(target.m_handle));
  }
  void TearDown() override { CKsIrpTarget::SafeCloseHandle(target.m_handle); }

  static std::vector<uint8_t> NodeList() {
    const std::array<GUID, 3> nodes = {KSNODETYPE_DAC, KSNODETYPE_VOLUME, KSNODETYPE_ADC};
    KSMULTIPLE_ITEM header = {sizeof header + sizeof nodes, static_cast<ULONG>(nodes.size())};
    std::vector<uint8_t> bytes(header.Size);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, nodes.data(), sizeof nodes);
    return bytes;
  }

  // A KS property request as the layer sends it, for direct SyncIoctl calls.
  static KSPROPERTY Property(const GUID& set, ULONG id) {
    KSPROPERTY p = {};
    p.Set = set;
    p.Id = id;
    p.Flags = KSPROPERTY_TYPE_GET;
    return p;
  }

  std::shared_ptr<sim::ScriptedKsObject> device = std::make_shared<sim::ScriptedKsObject>();
  CKsIrpTarget target;
};

TEST_F(IrpTargetTest, InvalidHandleFailsWithoutTouchingTheByteCount) {
  TraceCapture trace(1);
  for (HANDLE h : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    ULONG bytes = kUntouched;
    EXPECT_EQ(CKsIrpTarget::SyncIoctl(h, IOCTL_KS_PROPERTY, nullptr, 0, nullptr, 0, &bytes), E_FAIL);
    EXPECT_EQ(bytes, kUntouched);
  }
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"CKsIrpTarget::SyncIoctl Invalid Handle",
                                                     "CKsIrpTarget::SyncIoctl Invalid Handle"}));
}

// How the byte count and result follow from what the device answers.
TEST_F(IrpTargetTest, SizeQueryRulesDependOnCodeAndOutputSize) {
  struct Case {
    const char* what;
    ULONG code;
    ULONG outSize;
    PropertyFault answer;
    HRESULT hr;
    ULONG bytes;
  };
  const Case cases[] = {
      {"size query, more data", IOCTL_KS_PROPERTY, 0, PropertyFault::SizeAnswer(sim::kStatusBufferOverflow, 48), S_OK, 48},
      {"size query, too small", IOCTL_KS_PROPERTY, 0, PropertyFault::SizeAnswer(sim::kStatusBufferTooSmall, 48), S_OK, 48},
      {"read, more data", IOCTL_KS_PROPERTY, 8, PropertyFault::SizeAnswer(sim::kStatusBufferOverflow, 48), E_FAIL, 0},
      {"read, too small", IOCTL_KS_PROPERTY, 8, PropertyFault::SizeAnswer(sim::kStatusBufferTooSmall, 48), E_FAIL, 0},
      {"reset, more data", IOCTL_KS_RESET_STATE, 0, PropertyFault::SizeAnswer(sim::kStatusBufferOverflow, 48), E_FAIL, 0},
      {"reset, too small", IOCTL_KS_RESET_STATE, 0, PropertyFault::SizeAnswer(sim::kStatusBufferTooSmall, 48), E_FAIL, 0},
      {"device failure", IOCTL_KS_PROPERTY, 0, PropertyFault::Fail(sim::kStatusUnsuccessful), E_FAIL, 0},
      {"device gone", IOCTL_KS_PROPERTY, 8, PropertyFault::Fail(sim::kStatusDeviceNotConnected), E_FAIL, 0},
  };
  for (const Case& c : cases) {
    device->ClearFaults();
    device->InjectFault(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, c.answer);
    device->InjectIoctlFault(IOCTL_KS_RESET_STATE, c.answer);
    KSPROPERTY p = Property(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES);
    std::array<uint8_t, 8> out{};
    ULONG bytes = kUntouched;
    HRESULT hr = CKsIrpTarget::SyncIoctl(target.m_handle, c.code, &p, sizeof p, c.outSize ? out.data() : nullptr,
                                         c.outSize, &bytes);
    EXPECT_EQ(hr, c.hr) << c.what;
    EXPECT_EQ(bytes, c.bytes) << c.what;
  }
}

TEST_F(IrpTargetTest, ImmediateReadReportsTheBytesTransferred) {
  KSPROPERTY p = Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID);
  KSCOMPONENTID id = {};
  ULONG bytes = kUntouched;
  ASSERT_EQ(CKsIrpTarget::SyncIoctl(target.m_handle, IOCTL_KS_PROPERTY, &p, sizeof p, &id, sizeof id, &bytes), S_OK);
  EXPECT_EQ(bytes, sizeof(KSCOMPONENTID));
  EXPECT_EQ(id.Revision, 7u);
  // Without a byte-count pointer the request works the same.
  KSCOMPONENTID again = {};
  ASSERT_EQ(CKsIrpTarget::SyncIoctl(target.m_handle, IOCTL_KS_PROPERTY, &p, sizeof p, &again, sizeof again, nullptr),
            S_OK);
  EXPECT_EQ(std::memcmp(&id, &again, sizeof id), 0);
}

TEST_F(IrpTargetTest, PendingRequestIsWaitedForAndReportsZeroBytes) {
  device->InjectFault(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, PropertyFault::Pend(30000));
  KSPROPERTY p = Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID);
  for (bool withCount : {true, false}) {
    KSCOMPONENTID id = {};
    ULONG bytes = kUntouched;
    int64_t start = sim::NowMicroseconds();
    HRESULT hr = CKsIrpTarget::SyncIoctl(target.m_handle, IOCTL_KS_PROPERTY, &p, sizeof p, &id, sizeof id,
                                         withCount ? &bytes : nullptr);
    int64_t took = sim::NowMicroseconds() - start;
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(bytes, withCount ? 0u : kUntouched);
    EXPECT_EQ(id.Revision, 7u) << "the data arrives with the completion";
    EXPECT_GE(took, 29000) << "returned before the device completed";
  }
}

// A request that pends and then completes with an error is a failure: the
// caller must not take the untouched buffer for an answer.
TEST_F(IrpTargetTest, PendingRequestThatCompletesWithAnErrorFails) {
  device->InjectFault(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                      PropertyFault::Pend(5000, sim::kStatusDeviceNotConnected));
  KSCOMPONENTID id = {};
  ULONG bytes = kUntouched;
  KSPROPERTY p = Property(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID);
  EXPECT_EQ(CKsIrpTarget::SyncIoctl(target.m_handle, IOCTL_KS_PROPERTY, &p, sizeof p, &id, sizeof id, &bytes), E_FAIL);
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof id), E_FAIL);
}

TEST_F(IrpTargetTest, SimplePropertiesReadAndWriteThroughTheHandle) {
  KSCOMPONENTID id = {};
  ASSERT_EQ(target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof id), S_OK);
  EXPECT_EQ(id.Manufacturer.Data1, 0x3F57u);
  EXPECT_EQ(id.Version, 2u);

  KSSTATE state = KSSTATE_PAUSE;
  ASSERT_EQ(target.SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof state), S_OK);
  KSSTATE readBack = KSSTATE_STOP;
  ASSERT_EQ(target.GetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &readBack, sizeof readBack),
            S_OK);
  EXPECT_EQ(readBack, KSSTATE_PAUSE);

  // A value the device does not accept, a property it lacks, a buffer too small.
  EXPECT_EQ(target.SetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof id), E_FAIL);
  EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, &state, sizeof state),
            E_FAIL);
  EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, 16), E_FAIL);
}

TEST_F(IrpTargetTest, MultiPropertyIsSizedThenReadIntoACallerOwnedBuffer) {
  PKSMULTIPLE_ITEM items = nullptr;
  ASSERT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), S_OK);
  ASSERT_NE(items, nullptr);
  std::vector<uint8_t> expected = NodeList();
  ASSERT_EQ(items->Size, expected.size());
  EXPECT_EQ(items->Count, 3u);
  EXPECT_EQ(std::memcmp(items, expected.data(), expected.size()), 0);
  KsFree(items);
  EXPECT_EQ(device->RequestCount(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES), 2);
}

TEST_F(IrpTargetTest, MultiPropertyFailuresLeaveTheCallerPointerAsTheyShould) {
  auto* const sentinel = reinterpret_cast<PKSMULTIPLE_ITEM>(0x1234);
  struct Case {
    const char* what;
    PropertyFault answer;
    HRESULT hr;
    bool pointerUntouched;  // otherwise a buffer the caller must free
  };
  const Case cases[] = {
      {"size query fails", PropertyFault::Fail(sim::kStatusUnsuccessful), E_FAIL, true},
      {"size of 0", PropertyFault::SizeAnswer(sim::kStatusBufferOverflow, 0), S_OK, true},
      {"read fails after the size", PropertyFault::SizeAnswer(sim::kStatusBufferTooSmall, 40), E_FAIL, false},
  };
  for (const Case& c : cases) {
    device->ClearFaults();
    device->InjectFault(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, c.answer);
    PKSMULTIPLE_ITEM items = sentinel;
    EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), c.hr) << c.what;
    if (c.pointerUntouched) {
      EXPECT_EQ(items, sentinel) << c.what;
    } else {
      EXPECT_NE(items, sentinel) << c.what;
      EXPECT_NE(items, nullptr) << c.what;
      if (items != sentinel) KsFree(items);
    }
  }
}

TEST_F(IrpTargetTest, MultiPropertyLargerThanTheHeapReportsOutOfMemory) {
  HANDLE small = HeapCreate(0, 0x10000, 0x10000);  // a heap that cannot grow
  ASSERT_NE(small, nullptr);
  KsSetHeap(small);
  device->InjectFault(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES,
                      PropertyFault::SizeAnswer(sim::kStatusBufferOverflow, 0x100000));
  PKSMULTIPLE_ITEM items = reinterpret_cast<PKSMULTIPLE_ITEM>(0x1234);
  EXPECT_EQ(target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items), E_OUTOFMEMORY);
  EXPECT_EQ(items, nullptr);
  // The simple helpers allocate their request block from the same heap.
  KSCOMPONENTID id = {};
  EXPECT_EQ(target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof id), S_OK);
  KsSetHeap(nullptr);
  HeapDestroy(small);
}

TEST_F(IrpTargetTest, SafeCloseHandleClosesOnceAndThenDoesNothing) {
  HANDLE h = target.m_handle;
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(target.m_handle));
  EXPECT_EQ(target.m_handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(sim::LookupHandle(h), nullptr) << "the device handle is closed";
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(target.m_handle));
  HANDLE none = nullptr;
  EXPECT_TRUE(CKsIrpTarget::SafeCloseHandle(none));
  EXPECT_EQ(none, nullptr);
}

TEST_F(IrpTargetTest, EveryCallTracesEnterAndLeaveAtLevel6) {
  CKsIrpTarget fresh;
  KSCOMPONENTID id = {};
  TraceCapture trace(6);
  ASSERT_EQ(target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof id), S_OK);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                               "CKsIrpTarget::GetPropertySimple() Enter",
                               "CKsIrpTarget::SyncIoctl() Enter",
                               "CKsIrpTarget::IsValidHandle() Enter",
                               "CKsIrpTarget::IsValidHandle() Leave",
                               "CKsIrpTarget::SafeCloseHandle() Enter",
                               "CKsIrpTarget::IsValidHandle() Enter",
                               "CKsIrpTarget::IsValidHandle() Leave",
                               "CKsIrpTarget::SafeCloseHandle() Leave",
                               "CKsIrpTarget::SyncIoctl Leave, returning 00000000",
                               "CKsIrpTarget::GetPropertySimple Leave, returning 00000000",
                           }));
  trace.Clear();
  CKsIrpTarget constructed;
  EXPECT_EQ(constructed.m_handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"CKsIrpTarget::CKsIrpTarget() Enter",
                                                     "CKsIrpTarget::CKsIrpTarget() Leave"}));
}

TEST_F(IrpTargetTest, ConcurrentPendingRequestsOnOneHandleEachGetTheirOwnAnswer) {
  device->InjectFault(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, PropertyFault::Pend(2000));
  std::vector<std::thread> threads;
  std::array<int, 4> failures{};
  for (size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        PKSMULTIPLE_ITEM items = nullptr;
        HRESULT hr = target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items);
        // A pended size query reports 0 bytes: nothing is allocated.
        if (hr != S_OK || items != nullptr) ++failures[t];
        KSCOMPONENTID id = {};
        if (target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &id, sizeof id) != S_OK ||
            id.Revision != 7)
          ++failures[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, (std::array<int, 4>{}));
}

}  // namespace
