// The lab flavour's device boundary: requests on the simulated device's paths
// and handles go to it; everything else goes on to Win32 unchanged.
#include "platform/device_api.h"
#include "platform/unique_handle.h"
#include "sim/device_model.h"
#include "sim/device_namespace.h"
#include "sim/handle_table.h"

namespace dev {
namespace {

// A request's final status in the caller's terms: the byte count, then TRUE or
// FALSE with the last error set.
BOOL Finish(sim::IoStatus result, LPDWORD bytes) {
  if (bytes) *bytes = static_cast<DWORD>(result.information);
  if (sim::IsSuccess(result.status)) return TRUE;
  SetLastError(sim::ToWin32Error(result.status));
  return FALSE;
}

// Runs one request against a device object with the conventions of a handle
// opened for overlapped I/O. A caller without an OVERLAPPED waits here, as the
// system waits for it on a synchronous handle.
template <typename Issue>
BOOL Request(LPOVERLAPPED overlapped, LPDWORD bytes, Issue issue) {
  OVERLAPPED local = {};
  orvi::UniqueHandle localEvent;
  LPOVERLAPPED ov = overlapped;
  if (!ov) {
    localEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!localEvent) return FALSE;
    local.hEvent = localEvent.get();
    ov = &local;
  }
  ov->Internal = static_cast<ULONG_PTR>(sim::kStatusPending);
  ov->InternalHigh = 0;
  sim::IoStatus result = issue(ov);
  if (result.status == sim::kStatusPending) {
    if (overlapped) {
      SetLastError(ERROR_IO_PENDING);
      return FALSE;
    }
    WaitForSingleObject(localEvent.get(), INFINITE);
    result = {static_cast<sim::NtStatus>(static_cast<ULONG>(ov->Internal)), ov->InternalHigh};
  } else if (!sim::IsError(result.status)) {
    sim::CompleteIo(ov, result);  // completed at once: the event is signalled too
  } else {
    ov->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(result.status));
  }
  return Finish(result, bytes);
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile) {
  sim::NtStatus status = sim::kStatusSuccess;
  std::shared_ptr<sim::DeviceObject> object;
  sim::OpenRequest request{access, share, disposition, flags};
  bool ours = sim::OpenPath(path, request, status, object);
  if (!ours && path) {
    if (auto model = sim::DeviceModel::Current()) ours = model->Open(path, request, status, object);
  }
  // USB and HID interface paths belong to the simulated buses: one that is not
  // present is not found, as on a system without the device.
  if (!ours && path && (_strnicmp(path, R"(\\?\usb#)", 8) == 0 || _strnicmp(path, R"(\\?\hid#)", 8) == 0)) {
    ours = true;
    status = sim::kStatusObjectNameNotFound;
  }
  if (!ours) return ::CreateFileA(path, access, share, security, disposition, flags, templateFile);
  if (sim::IsSuccess(status) && !object) status = sim::kStatusObjectNameNotFound;
  if (!sim::IsSuccess(status)) {
    SetLastError(sim::ToWin32Error(status));
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = sim::AttachHandle(std::move(object));
  return h ? h : INVALID_HANDLE_VALUE;
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped) {
  auto object = sim::LookupHandle(handle);
  if (!object) {
    return ::DeviceIoControl(handle, code, in, inSize, out, outSize, bytesReturned, overlapped);
  }
  return Request(overlapped, bytesReturned, [&](OVERLAPPED* ov) {
    return object->Ioctl({code, in, inSize, out, outSize, ov});
  });
}

BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped) {
  auto object = sim::LookupHandle(handle);
  if (!object) return ::WriteFile(handle, data, size, written, overlapped);
  return Request(overlapped, written, [&](OVERLAPPED* ov) { return object->Write(data, size, ov); });
}

BOOL CloseHandle(HANDLE handle) {
  if (sim::DetachHandle(handle)) return TRUE;
  return ::CloseHandle(handle);
}

}  // namespace dev
