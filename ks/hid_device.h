#pragma once
// The device's HID interface, found by USB vendor and product id.
#include <windows.h>

struct HidDevice {
  HANDLE hDevice = INVALID_HANDLE_VALUE;            // synchronous: reports are written here
  HANDLE hDeviceOverlapped = INVALID_HANDLE_VALUE;  // the same interface for overlapped I/O
  USHORT wInputReportLength = 0;
  USHORT wOutputReportLength = 0;
};

// Finds and opens the first present HID interface with these ids whose
// capabilities can be read. 1 when the record is open (also when it already
// was; the lengths are then left alone), 0 otherwise with both handles closed
// and both lengths 0. Null length pointers: 0 with ERROR_INVALID_DATA.
int OpenHidDevice(HidDevice* pHidDevice, USHORT wVendorId, USHORT wProductId, PUSHORT pwInputReportLength,
                  PUSHORT pwOutputReportLength);

// Closes both handles of the record and marks them closed.
void CloseHidDevice(HidDevice* pHidDevice);
