#pragma once
// What a driver says about itself, gathered through IASIO as any host asks,
// and written out as aligned text, one fact per line. The driver's answers are
// not trusted: text fields are bounded, counts clamped, and every failure is
// shown by its ASIOError name instead of the values it left unset.
#include <cstddef>
#include <string>
#include <vector>

#include "asio/asio_interface.h"

namespace orvi::host {

inline constexpr long kMaxChannels = 256;  // per direction; more is shown as a fault
inline constexpr long kClockSlots = 8;     // clock sources asked for
inline constexpr size_t kNameBytes = 32;   // driver, channel and clock names
inline constexpr size_t kMessageBytes = 124;

// Text a driver wrote into a fixed field.
struct DriverText {
  std::string text;         // up to the terminator, control characters as '?'
  bool terminated = true;   // false: the field was full and its last byte dropped
  bool overran = false;     // it wrote past the field (into our guard bytes)
};

// `field` of `size` bytes as filled by a driver.
DriverText BoundedText(const char* field, size_t size);
DriverText ReadDriverName(IASIO& driver);
DriverText ReadErrorMessage(IASIO& driver);

struct ClockReport {
  long index = 0;
  DriverText name;
  bool current = false;
};

struct ChannelReport {
  bool input = false;
  long channel = 0;
  ASIOError error = ASE_OK;  // of getChannelInfo; the rest is valid when ASE_OK
  DriverText name;
  long group = 0;
  ASIOSampleType type = 0;
  bool active = false;
};

struct RateAnswer {
  double rate;
  const char* label;  // "DSD64" and so on; empty for PCM rates
  ASIOError answer;
};

struct CapabilityAnswer {
  long selector;
  const char* name;
  ASIOError answer;
};

struct DriverReport {
  DriverText name;
  long version = 0;
  ASIOError channelsError = ASE_OK;
  long inputs = 0, outputs = 0;  // as the driver said
  ASIOError latenciesError = ASE_OK;
  long inputLatency = 0, outputLatency = 0;
  ASIOError bufferError = ASE_OK;
  long minSize = 0, maxSize = 0, preferredSize = 0, granularity = 0;
  ASIOError rateError = ASE_OK;
  double rate = 0;
  ASIOError clocksError = ASE_OK;
  long clockCount = 0;  // as the driver said
  std::vector<ClockReport> clocks;
  std::vector<ChannelReport> channels;  // inputs, then outputs, clamped
  std::vector<RateAnswer> rates;
  std::vector<CapabilityAnswer> capabilities;
  ASIOError ioFormatError = ASE_OK;
  ASIOIoFormatType ioFormat = kASIOFormatInvalid;
};

// `count` as far as it is shown: 0..kMaxChannels.
long ShownChannels(long count);

// Asks `driver` (initialized) everything the report shows.
DriverReport GatherReport(IASIO& driver);
std::string FormatReport(const DriverReport& report);

// "48000", "44100.5"; odd values such as NaN as the C library prints them.
std::string FormatRate(double rate);

}  // namespace orvi::host
