#pragma once
// The device boundary: every call that reaches the device goes through `dev::`.
// In the release flavour these are the Win32 functions themselves; in the lab
// flavour they reach the simulated device, which hands anything that is not its
// own (ordinary files, events, other handles) on to Win32 unchanged.
#include <windows.h>

namespace dev {

#ifdef ORVI_LAB
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);
#else
using ::CloseHandle;
using ::CreateFileA;
using ::DeviceIoControl;
using ::WriteFile;
#endif

}  // namespace dev

#include "platform/unique_handle.h"

namespace orvi {
// A handle opened through the device boundary, closed through it.
struct DeviceClose {
  void operator()(HANDLE h) const { dev::CloseHandle(h); }
};
using UniqueDeviceHandle = BasicUniqueHandle<DeviceClose>;
}  // namespace orvi
