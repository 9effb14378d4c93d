#pragma once
// What a handle of the simulated device leads to: an object that answers
// requests the way a kernel driver completes IRPs.
#include <windows.h>

#include "sim/nt_status.h"

namespace sim {

struct IoStatus {
  NtStatus status = kStatusSuccess;
  ULONG_PTR information = 0;  // bytes transferred, or the size needed
};

struct IoRequest {
  ULONG code = 0;
  const void* in = nullptr;
  ULONG inSize = 0;
  void* out = nullptr;
  ULONG outSize = 0;
  // Never null: the boundary supplies one for callers that passed none. A
  // request answered with kStatusPending is completed later through it.
  OVERLAPPED* overlapped = nullptr;
};

class DeviceObject {
 public:
  virtual ~DeviceObject() = default;
  virtual IoStatus Ioctl(const IoRequest& request) = 0;
  virtual IoStatus Write(const void* data, ULONG size, OVERLAPPED* overlapped);
  // The handle is being closed: requests still pending end as cancelled.
  virtual void OnClose() {}
};

// Finishes a pended request: status and byte count into the OVERLAPPED, then
// its event (low-order bit masked off, as the system does) is signalled.
void CompleteIo(OVERLAPPED* overlapped, IoStatus result);

}  // namespace sim
