#pragma once
// The vendor HID reports that switch the device's DSD modes and tell it of a
// DoP stream. Native DSD travels as raw bits in PCM containers, so nothing in
// the stream itself tells the device; these reports do.
#include <windows.h>

namespace orvi {

enum class ModeReport { kDsd64, kDsd128, kDsd256, kDop };

// Finds the device's HID interface by its ids, writes the report (zero-filled
// to the interface's output report length) and closes the interface again. A
// missing interface or an output report length of 0 sends nothing; the write's
// result is not reported.
void SendModeReport(USHORT vendorId, USHORT productId, ModeReport report, bool on);

}  // namespace orvi
