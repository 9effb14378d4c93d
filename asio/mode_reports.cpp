#include "asio/mode_reports.h"

#include <array>
#include <cstdint>

#include "ks/hid_device.h"
#include "platform/device_api.h"

namespace orvi {
namespace {

// Full- and high-speed HID interrupt transfers carry at most 1024 bytes; a
// device claiming longer output reports is not written to.
constexpr USHORT kMaxReportLength = 1024;

struct ReportBytes {
  uint8_t b1, b2, b3, on, off;
};

constexpr ReportBytes Bytes(ModeReport report) {
  switch (report) {
    case ModeReport::kDsd64:
      return {0xF5, 0x21, 0x32, 0x2E, 0x08};
    case ModeReport::kDsd128:
      return {0xF6, 0x21, 0x33, 0x2E, 0x08};
    case ModeReport::kDsd256:
      return {0xF7, 0x21, 0x34, 0x2E, 0x08};
    case ModeReport::kDop:
    default:
      return {0xF8, 0x21, 0x35, 0x01, 0x00};
  }
}

}  // namespace

void SendModeReport(USHORT vendorId, USHORT productId, ModeReport report, bool on) {
  HidDevice hid;
  USHORT inputLength = 0;
  USHORT outputLength = 0;
  if (OpenHidDevice(&hid, vendorId, productId, &inputLength, &outputLength) &&
      outputLength > 0 && outputLength <= kMaxReportLength) {
    std::array<uint8_t, kMaxReportLength> buffer{};
    const ReportBytes r = Bytes(report);
    buffer[0] = 0x00;  // report id
    buffer[1] = r.b1;
    buffer[2] = r.b2;
    buffer[3] = r.b3;
    buffer[4] = on ? r.on : r.off;
    DWORD written = 0;
    dev::WriteFile(hid.hDevice, buffer.data(), outputLength, &written, nullptr);
  }
  CloseHidDevice(&hid);
}

}  // namespace orvi
