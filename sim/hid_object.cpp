#include "sim/hid_object.h"

#include <cstring>

#include "sim/lab_state.h"

namespace sim {

std::shared_ptr<HidHandleObject> HidHandleObject::Open(std::shared_ptr<HidFunctionState> f, LONG generation,
                                                       DWORD access, DWORD share, DWORD flags, NtStatus& status) {
  if (!f->overlappedOpen && (flags & FILE_FLAG_OVERLAPPED)) {
    status = kStatusAccessDenied;
    return nullptr;
  }
  bool read = (access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  bool write = (access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  bool shareRead = (share & FILE_SHARE_READ) != 0;
  bool shareWrite = (share & FILE_SHARE_WRITE) != 0;
  AcquireSRWLockExclusive(&f->lock);
  // The new open must allow what the open handles do, and they what it does.
  bool conflict = (read && f->sharedRead < f->openCount) || (write && f->sharedWrite < f->openCount) ||
                  (!shareRead && f->readers > 0) || (!shareWrite && f->writers > 0);
  if (!conflict) {
    ++f->openCount;
    f->readers += read;
    f->writers += write;
    f->sharedRead += shareRead;
    f->sharedWrite += shareWrite;
  }
  ReleaseSRWLockExclusive(&f->lock);
  if (conflict) {
    status = kStatusSharingViolation;
    return nullptr;
  }
  status = kStatusSuccess;
  return std::shared_ptr<HidHandleObject>(new HidHandleObject(std::move(f), generation, access, share));
}

HidHandleObject::~HidHandleObject() {
  HidFunctionState& f = *m_function;
  AcquireSRWLockExclusive(&f.lock);
  --f.openCount;
  f.readers -= (m_access & (GENERIC_READ | FILE_READ_DATA)) != 0;
  f.writers -= (m_access & (GENERIC_WRITE | FILE_WRITE_DATA)) != 0;
  f.sharedRead -= (m_share & FILE_SHARE_READ) != 0;
  f.sharedWrite -= (m_share & FILE_SHARE_WRITE) != 0;
  ReleaseSRWLockExclusive(&f.lock);
}

bool HidHandleObject::Present() const { return Lab::Present(m_generation); }

IoStatus HidHandleObject::Ioctl(const IoRequest&) {
  return {Present() ? kStatusInvalidDeviceRequest : kStatusDeviceNotConnected, 0};
}

// Output reports are written whole: exactly the interface's output report
// length, report id first, by a handle opened for writing.
IoStatus HidHandleObject::Write(const void* data, ULONG size, OVERLAPPED*) {
  if (!Present()) return {kStatusDeviceNotConnected, 0};
  if (!(m_access & (GENERIC_WRITE | FILE_WRITE_DATA))) return {kStatusAccessDenied, 0};
  if (!data || size != m_function->outputReportLength || size == 0) return {kStatusInvalidParameter, 0};
  if (m_function->isDevice) {
    Lab::LogHidReport(data, size);
    ActOnReport(static_cast<const uint8_t*>(data), size);
  }
  return {kStatusSuccess, size};
}

void ActOnReport(const uint8_t* r, ULONG length) {
  LabBlock* b = Lab::Block();
  if (!b || length < 5 || r[0] != 0x00) return;
  // DSD mode reports: F5/F6/F7 21 32/33/34, then 0x2E on or 0x08 off.
  for (uint8_t m = 0; m < 3; ++m) {
    if (r[1] == 0xF5 + m && r[2] == 0x21 && r[3] == 0x32 + m) {
      LONG mode = static_cast<LONG>(DsdMode::kDsd64) + m;
      if (r[4] == 0x2E) InterlockedExchange(&b->dsdMode, mode);
      if (r[4] == 0x08) InterlockedCompareExchange(&b->dsdMode, static_cast<LONG>(DsdMode::kNone), mode);
      return;
    }
  }
  if (r[1] == 0xF8 && r[2] == 0x21 && r[3] == 0x35) {  // DoP detected: 1 on, 0 off
    if (r[4] <= 1) InterlockedExchange(&b->dopActive, r[4]);
    return;
  }
  if (r[1] == 0xF6 && r[2] == 0x61) {  // volume keys: 1 Volume +, 2 Volume -, 0 released
    if (r[3] == 1 || r[3] == 2) {
      // A press counts once, however long the key is held.
      if (InterlockedExchange(&b->volumeKey, r[3]) != r[3]) {
        InterlockedIncrement(&b->volumeKeyPresses);
        if (r[3] == 1) InterlockedIncrement(&b->volumeSteps);
        else InterlockedDecrement(&b->volumeSteps);
      }
    } else if (r[3] == 0) {
      InterlockedExchange(&b->volumeKey, 0);
    }
  }
}

}  // namespace sim
