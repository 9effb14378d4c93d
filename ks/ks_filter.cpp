#include "ks/ks_filter.h"

#include <cstring>

#include "common/bounded_text.h"
#include "ks/ks_heap.h"
#include "ks/ks_pin.h"
#include "ks/ks_trace.h"
#include "platform/device_api.h"

namespace {

KSP_PIN PinProperty(ULONG nPinId, ULONG nProperty) {
  KSP_PIN ksPProp = {};
  ksPProp.Property.Set = KSPROPSETID_Pin;
  ksPProp.Property.Id = nProperty;
  ksPProp.Property.Flags = KSPROPERTY_TYPE_GET;
  ksPProp.PinId = nPinId;
  ksPProp.Reserved = 0;
  return ksPProp;
}

}  // namespace

CKsFilter::CKsFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr)
    : m_eFilterType(KS_FILTER_GENERIC), m_szSymbolicLink{}, m_szFriendlyName{} {
  KsTraceEnter("CKsFilter::CKsFilter()");
  HRESULT hr = InternalInit();
  if (!pszSymbolicLink) {
    KsTracePrint(KSTRACE_ERROR, "pszSymbolicLink cannot be NULL");
    hr = E_INVALIDARG;
  }
  if (!pszFriendlyName) {
    KsTracePrint(KSTRACE_ERROR, "pszFriendlyName cannot be NULL");
    hr = E_INVALIDARG;
  }
  if (pszSymbolicLink && pszFriendlyName) {
    orvi::CopyBounded(m_szSymbolicLink, pszSymbolicLink);
    orvi::CopyBounded(m_szFriendlyName, pszFriendlyName);
  }
  *phr = hr;
  KsTraceLeaveResult("CKsFilter::CKsFilter", hr);
}

HRESULT CKsFilter::InternalInit() {
  KsTraceEnter("CKsFilter::InternalInit()");
  m_szSymbolicLink[0] = '\0';
  KsTraceLeaveResult("CKsFilter::InternalInit", S_OK);
  return S_OK;
}

CKsFilter::~CKsFilter() {
  KsTraceEnter("CKsFilter::~CKsFilter()");
  HRESULT hr = DestroyLists();
  SafeCloseHandle(m_handle);
  KsTraceLeaveResult("CKsFilter::~CKsFilter", hr);
}

HRESULT CKsFilter::Instantiate() {
  KsTraceEnter("CKsFilter::Instantiate()");
  HRESULT hr = S_OK;
  // A second open would leak the first handle.
  SafeCloseHandle(m_handle);
  m_handle = dev::CreateFileA(m_szSymbolicLink, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (!IsValidHandle(m_handle)) {
    KsTracePrint(KSTRACE_ERROR, "CKsFilter::Instantiate: CreateFile failed for device %s.  ErrorCode = 0x%08x",
                 m_szSymbolicLink, static_cast<unsigned>(GetLastError()));
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsFilter::Instantiate", hr);
  return hr;
}

HRESULT CKsFilter::GetPinPropertySimple(ULONG nPinId, ULONG nProperty, PVOID pvValue, ULONG cbValue) {
  KsTraceEnter("CKsFilter::GetPinPropertySimple()");
  KSP_PIN ksPProp = PinProperty(nPinId, nProperty);
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &ksPProp, sizeof ksPProp, pvValue, cbValue, nullptr);
  KsTraceLeaveResult("CKsFilter::GetPinPropertySimple", hr);
  return hr;
}

HRESULT CKsFilter::GetPinPropertyMulti(ULONG nPinId, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem,
                                       PULONG pcbValid) {
  KsTraceEnter("CKsFilter::GetPinPropertyMulti()");
  KSP_PIN ksPProp = PinProperty(nPinId, nProperty);
  ULONG cbSize = 0;
  if (pcbValid) *pcbValid = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &ksPProp, sizeof ksPProp, nullptr, 0, &cbSize);
  // Nothing to read: as GetPropertyMulti, success with the pointer untouched.
  if (SUCCEEDED(hr) && cbSize != 0) {
    *ppKsMultipleItem = static_cast<PKSMULTIPLE_ITEM>(KsAlloc(cbSize));
    if (!*ppKsMultipleItem) {
      hr = E_OUTOFMEMORY;
    } else {
      ULONG cbRead = 0;
      hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &ksPProp, sizeof ksPProp, *ppKsMultipleItem, cbSize, &cbRead);
      // A request that pended reports no count; the buffer is zero-filled, so
      // all of it is safe to read then.
      if (SUCCEEDED(hr) && pcbValid) *pcbValid = (cbRead == 0 || cbRead > cbSize) ? cbSize : cbRead;
    }
  }
  KsTraceLeaveResult("CKsFilter::GetPinPropertyMulti", hr);
  return hr;
}

HRESULT CKsFilter::EnumeratePins() {
  KsTraceEnter("CKsFilter::EnumeratePins()");
  ULONG cPins = 0;
  HRESULT hr = GetPinPropertySimple(0, KSPROPERTY_PIN_CTYPES, &cPins, sizeof cPins);
  if (SUCCEEDED(hr)) {
    for (ULONG nPinId = 0; nPinId < cPins; ++nPinId) {
      HRESULT hrPin = S_OK;
      CKsPin* pPin = new CKsPin(this, nPinId, &hrPin);
      if (!pPin) {
        KsTracePrint(KSTRACE_ERROR, "Failed to create pin");
        continue;
      }
      if (FAILED(hrPin)) {
        KsTracePrint(KSTRACE_ERROR, "Failed to construct pin");
        delete pPin;
      } else if (!m_listPins.AddTail(pPin)) {
        KsTracePrint(KSTRACE_ERROR, "Failed to add pin to list");
        delete pPin;
      }
    }
  }
  hr = ClassifyPins();
  if (m_listRenderSinkPins.IsEmpty() && m_listCaptureSourcePins.IsEmpty() && m_listCaptureSinkPins.IsEmpty() &&
      m_listRenderSourcePins.IsEmpty() && m_listNoCommPins.IsEmpty()) {
    KsTracePrint(KSTRACE_ERROR, "Filter is not viable. It has no pins.");
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsFilter::EnumeratePins", hr);
  return hr;
}

HRESULT CKsFilter::ClassifyPins() {
  KsTraceEnter("CKsFilter::ClassifyPins()");
  HRESULT hr = S_OK;
  for (CKsPin* pPin : m_listPins) {
    KSPIN_COMMUNICATION comm = pPin->GetCommunication();
    bool in = pPin->GetDataFlow() == KSPIN_DATAFLOW_IN;
    bool added = true;
    switch (comm) {
      case KSPIN_COMMUNICATION_NONE:
        added = m_listNoCommPins.AddTail(pPin);
        break;
      case KSPIN_COMMUNICATION_SINK:
        added = (in ? m_listRenderSinkPins : m_listCaptureSinkPins).AddTail(pPin);
        break;
      case KSPIN_COMMUNICATION_SOURCE:
        added = (in ? m_listRenderSourcePins : m_listCaptureSourcePins).AddTail(pPin);
        break;
      case KSPIN_COMMUNICATION_BOTH:
        added = (in ? m_listRenderSinkPins : m_listCaptureSinkPins).AddTail(pPin) &&
                (in ? m_listRenderSourcePins : m_listCaptureSourcePins).AddTail(pPin);
        break;
      default:
        KsTracePrint(KSTRACE_NOTE, "Pin communication type not recognized");
        break;
    }
    if (!added) {
      hr = E_OUTOFMEMORY;
      break;
    }
  }
  KsTraceLeaveResult("CKsFilter::ClassifyPins", hr);
  return hr;
}

HRESULT CKsFilter::EnumerateNodes() {
  KsTraceEnter("CKsFilter::EnumerateNodes()");
  while (!m_listNodes.IsEmpty()) delete m_listNodes.RemoveHead();

  PKSMULTIPLE_ITEM pItems = nullptr;
  ULONG cbValid = 0;
  HRESULT hr = GetPropertyMulti(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES, &pItems, &cbValid);
  if (FAILED(hr)) {
    KsTracePrint(KSTRACE_ENUM, "Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES");
    KsFree(pItems);
    KsTraceLeaveResult("CKsFilter::EnumerateNodes", hr);
    return hr;
  }
  ULONG cNodes = 0;
  if (pItems && cbValid >= sizeof(KSMULTIPLE_ITEM)) {
    // Never past what the device returned, whatever its header claims.
    ULONG cFit = static_cast<ULONG>((cbValid - sizeof(KSMULTIPLE_ITEM)) / sizeof(GUID));
    cNodes = pItems->Count < cFit ? pItems->Count : cFit;
  }
  const auto* pGuids = reinterpret_cast<const GUID*>(pItems + 1);
  for (ULONG i = 0; i < cNodes; ++i) {
    GUID guidType;
    std::memcpy(&guidType, pGuids + i, sizeof guidType);
    CKsNode* pNode = new CKsNode(i, guidType);
    if (pNode && !m_listNodes.AddTail(pNode)) delete pNode;
  }
  if (m_listNodes.GetCount() != cNodes) {
    while (!m_listNodes.IsEmpty()) delete m_listNodes.RemoveHead();
    hr = E_FAIL;
  } else {
    hr = S_OK;
  }
  KsFree(pItems);
  KsTraceLeaveResult("CKsFilter::EnumerateNodes", hr);
  return hr;
}

HRESULT CKsFilter::DestroyLists() {
  KsTraceEnter("CKsFilter::DestroyLists()");
  while (!m_listNodes.IsEmpty()) delete m_listNodes.RemoveHead();
  DeletePins();
  KsTraceLeaveResult("CKsFilter::DestroyLists", S_OK);
  return S_OK;
}

void CKsFilter::DeletePins() {
  while (!m_listPins.IsEmpty()) delete m_listPins.RemoveHead();
  m_listRenderSinkPins.RemoveAll();
  m_listCaptureSourcePins.RemoveAll();
  m_listCaptureSinkPins.RemoveAll();
  m_listRenderSourcePins.RemoveAll();
  m_listNoCommPins.RemoveAll();
}
