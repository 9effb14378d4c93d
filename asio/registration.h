#pragma once
// Registering the driver where ASIO hosts look for it: the host's driver list
// (HKEY_LOCAL_MACHINE\Software\ASIO\<product>, naming the class identifier and
// the DLL) and the COM class (HKEY_CLASSES_ROOT\CLSID\{...}, with the DLL as
// its in-process server). Every registration makes a new class identifier.
#include <windows.h>

namespace orvi {

// Writes both. E_FAIL when the path is missing, a key cannot be created or a
// value cannot be written; E_INVALIDARG for a product name that is empty or
// holds a backslash (it names a single key).
HRESULT RegisterDriver(const char* modulePath, const char* product);

// Removes the product's entry from the driver list, the class key the entry
// names, and the user's settings of the product
// (HKEY_CURRENT_USER\Software\ASIO\<product>). What is missing is skipped, so
// this succeeds also when nothing was registered; E_INVALIDARG as above,
// without touching anything.
HRESULT UnregisterDriver(const char* product);

}  // namespace orvi
