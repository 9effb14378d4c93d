#include "ks/ks_pin.h"

#include <cstring>

#include "ks/ks_filter.h"
#include "ks/ks_heap.h"
#include "ks/ks_trace.h"
#include "platform/device_api.h"

namespace {

using PFNKSCREATEPIN = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

// Bound once for the life of the process and never unloaded; binding twice
// from two threads is harmless.
HMODULE g_hKsUser = nullptr;
PFNKSCREATEPIN g_pfnKsCreatePin = nullptr;

// The one place that binds KsCreatePin; null when ksuser.dll or the entry is
// missing.
PFNKSCREATEPIN KsBindCreatePin() {
  if (!g_pfnKsCreatePin) {
    if (!g_hKsUser) g_hKsUser = dev::LoadLibraryA("ksuser.dll");
    if (g_hKsUser) g_pfnKsCreatePin = reinterpret_cast<PFNKSCREATEPIN>(
                       reinterpret_cast<void*>(dev::GetProcAddress(g_hKsUser, "KsCreatePin")));
  }
  return g_pfnKsCreatePin;
}

// Reads a multiple-item pin property into *ppItems. *pcbItems receives how
// many bytes of items follow the header, bounded by what the device returned.
// False (buffer freed) on failure.
bool ReadItems(CKsFilter* pFilter, ULONG nId, ULONG nProperty, PKSMULTIPLE_ITEM* ppItems, ULONG* pcbItems) {
  *ppItems = nullptr;
  *pcbItems = 0;
  ULONG cbValid = 0;
  if (FAILED(pFilter->GetPinPropertyMulti(nId, nProperty, ppItems, &cbValid))) {
    KsFree(*ppItems);
    *ppItems = nullptr;
    return false;
  }
  if (*ppItems && cbValid >= sizeof(KSMULTIPLE_ITEM)) *pcbItems = static_cast<ULONG>(cbValid - sizeof(KSMULTIPLE_ITEM));
  return true;
}

// Fixed-size items: the header's count, but never more than arrived.
ULONG FittingCount(PKSMULTIPLE_ITEM pItems, ULONG cbItems, size_t cbItem) {
  if (!pItems) return 0;
  ULONG cFit = static_cast<ULONG>(cbItems / cbItem);
  return pItems->Count < cFit ? pItems->Count : cFit;
}

}  // namespace

HRESULT KsHresultFromWin32Code(DWORD dwCode) {
  LONG lCode = static_cast<LONG>(dwCode);
  if (lCode == 0) return S_OK;
  if (lCode < 0) return static_cast<HRESULT>(lCode);
  return static_cast<HRESULT>(0x80070000u | (dwCode & 0xFFFFu));
}

CKsPin::CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : m_pksPinCreate(nullptr),
      m_cbPinCreateSize(0),
      m_nId(nId),
      m_pFilter(pFilter),
      m_guidCategory{},
      m_Desc{},
      m_ePinType(KS_PIN_GENERIC),
      m_nState(KSSTATE_STOP),
      m_szName{},
      m_fLooped(FALSE),
      m_pInterfaceItems(nullptr),
      m_pMediumItems(nullptr),
      m_pDataRangeItems(nullptr) {
  KsTraceEnter("CKsPin::CKsPin()");
  HRESULT hr = Init();
  *phr = hr;
  KsTraceLeaveResult("CKsPin::CKsPin", hr);
}

CKsPin::~CKsPin() {
  KsTraceEnter("CKsPin::~CKsPin()");
  ClosePin();
  KsFree(m_pksPinCreate);
  KsFree(m_pInterfaceItems);
  KsFree(m_pMediumItems);
  KsFree(m_pDataRangeItems);
  KsTraceLeave("CKsPin::~CKsPin()");
}

HRESULT CKsPin::Init() {
  KsTraceEnter("CKsPin::Init()");
  bool failed = false;
  auto fail = [&](const char* property) {
    KsTracePrint(KSTRACE_PIN_PROPERTY, "Failed to retrieve pin property %s on PinID: %d", property,
                 static_cast<int>(m_nId));
    failed = true;
  };

  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPERTY_PIN_COMMUNICATION, &m_Desc.Communication,
                                             sizeof m_Desc.Communication)))
    fail("KSPROPERTY_PIN_COMMUNICATION");

  ULONG cbItems = 0;
  if (ReadItems(m_pFilter, m_nId, KSPROPERTY_PIN_INTERFACES, &m_pInterfaceItems, &cbItems)) {
    m_Desc.cInterfaces = FittingCount(m_pInterfaceItems, cbItems, sizeof(KSIDENTIFIER));
    if (m_Desc.cInterfaces) m_Desc.pInterfaces = reinterpret_cast<const KSIDENTIFIER*>(m_pInterfaceItems + 1);
  } else {
    fail("KSPROPETY_PIN_INTERFACES");
  }

  if (ReadItems(m_pFilter, m_nId, KSPROPERTY_PIN_MEDIUMS, &m_pMediumItems, &cbItems)) {
    m_Desc.cMediums = FittingCount(m_pMediumItems, cbItems, sizeof(KSIDENTIFIER));
    if (m_Desc.cMediums) m_Desc.pMediums = reinterpret_cast<const KSIDENTIFIER*>(m_pMediumItems + 1);
  } else {
    fail("KSPROPERTY_PIN_MEDIUMS");
  }

  // Data ranges vary in size: the count is kept as given, and whoever walks
  // them stops at m_Desc.cbDataRanges as well.
  if (ReadItems(m_pFilter, m_nId, KSPROPERTY_PIN_DATARANGES, &m_pDataRangeItems, &m_Desc.cbDataRanges)) {
    if (m_Desc.cbDataRanges) {
      m_Desc.cDataRanges = m_pDataRangeItems->Count;
      m_Desc.pDataRanges = reinterpret_cast<const KSDATARANGE*>(m_pDataRangeItems + 1);
    }
  } else {
    fail("KSPROPERTY_PIN_DATARANGES");
  }

  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPERTY_PIN_DATAFLOW, &m_Desc.DataFlow,
                                             sizeof m_Desc.DataFlow)))
    fail("KSPROPERTY_PIN_DATAFLOW");
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPERTY_PIN_CINSTANCES, &m_Desc.CInstances,
                                             sizeof m_Desc.CInstances)))
    fail("KSPROPERTY_PIN_CINSTANCES");
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPERTY_PIN_GLOBALCINSTANCES, &m_Desc.CInstancesGlobal,
                                             sizeof m_Desc.CInstancesGlobal)))
    fail("KSPROPERTY_PIN_GLOBALCINSTANCES");
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPERTY_PIN_CATEGORY, &m_guidCategory,
                                             sizeof m_guidCategory)))
    fail("KSPROPERTY_PIN_CATEGORY");
  // At most 259 bytes; the last character is forced to the terminator so that
  // a name the device did not end stays inside the member.
  if (FAILED(m_pFilter->GetPinPropertySimple(m_nId, KSPROPERTY_PIN_NAME, m_szName, sizeof m_szName - 1)))
    fail("KSPROPERTY_PIN_NAME");
  m_szName[sizeof m_szName / sizeof m_szName[0] - 1] = L'\0';

  HRESULT hr = failed ? 1 : 0;
  KsTraceLeaveResult("CKsPin::Init", hr);
  return hr;
}

HRESULT CKsPin::Instantiate(BOOL fLooped) {
  KsTraceEnter("CKsPin::Instantiate()");
  if (!m_pksPinCreate) {
    KsTraceLeaveResult("CKsPin::Instantiate", S_OK);
    return S_OK;
  }
  m_fLooped = fLooped;
  m_pksPinCreate->Interface.Id = fLooped ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING;
  m_pksPinCreate->PinToHandle = nullptr;

  PFNKSCREATEPIN pfnKsCreatePin = KsBindCreatePin();
  DWORD dwCode = pfnKsCreatePin
                     ? pfnKsCreatePin(m_pFilter->m_handle, m_pksPinCreate, GENERIC_READ | GENERIC_WRITE, &m_handle)
                     : static_cast<DWORD>(ERROR_FILE_NOT_FOUND);
  HRESULT hr = KsHresultFromWin32Code(dwCode);
  if (dwCode != 0) {
    KsTracePrint(KSTRACE_ERROR, "Failed to instantiate pin. hr=0x%08x", static_cast<unsigned>(hr));
    // Whatever the call left there is no instance.
    m_handle = INVALID_HANDLE_VALUE;
  }
  KsTraceLeaveResult("CKsPin::Instantiate", hr);
  return hr;
}

HRESULT CKsPin::SetState(KSSTATE ksState) {
  KsTraceEnter("CKsPin::SetState()");
  HRESULT hr = SetPropertySimple(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &ksState, sizeof ksState);
  if (SUCCEEDED(hr)) {
    m_nState = ksState;
  } else {
    KsTracePrint(KSTRACE_ERROR, "Failed to Set Pin State");
  }
  KsTraceLeaveResult("CKsPin::SetState", hr);
  return hr;
}

void CKsPin::ClosePin() {
  KsTraceEnter("CKsPin::ClosePin()");
  if (IsValidHandle(m_handle)) {
    SetState(KSSTATE_STOP);
    SafeCloseHandle(m_handle);
  }
  KsTraceLeave("CKsPin::ClosePin()");
}

HRESULT CKsPin::Reset() {
  KsTraceEnter("CKsPin::Reset()");
  KSRESET ksReset = KSRESET_BEGIN;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_RESET_STATE, &ksReset, sizeof ksReset, nullptr, 0, nullptr);
  if (FAILED(hr)) KsTracePrint(KSTRACE_ERROR, "IOCTL_KS_RESET_STATE failed");
  ksReset = KSRESET_END;
  hr = SyncIoctl(m_handle, IOCTL_KS_RESET_STATE, &ksReset, sizeof ksReset, nullptr, 0, nullptr);
  if (FAILED(hr)) KsTracePrint(KSTRACE_ERROR, "IOCTL_KS_RESET_STATE failed");
  KsTraceLeaveResult("CKsPin::Reset", hr);
  return hr;
}

namespace {

// Queues one stream packet without waiting: 0 when it completed at once or is
// pending, otherwise the Windows error.
DWORD QueueStreamPacket(HANDLE hPin, ULONG ulIoctl, PKSSTREAM_HEADER pHeader, LPOVERLAPPED pOverlapped) {
  if (!pHeader) return ERROR_INVALID_PARAMETER;
  if (dev::DeviceIoControl(hPin, ulIoctl, nullptr, 0, pHeader, pHeader->Size, nullptr, pOverlapped)) return 0;
  DWORD dwError = GetLastError();
  return dwError == ERROR_IO_PENDING ? 0 : dwError;
}

}  // namespace

HRESULT CKsPin::WriteData(PKSSTREAM_HEADER pHeader, LPOVERLAPPED pOverlapped) {
  KsTraceEnter("CKsPin::WriteData()");
  HRESULT hr = S_OK;
  if (DWORD dwError = QueueStreamPacket(m_handle, IOCTL_KS_WRITE_STREAM, pHeader, pOverlapped)) {
    KsTracePrint(KSTRACE_ERROR, "CKsPin::WriteData's DeviceIoControl Failed!  Error=0x%#08x",
                 static_cast<unsigned>(dwError));
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsPin::WriteData", hr);
  return hr;
}

HRESULT CKsPin::ReadData(PKSSTREAM_HEADER pHeader, LPOVERLAPPED pOverlapped) {
  KsTraceEnter("CKsPin::ReadData()");
  HRESULT hr = S_OK;
  if (DWORD dwError = QueueStreamPacket(m_handle, IOCTL_KS_READ_STREAM, pHeader, pOverlapped)) {
    KsTracePrint(KSTRACE_ERROR, "DeviceIoControl Failed!  Error=0x%08x", static_cast<unsigned>(dwError));
    hr = E_FAIL;
  }
  KsTraceLeaveResult("CKsPin::ReadData", hr);
  return hr;
}

ULONG CKsPin::GetId() {
  KsTraceEnter("CKsPin::GetId()");
  KsTraceLeave("CKsPin::GetId()");
  return m_nId;
}

KSPIN_DATAFLOW CKsPin::GetDataFlow() {
  KsTraceEnter("CKsPin::GetDataFlow()");
  KsTraceLeaveResult("CKsPin::GetDataFlow", 0);
  return m_Desc.DataFlow;
}

KSPIN_COMMUNICATION CKsPin::GetCommunication() {
  KsTraceEnter("CKsPin::GetCommunication()");
  KsTraceLeaveResult("CKsPin::GetCommunication", 0);
  return m_Desc.Communication;
}
