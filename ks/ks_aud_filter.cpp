#include "ks/ks_aud_filter.h"

#include "ks/ks_trace.h"

CKsAudFilter::CKsAudFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr)
    : CKsFilter(pszSymbolicLink, pszFriendlyName, phr) {
  KsTraceEnter("CKsAudFilter::CKsAudFilter()");
  KsTraceLeaveResult("CKsAudFilter::CKsAudFilter", *phr);
}

HRESULT CKsAudFilter::EnumeratePins() {
  KsTraceEnter("CKsAudFilter::EnumeratePins()");
  ULONG cPins = 0;
  if (FAILED(GetPinPropertySimple(0, KSPROPERTY_PIN_CTYPES, &cPins, sizeof cPins))) {
    KsTracePrint(KSTRACE_ERROR, "Failed to retrieve count of pins in audio filter");
    cPins = 0;
  }
  bool fOutOfMemory = false;
  for (ULONG nPinId = 0; nPinId < cPins && !fOutOfMemory; ++nPinId) {
    KSPIN_COMMUNICATION comm = KSPIN_COMMUNICATION_NONE;
    if (FAILED(GetPinPropertySimple(nPinId, KSPROPERTY_PIN_COMMUNICATION, &comm, sizeof comm))) {
      KsTracePrint(KSTRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_COMMUNICATION");
      continue;
    }
    if (comm != KSPIN_COMMUNICATION_SINK && comm != KSPIN_COMMUNICATION_SOURCE && comm != KSPIN_COMMUNICATION_BOTH) {
      KsTracePrint(KSTRACE_ERROR, "Pin communication value doesn't make sense");
      continue;
    }
    KSPIN_DATAFLOW flow = static_cast<KSPIN_DATAFLOW>(0);
    if (FAILED(GetPinPropertySimple(nPinId, KSPROPERTY_PIN_DATAFLOW, &flow, sizeof flow))) {
      KsTracePrint(KSTRACE_ERROR, "Failed to retrieve pin property KSPROPERTY_PIN_DATAFLOW");
      continue;
    }

    HRESULT hrPin = S_OK;
    CKsAudPin* pPin = nullptr;
    if (comm == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_IN) {
      pPin = new CKsAudRenPin(this, nPinId, &hrPin);
    } else if (comm == KSPIN_COMMUNICATION_SINK && flow == KSPIN_DATAFLOW_OUT) {
      pPin = new CKsAudCapPin(this, nPinId, &hrPin);
    } else {
      pPin = new CKsAudPin(this, nPinId, &hrPin);
    }
    if (!pPin) {
      KsTracePrint(KSTRACE_ERROR, "Failed to create audio pin");
      fOutOfMemory = true;
    } else if (FAILED(hrPin)) {
      delete pPin;
    } else if (!m_listPins.AddTail(pPin)) {
      delete pPin;
      KsTracePrint(KSTRACE_ERROR, "Unable to allocate list entry to save pin in");
      fOutOfMemory = true;
    }
  }

  HRESULT hr = S_OK;
  if (fOutOfMemory) {
    KsTracePrint(KSTRACE_ERROR, "Ran out of memory enumerating pins - deleting all pins");
    // The class lists of an earlier enumeration point at these pins too.
    DeletePins();
    hr = E_OUTOFMEMORY;
  } else {
    ClassifyPins();
    if (m_listRenderSinkPins.IsEmpty() && m_listCaptureSourcePins.IsEmpty() && m_listCaptureSinkPins.IsEmpty() &&
        m_listRenderSourcePins.IsEmpty()) {
      KsTracePrint(KSTRACE_ERROR, "No valid pins found on the filter");
      hr = E_FAIL;
    }
  }
  KsTraceLeaveResult("CKsAudFilter::EnumeratePins", hr);
  return hr;
}

CKsAudRenFilter::CKsAudRenFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr)
    : CKsAudFilter(pszSymbolicLink, pszFriendlyName, phr) {
  KsTraceEnter("CKsAudRenFilter::CKsAudRenFilter()");
  m_eFilterType = KS_FILTER_RENDER;
  KsTraceLeaveResult("CKsAudRenFilter::CKsAudRenFilter", *phr);
}

namespace {

// The first pin of `pins` that takes the format. Every pin of an audio filter
// is an audio pin.
CKsAudPin* FirstViablePin(const KsList<CKsPin>& pins, const WAVEFORMATEX* pwfx, ULONG ulFlags) {
  for (CKsPin* pPin : pins) {
    auto* pAudPin = static_cast<CKsAudPin*>(pPin);
    if (pAudPin->IsFormatSupported(pwfx, ulFlags)) return pAudPin;
  }
  return nullptr;
}

}  // namespace

CKsAudPin* CKsAudRenFilter::FindViablePin(const WAVEFORMATEX* pwfx, ULONG ulFlags) {
  KsTraceEnter("CKsAudRenFilter::FindViablePin()");
  CKsAudPin* pFound = FirstViablePin(m_listRenderSinkPins, pwfx, ulFlags);
  KsTraceLeave("CKsAudRenFilter::FindViablePin()");
  return pFound;
}

CKsAudCapFilter::CKsAudCapFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr)
    : CKsAudFilter(pszSymbolicLink, pszFriendlyName, phr) {
  KsTraceEnter("CKsAudCapFilter::CKsAudCapFilter()");
  m_eFilterType = KS_FILTER_CAPTURE;
  KsTraceLeaveResult("CKsAudCapFilter::CKsAudCapFilter", *phr);
}

CKsAudPin* CKsAudCapFilter::FindViablePin(const WAVEFORMATEX* pwfx, ULONG ulFlags) {
  KsTraceEnter("CKsAudCapFilter::FindViablePin()");
  CKsAudPin* pFound = FirstViablePin(m_listCaptureSinkPins, pwfx, ulFlags);
  KsTraceLeave("CKsAudCapFilter::FindViablePin()");
  return pFound;
}
