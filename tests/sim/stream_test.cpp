// Pin instances of the simulated device through the host's entry points:
// KsCreatePin from "ksuser.dll", state and reset requests, and stream packets
// completed on the device's sample clock.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asio/mode_reports.h"
#include "ks/ks_platform.h"
#include "media/dop.h"
#include "media/dsf.h"
#include "platform/device_api.h"
#include "sim/device_model.h"
#include "sim/device_tree.h"
#include "sim/lab_state.h"
#include "sim/pin_instance.h"
#include "sim/scheduler.h"

namespace {

using KsCreatePinFn = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);

constexpr ULONG kRenderPin = 0;
constexpr ULONG kCapturePin = 1;
constexpr ULONG kBridgePin = 2;

// A connection request laid out as the host's audio pin builds it: KSPIN_CONNECT,
// KSDATAFORMAT, then the wave format.
struct ConnectRequest {
  ConnectRequest(ULONG pin, WORD channels, DWORD rate, WORD bits, bool extensible = true)
      : buffer((sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE) + 7) / 8) {
    KSPIN_CONNECT* c = Connect();
    c->Interface.Set = KSINTERFACESETID_Standard;
    c->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    c->Medium.Set = KSMEDIUMSETID_Standard;
    c->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    c->PinId = pin;
    c->Priority.PriorityClass = KSPRIORITY_NORMAL;
    c->Priority.PrioritySubClass = 1;
    KSDATAFORMAT* f = Format();
    f->FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT) +
                                       (extensible ? sizeof(WAVEFORMATEXTENSIBLE) : sizeof(WAVEFORMATEX)));
    f->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEXTENSIBLE* w = Wave();
    w->Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    w->Format.cbSize = extensible ? 22 : 0;
    w->dwChannelMask = 3;
    w->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    SetFormat(channels, rate, bits);
  }
  // A consistent wave format.
  void SetFormat(WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEXTENSIBLE* w = Wave();
    w->Format.nChannels = channels;
    w->Format.nSamplesPerSec = rate;
    w->Format.wBitsPerSample = bits;
    w->Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    w->Format.nAvgBytesPerSec = rate * w->Format.nBlockAlign;
    w->Samples.wValidBitsPerSample = bits;
    Format()->SampleSize = w->Format.nBlockAlign;
  }
  KSPIN_CONNECT* Connect() { return reinterpret_cast<KSPIN_CONNECT*>(buffer.data()); }
  KSDATAFORMAT* Format() {
    return reinterpret_cast<KSDATAFORMAT*>(reinterpret_cast<uint8_t*>(buffer.data()) + sizeof(KSPIN_CONNECT));
  }
  WAVEFORMATEXTENSIBLE* Wave() { return reinterpret_cast<WAVEFORMATEXTENSIBLE*>(Format() + 1); }
  size_t Size() const { return buffer.size() * sizeof(uint64_t); }

  std::vector<uint64_t> buffer;  // 8-byte aligned, as the host allocates it
};

// A stream packet: header, data and OVERLAPPED with its own event.
struct Packet {
  explicit Packet(ULONG bytes) : data(bytes) {
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    header.Size = sizeof header;
    header.PresentationTime.Numerator = 1;
    header.PresentationTime.Denominator = 1;
    header.FrameExtent = bytes;
    header.DataUsed = bytes;
    header.Data = data.data();
  }
  ~Packet() { CloseHandle(overlapped.hEvent); }
  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

  // 0 when the pin took the packet (pending), else the Win32 error.
  DWORD Send(HANDLE pin, DWORD code, DWORD outSize = 0) {
    ResetEvent(overlapped.hEvent);
    if (code == IOCTL_KS_READ_STREAM) header.DataUsed = 0;
    if (dev::DeviceIoControl(pin, code, nullptr, 0, &header, outSize ? outSize : header.Size, nullptr, &overlapped))
      return 0;
    DWORD e = GetLastError();
    return e == ERROR_IO_PENDING ? 0 : e;
  }
  bool Wait(DWORD ms) { return WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0; }
  bool Done() const { return overlapped.Internal != static_cast<ULONG_PTR>(STATUS_PENDING); }
  sim::NtStatus Status() const { return static_cast<sim::NtStatus>(static_cast<ULONG>(overlapped.Internal)); }

  KSSTREAM_HEADER header = {};
  OVERLAPPED overlapped = {};
  std::vector<uint8_t> data;
};

using Packets = std::vector<std::unique_ptr<Packet>>;

class ThreadPriority {
 public:
  explicit ThreadPriority(int priority) : m_old(GetThreadPriority(GetCurrentThread())) {
    SetThreadPriority(GetCurrentThread(), priority);
  }
  ~ThreadPriority() { SetThreadPriority(GetCurrentThread(), m_old); }
  ThreadPriority(const ThreadPriority&) = delete;
  ThreadPriority& operator=(const ThreadPriority&) = delete;

 private:
  int m_old;
};

Packets MakePackets(size_t count, ULONG bytes) {
  Packets p;
  for (size_t i = 0; i < count; ++i) p.push_back(std::make_unique<Packet>(bytes));
  return p;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

std::string TempPath(const char* name) {
  char dir[MAX_PATH];
  GetTempPathA(sizeof dir, dir);
  return std::string(dir) + "orvi-stream-" + std::to_string(GetCurrentProcessId()) + "-" + name;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::vector<uint8_t> bytes;
  HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (f == INVALID_HANDLE_VALUE) return bytes;
  DWORD size = GetFileSize(f, nullptr);
  bytes.resize(size);
  DWORD got = 0;
  ReadFile(f, bytes.data(), size, &got, nullptr);
  bytes.resize(got);
  CloseHandle(f);
  return bytes;
}

uint32_t U32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A 16-bit PCM WAV file written by hand, so the reader is not checked against itself.
void WriteWav(const std::string& path, WORD channels, DWORD rate, const std::vector<int16_t>& samples) {
  std::vector<uint8_t> b(44);
  auto put16 = [&](size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
  };
  auto put32 = [&](size_t at, uint32_t v) {
    put16(at, v);
    put16(at + 2, v >> 16);
  };
  uint32_t dataBytes = static_cast<uint32_t>(samples.size() * 2);
  std::memcpy(b.data(), "RIFF", 4);
  put32(4, 36 + dataBytes);
  std::memcpy(b.data() + 8, "WAVEfmt ", 8);
  put32(16, 16);
  put16(20, 1);
  put16(22, channels);
  put32(24, rate);
  put32(28, rate * channels * 2);
  put16(32, channels * 2u);
  put16(34, 16);
  std::memcpy(b.data() + 36, "data", 4);
  put32(40, dataBytes);
  const auto* s = reinterpret_cast<const uint8_t*>(samples.data());
  b.insert(b.end(), s, s + dataBytes);
  HANDLE f = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  WriteFile(f, b.data(), static_cast<DWORD>(b.size()), &written, nullptr);
  CloseHandle(f);
}

class StreamTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
    lab = sim::Lab::Block();
    ASSERT_NE(lab, nullptr);
    ResetLab();
    HMODULE ksuser = dev::LoadLibraryA("ksuser.dll");
    ASSERT_NE(ksuser, nullptr);
    createPin = reinterpret_cast<KsCreatePinFn>(reinterpret_cast<void (*)()>(dev::GetProcAddress(ksuser, "KsCreatePin")));
    ASSERT_NE(createPin, nullptr);
    filter = OpenFilter();
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    for (HANDLE h : handles) dev::CloseHandle(h);
    if (filter != INVALID_HANDLE_VALUE) dev::CloseHandle(filter);
    ResetLab();
    sim::Lab::Unplug();
  }
  void ResetLab() {
    InterlockedExchange(&lab->underruns, 0);
    InterlockedExchange(&lab->overruns, 0);
    InterlockedExchange(&lab->packetsStalled, 0);
    InterlockedExchange(&lab->recording, 0);
    InterlockedExchange(&lab->captureSource, 0);
    InterlockedExchange(&lab->toneHz, 1000);
    lab->recordFile[0] = '\0';
    lab->captureFile[0] = '\0';
    InterlockedExchange(&lab->dsdMode, 0);
  }

  HANDLE OpenFilter() {
    std::string path = sim::BuildDeviceTree(sim::DefaultProfile()).interfaces[0].path;
    HANDLE h = dev::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h != INVALID_HANDLE_VALUE && filter != INVALID_HANDLE_VALUE) handles.push_back(h);
    return h;
  }
  // KsCreatePin's result; a created pin is closed at the end of the test.
  DWORD Create(ConnectRequest& r, HANDLE& pin, HANDLE onFilter = nullptr) {
    pin = nullptr;
    DWORD e = createPin(onFilter ? onFilter : filter, r.Connect(), GENERIC_READ | GENERIC_WRITE, &pin);
    if (e == 0) handles.push_back(pin);
    return e;
  }
  HANDLE Pin(ULONG id, WORD channels, DWORD rate, WORD bits) {
    ConnectRequest r(id, channels, rate, bits);
    HANDLE pin = nullptr;
    EXPECT_EQ(Create(r, pin), 0u);
    return pin;
  }
  void Close(HANDLE pin) {
    handles.erase(std::remove(handles.begin(), handles.end(), pin), handles.end());
    EXPECT_TRUE(dev::CloseHandle(pin));
  }

  static DWORD SetState(HANDLE pin, ULONG state) {
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_SET;
    DWORD bytes = 0;
    return dev::DeviceIoControl(pin, IOCTL_KS_PROPERTY, &p, sizeof p, &state, sizeof state, &bytes, nullptr)
               ? 0
               : GetLastError();
  }
  static KSSTATE State(HANDLE pin) {
    KSPROPERTY p = {};
    p.Set = KSPROPSETID_Connection;
    p.Id = KSPROPERTY_CONNECTION_STATE;
    p.Flags = KSPROPERTY_TYPE_GET;
    ULONG state = 0xFFFFFFFF;
    DWORD bytes = 0;
    EXPECT_TRUE(dev::DeviceIoControl(pin, IOCTL_KS_PROPERTY, &p, sizeof p, &state, sizeof state, &bytes, nullptr));
    return static_cast<KSSTATE>(state);
  }
  static DWORD Reset(HANDLE pin, const void* in, DWORD inSize) {
    DWORD bytes = 0;
    return dev::DeviceIoControl(pin, IOCTL_KS_RESET_STATE, const_cast<void*>(in), inSize, nullptr, 0, &bytes,
                                nullptr)
               ? 0
               : GetLastError();
  }
  static DWORD Reset(HANDLE pin, KSRESET value) { return Reset(pin, &value, sizeof value); }
  KSPIN_CINSTANCES Instances(HANDLE onFilter, ULONG pin, ULONG id) {
    KSP_PIN p = {};
    p.Property.Set = KSPROPSETID_Pin;
    p.Property.Id = id;
    p.Property.Flags = KSPROPERTY_TYPE_GET;
    p.PinId = pin;
    KSPIN_CINSTANCES value = {};
    DWORD bytes = 0;
    EXPECT_TRUE(dev::DeviceIoControl(onFilter, IOCTL_KS_PROPERTY, &p, sizeof p, &value, sizeof value, &bytes, nullptr));
    return value;
  }

  // Queues every packet while the pin is paused: once it runs, the data flows at
  // the device's pace whatever the test thread does.
  static void QueueAll(HANDLE pin, DWORD code, Packets& packets) {
    ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    for (auto& p : packets) ASSERT_EQ(p->Send(pin, code), 0u);
  }

  // Runs `count` packets through a running pin the way the driver does: two
  // queued before RUN, and each completion queues the packet two further on.
  // `prepare` fills (or inspects) packet k before it is queued; `done` sees it
  // completed. Returns each completion's time after RUN, in microseconds.
  std::vector<int64_t> Stream(HANDLE pin, DWORD code, Packets& ring, size_t count,
                              const std::function<void(size_t, Packet&)>& prepare,
                              const std::function<void(size_t, Packet&)>& done, int* laterAlreadyDone = nullptr) {
    std::vector<int64_t> times;
    // The driver's streaming thread is time-critical; so is this one meanwhile.
    ThreadPriority critical(THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    for (size_t k = 0; k < 2 && k < count; ++k) {
      prepare(k, *ring[k % ring.size()]);
      EXPECT_EQ(ring[k % ring.size()]->Send(pin, code), 0u);
    }
    int64_t start = sim::NowMicroseconds();
    EXPECT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    for (size_t k = 0; k < count; ++k) {
      Packet& p = *ring[k % ring.size()];
      if (!p.Wait(2000)) {
        ADD_FAILURE() << "packet " << k << " did not complete";
        break;
      }
      times.push_back(sim::NowMicroseconds() - start);
      if (laterAlreadyDone && k + 1 < count && ring[(k + 1) % ring.size()]->Done()) ++*laterAlreadyDone;
      EXPECT_EQ(p.Status(), sim::kStatusSuccess) << "packet " << k;
      EXPECT_EQ(p.overlapped.InternalHigh, sizeof(KSSTREAM_HEADER)) << "packet " << k;
      done(k, p);
      if (k + 2 < count) {
        Packet& next = *ring[(k + 2) % ring.size()];
        prepare(k + 2, next);
        EXPECT_EQ(next.Send(pin, code), 0u) << "packet " << k + 2;
      }
    }
    return times;
  }

  sim::LabBlock* lab = nullptr;
  KsCreatePinFn createPin = nullptr;
  HANDLE filter = INVALID_HANDLE_VALUE;
  std::vector<HANDLE> handles;
};

TEST_F(StreamTest, ConnectRequestsAreCheckedAgainstThePinTypes) {
  const struct {
    const char* what;
    std::function<void(ConnectRequest&)> change;
    DWORD error;
  } cases[] = {
      {"a pin id past the last", [](ConnectRequest& r) { r.Connect()->PinId = 3; }, ERROR_INVALID_PARAMETER},
      {"the bridge pin", [](ConnectRequest& r) { r.Connect()->PinId = kBridgePin; }, ERROR_NOT_SUPPORTED},
      {"PinToHandle set", [](ConnectRequest& r) { r.Connect()->PinToHandle = reinterpret_cast<HANDLE>(8); },
       ERROR_INVALID_PARAMETER},
      {"another interface set", [](ConnectRequest& r) { r.Connect()->Interface.Set = KSMEDIUMSETID_Standard; },
       ERROR_NO_MATCH},
      {"interface id 2", [](ConnectRequest& r) { r.Connect()->Interface.Id = 2; }, ERROR_NO_MATCH},
      {"medium id 1", [](ConnectRequest& r) { r.Connect()->Medium.Id = 1; }, ERROR_NO_MATCH},
      {"FormatSize short of a WAVEFORMATEX",
       [](ConnectRequest& r) { r.Format()->FormatSize = sizeof(KSDATAFORMAT) + 10; }, ERROR_INVALID_PARAMETER},
      {"FormatSize of a megabyte", [](ConnectRequest& r) { r.Format()->FormatSize = 1 << 20; },
       ERROR_INVALID_PARAMETER},
      {"an extensible format cut to 18 bytes",
       [](ConnectRequest& r) { r.Format()->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX); },
       ERROR_INVALID_PARAMETER},
      {"an extensible format with cbSize 0", [](ConnectRequest& r) { r.Wave()->Format.cbSize = 0; },
       ERROR_INVALID_PARAMETER},
      {"major format MIDI", [](ConnectRequest& r) { r.Format()->MajorFormat = KSDATAFORMAT_TYPE_MUSIC; },
       ERROR_NO_MATCH},
      {"sub-format float", [](ConnectRequest& r) { r.Format()->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; },
       ERROR_NO_MATCH},
      {"specifier DirectSound", [](ConnectRequest& r) { r.Format()->Specifier = KSDATAFORMAT_SPECIFIER_DSOUND; },
       ERROR_NO_MATCH},
      {"extension sub-format float", [](ConnectRequest& r) { r.Wave()->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT; },
       ERROR_NO_MATCH},
      {"format tag ADPCM", [](ConnectRequest& r) { r.Wave()->Format.wFormatTag = 2; }, ERROR_NO_MATCH},
      {"4 channels on a stereo pin", [](ConnectRequest& r) { r.SetFormat(4, 48000, 16); }, ERROR_NO_MATCH},
      {"8 kHz", [](ConnectRequest& r) { r.SetFormat(2, 8000, 16); }, ERROR_NO_MATCH},
      {"768 kHz", [](ConnectRequest& r) { r.SetFormat(2, 768000, 32); }, ERROR_NO_MATCH},
      {"8-bit samples", [](ConnectRequest& r) { r.SetFormat(2, 48000, 8); }, ERROR_NO_MATCH},
      {"no channels", [](ConnectRequest& r) { r.SetFormat(0, 48000, 16); }, ERROR_INVALID_PARAMETER},
      {"24-bit samples in 4-byte blocks", [](ConnectRequest& r) {
         r.SetFormat(2, 48000, 24);
         r.Wave()->Format.nBlockAlign = 8;
         r.Wave()->Format.nAvgBytesPerSec = 8 * 48000;
       }, ERROR_INVALID_PARAMETER},
      {"a byte rate off by one", [](ConnectRequest& r) { r.Wave()->Format.nAvgBytesPerSec += 1; },
       ERROR_INVALID_PARAMETER},
      {"valid bits above the container", [](ConnectRequest& r) { r.Wave()->Samples.wValidBitsPerSample = 24; },
       ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    ConnectRequest r(kRenderPin, 2, 48000, 16);
    c.change(r);
    HANDLE pin = nullptr;
    EXPECT_EQ(Create(r, pin), c.error) << c.what;
    EXPECT_EQ(pin, nullptr) << c.what;
  }

  const struct {
    ULONG pin;
    WORD channels;
    DWORD rate;
    WORD bits;
    bool extensible;
    ULONG interface;
  } good[] = {
      {kRenderPin, 2, 48000, 16, true, KSINTERFACE_STANDARD_STREAMING},
      {kRenderPin, 1, 44100, 24, false, KSINTERFACE_STANDARD_STREAMING},
      {kRenderPin, 2, 384000, 32, true, KSINTERFACE_STANDARD_LOOPED_STREAMING},
      {kCapturePin, 2, 32000, 24, true, KSINTERFACE_STANDARD_STREAMING},
  };
  for (const auto& g : good) {
    ConnectRequest r(g.pin, g.channels, g.rate, g.bits, g.extensible);
    r.Connect()->Interface.Id = g.interface;
    HANDLE pin = nullptr;
    ASSERT_EQ(Create(r, pin), 0u) << g.channels << " x " << g.bits << " bits at " << g.rate;
    EXPECT_EQ(State(pin), KSSTATE_STOP);
    Close(pin);
  }
}

TEST_F(StreamTest, ConnectRequestRunningIntoUnreadableMemoryIsRefused) {
  SYSTEM_INFO si;
  GetSystemInfo(&si);
  auto* pages = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + si.dwPageSize, si.dwPageSize, PAGE_NOACCESS, &old));
  // The fixed part fits the readable page; the wave format its FormatSize
  // announces runs into the unreadable one.
  ConnectRequest r(kRenderPin, 2, 48000, 16);
  size_t fixed = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
  uint8_t* at = pages + si.dwPageSize - fixed;
  std::memcpy(at, r.buffer.data(), fixed);
  HANDLE pin = nullptr;
  EXPECT_EQ(createPin(filter, reinterpret_cast<KSPIN_CONNECT*>(at), GENERIC_READ | GENERIC_WRITE, &pin),
            static_cast<DWORD>(ERROR_NOACCESS));
  // And a request that does not even reach its data format.
  at = pages + si.dwPageSize - sizeof(KSPIN_CONNECT);
  EXPECT_EQ(createPin(filter, reinterpret_cast<KSPIN_CONNECT*>(at), GENERIC_READ | GENERIC_WRITE, &pin),
            static_cast<DWORD>(ERROR_NOACCESS));
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(StreamTest, PinInstancesAreLimitedAcrossFilterHandles) {
  HANDLE otherFilter = OpenFilter();
  ASSERT_NE(otherFilter, INVALID_HANDLE_VALUE);
  ConnectRequest render(kRenderPin, 2, 48000, 16);
  HANDLE first = nullptr, second = nullptr;
  ASSERT_EQ(Create(render, first), 0u);
  EXPECT_EQ(Create(render, second, otherFilter), static_cast<DWORD>(ERROR_BUSY));
  for (ULONG id : {KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_PIN_GLOBALCINSTANCES}) {
    KSPIN_CINSTANCES n = Instances(otherFilter, kRenderPin, id);
    EXPECT_EQ(n.PossibleCount, 1u);
    EXPECT_EQ(n.CurrentCount, 1u);
  }
  // The capture pin type counts on its own.
  ConnectRequest capture(kCapturePin, 2, 48000, 16);
  HANDLE capturePin = nullptr;
  EXPECT_EQ(Create(capture, capturePin, otherFilter), 0u);

  Close(first);
  EXPECT_EQ(Instances(filter, kRenderPin, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 0u);
  EXPECT_EQ(Create(render, second, otherFilter), 0u);
}

TEST_F(StreamTest, RefusedFormatsFailOnlyThoseRequests) {
  auto model = sim::DeviceModel::Current();
  ASSERT_TRUE(model);
  model->Streams().RefuseFormat(2);
  model->Streams().RefuseFormat(1, 24, 0, sim::kStatusInvalidParameter);
  const struct {
    WORD channels;
    WORD bits;
    DWORD error;
  } cases[] = {
      {2, 16, ERROR_NO_MATCH},
      {2, 32, ERROR_NO_MATCH},
      {1, 24, ERROR_INVALID_PARAMETER},
      {1, 16, 0},
  };
  for (const auto& c : cases) {
    ConnectRequest r(kRenderPin, c.channels, 48000, c.bits);
    HANDLE pin = nullptr;
    EXPECT_EQ(Create(r, pin), c.error) << c.channels << " x " << c.bits;
    if (pin) Close(pin);
  }
  model->Streams().ClearRefusals();
  ConnectRequest r(kRenderPin, 2, 48000, 16);
  HANDLE pin = nullptr;
  EXPECT_EQ(Create(r, pin), 0u);
}

TEST_F(StreamTest, PacketsFollowThePinState) {
  HANDLE pin = Pin(kRenderPin, 2, 48000, 16);
  ASSERT_TRUE(pin);
  Packets p = MakePackets(3, 480 * 4);
  EXPECT_EQ(State(pin), KSSTATE_STOP);
  EXPECT_EQ(p[0]->Send(pin, IOCTL_KS_WRITE_STREAM), static_cast<DWORD>(ERROR_BAD_COMMAND));
  EXPECT_EQ(p[0]->Send(pin, IOCTL_KS_READ_STREAM), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

  // Queued while paused: held, not played.
  ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
  EXPECT_EQ(State(pin), KSSTATE_PAUSE);
  for (auto& packet : p) EXPECT_EQ(packet->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  Sleep(60);
  for (auto& packet : p) EXPECT_FALSE(packet->Done());

  // STOP gives every queued packet back, cancelled.
  ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
  for (auto& packet : p) {
    EXPECT_TRUE(packet->Wait(0));
    EXPECT_EQ(packet->Status(), sim::kStatusCancelled);
  }

  // A jump goes through the states between; an unknown state is refused.
  ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
  EXPECT_EQ(State(pin), KSSTATE_RUN);
  EXPECT_EQ(SetState(pin, 7), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(State(pin), KSSTATE_RUN);
  ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
  EXPECT_EQ(State(pin), KSSTATE_STOP);
}

TEST_F(StreamTest, ResetFlushesQueuedPacketsAndRefusesNewOnesUntilItEnds) {
  HANDLE pin = Pin(kRenderPin, 2, 48000, 16);
  ASSERT_TRUE(pin);
  Packets p = MakePackets(3, 480 * 4);
  ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
  EXPECT_EQ(p[0]->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  EXPECT_EQ(p[1]->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  EXPECT_EQ(Reset(pin, KSRESET_BEGIN), 0u);
  for (int i : {0, 1}) {
    EXPECT_TRUE(p[i]->Wait(0));
    EXPECT_EQ(p[i]->Status(), sim::kStatusCancelled);
  }
  EXPECT_EQ(p[2]->Send(pin, IOCTL_KS_WRITE_STREAM), static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_EQ(Reset(pin, KSRESET_END), 0u);
  EXPECT_EQ(p[2]->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);

  ULONG bad = 5;
  uint16_t shortValue = 0;
  EXPECT_EQ(Reset(pin, &bad, sizeof bad), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Reset(pin, &shortValue, sizeof shortValue), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Reset(pin, nullptr, sizeof(KSRESET)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(p[2]->Done());
}

TEST_F(StreamTest, MalformedStreamHeadersAreRefused) {
  HANDLE render = Pin(kRenderPin, 2, 48000, 16);
  HANDLE capture = Pin(kCapturePin, 2, 48000, 16);
  ASSERT_TRUE(render && capture);
  ASSERT_EQ(SetState(render, KSSTATE_PAUSE), 0u);
  ASSERT_EQ(SetState(capture, KSSTATE_PAUSE), 0u);

  SYSTEM_INFO si;
  GetSystemInfo(&si);
  auto* pages = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * si.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
  ASSERT_NE(pages, nullptr);
  DWORD old = 0;
  ASSERT_TRUE(VirtualProtect(pages + si.dwPageSize, si.dwPageSize, PAGE_READONLY, &old));
  uint8_t* lastWritable = pages + si.dwPageSize - 64;  // 64 writable bytes, then read-only
  auto* reserved = static_cast<uint8_t*>(VirtualAlloc(nullptr, si.dwPageSize, MEM_RESERVE, PAGE_NOACCESS));
  ASSERT_NE(reserved, nullptr);

  const struct {
    const char* what;
    bool onCapture;
    std::function<void(KSSTREAM_HEADER&)> change;
    DWORD outSize;
    DWORD error;
  } cases[] = {
      {"Size 0", false, [](KSSTREAM_HEADER& h) { h.Size = 0; }, sizeof(KSSTREAM_HEADER), ERROR_INVALID_PARAMETER},
      {"an output buffer of 16 bytes", false, [](KSSTREAM_HEADER&) {}, 16, ERROR_INSUFFICIENT_BUFFER},
      {"Size above the output buffer", false, [](KSSTREAM_HEADER& h) { h.Size = sizeof h + 8; },
       sizeof(KSSTREAM_HEADER), ERROR_INVALID_PARAMETER},
      {"an output buffer of a megabyte", false, [](KSSTREAM_HEADER&) {}, 1 << 20, ERROR_INVALID_PARAMETER},
      {"Data null", false, [](KSSTREAM_HEADER& h) { h.Data = nullptr; }, 0, ERROR_INVALID_PARAMETER},
      {"DataUsed above FrameExtent", false, [](KSSTREAM_HEADER& h) { h.DataUsed = h.FrameExtent + 4; }, 0,
       ERROR_INVALID_PARAMETER},
      {"DataUsed of half a frame", false, [](KSSTREAM_HEADER& h) { h.DataUsed = 6; }, 0, ERROR_INVALID_PARAMETER},
      {"FrameExtent of a gigabyte", false, [](KSSTREAM_HEADER& h) { h.FrameExtent = 1u << 30; }, 0,
       ERROR_INVALID_PARAMETER},
      {"Data in reserved memory", false, [&](KSSTREAM_HEADER& h) { h.Data = reserved; }, 0, ERROR_NOACCESS},
      {"a read FrameExtent of half a frame", true, [](KSSTREAM_HEADER& h) { h.FrameExtent = 2; }, 0,
       ERROR_INVALID_PARAMETER},
      {"a read into memory that ends read-only", true, [&](KSSTREAM_HEADER& h) { h.Data = lastWritable; }, 0,
       ERROR_NOACCESS},
  };
  for (const auto& c : cases) {
    Packet p(480 * 4);
    c.change(p.header);
    EXPECT_EQ(p.Send(c.onCapture ? capture : render, c.onCapture ? IOCTL_KS_READ_STREAM : IOCTL_KS_WRITE_STREAM,
                     c.outSize),
              c.error)
        << c.what;
  }
  // Two headers in one request: not what this device takes.
  KSSTREAM_HEADER two[2] = {};
  std::vector<uint8_t> data(64);
  for (KSSTREAM_HEADER& h : two) {
    h.Size = sizeof h;
    h.FrameExtent = h.DataUsed = 64;
    h.Data = data.data();
  }
  OVERLAPPED ov = {};
  EXPECT_FALSE(dev::DeviceIoControl(render, IOCTL_KS_WRITE_STREAM, nullptr, 0, two, sizeof two, nullptr, &ov));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

  VirtualFree(reserved, 0, MEM_RELEASE);
  VirtualFree(pages, 0, MEM_RELEASE);
}

TEST_F(StreamTest, RenderPacketsCompleteInOrderOnTheSampleClock) {
  constexpr ULONG kRate = 48000, kFrames = 480;  // 10 ms packets
  constexpr size_t kCount = 60;
  HANDLE pin = Pin(kRenderPin, 2, kRate, 16);
  ASSERT_TRUE(pin);
  Packets ring = MakePackets(8, kFrames * 4);
  int laterAlreadyDone = 0;
  bool published = false;
  LONG underruns = -1;
  std::vector<int64_t> t = Stream(
      pin, IOCTL_KS_WRITE_STREAM, ring, kCount, [](size_t, Packet&) {},
      [&](size_t k, Packet&) {
        if (k == 5) {
          published = lab->streamActive == 1 && lab->streamRate == 48000 && lab->streamBits == 16 &&
                      lab->streamChannels == 2;
        }
        if (k == kCount - 2) underruns = lab->underruns;  // the last one still queued
      },
      &laterAlreadyDone);
  ASSERT_EQ(t.size(), kCount);
  EXPECT_TRUE(published);
  std::vector<double> intervals;
  for (size_t k = 1; k < t.size(); ++k) intervals.push_back(static_cast<double>(t[k] - t[k - 1]));
  double median = Median(intervals);
  double period = 1e6 * kFrames / kRate;
  double nominal = kCount * period;
  // When the stream ended, as the last few completions tell it: one late wake-up
  // of this thread at the very end does not make the device slow.
  double total = static_cast<double>(t.back());
  for (size_t k = kCount - 5; k < kCount; ++k)
    total = std::min(total, static_cast<double>(t[k]) + static_cast<double>(kCount - 1 - k) * period);
  // Underruns are reported, not asserted: a refill this thread makes a few ms
  // late on a loaded machine is met with silence, which the starvation tests
  // cover; pace and order are what this test checks.
  std::printf("[ timing ] render: %zu packets of 10 ms, median interval %.0f us, total %.1f ms (nominal %.1f ms), "
              "%ld underruns\n",
              kCount, median, total / 1000.0, nominal / 1000.0, static_cast<long>(underruns));
  RecordProperty("median_interval_us", static_cast<int>(median));
  RecordProperty("total_us", static_cast<int>(t.back()));
  EXPECT_NEAR(median, 10000.0, 2000.0);
  EXPECT_NEAR(total, nominal, nominal * 0.05);
  // Completions come one by one, not in bunches.
  EXPECT_LE(laterAlreadyDone, static_cast<int>(kCount / 10));

  ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
  EXPECT_EQ(lab->streamActive, 0);
}

// Waits up to a second for a device counter to reach `atLeast`: the device
// counts on its own clock thread, which a loaded machine may run late.
bool WaitForCount(volatile LONG& counter, LONG atLeast) {
  for (int i = 0; i < 1000 && counter < atLeast; ++i) Sleep(1);
  return counter >= atLeast;
}

TEST_F(StreamTest, StarvedRenderPinCountsOneUnderrunPerDrySpell) {
  HANDLE pin = Pin(kRenderPin, 2, 48000, 16);
  ASSERT_TRUE(pin);
  Packets p = MakePackets(2, 480 * 4);
  ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
  Sleep(30);
  EXPECT_EQ(lab->underruns, 0) << "nothing was sent yet: not starved";

  ASSERT_EQ(p[0]->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  ASSERT_TRUE(p[0]->Wait(1000));
  EXPECT_TRUE(WaitForCount(lab->underruns, 1));
  Sleep(60);  // six packets' time of silence: still one dry spell
  EXPECT_EQ(lab->underruns, 1);

  ASSERT_EQ(p[0]->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  ASSERT_EQ(p[1]->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  ASSERT_TRUE(p[1]->Wait(1000));
  EXPECT_TRUE(WaitForCount(lab->underruns, 2));
  Sleep(40);
  EXPECT_EQ(lab->underruns, 2);
}

TEST_F(StreamTest, RecordingHoldsExactlyTheBytesTheHostSent) {
  std::string path = TempPath("record.wav");
  DeleteFileA(path.c_str());
  lstrcpynA(lab->recordFile, path.c_str(), sizeof lab->recordFile);
  InterlockedExchange(&lab->recording, 1);

  // 24-bit stereo, packed in 6-byte frames; some packets only partly used.
  constexpr ULONG kFrames = 441, kBlock = 6;
  HANDLE pin = Pin(kRenderPin, 2, 44100, 24);
  ASSERT_TRUE(pin);
  Packets p = MakePackets(15, kFrames * kBlock);
  std::vector<uint8_t> sent;
  uint32_t seed = 12345;
  auto send = [&](size_t k) {
    Packet& packet = *p[k];
    packet.header.DataUsed = (k % 4 == 3) ? 100 * kBlock : kFrames * kBlock;
    for (ULONG i = 0; i < packet.header.DataUsed; ++i) {
      seed = seed * 1103515245u + 12345u;
      packet.data[i] = static_cast<uint8_t>(seed >> 24);
    }
    sent.insert(sent.end(), packet.data.begin(), packet.data.begin() + packet.header.DataUsed);
    EXPECT_EQ(packet.Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  };
  ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
  for (size_t k = 0; k < 12; ++k) send(k);
  ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
  ASSERT_TRUE(p[11]->Wait(1000));
  // Starved for a while: the silence played meanwhile is not the host's.
  EXPECT_TRUE(WaitForCount(lab->underruns, 1));
  Sleep(20);
  EXPECT_EQ(lab->underruns, 1);
  for (size_t k = 12; k < 15; ++k) send(k);
  ASSERT_TRUE(p[14]->Wait(1000));
  ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
  InterlockedExchange(&lab->recording, 0);

  std::vector<uint8_t> file = ReadFileBytes(path);
  ASSERT_GE(file.size(), 44u);
  EXPECT_EQ(std::memcmp(file.data(), "RIFF", 4), 0);
  EXPECT_EQ(U32(&file[4]), file.size() - 8);
  EXPECT_EQ(std::memcmp(&file[8], "WAVEfmt ", 8), 0);
  EXPECT_EQ(U32(&file[16]), 16u);
  EXPECT_EQ(U16(&file[20]), 1u);  // PCM
  EXPECT_EQ(U16(&file[22]), 2u);
  EXPECT_EQ(U32(&file[24]), 44100u);
  EXPECT_EQ(U32(&file[28]), 44100u * kBlock);
  EXPECT_EQ(U16(&file[32]), kBlock);
  EXPECT_EQ(U16(&file[34]), 24u);
  EXPECT_EQ(std::memcmp(&file[36], "data", 4), 0);
  ASSERT_EQ(U32(&file[40]), sent.size());
  ASSERT_GE(file.size(), 44 + sent.size());
  EXPECT_TRUE(std::equal(sent.begin(), sent.end(), file.begin() + 44)) << "the recording differs from what was sent";
  DeleteFileA(path.c_str());
}

TEST_F(StreamTest, CaptureToneIsASineRunningOnAcrossPackets) {
  InterlockedExchange(&lab->captureSource, static_cast<LONG>(sim::CaptureSource::kTone));
  InterlockedExchange(&lab->toneHz, 1000);
  constexpr ULONG kFrames = 480;
  constexpr size_t kCount = 20;
  HANDLE pin = Pin(kCapturePin, 2, 48000, 16);
  ASSERT_TRUE(pin);
  Packets p = MakePackets(kCount, kFrames * 4);
  for (auto& packet : p) std::fill(packet->data.begin(), packet->data.end(), 0x5A);
  QueueAll(pin, IOCTL_KS_READ_STREAM, p);
  ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
  std::vector<int16_t> left;
  bool channelsEqual = true;
  for (size_t k = 0; k < kCount; ++k) {
    ASSERT_TRUE(p[k]->Wait(1000)) << "packet " << k;
    if (k == kCount - 2) {
      // While reads are queued, nothing is lost.
      LONG overruns = lab->overruns;
      if (!p[k + 1]->Done()) {
        EXPECT_EQ(overruns, 0);
      }
    }
    EXPECT_EQ(p[k]->Status(), sim::kStatusSuccess);
    EXPECT_EQ(p[k]->header.DataUsed, kFrames * 4) << "packet " << k;
    const auto* samples = reinterpret_cast<const int16_t*>(p[k]->data.data());
    for (ULONG i = 0; i < kFrames; ++i) {
      left.push_back(samples[2 * i]);
      channelsEqual = channelsEqual && samples[2 * i] == samples[2 * i + 1];
    }
  }
  ASSERT_EQ(left.size(), kCount * kFrames);
  EXPECT_TRUE(channelsEqual);
  int peak = 0, maxStep = 0, crossings = 0;
  for (size_t i = 0; i < left.size(); ++i) {
    peak = std::max(peak, std::abs(static_cast<int>(left[i])));
    if (i == 0) continue;
    maxStep = std::max(maxStep, std::abs(left[i] - left[i - 1]));
    if ((left[i - 1] < 0) != (left[i] < 0)) ++crossings;
  }
  EXPECT_NEAR(peak, 16384, 200);  // -6 dBFS
  // The largest step of a 1 kHz sine at that level is 16384 * 2 pi / 48: a
  // jump at a packet boundary would be larger.
  EXPECT_LE(maxStep, 16384 * 2 * 3.1416 / 48 * 1.02);
  EXPECT_NEAR(crossings, 2 * 1000 * kCount * kFrames / 48000, 2);
}

TEST_F(StreamTest, CaptureSourcesFillPackets) {
  std::string good = TempPath("source.wav"), mono = TempPath("mono.wav");
  std::vector<int16_t> pattern(1000 * 2);
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<int16_t>(i * 7 + 1);
  WriteWav(good, 2, 48000, pattern);
  WriteWav(mono, 1, 48000, std::vector<int16_t>(1000, 1234));

  const struct {
    const char* what;
    sim::CaptureSource source;
    std::string file;
    bool expectPattern;
  } cases[] = {
      {"silence", sim::CaptureSource::kSilence, "", false},
      {"a file, looped", sim::CaptureSource::kFile, good, true},
      {"a missing file", sim::CaptureSource::kFile, TempPath("missing.wav"), false},
      {"a file in another format", sim::CaptureSource::kFile, mono, false},
      {"loopback with nothing played", sim::CaptureSource::kLoopback, "", false},
  };
  constexpr ULONG kFrames = 480;
  for (const auto& c : cases) {
    InterlockedExchange(&lab->captureSource, static_cast<LONG>(c.source));
    lstrcpynA(lab->captureFile, c.file.c_str(), sizeof lab->captureFile);
    HANDLE pin = Pin(kCapturePin, 2, 48000, 16);
    ASSERT_TRUE(pin);
    Packets ring = MakePackets(8, kFrames * 4);
    std::vector<int16_t> got;
    Stream(
        pin, IOCTL_KS_READ_STREAM, ring, 5, [](size_t, Packet& p) { std::fill(p.data.begin(), p.data.end(), 0x5A); },
        [&](size_t, Packet& p) {
          const auto* s = reinterpret_cast<const int16_t*>(p.data.data());
          got.insert(got.end(), s, s + p.header.DataUsed / 2);
        });
    ASSERT_EQ(got.size(), 5u * kFrames * 2) << c.what;
    size_t wrong = 0;
    for (size_t i = 0; i < got.size(); ++i) {
      int16_t expected = c.expectPattern ? pattern[i % pattern.size()] : 0;
      if (got[i] != expected) ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << c.what;
    Close(pin);
  }
  DeleteFileA(good.c_str());
  DeleteFileA(mono.c_str());
}

TEST_F(StreamTest, LoopbackCaptureHearsWhatTheRenderPinPlayed) {
  InterlockedExchange(&lab->captureSource, static_cast<LONG>(sim::CaptureSource::kLoopback));
  constexpr ULONG kFrames = 480;
  constexpr size_t kCount = 30;
  HANDLE render = Pin(kRenderPin, 2, 48000, 16);
  HANDLE capture = Pin(kCapturePin, 2, 48000, 16);
  ASSERT_TRUE(render && capture);
  Packets out = MakePackets(kCount, kFrames * 4), in = MakePackets(kCount, kFrames * 4);
  // Every sample of the render stream is its own index + 1: never silent, and
  // a captured sample tells where in the stream it came from.
  for (size_t k = 0; k < kCount; ++k) {
    auto* s = reinterpret_cast<int16_t*>(out[k]->data.data());
    for (ULONG i = 0; i < kFrames * 2; ++i) s[i] = static_cast<int16_t>(k * kFrames * 2 + i + 1);
  }
  QueueAll(render, IOCTL_KS_WRITE_STREAM, out);
  QueueAll(capture, IOCTL_KS_READ_STREAM, in);
  ASSERT_EQ(SetState(capture, KSSTATE_RUN), 0u);
  ASSERT_EQ(SetState(render, KSSTATE_RUN), 0u);
  std::vector<int16_t> got;
  for (size_t k = 0; k < kCount; ++k) {
    ASSERT_TRUE(in[k]->Wait(1000));
    const auto* s = reinterpret_cast<const int16_t*>(in[k]->data.data());
    got.insert(got.end(), s, s + in[k]->header.DataUsed / 2);
  }
  auto first = std::find_if(got.begin(), got.end(), [](int16_t v) { return v != 0; });
  ASSERT_NE(first, got.end()) << "the capture heard nothing";
  size_t start = static_cast<size_t>(first - got.begin());
  // Once it starts hearing, the capture hears the render stream sample for
  // sample, as far as it was played. The two pins run on clocks of their own:
  // when the capture's tick comes before the render's, it hears silence for
  // that packet and the rest arrives later, delayed but complete and in order.
  int16_t expected = *first;
  size_t matched = 0;
  for (size_t i = start; i < got.size(); ++i) {
    if (got[i] == 0) continue;
    ASSERT_EQ(got[i], expected) << "at captured sample " << i;
    ++expected;
    ++matched;
  }
  EXPECT_EQ(*first % 2, 1) << "starts on a frame";
  EXPECT_GE(matched, (kCount - 4) * kFrames * 2);
}

TEST_F(StreamTest, CaptureWithNoReadQueuedCountsOneOverrunPerDrySpell) {
  HANDLE pin = Pin(kCapturePin, 2, 48000, 16);
  ASSERT_TRUE(pin);
  Packet p(480 * 4);
  ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
  ASSERT_EQ(p.Send(pin, IOCTL_KS_READ_STREAM), 0u);
  ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
  ASSERT_TRUE(p.Wait(1000));
  EXPECT_TRUE(WaitForCount(lab->overruns, 1));
  Sleep(60);  // six packets' time unheard: still one dry spell
  EXPECT_EQ(lab->overruns, 1);
  ASSERT_EQ(p.Send(pin, IOCTL_KS_READ_STREAM), 0u);
  ASSERT_TRUE(p.Wait(1000));
  EXPECT_TRUE(WaitForCount(lab->overruns, 2));
  Sleep(40);
  EXPECT_EQ(lab->overruns, 2);
}

TEST_F(StreamTest, StalledDeviceHoldsPacketsUntilReleased) {
  InterlockedExchange(&lab->packetsStalled, 1);
  HANDLE pin = Pin(kRenderPin, 2, 48000, 16);
  ASSERT_TRUE(pin);
  Packets p = MakePackets(2, 480 * 4);
  ASSERT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
  for (auto& packet : p) ASSERT_EQ(packet->Send(pin, IOCTL_KS_WRITE_STREAM), 0u);
  ASSERT_EQ(SetState(pin, KSSTATE_RUN), 0u);
  Sleep(150);
  EXPECT_FALSE(p[0]->Done());
  EXPECT_FALSE(p[1]->Done());
  EXPECT_EQ(lab->underruns, 0);

  InterlockedExchange(&lab->packetsStalled, 0);
  int64_t released = sim::NowMicroseconds();
  ASSERT_TRUE(p[0]->Wait(500));
  int64_t first = sim::NowMicroseconds();
  ASSERT_TRUE(p[1]->Wait(500));
  int64_t second = sim::NowMicroseconds();
  // The clock resumes where it stood: the packets play one after the other,
  // not all at once for the time that passed.
  EXPECT_GE(second - released, 19000);
  // (A lower bound only: a loaded machine may wake the test late, never early.)
  EXPECT_GE(second - first, 5000);
}

TEST_F(StreamTest, RemovalFailsPendingAndNewRequestsPromptly) {
  HANDLE render = Pin(kRenderPin, 2, 48000, 16);
  HANDLE capture = Pin(kCapturePin, 2, 48000, 16);
  ASSERT_TRUE(render && capture);
  Packets p = MakePackets(2, 48000 * 4);  // a second each
  Packet read(480 * 4);
  ASSERT_EQ(SetState(render, KSSTATE_PAUSE), 0u);
  ASSERT_EQ(SetState(capture, KSSTATE_PAUSE), 0u);
  for (auto& packet : p) ASSERT_EQ(packet->Send(render, IOCTL_KS_WRITE_STREAM), 0u);
  ASSERT_EQ(read.Send(capture, IOCTL_KS_READ_STREAM), 0u);
  ASSERT_EQ(SetState(render, KSSTATE_RUN), 0u);
  ASSERT_TRUE(WaitForCount(lab->streamActive, 1));

  int64_t removed = sim::NowMicroseconds();
  sim::Lab::Unplug();
  for (Packet* packet : {p[0].get(), p[1].get(), &read}) {
    ASSERT_TRUE(packet->Wait(500));
    EXPECT_EQ(packet->Status(), sim::kStatusDeviceNotConnected);
  }
  int64_t elapsed = sim::NowMicroseconds() - removed;
  std::printf("[ timing ] removal: pending packets failed %.1f ms after the unplug\n",
              static_cast<double>(elapsed) / 1000.0);
  EXPECT_LT(elapsed, 60000);
  EXPECT_EQ(p[0]->Send(render, IOCTL_KS_WRITE_STREAM), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(SetState(render, KSSTATE_STOP), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(lab->streamActive, 0);
  ConnectRequest r(kRenderPin, 2, 48000, 16);
  HANDLE pin = nullptr;
  EXPECT_EQ(Create(r, pin), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
}

// ---- Recording DSD into DSF files ----

using orvi::media::DsdAudio;

// Per-channel DSD streams of `bytes` bytes, different on every channel, so a
// swapped channel, byte or bit order shows.
DsdAudio DsdMaterial(uint16_t channels, uint32_t dsdRate, size_t bytes) {
  DsdAudio dsd{channels, dsdRate, uint64_t{bytes} * 8, {}};
  uint32_t x = 0x9E3779B9u;
  for (uint16_t c = 0; c < channels; ++c) {
    std::vector<uint8_t> stream(bytes);
    for (uint8_t& b : stream) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x >> 7);
    }
    dsd.channelBytes.push_back(std::move(stream));
  }
  return dsd;
}

// Native DSD as the driver streams it: each frame holds, per channel, the
// channel's next four DSD bytes in memory order in one 32-bit container.
std::vector<uint8_t> NativeContainers(const DsdAudio& dsd) {
  std::vector<uint8_t> out;
  for (size_t at = 0; at + 4 <= dsd.channelBytes[0].size(); at += 4) {
    for (const auto& channel : dsd.channelBytes) out.insert(out.end(), channel.begin() + at, channel.begin() + at + 4);
  }
  return out;
}

std::vector<uint8_t> Dop(const DsdAudio& dsd, unsigned containerBits) {
  auto pcm = orvi::media::PackDop(dsd, containerBits);
  EXPECT_TRUE(pcm.ok()) << pcm.error();
  return pcm.ok() ? pcm->bytes : std::vector<uint8_t>();
}

// The first `bytes` bytes of each channel of `dsd`.
DsdAudio FirstBytes(const DsdAudio& dsd, size_t bytes) {
  DsdAudio cut{dsd.channels, dsd.dsdRate, uint64_t{bytes} * 8, {}};
  for (const auto& channel : dsd.channelBytes) cut.channelBytes.emplace_back(channel.begin(), channel.begin() + bytes);
  return cut;
}

class DsdRecordingTest : public StreamTest {
 protected:
  void TearDown() override {
    StreamTest::TearDown();
    if (!path.empty()) DeleteFileA(path.c_str());
  }

  void RecordTo(const char* name) {
    path = TempPath(name);
    DeleteFileA(path.c_str());
    lstrcpynA(lab->recordFile, path.c_str(), sizeof lab->recordFile);
    InterlockedExchange(&lab->recording, 1);
  }

  // The device's DSD mode, switched the way the driver switches it.
  void SendMode(orvi::ModeReport report, bool on) {
    const sim::Profile profile = sim::DefaultProfile();
    orvi::SendModeReport(profile.vendorId, profile.hidProductId, report, on);
  }

  // Opens a render pin of the format and plays `stream` through it in packets
  // of `packetBytes` (the last one shorter), all queued while paused, then
  // waits until the device has played them. The pin is left running.
  HANDLE Play(WORD channels, DWORD rate, WORD bits, const std::vector<uint8_t>& stream, ULONG packetBytes) {
    HANDLE pin = Pin(kRenderPin, channels, rate, bits);
    if (!pin) return nullptr;
    EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
    Queue(pin, stream, packetBytes);
    EXPECT_EQ(SetState(pin, KSSTATE_RUN), 0u);
    WaitPlayed();
    return pin;
  }
  void Queue(HANDLE pin, const std::vector<uint8_t>& stream, ULONG packetBytes) {
    queued.clear();
    for (size_t at = 0; at < stream.size(); at += packetBytes) {
      ULONG n = static_cast<ULONG>(std::min<size_t>(packetBytes, stream.size() - at));
      queued.push_back(std::make_unique<Packet>(n));
      std::memcpy(queued.back()->data.data(), stream.data() + at, n);
      EXPECT_EQ(queued.back()->Send(pin, IOCTL_KS_WRITE_STREAM), 0u) << "packet " << queued.size() - 1;
    }
  }
  void WaitPlayed() {
    for (size_t k = 0; k < queued.size(); ++k) {
      ASSERT_TRUE(queued[k]->Wait(2000)) << "packet " << k << " did not complete";
      EXPECT_EQ(queued[k]->Status(), sim::kStatusSuccess) << "packet " << k;
    }
  }

  orvi::media::Result<orvi::media::DsfFile> ReadDsf() { return orvi::media::ParseDsf(ReadFileBytes(path)); }
  std::string Note() const { return std::string(lab->recordNote, strnlen(lab->recordNote, sizeof lab->recordNote)); }
  // The device finishes some recordings on its own clock thread.
  bool WaitForState(sim::RecordState state) {
    for (int i = 0; i < 1000 && lab->recordState != static_cast<LONG>(state); ++i) Sleep(1);
    return lab->recordState == static_cast<LONG>(state);
  }

  std::string path;
  Packets queued;
};

// Whatever the host sent as DSD, native or as DoP, comes back bit for bit from
// the recorded file, with the sample count of what was streamed.
TEST_F(DsdRecordingTest, RecordedDsfHoldsExactlyTheDsdTheHostSent) {
  using orvi::ModeReport;
  // About 10584 bytes per channel at DSD64: two full DSF blocks and a part.
  const DsdAudio dsd64 = DsdMaterial(2, 2822400, 10584);
  const DsdAudio dsd128 = DsdMaterial(2, 5644800, 9000);
  const DsdAudio dsd256 = DsdMaterial(2, 11289600, 21168);
  const struct {
    const char* what;
    const char* file;
    bool modeOn;
    ModeReport mode;
    DWORD rate;
    WORD bits;
    const DsdAudio& dsd;
    std::vector<uint8_t> stream;
    sim::RecordFormat format;
  } cases[] = {
      {"native DSD64", "native64.dsf", true, ModeReport::kDsd64, 88200, 32, dsd64, NativeContainers(dsd64),
       sim::RecordFormat::kDsdNative},
      {"native DSD256", "native256.DSF", true, ModeReport::kDsd256, 352800, 32, dsd256, NativeContainers(dsd256),
       sim::RecordFormat::kDsdNative},
      {"DoP64 in 24-bit containers", "dop24.dsf", false, ModeReport::kDop, 176400, 24, dsd64, Dop(dsd64, 24),
       sim::RecordFormat::kDop},
      {"DoP64 in 32-bit containers", "dop32.Dsf", false, ModeReport::kDop, 176400, 32, dsd64, Dop(dsd64, 32),
       sim::RecordFormat::kDop},
      // The 176400 Hz carrier of DSD128 mode carries DoP when that mode is off.
      {"DoP128 in 32-bit containers", "dop128.dsf", false, ModeReport::kDop, 352800, 32, dsd128, Dop(dsd128, 32),
       sim::RecordFormat::kDop},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InterlockedExchange(&lab->dsdMode, 0);
    if (c.modeOn) SendMode(c.mode, true);
    RecordTo(c.file);
    // Packets of about 10 ms, whole frames.
    const ULONG frameBytes = 2 * c.bits / 8;
    HANDLE pin = Play(2, c.rate, c.bits, c.stream, c.rate / 100 * frameBytes);
    ASSERT_TRUE(pin);
    EXPECT_EQ(lab->recordState, static_cast<LONG>(sim::RecordState::kRecording));
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
    Close(pin);
    if (c.modeOn) SendMode(c.mode, false);

    EXPECT_EQ(lab->recordFormat, static_cast<LONG>(c.format));
    EXPECT_EQ(lab->recordState, static_cast<LONG>(sim::RecordState::kFinished)) << Note();
    EXPECT_EQ(Note(), "stream stopped");
    auto file = ReadDsf();
    ASSERT_TRUE(file.ok()) << file.error();
    EXPECT_EQ(file->audio.dsdRate, c.dsd.dsdRate);
    EXPECT_EQ(file->audio.channels, 2);
    EXPECT_EQ(file->audio.sampleCount, c.dsd.sampleCount);
    EXPECT_TRUE(file->audio.channelBytes == c.dsd.channelBytes) << "the recording differs from the DSD sent";
  }
}

// A stream that is not DSD as the device sees it is recorded only as far as it
// was, and the note says why the recording stopped.
TEST_F(DsdRecordingTest, StreamThatIsNotDsdStopsTheRecordingWithAReason) {
  // 4000 DoP frames: three packets of 10 ms at 176400 Hz.
  const DsdAudio dsd = DsdMaterial(2, 2822400, 8000);
  // 32-bit containers at 176400 Hz without markers: DSD64 mode plays 88200 Hz.
  std::vector<uint8_t> noMarkers = NativeContainers(dsd);
  noMarkers[3] = 0x12;
  // DoP whose markers break at frame 3000 (in the second packet): the 6000
  // bytes per channel before it are kept.
  std::vector<uint8_t> broken = Dop(dsd, 24);
  broken[3000 * 6 + 2] = broken[3000 * 6 + 5] = broken[2999 * 6 + 2];
  // A 32-bit DoP sample whose lowest byte is not 0 is no DoP sample.
  std::vector<uint8_t> lowByte = Dop(dsd, 32);
  lowByte[2500 * 8 + 4] = 0x01;
  const std::vector<uint8_t> pcm(4410 * 4, 0x11);

  const struct {
    const char* what;
    bool dsd64Mode;
    DWORD rate;
    WORD bits;
    const std::vector<uint8_t>& stream;
    bool fileExpected;
    size_t keptBytes;  // per channel
    std::vector<const char*> noteHas;
  } cases[] = {
      {"DSD mode does not match the carrier", true, 176400, 32, noMarkers, true, 0,
       {"not native DSD (DSD mode DSD64 needs 88200 Hz) nor DoP (frame 0 channel 0"}},
      {"DoP markers break mid-stream", false, 176400, 24, broken, true, 6000,
       {"DoP broke off", "frame 3000 channel 0", "expected"}},
      {"32-bit DoP with a low byte set", false, 176400, 32, lowByte, true, 5000,
       {"DoP broke off", "frame 2500 channel 1: lowest byte"}},
      {"plain PCM", false, 44100, 16, pcm, false, 0, {"16-bit 44100 Hz is not native DSD (DSD mode off) nor DoP"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    InterlockedExchange(&lab->dsdMode, 0);
    if (c.dsd64Mode) SendMode(orvi::ModeReport::kDsd64, true);
    RecordTo("broken.dsf");
    // A file left from before must not pass for this stream's recording.
    {
      HANDLE stale = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
      ASSERT_NE(stale, INVALID_HANDLE_VALUE);
      CloseHandle(stale);
    }
    const ULONG frameBytes = 2 * c.bits / 8;
    HANDLE pin = Play(2, c.rate, c.bits, c.stream, c.rate / 100 * frameBytes);
    ASSERT_TRUE(pin);
    // Stopped before the stream ends: the file is already complete.
    EXPECT_EQ(lab->recordState, static_cast<LONG>(sim::RecordState::kStopped));
    auto file = ReadDsf();
    ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);
    Close(pin);
    if (c.dsd64Mode) SendMode(orvi::ModeReport::kDsd64, false);

    EXPECT_EQ(lab->recordState, static_cast<LONG>(sim::RecordState::kStopped)) << "the stop keeps its reason";
    for (const char* text : c.noteHas) EXPECT_NE(Note().find(text), std::string::npos) << Note();
    if (!c.fileExpected) {
      EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << "a file was left";
      continue;
    }
    ASSERT_TRUE(file.ok()) << file.error();
    EXPECT_EQ(file->audio.dsdRate, 2822400u);
    const DsdAudio kept = FirstBytes(dsd, c.keptBytes);
    EXPECT_EQ(file->audio.sampleCount, kept.sampleCount);
    EXPECT_TRUE(file->audio.channelBytes == kept.channelBytes) << "the recording differs from the valid DSD sent";
  }
}

// Native DSD is DSD only while the device is in the mode: switched off between
// packets, what follows is not recorded as DSD.
TEST_F(DsdRecordingTest, NativeRecordingStopsWhenTheDsdModeIsSwitchedOff) {
  const DsdAudio dsd = DsdMaterial(2, 2822400, 8 * 882 * 4);
  const std::vector<uint8_t> stream = NativeContainers(dsd);
  const size_t half = stream.size() / 2;
  SendMode(orvi::ModeReport::kDsd64, true);
  RecordTo("mode-off.dsf");
  HANDLE pin = Play(2, 88200, 32, {stream.begin(), stream.begin() + static_cast<ptrdiff_t>(half)}, 882 * 8);
  ASSERT_TRUE(pin);
  SendMode(orvi::ModeReport::kDsd64, false);
  Queue(pin, {stream.begin() + static_cast<ptrdiff_t>(half), stream.end()}, 882 * 8);
  WaitPlayed();
  ASSERT_EQ(SetState(pin, KSSTATE_STOP), 0u);

  EXPECT_EQ(lab->recordState, static_cast<LONG>(sim::RecordState::kStopped));
  EXPECT_NE(Note().find("DSD mode changed from DSD64 to off"), std::string::npos) << Note();
  auto file = ReadDsf();
  ASSERT_TRUE(file.ok()) << file.error();
  const DsdAudio kept = FirstBytes(dsd, half / 2);
  EXPECT_EQ(file->audio.sampleCount, kept.sampleCount);
  EXPECT_TRUE(file->audio.channelBytes == kept.channelBytes);
}

// However the stream ends, the file is finished: header patched, the last
// block written, everything played in it.
TEST_F(DsdRecordingTest, RecordingIsFinishedHoweverTheStreamEnds) {
  const DsdAudio dsd = DsdMaterial(2, 2822400, 5000);
  const std::vector<uint8_t> stream = NativeContainers(dsd);
  const struct {
    const char* why;
    std::function<void(HANDLE)> end;
  } cases[] = {
      {"stream stopped", [&](HANDLE pin) { EXPECT_EQ(SetState(pin, KSSTATE_PAUSE), 0u);
                                           EXPECT_EQ(SetState(pin, KSSTATE_STOP), 0u); }},
      {"pin closed", [&](HANDLE pin) { Close(pin); }},
      {"recording switched off", [&](HANDLE) { InterlockedExchange(&lab->recording, 0); }},
      {"device unplugged", [&](HANDLE) { sim::Lab::Unplug(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::string error;
    if (!lab->plugged) {
      ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
      dev::CloseHandle(filter);
      filter = OpenFilter();
      ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    }
    SendMode(orvi::ModeReport::kDsd64, true);
    RecordTo("ending.dsf");
    HANDLE pin = Play(2, 88200, 32, stream, 882 * 8);
    ASSERT_TRUE(pin);
    c.end(pin);
    ASSERT_TRUE(WaitForState(sim::RecordState::kFinished)) << Note();
    EXPECT_EQ(Note(), c.why);
    auto file = ReadDsf();
    ASSERT_TRUE(file.ok()) << file.error();
    EXPECT_EQ(file->audio.sampleCount, dsd.sampleCount);
    EXPECT_TRUE(file->audio.channelBytes == dsd.channelBytes);
    if (std::find(handles.begin(), handles.end(), pin) != handles.end()) Close(pin);
  }
}

}  // namespace
