// The driver object's buffers and streaming: host buffer halves, the pins'
// packet rings, and the transitions between prepared and running.
#include "asio/asio_sample.h"

namespace orvi {

ASIOError STDMETHODCALLTYPE CAsioSample::createBuffers(ASIOBufferInfo* /*bufferInfos*/, long /*numChannels*/,
                                                       long /*bufferSize*/, ASIOCallbacks* /*callbacks*/) {
  // Streaming comes with the engine; until then no buffers are offered.
  return ASE_NotPresent;
}

ASIOError STDMETHODCALLTYPE CAsioSample::disposeBuffers() {
  const ASIOError error = getChannels(nullptr, nullptr);
  m_nState = kDriverInitialized;
  m_status.PublishBuffersDisposed();
  SendModeReport(ModeReport::kDsd64, false);
  SendModeReport(ModeReport::kDsd128, false);
  SendModeReport(ModeReport::kDsd256, false);
  m_pActiveTable[kRender] = m_pActiveTable[kCapture] = nullptr;
  return error;
}

ASIOError STDMETHODCALLTYPE CAsioSample::start() {
  const ASIOError error = getChannels(nullptr, nullptr);
  if (error != ASE_OK) return error;
  return ASE_OK;  // only prepared buffers start
}

ASIOError STDMETHODCALLTYPE CAsioSample::stop() {
  const ASIOError error = getChannels(nullptr, nullptr);
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
  const uint64_t position = m_llSamplePos;
  const uint64_t stamp = m_llTimeStamp;
  if (sPos) *sPos = ASIOSamples{static_cast<uint32_t>(position >> 32), static_cast<uint32_t>(position)};
  if (tStamp) *tStamp = ASIOTimeStamp{static_cast<uint32_t>(stamp >> 32), static_cast<uint32_t>(stamp)};
  return ASE_OK;
}

ASIOError STDMETHODCALLTYPE CAsioSample::outputReady() { return ASE_OK; }

}  // namespace orvi
