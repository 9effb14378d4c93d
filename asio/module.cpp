#include "asio/module.h"

namespace orvi {

HMODULE g_hModule = nullptr;
HANDLE g_hHeap = nullptr;
volatile LONG g_cObjects = 0;
volatile LONG g_cLocks = 0;

namespace {
HANDLE Heap() { return g_hHeap ? g_hHeap : GetProcessHeap(); }
}  // namespace

void* ModuleAlloc(size_t size) { return HeapAlloc(Heap(), HEAP_ZERO_MEMORY, size); }

void ModuleFree(void* p) {
  if (p) HeapFree(Heap(), 0, p);
}

}  // namespace orvi
