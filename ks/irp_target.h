#pragma once
// The kernel handle of a KS filter or pin, and synchronous requests on it.
#include "ks/ks_platform.h"

class CKsIrpTarget {
 public:
  CKsIrpTarget();

  // Neither null nor INVALID_HANDLE_VALUE.
  static bool IsValidHandle(HANDLE handle);
  // Closes a valid handle and invalidates it; TRUE without a call otherwise.
  static BOOL SafeCloseHandle(HANDLE& handle);
  // One device I/O control request, waited for. pBytes may be null.
  static HRESULT SyncIoctl(HANDLE handle, ULONG ulIoctl, PVOID pvInBuffer, ULONG cbInBuffer,
                           PVOID pvOutBuffer, ULONG cbOutBuffer, PULONG pulBytesReturned);

  // Fixed-size KS property of m_handle.
  HRESULT GetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue, ULONG cbValue);
  HRESULT SetPropertySimple(REFGUID guidPropertySet, ULONG nProperty, PVOID pvValue, ULONG cbValue);
  // Variable-size KS property of m_handle into a buffer from KsAlloc that the
  // caller frees with KsFree, whether the read succeeded or not. pcbValid,
  // when given, receives how many bytes of it the device filled (all of it
  // when the request pended and reported no count), to bound a header that
  // claims more.
  HRESULT GetPropertyMulti(REFGUID guidPropertySet, ULONG nProperty, PKSMULTIPLE_ITEM* ppKsMultipleItem,
                           PULONG pcbValid = nullptr);

  HANDLE m_handle;
};
