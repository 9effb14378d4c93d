#pragma once
// Finds the KS audio filters present in the system: every interface of one
// category that has an enabled alias in each further category, opened as a
// render audio filter with its pins enumerated.
#include "ks/ks_aud_filter.h"
#include "ks/ks_list.h"

class CKsEnumFilters : public KsHeapObject {
 public:
  explicit CKsEnumFilters(HRESULT* phr = nullptr);
  virtual ~CKsEnumFilters();
  CKsEnumFilters(const CKsEnumFilters&) = delete;
  CKsEnumFilters& operator=(const CKsEnumFilters&) = delete;

  // Deletes every filter found so far.
  virtual HRESULT DestroyLists();

  // aguidCategories[0] is enumerated; each further one must hold an enabled
  // alias of the interface. E_FAIL when no filter is kept.
  HRESULT EnumFilters(const GUID* aguidCategories, ULONG cCategories);

  KsList<CKsFilter> m_listFilters;
};
