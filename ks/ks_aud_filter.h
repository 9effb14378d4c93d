#pragma once
// Audio filters: pins of the audio classes, and the search for a pin that
// takes a given wave format.
#include "ks/ks_aud_pin.h"
#include "ks/ks_filter.h"

class CKsAudFilter : public CKsFilter {
 public:
  CKsAudFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr);

  HRESULT EnumeratePins() override;
};

class CKsAudRenFilter : public CKsAudFilter {
 public:
  CKsAudRenFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr);

  // The first render sink pin that takes the format; null when none does.
  CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx, ULONG ulFlags);
};

class CKsAudCapFilter : public CKsAudFilter {
 public:
  CKsAudCapFilter(LPCSTR pszSymbolicLink, LPCSTR pszFriendlyName, HRESULT* phr);

  // The first capture sink pin that takes the format; null when none does.
  CKsAudPin* FindViablePin(const WAVEFORMATEX* pwfx, ULONG ulFlags);
};
