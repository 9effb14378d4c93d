#include "tools/asiohost/stream_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/rates.h"
#include "media/wav.h"
#include "tools/asiohost/asio_driver.h"
#include "tools/asiohost/asio_names.h"
#include "tools/asiohost/driver_registry.h"
#include "tools/asiohost/exit_codes.h"
#include "tools/asiohost/loopback.h"
#include "tools/asiohost/player.h"
#include "tools/asiohost/progress.h"

namespace orvi::host {

namespace {

// A recording is held in memory until it is written.
constexpr uint64_t kMaxCaptureBytes = uint64_t{1} << 30;
constexpr double kDefaultLoopbackSeconds = 1.0;

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "asiohost: %s\n", message.c_str());
  return code;
}

bool IsDsdRate(double rate) {
  return rate == static_cast<uint32_t>(rate) && orvi::DsdRateIndex(static_cast<uint32_t>(rate)) >= 0;
}

std::string SecondsText(double s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", s);
  return text;
}

// The driver, opened; an exit code other than kExitOk when it cannot be.
struct OpenedDriver {
  AsioDriver driver;
  std::string name;
  IASIO& get() { return *driver.get(); }
};

int OpenDriver(const StreamOptions& o, OpenedDriver& out) {
  std::vector<InstalledDriver> drivers;
  std::string error;
  if (!ReadInstalledDrivers(drivers, error)) return Fail(kExitNoDriver, error);
  const InstalledDriver* d = ChooseDriver(drivers, o.driver, o.defaultDriver, error);
  if (!d) return Fail(kExitNoDriver, error);
  if (!d->usable) return Fail(kExitCannotOpen, "driver " + d->name + " is installed but broken: " + d->problem);
  if (!out.driver.Open(d->name, d->clsid, error)) return Fail(kExitCannotOpen, error);
  out.name = d->name;
  return kExitOk;
}

// Sets `rate` when the driver offers it.
int SetRate(OpenedDriver& d, double rate) {
  ASIOError e = d.get().canSampleRate(rate);
  if (e != ASE_OK) {
    return Fail(kExitCannotPlay, "driver " + d.name + " does not offer " + FormatRate(rate) +
                                     " Hz (canSampleRate: " + ErrorName(e) + ")");
  }
  e = d.get().setSampleRate(rate);
  if (e != ASE_OK) {
    return Fail(kExitOperationFailed,
                "driver " + d.name + ": setSampleRate(" + FormatRate(rate) + ") failed: " + ErrorName(e));
  }
  return kExitOk;
}

// The one sample type of channels 0..count-1 of a direction.
int ChannelType(OpenedDriver& d, bool input, long count, ASIOSampleType& type) {
  for (long c = 0; c < count; ++c) {
    ASIOChannelInfo info{};
    info.channel = c;
    info.isInput = input ? ASIOTrue : ASIOFalse;
    const ASIOError e = d.get().getChannelInfo(&info);
    const std::string which = std::string(input ? "input " : "output ") + std::to_string(c);
    if (e != ASE_OK) return Fail(kExitOperationFailed, "driver " + d.name + ": getChannelInfo(" + which + ") failed: " + ErrorName(e));
    if (c == 0) {
      type = info.type;
    } else if (info.type != type) {
      return Fail(kExitCannotPlay, "driver " + d.name + ": " + which + " has sample type " + SampleTypeName(info.type) +
                                       ", channel 0 " + SampleTypeName(type));
    }
  }
  return kExitOk;
}

int Channels(OpenedDriver& d, long& inputs, long& outputs) {
  const ASIOError e = d.get().getChannels(&inputs, &outputs);
  if (e != ASE_OK) return Fail(kExitOperationFailed, "driver " + d.name + ": getChannels failed: " + ErrorName(e));
  if (inputs < 0 || inputs > kMaxChannels || outputs < 0 || outputs > kMaxChannels) {
    return Fail(kExitOperationFailed, "driver " + d.name + ": getChannels gave " + std::to_string(inputs) +
                                          " inputs and " + std::to_string(outputs) + " outputs (at most " +
                                          std::to_string(kMaxChannels) + " each are taken)");
  }
  return kExitOk;
}

int BufferSize(OpenedDriver& d, const StreamOptions& o, double rate, bool dsd, long& size) {
  BufferSizes sizes;
  long granularity = 0;
  sizes.known = d.get().getBufferSize(&sizes.minSize, &sizes.maxSize, &sizes.preferredSize, &granularity) == ASE_OK;
  std::string error;
  if (!ChooseBufferSize(o, rate, dsd, sizes, size, error)) {
    return Fail(sizes.known || o.bufferFrames || o.bufferMs ? kExitCannotPlay : kExitOperationFailed,
                "driver " + d.name + ": " + error);
  }
  return kExitOk;
}

std::string Latencies(const SessionResult& r) {
  if (r.latencyError != ASE_OK) return "getLatencies: " + ErrorName(r.latencyError);
  return "input " + std::to_string(r.inputLatency) + "  output " + std::to_string(r.outputLatency) + " frames";
}

void CommonSummary(SummaryLines& lines, const std::string& driver, ASIOSampleType type, double rate, long size,
                   const SessionResult& r) {
  lines.push_back({"driver", driver});
  lines.push_back({"sample type", SampleTypeName(type)});
  lines.push_back({"rate", FormatRate(rate) + " Hz"});
  lines.push_back({"buffer", FramesAndMs(static_cast<uint64_t>(size), rate)});
  lines.push_back({"latencies", Latencies(r)});
  lines.push_back({"time info", r.timeInfo ? "yes (bufferSwitchTimeInfo)" : "no (bufferSwitch)"});
  lines.push_back({"switches", std::to_string(r.switches)});
  lines.push_back({"missed", std::to_string(r.missed)});
  lines.push_back({"streamed", SecondsText(r.seconds)});
}

int Finish(SummaryLines& lines, const SessionResult& r, const std::string& failure = {}) {
  const bool ok = r.ok && failure.empty();
  lines.push_back({"result", ok ? "success" : "failed: " + (r.ok ? failure : r.error)});
  std::fputs(FormatSummary(lines).c_str(), stdout);
  std::fflush(stdout);
  if (!ok) std::fprintf(stderr, "asiohost: %s\n", (r.ok ? failure : r.error).c_str());
  return ok ? kExitOk : kExitOperationFailed;
}

// The rate for record and loopback: --rate, else the driver's current one.
int CaptureRate(OpenedDriver& d, const StreamOptions& o, double& rate) {
  if (o.hasRate) {
    if (int code = SetRate(d, o.rate)) return code;
    rate = o.rate;
  } else {
    const ASIOError e = d.get().getSampleRate(&rate);
    if (e != ASE_OK) return Fail(kExitOperationFailed, "driver " + d.name + ": getSampleRate failed: " + ErrorName(e));
    if (!std::isfinite(rate) || rate <= 0 || rate > 100e6)
      return Fail(kExitOperationFailed, "driver " + d.name + ": getSampleRate gave " + FormatRate(rate));
  }
  if (IsDsdRate(rate))
    return Fail(kExitCannotPlay, "at the DSD rate " + FormatRate(rate) + " Hz the inputs are DSD, which a WAV cannot hold; choose a PCM rate with --rate");
  return kExitOk;
}

int PcmBytes(const std::string& driver, ASIOSampleType type, uint32_t& bytes) {
  const unsigned bits = SampleTypeBits(type);
  if (bits != 16 && bits != 24 && bits != 32)
    return Fail(kExitCannotPlay, "driver " + driver + ": sample type " + SampleTypeName(type) + " is not integer PCM asiohost records");
  bytes = bits / 8;
  return kExitOk;
}

uint64_t FramesOf(double seconds, double rate) { return static_cast<uint64_t>(std::llround(seconds * rate)); }

}  // namespace

bool ChooseBufferSize(const StreamOptions& o, double rate, bool dsd, const BufferSizes& sizes, long& size,
                      std::string& error) {
  if (o.bufferFrames > 0) {
    size = o.bufferFrames;
  } else if (o.bufferMs > 0) {
    double frames = o.bufferMs * rate / 1000.0;
    if (dsd) frames = std::round(frames / 32.0) * 32.0;
    if (frames < (dsd ? 32.0 : 1.0)) frames = dsd ? 32.0 : 1.0;
    if (frames > 1e9) {
      error = "--buffer-ms " + FormatRate(o.bufferMs) + " is far too long";
      return false;
    }
    size = static_cast<long>(std::llround(frames));
  } else if (sizes.known) {
    size = sizes.preferredSize;
  } else {
    error = "getBufferSize failed and no --buffer was given";
    return false;
  }
  if (size <= 0) {
    error = "the preferred buffer size " + std::to_string(size) + " is not a size";
    return false;
  }
  if (dsd && size % 32 != 0) {
    error = "buffer size " + std::to_string(size) + " is not a multiple of 32 DSD samples";
    return false;
  }
  if (sizes.known && (size < sizes.minSize || size > sizes.maxSize)) {
    error = "buffer size " + std::to_string(size) + " is outside the driver's " + std::to_string(sizes.minSize) +
            ".." + std::to_string(sizes.maxSize);
    return false;
  }
  return true;
}

int Play(const StreamOptions& o) {
  media::Result<MediaFile> file = LoadMedia(o.file);
  if (!file) return Fail(kExitBadFile, file.error());
  const MediaFile& media = file.value();
  OpenedDriver d;
  if (int code = OpenDriver(o, d)) return code;
  const double rate = media.Rate();
  if (int code = SetRate(d, rate)) return code;
  long inputs = 0, outputs = 0;
  if (int code = Channels(d, inputs, outputs)) return code;
  if (media.Channels() > outputs) {
    return Fail(kExitCannotPlay, o.file + ": " + std::to_string(media.Channels()) + " channels, but driver " + d.name +
                                     " has " + std::to_string(outputs) + " outputs");
  }
  ASIOSampleType type = 0;
  if (int code = ChannelType(d, false, media.Channels(), type)) return code;
  media::Result<ChannelStreams> streams = ConvertForDriver(media, type);
  if (!streams) return Fail(kExitCannotPlay, o.file + ": " + streams.error());
  long size = 0;
  if (int code = BufferSize(d, o, rate, media.isDsd, size)) return code;

  SessionSetup setup;
  setup.bufferSize = size;
  setup.rate = rate;
  setup.output = &streams.value();
  Progress progress(stderr, !o.quiet);
  SessionResult r = RunSession(d.get(), setup, progress);

  SummaryLines lines = {{"file", o.file}, {"format", media.Describe()}};
  CommonSummary(lines, d.name, type, rate, size, r);
  lines.push_back({"duration", SecondsText(static_cast<double>(media.Samples()) / rate)});
  return Finish(lines, r);
}

// The driver opened at the rate recording takes (a PCM rate), with its channel
// counts: what record and loopback begin with.
int OpenForCapture(const StreamOptions& o, OpenedDriver& d, double& rate, long& inputs, long& outputs) {
  if (int code = OpenDriver(o, d)) return code;
  if (int code = CaptureRate(d, o, rate)) return code;
  return Channels(d, inputs, outputs);
}

int Record(const StreamOptions& o) {
  OpenedDriver d;
  double rate = 0;
  long inputs = 0, outputs = 0;
  if (int code = OpenForCapture(o, d, rate, inputs, outputs)) return code;
  if (inputs == 0) return Fail(kExitCannotPlay, "driver " + d.name + " has no inputs");
  ASIOSampleType type = 0;
  if (int code = ChannelType(d, true, inputs, type)) return code;
  uint32_t bytes = 0;
  if (int code = PcmBytes(d.name, type, bytes)) return code;
  const uint64_t frames = FramesOf(o.seconds, rate);
  if (frames == 0) return Fail(kExitUsage, "--seconds " + FormatRate(o.seconds) + " is less than a frame");
  if (frames * bytes * static_cast<uint64_t>(inputs) > kMaxCaptureBytes) {
    return Fail(kExitUsage, "--seconds " + FormatRate(o.seconds) + " of " + std::to_string(inputs) + " channels at " +
                                FormatRate(rate) + " Hz is more than asiohost records (" +
                                std::to_string(kMaxCaptureBytes >> 20) + " MiB)");
  }
  long size = 0;
  if (int code = BufferSize(d, o, rate, false, size)) return code;
  // Opened before streaming, so a path that cannot be written costs no run.
  std::FILE* out = std::fopen(o.file.c_str(), "wb");
  if (!out) return Fail(kExitBadFile, o.file + ": cannot open it for writing");

  SessionSetup setup;
  setup.bufferSize = size;
  setup.rate = rate;
  setup.inputs = inputs;
  setup.inputBytesPerSample = bytes;
  setup.captureFrames = frames;
  Progress progress(stderr, !o.quiet);
  SessionResult r = RunSession(d.get(), setup, progress);

  std::string failure;
  if (r.ok) {
    media::PcmAudio audio;
    audio.format = media::PcmFormat{static_cast<uint16_t>(inputs), static_cast<uint32_t>(std::llround(rate)),
                                    static_cast<uint16_t>(bytes * 8), static_cast<uint16_t>(bytes * 8)};
    audio.bytes.resize(static_cast<size_t>(frames * bytes * static_cast<uint64_t>(inputs)));
    for (uint64_t f = 0; f < frames; ++f)
      for (long c = 0; c < inputs; ++c)
        std::memcpy(&audio.bytes[static_cast<size_t>((f * static_cast<uint64_t>(inputs) + static_cast<uint64_t>(c)) * bytes)],
                    &r.captured[static_cast<size_t>(c)][static_cast<size_t>(f * bytes)], bytes);
    media::Result<std::vector<uint8_t>> wav = media::BuildWav(audio);
    if (!wav) {
      failure = o.file + ": " + wav.error();
    } else if (std::fwrite(wav->data(), 1, wav->size(), out) != wav->size()) {
      failure = o.file + ": write error";
    }
  }
  const bool closed = std::fclose(out) == 0;
  if (r.ok && failure.empty() && !closed) failure = o.file + ": write error";

  SummaryLines lines = {{"file", o.file},
                        {"format", "WAV PCM " + std::to_string(bytes * 8) + "-bit, " + FormatRate(rate) + " Hz, " +
                                       std::to_string(inputs) + " channels"}};
  CommonSummary(lines, d.name, type, rate, size, r);
  lines.push_back({"duration", SecondsText(static_cast<double>(frames) / rate)});
  const int code = Finish(lines, r, failure);
  return code == kExitOk || failure.empty() ? code : kExitBadFile;
}

int Loopback(const StreamOptions& o) {
  OpenedDriver d;
  double rate = 0;
  long inputs = 0, outputs = 0;
  if (int code = OpenForCapture(o, d, rate, inputs, outputs)) return code;
  const long channels = std::min(inputs, outputs);
  if (channels == 0) return Fail(kExitCannotPlay, "driver " + d.name + " needs inputs and outputs for a loopback");
  ASIOSampleType outType = 0, inType = 0;
  if (int code = ChannelType(d, false, channels, outType)) return code;
  if (int code = ChannelType(d, true, channels, inType)) return code;
  if (inType != outType) {
    return Fail(kExitCannotPlay, "driver " + d.name + ": inputs are " + SampleTypeName(inType) + ", outputs " +
                                     SampleTypeName(outType) + "; a loopback compares like with like");
  }
  uint32_t bytes = 0;
  if (int code = PcmBytes(d.name, outType, bytes)) return code;
  const double seconds = o.seconds > 0 ? o.seconds : kDefaultLoopbackSeconds;
  const uint64_t frames = FramesOf(seconds, rate);
  if (frames == 0) return Fail(kExitUsage, "--seconds " + FormatRate(seconds) + " is less than a frame");
  long size = 0;
  if (int code = BufferSize(d, o, rate, false, size)) return code;
  // Room for the way back: the pre-roll and the device's own delay.
  const uint64_t capture = frames + 8 * static_cast<uint64_t>(size) + FramesOf(0.25, rate);
  if (capture * bytes * static_cast<uint64_t>(channels) * 2 > kMaxCaptureBytes) {
    return Fail(kExitUsage, "--seconds " + FormatRate(seconds) + " is more than asiohost loops back at " +
                                FormatRate(rate) + " Hz");
  }
  const ChannelStreams signal = TestSignal(static_cast<uint32_t>(channels), frames, bytes, outType);

  SessionSetup setup;
  setup.bufferSize = size;
  setup.rate = rate;
  setup.output = &signal;
  setup.inputs = channels;
  setup.inputBytesPerSample = bytes;
  setup.captureFrames = capture;
  Progress progress(stderr, !o.quiet);
  SessionResult r = RunSession(d.get(), setup, progress);

  SummaryLines lines = {{"signal", "test signal, " + std::to_string(channels) + " channels, " + SecondsText(seconds)}};
  CommonSummary(lines, d.name, outType, rate, size, r);
  std::string failure;
  if (r.ok) {
    const LoopbackMatch m = FindPlayed(signal, r.captured);
    if (m.found) {
      lines.push_back({"offset", std::to_string(m.offset) + " frames"});
      lines.push_back({"match", "all " + std::to_string(frames) + " frames, bit for bit"});
    } else {
      lines.push_back({"match", "none: " + m.problem});
      failure = "the recording does not hold the played signal: " + m.problem;
    }
  }
  return Finish(lines, r, failure);
}

}  // namespace orvi::host
