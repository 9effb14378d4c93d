#pragma once
// The class factory COM hands to a host that creates the driver. It makes one
// driver object per CreateInstance, for the class identifier the host asked
// for (the driver's identifier is made at registration, so any is accepted).
#include <windows.h>
#include <unknwn.h>

#include "asio/unknown.h"

namespace orvi {

class CAsioClsFactory : public IClassFactory, public CUnknown {
 public:
  explicit CAsioClsFactory(REFCLSID clsid);

  const CLSID& ClassId() const { return m_clsid; }

  // IUnknown: forwarded to the controlling unknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IID_IUnknown and IID_IClassFactory give the factory; anything else E_FAIL.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // A driver object for the device it finds: E_FAIL when there is no device
  // (the object is destroyed), else the object's answer to `riid`. The driver
  // cannot be aggregated: CLASS_E_NOAGGREGATION for an outer object.
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  // Counts in g_cLocks, which keeps the DLL loaded while positive.
  HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

 private:
  CLSID m_clsid;
};

}  // namespace orvi
