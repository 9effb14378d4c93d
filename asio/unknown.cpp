#include "asio/unknown.h"

#include "asio/module.h"

namespace orvi {

CUnknown::CUnknown(LPUNKNOWN pUnkOuter)
    : m_pUnknown(pUnkOuter ? pUnkOuter
                           : reinterpret_cast<LPUNKNOWN>(static_cast<INonDelegatingUnknown*>(this))) {
  InterlockedIncrement(&g_cObjects);
}

CUnknown::~CUnknown() { InterlockedDecrement(&g_cObjects); }

HRESULT STDMETHODCALLTYPE CUnknown::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown)) {
    return GetInterface(reinterpret_cast<LPUNKNOWN>(static_cast<INonDelegatingUnknown*>(this)), ppv);
  }
  *ppv = nullptr;
  return E_INVALIDARG;
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingAddRef() {
  return static_cast<ULONG>(InterlockedIncrement(&m_cRef));
}

ULONG STDMETHODCALLTYPE CUnknown::NonDelegatingRelease() {
  const LONG count = InterlockedDecrement(&m_cRef);
  if (count == 0) {
    // Whatever the destructor does to our own count must not start a second
    // destruction.
    m_cRef = 1;
    delete this;
    return 0;
  }
  return static_cast<ULONG>(count);
}

HRESULT CUnknown::GetInterface(LPUNKNOWN pv, void** ppv) {
  *ppv = pv;
  pv->AddRef();
  return S_OK;
}

void* CUnknown::operator new(size_t size) noexcept { return ModuleAlloc(size); }
void CUnknown::operator delete(void* p) noexcept { ModuleFree(p); }

}  // namespace orvi
