#include "asio/asio_sample.h"

#include <ksmedia.h>
#include <mmsystem.h>
#include <shellapi.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/bounded_text.h"
#include "common/buffer_lengths.h"
#include "ks/ks_enum_filters.h"

namespace orvi {

namespace {

// The window the driver looks for before it starts the control panel.
constexpr char kPanelWindowTitle[] = "Orvi Q-72 Audio Control Panel";

constexpr uint32_t kBitsByDepthIndex[] = {16, 24, 32};  // mask bits 1, 2, 3
constexpr uint64_t kDefaultBufferDuration = 100000;     // 10 ms in 100-ns units
constexpr uint32_t kMaxBufferMs = 600;

// Four hexadecimal digits right after `key`, if `key` occurs in `text`.
bool ReadHexId(const char* text, const char* key, USHORT* value) {
  const char* at = std::strstr(text, key);
  if (!at) return false;
  at += std::strlen(key);
  unsigned id = 0;
  for (int i = 0; i < 4; ++i) {
    const char c = at[i];
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;  // also the end of the text
    }
    id = id * 16 + digit;
  }
  *value = static_cast<USHORT>(id);
  return true;
}

WAVEFORMATEX ProbeFormat(uint32_t bits) {
  WAVEFORMATEX format{};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 2;
  format.nSamplesPerSec = 48000;
  format.wBitsPerSample = static_cast<WORD>(bits);
  format.nBlockAlign = static_cast<WORD>(2 * bits / 8);
  format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
  return format;
}

template <typename T>
void Store(T* p, T value) {
  if (p) *p = value;
}

}  // namespace

bool MatchDevicePath(const char* path, USHORT* pwVendorId, USHORT* pwProductId) {
  if (!path) return false;
  char upper[MAX_PATH];
  CopyBounded(upper, path);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  USHORT vid = 0;
  USHORT pid = 0;
  if (!ReadHexId(upper, "VID_", &vid) || !ReadHexId(upper, "PID_", &pid) || !std::strstr(upper, "MI_")) return false;
  for (const AcceptedDevice* d = kAcceptedDevices; d->wVendorId != 0; ++d) {
    if (d->wVendorId == vid && d->wProductId == pid) {
      Store(pwVendorId, vid);
      Store(pwProductId, pid);
      return true;
    }
  }
  return false;
}

uint32_t HighestDepth(uint8_t depthMask) {
  if (depthMask >= 8) return 32;
  if (depthMask >= 4) return 24;
  if (depthMask >= 2) return 16;
  return depthMask == 1 ? 8 : 0;
}

CAsioSample::CAsioSample(LPUNKNOWN pUnkOuter, REFCLSID clsid, const char* product)
    : CUnknown(pUnkOuter), m_clsid(clsid), m_status(clsid, product), m_settings(product) {
  CopyBounded(m_szProduct, product);
  if (m_status.OpenOrCreate()) m_settings.Load(m_status, m_nCarrierRate);
  m_status.KeepForProcess();
}

CAsioSample::~CAsioSample() {
  if (m_bTimerPeriodRaised) timeEndPeriod(1);
  if (m_nState == kDriverRunning) {
    stop();
    m_nState = kDriverPrepared;
  }
  if (m_nState == kDriverPrepared) {
    disposeBuffers();
    m_nState = kDriverInitialized;
  }
  if (m_nState == kDriverInitialized) {
    m_settings.Save(m_status, m_nCarrierRate);
    m_nState = kDriverLoaded;
  }
  CloseSyncObjects();
  delete m_pRenderFilter;
  delete m_pCaptureFilter;
  m_nState = kDriverUnload;
  m_status.Release();
}

HRESULT CAsioSample::DiscoverDevice() {
  m_nState = kDriverLoaded;
  m_status.Claim();
  HRESULT hr = S_OK;
  CKsEnumFilters* pEnum = new CKsEnumFilters(&hr);
  if (!pEnum) return E_FAIL;
  const GUID categories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
  if (SUCCEEDED(hr)) hr = pEnum->EnumFilters(categories, 2);
  bool found = false;
  if (SUCCEEDED(hr)) {
    for (CKsFilter* filter : pEnum->m_listFilters) {
      CopyBounded(m_szSymbolicLink, filter->m_szSymbolicLink);
      if (!MatchDevicePath(m_szSymbolicLink, &m_wVendorId, &m_wProductId)) continue;
      CopyBounded(m_szDeviceName, filter->m_szFriendlyName[0] ? filter->m_szFriendlyName : m_szProduct);

      HRESULT hrRender = S_OK;
      CKsAudRenFilter* render = new CKsAudRenFilter(m_szSymbolicLink, m_szDeviceName, &hrRender);
      if (!render || FAILED(hrRender) || FAILED(render->Instantiate()) || FAILED(render->EnumeratePins())) {
        delete render;
        continue;
      }
      HRESULT hrCapture = S_OK;
      CKsAudCapFilter* capture = new CKsAudCapFilter(m_szSymbolicLink, m_szDeviceName, &hrCapture);
      // Judged per filter: capture pins of a filter that was passed over must
      // not make the next one's probe ask for capture.
      m_bHasCapture = capture && SUCCEEDED(hrCapture) && SUCCEEDED(capture->Instantiate()) &&
                      SUCCEEDED(capture->EnumeratePins()) && !capture->m_listCaptureSinkPins.IsEmpty();

      uint8_t mask = 0;
      for (int i = 0; i < 3; ++i) {
        const WAVEFORMATEX probe = ProbeFormat(kBitsByDepthIndex[i]);
        if (render->FindViablePin(&probe, FORMAT_CHECK_BITS) &&
            (!m_bHasCapture || capture->FindViablePin(&probe, FORMAT_CHECK_BITS))) {
          mask = static_cast<uint8_t>(mask | (1u << (i + 1)));
        }
      }
      if (mask != 0) {
        m_bDepthMask = mask;
        found = true;
      }
      delete capture;
      delete render;
      if (found) break;
    }
  }
  delete pEnum;
  if (!found) return E_FAIL;

  timeBeginPeriod(1);
  m_bTimerPeriodRaised = true;
  m_status.PublishDeviceName(m_szDeviceName);
  return S_OK;
}

// --- IUnknown ---

HRESULT STDMETHODCALLTYPE CAsioSample::QueryInterface(REFIID riid, void** ppv) {
  return GetOwner()->QueryInterface(riid, ppv);
}
ULONG STDMETHODCALLTYPE CAsioSample::AddRef() { return GetOwner()->AddRef(); }
ULONG STDMETHODCALLTYPE CAsioSample::Release() { return GetOwner()->Release(); }

HRESULT STDMETHODCALLTYPE CAsioSample::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, m_clsid)) {
    return GetInterface(static_cast<IASIO*>(this), ppv);
  }
  *ppv = nullptr;
  return E_NOINTERFACE;
}

// --- init ---

HRESULT CAsioSample::OpenFilters() {
  // A failed earlier init may have left filters behind.
  delete m_pRenderFilter;
  delete m_pCaptureFilter;
  m_pRenderFilter = nullptr;
  m_pCaptureFilter = nullptr;

  HRESULT hr = S_OK;
  m_pRenderFilter = new CKsAudRenFilter(m_szSymbolicLink, m_szDeviceName, &hr);
  if (!m_pRenderFilter) return E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = m_pRenderFilter->Instantiate();
  if (SUCCEEDED(hr)) hr = m_pRenderFilter->EnumerateNodes();
  if (SUCCEEDED(hr)) hr = m_pRenderFilter->EnumeratePins();
  if (FAILED(hr) || !m_bHasCapture) return hr;

  m_pCaptureFilter = new CKsAudCapFilter(m_szSymbolicLink, m_szDeviceName, &hr);
  if (!m_pCaptureFilter) return E_OUTOFMEMORY;
  if (SUCCEEDED(hr)) hr = m_pCaptureFilter->Instantiate();
  if (SUCCEEDED(hr)) hr = m_pCaptureFilter->EnumerateNodes();
  if (SUCCEEDED(hr)) hr = m_pCaptureFilter->EnumeratePins();
  return hr;
}

bool CAsioSample::CreateSyncObjects() {
  CloseSyncObjects();
  for (UniqueHandle* event : {&m_hQuitEvent, &m_hStartEvent, &m_hStopEvent, &m_hWatchdogEvent,
                              &m_hWatchdogQuitEvent, &m_hAckEvent}) {
    event->reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!*event) return false;
  }
  m_hTimer.reset(CreateWaitableTimerA(nullptr, FALSE, nullptr));
  if (!m_hTimer) return false;
  for (auto& direction : m_hPacketEvents) {
    for (auto& rate : direction) {
      for (auto& slot : rate) {
        for (UniqueHandle& event : slot) {
          event.reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
          if (!event) return false;
        }
      }
    }
  }
  return true;
}

void CAsioSample::CloseSyncObjects() {
  for (UniqueHandle* event : {&m_hQuitEvent, &m_hStartEvent, &m_hStopEvent, &m_hWatchdogEvent,
                              &m_hWatchdogQuitEvent, &m_hAckEvent, &m_hTimer}) {
    event->reset();
  }
  for (auto& direction : m_hPacketEvents) {
    for (auto& rate : direction) {
      for (auto& slot : rate) {
        for (UniqueHandle& event : slot) event.reset();
      }
    }
  }
}

void CAsioSample::BuildStreamTables(StreamDirection direction) {
  for (size_t i = 0; i < kRateTable.size(); ++i) {
    StreamTable& table = m_tables[direction][i];
    for (uint32_t k = 0; k < kMaxPinSlots; ++k) {
      for (uint32_t p = 0; p < kPacketsPerPin; ++p) {
        table.pins[k].packets[p].overlapped.hEvent = m_hPacketEvents[direction][i][k][p].get();
      }
    }
    if (direction == kCapture && !m_pCaptureFilter) {
      BuildEmptyStreamTable(table, kRateTable[i]);
    } else {
      const KsList<CKsPin>& pins = direction == kRender ? m_pRenderFilter->m_listRenderSinkPins
                                                        : m_pCaptureFilter->m_listCaptureSinkPins;
      BuildStreamTable(table, kRateTable[i], m_nBits, pins);
    }
  }
}

StreamTable* CAsioSample::FindTable(StreamDirection direction, uint32_t rate) {
  for (StreamTable& table : m_tables[direction]) {
    if (table.nRate == rate) return &table;
  }
  return nullptr;
}

uint32_t CAsioSample::UsableRateMask() const {
  uint32_t mask = 0;
  for (size_t i = 0; i < kRateTable.size(); ++i) {
    if (m_tables[kRender][i].bValid && m_tables[kCapture][i].bValid) mask |= 1u << i;
  }
  return mask;
}

ASIOBool STDMETHODCALLTYPE CAsioSample::init(void* /*sysHandle*/) {
  // Hosts init once; a second call on a ready object has nothing to redo.
  if (m_nState >= kDriverInitialized) return ASIOTrue;
  if (m_nState != kDriverLoaded) return ASIOFalse;
  if (FAILED(OpenFilters())) return ASIOFalse;
  if (!CreateSyncObjects()) return ASIOFalse;

  m_nMinBufferIndex = 0;
  m_settings.Load(m_status, m_nCarrierRate);
  uint32_t bufferSetting = 0;
  uint32_t bitsSetting = 0;
  if (m_status.ReadPanelSettings(bufferSetting, bitsSetting)) {
    m_llBufferDuration = uint64_t{bufferSetting} * 1000;
    m_nBitsSetting = m_nBits = bitsSetting;
  }
  const bool bitsSupported = (m_nBitsSetting == 16 && (m_bDepthMask & kSupportedBits16)) ||
                             (m_nBitsSetting == 24 && (m_bDepthMask & kSupportedBits24)) ||
                             (m_nBitsSetting == 32 && (m_bDepthMask & kSupportedBits32));
  if (!bitsSupported || m_nBits == 0) m_nBitsSetting = m_nBits = HighestDepth(m_bDepthMask);

  BuildStreamTables(kRender);
  BuildStreamTables(kCapture);

  if (m_llBufferDuration == 0) m_llBufferDuration = kDefaultBufferDuration;
  m_nPrerollPackets = 2;

  const int savedIndex = RateIndex(m_nCarrierRate);
  if (savedIndex < 0 || !(UsableRateMask() & (1u << savedIndex))) m_nCarrierRate = 0;
  if (m_nCarrierRate == 0) {
    const uint32_t usable = UsableRateMask();
    for (size_t i = 0; i < kRateTable.size(); ++i) {
      if (usable & (1u << i)) {
        m_nCarrierRate = kRateTable[i];
        break;
      }
    }
  }

  m_status.PublishFormat(static_cast<uint32_t>(m_llBufferDuration / 1000), m_nCarrierRate, m_nBitsSetting);
  if (StreamTable* t = FindTable(kRender, m_nCarrierRate)) m_pCurTable[kRender] = t;
  if (StreamTable* t = FindTable(kCapture, m_nCarrierRate)) m_pCurTable[kCapture] = t;

  m_bCanInputMonitor = m_bCanTimeCode = m_bCanTransport = false;
  m_bCanInputGain = m_bCanInputMeter = m_bCanOutputGain = m_bCanOutputMeter = false;
  m_bCanTimeInfo = true;
  m_bIoFormatCapable = true;
  m_nIoFormat = kASIOPCMFormat;

  m_nState = kDriverInitialized;
  m_status.PublishInitialized(m_bDepthMask & 0xFu, UsableRateMask());
  return ASIOTrue;
}

// --- identity ---

void STDMETHODCALLTYPE CAsioSample::getDriverName(char* name) {
  if (!name) return;
  char bounded[32];
  CopyBounded(bounded, m_szDeviceName);
  std::memcpy(name, bounded, std::strlen(bounded) + 1);
}

long STDMETHODCALLTYPE CAsioSample::getDriverVersion() { return 2; }

void STDMETHODCALLTYPE CAsioSample::getErrorMessage(char* /*string*/) {}

// --- channels, latencies, buffer sizes ---

ASIOError STDMETHODCALLTYPE CAsioSample::getChannels(long* numInputChannels, long* numOutputChannels) {
  const long inputs = m_pCurTable[kCapture] ? static_cast<long>(m_pCurTable[kCapture]->nTotalChannels) : 0;
  const long outputs = m_pCurTable[kRender] ? static_cast<long>(m_pCurTable[kRender]->nTotalChannels) : 0;
  Store(numInputChannels, inputs);
  Store(numOutputChannels, outputs);
  return inputs == 0 && outputs == 0 ? ASE_NotPresent : ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::getLatencies(long* inputLatency, long* outputLatency) {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error != ASE_OK) {
    Store(inputLatency, 0L);
    Store(outputLatency, 0L);
    return error;
  }
  uint64_t frames;
  if (m_nState == kDriverPrepared) {
    frames = m_nBufferFrames;
  } else if (m_nCarrierRate == 44100) {
    frames = m_llBufferDuration * 44 / 10000;  // 44 frames per millisecond
  } else {
    frames = uint64_t{m_nCarrierRate} * m_llBufferDuration / 10000000;
  }
  Store(inputLatency, static_cast<long>(frames));
  Store(outputLatency, static_cast<long>((m_nPrerollPackets - 1) * frames));
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::getBufferSize(long* minSize, long* maxSize, long* preferredSize,
                                                       long* granularity) {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error != ASE_OK) return error;
  const int dsd = DsdRateIndex(m_nAsioRate);
  if (dsd >= 0) {
    // 10 ms of DSD samples; at most 100 ms.
    const long tenMs = static_cast<long>(kDsdRates[static_cast<size_t>(dsd)] / 100);
    Store(minSize, tenMs);
    Store(maxSize, tenMs * 10);
    Store(preferredSize, tenMs);
    Store(granularity, tenMs);
    return ASE_OK;
  }
  const uint64_t rate = m_nCarrierRate;
  Store(minSize, static_cast<long>(rate * kBufferLengthsMs[m_nMinBufferIndex] / 1000));
  Store(maxSize, static_cast<long>(rate * kMaxBufferMs / 1000));
  Store(preferredSize, static_cast<long>(rate * m_llBufferDuration / 10000000));
  Store(granularity, static_cast<long>(rate / 1000));
  return ASE_OK;
}

// --- clock ---

ASIOError STDMETHODCALLTYPE CAsioSample::getClockSources(ASIOClockSource* clocks, long* numSources) {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error != ASE_OK) return error;
  if (!numSources || (*numSources > 0 && !clocks)) return ASE_InvalidParameter;
  if (*numSources > 0) {
    clocks[0] = ASIOClockSource{};
    clocks[0].index = 0;
    clocks[0].associatedChannel = -1;
    clocks[0].associatedGroup = -1;
    clocks[0].isCurrentSource = ASIOTrue;
    CopyBounded(clocks[0].name, "Internal");
  }
  *numSources = 1;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::setClockSource(long reference) {
  if (getChannels(nullptr, nullptr) != ASE_OK || reference > 1) return ASE_NotPresent;
  return ASE_OK;
}

// --- channel information ---

ASIOError STDMETHODCALLTYPE CAsioSample::getChannelInfo(ASIOChannelInfo* info) {
  long inputs = 0;
  long outputs = 0;
  const ASIOError error = getChannels(&inputs, &outputs);
  if (error != ASE_OK) return error;
  if (!info) return ASE_InvalidParameter;
  const bool input = info->isInput != ASIOFalse;
  if (info->channel < 0 || info->channel >= (input ? inputs : outputs)) return ASE_InvalidParameter;
  const StreamTable* table = m_pCurTable[input ? kCapture : kRender];
  if (!table) return ASE_NotPresent;

  const ChannelSlot& channel = table->channels[info->channel];
  const PinSlot* pin = channel.pPinSlot;
  info->isActive = channel.bInUse && pin && pin->bOpen ? ASIOTrue : ASIOFalse;
  info->channelGroup = pin && pin->pPin ? static_cast<int32_t>(pin->pPin->GetId()) : 0;
  if (DsdRateIndex(m_nAsioRate) >= 0) {
    info->type = ASIOSTDSDInt8MSB1;
    m_nBits = 32;
    m_status.PublishDsdContainer();
  } else {
    switch (m_nBits) {
      case 24:
        info->type = ASIOSTInt24LSB;
        break;
      case 32:
        info->type = ASIOSTInt32LSB;
        break;
      default:
        info->type = ASIOSTInt16LSB;
        break;
    }
  }
  char name[MAX_PATH + 16];
  std::snprintf(name, sizeof name, "%s_%s_%s", m_szDeviceName, input ? "IN" : "OUT", info->channel == 0 ? "L" : "R");
  CopyBounded(info->name, name);
  return ASE_OK;
}

// --- control panel ---

bool CAsioSample::ShowRunningPanel() {
  if (!FindWindowA(nullptr, kPanelWindowTitle)) return false;
  m_status.RequestShowPanel();
  return true;
}

ASIOError STDMETHODCALLTYPE CAsioSample::controlPanel() {
  if (ShowRunningPanel()) return ASE_OK;
  const std::string program = m_settings.PanelProgramPath();
  if (!program.empty()) {
    ShellExecuteA(nullptr, "open", program.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    ShowRunningPanel();
  }
  return ASE_OK;
}

// --- future ---

ASIOError STDMETHODCALLTYPE CAsioSample::future(long selector, void* opt) {
  auto answer = [](bool supported) { return supported ? ASE_SUCCESS : ASE_NotPresent; };
  switch (selector) {
    case kAsioEnableTimeCodeRead:
    case kAsioDisableTimeCodeRead:
      if (!m_bCanTimeCode) return ASE_NotPresent;
      m_bTimeCodeRead = selector == kAsioEnableTimeCodeRead;
      return ASE_SUCCESS;
    case kAsioSetInputMonitor:
    case kAsioTransport:
    case kAsioSetInputGain:
    case kAsioGetInputMeter:
    case kAsioSetOutputGain:
    case kAsioGetOutputMeter:
      return ASE_NotPresent;
    case kAsioCanInputMonitor:
      return answer(m_bCanInputMonitor);
    case kAsioCanTimeInfo:
      return answer(m_bCanTimeInfo);
    case kAsioCanTimeCode:
      return answer(m_bCanTimeCode);
    case kAsioCanTransport:
      return answer(m_bCanTransport);
    case kAsioCanInputGain:
      return answer(m_bCanInputGain);
    case kAsioCanInputMeter:
      return answer(m_bCanInputMeter);
    case kAsioCanOutputGain:
      return answer(m_bCanOutputGain);
    case kAsioCanOutputMeter:
      return answer(m_bCanOutputMeter);
    case kAsioSetIoFormat: {
      if (!m_bIoFormatCapable) return ASE_NotPresent;
      auto* format = static_cast<ASIOIoFormat*>(opt);
      if (!format) return ASE_InvalidParameter;
      if (format->FormatType == kASIOPCMFormat || format->FormatType == kASIODSDFormat) {
        m_nIoFormat = static_cast<uint32_t>(format->FormatType);
        return ASE_SUCCESS;
      }
      format->FormatType = kASIOFormatInvalid;
      return ASE_NotPresent;
    }
    case kAsioGetIoFormat: {
      if (!m_bIoFormatCapable) return ASE_NotPresent;
      auto* format = static_cast<ASIOIoFormat*>(opt);
      if (!format) return ASE_InvalidParameter;
      format->FormatType = static_cast<ASIOIoFormatType>(m_nIoFormat);
      return ASE_SUCCESS;
    }
    case kAsioCanDoIoFormat:
      return answer(m_bIoFormatCapable);
    default:
      return ASE_InvalidParameter;
  }
}

void CAsioSample::SendModeReport(ModeReport report, bool on) {
  orvi::SendModeReport(m_wVendorId, m_wProductId, report, on);
}

bool CAsioSample::RunsDopDetection() const {
  if (m_nCarrierRate != 176400 && m_nCarrierRate != 352800) return false;
  if (m_nBits == 24) return true;
  return m_nBits == 32 && m_status.IsValid() && !m_status.NativeDsd();
}

void CAsioSample::OnDopTested(bool detected) {
  if (detected && !m_bDopReported) {
    m_bDopReported = true;
    SendModeReport(ModeReport::kDop, true);
  }
  m_status.PublishDop(detected);
}

}  // namespace orvi
