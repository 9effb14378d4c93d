#pragma once
// A KS object whose properties a test or the lab tool sets one by one: the
// simplest device, used where a profile would say too much.
#include "sim/ks_object.h"

namespace sim {

class ScriptedKsObject : public KsObject {
 public:
  // A readable property; with `settable`, sets of exactly its size replace it.
  void SetValue(const PropertyKey& key, std::vector<uint8_t> value, bool settable = false);
  void SetValue(const GUID& set, ULONG id, std::vector<uint8_t> value, bool settable = false) {
    SetValue({set, id}, std::move(value), settable);
  }
  template <typename T>
  void SetValueOf(const PropertyKey& key, const T& v, bool settable = false) {
    auto p = reinterpret_cast<const uint8_t*>(&v);
    SetValue(key, std::vector<uint8_t>(p, p + sizeof v), settable);
  }
  template <typename T>
  void SetValueOf(const GUID& set, ULONG id, const T& v, bool settable = false) {
    SetValueOf({set, id}, v, settable);
  }
  // A pin property of pin type `pin`.
  void SetPinValue(ULONG pin, ULONG id, std::vector<uint8_t> value) {
    SetValue({KSPROPSETID_Pin, id, pin}, std::move(value));
  }
  template <typename T>
  void SetPinValueOf(ULONG pin, ULONG id, const T& v) {
    SetValueOf({KSPROPSETID_Pin, id, pin}, v);
  }
  std::vector<uint8_t> Value(const PropertyKey& key) const;
  std::vector<uint8_t> Value(const GUID& set, ULONG id) const { return Value({set, id}); }

 protected:
  NtStatus GetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                       std::vector<uint8_t>& value) override;
  NtStatus SetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                       const void* value, ULONG valueSize) override;

 private:
  struct Entry {
    std::vector<uint8_t> value;
    bool settable = false;
  };
  NtStatus Find(const PropertyKey& key, Entry*& entry);

  mutable SRWLOCK m_valuesLock = SRWLOCK_INIT;
  std::map<PropertyKey, Entry> m_values;
};

}  // namespace sim
