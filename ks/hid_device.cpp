#include "ks/hid_device.h"

#include "ks/ks_heap.h"
#include "platform/device_api.h"

namespace {

constexpr DWORD kMaxInterfaces = 256;

bool IsValid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

void CloseValid(HANDLE& h) {
  if (IsValid(h)) dev::CloseHandle(h);
  h = INVALID_HANDLE_VALUE;
}

HANDLE OpenPath(const char* path, DWORD flags) {
  return dev::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, flags, nullptr);
}

// Whether the interface open in hDevice is the one asked for; if so the
// report lengths are taken from its capabilities.
bool Matches(HidDevice& d, USHORT wVendorId, USHORT wProductId) {
  if (!IsValid(d.hDevice)) return false;
  HIDD_ATTRIBUTES attributes = {};
  attributes.Size = sizeof attributes;
  if (!dev::HidD_GetAttributes(d.hDevice, &attributes)) return false;
  if (attributes.VendorID != wVendorId || attributes.ProductID != wProductId) return false;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!dev::HidD_GetPreparsedData(d.hDevice, &preparsed)) return false;
  HIDP_CAPS caps = {};
  bool ok = dev::HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  dev::HidD_FreePreparsedData(preparsed);  // also when the capabilities could not be read
  if (ok) {
    d.wInputReportLength = caps.InputReportByteLength;
    d.wOutputReportLength = caps.OutputReportByteLength;
  }
  return ok;
}

}  // namespace

int OpenHidDevice(HidDevice* pHidDevice, USHORT wVendorId, USHORT wProductId, PUSHORT pwInputReportLength,
                  PUSHORT pwOutputReportLength) {
  if (!pHidDevice || !pwInputReportLength || !pwOutputReportLength) {
    SetLastError(ERROR_INVALID_DATA);
    return 0;
  }
  HidDevice& d = *pHidDevice;
  if (IsValid(d.hDevice) && IsValid(d.hDeviceOverlapped)) return 1;

  GUID hidGuid;
  dev::HidD_GetHidGuid(&hidGuid);
  HDEVINFO set = dev::SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return 0;

  bool found = false;
  PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = nullptr;
  for (DWORD index = 0; index < kMaxInterfaces && !found; ++index) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!dev::SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data)) {
      if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
      continue;
    }
    DWORD needed = 0;
    if (!dev::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
      break;
    // The size must hold the header and at least the path's terminator.
    if (needed < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) break;
    KsFree(detail);
    detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(KsAlloc(needed + 1));
    if (!detail) break;
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!dev::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr)) continue;

    CloseValid(d.hDevice);
    d.hDevice = OpenPath(detail->DevicePath, 0);
    if (!Matches(d, wVendorId, wProductId)) continue;
    CloseValid(d.hDeviceOverlapped);
    d.hDeviceOverlapped = OpenPath(detail->DevicePath, FILE_FLAG_OVERLAPPED);
    found = IsValid(d.hDeviceOverlapped);
  }
  dev::SetupDiDestroyDeviceInfoList(set);
  KsFree(detail);

  if (!found) {
    d.wInputReportLength = 0;
    d.wOutputReportLength = 0;
    CloseHidDevice(&d);
  }
  *pwInputReportLength = d.wInputReportLength;
  *pwOutputReportLength = d.wOutputReportLength;
  return found ? 1 : 0;
}

void CloseHidDevice(HidDevice* pHidDevice) {
  if (!pHidDevice) return;
  CloseValid(pHidDevice->hDevice);
  CloseValid(pHidDevice->hDeviceOverlapped);
}
