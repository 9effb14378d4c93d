// The run-time binding of "ksuser.dll" (lab flavour): the simulated device's
// KsCreatePin stands in for the library's, and the lab can make the library
// missing.
#include <memory>

#include "ks/ks_platform.h"
#include "platform/device_api.h"
#include "sim/device_model.h"
#include "sim/handle_table.h"
#include "sim/lab_state.h"

namespace {

// Any address of ours serves as the library's module handle.
char g_ksuserModule;
HMODULE SimKsUser() { return reinterpret_cast<HMODULE>(&g_ksuserModule); }

bool IsKsUser(LPCSTR name) {
  if (!name) return false;
  const char* base = name;
  for (const char* p = name; *p; ++p) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  return lstrcmpiA(base, "ksuser.dll") == 0 || lstrcmpiA(base, "ksuser") == 0;
}

DWORD WINAPI SimKsCreatePin(HANDLE filterHandle, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin) {
  auto filter = std::dynamic_pointer_cast<sim::FilterObject>(sim::LookupHandle(filterHandle));
  if (!filter) return ERROR_INVALID_HANDLE;
  if (!connect || !pin) return ERROR_INVALID_PARAMETER;
  return filter->CreatePin(connect, access, pin);
}

}  // namespace

namespace dev {

HMODULE LoadLibraryA(LPCSTR name) {
  if (!IsKsUser(name)) return ::LoadLibraryA(name);
  const sim::LabBlock* b = sim::Lab::Block();
  if (b && b->ksuserMissing) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  return SimKsUser();
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name) {
  if (module != SimKsUser()) return ::GetProcAddress(module, name);
  if (name && reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && lstrcmpA(name, "KsCreatePin") == 0)
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SimKsCreatePin));
  SetLastError(ERROR_PROC_NOT_FOUND);
  return nullptr;
}

}  // namespace dev
