#include "asio/module.h"

#include <atomic>

namespace orvi {

HMODULE g_hModule = nullptr;
HANDLE g_hHeap = nullptr;
volatile LONG g_cObjects = 0;
volatile LONG g_cLocks = 0;

namespace {
HANDLE Heap() { return g_hHeap ? g_hHeap : GetProcessHeap(); }
// Relaxed: a benchmark reads it to see that streaming allocates nothing; it
// orders nothing.
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* ModuleAlloc(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return HeapAlloc(Heap(), HEAP_ZERO_MEMORY, size);
}

uint64_t ModuleAllocCount() { return g_allocations.load(std::memory_order_relaxed); }

void ModuleFree(void* p) {
  if (p) HeapFree(Heap(), 0, p);
}

}  // namespace orvi
