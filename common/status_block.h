#pragma once
// The status block: a 340-byte named shared-memory record through which the
// ASIO driver (64-bit) and the control panel (32-bit) meet. Both map the same
// bytes, so the layout is fixed to the byte on either architecture. There is no
// lock: every field is one aligned 32-bit word, stored and loaded whole, and
// readers poll dwChanged.
//
// No Windows dependency, so the remote protocol's portable code can use it.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvi {

inline constexpr uint32_t kStatusBlockMagic = 0x20130107;
inline constexpr std::string_view kStatusBlockNameSuffix = "_20130107";
inline constexpr size_t kStatusBlockSize = 340;
// 255 characters and a NUL.
inline constexpr size_t kDeviceNameSize = 256;

// Driver state codes (dwState).
enum DriverState : uint32_t {
  kDriverUnload = 0,
  kDriverLoaded = 1,
  kDriverInitialized = 2,
  kDriverPrepared = 3,
  kDriverRunning = 4,
};

inline constexpr std::array<const char*, 5> kDriverStateTexts = {"UNLOAD", "LOADED", "INITIALIZED",
                                                                 "PREPARED", "RUNNING"};

// Anyone may write dwState, so any other value reads as "UNLOAD".
inline const char* DriverStateText(uint32_t state) {
  return state < kDriverStateTexts.size() ? kDriverStateTexts[state] : kDriverStateTexts[kDriverUnload];
}

// dwSupportedBits: bit 1 = 16, bit 2 = 24, bit 3 = 32 (bit 0, 8-bit, never set).
inline constexpr uint32_t kSupportedBits16 = 1u << 1;
inline constexpr uint32_t kSupportedBits24 = 1u << 2;
inline constexpr uint32_t kSupportedBits32 = 1u << 3;

// The four settings the block carries between registry, panel and driver, and
// what each is when the registry has no value for it.
struct BlockSettings {
  uint32_t bufferSize = 100;     // dwBufferSizeSetting, 0.1 ms units
  uint32_t bits = 16;            // dwBitsSetting
  uint32_t supportedRates = 2;   // dwSupportedRates
  uint32_t supportedBits = 2;    // dwSupportedBits
};

struct DriverStatusBlock {
  uint32_t dwMagic;
  uint32_t dwState;
  uint32_t dwSettingsLoaded;
  uint32_t guidOwner[4];  // class identifier, GUID memory layout; all zero when unclaimed
  uint32_t dwChanged;
  uint32_t dwShowPanel;
  uint32_t dwBufferSizeSetting;
  uint32_t dwBitsSetting;
  uint32_t dwBufferSize;
  uint32_t dwSampleRate;
  uint32_t dwBitsPerSample;
  uint32_t dwSupportedRates;
  uint32_t dwSupportedBits;
  char szDeviceName[kDeviceNameSize];
  uint32_t dwDsdStream;
  uint32_t dwDsd128;
  uint32_t dwDsd256;
  uint32_t dwNativeDsd;
  uint32_t dwResetRequest;
};

static_assert(sizeof(DriverStatusBlock) == kStatusBlockSize);
static_assert(alignof(DriverStatusBlock) == 4);
static_assert(offsetof(DriverStatusBlock, dwMagic) == 0);
static_assert(offsetof(DriverStatusBlock, dwState) == 4);
static_assert(offsetof(DriverStatusBlock, dwSettingsLoaded) == 8);
static_assert(offsetof(DriverStatusBlock, guidOwner) == 12);
static_assert(offsetof(DriverStatusBlock, dwChanged) == 28);
static_assert(offsetof(DriverStatusBlock, dwShowPanel) == 32);
static_assert(offsetof(DriverStatusBlock, dwBufferSizeSetting) == 36);
static_assert(offsetof(DriverStatusBlock, dwBitsSetting) == 40);
static_assert(offsetof(DriverStatusBlock, dwBufferSize) == 44);
static_assert(offsetof(DriverStatusBlock, dwSampleRate) == 48);
static_assert(offsetof(DriverStatusBlock, dwBitsPerSample) == 52);
static_assert(offsetof(DriverStatusBlock, dwSupportedRates) == 56);
static_assert(offsetof(DriverStatusBlock, dwSupportedBits) == 60);
static_assert(offsetof(DriverStatusBlock, szDeviceName) == 64);
static_assert(offsetof(DriverStatusBlock, dwDsdStream) == 320);
static_assert(offsetof(DriverStatusBlock, dwDsd128) == 324);
static_assert(offsetof(DriverStatusBlock, dwDsd256) == 328);
static_assert(offsetof(DriverStatusBlock, dwNativeDsd) == 332);
static_assert(offsetof(DriverStatusBlock, dwResetRequest) == 336);

// "<product>_20130107".
inline std::string StatusBlockName(std::string_view product) {
  std::string name(product);
  name += kStatusBlockNameSuffix;
  return name;
}

// Whole-word access to a field another process may be writing.
inline uint32_t LoadField(const uint32_t& field) {
  return std::atomic_ref<uint32_t>(const_cast<uint32_t&>(field)).load(std::memory_order_acquire);
}
inline void StoreField(uint32_t& field, uint32_t value) {
  std::atomic_ref<uint32_t>(field).store(value, std::memory_order_release);
}
inline uint32_t ExchangeField(uint32_t& field, uint32_t value) {
  return std::atomic_ref<uint32_t>(field).exchange(value, std::memory_order_acq_rel);
}

// The device name, read within its 256 bytes: whoever wrote it may have left
// out the terminator, so at most 255 characters are taken.
inline std::string ReadDeviceName(const DriverStatusBlock& block) {
  const volatile char* src = block.szDeviceName;
  std::string name;
  for (size_t i = 0; i + 1 < kDeviceNameSize; ++i) {
    char c = src[i];
    if (c == '\0') break;
    name.push_back(c);
  }
  return name;
}

}  // namespace orvi
