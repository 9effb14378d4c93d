#include "tools/asiohost/player.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "tools/asiohost/asio_names.h"

namespace orvi::host {

namespace {

// Switches to wait after the one that handed over the last output: the
// device plays two buffers of pre-roll ahead of it, plus one period to finish.
constexpr uint64_t kDrainSwitches = 3;
constexpr DWORD kPollMs = 10;

// What the callbacks share with the main thread. The callbacks only touch
// memory allocated before start and the atomics.
struct Session {
  IASIO* driver = nullptr;
  const SessionSetup* setup = nullptr;
  long size = 0;
  // Halves per channel: outputs first (channel i is output i), then inputs.
  std::vector<void*> outHalves[2];
  std::vector<void*> inHalves[2];
  uint64_t outHalfBytes = 0;
  uint64_t inHalfBytes = 0;
  uint64_t outStreamBytes = 0;
  uint64_t outCursor = 0;  // bytes of the streams handed over
  std::vector<std::vector<uint8_t>>* captured = nullptr;
  uint64_t captureBytes = 0;  // per channel, wanted

  // Callback thread only.
  bool havePrevious = false;
  uint64_t previousPosition = 0;
  long previousIndex = -1;

  std::atomic<uint64_t> switches{0};
  std::atomic<uint64_t> missed{0};
  std::atomic<int64_t> lastDataSwitch{-1};
  std::atomic<uint64_t> capturedBytes{0};
  std::atomic<bool> resetRequested{false};
  std::atomic<bool> rateChanged{false};
  std::atomic<bool> timeInfo{false};
  std::atomic<long> badIndex{0};  // 1 + the index, when the driver gave one outside 0..1
  std::atomic<double> newRate{0};
};

Session* g_session = nullptr;

void OnSwitch(long index, bool positionValid, uint64_t position) {
  Session* s = g_session;
  if (!s) return;
  if (index != 0 && index != 1) {
    long none = 0;
    s->badIndex.compare_exchange_strong(none, index + 1);
    return;
  }
  if (!positionValid) {
    ASIOSamples pos{};
    ASIOTimeStamp stamp{};
    if (s->driver->getSamplePosition(&pos, &stamp) == ASE_OK) {
      positionValid = true;
      position = AsioValue(pos);
    }
  }
  const uint64_t n = s->switches.load(std::memory_order_relaxed);
  if (s->havePrevious) {
    const uint64_t m = MissedBetween(positionValid, s->previousPosition, position, s->size, s->previousIndex, index);
    if (m) s->missed.fetch_add(m, std::memory_order_relaxed);
  }
  s->havePrevious = true;
  s->previousPosition = positionValid ? position : s->previousPosition + static_cast<uint64_t>(s->size);
  s->previousIndex = index;

  if (s->setup->output) {
    const ChannelStreams& out = *s->setup->output;
    const uint64_t at = s->outCursor;
    const uint64_t have = at < s->outStreamBytes ? std::min(s->outHalfBytes, s->outStreamBytes - at) : 0;
    for (size_t c = 0; c < s->outHalves[index].size(); ++c) {
      auto* half = static_cast<uint8_t*>(s->outHalves[index][c]);
      if (have) std::memcpy(half, out.channels[c].data() + at, static_cast<size_t>(have));
      std::memset(half + have, out.SilenceByte(), static_cast<size_t>(s->outHalfBytes - have));
    }
    s->outCursor = at + s->outHalfBytes;
    if (have && s->outCursor >= s->outStreamBytes) s->lastDataSwitch.store(static_cast<int64_t>(n));
    s->driver->outputReady();
  }
  if (n >= 2 && s->captured) {
    const uint64_t done = s->capturedBytes.load(std::memory_order_relaxed);
    const uint64_t take = done < s->captureBytes ? std::min(s->inHalfBytes, s->captureBytes - done) : 0;
    if (take) {
      for (size_t c = 0; c < s->inHalves[index].size(); ++c)
        std::memcpy((*s->captured)[c].data() + done, s->inHalves[index][c], static_cast<size_t>(take));
      s->capturedBytes.store(done + take, std::memory_order_release);
    }
  }
  s->switches.store(n + 1, std::memory_order_release);
}

void CbBufferSwitch(long index, ASIOBool) { OnSwitch(index, false, 0); }

ASIOTime* CbBufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool) {
  if (g_session) g_session->timeInfo.store(true, std::memory_order_relaxed);
  const bool valid = time && (time->timeInfo.flags & kSamplePositionValid);
  const uint64_t position = valid ? AsioValue(time->timeInfo.samplePosition) : 0;
  OnSwitch(index, valid, position);
  return time;
}

void CbSampleRateDidChange(ASIOSampleRate rate) {
  if (!g_session) return;
  g_session->newRate.store(rate);
  g_session->rateChanged.store(true);
}

long CbAsioMessage(long selector, long value, void*, double*) {
  switch (selector) {
    case kAsioSelectorSupported:
      return value == kAsioEngineVersion || value == kAsioResetRequest || value == kAsioSupportsTimeInfo ? 1 : 0;
    case kAsioEngineVersion:
      return 2;
    case kAsioSupportsTimeInfo:
      return 1;
    case kAsioResetRequest:
      if (g_session) g_session->resetRequested.store(true);
      return 1;
    default:
      return 0;
  }
}

ASIOCallbacks g_callbacks = {CbBufferSwitch, CbSampleRateDidChange, CbAsioMessage, CbBufferSwitchTimeInfo};

std::string Seconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
  return text;
}

}  // namespace

uint64_t HalfBytes(long size, bool dsd, uint32_t bytesPerSample) {
  if (size <= 0) return 0;
  return dsd ? static_cast<uint64_t>(size) / 8 : static_cast<uint64_t>(size) * bytesPerSample;
}

uint64_t MissedBetween(bool havePositions, uint64_t previous, uint64_t current, long size, long previousIndex,
                       long index) {
  uint64_t byPosition = 0;
  if (havePositions && size > 0 && current > previous + static_cast<uint64_t>(size)) {
    byPosition = (current - previous) / static_cast<uint64_t>(size) - 1;
    if (byPosition == 0) byPosition = 1;  // more than one buffer, less than two: a period cut short
  }
  const uint64_t byIndex = index == previousIndex ? 1 : 0;
  return std::max(byPosition, byIndex);
}

SessionResult RunSession(IASIO& driver, const SessionSetup& setup, Progress& progress) {
  SessionResult result;
  if (g_session) {
    result.error = "another session is running";
    return result;
  }
  Session s;
  s.driver = &driver;
  s.setup = &setup;
  s.size = setup.bufferSize;
  const ChannelStreams* out = setup.output;
  const size_t outputs = out ? out->channels.size() : 0;
  std::vector<ASIOBufferInfo> infos;
  for (size_t c = 0; c < outputs; ++c) infos.push_back(ASIOBufferInfo{ASIOFalse, static_cast<int32_t>(c), {}});
  for (long c = 0; c < setup.inputs; ++c) infos.push_back(ASIOBufferInfo{ASIOTrue, static_cast<int32_t>(c), {}});
  if (out) {
    s.outHalfBytes = HalfBytes(setup.bufferSize, out->dsd, out->bytesPerSample);
    s.outStreamBytes = out->channels.empty() ? 0 : out->channels[0].size();
  }
  s.inHalfBytes = HalfBytes(setup.bufferSize, false, setup.inputBytesPerSample);
  s.captureBytes = setup.captureFrames * setup.inputBytesPerSample;
  result.captured.assign(static_cast<size_t>(setup.inputs), std::vector<uint8_t>(static_cast<size_t>(s.captureBytes)));
  s.captured = &result.captured;

  g_session = &s;
  ASIOError e = driver.createBuffers(infos.data(), static_cast<long>(infos.size()), setup.bufferSize, &g_callbacks);
  if (e != ASE_OK) {
    g_session = nullptr;
    result.error = "createBuffers(" + std::to_string(infos.size()) + " channels, " +
                   std::to_string(setup.bufferSize) + ") failed: " + ErrorName(e);
    return result;
  }
  for (int h = 0; h < 2; ++h) {
    for (const ASIOBufferInfo& info : infos) (info.isInput ? s.inHalves[h] : s.outHalves[h]).push_back(info.buffers[h]);
  }
  const bool halvesGiven = std::none_of(infos.begin(), infos.end(),
                                        [](const ASIOBufferInfo& i) { return !i.buffers[0] || !i.buffers[1]; });
  result.latencyError = driver.getLatencies(&result.inputLatency, &result.outputLatency);

  const double periodMs = setup.rate > 0 ? setup.bufferSize * 1000.0 / setup.rate : 0;
  const uint64_t timeoutMs = setup.switchTimeoutMs + static_cast<uint64_t>(4 * periodMs);
  uint64_t startMs = 0;
  uint64_t stopMs = 0;
  if (!halvesGiven) {
    result.error = "createBuffers left a buffer half unset";
  } else if ((e = driver.start()) != ASE_OK) {
    result.error = "start failed: " + ErrorName(e);
  } else {
    startMs = GetTickCount64();
    uint64_t lastSwitches = 0;
    uint64_t lastChangeMs = startMs;
    for (;;) {
      Sleep(kPollMs);
      const uint64_t now = GetTickCount64();
      const uint64_t n = s.switches.load(std::memory_order_acquire);
      if (n != lastSwitches) {
        lastSwitches = n;
        lastChangeMs = now;
      }
      progress.Update(now, static_cast<double>(now - startMs) / 1000.0, n, s.missed.load());
      if (s.resetRequested.load()) {
        result.error = "the driver asked for a reset (kAsioResetRequest) after " + std::to_string(n) + " switches";
        break;
      }
      if (s.rateChanged.load()) {
        result.error = "the driver's sample rate changed to " + std::to_string(s.newRate.load()) + " while streaming";
        break;
      }
      if (long bad = s.badIndex.load()) {
        result.error = "the driver gave buffer index " + std::to_string(bad - 1) + " (not 0 or 1)";
        break;
      }
      if (now - lastChangeMs > timeoutMs) {
        result.error = n == 0 ? "no buffer switch within " + Seconds(timeoutMs) + " of start"
                              : "buffer switches stopped after " + std::to_string(n) + " for " + Seconds(timeoutMs);
        break;
      }
      const int64_t last = s.lastDataSwitch.load();
      const bool outputDone = !out || (last >= 0 && n >= static_cast<uint64_t>(last) + 1 + kDrainSwitches);
      const bool captureDone = s.capturedBytes.load(std::memory_order_acquire) >= s.captureBytes;
      if (outputDone && captureDone) {
        result.ok = true;
        break;
      }
    }
    stopMs = GetTickCount64();
    e = driver.stop();
    if (e != ASE_OK && result.ok) {
      result.ok = false;
      result.error = "stop failed: " + ErrorName(e);
    }
  }
  e = driver.disposeBuffers();
  if (e != ASE_OK && result.ok) {
    result.ok = false;
    result.error = "disposeBuffers failed: " + ErrorName(e);
  }
  g_session = nullptr;
  progress.Finish();
  result.switches = s.switches.load();
  result.missed = s.missed.load();
  result.timeInfo = s.timeInfo.load();
  result.seconds = startMs ? static_cast<double>(stopMs - startMs) / 1000.0 : 0;
  return result;
}

}  // namespace orvi::host
