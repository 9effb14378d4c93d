#include "sim/device_tree.h"

#include <cstdio>

#include "ks/ks_platform.h"
#include "platform/device_api.h"

namespace sim {
namespace {

// The system's class GUIDs of the two device nodes (Media and HIDClass).
constexpr GUID kMediaClass = {0x4d36e96c, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kHidClass = {0x745a17a0, 0x74d3, 0x11d0, {0xb6, 0xfe, 0x00, 0xa0, 0xc9, 0x0f, 0x57, 0xda}};
constexpr GUID kHidInterface = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return s;
}

}  // namespace

std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
                g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

std::vector<HidFunction> HidFunctions(const Profile& p) {
  std::vector<HidFunction> list;
  if (p.hidPresent) list.push_back({p.vendorId, p.hidProductId, true});
  for (const Profile::OtherHid& other : p.otherHid) list.push_back({p.vendorId, other.productId, other.overlappedOpen});
  return list;
}

DeviceTree BuildDeviceTree(const Profile& p) {
  DeviceTree tree;
  char id[128];
  std::snprintf(id, sizeof id, "USB\\VID_%04X&PID_%04X&MI_%02lX\\%s", p.vendorId, p.productId,
                static_cast<unsigned long>(p.interfaceNumber), Upper(p.instance).c_str());
  tree.nodes.push_back({id, p.serviceNames.empty() ? std::string() : p.serviceNames.front(), kMediaClass});
  tree.interfaces.push_back({KSCATEGORY_AUDIO, FilterPath(p, GuidText(KSCATEGORY_AUDIO).c_str()), 0,
                             InterfaceKind::kKsFilter, 0, AliasState::kEnabled});
  if (p.renderAlias != AliasState::kAbsent)
    tree.interfaces.push_back({KSCATEGORY_RENDER, FilterPath(p, GuidText(KSCATEGORY_RENDER).c_str()), 0,
                               InterfaceKind::kKsFilter, 0, p.renderAlias});
  if (p.captureAlias != AliasState::kAbsent)
    tree.interfaces.push_back({KSCATEGORY_CAPTURE, FilterPath(p, GuidText(KSCATEGORY_CAPTURE).c_str()), 0,
                               InterfaceKind::kKsFilter, 0, p.captureAlias});

  // Other HID functions come first in the enumeration, so a lookup has to pass
  // them by their ids.
  std::vector<HidFunction> hid = HidFunctions(p);
  for (size_t n = 0; n < hid.size(); ++n) {
    size_t i = (n + 1) % hid.size();
    if (!p.hidPresent) i = n;
    char instance[64];
    std::snprintf(instance, sizeof instance, "9&2b3c4d5e&0&%04zu", i);
    std::snprintf(id, sizeof id, "HID\\VID_%04X&PID_%04X&MI_02\\%s", hid[i].vendorId, hid[i].productId,
                  Upper(instance).c_str());
    tree.nodes.push_back({id, "HidUsb", kHidClass});
    char path[256];
    std::snprintf(path, sizeof path, "\\\\?\\hid#vid_%04x&pid_%04x&mi_02#%s#%s", hid[i].vendorId, hid[i].productId,
                  instance, GuidText(kHidInterface).c_str());
    tree.interfaces.push_back({kHidInterface, path, tree.nodes.size() - 1, InterfaceKind::kHid, i,
                               AliasState::kEnabled});
  }
  return tree;
}

}  // namespace sim
