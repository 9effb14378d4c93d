#include "asio/driver_settings.h"

#include <cstring>

#include "platform/registry_key.h"

namespace orvi {

namespace {

constexpr char kSampleRate[] = "SampleRate";
constexpr char kBufferSize[] = "BufferSize";
constexpr char kBitsPerSample[] = "BitsPerSample";
constexpr char kSupportSampleRate[] = "SupportSampleRate";
constexpr char kSupportBitsPerSample[] = "SupporBitsPerSample";
constexpr char kPanelFolder[] = "ASIOCPL";
constexpr DWORD kPanelFolderMax = 260;

// The value under `name` read as a little-endian word, whatever its type, when
// it holds at most 4 bytes (shorter ones are zero-extended); `fallback` when it
// is missing or longer.
void ReadDword(HKEY key, const char* name, uint32_t& value, uint32_t fallback) {
  value = fallback;
  DWORD data = 0;
  DWORD size = sizeof data;
  if (RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS) return;
  value = static_cast<uint32_t>(data);
}

void WriteDword(HKEY key, const char* name, uint32_t value) {
  const DWORD data = value;
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
}

}  // namespace

CDriverSettings::CDriverSettings(std::string product) : m_product(std::move(product)) {}

bool CDriverSettings::Load(CStatusBlock& block, uint32_t& carrierRate) const {
  RegistryKey asio = RegistryKey::Open(HKEY_CURRENT_USER, "Software\\ASIO", KEY_ALL_ACCESS);
  if (!asio) return false;
  RegistryKey key = RegistryKey::Open(asio.get(), m_product.c_str(), KEY_ALL_ACCESS);
  if (!key) return false;

  ReadDword(key.get(), kSampleRate, carrierRate, kDefaultSampleRate);
  if (block.NeedsSettings()) {
    const BlockSettings defaults;
    BlockSettings loaded;
    ReadDword(key.get(), kBufferSize, loaded.bufferSize, defaults.bufferSize);
    ReadDword(key.get(), kBitsPerSample, loaded.bits, defaults.bits);
    ReadDword(key.get(), kSupportSampleRate, loaded.supportedRates, defaults.supportedRates);
    ReadDword(key.get(), kSupportBitsPerSample, loaded.supportedBits, defaults.supportedBits);
    block.StoreLoadedSettings(loaded);
  }
  return true;
}

bool CDriverSettings::Save(const CStatusBlock& block, uint32_t carrierRate) const {
  RegistryKey asio = RegistryKey::Create(HKEY_CURRENT_USER, "Software\\ASIO", KEY_ALL_ACCESS);
  if (!asio) return false;
  RegistryKey key = RegistryKey::Create(asio.get(), m_product.c_str(), KEY_ALL_ACCESS);
  if (!key) return false;

  WriteDword(key.get(), kSampleRate, carrierRate);
  BlockSettings settings;
  if (block.ReadLoadedSettings(settings)) {
    WriteDword(key.get(), kBufferSize, settings.bufferSize);
    WriteDword(key.get(), kBitsPerSample, settings.bits);
    WriteDword(key.get(), kSupportSampleRate, settings.supportedRates);
    WriteDword(key.get(), kSupportBitsPerSample, settings.supportedBits);
  }
  return true;
}

std::string CDriverSettings::PanelProgramPath() const {
  RegistryKey key = RegistryKey::Open(HKEY_CURRENT_USER, KeyPath().c_str(), KEY_QUERY_VALUE);
  if (!key) return {};
  char folder[kPanelFolderMax] = {};
  DWORD type = 0;
  DWORD size = sizeof folder;
  if (RegQueryValueExA(key.get(), kPanelFolder, nullptr, &type, reinterpret_cast<BYTE*>(folder), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ || size > sizeof folder) {
    return {};
  }
  // The stored string need not end with a NUL.
  std::string path(folder, strnlen(folder, size));
  return path + m_product + "ACPL.exe";
}

}  // namespace orvi
