#include "sim/ks_object.h"

#include <cstring>

#include "ks/ks_platform.h"
#include "sim/scheduler.h"

namespace sim {

bool PropertyKey::operator<(const PropertyKey& o) const {
  int c = std::memcmp(&set, &o.set, sizeof(GUID));
  if (c != 0) return c < 0;
  return id != o.id ? id < o.id : instance < o.instance;
}

PropertyKey KeyOf(const KSPROPERTY& property, const void* request, ULONG requestSize) {
  PropertyKey key{property.Set, property.Id, kNoInstance};
  if (IsEqualGUID(property.Set, KSPROPSETID_Pin) && property.Id != KSPROPERTY_PIN_CTYPES) {
    if (requestSize >= sizeof(KSP_PIN)) {
      KSP_PIN pin;
      std::memcpy(&pin, request, sizeof pin);
      key.instance = pin.PinId;
    }
  }
  return key;
}

void KsObject::InjectFault(const PropertyKey& key, PropertyFault fault) {
  AcquireSRWLockExclusive(&m_lock);
  m_faults[key] = fault;
  ReleaseSRWLockExclusive(&m_lock);
}

void KsObject::InjectIoctlFault(ULONG code, PropertyFault fault) {
  AcquireSRWLockExclusive(&m_lock);
  m_ioctlFaults[code] = fault;
  ReleaseSRWLockExclusive(&m_lock);
}

void KsObject::ClearFaults() {
  AcquireSRWLockExclusive(&m_lock);
  m_faults.clear();
  m_ioctlFaults.clear();
  ReleaseSRWLockExclusive(&m_lock);
}

int KsObject::RequestCount(const GUID& set, ULONG id) const {
  AcquireSRWLockShared(&m_lock);
  auto it = m_requests.find({set, id});
  int n = it == m_requests.end() ? 0 : it->second;
  ReleaseSRWLockShared(&m_lock);
  return n;
}

IoStatus KsObject::Ioctl(const IoRequest& request) {
  if (request.code == IOCTL_KS_PROPERTY) return PropertyRequest(request);
  PropertyFault fault;
  AcquireSRWLockShared(&m_lock);
  auto it = m_ioctlFaults.find(request.code);
  if (it != m_ioctlFaults.end()) fault = it->second;
  ReleaseSRWLockShared(&m_lock);
  switch (fault.kind) {
    case PropertyFault::Kind::kFail:
      return {fault.status, 0};
    case PropertyFault::Kind::kSizeAnswer:
      return {fault.status, fault.size};
    case PropertyFault::Kind::kPend: {
      IoStatus result = IsError(fault.status) ? IoStatus{fault.status, 0} : OtherIoctl(request);
      if (result.status == kStatusPending) return result;
      return Pend(request, result, {}, fault.delayMicroseconds);
    }
    default:
      return OtherIoctl(request);
  }
}

IoStatus KsObject::PropertyRequest(const IoRequest& request) {
  if (!request.in || request.inSize < sizeof(KSPROPERTY)) return {kStatusInvalidParameter, 0};
  KSPROPERTY property;
  std::memcpy(&property, request.in, sizeof property);

  PropertyFault fault;
  AcquireSRWLockExclusive(&m_lock);
  PropertyKey key = KeyOf(property, request.in, request.inSize);
  ++m_requests[{property.Set, property.Id}];
  auto it = m_faults.find(key);
  if (it == m_faults.end() && key.instance != kNoInstance) it = m_faults.find({key.set, key.id, kAnyInstance});
  if (it != m_faults.end()) fault = it->second;
  ReleaseSRWLockExclusive(&m_lock);

  switch (fault.kind) {
    case PropertyFault::Kind::kFail:
      return {fault.status, 0};
    case PropertyFault::Kind::kSizeAnswer:
      return {fault.status, fault.size};
    default:
      break;
  }

  std::vector<uint8_t> value;
  IoStatus result = Answer(request, property, value);
  if (fault.kind == PropertyFault::Kind::kShort && IsSuccess(result.status)) {
    ULONG n = fault.size < request.outSize ? fault.size : request.outSize;
    value.resize(n);
    result.information = n;
  }
  if (fault.kind == PropertyFault::Kind::kPend) {
    if (IsError(fault.status)) result = {fault.status, 0};
    return Pend(request, result, std::move(value), fault.delayMicroseconds);
  }
  if (!IsError(result.status) && !value.empty()) std::memcpy(request.out, value.data(), value.size());
  return result;
}

// The KS conventions: a get with no output buffer reports the size needed as a
// warning (ERROR_MORE_DATA); a buffer too small is an error that reports it too.
// On success `value` is left holding exactly the bytes to deliver.
IoStatus KsObject::Answer(const IoRequest& request, const KSPROPERTY& property, std::vector<uint8_t>& value) {
  if (property.Flags & KSPROPERTY_TYPE_SET) {
    NtStatus s = SetProperty(property, request.in, request.inSize, request.out, request.outSize);
    value.clear();
    return {s, 0};
  }
  if (!(property.Flags & KSPROPERTY_TYPE_GET)) return {kStatusNotSupported, 0};
  NtStatus s = GetProperty(property, request.in, request.inSize, value);
  if (!IsSuccess(s)) {
    value.clear();
    return {s, 0};
  }
  ULONG needed = static_cast<ULONG>(value.size());
  if (request.outSize == 0 && needed != 0) {
    value.clear();
    return {kStatusBufferOverflow, needed};
  }
  if (request.outSize < needed || (needed != 0 && !request.out)) {
    value.clear();
    return {kStatusBufferTooSmall, needed};
  }
  return {kStatusSuccess, needed};
}

IoStatus KsObject::Pend(const IoRequest& request, IoStatus result, std::vector<uint8_t> data, int64_t delayUs) {
  auto pending = std::make_shared<Pending>();
  pending->overlapped = request.overlapped;
  pending->out = request.out;
  pending->data = std::move(data);
  pending->result = result;
  AcquireSRWLockExclusive(&m_lock);
  m_pending.push_back(pending);
  ReleaseSRWLockExclusive(&m_lock);

  std::weak_ptr<KsObject> self = weak_from_this();
  Scheduler::Instance().After(delayUs, [self, pending] {
    if (auto object = self.lock()) object->Finish(*pending, pending->result);
  });
  return {kStatusPending, 0};
}

void KsObject::Finish(Pending& pending, IoStatus result) {
  AcquireSRWLockExclusive(&m_lock);
  bool first = !pending.done;
  pending.done = true;
  m_pending.remove_if([&](const std::shared_ptr<Pending>& p) { return p.get() == &pending; });
  ReleaseSRWLockExclusive(&m_lock);
  if (!first) return;
  if (!IsError(result.status) && !pending.data.empty()) {
    std::memcpy(pending.out, pending.data.data(), pending.data.size());
  }
  CompleteIo(pending.overlapped, result);
}

void KsObject::OnClose() {
  AcquireSRWLockExclusive(&m_lock);
  std::list<std::shared_ptr<Pending>> pending;
  pending.swap(m_pending);
  ReleaseSRWLockExclusive(&m_lock);
  for (auto& p : pending) Finish(*p, {kStatusCancelled, 0});
}

}  // namespace sim
