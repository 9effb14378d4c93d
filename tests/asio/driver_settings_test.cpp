// The driver's registry settings and how they travel through the status block.
#include "asio/driver_settings.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asio/status_block.h"
#include "common/status_block.h"
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"

namespace {

using orvi::CDriverSettings;
using orvi::CStatusBlock;
using orvi::DriverStatusBlock;

constexpr GUID kOurClass = {0x5e1f0a2b, 0x3c4d, 0x4e5f, {0x8a, 0x9b, 0xac, 0xbd, 0xce, 0xdf, 0xe0, 0xf1}};

// HKEY_CURRENT_USER and named objects are shared by all test processes.
std::string UniqueProduct() {
  static int n = 0;
  return "OrviDsTest" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(++n);
}

class DriverSettingsTest : public testing::Test {
 protected:
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str()); }

  void CreateKey() {
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(h);
  }
  void SetRaw(const char* value, DWORD type, const void* data, size_t size) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), value, type, data, static_cast<DWORD>(size)),
              ERROR_SUCCESS);
  }
  void SetDword(const char* value, DWORD data) { SetRaw(value, REG_DWORD, &data, sizeof data); }
  // The DWORD stored under `value`, or -1 when there is none.
  long long GetDword(const char* value) {
    DWORD data = 0, size = sizeof data;
    if (RegGetValueA(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_REG_DWORD, nullptr, &data, &size) !=
        ERROR_SUCCESS)
      return -1;
    return data;
  }

  // The driver's block (created here) and the panel's view of it.
  struct Block {
    CStatusBlock driver;
    orvi::UniqueHandle map;
    orvi::MappedView view;
    bool created = false;
    DriverStatusBlock& b() const { return *view.as<DriverStatusBlock>(); }
  };
  void OpenBlock(Block& block) {
    block.created = block.driver.OpenOrCreate();
    block.map.reset(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, block.driver.Name().c_str()));
    ASSERT_TRUE(block.map);
    block.view.reset(MapViewOfFile(block.map.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_TRUE(block.view);
  }

  const std::string product = UniqueProduct();
  const std::string key = "Software\\ASIO\\" + product;
  CDriverSettings settings{product};
};

TEST_F(DriverSettingsTest, WithoutTheKeyNothingIsLoadedAndTheNextLoadTriesAgain) {
  Block block{CStatusBlock(kOurClass, product)};
  OpenBlock(block);
  ASSERT_TRUE(block.created);
  uint32_t rate = 48000;
  EXPECT_FALSE(settings.Load(block.driver, rate));
  EXPECT_EQ(rate, 48000u) << "keeps its previous value";
  EXPECT_EQ(block.b().dwSettingsLoaded, 0u);
  EXPECT_EQ(block.b().dwBufferSizeSetting, 0u);
  EXPECT_EQ(block.b().dwChanged, 0u);

  CreateKey();
  EXPECT_TRUE(settings.Load(block.driver, rate));
  EXPECT_EQ(rate, 44100u);
  EXPECT_EQ(block.b().dwSettingsLoaded, 1u);
}

TEST_F(DriverSettingsTest, EmptyKeyGivesTheDefaults) {
  CreateKey();
  Block block{CStatusBlock(kOurClass, product)};
  OpenBlock(block);
  uint32_t rate = 0;
  ASSERT_TRUE(settings.Load(block.driver, rate));
  EXPECT_EQ(rate, 44100u);
  const DriverStatusBlock& b = block.b();
  EXPECT_EQ(b.dwBufferSizeSetting, 100u);
  EXPECT_EQ(b.dwBitsSetting, 16u);
  EXPECT_EQ(b.dwSupportedRates, 2u);
  EXPECT_EQ(b.dwSupportedBits, 2u);
  EXPECT_EQ(b.dwSettingsLoaded, 1u);
  EXPECT_EQ(b.dwChanged, 1u);
  EXPECT_EQ(b.dwState, 0u);
}

TEST_F(DriverSettingsTest, StoredValuesAreLoadedIntoANewBlockOnly) {
  SetDword("SampleRate", 96000);
  SetDword("BufferSize", 50);
  SetDword("BitsPerSample", 24);
  SetDword("SupportSampleRate", 0x1FF);
  SetDword("SupporBitsPerSample", 0xE);
  Block block{CStatusBlock(kOurClass, product)};
  OpenBlock(block);
  uint32_t rate = 0;
  ASSERT_TRUE(settings.Load(block.driver, rate));
  EXPECT_EQ(rate, 96000u);
  DriverStatusBlock& b = block.b();
  EXPECT_EQ(b.dwBufferSizeSetting, 50u);
  EXPECT_EQ(b.dwBitsSetting, 24u);
  EXPECT_EQ(b.dwSupportedRates, 0x1FFu);
  EXPECT_EQ(b.dwSupportedBits, 0xEu);

  // Once loaded, the block is the panel's: a later load (the next init) leaves
  // its settings alone but still reads the rate.
  b.dwBitsSetting = 32;
  b.dwChanged = 0;
  SetDword("BitsPerSample", 16);
  SetDword("SampleRate", 48000);
  ASSERT_TRUE(settings.Load(block.driver, rate));
  EXPECT_EQ(rate, 48000u);
  EXPECT_EQ(b.dwBitsSetting, 32u);
  EXPECT_EQ(b.dwChanged, 0u);
}

TEST_F(DriverSettingsTest, BlockWithoutMagicGetsNoSettings) {
  SetDword("BufferSize", 50);
  const std::string name = product + "_20130107";
  orvi::UniqueHandle map(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 340, name.c_str()));
  ASSERT_TRUE(map);
  orvi::MappedView view(MapViewOfFile(map.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_TRUE(view);
  CStatusBlock driver(kOurClass, product);
  EXPECT_FALSE(driver.OpenOrCreate());
  uint32_t rate = 0;
  EXPECT_TRUE(settings.Load(driver, rate));
  EXPECT_EQ(rate, 44100u);
  const auto* bytes = view.as<uint8_t>();
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 340), std::vector<uint8_t>(340, 0));
}

// Values are taken whatever their type while they hold at most 4 bytes.
TEST_F(DriverSettingsTest, ValueLongerThanAWordCountsAsMissing) {
  struct Case {
    const char* what;
    DWORD type;
    std::vector<uint8_t> data;
    bool taken;
    uint32_t word;  // what is taken
  };
  const Case cases[] = {
      {"DWORD", REG_DWORD, {50, 0, 0, 0}, true, 50},
      {"binary of 4 bytes", REG_BINARY, {50, 0, 0, 0}, true, 50},
      {"string of 3 bytes", REG_SZ, {'5', '0', 0}, true, 0x3035},
      {"DWORD of 2 bytes", REG_DWORD, {50, 1}, true, 0x132},
      {"empty DWORD", REG_DWORD, {}, true, 0},
      {"QWORD", REG_QWORD, {50, 0, 0, 0, 0, 0, 0, 0}, false, 0},
      {"binary of 8 bytes", REG_BINARY, {50, 0, 0, 0, 0, 0, 0, 0}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    CreateKey();
    SetRaw("SampleRate", c.type, c.data.data(), c.data.size());
    SetRaw("BufferSize", c.type, c.data.data(), c.data.size());
    Block block{CStatusBlock(kOurClass, product)};
    OpenBlock(block);
    ASSERT_TRUE(block.created);
    uint32_t rate = 1;
    ASSERT_TRUE(settings.Load(block.driver, rate));
    EXPECT_EQ(rate, c.taken ? c.word : 44100u);
    EXPECT_EQ(block.b().dwBufferSizeSetting, c.taken ? c.word : 100u);
  }
}

TEST_F(DriverSettingsTest, SaveWritesTheRateAndTheLoadedBlockSettings) {
  Block block{CStatusBlock(kOurClass, product)};
  OpenBlock(block);
  EXPECT_TRUE(settings.Save(block.driver, 88200)) << "creates the key";
  EXPECT_EQ(GetDword("SampleRate"), 88200);
  EXPECT_EQ(GetDword("BufferSize"), -1) << "the block's settings were never loaded";

  DriverStatusBlock& b = block.b();
  b.dwSettingsLoaded = 1;
  b.dwBufferSizeSetting = 6000;
  b.dwBitsSetting = 32;
  b.dwSupportedRates = 0x1FF;
  b.dwSupportedBits = 0xC;
  EXPECT_TRUE(settings.Save(block.driver, 176400));
  EXPECT_EQ(GetDword("SampleRate"), 176400);
  EXPECT_EQ(GetDword("BufferSize"), 6000);
  EXPECT_EQ(GetDword("BitsPerSample"), 32);
  EXPECT_EQ(GetDword("SupportSampleRate"), 0x1FF);
  EXPECT_EQ(GetDword("SupporBitsPerSample"), 0xC);
}

// Settings flow: panel -> block -> registry (driver destruction) -> the next
// block; and the panel's own registry writes reach a block created later.
TEST_F(DriverSettingsTest, PanelChangesReachTheNextDriver) {
  CreateKey();
  uint32_t rate = 0;
  {
    Block block{CStatusBlock(kOurClass, product)};
    OpenBlock(block);
    ASSERT_TRUE(block.created);
    ASSERT_TRUE(settings.Load(block.driver, rate));
    ASSERT_TRUE(block.driver.Claim());
    block.b().dwBitsSetting = 24;  // the panel's radio button and buffer list
    block.b().dwBufferSizeSetting = 50;
    uint32_t buffer = 0, bits = 0;
    ASSERT_TRUE(block.driver.ReadPanelSettings(buffer, bits));
    EXPECT_EQ(buffer, 50u);
    EXPECT_EQ(bits, 24u);
    ASSERT_TRUE(settings.Save(block.driver, rate));
    block.driver.Release();
  }
  {
    Block block{CStatusBlock(kOurClass, product)};
    OpenBlock(block);
    ASSERT_TRUE(block.created) << "the last view went away with the first driver";
    ASSERT_TRUE(settings.Load(block.driver, rate));
    EXPECT_EQ(block.b().dwBitsSetting, 24u);
    EXPECT_EQ(block.b().dwBufferSizeSetting, 50u);
  }
  SetDword("BufferSize", 2500);  // the panel saving its page
  SetDword("BitsPerSample", 32);
  {
    Block block{CStatusBlock(kOurClass, product)};
    OpenBlock(block);
    ASSERT_TRUE(settings.Load(block.driver, rate));
    EXPECT_EQ(block.b().dwBitsSetting, 32u);
    EXPECT_EQ(block.b().dwBufferSizeSetting, 2500u);
  }
}

TEST_F(DriverSettingsTest, PanelProgramPathComesFromASIOCPL) {
  const std::string program = product + "ACPL.exe";
  const std::string folder = "C:\\Program Files\\Orvi\\";
  const std::string tooLong(300, 'd');
  struct Case {
    const char* what;
    DWORD type;
    std::string data;
    size_t size;
    std::string expected;
  };
  const Case cases[] = {
      {"string", REG_SZ, folder, folder.size() + 1, folder + program},
      {"string without NUL", REG_SZ, folder, folder.size(), folder + program},
      {"expandable string", REG_EXPAND_SZ, folder, folder.size() + 1, ""},
      {"DWORD", REG_DWORD, "abcd", 4, ""},
      {"longer than 260 bytes", REG_SZ, tooLong, tooLong.size() + 1, ""},
  };
  EXPECT_EQ(settings.PanelProgramPath(), "") << "no key";
  CreateKey();
  EXPECT_EQ(settings.PanelProgramPath(), "") << "no value";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetRaw("ASIOCPL", c.type, c.data.c_str(), c.size);
    EXPECT_EQ(settings.PanelProgramPath(), c.expected);
  }
}

}  // namespace
