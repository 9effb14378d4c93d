// A driver DLL serving the fake driver object, for running asiohost.exe against
// a driver it loads through COM as it will load the real one. It serves
// whichever class it is asked for, so each test registers it under a class id
// of its own. ORVI_FAKE_ASIO=noinit in the host's environment makes init fail.
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "tests/tools/fake_asio_driver.h"

namespace {

LONG g_objects = 0;

class DllDriver final : public orvi::test::FakeAsioDriver {
 public:
  DllDriver() {
    InterlockedIncrement(&g_objects);
    char mode[16] = {};
    if (GetEnvironmentVariableA("ORVI_FAKE_ASIO", mode, sizeof mode) > 0 && std::strcmp(mode, "noinit") == 0) {
      initAnswer = ASIOFalse;
      errorMessage = std::string("no device found", 16);
    }
  }
  ~DllDriver() { InterlockedDecrement(&g_objects); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
};

class Factory : public orvi::test::StaticClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID, void** out) override {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    *out = static_cast<IASIO*>(new DllDriver);
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" __attribute__((dllexport)) HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID iid, void** out) {
  return g_factory.QueryInterface(iid, out);
}

extern "C" __attribute__((dllexport)) HRESULT STDAPICALLTYPE DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }
