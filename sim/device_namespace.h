#pragma once
// The device-interface paths the simulated device answers CreateFileA on.
#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "sim/device_object.h"

namespace sim {

struct OpenRequest {
  DWORD access = 0;
  DWORD share = 0;
  DWORD disposition = 0;
  DWORD flags = 0;
};

// Answers an open: kStatusSuccess with an object, or an error status (access
// denied, sharing violation, no such device ...).
using OpenHandler = std::function<NtStatus(const OpenRequest&, std::shared_ptr<DeviceObject>& object)>;

// Paths compare without regard to case, as Windows compares them.
void PublishPath(const std::string& path, OpenHandler handler);
void WithdrawPath(const std::string& path);
// False when `path` is not published (the open goes on to Win32).
bool OpenPath(const char* path, const OpenRequest& request, NtStatus& status,
              std::shared_ptr<DeviceObject>& object);

}  // namespace sim
