#pragma once
// The ASIO drivers installed on this machine: the subkeys of
// HKEY_LOCAL_MACHINE\Software\ASIO, each naming the driver's COM class
// ("CLSID") and its DLL ("Driver"), optionally with a "Description". Any
// installer may have written there, so every value is read with a bound and
// checked; an entry that cannot be used says why instead of vanishing.
#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace orvi::host {

inline constexpr char kAsioDriversKey[] = "Software\\ASIO";

// Longest values read; anything longer is refused, not cut.
inline constexpr size_t kMaxClsidChars = 64;
inline constexpr size_t kMaxPathChars = MAX_PATH;
inline constexpr size_t kMaxDescriptionChars = 256;

struct InstalledDriver {
  std::string name;       // the subkey's name
  bool usable = false;    // the CLSID was read and parsed
  CLSID clsid{};          // valid when usable
  std::string clsidText;  // as stored, when it was a readable string
  std::string problem;    // why it is not usable
  std::string dllPath;    // "Driver"
  std::string dllNote;    // why dllPath is empty
  std::string description;
};

// Every subkey of HKEY_LOCAL_MACHINE\Software\ASIO, in the registry's order.
// Without that key the list is empty; false with `error` when it exists but
// cannot be read.
bool ReadInstalledDrivers(std::vector<InstalledDriver>& drivers, std::string& error);

// Registry form only: "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", hex digits in
// either case. (CLSIDFromString would also look up ProgIDs.)
bool ParseClsid(std::string_view text, CLSID& clsid);
std::string ClsidText(const CLSID& clsid);

// The driver `requested` names (case does not matter, as in the registry), or
// with an empty `requested` the only one installed, else `fallback`. Null with
// a message in `error` when there is none.
const InstalledDriver* ChooseDriver(const std::vector<InstalledDriver>& drivers, const std::string& requested,
                                    const std::string& fallback, std::string& error);

}  // namespace orvi::host
