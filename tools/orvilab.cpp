// The lab tool: drives the simulated device from the command line. The device's
// state lives in the lab directory (%ORVI_LAB_DIR%, else %TEMP%\orvi-lab), so
// what one invocation plugs stays plugged for the next and for other programs.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include <boost/json.hpp>

#include "ks/ks_enum_filters.h"
#include "sim/device_tree.h"
#include "sim/lab_state.h"

namespace {

constexpr char kUsage[] =
    "usage: orvilab COMMAND [ARGS]\n"
    "  plug [PROFILE.json]     plug the device (the built-in product without a file)\n"
    "  unplug                  unplug it\n"
    "  reset                   unplug and return every setting, fault and count to its start\n"
    "  status                  the device's state as one JSON object\n"
    "  hid-log [N]             the last N HID output reports (default all kept)\n"
    "  record FILE.wav | FILE.dsf | off\n"
    "                          record what the device plays, from the next stream on\n"
    "                          (.dsf: the DSD it receives, native or DoP)\n"
    "  capture silence | tone [HZ] | file FILE.wav | loopback\n"
    "                          choose what the device's input delivers\n"
    "  fault ksuser-missing | ksuser-present | stall | unstall\n"
    "  paths                   the device's interface paths\n"
    "  pins                    the pin types of the device's KS filter, as the KS layer sees them\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

sim::LabBlock* BlockOrFail() {
  sim::LabBlock* b = sim::Lab::Block();
  if (!b) std::fprintf(stderr, "orvilab: cannot map the lab state in %s\n", sim::Lab::Directory().c_str());
  return b;
}

// Copies `text` into a fixed field, refusing what does not fit.
bool SetPath(char (&field)[260], const std::string& text) {
  if (text.size() >= sizeof field) {
    std::fprintf(stderr, "orvilab: path longer than %zu characters\n", sizeof field - 1);
    return false;
  }
  std::memcpy(field, text.c_str(), text.size() + 1);
  return true;
}

template <size_t N>
std::string Bounded(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

int Plug(int argc, char** argv) {
  std::string text = "{}";
  if (argc >= 3) {
    std::ifstream in(argv[2], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "orvilab: cannot read %s\n", argv[2]);
      return 1;
    }
    std::stringstream s;
    s << in.rdbuf();
    text = s.str();
  }
  std::string error;
  if (!sim::Lab::Plug(text, error)) {
    std::fprintf(stderr, "orvilab: %s\n", error.c_str());
    return 1;
  }
  sim::Profile profile;
  LONG generation = 0;
  sim::Lab::Plugged(profile, generation);
  std::printf("plugged %s (vid 0x%04X pid 0x%04X)\n", profile.name.c_str(), profile.vendorId, profile.productId);
  return 0;
}

int Status() {
  sim::LabBlock* b = BlockOrFail();
  if (!b) return 1;
  sim::Profile profile;
  LONG generation = 0;
  bool plugged = sim::Lab::Plugged(profile, generation);
  static const char* const kDsd[] = {"none", "DSD64", "DSD128", "DSD256"};
  static const char* const kSources[] = {"silence", "tone", "file", "loopback"};
  static const char* const kRecordFormats[] = {"none", "wav", "dsf native DSD", "dsf DoP"};
  static const char* const kRecordStates[] = {"idle", "recording", "finished", "stopped"};
  boost::json::object w;
  w["plugged"] = plugged;
  if (plugged) {
    w["profile"] = profile.name;
    w["vendor"] = static_cast<long>(profile.vendorId);
    w["product"] = static_cast<long>(profile.productId);
  }
  w["generation"] = static_cast<long>(b->generation);
  w["stream_active"] = b->streamActive != 0;
  w["stream_rate"] = static_cast<long>(b->streamRate);
  w["stream_bits"] = static_cast<long>(b->streamBits);
  w["stream_channels"] = static_cast<long>(b->streamChannels);
  w["dsd_mode"] = kDsd[static_cast<ULONG>(b->dsdMode) & 3];
  w["dop"] = b->dopActive != 0;
  w["underruns"] = static_cast<long>(b->underruns);
  w["overruns"] = static_cast<long>(b->overruns);
  w["volume_key"] = static_cast<long>(b->volumeKey);
  w["volume_steps"] = static_cast<long>(b->volumeSteps);
  w["capture_source"] = kSources[static_cast<ULONG>(b->captureSource) & 3];
  w["tone_hz"] = static_cast<long>(b->toneHz);
  w["capture_file"] = Bounded(b->captureFile);
  w["recording"] = b->recording != 0;
  w["record_file"] = Bounded(b->recordFile);
  w["record_format"] = kRecordFormats[static_cast<ULONG>(b->recordFormat) & 3];
  w["record_state"] = kRecordStates[static_cast<ULONG>(b->recordState) & 3];
  w["record_note"] = Bounded(b->recordNote);
  w["hid_reports"] = static_cast<long>(b->hidLogCount);
  w["ksuser_missing"] = b->ksuserMissing != 0;
  w["packets_stalled"] = b->packetsStalled != 0;
  std::printf("%s\n", boost::json::serialize(w).c_str());
  return 0;
}

int HidLog(int argc, char** argv) {
  if (!BlockOrFail()) return 1;
  auto reports = sim::Lab::HidReports();
  size_t keep = reports.size();
  if (argc >= 3) keep = static_cast<size_t>(std::strtoul(argv[2], nullptr, 10));
  size_t first = reports.size() > keep ? reports.size() - keep : 0;
  for (size_t i = first; i < reports.size(); ++i) {
    const sim::HidLogEntry& e = reports[i];
    std::printf("#%lu %lu bytes:", static_cast<unsigned long>(e.sequence), static_cast<unsigned long>(e.length));
    // The meaningful bytes are at the front; trailing zeros are left out.
    uint32_t shown = e.length < sim::kHidReportMax ? e.length : sim::kHidReportMax;
    while (shown > 5 && e.bytes[shown - 1] == 0) --shown;
    for (uint32_t k = 0; k < shown; ++k) std::printf(" %02X", e.bytes[k]);
    std::printf("\n");
  }
  return 0;
}

int Record(int argc, char** argv) {
  sim::LabBlock* b = BlockOrFail();
  if (!b || argc < 3) return b ? Usage() : 1;
  if (std::strcmp(argv[2], "off") == 0) {
    InterlockedExchange(&b->recording, 0);
    std::printf("recording off\n");
    return 0;
  }
  if (!SetPath(b->recordFile, argv[2])) return 1;
  InterlockedExchange(&b->recording, 1);
  std::printf("recording to %s from the next stream on\n", argv[2]);
  return 0;
}

int Capture(int argc, char** argv) {
  sim::LabBlock* b = BlockOrFail();
  if (!b || argc < 3) return b ? Usage() : 1;
  std::string source = argv[2];
  if (source == "silence") {
    InterlockedExchange(&b->captureSource, static_cast<LONG>(sim::CaptureSource::kSilence));
  } else if (source == "tone") {
    long hz = argc >= 4 ? std::strtol(argv[3], nullptr, 10) : 1000;
    if (hz <= 0 || hz > 20000) {
      std::fprintf(stderr, "orvilab: tone frequency must be 1 to 20000 Hz\n");
      return 1;
    }
    InterlockedExchange(&b->toneHz, hz);
    InterlockedExchange(&b->captureSource, static_cast<LONG>(sim::CaptureSource::kTone));
  } else if (source == "file" && argc >= 4) {
    if (!SetPath(b->captureFile, argv[3])) return 1;
    InterlockedExchange(&b->captureSource, static_cast<LONG>(sim::CaptureSource::kFile));
  } else if (source == "loopback") {
    InterlockedExchange(&b->captureSource, static_cast<LONG>(sim::CaptureSource::kLoopback));
  } else {
    return Usage();
  }
  std::printf("capture source: %s\n", source.c_str());
  return 0;
}

int Fault(int argc, char** argv) {
  sim::LabBlock* b = BlockOrFail();
  if (!b || argc < 3) return b ? Usage() : 1;
  std::string what = argv[2];
  if (what == "ksuser-missing" || what == "ksuser-present") {
    InterlockedExchange(&b->ksuserMissing, what == "ksuser-missing");
  } else if (what == "stall" || what == "unstall") {
    InterlockedExchange(&b->packetsStalled, what == "stall");
  } else {
    return Usage();
  }
  std::printf("fault: %s\n", what.c_str());
  return 0;
}

int Paths() {
  sim::Profile profile;
  LONG generation = 0;
  if (!sim::Lab::Plugged(profile, generation)) {
    std::fprintf(stderr, "orvilab: no device is plugged\n");
    return 1;
  }
  sim::DeviceTree tree = sim::BuildDeviceTree(profile);
  for (const sim::DeviceInterface& di : tree.interfaces)
    std::printf("%s %s\n", sim::GuidText(di.category).c_str(), di.path.c_str());
  return 0;
}

const char* Communication(ULONG c) {
  static const char* const kNames[] = {"none", "sink", "source", "both"};
  return c < 4 ? kNames[c] : "unknown";
}

const char* DataFlow(ULONG f) { return f == KSPIN_DATAFLOW_IN ? "in" : f == KSPIN_DATAFLOW_OUT ? "out" : "unknown"; }

const char* PinClass(const CKsPin* pin) {
  static const char* const kNames[] = {"pin", "render pin", "capture pin"};
  return pin->m_ePinType < 3 ? kNames[pin->m_ePinType] : "pin";
}

// The device's filters found the way driver and panel find them.
int Pins() {
  const GUID categories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
  CKsEnumFilters enumerator;
  HRESULT hr = enumerator.EnumFilters(categories, 2);
  if (FAILED(hr)) {
    std::fprintf(stderr, "orvilab: no KS audio filter found (0x%08lX)\n", static_cast<unsigned long>(hr));
    return 1;
  }
  for (CKsFilter* filter : enumerator.m_listFilters) {
    std::printf("filter %s\n", filter->m_szSymbolicLink);
    for (CKsPin* pin : filter->m_listPins) {
      std::printf("  pin %lu: %-11s communication %-6s data flow %-3s", static_cast<unsigned long>(pin->GetId()),
                  PinClass(pin), Communication(pin->GetCommunication()), DataFlow(pin->GetDataFlow()));
      if (pin->m_ePinType != 0) {
        for (const KSDATARANGE_AUDIO* r : static_cast<CKsAudPin*>(pin)->m_listDataRange) {
          std::printf("  %lu ch, %lu-%lu bits, %lu-%lu Hz", static_cast<unsigned long>(r->MaximumChannels),
                      static_cast<unsigned long>(r->MinimumBitsPerSample),
                      static_cast<unsigned long>(r->MaximumBitsPerSample),
                      static_cast<unsigned long>(r->MinimumSampleFrequency),
                      static_cast<unsigned long>(r->MaximumSampleFrequency));
        }
      }
      std::printf("\n");
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "plug") return Plug(argc, argv);
  if (command == "unplug") {
    sim::Lab::Unplug();
    std::printf("unplugged\n");
    return 0;
  }
  if (command == "reset") {
    sim::Lab::Reset();
    std::printf("lab reset\n");
    return 0;
  }
  if (command == "status") return Status();
  if (command == "hid-log") return HidLog(argc, argv);
  if (command == "record") return Record(argc, argv);
  if (command == "capture") return Capture(argc, argv);
  if (command == "fault") return Fault(argc, argv);
  if (command == "paths") return Paths();
  if (command == "pins") return Pins();
  return Usage();
}
