#include "tools/asiohost/driver_registry.h"

#include <cstdio>
#include <cwchar>

namespace orvi::host {

namespace {

class RegKey {
 public:
  RegKey() = default;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() {
    if (m_key) RegCloseKey(m_key);
  }
  HKEY* out() { return &m_key; }
  HKEY get() const { return m_key; }

 private:
  HKEY m_key = nullptr;
};

enum class Read { kOk, kMissing, kRefused };

std::string Narrow(const wchar_t* text, size_t chars) {
  if (chars == 0) return {};
  int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(chars), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(chars), out.data(), n, nullptr, nullptr);
  return out;
}

// A string value of at most `maxChars` characters. Read as wide characters,
// which is how the registry keeps REG_SZ whichever API wrote it.
Read ReadString(HKEY key, const wchar_t* value, const char* label, size_t maxChars, bool allowExpand,
                std::string& text, std::string& problem) {
  std::vector<wchar_t> buffer(maxChars + 1, L'\0');
  DWORD type = 0;
  DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  LONG rc = RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bytes);
  std::string what = std::string("the ") + label + " value";
  if (rc == ERROR_FILE_NOT_FOUND) {
    problem = "no " + std::string(label) + " value";
    return Read::kMissing;
  }
  if (rc == ERROR_MORE_DATA) {
    problem = what + " is longer than " + std::to_string(maxChars) + " characters";
    return Read::kRefused;
  }
  if (rc != ERROR_SUCCESS) {
    problem = what + " cannot be read (error " + std::to_string(rc) + ")";
    return Read::kRefused;
  }
  if (type != REG_SZ && !(allowExpand && type == REG_EXPAND_SZ)) {
    problem = what + " is not a string (registry type " + std::to_string(type) + ")";
    return Read::kRefused;
  }
  size_t chars = bytes / sizeof(wchar_t);
  if (bytes % sizeof(wchar_t) != 0 || chars == 0 || buffer[chars - 1] != L'\0') {
    problem = what + " is not a terminated string";
    return Read::kRefused;
  }
  text = Narrow(buffer.data(), wcsnlen(buffer.data(), chars));
  return Read::kOk;
}

InstalledDriver ReadEntry(HKEY parent, const std::string& name) {
  InstalledDriver d;
  d.name = name;
  RegKey key;
  LONG rc = RegOpenKeyExA(parent, name.c_str(), 0, KEY_READ, key.out());
  if (rc != ERROR_SUCCESS) {
    d.problem = "its key cannot be opened (error " + std::to_string(rc) + ")";
    return d;
  }
  std::string problem;
  if (ReadString(key.get(), L"CLSID", "CLSID", kMaxClsidChars, false, d.clsidText, problem) != Read::kOk) {
    d.problem = problem;
  } else if (!ParseClsid(d.clsidText, d.clsid)) {
    d.problem = "the CLSID value \"" + d.clsidText + "\" is not a CLSID";
  } else {
    d.usable = true;
  }
  if (ReadString(key.get(), L"Driver", "Driver", kMaxPathChars, true, d.dllPath, problem) != Read::kOk)
    d.dllNote = problem;
  std::string ignored;
  ReadString(key.get(), L"Description", "Description", kMaxDescriptionChars, false, d.description, ignored);
  return d;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `digits` hex digits from `text` at `at`.
bool Hex(std::string_view text, size_t at, size_t digits, unsigned long long& value) {
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    int d = HexDigit(text[at + i]);
    if (d < 0) return false;
    value = value * 16 + static_cast<unsigned>(d);
  }
  return true;
}

}  // namespace

bool ReadInstalledDrivers(std::vector<InstalledDriver>& drivers, std::string& error) {
  drivers.clear();
  RegKey root;
  LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAsioDriversKey, 0, KEY_READ, root.out());
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) {
    error = "cannot open HKEY_LOCAL_MACHINE\\" + std::string(kAsioDriversKey) + " (error " + std::to_string(rc) + ")";
    return false;
  }
  for (DWORD index = 0;; ++index) {
    char name[256];  // key names are at most 255 characters
    DWORD chars = sizeof name;
    rc = RegEnumKeyExA(root.get(), index, name, &chars, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS) {
      error = "cannot list HKEY_LOCAL_MACHINE\\" + std::string(kAsioDriversKey) + " (error " + std::to_string(rc) +
              ")";
      return false;
    }
    drivers.push_back(ReadEntry(root.get(), std::string(name, chars)));
  }
  return true;
}

bool ParseClsid(std::string_view text, CLSID& clsid) {
  if (text.size() != 38 || text[0] != '{' || text[37] != '}' || text[9] != '-' || text[14] != '-' ||
      text[19] != '-' || text[24] != '-')
    return false;
  unsigned long long v = 0;
  CLSID c{};
  if (!Hex(text, 1, 8, v)) return false;
  c.Data1 = static_cast<unsigned long>(v);
  if (!Hex(text, 10, 4, v)) return false;
  c.Data2 = static_cast<unsigned short>(v);
  if (!Hex(text, 15, 4, v)) return false;
  c.Data3 = static_cast<unsigned short>(v);
  static constexpr size_t kByteAt[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (size_t i = 0; i < 8; ++i) {
    if (!Hex(text, kByteAt[i], 2, v)) return false;
    c.Data4[i] = static_cast<unsigned char>(v);
  }
  clsid = c;
  return true;
}

std::string ClsidText(const CLSID& c) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned long>(c.Data1), c.Data2, c.Data3, c.Data4[0], c.Data4[1], c.Data4[2],
                c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6], c.Data4[7]);
  return text;
}

const InstalledDriver* ChooseDriver(const std::vector<InstalledDriver>& drivers, const std::string& requested,
                                    const std::string& fallback, std::string& error) {
  if (requested.empty() && drivers.empty()) {
    error = "no ASIO driver is installed";
    return nullptr;
  }
  if (requested.empty() && drivers.size() == 1) return &drivers.front();
  const std::string& wanted = requested.empty() ? fallback : requested;
  for (const InstalledDriver& d : drivers)
    if (lstrcmpiA(d.name.c_str(), wanted.c_str()) == 0) return &d;
  if (requested.empty())
    error = "several ASIO drivers are installed and none is named " + fallback + "; choose one with --driver";
  else
    error = "no ASIO driver named " + requested + " is installed";
  return nullptr;
}

}  // namespace orvi::host
