#include "sim/scripted_ks_object.h"

#include <cstring>

#include "ks/ks_platform.h"

namespace sim {

void ScriptedKsObject::SetValue(const GUID& set, ULONG id, std::vector<uint8_t> value, bool settable) {
  AcquireSRWLockExclusive(&m_valuesLock);
  m_values[{set, id}] = {std::move(value), settable};
  ReleaseSRWLockExclusive(&m_valuesLock);
}

std::vector<uint8_t> ScriptedKsObject::Value(const GUID& set, ULONG id) const {
  AcquireSRWLockShared(&m_valuesLock);
  auto it = m_values.find({set, id});
  std::vector<uint8_t> v = it == m_values.end() ? std::vector<uint8_t>{} : it->second.value;
  ReleaseSRWLockShared(&m_valuesLock);
  return v;
}

// Unknown set and unknown id answer as KS does. Called with the lock held.
NtStatus ScriptedKsObject::Find(const KSPROPERTY& property, Entry*& entry) {
  auto it = m_values.find({property.Set, property.Id});
  if (it != m_values.end()) {
    entry = &it->second;
    return kStatusSuccess;
  }
  for (auto& [key, unused] : m_values) {
    if (IsEqualGUID(key.set, property.Set)) return kStatusNotFound;
  }
  return kStatusPropsetNotFound;
}

NtStatus ScriptedKsObject::GetProperty(const KSPROPERTY& property, const void*, ULONG,
                                       std::vector<uint8_t>& value) {
  AcquireSRWLockShared(&m_valuesLock);
  Entry* entry = nullptr;
  NtStatus s = Find(property, entry);
  if (entry) value = entry->value;
  ReleaseSRWLockShared(&m_valuesLock);
  return s;
}

NtStatus ScriptedKsObject::SetProperty(const KSPROPERTY& property, const void*, ULONG, const void* value,
                                       ULONG valueSize) {
  AcquireSRWLockExclusive(&m_valuesLock);
  Entry* entry = nullptr;
  NtStatus s = Find(property, entry);
  if (entry) {
    if (!entry->settable) {
      s = kStatusInvalidDeviceRequest;
    } else if (!value || valueSize < entry->value.size()) {
      s = kStatusBufferTooSmall;
    } else {
      std::memcpy(entry->value.data(), value, entry->value.size());
    }
  }
  ReleaseSRWLockExclusive(&m_valuesLock);
  return s;
}

}  // namespace sim
