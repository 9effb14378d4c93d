// The lab tool: drives the simulated device from the command line.
//   orvilab demo    shows a KS object of the simulated device answering the
//                   kernel-streaming requests the driver and panel make.
#include <cstdio>
#include <cstring>
#include <memory>

#include "ks/irp_target.h"
#include "ks/ks_heap.h"
#include "ks/ks_trace.h"
#include "platform/debug_output.h"
#include "platform/device_api.h"
#include "sim/device_namespace.h"
#include "sim/scheduler.h"
#include "sim/scripted_ks_object.h"

namespace {

constexpr char kFilterPath[] =
    R"(\\?\usb#vid_3f57&pid_7171&mi_01#8&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global)";

const char* Verdict(HRESULT hr) { return SUCCEEDED(hr) ? "ok" : "FAILED"; }

int Demo() {
  auto filter = std::make_shared<sim::ScriptedKsObject>();
  KSCOMPONENTID id = {};
  id.Manufacturer.Data1 = 0x3F57;
  id.Product.Data1 = 0x7171;
  id.Version = 1;
  filter->SetValueOf(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, id);
  filter->SetValueOf(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSSTATE_STOP, true);
  struct {
    KSMULTIPLE_ITEM header;
    GUID nodes[2];
  } nodes = {{sizeof nodes, 2}, {KSNODETYPE_DAC, KSNODETYPE_VOLUME}};
  filter->SetValueOf(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, nodes);
  sim::PublishPath(kFilterPath, [filter](const sim::OpenRequest&, std::shared_ptr<sim::DeviceObject>& object) {
    object = filter;
    return sim::kStatusSuccess;
  });

  std::printf("Simulated KS filter at %s\n", kFilterPath);
  CKsIrpTarget target;
  target.m_handle = dev::CreateFileA(kFilterPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (!CKsIrpTarget::IsValidHandle(target.m_handle)) {
    std::printf("open failed: %lu\n", GetLastError());
    return 1;
  }

  KSCOMPONENTID got = {};
  HRESULT hr = target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &got, sizeof got);
  std::printf("  component id            %-6s vendor 0x%04lX product 0x%04lX version %lu\n", Verdict(hr),
              got.Manufacturer.Data1, got.Product.Data1, got.Version);

  PKSMULTIPLE_ITEM items = nullptr;
  hr = target.GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &items);
  std::printf("  topology nodes          %-6s %lu nodes in %lu bytes\n", Verdict(hr), items ? items->Count : 0,
              items ? items->Size : 0);
  KsFree(items);

  KSSTATE state = KSSTATE_ACQUIRE;
  hr = target.SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof state);
  state = KSSTATE_STOP;
  target.GetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &state, sizeof state);
  std::printf("  set state ACQUIRE       %-6s device now in state %d\n", Verdict(hr), static_cast<int>(state));

  filter->InjectFault(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, sim::PropertyFault::Pend(20000));
  int64_t start = sim::NowMicroseconds();
  hr = target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &got, sizeof got);
  std::printf("  request pended 20 ms    %-6s completed after %.1f ms\n", Verdict(hr),
              static_cast<double>(sim::NowMicroseconds() - start) / 1000.0);

  filter->InjectFault(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID,
                      sim::PropertyFault::Fail(sim::kStatusDeviceNotConnected));
  hr = target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &got, sizeof got);
  std::printf("  device failure          %-6s result 0x%08lX (expected a failure)\n", Verdict(hr),
              static_cast<unsigned long>(hr));

  std::printf("KS trace of one request at threshold 6:\n");
  filter->ClearFaults();
  {
    orvi::DebugOutputCapture trace;
    g_nKsTraceLevel = KSTRACE_CALL;
    target.GetPropertySimple(KSPROPSETID_General, KSPROPERTY_GENERAL_COMPONENTID, &got, sizeof got);
    g_nKsTraceLevel = 0;
    for (const auto& line : trace.Lines()) std::printf("  %s\n", line.c_str());
  }
  CKsIrpTarget::SafeCloseHandle(target.m_handle);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "demo") == 0) return Demo();
  std::fprintf(stderr, "usage: orvilab demo\n");
  return 2;
}
