#include "sim/handle_table.h"

#include <array>

namespace sim {
namespace {

struct Slot {
  HANDLE handle = nullptr;
  std::shared_ptr<DeviceObject> object;
};

// A fixed table: lookups on the streaming path neither allocate nor search far.
struct Table {
  SRWLOCK lock = SRWLOCK_INIT;
  std::array<Slot, 256> slots;
};

Table& TheTable() {
  static Table table;
  return table;
}

}  // namespace

HANDLE AttachHandle(std::shared_ptr<DeviceObject> object) {
  HANDLE backing = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!backing) return nullptr;
  Table& t = TheTable();
  AcquireSRWLockExclusive(&t.lock);
  for (Slot& s : t.slots) {
    if (!s.handle) {
      s.handle = backing;
      s.object = std::move(object);
      ReleaseSRWLockExclusive(&t.lock);
      return backing;
    }
  }
  ReleaseSRWLockExclusive(&t.lock);
  CloseHandle(backing);
  SetLastError(ERROR_TOO_MANY_OPEN_FILES);
  return nullptr;
}

std::shared_ptr<DeviceObject> LookupHandle(HANDLE handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return nullptr;
  Table& t = TheTable();
  std::shared_ptr<DeviceObject> found;
  AcquireSRWLockShared(&t.lock);
  for (const Slot& s : t.slots) {
    if (s.handle == handle) {
      found = s.object;
      break;
    }
  }
  ReleaseSRWLockShared(&t.lock);
  return found;
}

size_t OpenHandleCount() {
  Table& t = TheTable();
  size_t n = 0;
  AcquireSRWLockShared(&t.lock);
  for (const Slot& s : t.slots) n += s.handle != nullptr;
  ReleaseSRWLockShared(&t.lock);
  return n;
}

bool DetachHandle(HANDLE handle) {
  if (!handle || handle == INVALID_HANDLE_VALUE) return false;
  Table& t = TheTable();
  std::shared_ptr<DeviceObject> object;
  AcquireSRWLockExclusive(&t.lock);
  for (Slot& s : t.slots) {
    if (s.handle == handle) {
      object = std::move(s.object);
      s.handle = nullptr;
      break;
    }
  }
  ReleaseSRWLockExclusive(&t.lock);
  if (!object) return false;
  object->OnClose();
  CloseHandle(handle);
  return true;
}

}  // namespace sim
