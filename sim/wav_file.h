#pragma once
// PCM WAV files for the simulated device: what a render pin plays is recorded
// into one, and a capture pin can be fed from one.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct WavFormat {
  ULONG channels = 0;
  ULONG rate = 0;
  ULONG bits = 0;  // container bits; 24-bit samples are packed in 3 bytes
  bool operator==(const WavFormat& o) const { return channels == o.channels && rate == o.rate && bits == o.bits; }
  ULONG BlockAlign() const { return channels * (bits / 8); }
};

// Writes a RIFF/WAVE file with a PCM fmt chunk and one data chunk. The sizes in
// the header are patched when the file is closed; readers may open it at any
// time (it is shared for reading).
class WavWriter {
 public:
  WavWriter() = default;
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;
  ~WavWriter() { Close(); }

  bool Open(const std::string& path, const WavFormat& format);
  bool IsOpen() const { return m_file != INVALID_HANDLE_VALUE; }
  // Appends sample bytes. Past the 4 GB the format can describe, the rest is
  // dropped.
  void Append(const void* data, size_t size);
  void Close();

 private:
  HANDLE m_file = INVALID_HANDLE_VALUE;
  uint64_t m_dataBytes = 0;
};

struct WavData {
  WavFormat format;
  std::vector<uint8_t> data;  // whole frames only
};

// Reads a PCM WAV file (format tag PCM, or EXTENSIBLE with the PCM sub-format),
// at most `maxDataBytes` of its samples. False when the file is missing or is
// not such a file; a data chunk cut short by the file's end is read as far as
// it goes.
bool ReadWav(const std::string& path, WavData& wav, size_t maxDataBytes);

// The same on a file's bytes already in memory.
bool ParseWav(const uint8_t* bytes, size_t size, WavData& wav, size_t maxDataBytes);

}  // namespace sim
