#include "tools/asiohost/driver_report.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/rates.h"
#include "tools/asiohost/asio_names.h"

namespace orvi::host {

namespace {

// Bytes past a text field that a careless driver might write into.
constexpr size_t kGuardBytes = 64;

constexpr const char* kDsdNames[] = {"DSD64", "DSD128", "DSD256"};
static_assert(std::size(kDsdNames) == orvi::kDsdRates.size());

struct CapabilityEntry {
  long selector;
  const char* name;
};
constexpr CapabilityEntry kCapabilities[] = {
    {kAsioCanInputMonitor, "kAsioCanInputMonitor"}, {kAsioCanTimeInfo, "kAsioCanTimeInfo"},
    {kAsioCanTimeCode, "kAsioCanTimeCode"},         {kAsioCanTransport, "kAsioCanTransport"},
    {kAsioCanInputGain, "kAsioCanInputGain"},       {kAsioCanInputMeter, "kAsioCanInputMeter"},
    {kAsioCanOutputGain, "kAsioCanOutputGain"},     {kAsioCanOutputMeter, "kAsioCanOutputMeter"},
    {kAsioCanDoIoFormat, "kAsioCanDoIoFormat"},
};

template <typename Call>
DriverText ReadText(size_t size, Call call) {
  std::vector<char> buffer(size + kGuardBytes, '\0');
  call(buffer.data());
  DriverText t = BoundedText(buffer.data(), size);
  for (size_t i = size; i < buffer.size(); ++i)
    if (buffer[i] != '\0') t.overran = true;
  return t;
}

void ReadChannel(IASIO& driver, bool input, long channel, ChannelReport& r) {
  ASIOChannelInfo info{};
  info.channel = channel;
  info.isInput = input ? ASIOTrue : ASIOFalse;
  r.input = input;
  r.channel = channel;
  r.error = driver.getChannelInfo(&info);
  if (r.error != ASE_OK) return;
  r.name = BoundedText(info.name, sizeof info.name);
  r.group = info.channelGroup;
  r.type = info.type;
  r.active = info.isActive != ASIOFalse;
}

class Writer {
 public:
  // One fact: `label` in a column of `width`, then `text`.
  void Line(const std::string& label, const std::string& text, size_t width = 16) {
    m_out += label;
    m_out.append(label.size() < width ? width - label.size() : 1, ' ');
    m_out += text;
    m_out += '\n';
  }
  std::string Take() { return std::move(m_out); }

 private:
  std::string m_out;
};

std::string Quoted(const DriverText& t) {
  std::string s = "\"" + t.text + "\"";
  if (!t.terminated) s += " (not terminated within " + std::to_string(kNameBytes) + " bytes; cut)";
  if (t.overran) s += " (written past its " + std::to_string(kNameBytes) + "-byte field)";
  return s;
}

std::string Failed(const char* call, ASIOError e) { return std::string(call) + " failed: " + ErrorName(e); }

std::string CountNote(long count, const char* what) {
  if (count < 0) return "  (driver reported " + std::to_string(count) + " " + what + "; none shown)";
  if (count > kMaxChannels)
    return "  (driver reported " + std::to_string(count) + " " + what + "; the first " + std::to_string(kMaxChannels) +
           " shown)";
  return {};
}

void WriteChannels(Writer& w, const DriverReport& r, bool input) {
  long said = input ? r.inputs : r.outputs;
  w.Line(input ? "input channels" : "output channels",
         std::to_string(ShownChannels(said)) + CountNote(said, input ? "inputs" : "outputs"));
  for (const ChannelReport& c : r.channels) {
    if (c.input != input) continue;
    std::string label = std::string(input ? "  in " : "  out ") + std::to_string(c.channel);
    if (c.error != ASE_OK) {
      w.Line(label, Failed("getChannelInfo", c.error));
      continue;
    }
    w.Line(label, Quoted(c.name) + "  group " + std::to_string(c.group) + "  " + SampleTypeName(c.type) + "  " +
                      (c.active ? "active" : "inactive"));
  }
}

}  // namespace

DriverText BoundedText(const char* field, size_t size) {
  DriverText t;
  if (size == 0) return t;
  size_t length = strnlen(field, size);
  if (length == size) {
    t.terminated = false;
    length = size - 1;  // as if its last byte were the terminator
  }
  t.text.assign(field, length);
  for (char& c : t.text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return t;
}

DriverText ReadDriverName(IASIO& driver) {
  return ReadText(kNameBytes, [&](char* b) { driver.getDriverName(b); });
}

DriverText ReadErrorMessage(IASIO& driver) {
  return ReadText(kMessageBytes, [&](char* b) { driver.getErrorMessage(b); });
}

long ShownChannels(long count) { return count < 0 ? 0 : count > kMaxChannels ? kMaxChannels : count; }

DriverReport GatherReport(IASIO& driver) {
  DriverReport r;
  r.name = ReadDriverName(driver);
  r.version = driver.getDriverVersion();
  r.channelsError = driver.getChannels(&r.inputs, &r.outputs);
  r.latenciesError = driver.getLatencies(&r.inputLatency, &r.outputLatency);
  r.bufferError = driver.getBufferSize(&r.minSize, &r.maxSize, &r.preferredSize, &r.granularity);
  r.rateError = driver.getSampleRate(&r.rate);

  ASIOClockSource clocks[kClockSlots] = {};
  r.clockCount = kClockSlots;
  r.clocksError = driver.getClockSources(clocks, &r.clockCount);
  if (r.clocksError == ASE_OK) {
    long shown = r.clockCount < 0 ? 0 : r.clockCount > kClockSlots ? kClockSlots : r.clockCount;
    for (long i = 0; i < shown; ++i)
      r.clocks.push_back({clocks[i].index, BoundedText(clocks[i].name, sizeof clocks[i].name),
                          clocks[i].isCurrentSource != ASIOFalse});
  }

  if (r.channelsError == ASE_OK) {
    for (bool input : {true, false}) {
      long shown = ShownChannels(input ? r.inputs : r.outputs);
      for (long ch = 0; ch < shown; ++ch) {
        ChannelReport c;
        ReadChannel(driver, input, ch, c);
        r.channels.push_back(c);
      }
    }
  }

  for (uint32_t rate : orvi::kRateTable) r.rates.push_back({static_cast<double>(rate), "", driver.canSampleRate(rate)});
  for (size_t i = 0; i < orvi::kDsdRates.size(); ++i) {
    const double rate = orvi::kDsdRates[i];
    r.rates.push_back({rate, kDsdNames[i], driver.canSampleRate(rate)});
  }
  for (const CapabilityEntry& e : kCapabilities)
    r.capabilities.push_back({e.selector, e.name, driver.future(e.selector, nullptr)});

  ASIOIoFormat format;
  std::memset(&format, 0, sizeof format);
  format.FormatType = kASIOFormatInvalid;
  r.ioFormatError = driver.future(kAsioGetIoFormat, &format);
  r.ioFormat = format.FormatType;
  return r;
}

std::string FormatRate(double rate) {
  char text[64];
  if (std::isfinite(rate) && std::fabs(rate) < 1e15 && rate == std::floor(rate))
    std::snprintf(text, sizeof text, "%.0f", rate);
  else
    std::snprintf(text, sizeof text, "%g", rate);
  return text;
}

std::string FormatReport(const DriverReport& r) {
  Writer w;
  std::string name = Quoted(r.name);
  w.Line("driver", name);
  w.Line("version", std::to_string(r.version));
  if (r.channelsError == ASE_NotPresent)
    w.Line("channels", "no channels at the current rate (ASE_NotPresent)");
  else if (r.channelsError != ASE_OK)
    w.Line("channels", Failed("getChannels", r.channelsError));
  else
    w.Line("channels", "inputs " + std::to_string(r.inputs) + "  outputs " + std::to_string(r.outputs));
  if (r.latenciesError != ASE_OK)
    w.Line("latencies", Failed("getLatencies", r.latenciesError));
  else
    w.Line("latencies",
           "input " + std::to_string(r.inputLatency) + "  output " + std::to_string(r.outputLatency));
  if (r.bufferError != ASE_OK)
    w.Line("buffer size", Failed("getBufferSize", r.bufferError));
  else
    w.Line("buffer size", "min " + std::to_string(r.minSize) + "  max " + std::to_string(r.maxSize) +
                              "  preferred " + std::to_string(r.preferredSize) + "  granularity " +
                              std::to_string(r.granularity));
  w.Line("sample rate", r.rateError != ASE_OK ? Failed("getSampleRate", r.rateError) : FormatRate(r.rate));

  if (r.clocksError != ASE_OK) {
    w.Line("clock sources", Failed("getClockSources", r.clocksError));
  } else {
    std::string note;
    if (r.clockCount < 0 || r.clockCount > kClockSlots)
      note = "  (driver reported " + std::to_string(r.clockCount) + " of " + std::to_string(kClockSlots) +
             " asked for)";
    w.Line("clock sources", std::to_string(r.clocks.size()) + note);
    for (const ClockReport& c : r.clocks)
      w.Line("  clock " + std::to_string(c.index), Quoted(c.name) + (c.current ? "  current" : ""));
  }

  if (r.channelsError == ASE_OK) {
    WriteChannels(w, r, true);
    WriteChannels(w, r, false);
  }

  w.Line("sample rates", "canSampleRate");
  for (const RateAnswer& a : r.rates) {
    std::string label = "  " + FormatRate(a.rate);
    if (*a.label) label += std::string(" ") + a.label;
    w.Line(label, ErrorName(a.answer), 18);
  }

  w.Line("capabilities", "future");
  for (const CapabilityAnswer& a : r.capabilities)
    w.Line(std::string("  ") + a.name,
           (a.answer == ASE_SUCCESS ? "yes" : "no") + std::string(" (") + ErrorName(a.answer) + ")", 24);
  std::string io = ErrorName(r.ioFormatError);
  if (r.ioFormatError == ASE_SUCCESS) io += "  format " + IoFormatName(r.ioFormat);
  w.Line("  kAsioGetIoFormat", io, 24);
  return w.Take();
}

}  // namespace orvi::host
