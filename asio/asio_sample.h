#pragma once
// CAsioSample: the driver object an ASIO host creates through COM and drives
// through IASIO. One per host that loaded the driver. It finds the device when
// it is created, opens its filters at init, answers the host's questions from
// per-rate stream tables, and moves audio between the host's buffers and the
// device's pins while running.
#include <windows.h>

#include <cstdint>

#include "asio/asio_interface.h"
#include "asio/driver_settings.h"
#include "asio/mode_reports.h"
#include "asio/status_block.h"
#include "asio/stream_table.h"
#include "asio/unknown.h"
#include "common/rates.h"
#include "ks/ks_aud_filter.h"
#include "platform/unique_handle.h"

namespace orvi {

// The USB devices the driver serves (vendor id, product id); the list ends with
// a vendor id of 0.
struct AcceptedDevice {
  USHORT wVendorId;
  USHORT wProductId;
};
inline constexpr AcceptedDevice kAcceptedDevices[] = {{0x3F57, 0x7170}, {0x3F57, 0x7171}, {0, 0}};

// Reads the ids from a device-interface path: it must name "VID_" and "PID_",
// each followed by four hexadecimal digits, and "MI_" (any case). True when it
// does and the pair is one of kAcceptedDevices.
bool MatchDevicePath(const char* path, USHORT* pwVendorId, USHORT* pwProductId);

// The highest bit depth of a depth mask (bit 1 = 16, bit 2 = 24, bit 3 = 32).
uint32_t HighestDepth(uint8_t depthMask);

class CAsioSample : public IASIO, public CUnknown {
 public:
  // `product` names the status block, the settings key and the fallback device
  // name; hosts always get the built-in one.
  CAsioSample(LPUNKNOWN pUnkOuter, REFCLSID clsid, const char* product = ORVI_DRIVER_PRODUCT);
  ~CAsioSample() override;

  // Finds the first accepted device among the KS audio render filters and
  // probes its bit depths. E_FAIL when there is none: the object is of no use
  // then and the class factory destroys it.
  HRESULT DiscoverDevice();

  // IUnknown: forwarded to the controlling unknown.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IID_IUnknown and the class identifier give IASIO; anything else
  // E_NOINTERFACE.
  HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

  // IASIO
  ASIOBool STDMETHODCALLTYPE init(void* sysHandle) override;
  void STDMETHODCALLTYPE getDriverName(char* name) override;
  long STDMETHODCALLTYPE getDriverVersion() override;
  void STDMETHODCALLTYPE getErrorMessage(char* string) override;
  ASIOError STDMETHODCALLTYPE start() override;
  ASIOError STDMETHODCALLTYPE stop() override;
  ASIOError STDMETHODCALLTYPE getChannels(long* numInputChannels, long* numOutputChannels) override;
  ASIOError STDMETHODCALLTYPE getLatencies(long* inputLatency, long* outputLatency) override;
  ASIOError STDMETHODCALLTYPE getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                            long* granularity) override;
  ASIOError STDMETHODCALLTYPE canSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError STDMETHODCALLTYPE getSampleRate(ASIOSampleRate* sampleRate) override;
  ASIOError STDMETHODCALLTYPE setSampleRate(ASIOSampleRate sampleRate) override;
  ASIOError STDMETHODCALLTYPE getClockSources(ASIOClockSource* clocks, long* numSources) override;
  ASIOError STDMETHODCALLTYPE setClockSource(long reference) override;
  ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
  ASIOError STDMETHODCALLTYPE getChannelInfo(ASIOChannelInfo* info) override;
  ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                                            ASIOCallbacks* callbacks) override;
  ASIOError STDMETHODCALLTYPE disposeBuffers() override;
  ASIOError STDMETHODCALLTYPE controlPanel() override;
  ASIOError STDMETHODCALLTYPE future(long selector, void* opt) override;
  ASIOError STDMETHODCALLTYPE outputReady() override;

  // Instantiates the pin of `slot` (of the table for `rate`) with the
  // channel count createBuffers chose, or the next larger one the pin accepts
  // up to its maximum.
  HRESULT OpenPinWithFormat(StreamTable& table, uint32_t slot, uint32_t rate);

  // DoP markers are looked for only where they can occur: 24- or 32-bit PCM
  // (not native DSD) at 176400 or 352800 Hz.
  bool RunsDopDetection() const;
  // The outcome of one output channel's DoP test: the device hears of the
  // first detection, the status block of every change.
  void OnDopTested(bool detected);

  // What tests and tools may look at.
  uint32_t State() const { return m_nState; }
  uint8_t DepthMask() const { return m_bDepthMask; }
  uint32_t Bits() const { return m_nBits; }
  uint32_t CarrierRate() const { return m_nCarrierRate; }
  const char* SymbolicLink() const { return m_szSymbolicLink; }
  USHORT VendorId() const { return m_wVendorId; }
  USHORT ProductId() const { return m_wProductId; }
  const StreamTable& Table(StreamDirection direction, size_t rateIndex) const {
    return m_tables[direction][rateIndex];
  }

 private:
  StreamTable* FindTable(StreamDirection direction, uint32_t rate);
  void BuildStreamTables(StreamDirection direction);
  HRESULT OpenFilters();
  bool CreateSyncObjects();
  void CloseSyncObjects();
  uint32_t UsableRateMask() const;

  // Buffers and streaming (asio_sample_buffers.cpp).
  ASIOError PrepareDirection(StreamDirection direction, ASIOBufferInfo* bufferInfos, long numChannels,
                             long bufferSize, StreamTable& table);
  void ReleaseDirection(StreamTable& table);
  bool StartThreads();
  void StopThreads();
  void AskHostSupport();
  static DWORD WINAPI StreamThreadProc(void* self);
  static DWORD WINAPI WatchdogThreadProc(void* self);
  void StreamLoop();
  void SetOpenPinsState(KSSTATE state);
  void BringPinsDown(uint32_t streamState);
  void ArmWatchdog();
  void Period(uint32_t parity);
  void QueueCapture(uint32_t packet);
  void QueueRender(uint32_t packet);
  void BufferSwitch(uint32_t parity);
  void CopyOut();
  void CopyIn(uint32_t packet, uint32_t half);
  void PublishState(uint32_t state);
  bool ShowRunningPanel();
  void SendModeReport(ModeReport report, bool on);

  CLSID m_clsid{};
  char m_szProduct[32]{};
  uint8_t m_bDepthMask = 0;
  char m_szSymbolicLink[MAX_PATH]{};
  char m_szDeviceName[MAX_PATH]{};
  USHORT m_wVendorId = 0;
  USHORT m_wProductId = 0;
  uint32_t m_nState = 0;
  CKsAudRenFilter* m_pRenderFilter = nullptr;
  CKsAudCapFilter* m_pCaptureFilter = nullptr;
  bool m_bHasCapture = false;
  uint32_t m_nBits = 0;
  uint32_t m_nBitsSetting = 0;
  uint32_t m_nCarrierRate = 0;
  uint32_t m_nAsioRate = 0;
  uint64_t m_llBufferDuration = 0;  // 100-ns units
  uint32_t m_nBufferFrames = 0;
  bool m_bRateChanged = false;
  uint32_t m_nMinBufferIndex = 0;
  uint32_t m_nPrerollPackets = 2;
  StreamTable m_tables[kDirections][kRateTable.size()]{};
  StreamTable* m_pCurTable[kDirections]{};
  StreamTable* m_pActiveTable[kDirections]{};
  ASIOCallbacks m_callbacks{};

  // Streaming: control events, the watchdog's timer, and one event for each
  // packet any table can hold. Created at init.
  UniqueHandle m_hQuitEvent, m_hStartEvent, m_hStopEvent, m_hWatchdogEvent, m_hWatchdogQuitEvent, m_hAckEvent;
  UniqueHandle m_hTimer;
  UniqueHandle m_hPacketEvents[kDirections][kRateTable.size()][kMaxPinSlots][kPacketsPerPin];

  UniqueHandle m_hStreamThread, m_hWatchdogThread;

  // Written by the streaming thread; the sample position and its time stamp
  // are read by getSamplePosition and outputReady.
  uint64_t m_llFrameCounter = 0;
  uint64_t m_llPeriodTime = 0;  // nanoseconds, millisecond resolution
  uint64_t m_llSwitchCount = 0;
  volatile uint64_t m_llSamplePos = 0;
  volatile uint64_t m_llTimeStamp = 0;

  // What future() reports, and what the host said it supports.
  bool m_bCanInputMonitor = false, m_bCanTimeInfo = false, m_bCanTimeCode = false, m_bCanTransport = false,
       m_bCanInputGain = false, m_bCanInputMeter = false, m_bCanOutputGain = false, m_bCanOutputMeter = false;
  bool m_bIoFormatCapable = false;
  bool m_bHostTimeInfo = false, m_bHostTimeCode = false, m_bHostInputMonitor = false, m_bHostInputGain = false,
       m_bHostInputMeter = false, m_bHostOutputGain = false, m_bHostOutputMeter = false;
  bool m_bTimeCodeRead = false;
  uint32_t m_nIoFormat = 0;

  CStatusBlock m_status;
  CDriverSettings m_settings;
  bool m_bTimerPeriodRaised = false;
  bool m_bDopReported = false;
};

}  // namespace orvi
