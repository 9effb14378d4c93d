#pragma once
// Counts heap allocations made on one thread (the driver's streaming thread)
// while the benchmark runs: operator new (replaced in this program), the C
// runtime's malloc family and HeapAlloc (through this program's import table),
// each split by whether the call came from inside the simulated device's
// boundary (dev::DeviceIoControl) or from the driver's own code.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace bench {

struct AllocCounts {
  uint64_t newCalls = 0;
  uint64_t mallocCalls = 0;
  uint64_t heapCalls = 0;
  uint64_t Total() const { return newCalls + mallocCalls + heapCalls; }
};

struct AllocSnapshot {
  AllocCounts driver;  // on the watched thread, outside the device boundary
  AllocCounts device;  // on the watched thread, inside dev::DeviceIoControl
};

// Redirects this program's imports of the allocation functions to counting
// ones. Call once, before any other thread runs. False when none was found
// (the counts would then say nothing).
bool InstallAllocHooks();
// Allocates once through each counted path on the calling thread and checks
// that each was counted: without this, a count of zero would prove nothing.
bool VerifyAllocHooks();
// Which C runtime and heap functions were redirected, for the record.
const char* HookedFunctions();

// The thread whose allocations count; 0 for none.
void WatchThread(DWORD threadId);
AllocSnapshot Snapshot();

}  // namespace bench
