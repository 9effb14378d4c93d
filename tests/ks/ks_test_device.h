#pragma once
// A KS filter of the simulated device whose pin types a test describes one by
// one, and the byte layouts the pin properties come in.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ks/ks_platform.h"
#include "sim/device_namespace.h"
#include "sim/scripted_ks_object.h"

namespace orvi::test {

inline constexpr char kFilterPath[] =
    R"(\\?\usb#vid_3f57&pid_7171&mi_01#8&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global)";

using Bytes = std::vector<uint8_t>;

template <typename T>
Bytes BytesOf(const T& v) {
  auto p = reinterpret_cast<const uint8_t*>(&v);
  return Bytes(p, p + sizeof v);
}

// A KSMULTIPLE_ITEM as a driver returns it; `count` overrides the header's
// count to make it lie.
inline Bytes MultipleItem(const std::vector<Bytes>& items, long count = -1) {
  Bytes out(sizeof(KSMULTIPLE_ITEM));
  for (const Bytes& item : items) out.insert(out.end(), item.begin(), item.end());
  KSMULTIPLE_ITEM header = {static_cast<ULONG>(out.size()),
                            count < 0 ? static_cast<ULONG>(items.size()) : static_cast<ULONG>(count)};
  std::memcpy(out.data(), &header, sizeof header);
  return out;
}

inline Bytes Identifier(const GUID& set, ULONG id) {
  KSIDENTIFIER ident = {};
  ident.Set = set;
  ident.Id = id;
  return BytesOf(ident);
}

inline KSDATARANGE_AUDIO AudioRange(ULONG maxChannels, ULONG minBits, ULONG maxBits, ULONG minRate, ULONG maxRate,
                                    const GUID& subFormat = KSDATAFORMAT_SUBTYPE_PCM) {
  KSDATARANGE_AUDIO r = {};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  r.DataRange.SubFormat = subFormat;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
  r.MaximumChannels = maxChannels;
  r.MinimumBitsPerSample = minBits;
  r.MaximumBitsPerSample = maxBits;
  r.MinimumSampleFrequency = minRate;
  r.MaximumSampleFrequency = maxRate;
  return r;
}

// The product's playback and capture range: stereo, 16 to 32 bits, 32 to 384 kHz.
inline Bytes StereoPcmRanges() { return MultipleItem({BytesOf(AudioRange(2, 16, 32, 32000, 384000))}); }

struct PinSpec {
  // Plain numbers: a device may answer values outside the enumerations.
  ULONG communication = KSPIN_COMMUNICATION_SINK;
  ULONG dataFlow = KSPIN_DATAFLOW_IN;
  Bytes interfaces = MultipleItem({Identifier(KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING)});
  Bytes mediums = MultipleItem({Identifier(KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE)});
  Bytes dataRanges = StereoPcmRanges();
  GUID category = KSCATEGORY_AUDIO;
  std::wstring name = L"Speakers";
};

// The filter object, published under kFilterPath for the life of the object.
class TestFilterDevice {
 public:
  TestFilterDevice() {
    sim::PublishPath(kFilterPath, [this](const sim::OpenRequest& r, std::shared_ptr<sim::DeviceObject>& object) {
      lastOpen = r;
      if (openStatus != sim::kStatusSuccess) return openStatus;
      object = ks;
      return sim::kStatusSuccess;
    });
    SetPinCount(0);
  }
  ~TestFilterDevice() { sim::WithdrawPath(kFilterPath); }
  TestFilterDevice(const TestFilterDevice&) = delete;
  TestFilterDevice& operator=(const TestFilterDevice&) = delete;

  // A fresh filter object with no pins, for the next case of a table.
  void Reset() {
    ks = std::make_shared<sim::ScriptedKsObject>();
    m_pins = 0;
    SetPinCount(0);
  }

  void SetPinCount(ULONG n) { ks->SetValueOf(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, n); }

  // Adds the next pin type; returns its id.
  ULONG AddPin(const PinSpec& pinSpec) {
    ULONG id = m_pins++;
    ks->SetPinValueOf(id, KSPROPERTY_PIN_COMMUNICATION, pinSpec.communication);
    ks->SetPinValueOf(id, KSPROPERTY_PIN_DATAFLOW, pinSpec.dataFlow);
    ks->SetPinValue(id, KSPROPERTY_PIN_INTERFACES, pinSpec.interfaces);
    ks->SetPinValue(id, KSPROPERTY_PIN_MEDIUMS, pinSpec.mediums);
    ks->SetPinValue(id, KSPROPERTY_PIN_DATARANGES, pinSpec.dataRanges);
    ks->SetPinValueOf(id, KSPROPERTY_PIN_CINSTANCES, KSPIN_CINSTANCES{1, 0});
    ks->SetPinValueOf(id, KSPROPERTY_PIN_GLOBALCINSTANCES, KSPIN_CINSTANCES{1, 0});
    ks->SetPinValueOf(id, KSPROPERTY_PIN_CATEGORY, pinSpec.category);
    auto name = reinterpret_cast<const uint8_t*>(pinSpec.name.c_str());
    ks->SetPinValue(id, KSPROPERTY_PIN_NAME, Bytes(name, name + (pinSpec.name.size() + 1) * sizeof(wchar_t)));
    SetPinCount(m_pins);
    return id;
  }

  std::shared_ptr<sim::ScriptedKsObject> ks = std::make_shared<sim::ScriptedKsObject>();
  sim::NtStatus openStatus = sim::kStatusSuccess;
  sim::OpenRequest lastOpen;

 private:
  ULONG m_pins = 0;
};

}  // namespace orvi::test
