#include "asio/dop_detector.h"

namespace orvi {
namespace {

bool IsMarker(uint8_t m) { return m == 0x05 || m == 0xFA || m == 0xAA; }

// The marker that follows `e` when the markers take turns; 0xAA stays.
uint8_t NextMarker(uint8_t e) { return e == 0xAA ? e : static_cast<uint8_t>(0xFF - e); }

}  // namespace

bool DetectDop(const uint8_t* samples, size_t frames, unsigned containerBits) {
  if (!samples || frames == 0 || (containerBits != 24 && containerBits != 32)) return false;
  const size_t stride = containerBits / 8;
  const size_t top = stride - 1;  // the marker is the sample's last byte
  auto marker = [&](size_t j) { return samples[j * stride + top]; };

  // Markers change every frame when the first two differ, else every second frame.
  const bool everyFrame = frames >= 2 && marker(0) != marker(1);
  bool toggle = false;
  uint8_t expected = 0;
  for (size_t j = 0; j < frames; ++j) {
    const uint8_t m = marker(j);
    if (!IsMarker(m)) return false;
    if (!toggle) {
      expected = j == 0 ? m : NextMarker(expected);
    } else if (everyFrame) {
      expected = NextMarker(expected);
    }
    if (m != expected) return false;
    toggle = !toggle;
  }
  return true;
}

}  // namespace orvi
