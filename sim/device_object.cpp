#include "sim/device_object.h"

#include <winternl.h>

namespace sim {

DWORD ToWin32Error(NtStatus s) { return RtlNtStatusToDosError(s); }

IoStatus DeviceObject::Write(const void*, ULONG, OVERLAPPED*) { return {kStatusInvalidDeviceRequest, 0}; }

void CompleteIo(OVERLAPPED* overlapped, IoStatus result) {
  overlapped->InternalHigh = result.information;
  overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(result.status));
  auto event = reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~static_cast<ULONG_PTR>(1);
  if (event) SetEvent(reinterpret_cast<HANDLE>(event));
}

}  // namespace sim
