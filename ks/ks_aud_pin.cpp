#include "ks/ks_aud_pin.h"

#include <cstring>

#include "ks/ks_heap.h"
#include "ks/ks_trace.h"

namespace {

constexpr ULONG kWaveFormatSize = sizeof(WAVEFORMATEX);  // 18: the format without extension

bool IsWildcard(const GUID& guid) { return IsEqualGUID(guid, GUID_NULL) != 0; }

// 0000xxxx-0000-0010-8000-00AA00389B71: a sub-format named by a wave format tag.
bool IsWaveFormatFamily(const GUID& guid) {
  const GUID& family = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
  return std::memcmp(reinterpret_cast<const BYTE*>(&guid) + 2, reinterpret_cast<const BYTE*>(&family) + 2,
                     sizeof(GUID) - 2) == 0;
}

bool HasStandard(const KSIDENTIFIER* pIds, ULONG cIds, const GUID& set) {
  for (ULONG i = 0; i < cIds; ++i) {
    if (IsEqualGUID(pIds[i].Set, set) && pIds[i].Id == 0) return true;
  }
  return false;
}

// The sub-format a wave format stands for. False when an extensible format is
// too short to hold its sub-format: it then matches only wildcard ranges.
bool SubFormatOf(const WAVEFORMATEX* pwfx, GUID& guid) {
  if (pwfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
    if (pwfx->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) return false;
    std::memcpy(&guid, &reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(pwfx)->SubFormat, sizeof guid);
    return true;
  }
  guid = KSDATAFORMAT_SUBTYPE_WAVEFORMATEX;
  guid.Data1 = pwfx->wFormatTag;
  return true;
}

}  // namespace

CKsAudPin::CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr)
    : CKsPin(pFilter, nId, phr), m_pksDataFormatWfx(nullptr), m_pWaveFormat(nullptr) {
  KsTraceEnter("CKsAudPin::CKsAudPin()");
  HRESULT hr = *phr;
  if (SUCCEEDED(hr)) {
    ULONG cbSize = static_cast<ULONG>(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + kWaveFormatSize);
    m_pksPinCreate = static_cast<PKSPIN_CONNECT>(KsAlloc(cbSize));
    if (!m_pksPinCreate) {
      KsTracePrint(KSTRACE_ERROR, "Failed to allocate m_pksPinCreate");
      hr = E_OUTOFMEMORY;
    } else {
      m_cbPinCreateSize = cbSize;
      m_pksPinCreate->Interface.Set = KSINTERFACESETID_Standard;
      m_pksPinCreate->Interface.Id = KSINTERFACE_STANDARD_STREAMING;
      m_pksPinCreate->Interface.Flags = 0;
      m_pksPinCreate->Medium.Set = KSMEDIUMSETID_Standard;
      m_pksPinCreate->Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
      m_pksPinCreate->Medium.Flags = 0;
      m_pksPinCreate->PinId = nId;
      m_pksPinCreate->PinToHandle = nullptr;
      m_pksPinCreate->Priority.PriorityClass = KSPRIORITY_NORMAL;
      m_pksPinCreate->Priority.PrioritySubClass = 1;

      m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + 1);
      m_pksDataFormatWfx->FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT) + kWaveFormatSize);
      m_pksDataFormatWfx->Flags = 0;
      m_pksDataFormatWfx->SampleSize = 0;
      m_pksDataFormatWfx->Reserved = 0;
      m_pksDataFormatWfx->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
      m_pksDataFormatWfx->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
      m_pksDataFormatWfx->Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
      hr = Init();
    }
  }
  *phr = hr;
  KsTraceLeaveResult("CKsAudPin::CKsAudPin", hr);
}

CKsAudPin::~CKsAudPin() {
  KsTraceEnter("CKsAudPin::~CKsAudPin()");
  while (!m_listDataRange.IsEmpty()) KsFree(m_listDataRange.RemoveHead());
  KsFree(m_pWaveFormat);
  m_pWaveFormat = nullptr;
  KsTraceLeave("CKsAudPin::~CKsAudPin()");
}

HRESULT CKsAudPin::Init() {
  KsTraceEnter("CKsAudPin::Init()");
  HRESULT hr = S_OK;
  if (!HasStandard(m_Desc.pInterfaces, m_Desc.cInterfaces, KSINTERFACESETID_Standard)) {
    KsTracePrint(KSTRACE_ERROR, "No standard streaming interfaces on the pin");
    hr = E_FAIL;
  } else if (!HasStandard(m_Desc.pMediums, m_Desc.cMediums, KSMEDIUMSETID_Standard)) {
    KsTracePrint(KSTRACE_ERROR, "No standard streaming mediums on the pin");
    hr = E_FAIL;
  } else if (m_Desc.cDataRanges == 0) {
    KsTracePrint(KSTRACE_ERROR, "No audio dataranges on the pin");
    hr = E_FAIL;
  } else {
    bool fUsable = false;
    const BYTE* pRange = reinterpret_cast<const BYTE*>(m_Desc.pDataRanges);
    ULONG cbLeft = m_Desc.cbDataRanges;
    for (ULONG i = 0; i < m_Desc.cDataRanges; ++i) {
      // A range must hold at least its header and end inside what the device
      // returned; a malformed size ends the walk rather than stalling it or
      // running off the buffer.
      if (cbLeft < sizeof(KSDATARANGE)) break;
      KSDATARANGE range;
      std::memcpy(&range, pRange, sizeof range);
      if (range.FormatSize < sizeof(KSDATARANGE) || range.FormatSize > cbLeft) break;

      if (!fUsable) {
        fUsable = IsWaveFormatFamily(range.SubFormat) || IsEqualGUID(range.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
                  IsWildcard(range.SubFormat);
      }
      if (fUsable && IsEqualGUID(range.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        // Always a whole record; what a shorter range lacks stays zero.
        auto* pCopy = static_cast<KSDATARANGE_AUDIO*>(KsAlloc(sizeof(KSDATARANGE_AUDIO)));
        if (!pCopy) {
          KsTracePrint(KSTRACE_ERROR, "Unable to allocate memory to save datarange in");
          hr = E_OUTOFMEMORY;
        } else {
          std::memcpy(pCopy, pRange,
                      range.FormatSize < sizeof(KSDATARANGE_AUDIO) ? range.FormatSize : sizeof(KSDATARANGE_AUDIO));
          if (!m_listDataRange.AddTail(pCopy)) {
            KsFree(pCopy);
            KsTracePrint(KSTRACE_ERROR, "Unable to allocate list entry to save datarange in");
            hr = E_OUTOFMEMORY;
          }
        }
      }
      pRange += range.FormatSize;
      cbLeft -= range.FormatSize;
    }
    if (!fUsable) {
      KsTracePrint(KSTRACE_ERROR, "No audio dataranges on the pin");
      hr = E_FAIL;
    }
  }
  KsTraceLeaveResult("CKsAudPin::Init", hr);
  return hr;
}

HRESULT CKsAudPin::SetFormat(const WAVEFORMATEX* pwfx) {
  KsTraceEnter("CKsAudPin::SetFormat()");
  if (!pwfx || !m_pksDataFormatWfx) {
    KsTracePrint(KSTRACE_ERROR, "pwfx or m_pksDataFormatWfx are NULL");
    KsTraceLeaveResult("CKsAudPin::SetFormat", E_FAIL);
    return E_FAIL;
  }
  // A PCM format has no extension, whatever cbSize claims.
  ULONG cbFormat = pwfx->wFormatTag == WAVE_FORMAT_PCM ? kWaveFormatSize : kWaveFormatSize + pwfx->cbSize;
  ULONG cbRequired = static_cast<ULONG>(sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + cbFormat);
  if (cbRequired != m_cbPinCreateSize) {
    auto* pNew = static_cast<PKSPIN_CONNECT>(KsAlloc(cbRequired));
    if (!pNew) {
      KsTracePrint(KSTRACE_ERROR, "Unable to allocate KSPIN_CONNECT structure");
      KsTraceLeaveResult("CKsAudPin::SetFormat", E_OUTOFMEMORY);
      return E_OUTOFMEMORY;
    }
    std::memcpy(pNew, m_pksPinCreate, cbRequired < m_cbPinCreateSize ? cbRequired : m_cbPinCreateSize);
    KsFree(m_pksPinCreate);
    m_pksPinCreate = pNew;
    m_cbPinCreateSize = cbRequired;
    m_pksDataFormatWfx = reinterpret_cast<PKSDATAFORMAT>(m_pksPinCreate + 1);
    m_pksDataFormatWfx->FormatSize = static_cast<ULONG>(sizeof(KSDATAFORMAT) + cbFormat);
  }
  std::memcpy(m_pksDataFormatWfx + 1, pwfx, cbFormat);
  m_pksDataFormatWfx->SampleSize = static_cast<USHORT>(pwfx->nChannels * pwfx->wBitsPerSample / 8);

  KsFree(m_pWaveFormat);
  m_pWaveFormat = static_cast<WAVEFORMATEX*>(KsAlloc(cbFormat));
  if (m_pWaveFormat) std::memcpy(m_pWaveFormat, pwfx, cbFormat);
  KsTraceLeaveResult("CKsAudPin::SetFormat", S_OK);
  return S_OK;
}

BOOL CKsAudPin::IsFormatSupported(const WAVEFORMATEX* pwfx, ULONG ulFlags) {
  KsTraceEnter("CKsAudPin::IsFormatSupported()");
  GUID guidSubFormat = {};
  bool fHasSubFormat = pwfx && SubFormatOf(pwfx, guidSubFormat);
  BOOL fSupported = FALSE;
  for (const KSDATARANGE_AUDIO* pRange : m_listDataRange) {
    if (!pwfx) break;  // no format fits no range
    const KSDATARANGE& dr = pRange->DataRange;
    if (!IsWildcard(dr.MajorFormat) && !IsEqualGUID(dr.MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) continue;
    if (!IsWildcard(dr.SubFormat) && !(fHasSubFormat && IsEqualGUID(dr.SubFormat, guidSubFormat))) continue;
    if (!IsWildcard(dr.Specifier) && !IsEqualGUID(dr.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) continue;
    if ((ulFlags & FORMAT_CHECK_CHANNELS) && pRange->MaximumChannels < pwfx->nChannels) continue;
    if ((ulFlags & FORMAT_CHECK_BITS) &&
        (pwfx->wBitsPerSample < pRange->MinimumBitsPerSample || pwfx->wBitsPerSample > pRange->MaximumBitsPerSample))
      continue;
    if ((ulFlags & FORMAT_CHECK_RATE) && (pwfx->nSamplesPerSec < pRange->MinimumSampleFrequency ||
                                          pwfx->nSamplesPerSec > pRange->MaximumSampleFrequency))
      continue;
    fSupported = TRUE;
    break;
  }
  KsTraceLeave("CKsAudPin::IsFormatSupported()");
  return fSupported;
}

CKsAudRenPin::CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr) : CKsAudPin(pFilter, nId, phr) {
  KsTraceEnter("CKsAudRenPin::CKsAudRenPin()");
  m_ePinType = KS_PIN_RENDER;
  KsTraceLeaveResult("CKsAudRenPin::CKsAudRenPin", *phr);
}

CKsAudRenPin::~CKsAudRenPin() {
  KsTraceEnter("CKsAudRenPin::~CKsAudRenPin()");
  KsTraceLeave("CKsAudRenPin::~CKsAudRenPin()");
}

CKsAudCapPin::CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr) : CKsAudPin(pFilter, nId, phr) {
  KsTraceEnter("CKsAudCapPin::CKsAudCapPin()");
  m_ePinType = KS_PIN_CAPTURE;
  KsTraceLeaveResult("CKsAudCapPin::CKsAudCapPin", *phr);
}

CKsAudCapPin::~CKsAudCapPin() {
  KsTraceEnter("CKsAudCapPin::~CKsAudCapPin()");
  KsTraceLeave("CKsAudCapPin::~CKsAudCapPin()");
}
