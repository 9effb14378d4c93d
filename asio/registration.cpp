#include "asio/registration.h"

#include <objbase.h>

#include <cstring>
#include <string>

#include "platform/registry_key.h"

namespace orvi {

namespace {

constexpr const char* kAsioKey = "Software\\ASIO";

// A product name becomes one key name under Software\ASIO: an empty one would
// address Software\ASIO itself (and unregistering would then delete every
// driver's settings), a backslash another key.
bool ValidProduct(const char* product) {
  return product && *product && !std::strchr(product, '\\');
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}": 38 characters and the NUL.
constexpr int kGuidChars = 39;

std::string ClassKeyPath(const GUID& guid) {
  wchar_t wide[kGuidChars];
  StringFromGUID2(guid, wide, kGuidChars);
  std::string path = "CLSID\\";
  for (const wchar_t* p = wide; *p; ++p) path += static_cast<char>(*p);
  return path;
}

bool SetString(HKEY key, const char* name, const char* value) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>(std::strlen(value) + 1)) == ERROR_SUCCESS;
}

// The class identifier the driver list names, when it holds one in registry
// form. Anything else (another type, too long, unterminated, not braced) is not
// parsed: CLSIDFromString would take an unbraced string for a ProgID and look
// up some other class.
bool ReadClassId(HKEY productKey, GUID& guid) {
  wchar_t text[261];  // 520 bytes and room for a NUL the value may lack
  DWORD type = 0;
  DWORD size = 520;
  if (RegQueryValueExW(productKey, L"CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
      ERROR_SUCCESS)
    return false;
  if (type != REG_SZ) return false;
  text[size / sizeof(wchar_t)] = L'\0';
  if (wcslen(text) != kGuidChars - 1 || text[0] != L'{' || text[kGuidChars - 2] != L'}') return false;
  return SUCCEEDED(CLSIDFromString(text, &guid));
}

}  // namespace

HRESULT RegisterDriver(const char* modulePath, const char* product) {
  if (!modulePath || !*modulePath) return E_FAIL;
  if (!ValidProduct(product)) return E_INVALIDARG;

  GUID guid;
  if (FAILED(CoCreateGuid(&guid))) return E_FAIL;
  wchar_t guidText[kGuidChars];
  const int guidChars = StringFromGUID2(guid, guidText, kGuidChars);  // counts the NUL
  if (guidChars != kGuidChars) return E_FAIL;

  {
    RegistryKey asio = RegistryKey::Create(HKEY_LOCAL_MACHINE, kAsioKey, KEY_ALL_ACCESS);
    if (!asio) return E_FAIL;
    RegistryKey entry = RegistryKey::Create(asio.get(), product, KEY_ALL_ACCESS);
    if (!entry) return E_FAIL;
    const bool written =
        RegSetValueExW(entry.get(), L"CLSID", 0, REG_SZ, reinterpret_cast<const BYTE*>(guidText),
                       static_cast<DWORD>(guidChars * sizeof(wchar_t))) == ERROR_SUCCESS &&
        SetString(entry.get(), "Driver", modulePath);
    if (!written) return E_FAIL;
  }

  RegistryKey classKey = RegistryKey::Create(HKEY_CLASSES_ROOT, ClassKeyPath(guid).c_str(), KEY_ALL_ACCESS);
  if (!classKey) return E_FAIL;
  bool server = false;
  {
    RegistryKey inproc = RegistryKey::Create(classKey.get(), "InprocServer32", KEY_ALL_ACCESS);
    server = inproc && SetString(inproc.get(), nullptr, modulePath) &&
             SetString(inproc.get(), "ThreadingModel", "Apartment");
  }
  // The name goes on also without a server key, so that the class key a failed
  // registration leaves behind says whose it is.
  const bool named = SetString(classKey.get(), "FriendlyName", product);
  return server && named ? S_OK : E_FAIL;
}

HRESULT UnregisterDriver(const char* product) {
  if (!ValidProduct(product)) return E_INVALIDARG;

  if (RegistryKey asio = RegistryKey::Open(HKEY_LOCAL_MACHINE, kAsioKey, KEY_ALL_ACCESS)) {
    if (RegistryKey entry = RegistryKey::Open(asio.get(), product, KEY_ALL_ACCESS)) {
      GUID guid;
      if (ReadClassId(entry.get(), guid)) {
        const std::string classPath = ClassKeyPath(guid);
        RegDeleteKeyA(HKEY_CLASSES_ROOT, (classPath + "\\InprocServer32").c_str());
        RegDeleteKeyA(HKEY_CLASSES_ROOT, classPath.c_str());
      }
      entry.reset();
      RegDeleteKeyA(asio.get(), product);
    }
  }
  // The user's settings of the driver go with it.
  if (RegistryKey settings = RegistryKey::Open(HKEY_CURRENT_USER, kAsioKey, KEY_ALL_ACCESS)) {
    RegDeleteTreeA(settings.get(), product);
  }
  return S_OK;
}

}  // namespace orvi
