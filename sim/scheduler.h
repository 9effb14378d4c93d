#pragma once
// The device's clock: work due at a given time, run in order on one thread of
// the device (as a device completes requests in its own time, not the caller's).
#include <windows.h>

#include <cstdint>
#include <functional>

namespace sim {

// Microseconds on the performance counter's time line.
int64_t NowMicroseconds();

class Scheduler {
 public:
  static Scheduler& Instance();
  // Runs `work` on the device thread at `dueMicroseconds` (or at once if past).
  // Work due at the same time runs in the order it was scheduled.
  void At(int64_t dueMicroseconds, std::function<void()> work);
  void After(int64_t delayMicroseconds, std::function<void()> work) {
    At(NowMicroseconds() + delayMicroseconds, std::move(work));
  }

 private:
  Scheduler();
  static DWORD WINAPI ThreadMain(void* self);
  void Run();

  struct Impl;
  Impl* m_impl;
};

}  // namespace sim
