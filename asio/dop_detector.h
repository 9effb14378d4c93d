#pragma once
// DoP (DSD over PCM) recognition in the host's output. In a DoP stream the
// most significant byte of every PCM sample is a marker: 0x05 and 0xFA taking
// turns (every frame, or every second frame), or 0xAA throughout.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
#include <cstddef>
#include <cstdint>

namespace orvi {

// Whether one channel's samples carry DoP markers. `samples` holds `frames`
// little-endian samples of `containerBits` (24: three bytes each, 32: four).
// No frames, or another container width, is never DoP. With a single frame
// there is no second marker to choose the alternation by; a valid marker then
// counts as DoP.
bool DetectDop(const uint8_t* samples, size_t frames, unsigned containerBits);

}  // namespace orvi
