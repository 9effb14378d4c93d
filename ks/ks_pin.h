#pragma once
// One pin type of a KS filter: its property snapshot, and the pin instance
// created from a connection request, its state and its stream requests.
#include "ks/irp_target.h"
#include "ks/ks_list.h"
#include "ks/ks_platform.h"

class CKsFilter;

enum KsPinType : ULONG {
  KS_PIN_GENERIC = 0,
  KS_PIN_RENDER = 1,
  KS_PIN_CAPTURE = 2,
};

// The pin properties read at construction; all zero until read. Counts are
// bounded by the bytes the device actually returned.
struct KsPinDescriptor {
  ULONG cInterfaces;
  const KSIDENTIFIER* pInterfaces;
  ULONG cMediums;
  const KSIDENTIFIER* pMediums;
  ULONG cDataRanges;
  const KSDATARANGE* pDataRanges;
  ULONG cbDataRanges;  // bytes from pDataRanges to the end of what was returned
  KSPIN_DATAFLOW DataFlow;
  KSPIN_COMMUNICATION Communication;
  KSPIN_CINSTANCES CInstances;
  KSPIN_CINSTANCES CInstancesGlobal;
};

// The HRESULT of a code KsCreatePin returns: 0 is S_OK, a positive Windows
// error its HRESULT form, a negative value an HRESULT already.
HRESULT KsHresultFromWin32Code(DWORD dwCode);

class CKsPin : public CKsIrpTarget, public KsHeapObject {
 public:
  // *phr receives what Init returns: 0, or 1 when some property was not read.
  CKsPin(CKsFilter* pFilter, ULONG nId, HRESULT* phr);
  virtual ~CKsPin();
  CKsPin(const CKsPin&) = delete;
  CKsPin& operator=(const CKsPin&) = delete;

  // Creates the instance from m_pksPinCreate; S_OK at once without a request.
  virtual HRESULT Instantiate(BOOL fLooped);
  virtual HRESULT SetState(KSSTATE ksState);

  HRESULT Init();
  // Stops and closes the instance, if there is one.
  void ClosePin();
  HRESULT Reset();
  // Queue one stream request; completion arrives through the OVERLAPPED.
  HRESULT WriteData(PKSSTREAM_HEADER pHeader, LPOVERLAPPED pOverlapped);
  HRESULT ReadData(PKSSTREAM_HEADER pHeader, LPOVERLAPPED pOverlapped);

  ULONG GetId();
  KSPIN_DATAFLOW GetDataFlow();
  KSPIN_COMMUNICATION GetCommunication();

  PKSPIN_CONNECT m_pksPinCreate;
  ULONG m_cbPinCreateSize;
  ULONG m_nId;
  CKsFilter* m_pFilter;
  GUID m_guidCategory;
  KsPinDescriptor m_Desc;
  ULONG m_ePinType;
  KSSTATE m_nState;
  WCHAR m_szName[MAX_PATH / 2];  // 260 bytes, always NUL-terminated
  BOOL m_fLooped;

 private:
  PKSMULTIPLE_ITEM m_pInterfaceItems;
  PKSMULTIPLE_ITEM m_pMediumItems;
  PKSMULTIPLE_ITEM m_pDataRangeItems;
};
