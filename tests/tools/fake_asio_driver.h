#pragma once
// An ASIO driver object whose every answer the test chooses, including the
// wrong ones a faulty driver gives: unterminated names, absurd counts, values
// written into the out-parameters of a call that then fails.
#include <cstring>
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
  ASIOError STDMETHODCALLTYPE start() override { return ASE_NotPresent; }
  ASIOError STDMETHODCALLTYPE stop() override { return ASE_NotPresent; }
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
  ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_NotPresent; }
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
  ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo*, long, long, ASIOCallbacks*) override {
    return ASE_NotPresent;
  }
  ASIOError STDMETHODCALLTYPE disposeBuffers() override { return ASE_NotPresent; }
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
  ASIOError STDMETHODCALLTYPE outputReady() override { return ASE_NotPresent; }

 private:
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
