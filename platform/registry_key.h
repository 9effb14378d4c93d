#pragma once
// Owning wrapper for an open registry key.
#include <windows.h>

#include <utility>

namespace orvi {

class RegistryKey {
 public:
  RegistryKey() = default;
  explicit RegistryKey(HKEY key) : m_key(key) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  RegistryKey(RegistryKey&& o) noexcept : m_key(std::exchange(o.m_key, nullptr)) {}
  RegistryKey& operator=(RegistryKey&& o) noexcept {
    if (this != &o) reset(std::exchange(o.m_key, nullptr));
    return *this;
  }
  ~RegistryKey() { reset(); }

  // Opens or creates `subKey` under `parent`; an empty key on failure, with the
  // error in `*result` when given.
  static RegistryKey Open(HKEY parent, const char* subKey, REGSAM access, LONG* result = nullptr) {
    HKEY key = nullptr;
    LONG rc = ::RegOpenKeyExA(parent, subKey, 0, access, &key);
    if (result) *result = rc;
    return RegistryKey(rc == ERROR_SUCCESS ? key : nullptr);
  }
  static RegistryKey Create(HKEY parent, const char* subKey, REGSAM access, LONG* result = nullptr) {
    HKEY key = nullptr;
    LONG rc = ::RegCreateKeyExA(parent, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key,
                                nullptr);
    if (result) *result = rc;
    return RegistryKey(rc == ERROR_SUCCESS ? key : nullptr);
  }

  HKEY get() const { return m_key; }
  explicit operator bool() const { return m_key != nullptr; }
  void reset(HKEY key = nullptr) {
    if (m_key) ::RegCloseKey(m_key);
    m_key = key;
  }

 private:
  HKEY m_key = nullptr;
};

}  // namespace orvi
