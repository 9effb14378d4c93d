// The driver object's buffers and streaming engine: the host's buffer halves,
// each pin's ring of eight packets, a time-critical thread that keeps two
// packets per pin queued with the device and calls the host's buffer switch
// when a period has completed in every direction, and a watchdog that asks the
// host to reset when the device stops completing packets.
#include "asio/asio_sample.h"

#include <mmsystem.h>

#include <cstring>

#include "asio/dop_detector.h"
#include "asio/module.h"

namespace orvi {

namespace {

// Wait slots of the streaming thread.
enum : DWORD {
  kWaitQuit = 0,
  kWaitStart,
  kWaitStop,
  kWaitWatchdog,
  kWaitRenderPackets,                                                 // 24: slot 0 packets 0-7, slot 1 ...
  kWaitCapturePackets = kWaitRenderPackets + kMaxPinSlots * kPacketsPerPin,  // 24 more
  kWaitHandles = kWaitCapturePackets + kMaxPinSlots * kPacketsPerPin,
};
static_assert(kWaitHandles == 52 && kWaitHandles <= MAXIMUM_WAIT_OBJECTS);

// Stream states of the streaming thread.
enum : uint32_t { kStopped = 0, kAcquired = 1, kPaused = 2, kRunning = 3 };

constexpr LONGLONG kWatchdogDue = -2LL * 10000000;  // 2 s, relative
// The largest host buffer taken: far beyond what getBufferSize offers (600 ms
// at 384 kHz, 100 ms of DSD256), small enough that no size computation
// overflows.
constexpr long kMaxBufferSize = 1 << 22;


uint64_t NowNanoseconds() { return uint64_t{timeGetTime()} * 1000000; }

// Copies `frames` samples of `Bytes` bytes, `fromStep` and `toStep` apart: one
// channel into or out of an interleaved packet. The fixed size lets the
// compiler copy each sample with a move instead of a call.
template <uint32_t Bytes>
void CopySamples(const uint8_t* from, uint32_t fromStep, uint8_t* to, uint32_t toStep, uint32_t frames) {
  for (uint32_t f = 0; f < frames; ++f, from += fromStep, to += toStep) std::memcpy(to, from, Bytes);
}

void CopySamples(uint32_t bytes, const uint8_t* from, uint32_t fromStep, uint8_t* to, uint32_t toStep,
                 uint32_t frames) {
  switch (bytes) {
    case 2:
      CopySamples<2>(from, fromStep, to, toStep, frames);
      break;
    case 3:
      CopySamples<3>(from, fromStep, to, toStep, frames);
      break;
    case 4:
      CopySamples<4>(from, fromStep, to, toStep, frames);
      break;
    default:
      break;
  }
}

}  // namespace

// --- createBuffers / disposeBuffers ---

ASIOError STDMETHODCALLTYPE CAsioSample::createBuffers(ASIOBufferInfo* bufferInfos, long numChannels,
                                                       long bufferSize, ASIOCallbacks* callbacks) {
  // Buffers exist once; a second call would lose the first set.
  if (m_nState != kDriverInitialized) return m_nState < kDriverInitialized ? ASE_NotPresent : ASE_InvalidMode;
  if (!callbacks || numChannels < 0 || (numChannels > 0 && !bufferInfos) || bufferSize <= 0 ||
      bufferSize > kMaxBufferSize) {
    return ASE_InvalidParameter;
  }
  const bool dsd = DsdRateIndex(m_nAsioRate) >= 0;
  // DSD travels 32 samples to a container; a remainder could not be sent.
  if (dsd && bufferSize % 32 != 0) return ASE_InvalidParameter;
  if (dsd && m_nBits != 32) {
    // A host that skipped getChannelInfo still gets the containers DSD needs.
    m_nBits = 32;
    m_status.PublishDsdContainer();
  }

  m_pActiveTable[kRender] = m_pCurTable[kRender];
  m_pActiveTable[kCapture] = m_pCurTable[kCapture];
  long inputs = 0;
  long outputs = 0;
  ASIOError result = getChannels(&inputs, &outputs);
  if (result != ASE_OK) {
    disposeBuffers();
    return result;
  }
  bool inputAsked = false;
  for (long i = 0; i < numChannels; ++i) inputAsked = inputAsked || bufferInfos[i].isInput != ASIOFalse;
  if (inputs > 0 && inputAsked) {
    result = m_pActiveTable[kCapture]
                 ? PrepareDirection(kCapture, bufferInfos, numChannels, bufferSize, *m_pActiveTable[kCapture])
                 : ASE_InvalidParameter;
  }
  if (result == ASE_OK && outputs > 0) {
    result = m_pActiveTable[kRender]
                 ? PrepareDirection(kRender, bufferInfos, numChannels, bufferSize, *m_pActiveTable[kRender])
                 : ASE_InvalidParameter;
  }
  // Channels of a direction the device does not have are no channels at all.
  for (long i = 0; result == ASE_OK && i < numChannels; ++i) {
    const long count = bufferInfos[i].isInput ? inputs : outputs;
    if (bufferInfos[i].channelNum < 0 || bufferInfos[i].channelNum >= count) result = ASE_InvalidParameter;
  }
  if (result != ASE_OK) {
    disposeBuffers();
    return result;
  }

  m_callbacks = *callbacks;
  m_nBufferFrames = static_cast<uint32_t>(bufferSize);
  m_llSamplePos = 0;
  m_llTimeStamp = 0;
  if (!StartThreads()) {
    disposeBuffers();
    return ASE_NoMemory;
  }
  AskHostSupport();
  m_nState = kDriverPrepared;
  m_status.PublishBuffersCreated(m_nBufferFrames, m_nAsioRate);
  constexpr ModeReport kDsdReports[] = {ModeReport::kDsd64, ModeReport::kDsd128, ModeReport::kDsd256};
  if (const int index = DsdRateIndex(m_nAsioRate); index >= 0) SendModeReport(kDsdReports[index], true);
  return ASE_OK;
}

ASIOError CAsioSample::PrepareDirection(StreamDirection direction, ASIOBufferInfo* bufferInfos, long numChannels,
                                        long bufferSize, StreamTable& table) {
  const bool dsd = DsdRateIndex(m_nAsioRate) >= 0;
  const uint32_t size = static_cast<uint32_t>(bufferSize);
  const uint32_t frames = dsd ? size / 32 : size;
  const size_t halfBytes = dsd ? size / 8 : size_t{size} * (m_nBits / 8);
  const ASIOBool isInput = direction == kCapture ? ASIOTrue : ASIOFalse;

  for (long i = 0; i < numChannels; ++i) {
    ASIOBufferInfo& info = bufferInfos[i];
    if ((info.isInput != ASIOFalse) != (isInput != ASIOFalse)) continue;
    if (info.channelNum < 0 || static_cast<uint32_t>(info.channelNum) >= table.nChannels) return ASE_InvalidParameter;
    ChannelSlot& channel = table.channels[info.channelNum];
    // The same channel twice would hand out one pair of halves and lose the other.
    if (channel.bInUse) return ASE_InvalidParameter;
    channel.pBuffer[0] = ModuleAlloc(halfBytes);
    channel.pBuffer[1] = ModuleAlloc(halfBytes);
    channel.nFrames = frames;
    channel.bInUse = 1;
    info.buffers[0] = channel.pBuffer[0];
    info.buffers[1] = channel.pBuffer[1];
    if (!channel.pBuffer[0] || !channel.pBuffer[1]) return ASE_NoMemory;
    PinSlot& pin = *channel.pPinSlot;
    pin.bInUse = 1;
    if (pin.nOpenChannels < channel.nIndexInPin + 1) pin.nOpenChannels = channel.nIndexInPin + 1;
  }
  if (numChannels == 0) {
    for (uint32_t k = 0; k < table.nPins; ++k) {
      table.pins[k].bInUse = 1;
      table.pins[k].nOpenChannels = 1;
    }
  }

  ASIOError result = ASE_OK;
  for (uint32_t k = 0; k < table.nPins; ++k) {
    PinSlot& pin = table.pins[k];
    if (!pin.bInUse || pin.nOpenChannels == 0) continue;
    // A pin that does not open still gets its packets; it never streams and its
    // channels stay silent.
    OpenPinWithFormat(table, k, table.nRate);
    const ULONG extent = pin.nOpenChannels * (m_nBits / 8) * frames;
    for (StreamPacket& packet : pin.packets) {
      packet.header.FrameExtent = extent;
      packet.header.Data = ModuleAlloc(extent);
      packet.header.DataUsed = direction == kRender ? extent : 0;
      if (!packet.header.Data) result = ASE_NoMemory;
    }
    pin.nPacketFrames = frames;
  }
  return result;
}

void CAsioSample::ReleaseDirection(StreamTable& table) {
  for (uint32_t k = 0; k < table.nPins; ++k) {
    PinSlot& pin = table.pins[k];
    if (!pin.bInUse) continue;
    // Closing stops the pin, which completes whatever it still held, so the
    // packets can go afterwards.
    if (pin.bOpen) pin.pPin->ClosePin();
    for (StreamPacket& packet : pin.packets) {
      ModuleFree(packet.header.Data);
      packet.header.Data = nullptr;
      packet.header.FrameExtent = 0;
      packet.header.DataUsed = 0;
    }
    pin.nOpenChannels = 0;
    pin.nPacketFrames = 0;
    pin.bOpen = 0;
    pin.bInUse = 0;
  }
  table.dwOpenPinMask = 0;
  for (uint32_t n = 0; n < table.nChannels; ++n) {
    ChannelSlot& channel = table.channels[n];
    ModuleFree(channel.pBuffer[0]);
    ModuleFree(channel.pBuffer[1]);
    channel.pBuffer[0] = channel.pBuffer[1] = nullptr;
    channel.nFrames = 0;
    channel.bInUse = 0;
  }
}

ASIOError STDMETHODCALLTYPE CAsioSample::disposeBuffers() {
  const ASIOError error = getChannels(nullptr, nullptr);
  // Whatever the current rate offers now, what createBuffers took is given
  // back: threads first, then pins and memory.
  StopThreads();
  if (m_pActiveTable[kCapture]) ReleaseDirection(*m_pActiveTable[kCapture]);
  if (m_pActiveTable[kRender]) ReleaseDirection(*m_pActiveTable[kRender]);
  m_nState = kDriverInitialized;
  m_status.PublishBuffersDisposed();
  SendModeReport(ModeReport::kDsd64, false);
  SendModeReport(ModeReport::kDsd128, false);
  SendModeReport(ModeReport::kDsd256, false);
  m_pActiveTable[kRender] = m_pActiveTable[kCapture] = nullptr;
  return error;
}

// --- threads ---

bool CAsioSample::StartThreads() {
  if (!m_hQuitEvent) return false;  // init did not run
  // The streaming thread waits on the packet events of both tables.
  if (!m_pActiveTable[kRender] || !m_pActiveTable[kCapture]) return false;
  ResetEvent(m_hQuitEvent.get());
  ResetEvent(m_hWatchdogQuitEvent.get());
  ResetEvent(m_hWatchdogEvent.get());
  ResetEvent(m_hAckEvent.get());
  CancelWaitableTimer(m_hTimer.get());
  m_hStreamThread.reset(CreateThread(nullptr, 0, StreamThreadProc, this, CREATE_SUSPENDED, nullptr));
  m_hWatchdogThread.reset(CreateThread(nullptr, 0, WatchdogThreadProc, this, CREATE_SUSPENDED, nullptr));
  if (!m_hStreamThread || !m_hWatchdogThread) {
    // Never resumed: ending them loses nothing.
    if (m_hStreamThread) TerminateThread(m_hStreamThread.get(), 0);
    if (m_hWatchdogThread) TerminateThread(m_hWatchdogThread.get(), 0);
    m_hStreamThread.reset();
    m_hWatchdogThread.reset();
    return false;
  }
  DWORD_PTR processMask = 0;
  DWORD_PTR systemMask = 0;
  GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask);
  for (HANDLE thread : {m_hStreamThread.get(), m_hWatchdogThread.get()}) {
    if (processMask) SetThreadAffinityMask(thread, processMask);
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    SetThreadPriorityBoost(thread, FALSE);  // FALSE: dynamic boosting stays on
    ResumeThread(thread);
  }
  return true;
}

void CAsioSample::StopThreads() {
  if (m_hWatchdogThread) {
    SetEvent(m_hWatchdogQuitEvent.get());
    WaitForSingleObject(m_hWatchdogThread.get(), INFINITE);
    m_hWatchdogThread.reset();
  }
  if (m_hStreamThread) {
    SetEvent(m_hQuitEvent.get());
    WaitForSingleObject(m_hStreamThread.get(), INFINITE);
    m_hStreamThread.reset();
  }
}

void CAsioSample::AskHostSupport() {
  m_bHostTimeInfo = m_bHostTimeCode = m_bHostInputMonitor = m_bHostInputGain = false;
  m_bHostInputMeter = m_bHostOutputGain = m_bHostOutputMeter = false;
  auto ask = m_callbacks.asioMessage;
  if (!ask || ask(kAsioEngineVersion, 0, nullptr, nullptr) < 2) return;
  if (m_bCanTimeInfo) {
    m_bHostTimeInfo = ask(kAsioSupportsTimeInfo, 0, nullptr, nullptr) == 1;
    if (m_bHostTimeInfo && m_bCanTimeCode) m_bHostTimeCode = ask(kAsioSupportsTimeCode, 0, nullptr, nullptr) == 1;
  }
  const struct {
    bool capable;
    long selector;
    bool* flag;
  } questions[] = {
      {m_bCanInputMonitor, kAsioSupportsInputMonitor, &m_bHostInputMonitor},
      {m_bCanInputGain, kAsioSupportsInputGain, &m_bHostInputGain},
      {m_bCanInputMeter, kAsioSupportsInputMeter, &m_bHostInputMeter},
      {m_bCanOutputGain, kAsioSupportsOutputGain, &m_bHostOutputGain},
      {m_bCanOutputMeter, kAsioSupportsOutputMeter, &m_bHostOutputMeter},
  };
  for (const auto& q : questions) {
    if (q.capable) *q.flag = ask(q.selector, 0, nullptr, nullptr) == 1;
  }
}

DWORD WINAPI CAsioSample::WatchdogThreadProc(void* self) {
  auto* driver = static_cast<CAsioSample*>(self);
  HANDLE waits[] = {driver->m_hWatchdogQuitEvent.get(), driver->m_hTimer.get()};
  if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
    SetEvent(driver->m_hWatchdogEvent.get());
  }
  CancelWaitableTimer(driver->m_hTimer.get());
  return 0;
}

DWORD WINAPI CAsioSample::StreamThreadProc(void* self) {
  static_cast<CAsioSample*>(self)->StreamLoop();
  return 0;
}

void CAsioSample::ArmWatchdog() {
  LARGE_INTEGER due;
  due.QuadPart = kWatchdogDue;
  SetWaitableTimer(m_hTimer.get(), &due, 0, nullptr, nullptr, FALSE);
}

// Every open pin to `state`, capture pins first.
void CAsioSample::SetOpenPinsState(KSSTATE state) {
  for (StreamDirection direction : {kCapture, kRender}) {
    StreamTable* table = m_pActiveTable[direction];
    if (!table) continue;
    for (uint32_t k = 0; k < table->nPins; ++k) {
      if (table->pins[k].bOpen) table->pins[k].pPin->SetState(state);
    }
  }
}

void CAsioSample::BringPinsDown(uint32_t streamState) {
  if (streamState == kRunning) SetOpenPinsState(KSSTATE_PAUSE);
  if (streamState >= kPaused) SetOpenPinsState(KSSTATE_ACQUIRE);
  if (streamState >= kAcquired) SetOpenPinsState(KSSTATE_STOP);
}

void CAsioSample::StreamLoop() {
  // createBuffers set both: the current tables exist from init on.
  StreamTable* render = m_pActiveTable[kRender];
  StreamTable* capture = m_pActiveTable[kCapture];
  const uint32_t renderOpen = render->dwOpenPinMask;
  const uint32_t captureOpen = capture->dwOpenPinMask;
  const uint32_t inPlay = (renderOpen ? 1u : 0u) | (captureOpen ? 2u : 0u);

  HANDLE waits[kWaitHandles] = {m_hQuitEvent.get(), m_hStartEvent.get(), m_hStopEvent.get(),
                                m_hWatchdogEvent.get()};
  // Each table's packets carry their events (init gave every slot its own,
  // also slots without a pin, whose events are never signalled).
  for (uint32_t k = 0; k < kMaxPinSlots; ++k) {
    for (uint32_t p = 0; p < kPacketsPerPin; ++p) {
      const uint32_t i = k * kPacketsPerPin + p;
      waits[kWaitRenderPackets + i] = render->pins[k].packets[p].overlapped.hEvent;
      waits[kWaitCapturePackets + i] = capture->pins[k].packets[p].overlapped.hEvent;
      ResetEvent(waits[kWaitRenderPackets + i]);
      ResetEvent(waits[kWaitCapturePackets + i]);
    }
  }

  uint32_t state = kStopped;
  uint32_t renderMask[2] = {0, 0};
  uint32_t captureMask[2] = {0, 0};
  uint32_t directionMask[2] = {0, 0};
  bool quit = false;
  while (!quit) {
    const DWORD woke = WaitForMultipleObjects(kWaitHandles, waits, FALSE, INFINITE);
    if (woke >= WAIT_OBJECT_0 + kWaitHandles) break;  // failed wait
    const DWORD index = woke - WAIT_OBJECT_0;
    if (index == kWaitQuit) {
      CancelWaitableTimer(m_hTimer.get());
      quit = true;
    } else if (index == kWaitStart) {
      if (state == kStopped) {
        renderMask[0] = renderMask[1] = captureMask[0] = captureMask[1] = 0;
        directionMask[0] = directionMask[1] = 0;
        SetOpenPinsState(KSSTATE_ACQUIRE);
        SetOpenPinsState(KSSTATE_PAUSE);
        m_llSwitchCount = 0;
        m_llSamplePos = 0;
        m_llFrameCounter = 0;
        m_llPeriodTime = NowNanoseconds();
        for (uint32_t packet = 0; packet < m_nPrerollPackets; ++packet) {
          for (uint32_t k = 0; k < render->nPins; ++k) {
            PinSlot& pin = render->pins[k];
            if (pin.bOpen) std::memset(pin.packets[packet].header.Data, 0, pin.packets[packet].header.FrameExtent);
          }
          QueueCapture(packet);
          QueueRender(packet);
        }
        Sleep(10);
        state = kRunning;
        SetOpenPinsState(KSSTATE_RUN);
        SetEvent(m_hAckEvent.get());
      }
      ArmWatchdog();
    } else if (index == kWaitStop) {
      BringPinsDown(state);
      CancelWaitableTimer(m_hTimer.get());
      state = kStopped;
      SetEvent(m_hAckEvent.get());
    } else if (index == kWaitWatchdog) {
      ArmWatchdog();
      if (m_bRateChanged) {
        m_bRateChanged = false;
        if (m_callbacks.sampleRateDidChange) m_callbacks.sampleRateDidChange(m_nCarrierRate);
      }
      if (m_callbacks.asioMessage) m_callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    } else if (index < kWaitCapturePackets) {
      if (state == kRunning) ArmWatchdog();
      const uint32_t e = index - kWaitRenderPackets;
      const uint32_t parity = e & 1;
      renderMask[parity] |= 1u << (e / kPacketsPerPin);
      if ((renderMask[parity] & renderOpen) == renderOpen) {
        if (state == kRunning) {
          directionMask[parity] |= 1;
          if ((directionMask[parity] & inPlay) == inPlay) {
            Period(parity);
            directionMask[parity] = 0;
          }
        }
        renderMask[parity] = 0;
      }
    } else {
      if (state == kRunning) ArmWatchdog();
      const uint32_t e = index - kWaitCapturePackets;
      const uint32_t parity = e & 1;
      captureMask[parity] |= 1u << (e / kPacketsPerPin);
      if ((captureMask[parity] & captureOpen) == captureOpen) {
        if (state == kRunning) {
          if (m_llSwitchCount >= m_nPrerollPackets) {
            const uint32_t packet = static_cast<uint32_t>((m_llFrameCounter / m_nBufferFrames + 1) & 7);
            CopyIn(packet, packet & 1);
          }
          directionMask[parity] |= 2;
          if ((directionMask[parity] & inPlay) == inPlay) {
            Period(parity);
            directionMask[parity] = 0;
          }
        }
        captureMask[parity] = 0;
      }
    }
    if (m_status.TakeResetRequest() && m_callbacks.asioMessage) {
      m_callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    }
  }
  BringPinsDown(state);
}

void CAsioSample::Period(uint32_t parity) {
  if (m_llSwitchCount > 0) m_llFrameCounter += m_nBufferFrames;
  m_llPeriodTime = NowNanoseconds();
  const uint32_t packet = static_cast<uint32_t>((m_llFrameCounter / m_nBufferFrames + m_nPrerollPackets) & 7);
  QueueCapture(packet);
  BufferSwitch(parity);
  QueueRender(packet);  // outputReady filled it during the switch
}

// Packet `packet` of every open capture pin, emptied, to the device.
void CAsioSample::QueueCapture(uint32_t packet) {
  StreamTable* capture = m_pActiveTable[kCapture];
  for (uint32_t k = 0; k < capture->nPins; ++k) {
    PinSlot& pin = capture->pins[k];
    if (!pin.bOpen) continue;
    pin.packets[packet].header.DataUsed = 0;
    pin.pPin->ReadData(&pin.packets[packet].header, &pin.packets[packet].overlapped);
  }
}

// Packet `packet` of every open render pin to the device.
void CAsioSample::QueueRender(uint32_t packet) {
  StreamTable* render = m_pActiveTable[kRender];
  for (uint32_t k = 0; k < render->nPins; ++k) {
    PinSlot& pin = render->pins[k];
    if (pin.bOpen) pin.pPin->WriteData(&pin.packets[packet].header, &pin.packets[packet].overlapped);
  }
}

void CAsioSample::BufferSwitch(uint32_t parity) {
  ++m_llSwitchCount;
  m_llSamplePos = m_llFrameCounter;
  m_llTimeStamp = m_llPeriodTime;
  const long index = static_cast<long>(parity);
  if (m_bCanTimeInfo && m_bHostTimeInfo && m_callbacks.bufferSwitchTimeInfo) {
    ASIOTime time{};
    time.timeInfo.speed = 1.0;
    time.timeInfo.systemTime = ToAsioTimeStamp(m_llTimeStamp);
    time.timeInfo.samplePosition = ToAsioSamples(m_llSamplePos);
    time.timeInfo.sampleRate = m_nCarrierRate;
    time.timeInfo.flags = kSystemTimeValid | kSamplePositionValid | kSampleRateValid;
    if (m_bRateChanged) {
      time.timeInfo.flags |= kSampleRateChanged;
      m_bRateChanged = false;
    }
    if (m_bCanTimeCode && m_bHostTimeCode && m_bTimeCodeRead) time.timeCode.flags = kTcValid | kTcRunning | kTcOnspeed;
    m_callbacks.bufferSwitchTimeInfo(&time, index, ASIOTrue);
  } else if (m_callbacks.bufferSwitch) {
    m_callbacks.bufferSwitch(index, ASIOTrue);
  }
}

// --- copies between host halves and packets ---

void CAsioSample::CopyOut() {
  StreamTable* table = m_pActiveTable[kRender];
  if (!table || m_nBufferFrames == 0) return;
  const uint64_t period = m_llSamplePos / m_nBufferFrames;
  const uint32_t packet = static_cast<uint32_t>((period + m_nPrerollPackets) & 7);
  const uint32_t half = static_cast<uint32_t>(period & 1);
  const uint32_t bytes = m_nBits / 8;
  const bool detectDop = RunsDopDetection();
  for (uint32_t n = 0; n < table->nChannels; ++n) {
    const ChannelSlot& channel = table->channels[n];
    const PinSlot* pin = channel.pPinSlot;
    if (!pin || !pin->bOpen || !channel.pBuffer[half]) continue;
    const KSSTREAM_HEADER& header = pin->packets[packet].header;
    if (header.FrameExtent == 0 || !header.Data) continue;
    const uint32_t step = pin->nOpenChannels * bytes;
    uint32_t frames = header.FrameExtent / step;
    if (frames > channel.nFrames) frames = channel.nFrames;
    const auto* from = static_cast<const uint8_t*>(channel.pBuffer[half]);
    auto* to = static_cast<uint8_t*>(header.Data) + channel.nIndexInPin * bytes;
    CopySamples(bytes, from, bytes, to, step, frames);
    if (detectDop) OnDopTested(DetectDop(static_cast<const uint8_t*>(channel.pBuffer[half]), frames, m_nBits));
  }
}

void CAsioSample::CopyIn(uint32_t packet, uint32_t half) {
  StreamTable* table = m_pActiveTable[kCapture];
  if (!table) return;
  const uint32_t bytes = m_nBits / 8;
  for (uint32_t n = 0; n < table->nChannels; ++n) {
    const ChannelSlot& channel = table->channels[n];
    const PinSlot* pin = channel.pPinSlot;
    if (!pin || !pin->bOpen || !channel.pBuffer[half]) continue;
    const KSSTREAM_HEADER& header = pin->packets[packet].header;
    if (header.DataUsed == 0 || !header.Data) continue;
    const uint32_t step = pin->nOpenChannels * bytes;
    uint32_t frames = header.DataUsed / step;
    if (frames > channel.nFrames) frames = channel.nFrames;  // the device never delivers more than asked
    const auto* from = static_cast<const uint8_t*>(header.Data) + channel.nIndexInPin * bytes;
    auto* to = static_cast<uint8_t*>(channel.pBuffer[half]);
    CopySamples(bytes, from, step, to, bytes, frames);
  }
}

// --- start / stop / position ---

ASIOError STDMETHODCALLTYPE CAsioSample::start() {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error != ASE_OK) return error;
  if (m_nState != kDriverPrepared) return ASE_OK;
  m_nState = kDriverRunning;
  m_status.PublishState(kDriverRunning);
  SetEvent(m_hStartEvent.get());
  // No time limit, but a streaming thread that is gone cannot answer.
  HANDLE waits[] = {m_hAckEvent.get(), m_hStreamThread.get()};
  WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::stop() {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error == ASE_OK && m_nState == kDriverRunning && m_hStreamThread) {
    SetEvent(m_hStopEvent.get());
    HANDLE waits[] = {m_hAckEvent.get(), m_hStreamThread.get()};
    WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  }
  if (m_bDopReported) {
    m_bDopReported = false;
    SendModeReport(ModeReport::kDop, false);
  }
  if (m_nState == kDriverPrepared || m_nState == kDriverRunning) {
    m_nState = kDriverPrepared;
    m_status.PublishState(kDriverPrepared);
  }
  return error;
}

ASIOError STDMETHODCALLTYPE CAsioSample::getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) {
  if (getChannels(nullptr, nullptr) != ASE_OK) return ASE_NotPresent;
  if (sPos) *sPos = ToAsioSamples(m_llSamplePos);
  if (tStamp) *tStamp = ToAsioTimeStamp(m_llTimeStamp);
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::outputReady() {
  if (m_nState == kDriverRunning) CopyOut();
  return ASE_OK;
}

}  // namespace orvi
