#pragma once
// The plugged device as this process sees it: built from the lab's profile for
// one plug generation, it opens the device's interface paths.
#include <windows.h>

#include <memory>
#include <vector>

#include "sim/device_namespace.h"
#include "sim/device_tree.h"
#include "sim/hid_object.h"
#include "sim/profile.h"
#include "sim/scripted_ks_object.h"

namespace sim {

class DeviceModel;
class DeviceStreams;  // sim/pin_instance.h

// One opened instance of the device's KS filter.
class FilterObject : public ScriptedKsObject {
 public:
  explicit FilterObject(std::shared_ptr<DeviceModel> model);
  IoStatus Ioctl(const IoRequest& request) override;
  // The device's side of KsCreatePin: a Win32 error code, 0 with `pin` set.
  virtual DWORD CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK access, HANDLE* pin);
  DeviceModel& Model() { return *m_model; }

 protected:
  NtStatus GetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                       std::vector<uint8_t>& value) override;

 private:
  std::shared_ptr<DeviceModel> m_model;
};

class DeviceModel : public std::enable_shared_from_this<DeviceModel> {
 public:
  // The model of the device plugged now; null when none is.
  static std::shared_ptr<DeviceModel> Current();

  const Profile& GetProfile() const { return m_profile; }
  const DeviceTree& Tree() const { return m_tree; }
  LONG Generation() const { return m_generation; }
  // False once the device this model was built for is unplugged (or replugged).
  bool Present() const;

  // Opens `path` if it is one of the device's interfaces: true with `status`
  // (and `object` on success); false when the path is not the device's.
  bool Open(const char* path, const OpenRequest& request, NtStatus& status, std::shared_ptr<DeviceObject>& object);

  // Pin instances, loopback and streaming faults of this device.
  DeviceStreams& Streams() { return *m_streams; }

 private:
  DeviceModel(Profile profile, LONG generation);
  Profile m_profile;
  LONG m_generation;
  DeviceTree m_tree;
  std::vector<std::shared_ptr<HidFunctionState>> m_hid;
  std::shared_ptr<DeviceStreams> m_streams;
};

}  // namespace sim
