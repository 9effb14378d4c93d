// The built driver DLL as COM loads it: its exports, its version resource, its
// class factory and the driver objects the factory makes.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asio/asio_interface.h"
#include "sim/lab_state.h"

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

constexpr GUID kSomeClass = {0x6b2e4c1d, 0x0f3a, 0x4d5e, {0x9a, 0x8b, 0x7c, 0x6d, 0x5e, 0x4f, 0x3a, 0x2b}};

class DriverDllTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::Lab::Reset();
    module = LoadLibraryA(ORVI_DRIVER_DLL);
    ASSERT_NE(module, nullptr) << ORVI_DRIVER_DLL << " (error " << GetLastError() << ")";
    getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    canUnloadNow =
        reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    ASSERT_NE(getClassObject, nullptr);
    ASSERT_NE(canUnloadNow, nullptr);
  }
  void TearDown() override {
    // Objects a failed test left would run code of an unloaded DLL.
    if (module && canUnloadNow && canUnloadNow() == S_OK) FreeLibrary(module);
    sim::Lab::Reset();
  }

  IClassFactory* Factory(REFCLSID clsid = kSomeClass) {
    void* p = nullptr;
    EXPECT_EQ(getClassObject(clsid, IID_IClassFactory, &p), S_OK);
    EXPECT_NE(p, nullptr);
    return static_cast<IClassFactory*>(p);
  }

  HMODULE module = nullptr;
  GetClassObjectFn getClassObject = nullptr;
  CanUnloadNowFn canUnloadNow = nullptr;
};

// Names the module exports, from its export directory.
std::vector<std::string> ExportedNames(HMODULE module) {
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  std::vector<std::string> names;
  if (dir.VirtualAddress == 0) return names;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* nameRvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
  std::sort(names.begin(), names.end());
  if (exports->NumberOfFunctions != exports->NumberOfNames) names.emplace_back("(exports by ordinal only)");
  return names;
}

TEST_F(DriverDllTest, ExportsTheEntryPointsOnly) {
  EXPECT_EQ(ExportedNames(module), (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject", "DllMain",
                                                             "DllRegisterServer", "DllUnregisterServer"}));
}

TEST(DriverDllVersion, ResourceNamesTheProductAndVersion) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(ORVI_DRIVER_DLL, &ignored);
  ASSERT_NE(size, 0u) << ORVI_DRIVER_DLL;
  std::vector<char> info(size);
  ASSERT_TRUE(GetFileVersionInfoA(ORVI_DRIVER_DLL, 0, size, info.data()));

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  ASSERT_GE(length, sizeof *fixed);
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(7, 1));
  EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(1, 123));
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(7, 1));
  EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(1, 123));
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

  // The strings are found through the translation the resource declares.
  struct Translation {
    WORD language, codePage;
  }* translation = nullptr;
  ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                             &length));
  ASSERT_GE(length, sizeof *translation);
  char block[64];
  wsprintfA(block, "\\StringFileInfo\\%04x%04x\\", translation->language, translation->codePage);

  struct Expected {
    const char* name;
    const char* value;
  };
  const Expected expected[] = {
      {"FileDescription", "Orvi Q-72 ASIO driver"},
      {"ProductName", "Orvi Q-72 USB Audio Product"},
      {"InternalName", "OrviQ72ASIO.dll"},
      {"OriginalFilename", "OrviQ72ASIO.dll"},
      {"FileVersion", "1, 7, 123, 1"},
      {"ProductVersion", "1, 7, 123, 1"},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.name);
    char* value = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), (std::string(block) + e.name).c_str(), reinterpret_cast<void**>(&value),
                               &length));
    EXPECT_STREQ(value, e.value);
  }
}

// The driver's class identifier is made at registration: the DLL cannot know
// it and serves any.
TEST_F(DriverDllTest, ClassObjectForAnyClassKeepsTheDllLoadedWhileHeld) {
  GUID random;
  ASSERT_EQ(CoCreateGuid(&random), S_OK);
  for (const GUID& clsid : {kSomeClass, random, GUID_NULL}) {
    EXPECT_EQ(canUnloadNow(), S_OK);
    IClassFactory* factory = Factory(clsid);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(canUnloadNow(), S_FALSE);

    IUnknown* unknown = nullptr;
    ASSERT_EQ(factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    IClassFactory* again = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&again)), S_OK);
    EXPECT_EQ(again, factory);
    IUnknown* unknownAgain = nullptr;
    ASSERT_EQ(again->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknownAgain)), S_OK);
    EXPECT_EQ(unknownAgain, unknown) << "one identity";
    unknownAgain->Release();
    again->Release();
    unknown->Release();
    EXPECT_EQ(canUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->Release(), 0u);
    EXPECT_EQ(canUnloadNow(), S_OK);
  }
}

TEST_F(DriverDllTest, ClassObjectRefusesOtherInterfacesWithoutLeaking) {
  for (const IID& iid : {IID_IStream, IID_IPersist, static_cast<const IID&>(kSomeClass)}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(getClassObject(kSomeClass, iid, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(canUnloadNow(), S_OK) << "the factory went away";
  }
  EXPECT_EQ(getClassObject(kSomeClass, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(canUnloadNow(), S_OK);

  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->QueryInterface(IID_IStream, &p), E_FAIL);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->Release(), 0u);
}

TEST_F(DriverDllTest, LockServerKeepsTheDllLoadedUntilUnlocked) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow(), S_FALSE) << "locked, no object";

  factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow(), S_OK);

  // An unlock too many must not make the next lock count for nothing.
  factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow(), S_FALSE);
  factory = Factory();
  ASSERT_NE(factory, nullptr);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory->Release();
  EXPECT_EQ(canUnloadNow(), S_OK);
}

TEST_F(DriverDllTest, WithoutADeviceNoDriverObjectIsMade) {
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  for (const IID& iid : {static_cast<const IID&>(kSomeClass), IID_IUnknown}) {
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, iid, &p), E_FAIL);
    EXPECT_EQ(p, nullptr);
  }
  EXPECT_EQ(factory->CreateInstance(nullptr, kSomeClass, nullptr), E_POINTER);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(canUnloadNow(), S_OK) << "the driver objects were destroyed";
}

TEST_F(DriverDllTest, DriverObjectForThePluggedDevice) {
  std::string error;
  ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);

  void* p = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, kSomeClass, &p), S_OK) << "the class identifier asks for IASIO";
  ASSERT_NE(p, nullptr);
  auto* driver = static_cast<IASIO*>(p);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(canUnloadNow(), S_FALSE) << "the driver object is alive";

  IUnknown* unknown = nullptr;
  EXPECT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  if (unknown) unknown->Release();
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);

  EXPECT_EQ(driver->Release(), 0u);
  EXPECT_EQ(canUnloadNow(), S_OK) << "the last reference destroyed it";
}

// An outer object would hold the driver's references, so it could not be
// destroyed when it finds no device: aggregation is refused.
TEST_F(DriverDllTest, DriverObjectCannotBeAggregated) {
  std::string error;
  ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
  IClassFactory* factory = Factory();
  ASSERT_NE(factory, nullptr);
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(factory, IID_IUnknown, &p), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(canUnloadNow(), S_OK);
}

}  // namespace
