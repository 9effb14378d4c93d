// The driver object's rate handling: which rates the device can run at, the
// switch between them (DSD rates travel at their PCM carrier), and opening a
// pin with a concrete format.
#include "asio/asio_sample.h"

namespace orvi {

namespace {

uint32_t TruncateRate(ASIOSampleRate rate) {
  if (!(rate >= 0.0 && rate < 4294967296.0)) return 0;  // also not-a-number
  return static_cast<uint32_t>(rate);
}

}  // namespace

ASIOError STDMETHODCALLTYPE CAsioSample::canSampleRate(ASIOSampleRate sampleRate) {
  uint32_t rate = TruncateRate(sampleRate);
  const uint32_t carrier = DsdCarrierRate(rate);
  if (carrier != 0 && static_cast<double>(rate) == sampleRate) {
    // Native DSD needs 32-bit containers and the block that tells the panel.
    if (!m_status.IsOwned() || !(m_status.SupportedBits() & kSupportedBits32)) return ASE_NoClock;
    rate = carrier;
  }
  const StreamTable* capture = FindTable(kCapture, rate);
  const StreamTable* render = FindTable(kRender, rate);
  const bool hasChannels = (capture && capture->bValid && capture->nTotalChannels > 0) ||
                           (render && render->bValid && render->nTotalChannels > 0);
  return hasChannels ? ASE_OK : ASE_NotPresent;
}

ASIOError STDMETHODCALLTYPE CAsioSample::getSampleRate(ASIOSampleRate* sampleRate) {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error != ASE_OK) return error;
  if (!sampleRate) return ASE_OK;
  *sampleRate = DsdCarrierRate(m_nAsioRate) != 0 ? m_nAsioRate : m_nCarrierRate;
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::setSampleRate(ASIOSampleRate sampleRate) {
  const ASIOError result = canSampleRate(sampleRate);
  if (result != ASE_OK) return result;
  const uint32_t asioRate = TruncateRate(sampleRate);
  bool changed = false;
  if (asioRate != m_nAsioRate) {
    m_nAsioRate = asioRate;
    changed = true;
  }
  const uint32_t dsdCarrier = DsdCarrierRate(m_nAsioRate);
  const uint32_t carrier = dsdCarrier != 0 ? dsdCarrier : m_nAsioRate;
  if (carrier != m_nCarrierRate || changed) {
    m_nCarrierRate = carrier;
    m_status.PublishSampleRate(carrier);
    m_pCurTable[kRender] = FindTable(kRender, carrier);
    m_pCurTable[kCapture] = FindTable(kCapture, carrier);
    if (m_callbacks.sampleRateDidChange) m_callbacks.sampleRateDidChange(carrier);
    if (m_callbacks.asioMessage) m_callbacks.asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
    m_bRateChanged = true;
  }
  return ASE_OK;
}

HRESULT CAsioSample::OpenPinWithFormat(StreamTable& table, uint32_t slot, uint32_t rate) {
  if (slot >= table.nPins) return E_INVALIDARG;
  PinSlot& pin = table.pins[slot];
  if (!pin.pPin || pin.nOpenChannels == 0) return E_INVALIDARG;
  // A pin may refuse the channel count the host needs but take a wider frame;
  // the extra channels then carry silence.
  const uint32_t last = pin.nMaxChannels > pin.nOpenChannels ? pin.nMaxChannels : pin.nOpenChannels;
  for (uint32_t channels = pin.nOpenChannels; channels <= last; ++channels) {
    const WAVEFORMATEXTENSIBLE format = StreamWaveFormat(channels, rate, m_nBits);
    if (SUCCEEDED(pin.pPin->SetFormat(&format.Format)) && SUCCEEDED(pin.pPin->Instantiate(FALSE)) &&
        SUCCEEDED(pin.pPin->Reset())) {
      pin.nOpenChannels = channels;
      pin.bOpen = 1;
      table.dwOpenPinMask |= 1u << slot;
      return S_OK;
    }
    // An instance whose reset failed is of no use either.
    pin.pPin->ClosePin();
  }
  return E_FAIL;
}

}  // namespace orvi
