#pragma once
// A KS filter opened by its device-interface path: a snapshot of its pin types,
// sorted by data flow and communication, and its topology nodes.
#include "ks/irp_target.h"
#include "ks/ks_list.h"
#include "ks/ks_node.h"
#include "ks/ks_platform.h"

class CKsPin;

enum KsFilterType : ULONG {
  KS_FILTER_GENERIC = 0,
  KS_FILTER_RENDER = 1,
  KS_FILTER_CAPTURE = 2,
};

class CKsFilter : public CKsIrpTarget, public KsHeapObject {
 public:
  // *phr receives E_INVALIDARG when either text is null (neither is kept then).
  // Longer texts are cut to fit their 260-character members.
  CKsFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr);
  virtual ~CKsFilter();
  CKsFilter(const CKsFilter&) = delete;
  CKsFilter& operator=(const CKsFilter&) = delete;

  // Opens the filter by m_szSymbolicLink.
  virtual HRESULT Instantiate();
  virtual HRESULT EnumerateNodes();
  virtual HRESULT EnumeratePins();
  virtual HRESULT DestroyLists();

  HRESULT ClassifyPins();
  HRESULT GetPinPropertySimple(ULONG nPinId, ULONG nProperty, PVOID pvValue, ULONG cbValue);
  // The buffer comes from KsAlloc and is the caller's, also after a failed
  // read. pcbValid, when given, receives how many bytes of it the device
  // filled (the whole buffer when the request pended and the count is unknown).
  HRESULT GetPinPropertyMulti(ULONG nPinId, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem,
                              PULONG pcbValid = nullptr);

  KsList<CKsNode> m_listNodes;
  KsList<CKsPin> m_listPins;
  KsList<CKsPin> m_listRenderSinkPins;
  KsList<CKsPin> m_listCaptureSourcePins;
  KsList<CKsPin> m_listCaptureSinkPins;
  KsList<CKsPin> m_listRenderSourcePins;
  KsList<CKsPin> m_listNoCommPins;
  ULONG m_eFilterType;
  CHAR m_szSymbolicLink[MAX_PATH];
  CHAR m_szFriendlyName[MAX_PATH];

 protected:
  // Deletes every pin and empties the class lists that refer to them.
  void DeletePins();

 private:
  HRESULT InternalInit();
};
