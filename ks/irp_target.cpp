#include "ks/irp_target.h"

#include "ks/ks_heap.h"
#include "ks/ks_trace.h"
#include "platform/device_api.h"

CKsIrpTarget::CKsIrpTarget() {
  KsTraceEnter("CKsIrpTarget::CKsIrpTarget()");
  m_handle = INVALID_HANDLE_VALUE;
  KsTraceLeave("CKsIrpTarget::CKsIrpTarget()");
}

bool CKsIrpTarget::IsValidHandle(HANDLE handle) {
  KsTraceEnter("CKsIrpTarget::IsValidHandle()");
  bool valid = handle != nullptr && handle != INVALID_HANDLE_VALUE;
  KsTraceLeave("CKsIrpTarget::IsValidHandle()");
  return valid;
}

BOOL CKsIrpTarget::SafeCloseHandle(HANDLE& handle) {
  KsTraceEnter("CKsIrpTarget::SafeCloseHandle()");
  BOOL result = TRUE;
  if (IsValidHandle(handle)) {
    result = dev::CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  KsTraceLeave("CKsIrpTarget::SafeCloseHandle()");
  return result;
}

HRESULT CKsIrpTarget::SyncIoctl(HANDLE handle, ULONG ulIoctl, PVOID pvInBuffer, ULONG cbInBuffer,
                                PVOID pvOutBuffer, ULONG cbOutBuffer, PULONG pulBytesReturned) {
  KsTraceEnter("CKsIrpTarget::SyncIoctl()");
  if (!IsValidHandle(handle)) {
    KsTracePrint(KSTRACE_ERROR, "CKsIrpTarget::SyncIoctl Invalid Handle");
    KsTraceLeaveResult("CKsIrpTarget::SyncIoctl", E_FAIL);
    return E_FAIL;
  }
  ULONG ulLocal = 0;
  if (!pulBytesReturned) pulBytesReturned = &ulLocal;

  HANDLE hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!hEvent) {
    KsTracePrint(KSTRACE_ERROR, "CKsIrpTarget::SyncIoctl CreateEvent failed");
    KsTraceLeaveResult("CKsIrpTarget::SyncIoctl", E_OUTOFMEMORY);
    return E_OUTOFMEMORY;
  }
  OVERLAPPED ov = {};
  // The low-order bit keeps the completion away from any I/O completion port.
  ov.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(hEvent) | 1);

  HRESULT hr = S_OK;
  DWORD dwBytes = 0;
  if (dev::DeviceIoControl(handle, ulIoctl, pvInBuffer, cbInBuffer, pvOutBuffer, cbOutBuffer,
                           &dwBytes, &ov)) {
    *pulBytesReturned = dwBytes;
  } else {
    DWORD dwError = GetLastError();
    if (dwError == ERROR_IO_PENDING) {
      DWORD dwWait = WaitForSingleObject(hEvent, INFINITE);
      *pulBytesReturned = 0;
      if (dwWait != WAIT_OBJECT_0) {
        KsTracePrint(KSTRACE_ERROR, "CKsIrpTarget::SyncIoctl WaitForSingleObject failed dwWait:0x%08x",
                     static_cast<unsigned>(dwWait));
        hr = E_FAIL;
      } else if ((static_cast<ULONG>(ov.Internal) >> 30) == 3) {
        // The request completed with an error status (severity "error"): a
        // failure, even though it pended first.
        hr = E_FAIL;
      }
    } else if ((dwError == ERROR_INSUFFICIENT_BUFFER || dwError == ERROR_MORE_DATA) &&
               ulIoctl == IOCTL_KS_PROPERTY && cbOutBuffer == 0) {
      *pulBytesReturned = dwBytes;  // a size query: the size the device needs
    } else {
      *pulBytesReturned = 0;
      hr = E_FAIL;
    }
  }
  SafeCloseHandle(hEvent);
  KsTraceLeaveResult("CKsIrpTarget::SyncIoctl", hr);
  return hr;
}

namespace {

HRESULT PropertySimple(HANDLE handle, REFGUID set, ULONG id, ULONG flags, PVOID value, ULONG size) {
  auto* prop = static_cast<KSPROPERTY*>(KsAlloc(sizeof(KSPROPERTY)));
  if (!prop) return E_OUTOFMEMORY;
  prop->Set = set;
  prop->Id = id;
  prop->Flags = flags;
  ULONG ulBytes = 0;
  // For a set, the value travels in the output position, as KS requests do.
  HRESULT hr = CKsIrpTarget::SyncIoctl(handle, IOCTL_KS_PROPERTY, prop, sizeof(KSPROPERTY), value,
                                       size, &ulBytes);
  KsFree(prop);
  return hr;
}

}  // namespace

HRESULT CKsIrpTarget::GetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue,
                                        ULONG cbValue) {
  KsTraceEnter("CKsIrpTarget::GetPropertySimple()");
  HRESULT hr = PropertySimple(m_handle, guidPropertySet, nProperty, KSPROPERTY_TYPE_GET, pvValue, cbValue);
  KsTraceLeaveResult("CKsIrpTarget::GetPropertySimple", hr);
  return hr;
}

HRESULT CKsIrpTarget::SetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue,
                                        ULONG cbValue) {
  KsTraceEnter("CKsIrpTarget::SetPropertySimple()");
  HRESULT hr = PropertySimple(m_handle, guidPropertySet, nProperty, KSPROPERTY_TYPE_SET, pvValue, cbValue);
  KsTraceLeaveResult("CKsIrpTarget::SetPropertySimple", hr);
  return hr;
}

HRESULT CKsIrpTarget::GetPropertyMulti(REFGUID guidPropertySet, ULONG nProperty,
                                       PKSMULTIPLE_ITEM* ppKsMultipleItem, PULONG pcbValid) {
  KsTraceEnter("CKsIrpTarget::GetPropertyMulti()");
  if (pcbValid) *pcbValid = 0;
  KSPROPERTY prop = {};
  prop.Set = guidPropertySet;
  prop.Id = nProperty;
  prop.Flags = KSPROPERTY_TYPE_GET;

  ULONG cbSize = 0;
  HRESULT hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &prop, sizeof prop, nullptr, 0, &cbSize);
  if (SUCCEEDED(hr) && cbSize != 0) {
    *ppKsMultipleItem = static_cast<PKSMULTIPLE_ITEM>(KsAlloc(cbSize));
    if (!*ppKsMultipleItem) {
      hr = E_OUTOFMEMORY;
    } else {
      ULONG cbRead = 0;
      hr = SyncIoctl(m_handle, IOCTL_KS_PROPERTY, &prop, sizeof prop, *ppKsMultipleItem, cbSize, &cbRead);
      // The buffer is zero-filled, so after a pended read all of it is safe.
      if (SUCCEEDED(hr) && pcbValid) *pcbValid = (cbRead == 0 || cbRead > cbSize) ? cbSize : cbRead;
    }
  }
  KsTraceLeaveResult("CKsIrpTarget::GetPropertyMulti", hr);
  return hr;
}
