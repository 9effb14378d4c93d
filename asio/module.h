#pragma once
// What the driver module keeps for its whole life: its handle, its private
// heap, and the counts DllCanUnloadNow answers from.
#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace orvi {

// Set at process attach. Null when the driver's code is linked into a program
// instead (tests): allocations then come from the process heap.
extern HMODULE g_hModule;
extern HANDLE g_hHeap;

// Live COM objects (class factories and driver objects) and LockServer locks.
extern volatile LONG g_cObjects;
extern volatile LONG g_cLocks;

// Zero-filled memory from the module's heap; null when it is exhausted.
void* ModuleAlloc(size_t size);
void ModuleFree(void* p);
// ModuleAlloc calls since the process started, on every thread.
uint64_t ModuleAllocCount();

}  // namespace orvi
