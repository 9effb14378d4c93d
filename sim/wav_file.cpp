#include "sim/wav_file.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint16_t kTagPcm = 1;
constexpr uint16_t kTagExtensible = 0xFFFE;
// KSDATAFORMAT_SUBTYPE_PCM, byte for byte, as it sits in a file.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
constexpr size_t kHeaderBytes = 44;
// A data chunk's size field is 32 bits and the RIFF size counts 36 more bytes.
constexpr uint64_t kMaxDataBytes = 0xFFFFFFFFull - 36;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

bool WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

}  // namespace

bool WavWriter::Open(const std::string& path, const WavFormat& format) {
  Close();
  if (path.empty() || format.channels == 0 || format.channels > 0xFFFF || format.bits == 0 ||
      format.BlockAlign() > 0xFFFF)
    return false;
  m_file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (m_file == INVALID_HANDLE_VALUE) return false;
  uint8_t h[kHeaderBytes] = {};
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, 36);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, kTagPcm);
  Put16(h + 22, format.channels);
  Put32(h + 24, format.rate);
  Put32(h + 28, format.rate * format.BlockAlign());
  Put16(h + 32, format.BlockAlign());
  Put16(h + 34, format.bits);
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, 0);
  m_dataBytes = 0;
  if (!WriteAll(m_file, h, sizeof h)) {
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    return false;
  }
  return true;
}

void WavWriter::Append(const void* data, size_t size) {
  if (!IsOpen() || size == 0) return;
  if (size > kMaxDataBytes - m_dataBytes) size = static_cast<size_t>(kMaxDataBytes - m_dataBytes);
  auto p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x100000 ? 0x100000 : static_cast<DWORD>(size);
    if (!WriteAll(m_file, p, chunk)) return;
    m_dataBytes += chunk;
    p += chunk;
    size -= chunk;
  }
}

void WavWriter::Close() {
  if (!IsOpen()) return;
  // An odd-sized data chunk is followed by a pad byte the RIFF size counts.
  bool pad = (m_dataBytes & 1) != 0;
  if (pad) {
    uint8_t zero = 0;
    WriteAll(m_file, &zero, 1);
  }
  uint8_t size[4];
  Put32(size, static_cast<uint32_t>(36 + m_dataBytes + (pad ? 1 : 0)));
  SetFilePointer(m_file, 4, nullptr, FILE_BEGIN);
  WriteAll(m_file, size, 4);
  Put32(size, static_cast<uint32_t>(m_dataBytes));
  SetFilePointer(m_file, 40, nullptr, FILE_BEGIN);
  WriteAll(m_file, size, 4);
  FlushFileBuffers(m_file);
  CloseHandle(m_file);
  m_file = INVALID_HANDLE_VALUE;
}

bool ParseWav(const uint8_t* bytes, size_t size, WavData& wav, size_t maxDataBytes) {
  if (!bytes || size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
    return false;
  WavFormat format;
  bool haveFormat = false;
  size_t at = 12;
  // Chunks are walked by the file's real length; the RIFF size is not trusted.
  while (size - at >= 8) {
    const uint8_t* chunk = bytes + at;
    size_t length = U32(chunk + 4);
    size_t available = size - at - 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (length < 16 || length > available) return false;
      const uint8_t* f = chunk + 8;
      uint16_t tag = U16(f);
      if (tag == kTagExtensible) {
        if (length < 40 || U16(f + 16) < 22 || std::memcmp(f + 24, kPcmSubFormat, 16) != 0) return false;
      } else if (tag != kTagPcm) {
        return false;
      }
      format.channels = U16(f + 2);
      format.rate = U32(f + 4);
      format.bits = U16(f + 14);
      if (format.channels == 0 || format.rate == 0 || format.bits == 0 || format.bits % 8 != 0 ||
          U16(f + 12) != format.BlockAlign())
        return false;
      haveFormat = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!haveFormat) return false;
      size_t n = length < available ? length : available;
      if (n > maxDataBytes) n = maxDataBytes;
      n -= n % format.BlockAlign();
      wav.format = format;
      wav.data.assign(chunk + 8, chunk + 8 + n);
      return true;
    }
    if (length > available) return false;
    at += 8 + length + (length & 1);
    if (at > size) return false;
  }
  return false;
}

bool ReadWav(const std::string& path, WavData& wav, size_t maxDataBytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER fileSize = {};
  bool ok = GetFileSizeEx(file, &fileSize) != 0 && fileSize.QuadPart >= 0;
  std::vector<uint8_t> bytes;
  if (ok) {
    // Room for the header chunks besides the samples we keep.
    uint64_t want = static_cast<uint64_t>(fileSize.QuadPart);
    uint64_t cap = static_cast<uint64_t>(maxDataBytes) + (1u << 20);
    if (want > cap) want = cap;
    bytes.resize(static_cast<size_t>(want));
    size_t done = 0;
    while (done < bytes.size()) {
      DWORD chunk = bytes.size() - done > 0x100000 ? 0x100000 : static_cast<DWORD>(bytes.size() - done);
      DWORD got = 0;
      if (!ReadFile(file, bytes.data() + done, chunk, &got, nullptr) || got == 0) break;
      done += got;
    }
    bytes.resize(done);
  }
  CloseHandle(file);
  return ok && ParseWav(bytes.data(), bytes.size(), wav, maxDataBytes);
}

}  // namespace sim
