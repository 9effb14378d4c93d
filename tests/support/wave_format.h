#pragma once
// Wave formats for tests.
#include <windows.h>
#include <mmreg.h>

namespace orvi::test {

// A consistent PCM format (block align and byte rate follow from the rest).
inline WAVEFORMATEX PcmFormat(WORD channels, WORD bits, DWORD rate, WORD tag = WAVE_FORMAT_PCM) {
  WAVEFORMATEX f = {};
  f.wFormatTag = tag;
  f.nChannels = channels;
  f.wBitsPerSample = bits;
  f.nSamplesPerSec = rate;
  f.nBlockAlign = static_cast<WORD>(channels * bits / 8);
  f.nAvgBytesPerSec = rate * f.nBlockAlign;
  return f;
}

}  // namespace orvi::test
