#pragma once
// KsList: the doubly linked pointer list every KS container uses. Entries come
// from the KS heap; a failed append leaves the list as it was. The list never
// owns its items: the container that does frees them as it empties the list.
#include <windows.h>

#include "ks/ks_heap.h"

// Objects of the KS layer live on the KS heap. The allocation function does not
// throw, so `new` gives null when the heap is exhausted.
struct KsHeapObject {
  static void* operator new(size_t size) noexcept { return KsAlloc(size); }
  static void operator delete(void* p) noexcept { KsFree(p); }
};

struct KsListEntry {
  KsListEntry* pNext;
  KsListEntry* pPrev;
  void* pItem;
};

// The untyped list; KsList<T> below is what the classes use.
class KsListBase {
 public:
  KsListBase() = default;
  KsListBase(const KsListBase&) = delete;
  KsListBase& operator=(const KsListBase&) = delete;
  // Frees the entries that are left, never the items.
  ~KsListBase();

  // False (and nothing added) when no entry can be allocated.
  bool AddTail(void* pItem);
  // The first item, taken off the list; null when the list is empty.
  void* RemoveHead();
  // Drops every entry, leaving the items alone.
  void RemoveAll();

  ULONG GetCount() const { return m_ulCount; }
  bool IsEmpty() const { return m_ulCount == 0; }
  KsListEntry* GetHead() const { return m_pHead; }

 private:
  KsListEntry* m_pHead = nullptr;
  KsListEntry* m_pTail = nullptr;
  ULONG m_ulCount = 0;
};

template <typename T>
class KsList : public KsListBase {
 public:
  bool AddTail(T* pItem) { return KsListBase::AddTail(pItem); }
  T* RemoveHead() { return static_cast<T*>(KsListBase::RemoveHead()); }

  // Walks the items in list order: for (T* p : list).
  class Iterator {
   public:
    explicit Iterator(KsListEntry* p) : m_p(p) {}
    T* operator*() const { return static_cast<T*>(m_p->pItem); }
    Iterator& operator++() {
      m_p = m_p->pNext;
      return *this;
    }
    bool operator!=(const Iterator& o) const { return m_p != o.m_p; }

   private:
    KsListEntry* m_p;
  };
  Iterator begin() const { return Iterator(GetHead()); }
  Iterator end() const { return Iterator(nullptr); }
};
