#pragma once
// A device profile: what a simulated device is (identity, KS filter, HID
// interface, kernel service). Read from JSON (docs/sim-profile.md) or the
// built-in default, which is the product.
#include <windows.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace sim {

enum class AliasState { kEnabled, kDisabled, kRemoved, kAbsent };

struct IdentifierProfile {
  GUID set;
  ULONG id = 0;
  ULONG flags = 0;
};

struct RangeProfile {
  GUID major;
  GUID sub;
  GUID specifier;
  ULONG channels = 2;
  ULONG minBits = 16, maxBits = 32;
  ULONG minRate = 32000, maxRate = 384000;
  // FormatSize as the device reports it; 0 means the true size (88 bytes).
  // Tests set odd values to see that walkers of the list stay in bounds.
  ULONG reportedSize = 0;
};

struct PinProfile {
  std::string name;
  ULONG communication = 1;  // KSPIN_COMMUNICATION
  ULONG dataflow = 1;       // KSPIN_DATAFLOW
  GUID category;
  std::vector<IdentifierProfile> interfaces;
  std::vector<IdentifierProfile> mediums;
  std::vector<RangeProfile> ranges;
  ULONG possibleInstances = 1;
  // KSPROPERTY_PIN_* ids whose query the device fails for this pin.
  std::set<ULONG> failingProperties;
};

struct Profile {
  std::string name;
  uint16_t vendorId = 0x3F57;
  uint16_t productId = 0x7171;
  ULONG interfaceNumber = 1;
  std::string instance = "8&1a2b3c4d&0&0001";
  AliasState renderAlias = AliasState::kEnabled;
  AliasState captureAlias = AliasState::kEnabled;
  std::vector<PinProfile> pins;
  std::vector<GUID> nodes;
  bool hidPresent = true;
  uint16_t hidProductId = 0x7171;
  // Further HID interfaces with the device's vendor id, listed before the
  // device's own. One may refuse opens for overlapped I/O.
  struct OtherHid {
    uint16_t productId;
    bool overlappedOpen = true;
  };
  std::vector<OtherHid> otherHid;
  uint16_t hidInputReportLength = 64;
  uint16_t hidOutputReportLength = 64;
  std::vector<std::string> serviceNames;
  // Which of the two private property sets the driver answers the stream
  // status under: 0 none, 1 the first, 2 the second.
  ULONG streamStatusSet = 1;
};

// The product: stereo render and capture sink pins, 16 to 32 bits at 32 to
// 384 kHz, a bridge pin, a HID interface and the high-speed kernel service.
Profile DefaultProfile();

// Reads a profile; fields left out keep the default profile's values. On a
// malformed profile returns false and names the field in `error`.
bool ParseProfile(const std::string& json, Profile& profile, std::string& error);

// The device-interface path of the KS filter, with the given category GUID
// (as text, braces included) as the reference string's class part.
std::string FilterPath(const Profile& profile, const char* categoryGuidText);

}  // namespace sim
