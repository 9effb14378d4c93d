// Hosts call the driver through fixed virtual-table slots; a method declared out
// of order would be called for another. This checks each slot by number.
#include "asio/asio_interface.h"

#include <string>

#include <gtest/gtest.h>

namespace {

// Records which method a slot reached.
class SlotProbe : public IASIO {
 public:
  std::string called;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return Hit("QueryInterface", E_NOINTERFACE); }
  ULONG STDMETHODCALLTYPE AddRef() override { return Hit("AddRef", 1); }
  ULONG STDMETHODCALLTYPE Release() override { return Hit("Release", 1); }
  ASIOBool STDMETHODCALLTYPE init(void*) override { return Hit("init", ASIOTrue); }
  void STDMETHODCALLTYPE getDriverName(char*) override { called = "getDriverName"; }
  long STDMETHODCALLTYPE getDriverVersion() override { return Hit("getDriverVersion", 1); }
  void STDMETHODCALLTYPE getErrorMessage(char*) override { called = "getErrorMessage"; }
  ASIOError STDMETHODCALLTYPE start() override { return Hit("start"); }
  ASIOError STDMETHODCALLTYPE stop() override { return Hit("stop"); }
  ASIOError STDMETHODCALLTYPE getChannels(long*, long*) override { return Hit("getChannels"); }
  ASIOError STDMETHODCALLTYPE getLatencies(long*, long*) override { return Hit("getLatencies"); }
  ASIOError STDMETHODCALLTYPE getBufferSize(long*, long*, long*, long*) override { return Hit("getBufferSize"); }
  ASIOError STDMETHODCALLTYPE canSampleRate(ASIOSampleRate) override { return Hit("canSampleRate"); }
  ASIOError STDMETHODCALLTYPE getSampleRate(ASIOSampleRate*) override { return Hit("getSampleRate"); }
  ASIOError STDMETHODCALLTYPE setSampleRate(ASIOSampleRate) override { return Hit("setSampleRate"); }
  ASIOError STDMETHODCALLTYPE getClockSources(ASIOClockSource*, long*) override { return Hit("getClockSources"); }
  ASIOError STDMETHODCALLTYPE setClockSource(long) override { return Hit("setClockSource"); }
  ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override {
    return Hit("getSamplePosition");
  }
  ASIOError STDMETHODCALLTYPE getChannelInfo(ASIOChannelInfo*) override { return Hit("getChannelInfo"); }
  ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo*, long, long, ASIOCallbacks*) override {
    return Hit("createBuffers");
  }
  ASIOError STDMETHODCALLTYPE disposeBuffers() override { return Hit("disposeBuffers"); }
  ASIOError STDMETHODCALLTYPE controlPanel() override { return Hit("controlPanel"); }
  ASIOError STDMETHODCALLTYPE future(long, void*) override { return Hit("future"); }
  ASIOError STDMETHODCALLTYPE outputReady() override { return Hit("outputReady"); }

 private:
  template <typename T = ASIOError>
  T Hit(const char* name, T result = ASE_OK) {
    called = name;
    return result;
  }
};

// Calls slot `n` of the object's virtual table the way a host would.
template <typename Fn, typename... Args>
void CallSlot(IASIO* object, int n, Args... args) {
  auto table = *reinterpret_cast<void***>(object);
  reinterpret_cast<Fn>(table[n])(object, args...);
}

TEST(AsioInterface, EachMethodSitsInItsSlot) {
  SlotProbe probe;
  using NoArgs = ASIOError(STDMETHODCALLTYPE*)(IASIO*);
  using Rate = ASIOError(STDMETHODCALLTYPE*)(IASIO*, ASIOSampleRate);
  using Future = ASIOError(STDMETHODCALLTYPE*)(IASIO*, long, void*);
  using Create = ASIOError(STDMETHODCALLTYPE*)(IASIO*, ASIOBufferInfo*, long, long, ASIOCallbacks*);
  using Init = ASIOBool(STDMETHODCALLTYPE*)(IASIO*, void*);
  using Version = long(STDMETHODCALLTYPE*)(IASIO*);

  CallSlot<Init>(&probe, 3, nullptr);
  EXPECT_EQ(probe.called, "init");
  CallSlot<Version>(&probe, 5);
  EXPECT_EQ(probe.called, "getDriverVersion");
  const struct {
    int slot;
    const char* name;
  } plain[] = {{7, "start"}, {8, "stop"}, {20, "disposeBuffers"}, {21, "controlPanel"}, {23, "outputReady"}};
  for (const auto& s : plain) {
    CallSlot<NoArgs>(&probe, s.slot);
    EXPECT_EQ(probe.called, s.name) << "slot " << s.slot;
  }
  for (const auto& s : {std::pair{12, "canSampleRate"}, std::pair{14, "setSampleRate"}}) {
    CallSlot<Rate>(&probe, s.first, 44100.0);
    EXPECT_EQ(probe.called, s.second) << "slot " << s.first;
  }
  CallSlot<Create>(&probe, 19, nullptr, 0L, 0L, nullptr);
  EXPECT_EQ(probe.called, "createBuffers");
  CallSlot<Future>(&probe, 22, static_cast<long>(kAsioCanTimeInfo), nullptr);
  EXPECT_EQ(probe.called, "future");
}

}  // namespace
