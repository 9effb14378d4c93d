#include "sim/scheduler.h"

#include <mmsystem.h>

#include <algorithm>
#include <vector>

namespace sim {

int64_t NowMicroseconds() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency;
}

struct Scheduler::Impl {
  struct Item {
    int64_t due;
    uint64_t order;
    std::function<void()> work;
  };
  // Min-heap on (due, order).
  static bool Later(const Item& a, const Item& b) {
    return a.due != b.due ? a.due > b.due : a.order > b.order;
  }
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
  std::vector<Item> heap;
  uint64_t nextOrder = 0;
};

Scheduler& Scheduler::Instance() {
  // Never destroyed: its thread may still run while the process exits.
  static Scheduler* instance = new Scheduler();
  return *instance;
}

Scheduler::Scheduler() : m_impl(new Impl) {
  HANDLE thread = CreateThread(nullptr, 0, &Scheduler::ThreadMain, this, 0, nullptr);
  if (thread) {
    SetThreadPriority(thread, THREAD_PRIORITY_TIME_CRITICAL);
    CloseHandle(thread);
  }
}

void Scheduler::At(int64_t dueMicroseconds, std::function<void()> work) {
  AcquireSRWLockExclusive(&m_impl->lock);
  m_impl->heap.push_back({dueMicroseconds, m_impl->nextOrder++, std::move(work)});
  std::push_heap(m_impl->heap.begin(), m_impl->heap.end(), &Impl::Later);
  ReleaseSRWLockExclusive(&m_impl->lock);
  WakeConditionVariable(&m_impl->changed);
}

DWORD WINAPI Scheduler::ThreadMain(void* self) {
  timeBeginPeriod(1);
  static_cast<Scheduler*>(self)->Run();
  return 0;
}

void Scheduler::Run() {
  AcquireSRWLockExclusive(&m_impl->lock);
  for (;;) {
    if (m_impl->heap.empty()) {
      SleepConditionVariableSRW(&m_impl->changed, &m_impl->lock, INFINITE, 0);
      continue;
    }
    int64_t wait = m_impl->heap.front().due - NowMicroseconds();
    if (wait > 0) {
      // Millisecond waits; the last part of a wait is spun off in short sleeps
      // so that work runs close to its time.
      DWORD ms = wait > 1500 ? static_cast<DWORD>((wait - 500) / 1000) : 0;
      SleepConditionVariableSRW(&m_impl->changed, &m_impl->lock, ms, 0);
      continue;
    }
    std::pop_heap(m_impl->heap.begin(), m_impl->heap.end(), &Impl::Later);
    Impl::Item item = std::move(m_impl->heap.back());
    m_impl->heap.pop_back();
    ReleaseSRWLockExclusive(&m_impl->lock);
    item.work();
    AcquireSRWLockExclusive(&m_impl->lock);
  }
}

}  // namespace sim
