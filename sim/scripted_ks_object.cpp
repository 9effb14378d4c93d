#include "sim/scripted_ks_object.h"

#include <cstring>

#include "ks/ks_platform.h"

namespace sim {

void ScriptedKsObject::SetValue(const PropertyKey& key, std::vector<uint8_t> value, bool settable) {
  AcquireSRWLockExclusive(&m_valuesLock);
  m_values[key] = {std::move(value), settable};
  ReleaseSRWLockExclusive(&m_valuesLock);
}

std::vector<uint8_t> ScriptedKsObject::Value(const PropertyKey& key) const {
  AcquireSRWLockShared(&m_valuesLock);
  auto it = m_values.find(key);
  std::vector<uint8_t> v = it == m_values.end() ? std::vector<uint8_t>{} : it->second.value;
  ReleaseSRWLockShared(&m_valuesLock);
  return v;
}

// Unknown set and unknown id answer as KS does; a pin id the filter does not
// have is an invalid parameter. Called with the lock held.
NtStatus ScriptedKsObject::Find(const PropertyKey& key, Entry*& entry) {
  auto it = m_values.find(key);
  if (it != m_values.end()) {
    entry = &it->second;
    return kStatusSuccess;
  }
  bool setKnown = false;
  for (auto& [k, unused] : m_values) {
    if (!IsEqualGUID(k.set, key.set)) continue;
    setKnown = true;
    if (k.id == key.id && k.instance != kNoInstance) return kStatusInvalidParameter;
  }
  return setKnown ? kStatusNotFound : kStatusPropsetNotFound;
}

NtStatus ScriptedKsObject::GetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                                       std::vector<uint8_t>& value) {
  AcquireSRWLockShared(&m_valuesLock);
  Entry* entry = nullptr;
  NtStatus s = Find(KeyOf(property, request, requestSize), entry);
  if (entry) value = entry->value;
  ReleaseSRWLockShared(&m_valuesLock);
  return s;
}

NtStatus ScriptedKsObject::SetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                                       const void* value, ULONG valueSize) {
  AcquireSRWLockExclusive(&m_valuesLock);
  Entry* entry = nullptr;
  NtStatus s = Find(KeyOf(property, request, requestSize), entry);
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
