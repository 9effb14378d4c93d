#include "sim/filter_model.h"

#include <cstring>

#include "ks/ks_platform.h"

namespace sim {
namespace {

// A KSMULTIPLE_ITEM header followed by `items`, as the pin properties return.
template <typename T>
std::vector<uint8_t> MultipleItem(const std::vector<T>& items) {
  KSMULTIPLE_ITEM header = {static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size() * sizeof(T)),
                            static_cast<ULONG>(items.size())};
  std::vector<uint8_t> bytes(header.Size);
  std::memcpy(bytes.data(), &header, sizeof header);
  if (!items.empty()) std::memcpy(bytes.data() + sizeof header, items.data(), items.size() * sizeof(T));
  return bytes;
}

KSDATARANGE_AUDIO DataRange(const RangeProfile& r) {
  KSDATARANGE_AUDIO range = {};
  range.DataRange.FormatSize = r.reportedSize ? r.reportedSize : sizeof(KSDATARANGE_AUDIO);
  range.DataRange.MajorFormat = r.major;
  range.DataRange.SubFormat = r.sub;
  range.DataRange.Specifier = r.specifier;
  range.MaximumChannels = r.channels;
  range.MinimumBitsPerSample = r.minBits;
  range.MaximumBitsPerSample = r.maxBits;
  range.MinimumSampleFrequency = r.minRate;
  range.MaximumSampleFrequency = r.maxRate;
  return range;
}

std::vector<KSIDENTIFIER> Identifiers(const std::vector<IdentifierProfile>& list) {
  std::vector<KSIDENTIFIER> ids;
  for (const IdentifierProfile& i : list) {
    KSIDENTIFIER id = {};
    id.Set = i.set;
    id.Id = i.id;
    id.Flags = i.flags;
    ids.push_back(id);
  }
  return ids;
}

// The pin name as the driver returns it: a wide-character string with its terminator.
std::vector<uint8_t> WideName(const std::string& name) {
  std::vector<uint8_t> bytes((name.size() + 1) * sizeof(WCHAR), 0);
  for (size_t i = 0; i < name.size(); ++i) bytes[i * sizeof(WCHAR)] = static_cast<uint8_t>(name[i]);
  return bytes;
}

}  // namespace

void DescribeFilter(const Profile& profile, ScriptedKsObject& f) {
  ScriptedKsObject* filter = &f;
  filter->SetValueOf(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, static_cast<ULONG>(profile.pins.size()));
  for (ULONG id = 0; id < profile.pins.size(); ++id) {
    const PinProfile& pin = profile.pins[id];
    filter->SetPinValueOf(id, KSPROPERTY_PIN_COMMUNICATION, pin.communication);
    filter->SetPinValueOf(id, KSPROPERTY_PIN_DATAFLOW, pin.dataflow);
    filter->SetPinValue(id, KSPROPERTY_PIN_INTERFACES, MultipleItem(Identifiers(pin.interfaces)));
    filter->SetPinValue(id, KSPROPERTY_PIN_MEDIUMS, MultipleItem(Identifiers(pin.mediums)));
    std::vector<KSDATARANGE_AUDIO> ranges;
    for (const RangeProfile& r : pin.ranges) ranges.push_back(DataRange(r));
    filter->SetPinValue(id, KSPROPERTY_PIN_DATARANGES, MultipleItem(ranges));
    KSPIN_CINSTANCES instances = {pin.possibleInstances, 0};
    filter->SetPinValueOf(id, KSPROPERTY_PIN_CINSTANCES, instances);
    filter->SetPinValueOf(id, KSPROPERTY_PIN_GLOBALCINSTANCES, instances);
    filter->SetPinValueOf(id, KSPROPERTY_PIN_CATEGORY, pin.category);
    filter->SetPinValue(id, KSPROPERTY_PIN_NAME, WideName(pin.name));
    for (ULONG property : pin.failingProperties) {
      filter->InjectFault({KSPROPSETID_Pin, property, id}, PropertyFault::Fail(kStatusUnsuccessful));
    }
  }
  filter->SetValue(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, MultipleItem(profile.nodes));
}

}  // namespace sim
