#include "ks/ks_list.h"

KsListBase::~KsListBase() { RemoveAll(); }

bool KsListBase::AddTail(void* pItem) {
  auto* entry = static_cast<KsListEntry*>(KsAlloc(sizeof(KsListEntry)));
  if (!entry) return false;
  entry->pItem = pItem;
  entry->pPrev = m_pTail;
  if (m_pTail) {
    m_pTail->pNext = entry;
  } else {
    m_pHead = entry;
  }
  m_pTail = entry;
  ++m_ulCount;
  return true;
}

void* KsListBase::RemoveHead() {
  KsListEntry* entry = m_pHead;
  if (!entry) return nullptr;
  m_pHead = entry->pNext;
  if (m_pHead) {
    m_pHead->pPrev = nullptr;
  } else {
    m_pTail = nullptr;
  }
  --m_ulCount;
  void* pItem = entry->pItem;
  KsFree(entry);
  return pItem;
}

void KsListBase::RemoveAll() {
  while (m_pHead) RemoveHead();
}
