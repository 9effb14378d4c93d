#pragma once
// An ASIO driver object whose every answer the test chooses, including the
// wrong ones a faulty driver gives: unterminated names, absurd counts, values
// written into the out-parameters of a call that then fails. It also streams:
// a thread of its own calls the host's buffer switch, keeps what the host
// handed over at each outputReady, fills the input halves, and can skip
// periods, repeat an index, ask for a reset or stop switching.
#include <atomic>
#include <climits>
#include <cstring>
#include <thread>
#include <array>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "asio/asio_interface.h"

namespace orvi::test {

class FakeAsioDriver : public IASIO {
 public:
  // Bytes getDriverName writes, as they are (no terminator is added).
  std::string nameBytes = std::string("Fake Q72", 9);
  std::string errorMessage = std::string("", 1);
  ASIOBool initAnswer = ASIOTrue;
  long version = 7;
  ASIOError channelsError = ASE_OK;
  long inputs = 2, outputs = 2;
  ASIOError latenciesError = ASE_OK;
  long inputLatency = 440, outputLatency = 440;
  ASIOError bufferError = ASE_OK;
  long minSize = 96, maxSize = 28800, preferredSize = 480, granularity = 48;
  ASIOError rateError = ASE_OK;
  double rate = 48000;
  ASIOError clocksError = ASE_OK;
  std::vector<ASIOClockSource> clocks = {Clock(0, "Internal", true), Clock(1, "S/PDIF", false)};
  std::optional<long> clockCountSaid;  // what getClockSources reports; else as many as `clocks`
  // Channel names are "In N" / "Out N"; one channel may fail.
  ASIOSampleType inputType = ASIOSTInt24LSB, outputType = ASIOSTDSDInt8MSB1;
  long failingChannel = -1;
  std::map<double, ASIOError> rateAnswers = {{44100, ASE_OK}, {48000, ASE_OK}, {2822400, ASE_OK}};
  ASIOError otherRates = ASE_NoClock;
  std::map<long, ASIOError> futureAnswers = {{kAsioCanTimeInfo, ASE_SUCCESS}, {kAsioCanDoIoFormat, ASE_SUCCESS},
                                             {kAsioGetIoFormat, ASE_SUCCESS}};
  ASIOIoFormatType ioFormat = kASIODSDFormat;
  // A failing call still writes this into its out-parameters, as a careless driver might.
  long garbage = 987654;

  // What the host did.
  std::vector<long> inputChannelsAsked, outputChannelsAsked;
  std::vector<double> ratesSet;
  bool futureGotNullForCan = true;
  LONG refs = 1;

  static ASIOClockSource Clock(long index, const char* name, bool current) {
    ASIOClockSource c{};
    c.index = index;
    c.associatedChannel = -1;
    c.associatedGroup = -1;
    c.isCurrentSource = current ? ASIOTrue : ASIOFalse;
    std::strncpy(c.name, name, sizeof c.name - 1);
    return c;
  }

  FakeAsioDriver() = default;
  FakeAsioDriver(const FakeAsioDriver&) = delete;
  FakeAsioDriver& operator=(const FakeAsioDriver&) = delete;
  ~FakeAsioDriver() { stop(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }

  ASIOBool STDMETHODCALLTYPE init(void*) override { return initAnswer; }
  void STDMETHODCALLTYPE getDriverName(char* name) override {
    std::memcpy(name, nameBytes.data(), nameBytes.size());
  }
  long STDMETHODCALLTYPE getDriverVersion() override { return version; }
  void STDMETHODCALLTYPE getErrorMessage(char* text) override {
    std::memcpy(text, errorMessage.data(), errorMessage.size());
  }
  ASIOError STDMETHODCALLTYPE start() override {
    if (halves.empty() && channelsCreated == 0) return ASE_NotPresent;
    quit = false;
    period = 0;
    switcher = std::thread([this] { Switch(); });
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE stop() override {
    quit = true;
    if (switcher.joinable()) switcher.join();
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE getChannels(long* in, long* out) override {
    return Answer(channelsError, {{in, inputs}, {out, outputs}});
  }
  ASIOError STDMETHODCALLTYPE getLatencies(long* in, long* out) override {
    return Answer(latenciesError, {{in, inputLatency}, {out, outputLatency}});
  }
  ASIOError STDMETHODCALLTYPE getBufferSize(long* mn, long* mx, long* pref, long* gran) override {
    return Answer(bufferError, {{mn, minSize}, {mx, maxSize}, {pref, preferredSize}, {gran, granularity}});
  }
  ASIOError STDMETHODCALLTYPE canSampleRate(ASIOSampleRate r) override {
    auto it = rateAnswers.find(r);
    return it == rateAnswers.end() ? otherRates : it->second;
  }
  ASIOError STDMETHODCALLTYPE getSampleRate(ASIOSampleRate* r) override {
    *r = rateError == ASE_OK ? rate : static_cast<double>(garbage);
    return rateError;
  }
  ASIOError STDMETHODCALLTYPE setSampleRate(ASIOSampleRate r) override {
    ratesSet.push_back(r);
    ASIOError e = canSampleRate(r);
    if (e == ASE_OK) rate = r;
    return e;
  }
  ASIOError STDMETHODCALLTYPE getClockSources(ASIOClockSource* out, long* count) override {
    if (clocksError != ASE_OK) {
      *count = garbage;
      return clocksError;
    }
    // Writes no more than the host's room, whatever count it then claims.
    size_t room = *count < 0 ? 0 : static_cast<size_t>(*count);
    for (size_t i = 0; i < clocks.size() && i < room; ++i) out[i] = clocks[i];
    *count = clockCountSaid ? *clockCountSaid : static_cast<long>(clocks.size());
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE setClockSource(long) override { return ASE_OK; }
  ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples* pos, ASIOTimeStamp* stamp) override {
    if (!positionAnswers) return ASE_NotPresent;
    const uint64_t p = position;
    *pos = ASIOSamples{static_cast<uint32_t>(p >> 32), static_cast<uint32_t>(p)};
    *stamp = ASIOTimeStamp{0, 0};
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE getChannelInfo(ASIOChannelInfo* info) override {
    bool input = info->isInput != ASIOFalse;
    (input ? inputChannelsAsked : outputChannelsAsked).push_back(info->channel);
    if (info->channel == failingChannel) return ASE_InvalidParameter;
    info->isActive = info->channel == 0 ? ASIOTrue : ASIOFalse;
    info->channelGroup = 0;
    info->type = input ? inputType : outputType;
    std::string name = (input ? "In " : "Out ") + std::to_string(info->channel + 1);
    std::strncpy(info->name, name.c_str(), sizeof info->name - 1);
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo* infos, long n, long size, ASIOCallbacks* cb) override {
    if (createError != ASE_OK) return createError;
    callbacks = *cb;
    bufferSize = size;
    halves.assign(static_cast<size_t>(n), {});
    bufferInfos.assign(infos, infos + n);
    played.assign(static_cast<size_t>(n), {});
    channelsCreated = n;
    for (long i = 0; i < n; ++i) {
      const ASIOSampleType type = infos[i].isInput ? inputType : outputType;
      const size_t bytes = type == ASIOSTDSDInt8MSB1 || type == ASIOSTDSDInt8LSB1 ? static_cast<size_t>(size) / 8
                           : type == ASIOSTInt16LSB                               ? static_cast<size_t>(size) * 2
                           : type == ASIOSTInt24LSB                               ? static_cast<size_t>(size) * 3
                                                                                  : static_cast<size_t>(size) * 4;
      for (int h = 0; h < 2; ++h) {
        halves[i][h].assign(bytes, 0xEE);  // not silence: a half the host left alone shows
        infos[i].buffers[h] = halves[i][h].data();
      }
      bufferInfos[i] = infos[i];
    }
    hostTimeInfo = callbacks.asioMessage && callbacks.asioMessage(kAsioEngineVersion, 0, nullptr, nullptr) >= 2 &&
                   callbacks.asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE disposeBuffers() override {
    stop();
    halves.clear();
    channelsCreated = 0;
    return ASE_OK;
  }
  ASIOError STDMETHODCALLTYPE controlPanel() override { return ASE_NotPresent; }
  ASIOError STDMETHODCALLTYPE future(long selector, void* opt) override {
    auto it = futureAnswers.find(selector);
    ASIOError e = it == futureAnswers.end() ? ASE_InvalidParameter : it->second;
    if (selector == kAsioGetIoFormat) {
      if (opt && e == ASE_SUCCESS) static_cast<ASIOIoFormat*>(opt)->FormatType = ioFormat;
    } else if (opt) {
      futureGotNullForCan = false;
    }
    return e;
  }
  ASIOError STDMETHODCALLTYPE outputReady() override {
    ++outputReadyCalls;
    return ASE_OK;
  }

  // Streaming: the script, and what the host did.
  ASIOError createError = ASE_OK;
  bool positionAnswers = true;       // getSamplePosition works
  std::map<long, long> skipPeriodsAt;  // at switch k, this many periods pass unseen first
  long repeatIndexAt = -1;            // switch k gets the index of the one before
  long resetAt = -1;                  // asioMessage(kAsioResetRequest) after switch k
  long switchLimit = LONG_MAX;        // no switches after this many
  // Input sample byte i of a channel at stream byte offset `at`: what the device "captured".
  static uint8_t InputByte(long channel, uint64_t at) { return static_cast<uint8_t>(at * 7 + channel * 31 + 1); }
  std::vector<std::vector<uint8_t>> played;  // per buffer info, the output halves at each outputReady
  std::atomic<long> switchesMade{0};
  bool hostTimeInfo = false;

 private:
  void Switch() {
    long index = 0;
    for (long k = 0; !quit && k < switchLimit; ++k) {
      auto skip = skipPeriodsAt.find(k);
      const long skipped = skip == skipPeriodsAt.end() ? 0 : skip->second;
      period += static_cast<uint64_t>(k == 0 ? 0 : 1 + skipped);
      position = period * static_cast<uint64_t>(bufferSize);
      // The index flips with every period that passes, except where it stutters.
      if (k == 0) {
        index = 0;
      } else if (k != repeatIndexAt) {
        index ^= static_cast<long>((1 + skipped) & 1);
      }
      for (size_t i = 0; i < bufferInfos.size(); ++i) {
        if (!bufferInfos[i].isInput) continue;
        std::vector<uint8_t>& half = halves[i][index];
        const uint64_t at = period * half.size();
        for (size_t b = 0; b < half.size(); ++b) half[b] = InputByte(bufferInfos[i].channelNum, at + b);
      }
      const long readyBefore = outputReadyCalls.load();
      if (hostTimeInfo) {
        ASIOTime time{};
        time.timeInfo.samplePosition = ASIOSamples{static_cast<uint32_t>(position >> 32), static_cast<uint32_t>(position)};
        time.timeInfo.flags = kSamplePositionValid | kSystemTimeValid;
        callbacks.bufferSwitchTimeInfo(&time, index, ASIOTrue);
      } else {
        callbacks.bufferSwitch(index, ASIOTrue);
      }
      if (outputReadyCalls != readyBefore) {
        for (size_t i = 0; i < bufferInfos.size(); ++i) {
          if (bufferInfos[i].isInput) continue;
          played[i].insert(played[i].end(), halves[i][index].begin(), halves[i][index].end());
        }
      }
      ++switchesMade;
      if (k == resetAt) callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  ASIOCallbacks callbacks{};
  long bufferSize = 0;
  long channelsCreated = 0;
  std::vector<ASIOBufferInfo> bufferInfos;
  std::vector<std::array<std::vector<uint8_t>, 2>> halves;
  std::thread switcher;
  std::atomic<bool> quit{false};
  std::atomic<uint64_t> position{0};
  uint64_t period = 0;
  std::atomic<long> outputReadyCalls{0};

  struct Out {
    long* to;
    long value;
  };
  ASIOError Answer(ASIOError e, std::initializer_list<Out> outs) {
    for (const Out& o : outs) *o.to = e == ASE_OK ? o.value : garbage;
    return e;
  }
};

// A class factory that lives as long as the test or the module: its reference
// count is not kept. Subclasses make the objects.
class StaticClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

}  // namespace orvi::test
