#pragma once
// A HID interface of the simulated device: its attributes and capabilities, the
// sharing rules of HID handles, and output reports that act on the device.
#include <windows.h>

#include <cstdint>
#include <memory>

#include "sim/device_object.h"

namespace sim {

// One HID function; every handle opened on it shares this.
struct HidFunctionState {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t inputReportLength = 0;
  uint16_t outputReportLength = 0;
  bool isDevice = false;  // the device's own function: its reports act on the device
  bool overlappedOpen = true;  // false: opens for overlapped I/O are refused
  SRWLOCK lock = SRWLOCK_INIT;
  // Access and sharing of the handles open now, as the I/O manager keeps them.
  ULONG openCount = 0, readers = 0, writers = 0, sharedRead = 0, sharedWrite = 0;
};

class HidHandleObject : public DeviceObject {
 public:
  // Checks the sharing of a new open against the open handles and counts it;
  // null with `status` set when the open must fail.
  static std::shared_ptr<HidHandleObject> Open(std::shared_ptr<HidFunctionState> function, LONG generation,
                                               DWORD access, DWORD share, DWORD flags, NtStatus& status);
  ~HidHandleObject() override;

  IoStatus Ioctl(const IoRequest& request) override;
  IoStatus Write(const void* data, ULONG size, OVERLAPPED* overlapped) override;
  const HidFunctionState& Function() const { return *m_function; }
  bool Present() const;

 private:
  HidHandleObject(std::shared_ptr<HidFunctionState> function, LONG generation, DWORD access, DWORD share)
      : m_function(std::move(function)), m_generation(generation), m_access(access), m_share(share) {}
  std::shared_ptr<HidFunctionState> m_function;
  LONG m_generation;
  DWORD m_access;
  DWORD m_share;
};

// What an output report of the device's own HID function does to the device.
void ActOnReport(const uint8_t* report, ULONG length);

}  // namespace sim
