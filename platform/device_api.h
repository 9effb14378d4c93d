#pragma once
// The device boundary: every call that reaches the device goes through `dev::`.
// In the release flavour these are the Win32 functions themselves; in the lab
// flavour they reach the simulated device, which hands anything that is not its
// own (ordinary files, events, other device classes) on to Win32 unchanged.
#include <windows.h>
#include <setupapi.h>
// The HID headers do not declare C linkage themselves.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

namespace dev {

#ifdef ORVI_LAB
// Files and I/O on device interfaces.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE handle, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped);
BOOL CloseHandle(HANDLE handle);

// Device enumeration.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device);
BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, const GUID* aliasClass,
                                    PSP_DEVICE_INTERFACE_DATA alias);
BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD requiredSize);
BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA device, PSTR id, DWORD size,
                                 PDWORD requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// HID.
void HidD_GetHidGuid(LPGUID guid);
BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);

// Run-time binding of the kernel-streaming user library ("ksuser.dll").
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
#else
using ::CloseHandle;
using ::CreateFileA;
using ::DeviceIoControl;
using ::GetProcAddress;
using ::HidD_FreePreparsedData;
using ::HidD_GetAttributes;
using ::HidD_GetHidGuid;
using ::HidD_GetPreparsedData;
using ::HidP_GetCaps;
using ::LoadLibraryA;
using ::SetupDiDestroyDeviceInfoList;
using ::SetupDiEnumDeviceInfo;
using ::SetupDiEnumDeviceInterfaces;
using ::SetupDiGetClassDevsA;
using ::SetupDiGetDeviceInstanceIdA;
using ::SetupDiGetDeviceInterfaceAlias;
using ::SetupDiGetDeviceInterfaceDetailA;
using ::SetupDiGetDeviceRegistryPropertyA;
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
