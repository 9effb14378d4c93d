#pragma once
// Audio held in memory, and the result type the media readers and writers
// return: errors travel as values with a message that names the offending
// field, so a caller can show it as is.
//
// Portable code: no Windows dependency, so it also builds natively with the
// sanitizers.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvi::media {

template <typename T>
class Result {
 public:
  static Result Ok(T value) {
    Result r;
    r.m_value.emplace(std::move(value));
    return r;
  }
  static Result Fail(std::string error) {
    Result r;
    r.m_error = error.empty() ? std::string("error without a message") : std::move(error);
    return r;
  }

  bool ok() const { return m_value.has_value(); }
  explicit operator bool() const { return ok(); }
  // Only when ok().
  const T& value() const { return *m_value; }
  T& value() { return *m_value; }
  const T* operator->() const { return &*m_value; }
  T* operator->() { return &*m_value; }
  // Empty when ok().
  const std::string& error() const { return m_error; }

 private:
  Result() = default;
  std::optional<T> m_value;
  std::string m_error;
};

// Success, or an error message.
class Status {
 public:
  static Status Ok() { return Status(); }
  static Status Fail(std::string error) {
    Status s;
    s.m_error = error.empty() ? std::string("error without a message") : std::move(error);
    return s;
  }
  bool ok() const { return m_error.empty(); }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return m_error; }

 private:
  std::string m_error;
};

// Integer PCM. Samples are little-endian, `containerBits` wide (16, 24 packed
// in three bytes, or 32); `validBits` of them carry the signal, from the top
// (24 in a 32-bit container is DoP's and many devices' form).
struct PcmFormat {
  uint16_t channels = 0;
  uint32_t rate = 0;
  uint16_t containerBits = 0;
  uint16_t validBits = 0;

  uint32_t BlockAlign() const { return uint32_t{channels} * (containerBits / 8u); }
  bool operator==(const PcmFormat&) const = default;
};

// Interleaved frames, whole frames only.
struct PcmAudio {
  PcmFormat format;
  std::vector<uint8_t> bytes;
};

// Native DSD as the ASIO host hands it to the driver (DSDInt8MSB1): one byte
// stream per channel, eight samples a byte, the earliest sample in the most
// significant bit. Each stream holds ceil(sampleCount / 8) bytes.
struct DsdAudio {
  uint16_t channels = 0;
  uint32_t dsdRate = 0;  // samples per second per channel, e.g. 2822400 (DSD64)
  uint64_t sampleCount = 0;  // per channel
  std::vector<std::vector<uint8_t>> channelBytes;
};

// The DSD rates the readers accept: a multiple of 64 x 44.1 kHz, up to DSD512.
inline constexpr uint32_t kDsdBaseRate = 44100u * 64u;
inline constexpr uint32_t kMaxDsdRate = 11289600u * 2u;

}  // namespace orvi::media

namespace orvi::media {

// Whether `audio` is consistent: 1..maxChannels channels, a DSD rate the
// readers accept, and one stream of ceil(sampleCount / 8) bytes per channel.
Status CheckDsdAudio(const DsdAudio& audio, uint16_t maxChannels);

}  // namespace orvi::media
