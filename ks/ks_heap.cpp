#include "ks/ks_heap.h"

namespace {
HANDLE g_hKsHeap = nullptr;
HANDLE Heap() { return g_hKsHeap ? g_hKsHeap : GetProcessHeap(); }
}  // namespace

void* KsAlloc(size_t size) { return HeapAlloc(Heap(), HEAP_ZERO_MEMORY, size); }

void KsFree(void* p) {
  if (p) HeapFree(Heap(), 0, p);
}

void KsSetHeap(HANDLE heap) { g_hKsHeap = heap; }
