#include "asio/status_block.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <set>

#include "common/buffer_lengths.h"
#include "common/rates.h"

namespace orvi {

namespace {

std::array<uint32_t, 4> GuidWords(const GUID& guid) {
  std::array<uint32_t, 4> words;
  static_assert(sizeof words == sizeof guid);
  std::memcpy(words.data(), &guid, sizeof guid);
  return words;
}

}  // namespace

uint32_t ClampBufferSizeSetting(uint32_t setting) {
  if (setting == 0) return 0;
  return std::clamp(setting, kMinBufferSizeSetting, kMaxBufferSizeSetting);
}

CStatusBlock::CStatusBlock(const GUID& clsid, std::string product)
    : m_clsid(clsid), m_name(StatusBlockName(product)) {}

bool CStatusBlock::OpenOrCreate() {
  m_view.reset();
  m_hMap.reset(OpenFileMappingA(FILE_MAP_WRITE, FALSE, m_name.c_str()));
  bool created = false;
  if (!m_hMap) {
    m_hMap.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                    static_cast<DWORD>(sizeof(DriverStatusBlock)), m_name.c_str()));
    // Someone may have created it between our open and create; zeroing it then
    // would wipe their claim and settings.
    created = m_hMap && GetLastError() != ERROR_ALREADY_EXISTS;
  }
  if (!m_hMap) return false;
  m_view.reset(MapViewOfFile(m_hMap.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  if (!m_view) return false;
  // A mapping of that name made by someone else may be smaller than the block.
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(m_view.get(), &info, sizeof info) != sizeof info || info.RegionSize < sizeof(DriverStatusBlock)) {
    m_view.reset();
    return false;
  }
  if (created) {
    std::memset(m_view.get(), 0, sizeof(DriverStatusBlock));
    StoreField(Block()->dwMagic, kStatusBlockMagic);
  }
  return created;
}

bool CStatusBlock::IsValid() const { return m_view && LoadField(Block()->dwMagic) == kStatusBlockMagic; }

bool CStatusBlock::IsOwned() const {
  if (!IsValid()) return false;
  auto mine = GuidWords(m_clsid);
  for (size_t i = 0; i < mine.size(); ++i) {
    if (LoadField(Block()->guidOwner[i]) != mine[i]) return false;
  }
  return true;
}

void CStatusBlock::Changed() { StoreField(Block()->dwChanged, 1); }

bool CStatusBlock::Claim() {
  if (!IsValid()) return false;
  for (const uint32_t& word : Block()->guidOwner) {
    if (LoadField(word) != 0) return false;
  }
  DriverStatusBlock* b = Block();
  StoreField(b->dwState, kDriverLoaded);
  auto mine = GuidWords(m_clsid);
  for (size_t i = 0; i < mine.size(); ++i) StoreField(b->guidOwner[i], mine[i]);
  Changed();
  return true;
}

void CStatusBlock::Release() {
  if (!IsOwned()) return;
  DriverStatusBlock* b = Block();
  StoreField(b->dwState, kDriverUnload);
  for (uint32_t& word : b->guidOwner) StoreField(word, 0);
  Changed();
}

void CStatusBlock::PublishDeviceName(const char* name) {
  if (!IsOwned() || !name) return;
  volatile char* dst = Block()->szDeviceName;
  size_t n = strnlen(name, kDeviceNameSize - 1);
  for (size_t i = 0; i < n; ++i) dst[i] = name[i];
  dst[n] = '\0';
  Changed();
}

void CStatusBlock::PublishFormat(uint32_t bufferSize, uint32_t sampleRate, uint32_t bitsPerSample) {
  if (!IsOwned()) return;
  DriverStatusBlock* b = Block();
  StoreField(b->dwBufferSize, bufferSize);
  StoreField(b->dwSampleRate, sampleRate);
  StoreField(b->dwBitsPerSample, bitsPerSample);
  Changed();
}

void CStatusBlock::PublishInitialized(uint32_t supportedBits, uint32_t supportedRates) {
  if (!IsOwned()) return;
  DriverStatusBlock* b = Block();
  StoreField(b->dwState, kDriverInitialized);
  StoreField(b->dwSupportedBits, supportedBits & 0x0F);
  StoreField(b->dwSupportedRates, supportedRates);
  Changed();
}

void CStatusBlock::PublishSampleRate(uint32_t sampleRate) {
  if (!IsValid()) return;
  StoreField(Block()->dwSampleRate, sampleRate);
  Changed();
}

void CStatusBlock::PublishDsdContainer() {
  if (!IsValid()) return;
  StoreField(Block()->dwBitsPerSample, 32);
  Changed();
}

void CStatusBlock::PublishBuffersCreated(uint32_t bufferSize, uint32_t asioRate) {
  if (!IsOwned()) return;
  const auto dsd = std::find(kDsdRates.begin(), kDsdRates.end(), asioRate);
  const bool isDsd = dsd != kDsdRates.end();
  DriverStatusBlock* b = Block();
  StoreField(b->dwState, kDriverPrepared);
  // In DSD mode every 32 DSD samples travel as one 32-bit carrier frame.
  StoreField(b->dwBufferSize, isDsd ? bufferSize / 32 : bufferSize);
  StoreField(b->dwDsdStream, isDsd ? 1 : 0);
  StoreField(b->dwDsd128, isDsd && asioRate == kDsdRates[1] ? 1 : 0);
  StoreField(b->dwDsd256, isDsd && asioRate == kDsdRates[2] ? 1 : 0);
  StoreField(b->dwNativeDsd, isDsd ? 1 : 0);
  Changed();
}

void CStatusBlock::PublishState(DriverState state) {
  if (!IsOwned()) return;
  StoreField(Block()->dwState, state);
  Changed();
}

void CStatusBlock::PublishBuffersDisposed() {
  if (!IsOwned()) return;
  DriverStatusBlock* b = Block();
  StoreField(b->dwState, kDriverInitialized);
  StoreField(b->dwDsdStream, 0);
  StoreField(b->dwDsd128, 0);
  StoreField(b->dwNativeDsd, 0);
  Changed();
}

bool CStatusBlock::PublishDop(bool detected) {
  if (!IsOwned()) return false;
  DriverStatusBlock* b = Block();
  bool changed = false;
  auto set = [&changed](uint32_t& field, uint32_t value) {
    if (LoadField(field) == value) return;
    StoreField(field, value);
    changed = true;
  };
  if (detected) {
    if (LoadField(b->dwDsdStream) == 0) set(b->dwDsdStream, 1);
    set(b->dwDsd128, LoadField(b->dwSampleRate) == 352800 ? 1 : 0);
  } else if (LoadField(b->dwDsdStream) == 1) {
    set(b->dwDsdStream, 0);
    set(b->dwDsd128, 0);
  }
  if (changed) Changed();
  return changed;
}

uint32_t CStatusBlock::SupportedBits() const { return IsValid() ? LoadField(Block()->dwSupportedBits) : 0; }

bool CStatusBlock::NativeDsd() const { return IsValid() && LoadField(Block()->dwNativeDsd) != 0; }

void CStatusBlock::KeepForProcess() const {
  if (!m_hMap) return;
  // One handle per block name is enough; it is never closed.
  static std::mutex lock;
  static std::set<std::string> kept;
  std::lock_guard<std::mutex> guard(lock);
  if (kept.count(m_name)) return;
  HANDLE copy = nullptr;
  if (DuplicateHandle(GetCurrentProcess(), m_hMap.get(), GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    kept.insert(m_name);
  }
}

void CStatusBlock::RequestShowPanel() {
  if (!IsValid()) return;
  // The panel clears dwChanged before it looks at dwShowPanel, so the request
  // must be in place first.
  StoreField(Block()->dwShowPanel, 1);
  Changed();
}

bool CStatusBlock::TakeResetRequest() {
  if (!IsOwned()) return false;
  if (LoadField(Block()->dwResetRequest) == 0) return false;
  // Exchange, so that a request made again meanwhile is not lost unseen.
  return ExchangeField(Block()->dwResetRequest, 0) != 0;
}

bool CStatusBlock::ReadPanelSettings(uint32_t& bufferSize, uint32_t& bits) const {
  if (!IsOwned()) return false;
  bufferSize = ClampBufferSizeSetting(LoadField(Block()->dwBufferSizeSetting));
  const uint32_t b = LoadField(Block()->dwBitsSetting);
  bits = (b == 16 || b == 24 || b == 32) ? b : 0;
  return true;
}

bool CStatusBlock::NeedsSettings() const { return IsValid() && LoadField(Block()->dwSettingsLoaded) == 0; }

void CStatusBlock::StoreLoadedSettings(const BlockSettings& settings) {
  if (!IsValid()) return;
  DriverStatusBlock* b = Block();
  StoreField(b->dwBufferSizeSetting, settings.bufferSize);
  StoreField(b->dwBitsSetting, settings.bits);
  StoreField(b->dwSupportedRates, settings.supportedRates);
  StoreField(b->dwSupportedBits, settings.supportedBits);
  StoreField(b->dwSettingsLoaded, 1);
  Changed();
}

bool CStatusBlock::ReadLoadedSettings(BlockSettings& settings) const {
  if (!IsValid() || LoadField(Block()->dwSettingsLoaded) != 1) return false;
  const DriverStatusBlock* b = Block();
  settings.bufferSize = LoadField(b->dwBufferSizeSetting);
  settings.bits = LoadField(b->dwBitsSetting);
  settings.supportedRates = LoadField(b->dwSupportedRates);
  settings.supportedBits = LoadField(b->dwSupportedBits);
  return true;
}

}  // namespace orvi
