// The device-enumeration calls of the device boundary (lab flavour). Sets for
// the device's own interface classes list the plugged device's interfaces;
// every other set is the system's.
#include <cstring>
#include <memory>

#include "ks/ks_platform.h"
#include "platform/device_api.h"
#include "sim/device_tree.h"
#include "sim/issued_pointers.h"
#include "sim/lab_state.h"

namespace dev {
namespace {

struct DeviceSet {
  GUID category;
  sim::DeviceTree tree;
  std::vector<size_t> interfaces;  // indices into tree.interfaces, in enumeration order
  std::vector<size_t> nodes;       // the nodes of those interfaces, each once
};

// The sets this process handed out; any other is the system's.
sim::IssuedPointers& Issued() {
  static auto* issued = new sim::IssuedPointers;
  return *issued;
}

DeviceSet* Ours(HDEVINFO set) {
  auto* candidate = reinterpret_cast<DeviceSet*>(set);
  return Issued().Contains(candidate) ? candidate : nullptr;
}

bool OwnedClass(const GUID* guid) {
  if (!guid) return false;
  GUID hid;
  ::HidD_GetHidGuid(&hid);
  return IsEqualGUID(*guid, KSCATEGORY_AUDIO) || IsEqualGUID(*guid, KSCATEGORY_RENDER) ||
         IsEqualGUID(*guid, KSCATEGORY_CAPTURE) || IsEqualGUID(*guid, hid);
}

BOOL Error(DWORD code) {
  SetLastError(code);
  return FALSE;
}

DWORD InterfaceFlags(sim::AliasState state) {
  switch (state) {
    case sim::AliasState::kEnabled:
      return SPINT_ACTIVE;
    case sim::AliasState::kRemoved:
      return SPINT_REMOVED;
    default:
      return 0;
  }
}

// The interface an SP_DEVICE_INTERFACE_DATA of this set refers to, or null.
const sim::DeviceInterface* InterfaceOf(DeviceSet* s, PSP_DEVICE_INTERFACE_DATA data) {
  if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return nullptr;
  size_t i = static_cast<size_t>(data->Reserved);
  if (i == 0 || i > s->tree.interfaces.size()) return nullptr;
  return &s->tree.interfaces[i - 1];
}

void FillDevice(DeviceSet* s, size_t node, PSP_DEVINFO_DATA device) {
  device->ClassGuid = s->tree.nodes[node].setupClass;
  device->DevInst = static_cast<DWORD>(node + 1);
  device->Reserved = reinterpret_cast<ULONG_PTR>(s);
}

// The node an SP_DEVINFO_DATA of this set refers to, or -1.
long NodeOf(DeviceSet* s, PSP_DEVINFO_DATA device) {
  if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return -1;
  if (device->DevInst == 0 || device->DevInst > s->tree.nodes.size()) return -1;
  return static_cast<long>(device->DevInst - 1);
}

BOOL CopyText(const std::string& text, PSTR buffer, DWORD size, PDWORD required) {
  DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (required) *required = needed;
  if (!buffer || size < needed) return Error(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, text.c_str(), needed);
  return TRUE;
}

}  // namespace

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
  if (!(flags & DIGCF_DEVICEINTERFACE) || (flags & DIGCF_ALLCLASSES) || !OwnedClass(classGuid))
    return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
  auto s = std::make_unique<DeviceSet>();
  s->category = *classGuid;
  sim::Profile profile;
  LONG generation = 0;
  if (sim::Lab::Plugged(profile, generation)) s->tree = sim::BuildDeviceTree(profile);
  for (size_t i = 0; i < s->tree.interfaces.size(); ++i) {
    const sim::DeviceInterface& di = s->tree.interfaces[i];
    if (!IsEqualGUID(di.category, *classGuid)) continue;
    if (enumerator && lstrcmpiA(enumerator, s->tree.nodes[di.node].instanceId.c_str()) != 0) continue;
    s->interfaces.push_back(i);
    bool listed = false;
    for (size_t n : s->nodes) listed = listed || n == di.node;
    if (!listed) s->nodes.push_back(di.node);
  }
  Issued().Add(s.get());
  return reinterpret_cast<HDEVINFO>(s.release());
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  auto* s = reinterpret_cast<DeviceSet*>(set);
  if (!Issued().Remove(s)) return ::SetupDiDestroyDeviceInfoList(set);
  delete s;
  return TRUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* interfaceClass, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data) {
  DeviceSet* s = Ours(set);
  if (!s) return ::SetupDiEnumDeviceInterfaces(set, device, interfaceClass, index, data);
  if (!interfaceClass || !data) return Error(ERROR_INVALID_PARAMETER);
  if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Error(ERROR_INVALID_USER_BUFFER);
  long node = device ? NodeOf(s, device) : -1;
  if (device && node < 0) return Error(ERROR_INVALID_PARAMETER);
  DWORD seen = 0;
  for (size_t i : s->interfaces) {
    const sim::DeviceInterface& di = s->tree.interfaces[i];
    if (!IsEqualGUID(di.category, *interfaceClass)) continue;
    if (device && static_cast<long>(di.node) != node) continue;
    if (seen++ != index) continue;
    data->InterfaceClassGuid = di.category;
    data->Flags = InterfaceFlags(di.state);
    data->Reserved = i + 1;
    return TRUE;
  }
  return Error(ERROR_NO_MORE_ITEMS);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA device) {
  DeviceSet* s = Ours(set);
  if (!s) return ::SetupDiGetDeviceInterfaceDetailA(set, data, detail, detailSize, requiredSize, device);
  const sim::DeviceInterface* di = InterfaceOf(s, data);
  if (!di) return Error(ERROR_INVALID_PARAMETER);
  if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Error(ERROR_INVALID_USER_BUFFER);
  if (!detail && detailSize != 0) return Error(ERROR_INVALID_USER_BUFFER);
  DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + di->path.size() + 1);
  if (requiredSize) *requiredSize = needed;
  if (device) {
    if (device->cbSize != sizeof(SP_DEVINFO_DATA)) return Error(ERROR_INVALID_USER_BUFFER);
    FillDevice(s, di->node, device);
  }
  if (!detail || detailSize < needed) return Error(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail->DevicePath, di->path.c_str(), di->path.size() + 1);
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, const GUID* aliasClass,
                                    PSP_DEVICE_INTERFACE_DATA alias) {
  DeviceSet* s = Ours(set);
  if (!s) return ::SetupDiGetDeviceInterfaceAlias(set, data, aliasClass, alias);
  const sim::DeviceInterface* di = InterfaceOf(s, data);
  if (!di || !aliasClass || !alias) return Error(ERROR_INVALID_PARAMETER);
  if (alias->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Error(ERROR_INVALID_USER_BUFFER);
  for (size_t i = 0; i < s->tree.interfaces.size(); ++i) {
    const sim::DeviceInterface& other = s->tree.interfaces[i];
    if (other.node != di->node || other.kind != di->kind || !IsEqualGUID(other.category, *aliasClass)) continue;
    alias->InterfaceClassGuid = other.category;
    alias->Flags = InterfaceFlags(other.state);
    alias->Reserved = i + 1;
    return TRUE;
  }
  return Error(ERROR_NO_SUCH_DEVICE_INTERFACE);
}

BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA device) {
  DeviceSet* s = Ours(set);
  if (!s) return ::SetupDiEnumDeviceInfo(set, index, device);
  if (!device || device->cbSize != sizeof(SP_DEVINFO_DATA)) return Error(ERROR_INVALID_USER_BUFFER);
  if (index >= s->nodes.size()) return Error(ERROR_NO_MORE_ITEMS);
  FillDevice(s, s->nodes[index], device);
  return TRUE;
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA device, DWORD property, PDWORD type,
                                       PBYTE buffer, DWORD size, PDWORD requiredSize) {
  DeviceSet* s = Ours(set);
  if (!s) return ::SetupDiGetDeviceRegistryPropertyA(set, device, property, type, buffer, size, requiredSize);
  long node = NodeOf(s, device);
  if (node < 0) return Error(ERROR_INVALID_PARAMETER);
  if (property != SPDRP_SERVICE) return Error(ERROR_INVALID_DATA);
  const std::string& service = s->tree.nodes[static_cast<size_t>(node)].service;
  if (service.empty()) return Error(ERROR_INVALID_DATA);  // what the system says for a missing value
  if (type) *type = REG_SZ;
  return CopyText(service, reinterpret_cast<PSTR>(buffer), size, requiredSize);
}

BOOL SetupDiGetDeviceInstanceIdA(HDEVINFO set, PSP_DEVINFO_DATA device, PSTR id, DWORD size, PDWORD requiredSize) {
  DeviceSet* s = Ours(set);
  if (!s) return ::SetupDiGetDeviceInstanceIdA(set, device, id, size, requiredSize);
  long node = NodeOf(s, device);
  if (node < 0) return Error(ERROR_INVALID_PARAMETER);
  return CopyText(s->tree.nodes[static_cast<size_t>(node)].instanceId, id, size, requiredSize);
}

}  // namespace dev
