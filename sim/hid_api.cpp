// The HID calls of the device boundary (lab flavour). Handles of the simulated
// device's HID interfaces answer here; others go to the system.
#include <memory>

#include "platform/device_api.h"
#include "sim/handle_table.h"
#include "sim/hid_object.h"
#include "sim/issued_pointers.h"

namespace dev {
namespace {

// Preparsed data of a simulated HID interface: what HidP_GetCaps reports.
struct SimPreparsed {
  HIDP_CAPS caps;
};

// The preparsed data this process handed out; any other goes to the system.
sim::IssuedPointers& Issued() {
  static auto* issued = new sim::IssuedPointers;
  return *issued;
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
  p->caps.Usage = 0x01;
  p->caps.UsagePage = 0xFF00;  // vendor-defined
  p->caps.InputReportByteLength = hid->Function().inputReportLength;
  p->caps.OutputReportByteLength = hid->Function().outputReportLength;
  p->caps.NumberOutputValueCaps = 1;
  Issued().Add(p);
  *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(p);
  return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data) {
  auto* p = reinterpret_cast<SimPreparsed*>(data);
  if (!Issued().Remove(p)) return ::HidD_FreePreparsedData(data);
  delete p;
  return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps) {
  auto* p = reinterpret_cast<SimPreparsed*>(data);
  if (Issued().Contains(p)) {
    if (!caps) return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = p->caps;
    return HIDP_STATUS_SUCCESS;
  }
  return ::HidP_GetCaps(data, caps);
}

}  // namespace dev
