#pragma once
// A KS object whose properties a test or the lab tool sets one by one: the
// simplest device, used where a profile would say too much.
#include "sim/ks_object.h"

namespace sim {

class ScriptedKsObject : public KsObject {
 public:
  // A readable property; with `settable`, sets of exactly its size replace it.
  void SetValue(const GUID& set, ULONG id, std::vector<uint8_t> value, bool settable = false);
  template <typename T>
  void SetValueOf(const GUID& set, ULONG id, const T& v, bool settable = false) {
    auto p = reinterpret_cast<const uint8_t*>(&v);
    SetValue(set, id, std::vector<uint8_t>(p, p + sizeof v), settable);
  }
  std::vector<uint8_t> Value(const GUID& set, ULONG id) const;

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
  NtStatus Find(const KSPROPERTY& property, Entry*& entry);

  mutable SRWLOCK m_valuesLock = SRWLOCK_INIT;
  std::map<PropertyKey, Entry> m_values;
};

}  // namespace sim
