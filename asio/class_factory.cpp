#include "asio/class_factory.h"

#include "asio/asio_sample.h"
#include "asio/module.h"

namespace orvi {

CAsioClsFactory::CAsioClsFactory(REFCLSID clsid) : CUnknown(nullptr), m_clsid(clsid) {}

HRESULT STDMETHODCALLTYPE CAsioClsFactory::QueryInterface(REFIID riid, void** ppv) {
  return GetOwner()->QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE CAsioClsFactory::AddRef() { return GetOwner()->AddRef(); }

ULONG STDMETHODCALLTYPE CAsioClsFactory::Release() { return GetOwner()->Release(); }

HRESULT STDMETHODCALLTYPE CAsioClsFactory::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    return GetInterface(static_cast<IClassFactory*>(this), ppv);
  }
  *ppv = nullptr;
  return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CAsioClsFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  // An aggregated driver would count its references in the outer object, so
  // the Release below could never destroy a driver that found no device.
  if (pUnkOuter) return CLASS_E_NOAGGREGATION;

  CAsioSample* driver = new CAsioSample(nullptr, m_clsid);
  if (!driver) return E_FAIL;
  static_cast<IASIO*>(driver)->AddRef();
  HRESULT hr = driver->DiscoverDevice();
  if (SUCCEEDED(hr)) hr = driver->NonDelegatingQueryInterface(riid, ppv);
  // Leaves the host's reference, if it got one; else destroys the driver.
  static_cast<IASIO*>(driver)->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE CAsioClsFactory::LockServer(BOOL fLock) {
  if (fLock) {
    InterlockedIncrement(&g_cLocks);
    return S_OK;
  }
  // An unlock without a lock must not let the count go negative, or a later
  // lock would leave it at 0 and the DLL could be unloaded under its holder.
  LONG count = g_cLocks;
  while (count > 0) {
    const LONG seen = InterlockedCompareExchange(&g_cLocks, count - 1, count);
    if (seen == count) break;
    count = seen;
  }
  return S_OK;
}

}  // namespace orvi
