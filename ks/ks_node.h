#pragma once
// One topology node of a KS filter, as CKsFilter::EnumerateNodes lists it.
#include "ks/ks_list.h"
#include "ks/ks_platform.h"
#include "ks/ks_trace.h"

class CKsNode : public KsHeapObject {
 public:
  // The tag reads "NONE" in memory.
  static constexpr ULONG kTagNone = 'N' | ('O' << 8) | ('N' << 16) | (static_cast<ULONG>('E') << 24);

  CKsNode(ULONG nId, const GUID& guidType) : m_nId(nId), m_ulTag(kTagNone), m_guidType(guidType) {
    KsTraceEnter("CKsNode::CKsNode()");
    KsTraceLeaveResult("CKsNode::CKsNode", 0);
  }

  ULONG m_nId;
  ULONG m_ulTag;
  GUID m_guidType;
};
