#pragma once
// A KS object of the simulated device (filter or pin): answers IOCTL_KS_PROPERTY
// with the conventions of the KS property handlers, and lets tests distort the
// answer of any single property.
#include <windows.h>

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "ks/ks_platform.h"
#include "sim/device_object.h"

namespace sim {

// Pin properties (KSPROPSETID_Pin, asked with a KSP_PIN) belong to one pin type;
// every other property to the object as a whole (kNoInstance).
inline constexpr ULONG kNoInstance = 0xFFFFFFFF;
// In a fault: whatever pin the request names.
inline constexpr ULONG kAnyInstance = 0xFFFFFFFE;

struct PropertyKey {
  GUID set;
  ULONG id;
  ULONG instance = kNoInstance;
  bool operator<(const PropertyKey& o) const;
};

// The key a request addresses: its set, id and, for pin properties, pin id.
PropertyKey KeyOf(const KSPROPERTY& property, const void* request, ULONG requestSize);

// How the device distorts its answer to one property.
struct PropertyFault {
  enum class Kind {
    kNone,
    kFail,        // answers `status` at once
    kSizeAnswer,  // answers `status` with `size` as the byte count, whatever was asked
    kShort,       // a successful read that delivers only `size` bytes
    kPend,        // pends, and completes after `delayMicroseconds` with the normal
                  // answer, or with `status` when that is an error
  };
  Kind kind = Kind::kNone;
  NtStatus status = kStatusSuccess;
  ULONG size = 0;
  int64_t delayMicroseconds = 0;

  static PropertyFault Fail(NtStatus s) { return {Kind::kFail, s, 0, 0}; }
  static PropertyFault SizeAnswer(NtStatus s, ULONG bytes) { return {Kind::kSizeAnswer, s, bytes, 0}; }
  static PropertyFault Short(ULONG bytes) { return {Kind::kShort, kStatusSuccess, bytes, 0}; }
  static PropertyFault Pend(int64_t delayUs, NtStatus s = kStatusSuccess) {
    return {Kind::kPend, s, 0, delayUs};
  }
};

class KsObject : public DeviceObject, public std::enable_shared_from_this<KsObject> {
 public:
  IoStatus Ioctl(const IoRequest& request) override;
  void OnClose() override;

  void InjectFault(const GUID& set, ULONG id, PropertyFault fault) { InjectFault({set, id}, fault); }
  // For pin properties: one pin's, or kAnyInstance for every pin's.
  void InjectFault(const PropertyKey& key, PropertyFault fault);
  // The same for an I/O control code other than IOCTL_KS_PROPERTY (kShort does
  // not apply there).
  void InjectIoctlFault(ULONG code, PropertyFault fault);
  void ClearFaults();
  // Property requests received for (set, id), answered or not.
  // (Pin properties: counted for every pin together.)
  int RequestCount(const GUID& set, ULONG id) const;

 protected:
  // The device's own answer to a get: the property's whole value. `request` is
  // the request's input (a KSPROPERTY, or a larger structure that begins with one).
  virtual NtStatus GetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                               std::vector<uint8_t>& value) = 0;
  // A set: the new value as the caller sent it.
  virtual NtStatus SetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                               const void* value, ULONG valueSize) = 0;
  // Any I/O control code other than IOCTL_KS_PROPERTY.
  virtual IoStatus OtherIoctl(const IoRequest&) { return {kStatusInvalidDeviceRequest, 0}; }

 private:
  struct Pending {
    OVERLAPPED* overlapped;
    void* out;
    std::vector<uint8_t> data;  // copied into `out` at completion
    IoStatus result;
    bool done = false;
  };
  IoStatus PropertyRequest(const IoRequest& request);
  IoStatus Answer(const IoRequest& request, const KSPROPERTY& property, std::vector<uint8_t>& value);
  IoStatus Pend(const IoRequest& request, IoStatus result, std::vector<uint8_t> data, int64_t delayUs);
  void Finish(Pending& pending, IoStatus result);

  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::map<PropertyKey, PropertyFault> m_faults;
  std::map<ULONG, PropertyFault> m_ioctlFaults;
  std::map<PropertyKey, int> m_requests;
  std::list<std::shared_ptr<Pending>> m_pending;
};

}  // namespace sim
