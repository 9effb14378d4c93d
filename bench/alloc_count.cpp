#include "bench/alloc_count.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace bench {
namespace {

struct Counters {
  std::atomic<uint64_t> newCalls{0}, mallocCalls{0}, heapCalls{0};
};
Counters g_driver, g_device;
std::atomic<DWORD> g_watched{0};
// Written only by the watched thread (around its device calls), read only by it.
volatile int g_inDevice = 0;

void Count(std::atomic<uint64_t> Counters::*which) {
  if (GetCurrentThreadId() != g_watched.load(std::memory_order_relaxed)) return;
  Counters* counters = g_inDevice ? &g_device : &g_driver;
  (counters->*which).fetch_add(1, std::memory_order_relaxed);
}

using MallocFn = void*(__cdecl*)(size_t);
using CallocFn = void*(__cdecl*)(size_t, size_t);
using ReallocFn = void*(__cdecl*)(void*, size_t);
using AlignedMallocFn = void*(__cdecl*)(size_t, size_t);
using StrdupFn = char*(__cdecl*)(const char*);
using HeapAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, SIZE_T);
using HeapReAllocFn = LPVOID(WINAPI*)(HANDLE, DWORD, LPVOID, SIZE_T);

std::atomic<MallocFn> g_malloc{nullptr};
CallocFn g_calloc = nullptr;
ReallocFn g_realloc = nullptr;
AlignedMallocFn g_alignedMalloc = nullptr;
StrdupFn g_strdup = nullptr;
HeapAllocFn g_heapAlloc = nullptr;
HeapReAllocFn g_heapReAlloc = nullptr;

void* __cdecl CountedMalloc(size_t n) {
  Count(&Counters::mallocCalls);
  return g_malloc.load(std::memory_order_relaxed)(n);
}
void* __cdecl CountedCalloc(size_t n, size_t size) {
  Count(&Counters::mallocCalls);
  return g_calloc(n, size);
}
void* __cdecl CountedRealloc(void* p, size_t n) {
  Count(&Counters::mallocCalls);
  return g_realloc(p, n);
}
void* __cdecl CountedAlignedMalloc(size_t n, size_t alignment) {
  Count(&Counters::mallocCalls);
  return g_alignedMalloc(n, alignment);
}
char* __cdecl CountedStrdup(const char* s) {
  Count(&Counters::mallocCalls);
  return g_strdup(s);
}
LPVOID WINAPI CountedHeapAlloc(HANDLE heap, DWORD flags, SIZE_T n) {
  Count(&Counters::heapCalls);
  return g_heapAlloc(heap, flags, n);
}
LPVOID WINAPI CountedHeapReAlloc(HANDLE heap, DWORD flags, LPVOID p, SIZE_T n) {
  Count(&Counters::heapCalls);
  return g_heapReAlloc(heap, flags, p, n);
}

struct Hook {
  const char* name;
  void* replacement;
  void** original;
  bool found;
};

Hook g_hooks[] = {
    {"malloc", reinterpret_cast<void*>(&CountedMalloc), nullptr, false},
    {"calloc", reinterpret_cast<void*>(&CountedCalloc), reinterpret_cast<void**>(&g_calloc), false},
    {"realloc", reinterpret_cast<void*>(&CountedRealloc), reinterpret_cast<void**>(&g_realloc), false},
    {"_aligned_malloc", reinterpret_cast<void*>(&CountedAlignedMalloc), reinterpret_cast<void**>(&g_alignedMalloc),
     false},
    {"_strdup", reinterpret_cast<void*>(&CountedStrdup), reinterpret_cast<void**>(&g_strdup), false},
    {"HeapAlloc", reinterpret_cast<void*>(&CountedHeapAlloc), reinterpret_cast<void**>(&g_heapAlloc), false},
    {"HeapReAlloc", reinterpret_cast<void*>(&CountedHeapReAlloc), reinterpret_cast<void**>(&g_heapReAlloc), false},
};

std::string g_hooked;

void* RawMalloc(size_t n) {
  // Before the hooks are in, the import still leads to the runtime's malloc.
  MallocFn f = g_malloc.load(std::memory_order_relaxed);
  return f ? f(n) : std::malloc(n);
}

}  // namespace

bool InstallAllocHooks() {
  auto* base = reinterpret_cast<uint8_t*>(GetModuleHandleA(nullptr));
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (dir.VirtualAddress == 0) return false;
  bool any = false;
  for (auto* imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); imp->Name; ++imp) {
    if (imp->OriginalFirstThunk == 0) continue;  // no names to go by
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      const char* name = reinterpret_cast<const char*>(byName->Name);
      for (Hook& h : g_hooks) {
        if (std::strcmp(name, h.name) != 0) continue;
        void* current = reinterpret_cast<void*>(slots->u1.Function);
        // The original goes in before the slot changes: another thread may
        // call through the slot at any moment.
        if (!h.found) {
          if (h.original) {
            *h.original = current;
          } else {
            g_malloc.store(reinterpret_cast<MallocFn>(current));
          }
        }
        DWORD old = 0;
        if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) continue;
        slots->u1.Function = reinterpret_cast<ULONG_PTR>(h.replacement);
        VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
        if (!h.found) {
          if (!g_hooked.empty()) g_hooked += ", ";
          g_hooked += h.name;
        }
        h.found = true;
        any = true;
      }
    }
  }
  return any;
}

bool VerifyAllocHooks() {
  static void* volatile sink = nullptr;
  const AllocSnapshot before = Snapshot();
  WatchThread(GetCurrentThreadId());
  sink = std::malloc(16);
  std::free(sink);
  sink = new int(1);
  delete static_cast<int*>(sink);
  sink = HeapAlloc(GetProcessHeap(), 0, 16);
  HeapFree(GetProcessHeap(), 0, sink);
  WatchThread(0);
  const AllocSnapshot after = Snapshot();
  return after.driver.mallocCalls > before.driver.mallocCalls && after.driver.newCalls > before.driver.newCalls &&
         after.driver.heapCalls > before.driver.heapCalls;
}

const char* HookedFunctions() { return g_hooked.c_str(); }

void WatchThread(DWORD threadId) { g_watched.store(threadId, std::memory_order_relaxed); }

AllocSnapshot Snapshot() {
  AllocSnapshot s;
  s.driver = {g_driver.newCalls.load(), g_driver.mallocCalls.load(), g_driver.heapCalls.load()};
  s.device = {g_device.newCalls.load(), g_device.mallocCalls.load(), g_device.heapCalls.load()};
  return s;
}

}  // namespace bench

// The device boundary's I/O control, wrapped at link time (-Wl,--wrap): what
// the watched thread allocates while inside it is the simulated device's.
extern "C" BOOL __real__ZN3dev15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(HANDLE, DWORD, LPVOID, DWORD, LPVOID,
                                                                           DWORD, LPDWORD, LPOVERLAPPED);
extern "C" BOOL __wrap__ZN3dev15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(HANDLE handle, DWORD code, LPVOID in,
                                                                           DWORD inSize, LPVOID out, DWORD outSize,
                                                                           LPDWORD bytes, LPOVERLAPPED overlapped) {
  const bool watched = GetCurrentThreadId() == bench::g_watched.load(std::memory_order_relaxed);
  if (watched) bench::g_inDevice = bench::g_inDevice + 1;
  const BOOL ok = __real__ZN3dev15DeviceIoControlEPvmS0_mS0_mPmP11_OVERLAPPED(handle, code, in, inSize, out,
                                                                             outSize, bytes, overlapped);
  if (watched) bench::g_inDevice = bench::g_inDevice - 1;
  return ok;
}

// Global operator new and delete of this program, counted on the watched thread.
// They take memory straight from the runtime's malloc, so that a new is not
// counted a second time as a malloc.
void* operator new(size_t n) {
  bench::Count(&bench::Counters::newCalls);
  void* p = bench::RawMalloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  bench::Count(&bench::Counters::newCalls);
  return bench::RawMalloc(n ? n : 1);
}
void* operator new[](size_t n, const std::nothrow_t& tag) noexcept { return operator new(n, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
