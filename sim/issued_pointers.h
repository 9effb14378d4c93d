#pragma once
// The objects the simulated device handed out behind opaque system types
// (device information sets, preparsed HID data), so that a call can tell its
// own from the system's and pass the rest on.
#include <windows.h>

#include <set>

namespace sim {

class IssuedPointers {
 public:
  void Add(const void* p) {
    AcquireSRWLockExclusive(&m_lock);
    m_live.insert(p);
    ReleaseSRWLockExclusive(&m_lock);
  }
  // False when `p` was not issued (or was taken back already).
  bool Remove(const void* p) {
    AcquireSRWLockExclusive(&m_lock);
    bool found = m_live.erase(p) != 0;
    ReleaseSRWLockExclusive(&m_lock);
    return found;
  }
  bool Contains(const void* p) const {
    AcquireSRWLockShared(&m_lock);
    bool found = p && m_live.count(p) != 0;
    ReleaseSRWLockShared(&m_lock);
    return found;
  }

 private:
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::set<const void*> m_live;
};

}  // namespace sim
