#include "sim/device_model.h"

#include <cstring>

#include "ks/ks_platform.h"
#include "sim/filter_model.h"
#include "sim/lab_state.h"
#include "sim/pin_instance.h"

namespace sim {
namespace {

// The private stream-status property of the device's driver.
constexpr GUID kStreamStatusSets[2] = {
    {0xE6603581, 0x00FC, 0x4922, {0x8D, 0x34, 0x08, 0xD2, 0xBE, 0x6B, 0xF4, 0x2A}},
    {0x8E005ACB, 0x280E, 0x48A5, {0xAE, 0xBB, 0xBA, 0xCA, 0xF9, 0x71, 0x21, 0xB5}},
};
constexpr ULONG kStreamStatusId = 0x5000;
constexpr ULONG kStreamStatusSize = 72;

struct ModelCache {
  SRWLOCK lock = SRWLOCK_INIT;
  std::shared_ptr<DeviceModel> model;
};

ModelCache& Cache() {
  static ModelCache* c = new ModelCache;
  return *c;
}

}  // namespace

DeviceModel::DeviceModel(Profile profile, LONG generation)
    : m_profile(std::move(profile)),
      m_generation(generation),
      m_tree(BuildDeviceTree(m_profile)),
      m_streams(std::make_shared<DeviceStreams>(m_profile.pins.size())) {
  std::vector<HidFunction> functions = HidFunctions(m_profile);
  for (size_t i = 0; i < functions.size(); ++i) {
    auto f = std::make_shared<HidFunctionState>();
    f->vendorId = functions[i].vendorId;
    f->productId = functions[i].productId;
    f->inputReportLength = m_profile.hidInputReportLength;
    f->outputReportLength = m_profile.hidOutputReportLength;
    f->isDevice = m_profile.hidPresent && i == 0;
    f->overlappedOpen = functions[i].overlappedOpen;
    m_hid.push_back(std::move(f));
  }
}

std::shared_ptr<DeviceModel> DeviceModel::Current() {
  LabBlock* b = Lab::Block();
  if (!b || !b->plugged) return nullptr;
  ModelCache& c = Cache();
  AcquireSRWLockShared(&c.lock);
  std::shared_ptr<DeviceModel> model = c.model;
  ReleaseSRWLockShared(&c.lock);
  if (model && model->Present()) return model;
  Profile profile;
  LONG generation = 0;
  if (!Lab::Plugged(profile, generation)) return nullptr;
  model.reset(new DeviceModel(std::move(profile), generation));
  AcquireSRWLockExclusive(&c.lock);
  if (c.model && c.model->Present() && c.model->m_generation == generation) {
    model = c.model;  // another thread built it first
  } else {
    c.model = model;
  }
  ReleaseSRWLockExclusive(&c.lock);
  return model;
}

bool DeviceModel::Present() const { return Lab::Present(m_generation); }

bool DeviceModel::Open(const char* path, const OpenRequest& request, NtStatus& status,
                       std::shared_ptr<DeviceObject>& object) {
  for (const DeviceInterface& di : m_tree.interfaces) {
    if (lstrcmpiA(path, di.path.c_str()) != 0) continue;
    if (!Present()) {
      status = kStatusObjectNameNotFound;
    } else if (di.state != AliasState::kEnabled) {
      status = kStatusObjectNameNotFound;  // a disabled or removed interface has no live link
    } else if (di.kind == InterfaceKind::kKsFilter) {
      // KS filters take any number of opens; each is a filter instance.
      object = std::make_shared<FilterObject>(shared_from_this());
      status = kStatusSuccess;
    } else {
      object = HidHandleObject::Open(m_hid[di.hidIndex], m_generation, request.access, request.share,
                                     request.flags, status);
    }
    return true;
  }
  return false;
}

FilterObject::FilterObject(std::shared_ptr<DeviceModel> model) : m_model(std::move(model)) {
  DescribeFilter(m_model->GetProfile(), *this);
}

IoStatus FilterObject::Ioctl(const IoRequest& request) {
  if (!m_model->Present()) return {kStatusDeviceNotConnected, 0};
  return ScriptedKsObject::Ioctl(request);
}

DWORD FilterObject::CreatePin(const KSPIN_CONNECT* connect, ACCESS_MASK access, HANDLE* pin) {
  return CreatePinInstance(m_model, connect, access, pin);
}

NtStatus FilterObject::GetProperty(const KSPROPERTY& property, const void* request, ULONG requestSize,
                                   std::vector<uint8_t>& value) {
  ULONG set = m_model->GetProfile().streamStatusSet;
  if (set >= 1 && set <= 2 && property.Id == kStreamStatusId && IsEqualGUID(property.Set, kStreamStatusSets[set - 1])) {
    const LabBlock* b = Lab::Block();
    value.assign(kStreamStatusSize, 0);
    LONG fields[4] = {b->streamActive, b->streamChannels, b->streamRate, b->streamBits};
    std::memcpy(value.data() + 32, fields, sizeof fields);
    return kStatusSuccess;
  }
  NtStatus s = ScriptedKsObject::GetProperty(property, request, requestSize, value);
  // The instance counts are the device's: pins opened through any filter handle count.
  if (s == kStatusSuccess && IsEqualGUID(property.Set, KSPROPSETID_Pin) &&
      (property.Id == KSPROPERTY_PIN_CINSTANCES || property.Id == KSPROPERTY_PIN_GLOBALCINSTANCES) &&
      value.size() == sizeof(KSPIN_CINSTANCES)) {
    KSPIN_CINSTANCES instances;
    std::memcpy(&instances, value.data(), sizeof instances);
    instances.CurrentCount = m_model->Streams().Instances(KeyOf(property, request, requestSize).instance);
    std::memcpy(value.data(), &instances, sizeof instances);
  }
  return s;
}

}  // namespace sim
