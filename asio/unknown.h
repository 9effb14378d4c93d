#pragma once
// The COM base of the driver's classes. Each object has a non-delegating
// IUnknown (its own reference count) and a controlling unknown that its public
// interfaces forward to: the outer object when it is aggregated, else its own
// non-delegating interface.
#include <windows.h>
#include <unknwn.h>

namespace orvi {

struct INonDelegatingUnknown {
  virtual HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingAddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE NonDelegatingRelease() = 0;
  virtual ~INonDelegatingUnknown() = default;  // the deleting destructor's slot
};

class CUnknown : public INonDelegatingUnknown {
 public:
  // Counts the object in g_cObjects until it is destroyed.
  explicit CUnknown(LPUNKNOWN pUnkOuter);
  ~CUnknown() override;
  CUnknown(const CUnknown&) = delete;
  CUnknown& operator=(const CUnknown&) = delete;

  // IID_IUnknown gives this object; anything else E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE NonDelegatingAddRef() override;
  // Destroys the object when the count reaches 0.
  ULONG STDMETHODCALLTYPE NonDelegatingRelease() override;

  LPUNKNOWN GetOwner() const { return m_pUnknown; }

  // COM objects live on the module's heap, zero-filled; `new` gives null when
  // it is exhausted.
  static void* operator new(size_t size) noexcept;
  static void operator delete(void* p) noexcept;

 protected:
  // Hands out `pv` as the interface asked for, with a reference.
  static HRESULT GetInterface(LPUNKNOWN pv, void** ppv);

  volatile LONG m_cRef = 0;
  LPUNKNOWN m_pUnknown;
};

}  // namespace orvi
