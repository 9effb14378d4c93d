// The driver DLL's entry points: what COM and regsvr32 call.
#include <windows.h>
#include <unknwn.h>

#include "asio/class_factory.h"
#include "asio/module.h"
#include "asio/registration.h"
#include "ks/ks_heap.h"

using orvi::CAsioClsFactory;

extern "C" {

BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD reason, LPVOID /*reserved*/) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      orvi::g_hModule = hInstance;
      // The driver's objects and the kernel-streaming objects come from a
      // heap of the driver's own; without one they use the process heap.
      orvi::g_hHeap = HeapCreate(0, 64 * 1024, 0);
      KsSetHeap(orvi::g_hHeap);
      DisableThreadLibraryCalls(hInstance);
      break;
    case DLL_PROCESS_DETACH:
      if (orvi::g_hHeap) {
        KsSetHeap(nullptr);
        HeapDestroy(orvi::g_hHeap);
        orvi::g_hHeap = nullptr;
      }
      break;
    default:
      break;
  }
  return TRUE;
}

HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return orvi::g_cLocks > 0 || orvi::g_cObjects != 0 ? S_FALSE : S_OK;
}

// The class identifier is made at registration, so the factory takes any.
HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  CAsioClsFactory* factory = new CAsioClsFactory(rclsid);
  if (!factory) return E_FAIL;
  factory->AddRef();
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  factory->Release();
  return hr;
}

HRESULT STDAPICALLTYPE DllRegisterServer() {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(orvi::g_hModule, path, sizeof path);
  if (n == 0 || n >= sizeof path) return E_FAIL;  // n == size: truncated
  return orvi::RegisterDriver(path, ORVI_DRIVER_PRODUCT);
}

HRESULT STDAPICALLTYPE DllUnregisterServer() { return orvi::UnregisterDriver(ORVI_DRIVER_PRODUCT); }

}  // extern "C"
