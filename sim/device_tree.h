#pragma once
// The device nodes and interfaces a plugged profile shows the system: the USB
// audio function with its KS filter interface (and render / capture aliases),
// the HID function, and any further HID interfaces the profile adds.
#include <windows.h>

#include <string>
#include <vector>

#include "sim/profile.h"

namespace sim {

enum class InterfaceKind { kKsFilter, kHid };

struct DeviceNode {
  std::string instanceId;  // "USB\VID_3F57&PID_7171&MI_01\8&1A2B3C4D&0&0001"
  std::string service;     // SPDRP_SERVICE; empty when the node has none
  GUID setupClass;
};

struct DeviceInterface {
  GUID category;
  std::string path;  // what SetupDiGetDeviceInterfaceDetailA reports and CreateFileA opens
  size_t node;       // index into DeviceTree::nodes
  InterfaceKind kind;
  size_t hidIndex = 0;  // which HID function (0 = the device's own)
  AliasState state = AliasState::kEnabled;
};

struct DeviceTree {
  std::vector<DeviceNode> nodes;
  std::vector<DeviceInterface> interfaces;
};

// HID functions of a profile: the device's own first, then the profile's others.
struct HidFunction {
  uint16_t vendorId;
  uint16_t productId;
  bool overlappedOpen = true;
};
std::vector<HidFunction> HidFunctions(const Profile& profile);

DeviceTree BuildDeviceTree(const Profile& profile);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case, as in interface paths.
std::string GuidText(const GUID& guid);

}  // namespace sim
