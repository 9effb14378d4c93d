// The HID calls of the device boundary (lab flavour). Handles of the simulated
// device's HID interfaces answer here; others go to the system.
#include <cstring>
#include <memory>
#include <set>

#include "platform/device_api.h"
#include "sim/handle_table.h"
#include "sim/hid_object.h"

namespace dev {
namespace {

// Preparsed data of a simulated HID interface: what HidP_GetCaps reports.
struct SimPreparsed {
  uint32_t magic;
  HIDP_CAPS caps;
};
constexpr uint32_t kPreparsedMagic = 0x50444948;  // "HIDP"

// The preparsed data this process handed out, so that others go to the system.
struct PreparsedRegistry {
  SRWLOCK lock = SRWLOCK_INIT;
  std::set<const void*> live;
};
PreparsedRegistry& Registry() {
  static PreparsedRegistry* r = new PreparsedRegistry;
  return *r;
}
bool IsOurs(const void* p) {
  PreparsedRegistry& r = Registry();
  AcquireSRWLockShared(&r.lock);
  bool found = p && r.live.count(p) != 0;
  ReleaseSRWLockShared(&r.lock);
  return found;
}

std::shared_ptr<sim::HidHandleObject> HidOf(HANDLE device) {
  return std::dynamic_pointer_cast<sim::HidHandleObject>(sim::LookupHandle(device));
}

}  // namespace

void HidD_GetHidGuid(LPGUID guid) { ::HidD_GetHidGuid(guid); }

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes) {
  auto hid = HidOf(device);
  if (!hid) return ::HidD_GetAttributes(device, attributes);
  if (!attributes || !hid->Present()) return FALSE;
  attributes->Size = sizeof(HIDD_ATTRIBUTES);
  attributes->VendorID = hid->Function().vendorId;
  attributes->ProductID = hid->Function().productId;
  attributes->VersionNumber = 0x0100;
  return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data) {
  auto hid = HidOf(device);
  if (!hid) return ::HidD_GetPreparsedData(device, data);
  if (!data || !hid->Present()) return FALSE;
  auto* p = new SimPreparsed{};
  p->magic = kPreparsedMagic;
  p->caps.Usage = 0x01;
  p->caps.UsagePage = 0xFF00;  // vendor-defined
  p->caps.InputReportByteLength = hid->Function().inputReportLength;
  p->caps.OutputReportByteLength = hid->Function().outputReportLength;
  p->caps.NumberOutputValueCaps = 1;
  PreparsedRegistry& r = Registry();
  AcquireSRWLockExclusive(&r.lock);
  r.live.insert(p);
  ReleaseSRWLockExclusive(&r.lock);
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
  return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<SimPreparsed*>(data);
  if (!IsOurs(p)) return ::HidD_FreePreparsedData(data);
  PreparsedRegistry& r = Registry();
  AcquireSRWLockExclusive(&r.lock);
  r.live.erase(p);
  ReleaseSRWLockExclusive(&r.lock);
  delete p;
  return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  auto* p = reinterpret_cast<SimPreparsed*>(data);
  if (IsOurs(p)) {
    if (!caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = p->caps;
    return HIDP_STATUS_SUCCESS;
  }
  return ::HidP_GetCaps(data, caps);
}

}  // namespace dev
