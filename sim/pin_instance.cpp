#include "sim/pin_instance.h"

#include <mmsystem.h>

#include <cmath>
#include <cstring>

#include "common/bounded_text.h"
#include "sim/device_model.h"
#include "sim/handle_table.h"
#include "sim/lab_state.h"
#include "sim/scheduler.h"

namespace sim {
namespace {

static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is packed");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is packed");

// How often an idle clock thread looks at the device (removal, stall, gaps).
constexpr int64_t kPollMicroseconds = 10000;
// The largest output buffer a stream request may have (headers only).
constexpr ULONG kMaxHeaderBytes = 4096;
// A capture file is read into memory up to this many bytes of samples.
constexpr size_t kMaxCaptureFileBytes = 32u << 20;
// The loopback ring holds a second of audio, at most this much.
constexpr size_t kMaxLoopbackBytes = 8u << 20;

bool IsWildcardOr(const GUID& g, const GUID& expected) {
  return IsEqualGUID(g, GUID_NULL) || IsEqualGUID(g, expected);
}

bool InRanges(const PinProfile& pin, const WavFormat& f) {
  for (const RangeProfile& r : pin.ranges) {
    if (!IsWildcardOr(r.major, KSDATAFORMAT_TYPE_AUDIO) || !IsWildcardOr(r.sub, KSDATAFORMAT_SUBTYPE_PCM) ||
        !IsWildcardOr(r.specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
      continue;
    if (f.channels <= r.channels && f.bits >= r.minBits && f.bits <= r.maxBits && f.rate >= r.minRate &&
        f.rate <= r.maxRate)
      return true;
  }
  return false;
}

// Checks a connection request against the pin types of `model`. The request's
// size is not passed to KsCreatePin: it follows from the data format's
// FormatSize, which is bounded before anything past the fixed part is read.
NtStatus CheckConnect(DeviceModel& model, const KSPIN_CONNECT* connect, ULONG& pinId, bool& render,
                      WavFormat& format) {
  if (!model.Present()) return kStatusDeviceNotConnected;
  constexpr size_t kFixed = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
  if (!IsAccessible(connect, kFixed, false)) return kStatusAccessViolation;
  auto bytes = reinterpret_cast<const uint8_t*>(connect);
  KSPIN_CONNECT c;
  std::memcpy(&c, bytes, sizeof c);
  KSDATAFORMAT df;
  std::memcpy(&df, bytes + sizeof c, sizeof df);

  const Profile& profile = model.GetProfile();
  if (c.PinId >= profile.pins.size()) return kStatusInvalidParameter;
  const PinProfile& pin = profile.pins[c.PinId];
  // Only sink pins are the host's to connect; a bridge pin has no instances.
  if (pin.communication != KSPIN_COMMUNICATION_SINK && pin.communication != KSPIN_COMMUNICATION_BOTH)
    return kStatusNotSupported;
  if (pin.dataflow != KSPIN_DATAFLOW_IN && pin.dataflow != KSPIN_DATAFLOW_OUT) return kStatusNotSupported;
  if (c.PinToHandle) return kStatusInvalidParameter;  // a sink connects to nothing of ours
  if (!IsEqualGUID(c.Interface.Set, KSINTERFACESETID_Standard) ||
      (c.Interface.Id != KSINTERFACE_STANDARD_STREAMING && c.Interface.Id != KSINTERFACE_STANDARD_LOOPED_STREAMING))
    return kStatusNoMatch;
  if (!IsEqualGUID(c.Medium.Set, KSMEDIUMSETID_Standard) || c.Medium.Id != KSMEDIUM_TYPE_ANYINSTANCE)
    return kStatusNoMatch;

  if (df.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) || df.FormatSize > kMaxConnectFormatSize)
    return kStatusInvalidParameter;
  if (!IsAccessible(connect, sizeof c + df.FormatSize, false)) return kStatusAccessViolation;
  if (!IsEqualGUID(df.MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
      !IsEqualGUID(df.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
      !IsEqualGUID(df.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX))
    return kStatusNoMatch;

  const uint8_t* wave = bytes + kFixed;
  size_t waveSize = df.FormatSize - sizeof(KSDATAFORMAT);
  WAVEFORMATEX wfx;
  std::memcpy(&wfx, wave, sizeof wfx);
  ULONG validBits = wfx.wBitsPerSample;
  if (wfx.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (wfx.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) || waveSize < sizeof(WAVEFORMATEXTENSIBLE))
      return kStatusInvalidParameter;
    WAVEFORMATEXTENSIBLE ext;
    std::memcpy(&ext, wave, sizeof ext);
    if (!IsEqualGUID(ext.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)) return kStatusNoMatch;
    validBits = ext.Samples.wValidBitsPerSample;
  } else if (wfx.wFormatTag != WAVE_FORMAT_PCM) {
    return kStatusNoMatch;
  }
  format.channels = wfx.nChannels;
  format.rate = wfx.nSamplesPerSec;
  format.bits = wfx.wBitsPerSample;
  if (format.channels == 0 || format.rate == 0 || format.bits == 0 || format.bits % 8 != 0 || validBits == 0 ||
      validBits > format.bits)
    return kStatusInvalidParameter;
  if (wfx.nBlockAlign != format.BlockAlign() ||
      static_cast<uint64_t>(wfx.nAvgBytesPerSec) != static_cast<uint64_t>(format.BlockAlign()) * format.rate)
    return kStatusInvalidParameter;
  if (format.bits != 16 && format.bits != 24 && format.bits != 32) return kStatusNoMatch;
  if (!InRanges(pin, format)) return kStatusNoMatch;
  NtStatus refused = model.Streams().Refusal(format);
  if (refused != kStatusSuccess) return refused;
  pinId = c.PinId;
  render = pin.dataflow == KSPIN_DATAFLOW_IN;
  return kStatusSuccess;
}

void PutSample(uint8_t* p, ULONG bytes, int32_t v) {
  auto u = static_cast<uint32_t>(v);
  if (bytes == 2) u >>= 16;
  if (bytes == 3) u >>= 8;
  for (ULONG i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

}  // namespace

bool IsAccessible(const void* p, size_t size, bool write) {
  if (size == 0) return true;
  if (!p) return false;
  auto at = reinterpret_cast<uintptr_t>(p);
  if (at + size < at) return false;
  uintptr_t end = at + size;
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  constexpr DWORD kWritable = PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  while (at < end) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(reinterpret_cast<void*>(at), &info, sizeof info) == 0) return false;
    if (info.State != MEM_COMMIT || (info.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0) return false;
    if ((info.Protect & (write ? kWritable : kReadable)) == 0) return false;
    uintptr_t next = reinterpret_cast<uintptr_t>(info.BaseAddress) + info.RegionSize;
    if (next <= at) return false;
    at = next;
  }
  return true;
}

// ---- Loopback ----

void LoopbackRing::Start(const WavFormat& format) {
  AcquireSRWLockExclusive(&m_lock);
  if (!(format == m_format) || m_ring.empty()) {
    size_t block = format.BlockAlign();
    size_t frames = format.rate;
    if (block == 0) block = 1;
    if (frames * block > kMaxLoopbackBytes) frames = kMaxLoopbackBytes / block;
    if (frames == 0) frames = 1;
    m_format = format;
    m_ring.assign(frames * block, 0);
    m_written = 0;
    ++m_epoch;
  }
  ReleaseSRWLockExclusive(&m_lock);
}

void LoopbackRing::Write(const uint8_t* data, size_t bytes) {
  AcquireSRWLockExclusive(&m_lock);
  size_t size = m_ring.size();
  if (size != 0 && bytes != 0) {
    // Only the last ring's worth of a long write survives.
    size_t skip = bytes > size ? bytes - size : 0;
    size_t at = static_cast<size_t>((m_written + skip) % size);
    size_t left = bytes - skip;
    const uint8_t* from = data + skip;
    while (left > 0) {
      size_t n = size - at < left ? size - at : left;
      std::memcpy(m_ring.data() + at, from, n);
      from += n;
      left -= n;
      at = (at + n) % size;
    }
    m_written += bytes;
  }
  ReleaseSRWLockExclusive(&m_lock);
}

size_t LoopbackRing::Read(const WavFormat& format, uint64_t& epoch, uint64_t& cursor, bool& primed, uint8_t* out,
                          size_t bytes) {
  AcquireSRWLockShared(&m_lock);
  size_t copied = 0;
  size_t size = m_ring.size();
  if (size != 0 && format == m_format) {
    if (epoch != m_epoch || cursor > m_written) {
      epoch = m_epoch;
      cursor = m_written;  // a new reader hears what is played from now on
      primed = false;
    }
    if (m_written - cursor > size) cursor = m_written - size;
    uint64_t available = m_written - cursor;
    if (!primed && available >= 3 * uint64_t{bytes}) primed = true;
    if (!primed) available = 0;
    size_t n = available < bytes ? static_cast<size_t>(available) : bytes;
    size_t block = format.BlockAlign();
    n -= n % block;
    size_t at = static_cast<size_t>(cursor % size);
    while (copied < n) {
      size_t chunk = size - at < n - copied ? size - at : n - copied;
      std::memcpy(out + copied, m_ring.data() + at, chunk);
      copied += chunk;
      at = (at + chunk) % size;
    }
    cursor += copied;
  }
  ReleaseSRWLockShared(&m_lock);
  return copied;
}

// ---- Device-wide state ----

void DeviceStreams::RefuseFormat(ULONG channels, ULONG bits, ULONG rate, NtStatus status) {
  AcquireSRWLockExclusive(&m_lock);
  m_refusals.push_back({channels, bits, rate, status});
  ReleaseSRWLockExclusive(&m_lock);
}

void DeviceStreams::ClearRefusals() {
  AcquireSRWLockExclusive(&m_lock);
  m_refusals.clear();
  ReleaseSRWLockExclusive(&m_lock);
}

NtStatus DeviceStreams::Refusal(const WavFormat& f) const {
  NtStatus s = kStatusSuccess;
  AcquireSRWLockShared(&m_lock);
  for (const Refused& r : m_refusals) {
    if ((r.channels == 0 || r.channels == f.channels) && (r.bits == 0 || r.bits == f.bits) &&
        (r.rate == 0 || r.rate == f.rate)) {
      s = r.status;
      break;
    }
  }
  ReleaseSRWLockShared(&m_lock);
  return s;
}

ULONG DeviceStreams::Instances(ULONG pinId) const {
  AcquireSRWLockShared(&m_lock);
  ULONG n = pinId < m_instances.size() ? m_instances[pinId] : 0;
  ReleaseSRWLockShared(&m_lock);
  return n;
}

bool DeviceStreams::AcquireInstance(ULONG pinId, ULONG possible) {
  AcquireSRWLockExclusive(&m_lock);
  bool ok = pinId < m_instances.size() && m_instances[pinId] < possible;
  if (ok) ++m_instances[pinId];
  ReleaseSRWLockExclusive(&m_lock);
  return ok;
}

void DeviceStreams::ReleaseInstance(ULONG pinId) {
  AcquireSRWLockExclusive(&m_lock);
  if (pinId < m_instances.size() && m_instances[pinId] > 0) --m_instances[pinId];
  ReleaseSRWLockExclusive(&m_lock);
}

void DeviceStreams::RenderStarted(const WavFormat& format) {
  AcquireSRWLockExclusive(&m_lock);
  ++m_runningRender;
  if (LabBlock* b = Lab::Block()) {
    InterlockedExchange(&b->streamRate, static_cast<LONG>(format.rate));
    InterlockedExchange(&b->streamBits, static_cast<LONG>(format.bits));
    InterlockedExchange(&b->streamChannels, static_cast<LONG>(format.channels));
    InterlockedExchange(&b->streamActive, 1);
  }
  ReleaseSRWLockExclusive(&m_lock);
}

void DeviceStreams::RenderStopped() {
  AcquireSRWLockExclusive(&m_lock);
  if (m_runningRender > 0 && --m_runningRender == 0) {
    if (LabBlock* b = Lab::Block()) InterlockedExchange(&b->streamActive, 0);
  }
  ReleaseSRWLockExclusive(&m_lock);
}

// ---- KsCreatePin ----

DWORD CreatePinInstance(const std::shared_ptr<DeviceModel>& model, const KSPIN_CONNECT* connect, ACCESS_MASK,
                        HANDLE* pin) {
  if (!model || !pin) return ERROR_INVALID_PARAMETER;
  ULONG pinId = 0;
  bool render = false;
  WavFormat format;
  NtStatus s = CheckConnect(*model, connect, pinId, render, format);
  if (s != kStatusSuccess) return ToWin32Error(s);
  if (!model->Streams().AcquireInstance(pinId, model->GetProfile().pins[pinId].possibleInstances))
    return ToWin32Error(kStatusDeviceBusy);
  // From here the object holds the instance and gives it back when it ends.
  auto object = std::make_shared<PinInstanceObject>(model, pinId, render, format);
  if (!object->StartClock()) return ERROR_NOT_ENOUGH_MEMORY;
  HANDLE h = AttachHandle(object);
  if (!h) {
    DWORD error = GetLastError();
    object->OnClose();
    return error ? error : static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES);
  }
  *pin = h;
  return ERROR_SUCCESS;
}

// ---- The pin ----

PinInstanceObject::PinInstanceObject(std::shared_ptr<DeviceModel> model, ULONG pinId, bool render,
                                     const WavFormat& format)
    : m_model(std::move(model)), m_pinId(pinId), m_render(render), m_format(format),
      m_blockAlign(format.BlockAlign()) {
  InitializeCriticalSection(&m_lock);
  m_wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

PinInstanceObject::~PinInstanceObject() {
  Shutdown();
  DeleteCriticalSection(&m_lock);
  if (m_wake) CloseHandle(m_wake);
}

bool PinInstanceObject::StartClock() {
  if (!m_wake) return false;
  m_thread = CreateThread(nullptr, 0, &PinInstanceObject::ClockMain, this, 0, nullptr);
  if (!m_thread) return false;
  SetThreadPriority(m_thread, THREAD_PRIORITY_TIME_CRITICAL);
  return true;
}

void PinInstanceObject::OnClose() {
  Shutdown();
  KsObject::OnClose();
}

void PinInstanceObject::Shutdown() {
  EnterCriticalSection(&m_lock);
  bool first = !m_closed;
  m_closed = true;
  m_quit = true;
  LeaveCriticalSection(&m_lock);
  if (!first) return;
  if (m_thread) {
    SetEvent(m_wake);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    m_thread = nullptr;
  }
  // Closing a pin stops it, whatever state it was in.
  EnterCriticalSection(&m_lock);
  CancelAll(kStatusCancelled);
  m_ticking = false;
  Unpublish();
  CloseRecording("pin closed");
  m_state = KSSTATE_STOP;
  LeaveCriticalSection(&m_lock);
  if (m_instanceHeld) {
    m_instanceHeld = false;
    m_model->Streams().ReleaseInstance(m_pinId);
  }
}

NtStatus PinInstanceObject::GetProperty(const KSPROPERTY& property, const void*, ULONG, std::vector<uint8_t>& value) {
  if (!IsEqualGUID(property.Set, KSPROPSETID_Connection)) return kStatusPropsetNotFound;
  if (property.Id != KSPROPERTY_CONNECTION_STATE) return kStatusNotFound;
  EnterCriticalSection(&m_lock);
  KSSTATE state = m_state;
  LeaveCriticalSection(&m_lock);
  value.resize(sizeof state);
  std::memcpy(value.data(), &state, sizeof state);
  return kStatusSuccess;
}

NtStatus PinInstanceObject::SetProperty(const KSPROPERTY& property, const void*, ULONG, const void* value,
                                        ULONG valueSize) {
  if (!IsEqualGUID(property.Set, KSPROPSETID_Connection)) return kStatusPropsetNotFound;
  if (property.Id != KSPROPERTY_CONNECTION_STATE) return kStatusNotFound;
  if (!value || valueSize < sizeof(KSSTATE)) return kStatusBufferTooSmall;
  if (!IsAccessible(value, sizeof(KSSTATE), false)) return kStatusAccessViolation;
  KSSTATE state;
  std::memcpy(&state, value, sizeof state);
  if (state < KSSTATE_STOP || state > KSSTATE_RUN) return kStatusInvalidParameter;
  return SetState(state);
}

IoStatus PinInstanceObject::OtherIoctl(const IoRequest& request) {
  switch (request.code) {
    case IOCTL_KS_WRITE_STREAM:
    case IOCTL_KS_READ_STREAM:
      return Stream(request);
    case IOCTL_KS_RESET_STATE:
      return Reset(request);
    default:
      return {kStatusInvalidDeviceRequest, 0};
  }
}

NtStatus PinInstanceObject::SetState(KSSTATE target) {
  EnterCriticalSection(&m_lock);
  NtStatus s = kStatusSuccess;
  if (m_gone || m_closed || !m_model->Present()) {
    s = kStatusDeviceNotConnected;
  } else {
    // Like a KS pin, a jump passes through every state in between.
    while (m_state != target) Enter(static_cast<KSSTATE>(m_state < target ? m_state + 1 : m_state - 1));
  }
  LeaveCriticalSection(&m_lock);
  SetEvent(m_wake);
  return s;
}

void PinInstanceObject::Enter(KSSTATE state) {
  int64_t now = NowMicroseconds();
  LabBlock* b = Lab::Block();
  if (state == KSSTATE_RUN) {
    if (m_render && !m_published) {
      // The first RUN since STOP starts the stream: published, looped back and,
      // when the lab asks for it now, recorded.
      m_published = true;
      m_model->Streams().RenderStarted(m_format);
      m_model->Streams().Loopback().Start(m_format);
      if (b && b->recording) {
        char path[sizeof b->recordFile];
        orvi::CopyBounded(path, b->recordFile);
        if (path[0]) OpenRecording(path);
      }
    }
    if (!m_render && b && b->captureSource == static_cast<LONG>(CaptureSource::kFile)) {
      char name[sizeof b->captureFile];
      orvi::CopyBounded(name, b->captureFile);
      LoadCaptureFile(name);
    }
    m_stalled = b && b->packetsStalled != 0;
    if (!m_stalled) StartTicking(now);
  } else if (state == KSSTATE_PAUSE && m_state == KSSTATE_RUN) {
    StopTicking(now);
  } else if (state == KSSTATE_STOP) {
    CancelAll(kStatusCancelled);
    m_ticking = false;
    m_clockFrames = 0;
    m_cursor = 0;
    m_played = false;
    m_gapCounted = false;
    Unpublish();
    CloseRecording("stream stopped");
  }
  m_state = state;
}

IoStatus PinInstanceObject::Reset(const IoRequest& request) {
  if (!request.in || request.inSize < sizeof(KSRESET) || !IsAccessible(request.in, sizeof(KSRESET), false))
    return {kStatusInvalidParameter, 0};
  KSRESET value;
  std::memcpy(&value, request.in, sizeof value);
  if (value != KSRESET_BEGIN && value != KSRESET_END) return {kStatusInvalidParameter, 0};
  EnterCriticalSection(&m_lock);
  NtStatus s = kStatusSuccess;
  if (m_gone || !m_model->Present()) {
    s = kStatusDeviceNotConnected;
  } else if (value == KSRESET_BEGIN) {
    // A flush: what is queued is given back, and nothing new is taken until END.
    CancelAll(kStatusCancelled);
    m_resetting = true;
  } else {
    m_resetting = false;
  }
  LeaveCriticalSection(&m_lock);
  SetEvent(m_wake);
  return {s, 0};
}

IoStatus PinInstanceObject::Stream(const IoRequest& request) {
  bool write = request.code == IOCTL_KS_WRITE_STREAM;
  if (write != m_render) return {kStatusInvalidDeviceRequest, 0};
  if (!m_model->Present()) return {kStatusDeviceNotConnected, 0};
  // The KSSTREAM_HEADER is the output buffer, its Size first; an extended
  // header may follow it, a few of them at most.
  if (!request.out || request.outSize < sizeof(KSSTREAM_HEADER)) return {kStatusBufferTooSmall, 0};
  if (request.outSize > kMaxHeaderBytes) return {kStatusInvalidParameter, 0};
  if (!IsAccessible(request.out, request.outSize, true)) return {kStatusAccessViolation, 0};
  KSSTREAM_HEADER h;
  std::memcpy(&h, request.out, sizeof h);
  if (h.Size < sizeof(KSSTREAM_HEADER) || h.Size > request.outSize || request.outSize % h.Size != 0)
    return {kStatusInvalidParameter, 0};
  if (request.outSize != h.Size) return {kStatusNotSupported, 0};  // several packets in one request: not ours
  ULONG bytes = write ? h.DataUsed : h.FrameExtent;
  if (h.FrameExtent > kMaxPacketBytes || h.DataUsed > kMaxPacketBytes || (write && h.DataUsed > h.FrameExtent) ||
      bytes % m_blockAlign != 0)
    return {kStatusInvalidParameter, 0};
  if (bytes != 0 && !h.Data) return {kStatusInvalidParameter, 0};
  if (!IsAccessible(h.Data, bytes, !write)) return {kStatusAccessViolation, 0};

  EnterCriticalSection(&m_lock);
  NtStatus s = kStatusPending;
  if (m_gone || m_closed) {
    s = kStatusDeviceNotConnected;
  } else if (m_state == KSSTATE_STOP) {
    s = kStatusInvalidDeviceState;
  } else if (m_resetting) {
    s = kStatusDeviceNotReady;
  } else if (m_count == m_queue.size()) {
    s = kStatusInsufficientResources;
  } else {
    m_queue[(m_head + m_count) % m_queue.size()] = {request.overlapped, static_cast<KSSTREAM_HEADER*>(request.out),
                                                    static_cast<uint8_t*>(h.Data), bytes, h.Size,
                                                    bytes / m_blockAlign};
    ++m_count;
    if (m_ticking && !m_headPlaying) BeginHead(NowMicroseconds());
  }
  LeaveCriticalSection(&m_lock);
  if (s == kStatusPending) SetEvent(m_wake);
  return {s, 0};
}

// ---- The sample clock (lock held) ----

uint64_t PinInstanceObject::Position(int64_t now) const {
  if (!m_ticking || now <= m_clockUs) return m_clockFrames;
  return m_clockFrames + static_cast<uint64_t>(now - m_clockUs) * m_format.rate / 1000000;
}

int64_t PinInstanceObject::TimeOf(uint64_t frame) const {
  if (frame <= m_clockFrames) return m_clockUs;
  uint64_t frames = frame - m_clockFrames;
  return m_clockUs + static_cast<int64_t>((frames * 1000000 + m_format.rate - 1) / m_format.rate);
}

void PinInstanceObject::StartTicking(int64_t now) {
  if (m_ticking) return;
  m_clockUs = now;
  m_ticking = true;
  if (m_count > 0 && !m_headPlaying) BeginHead(now);
}

void PinInstanceObject::StopTicking(int64_t now) {
  if (!m_ticking) return;
  m_clockFrames = Position(now);
  m_ticking = false;
}

// The device's FIFO: a packet that comes this late still follows the previous
// one without a gap.
uint64_t PinInstanceObject::Slack() const { return m_format.rate / 1000; }

// The head packet starts where the previous one ended, or, when the device had
// nothing to play or fill for longer than its FIFO covers, now (the gap counted).
void PinInstanceObject::BeginHead(int64_t now) {
  NoteGap(now);
  uint64_t position = Position(now);
  if (position > m_cursor + Slack()) m_cursor = position;
  m_headPlaying = true;
  m_gapCounted = false;
}

// Running with no packet: a render pin plays silence (an underrun, once it has
// played something since STOP), a capture pin loses what it hears (an overrun).
// One count per dry spell.
void PinInstanceObject::NoteGap(int64_t now) {
  if (!m_ticking || m_headPlaying || m_gapCounted || Position(now) <= m_cursor + Slack()) return;
  if (m_render && !m_played) return;
  m_gapCounted = true;
  if (LabBlock* b = Lab::Block()) InterlockedIncrement(m_render ? &b->underruns : &b->overruns);
}

void PinInstanceObject::CompleteHead(NtStatus status) {
  Packet p = m_queue[m_head];
  m_head = (m_head + 1) % m_queue.size();
  --m_count;
  if (m_count == 0) m_headPlaying = false;
  bool ok = status == kStatusSuccess;
  if (!m_render) p.header->DataUsed = ok ? p.bytes : 0;
  CompleteIo(p.overlapped, {status, ok ? p.headerSize : 0});
}

void PinInstanceObject::CancelAll(NtStatus status) {
  while (m_count > 0) CompleteHead(status);
  m_headPlaying = false;
}

void PinInstanceObject::Unpublish() {
  if (!m_published) return;
  m_published = false;
  // A device replugged since has a stream status of its own.
  if (m_model->Present()) m_model->Streams().RenderStopped();
}

void PinInstanceObject::LoadCaptureFile(const char* name) {
  if (m_captureLoaded && std::strcmp(name, m_captureName) == 0) return;
  std::memcpy(m_captureName, name, sizeof m_captureName);
  m_captureName[sizeof m_captureName - 1] = '\0';
  m_captureLoaded = true;
  m_captureFile = WavData();
  // A missing or unreadable file leaves no data: the pin hears silence.
  if (name[0]) ReadWav(name, m_captureFile, kMaxCaptureFileBytes);
}

void PinInstanceObject::OpenRecording(const char* path) {
  if (IsDsfRecordingName(path)) {
    const LabBlock* b = Lab::Block();
    m_dsdRecording.Open(path, m_format, static_cast<DsdMode>(b ? b->dsdMode : 0));
    return;
  }
  bool ok = m_recording.Open(path, m_format);
  Lab::SetRecordState(RecordFormat::kWav, ok ? RecordState::kRecording : RecordState::kStopped,
                      ok ? "" : "cannot create the recording");
}

void PinInstanceObject::CloseRecording(const char* why) {
  if (m_recording.IsOpen()) {
    m_recording.Close();
    Lab::SetRecordState(RecordFormat::kWav, RecordState::kFinished, why);
  }
  m_dsdRecording.Close(why);
}

void PinInstanceObject::Fill(uint8_t* data, uint64_t firstFrame, uint64_t frames) {
  size_t bytes = static_cast<size_t>(frames) * m_blockAlign;
  const LabBlock* b = Lab::Block();
  auto source = static_cast<CaptureSource>(b ? b->captureSource : 0);
  size_t done = 0;
  if (source == CaptureSource::kTone) {
    LONG hz = b->toneHz;
    ULONG sampleBytes = m_format.bits / 8;
    if (hz > 0 && static_cast<ULONG>(hz) * 2 <= m_format.rate) {
      // About -6 dBFS; the phase follows the device's frame count, so it runs on
      // from one packet to the next.
      constexpr double kTwoPi = 6.283185307179586;
      for (uint64_t i = 0; i < frames; ++i) {
        uint64_t phase = ((firstFrame + i) % m_format.rate) * static_cast<uint64_t>(hz) % m_format.rate;
        double v = 0.5 * std::sin(kTwoPi * static_cast<double>(phase) / m_format.rate);
        auto sample = static_cast<int32_t>(std::lround(v * 2147483647.0));
        uint8_t* frame = data + i * m_blockAlign;
        for (ULONG c = 0; c < m_format.channels; ++c) PutSample(frame + c * sampleBytes, sampleBytes, sample);
      }
      done = bytes;
    }
  } else if (source == CaptureSource::kFile) {
    // The lab may name another file while the pin runs: it is read here then.
    char name[sizeof b->captureFile];
    orvi::CopyBounded(name, b->captureFile);
    LoadCaptureFile(name);
    const std::vector<uint8_t>& file = m_captureFile.data;
    // A file in another format than the pin's is not converted: silence.
    if (!file.empty() && m_captureFile.format == m_format) {
      size_t at = static_cast<size_t>(firstFrame % (file.size() / m_blockAlign)) * m_blockAlign;
      while (done < bytes) {
        size_t n = file.size() - at < bytes - done ? file.size() - at : bytes - done;
        std::memcpy(data + done, file.data() + at, n);
        done += n;
        at = (at + n) % file.size();
      }
    }
  } else if (source == CaptureSource::kLoopback) {
    done = m_model->Streams().Loopback().Read(m_format, m_loopEpoch, m_loopCursor, m_loopPrimed, data, bytes);
  }
  if (done < bytes) std::memset(data + done, 0, bytes - done);
}

int64_t PinInstanceObject::Service(int64_t now) {
  if (m_gone) return 0;
  if (!m_model->Present()) {
    // Removed: whatever was queued fails at once, and so will what follows.
    m_gone = true;
    CancelAll(kStatusDeviceNotConnected);
    m_ticking = false;
    Unpublish();
    CloseRecording("device unplugged");
    return 0;
  }
  const LabBlock* b = Lab::Block();
  bool stalled = b && b->packetsStalled != 0;
  if (stalled != m_stalled) {
    // A stalled device holds its packets; its clock stands still meanwhile.
    m_stalled = stalled;
    if (m_state == KSSTATE_RUN) {
      if (stalled) {
        StopTicking(now);
      } else {
        StartTicking(now);
      }
    }
  }
  // A DSF file is only complete once finished, so switching recording off
  // finishes it now rather than at the stream's end.
  if (m_dsdRecording.IsOpen() && b && b->recording == 0) m_dsdRecording.Close("recording switched off");
  if (!m_ticking) return 0;
  const auto dsdMode = static_cast<DsdMode>(b ? b->dsdMode : 0);
  while (m_count > 0 && m_headPlaying) {
    Packet& p = m_queue[m_head];
    uint64_t end = m_cursor + p.frames;
    int64_t due = TimeOf(end);
    if (due > now) return due;
    if (m_render) {
      m_recording.Append(p.data, p.bytes);
      m_dsdRecording.Append(p.data, p.bytes, dsdMode);
      m_model->Streams().Loopback().Write(p.data, p.bytes);
      m_played = true;
    } else {
      Fill(p.data, m_cursor, p.frames);
    }
    m_cursor = end;
    CompleteHead(kStatusSuccess);
  }
  NoteGap(now);
  return 0;
}

DWORD WINAPI PinInstanceObject::ClockMain(void* self) {
  timeBeginPeriod(1);
  static_cast<PinInstanceObject*>(self)->ClockLoop();
  timeEndPeriod(1);
  return 0;
}

void PinInstanceObject::ClockLoop() {
  for (;;) {
    EnterCriticalSection(&m_lock);
    if (m_quit) {
      LeaveCriticalSection(&m_lock);
      return;
    }
    int64_t due = Service(NowMicroseconds());
    LeaveCriticalSection(&m_lock);
    int64_t wait = due ? due - NowMicroseconds() : kPollMicroseconds;
    if (wait > kPollMicroseconds) wait = kPollMicroseconds;
    if (wait > 1500) {
      // Millisecond waits to within a millisecond of the due time, then short
      // yields, so that packets complete on time without a busy thread.
      WaitForSingleObject(m_wake, static_cast<DWORD>((wait - 1000) / 1000));
    } else if (wait > 0) {
      while (NowMicroseconds() < due) SwitchToThread();
    }
  }
}

}  // namespace sim
