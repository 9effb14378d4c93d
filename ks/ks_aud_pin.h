#pragma once
// Audio pins: the device's audio data ranges of a pin, the test of a wave
// format against them, and the connection request that carries the format.
#include "ks/ks_pin.h"

// What IsFormatSupported and FindViablePin compare besides the format's
// identity (major format, sub-format, specifier), which is always compared.
enum KsFormatCheck : ULONG {
  FORMAT_CHECK_CHANNELS = 2,
  FORMAT_CHECK_BITS = 4,
  FORMAT_CHECK_RATE = 8,
  FORMAT_CHECK_ALL = 15,
};

class CKsAudPin : public CKsPin {
 public:
  CKsAudPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
  ~CKsAudPin() override;

  // Checks the pin's interfaces and mediums and copies its audio data ranges.
  HRESULT Init();
  // Puts the format behind the request's KSDATAFORMAT, resizing the request
  // when the format's size changes.
  HRESULT SetFormat(const WAVEFORMATEX* pwfx);
  BOOL IsFormatSupported(const WAVEFORMATEX* pwfx, ULONG ulFlags);

  KsList<KSDATARANGE_AUDIO> m_listDataRange;
  PKSDATAFORMAT m_pksDataFormatWfx;
  WAVEFORMATEX* m_pWaveFormat;
};

class CKsAudRenPin : public CKsAudPin {
 public:
  CKsAudRenPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
  ~CKsAudRenPin() override;
};

class CKsAudCapPin : public CKsAudPin {
 public:
  CKsAudCapPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
  ~CKsAudCapPin() override;
};
