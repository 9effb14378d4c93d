#pragma once
// Pin instances of the simulated device's KS filter: the device's side of
// KsCreatePin, and pins that move stream packets on the device's sample clock.
#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ks/ks_platform.h"
#include "sim/dsd_recording.h"
#include "sim/ks_object.h"
#include "sim/wav_file.h"

namespace sim {

class DeviceModel;

inline constexpr NtStatus kStatusAccessViolation = static_cast<NtStatus>(0xC0000005);       // ERROR_NOACCESS
inline constexpr NtStatus kStatusDeviceNotReady = static_cast<NtStatus>(0xC00000A3);        // ERROR_NOT_READY
inline constexpr NtStatus kStatusInsufficientResources = static_cast<NtStatus>(0xC000009A);  // ERROR_NO_SYSTEM_RESOURCES
inline constexpr NtStatus kStatusInvalidDeviceState = static_cast<NtStatus>(0xC0000184);    // ERROR_BAD_COMMAND
inline constexpr NtStatus kStatusNoMatch = static_cast<NtStatus>(0xC0000272);               // ERROR_NO_MATCH
inline constexpr NtStatus kStatusDeviceBusy = static_cast<NtStatus>(0x80000011);            // ERROR_BUSY

// The largest data format a connection request may carry.
inline constexpr ULONG kMaxConnectFormatSize = 4096;
// The largest stream packet a pin takes.
inline constexpr ULONG kMaxPacketBytes = 16u << 20;
// Requests one pin holds at a time; more are refused, not queued without end.
inline constexpr size_t kMaxQueuedPackets = 64;

// What render pins of one device played last, for capture pins fed by loopback.
class LoopbackRing {
 public:
  // A render pin starts playing `format`: a different format starts the ring over.
  void Start(const WavFormat& format);
  void Write(const uint8_t* data, size_t bytes);
  // Fills `out` with the frames after the reader's cursor, up to `bytes`, when
  // the ring holds `format`; returns the bytes copied (whole frames). A reader
  // that fell more than the ring behind skips ahead. A new reader (`primed`
  // false) hears nothing until three reads' worth has been played, and from
  // then on stays that far behind: two independent clocks that wake a little
  // late now and then must not tear gaps into what comes back.
  size_t Read(const WavFormat& format, uint64_t& epoch, uint64_t& cursor, bool& primed, uint8_t* out,
              size_t bytes);

 private:
  SRWLOCK m_lock = SRWLOCK_INIT;
  WavFormat m_format;
  std::vector<uint8_t> m_ring;
  uint64_t m_written = 0;  // bytes since the ring started over
  uint64_t m_epoch = 0;    // counts the starts over
};

// Streaming state one plugged device shares among its filters and pins.
class DeviceStreams {
 public:
  explicit DeviceStreams(size_t pinTypes) : m_instances(pinTypes, 0) {}

  // Test faults: pin creation refuses formats with these `channels`, `bits` and
  // `rate` (0 matches any) with `status`, as a device that cannot run them.
  void RefuseFormat(ULONG channels, ULONG bits = 0, ULONG rate = 0, NtStatus status = kStatusNoMatch);
  void ClearRefusals();
  NtStatus Refusal(const WavFormat& format) const;

  // Pin instances open now, across every filter instance of the device.
  ULONG Instances(ULONG pinId) const;
  bool AcquireInstance(ULONG pinId, ULONG possible);
  void ReleaseInstance(ULONG pinId);

  // Render pins running now; the shared stream status follows the first and last.
  void RenderStarted(const WavFormat& format);
  void RenderStopped();

  LoopbackRing& Loopback() { return m_loopback; }

 private:
  struct Refused {
    ULONG channels, bits, rate;
    NtStatus status;
  };
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<Refused> m_refusals;
  std::vector<ULONG> m_instances;
  LONG m_runningRender = 0;
  LoopbackRing m_loopback;
};

// The device's side of KsCreatePin on a filter of `model`: a Win32 error code as
// KsCreatePin returns it, or 0 with `pin` set to the new instance's handle.
//   ERROR_INVALID_PARAMETER  malformed request: unknown pin id, PinToHandle set,
//                            a data format too short or too long, a wave format
//                            that contradicts itself (block align, byte rate)
//   ERROR_NO_MATCH           well formed, but no interface, medium or data range
//                            of the pin matches (also the refused-format fault)
//   ERROR_NOT_SUPPORTED      a pin type the host cannot instantiate (bridge)
//   ERROR_BUSY               the pin's possible instances are all open
//   ERROR_NOACCESS           the request is not readable memory
//   ERROR_DEVICE_NOT_CONNECTED  the device is gone
DWORD CreatePinInstance(const std::shared_ptr<DeviceModel>& model, const KSPIN_CONNECT* connect, ACCESS_MASK access,
                        HANDLE* pin);

// True when [p, p + size) is committed memory this process may read (or write).
bool IsAccessible(const void* p, size_t size, bool write);

// One instance of a pin type: KSPROPERTY_CONNECTION_STATE, IOCTL_KS_RESET_STATE
// and stream requests. A thread of the pin's own runs its sample clock and
// completes packets in submission order.
class PinInstanceObject : public KsObject {
 public:
  PinInstanceObject(std::shared_ptr<DeviceModel> model, ULONG pinId, bool render, const WavFormat& format);
  ~PinInstanceObject() override;
  PinInstanceObject(const PinInstanceObject&) = delete;
  PinInstanceObject& operator=(const PinInstanceObject&) = delete;

  bool StartClock();
  void OnClose() override;

 protected:
  NtStatus GetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                       std::vector<uint8_t>& value) override;
  NtStatus SetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize, const void* value,
                       ULONG valueSize) override;
  IoStatus OtherIoctl(const IoRequest& request) override;

 private:
  struct Packet {
    OVERLAPPED* overlapped;
    KSSTREAM_HEADER* header;
    uint8_t* data;
    ULONG bytes;  // render: DataUsed; capture: FrameExtent
    ULONG headerSize;
    uint64_t frames;
  };

  IoStatus Stream(const IoRequest& request);
  IoStatus Reset(const IoRequest& request);
  NtStatus SetState(KSSTATE target);
  void Enter(KSSTATE state);  // one step, with the lock held

  // Lock held for all of these.
  uint64_t Position(int64_t now) const;
  int64_t TimeOf(uint64_t frame) const;
  void StartTicking(int64_t now);
  void StopTicking(int64_t now);
  uint64_t Slack() const;
  void BeginHead(int64_t now);
  void NoteGap(int64_t now);
  void CompleteHead(NtStatus status);
  void CancelAll(NtStatus status);
  void Unpublish();
  void Fill(uint8_t* data, uint64_t firstFrame, uint64_t frames);
  void LoadCaptureFile(const char* name);
  void OpenRecording(const char* path);
  // Finishes whichever recording is open; `why` is the lab note's reason.
  void CloseRecording(const char* why);
  // Runs due work; returns the time of the next due work, or 0 for none.
  int64_t Service(int64_t now);

  static DWORD WINAPI ClockMain(void* self);
  void ClockLoop();
  void Shutdown();

  std::shared_ptr<DeviceModel> m_model;
  const ULONG m_pinId;
  const bool m_render;
  const WavFormat m_format;
  const ULONG m_blockAlign;

  CRITICAL_SECTION m_lock;
  HANDLE m_wake = nullptr;    // auto-reset: the clock thread looks again
  HANDLE m_thread = nullptr;
  bool m_quit = false;
  bool m_closed = false;
  bool m_instanceHeld = true;

  KSSTATE m_state = KSSTATE_STOP;
  bool m_resetting = false;
  bool m_gone = false;
  bool m_stalled = false;
  std::array<Packet, kMaxQueuedPackets> m_queue{};
  size_t m_head = 0, m_count = 0;

  // The sample clock: m_clockFrames at m_clockUs, advancing while ticking
  // (running, not stalled).
  bool m_ticking = false;
  int64_t m_clockUs = 0;
  uint64_t m_clockFrames = 0;
  uint64_t m_cursor = 0;      // where the head packet started (or the next will)
  bool m_headPlaying = false;
  bool m_gapCounted = false;  // the current dry spell was counted
  bool m_played = false;      // a render packet played since STOP

  bool m_published = false;
  WavWriter m_recording;
  DsdRecorder m_dsdRecording;
  uint64_t m_loopEpoch = 0, m_loopCursor = 0;
  bool m_loopPrimed = false;
  char m_captureName[260] = {};  // the file m_captureFile was read from
  bool m_captureLoaded = false;
  WavData m_captureFile;
};

}  // namespace sim
