#pragma once
// The driver's side of the status block (common/status_block.h): it opens or
// creates the named mapping, claims and releases it for its class identifier,
// publishes state and format for the control panel and picks up what the panel
// wrote.
//
// Every write is guarded: nothing is written without a view holding the magic
// ("valid"), and most writes also need guidOwner to equal this driver's class
// identifier ("owned"). Several driver objects of one class (one per host
// process) share the block and all pass the owner test; whichever wrote last is
// what the panel shows.
#include <windows.h>

#include <cstdint>
#include <string>

#include "common/status_block.h"
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

#ifndef ORVI_DRIVER_PRODUCT
#error "ORVI_DRIVER_PRODUCT comes with orvi_asio"
#endif

namespace orvi {

class CStatusBlock {
 public:
  // `clsid`: the class identifier the driver object was created under.
  explicit CStatusBlock(const GUID& clsid, std::string product = ORVI_DRIVER_PRODUCT);
  CStatusBlock(const CStatusBlock&) = delete;
  CStatusBlock& operator=(const CStatusBlock&) = delete;

  // Opens "<product>_20130107", or creates it (340 bytes, zeroed, magic
  // written). True when this call created it: the caller then loads the
  // settings into it (CDriverSettings::Load). Without a mapping or a view the
  // driver runs unpublished; every call below is then a no-op.
  bool OpenOrCreate();

  const std::string& Name() const { return m_name; }
  const GUID& ClassId() const { return m_clsid; }
  bool HasView() const { return static_cast<bool>(m_view); }
  bool IsValid() const;
  bool IsOwned() const;

  // Valid and unclaimed: state 1, guidOwner = our class. False when not
  // claimed here (another object may already own it under our class).
  bool Claim();
  // Owned: state 0, owner cleared.
  void Release();

  // Owned. At most 255 characters.
  void PublishDeviceName(const char* name);
  // Owned; init, once rate and bit depth are chosen. `bufferSize` in 0.1 ms.
  void PublishFormat(uint32_t bufferSize, uint32_t sampleRate, uint32_t bitsPerSample);
  // Owned; the end of init: state 2 with what the device supports.
  void PublishInitialized(uint32_t supportedBits, uint32_t supportedRates);
  // Valid; setSampleRate changed the carrier rate.
  void PublishSampleRate(uint32_t sampleRate);
  // Valid; getChannelInfo in DSD mode, where the container is 32 bits.
  void PublishDsdContainer();
  // Owned; createBuffers succeeded with `bufferSize` host frames (DSD samples
  // at a DSD rate) at the host's rate `asioRate`.
  void PublishBuffersCreated(uint32_t bufferSize, uint32_t asioRate);
  // Owned; start (kDriverRunning) and stop (kDriverPrepared).
  void PublishState(DriverState state);
  // Owned; disposeBuffers. dwDsd256 is left as it was.
  void PublishBuffersDisposed();
  // Owned; the outcome of a DoP test of the host's output. Detected: a DSD
  // stream, DSD128 when the published rate is 352800 Hz. Not detected: a
  // shown DSD stream ends. Writes only when a flag changes; true when it did.
  bool PublishDop(bool detected);
  // Valid; controlPanel found the panel's window.
  void RequestShowPanel();

  // Valid; the depth mask init published (0 without a valid block).
  uint32_t SupportedBits() const;
  // Valid and native DSD is streaming (containers hold raw DSD, not PCM).
  bool NativeDsd() const;
  // Keeps the block alive until the process ends, also after this object is
  // gone: a later driver object of the same process then finds it as it was
  // (with the panel's settings) instead of creating and loading it again.
  void KeepForProcess() const;

  // Owned; consumes the panel's reset request. True once per request.
  bool TakeResetRequest();
  // Owned; the panel's settings as init may use them. The buffer size is 0
  // (meaning: use the default) or within the offered lengths; a bit depth
  // other than 16, 24 or 32 reads as 0 (meaning: the device's highest).
  bool ReadPanelSettings(uint32_t& bufferSize, uint32_t& bits) const;

  // For the registry load and save (CDriverSettings); valid only, no owner.
  bool NeedsSettings() const;  // valid and dwSettingsLoaded is 0
  void StoreLoadedSettings(const BlockSettings& settings);
  bool ReadLoadedSettings(BlockSettings& settings) const;  // valid and dwSettingsLoaded is 1

 private:
  DriverStatusBlock* Block() const { return m_view.as<DriverStatusBlock>(); }
  void Changed();

  GUID m_clsid;
  std::string m_name;
  UniqueHandle m_hMap;
  MappedView m_view;
};

// A buffer-size setting (0.1 ms units) someone else wrote, brought within the
// offered lengths; 0 stays 0.
uint32_t ClampBufferSizeSetting(uint32_t setting);

}  // namespace orvi
