#pragma once
// Handles of the simulated device. Each is backed by a real kernel object, so
// its value is unique in the process and never taken by another handle while
// it is open.
#include <windows.h>

#include <memory>

#include "sim/device_object.h"

namespace sim {

// A new handle leading to `object`; null when the process is out of handles.
HANDLE AttachHandle(std::shared_ptr<DeviceObject> object);
// The object behind `handle`, or null when it is not a device handle.
std::shared_ptr<DeviceObject> LookupHandle(HANDLE handle);
// Closes a device handle (OnClose, then the backing object). False when the
// handle is not one of the device's.
bool DetachHandle(HANDLE handle);
// Device handles open in this process (handle values are reused, so tests
// that check for leaks count instead).
size_t OpenHandleCount();

}  // namespace sim
