// The built driver DLLs registered the way an installer does, with the 64-bit
// regsvr32, under the real product name, and created the way a host does,
// through COM with the identifier the registration made.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "asio/asio_interface.h"
#include "asio/registration.h"
#include "sim/lab_state.h"
#include "tests/support/peer_process.h"

namespace {

using orvi::test::ProgramResult;
using orvi::test::RunProgram;

const std::string kEntryKey = std::string("Software\\ASIO\\") + ORVI_DRIVER_PRODUCT;

std::string ReadString(HKEY root, const std::string& key, const char* name) {
  char value[1024];
  DWORD size = sizeof value;
  if (RegGetValueA(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS) return {};
  return value;
}

bool KeyExists(HKEY root, const std::string& key) {
  HKEY h = nullptr;
  if (RegOpenKeyExA(root, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
  RegCloseKey(h);
  return true;
}

class DriverRegistrationTest : public testing::Test {
 protected:
  void SetUp() override { sim::Lab::Reset(); }
  void TearDown() override {
    if (CoInitialized) CoUninitialize();
    orvi::UnregisterDriver(ORVI_DRIVER_PRODUCT);
    sim::Lab::Reset();
  }

  // Runs regsvr32 silently on `dll`; its exit code is what Dll(Un)RegisterServer
  // returned, as regsvr32 reports it.
  void Regsvr32(const std::string& options, const std::string& dll) {
    ProgramResult result;
    const std::string command = "C:\\windows\\system32\\regsvr32.exe " + options + " \"" + dll + "\"";
    ASSERT_TRUE(RunProgram(command, result)) << command;
    ASSERT_EQ(result.exitCode, 0u) << command << ": " << result.output;
  }

  // The class the driver list names for the product, with both keys checked.
  void ExpectRegistered(const std::string& dll, CLSID& clsid) {
    const std::string text = ReadString(HKEY_LOCAL_MACHINE, kEntryKey, "CLSID");
    ASSERT_EQ(text.size(), 38u) << "HKLM\\" << kEntryKey << " names no class";
    ASSERT_EQ(CLSIDFromString(std::wstring(text.begin(), text.end()).c_str(), &clsid), NOERROR);
    EXPECT_EQ(lstrcmpiA(ReadString(HKEY_LOCAL_MACHINE, kEntryKey, "Driver").c_str(), dll.c_str()), 0)
        << ReadString(HKEY_LOCAL_MACHINE, kEntryKey, "Driver");
    const std::string classKey = "CLSID\\" + text;
    EXPECT_EQ(lstrcmpiA(ReadString(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", nullptr).c_str(), dll.c_str()),
              0);
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, classKey + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(ReadString(HKEY_CLASSES_ROOT, classKey, "FriendlyName"), ORVI_DRIVER_PRODUCT);
  }

  void ExpectUnregistered(const CLSID& clsid) {
    wchar_t text[39];
    StringFromGUID2(clsid, text, 39);
    const std::wstring wide(text);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kEntryKey));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "CLSID\\" + std::string(wide.begin(), wide.end())));
  }

  // What a host does: the class from the driver list, IASIO asked for by the
  // same identifier.
  HRESULT CreateDriver(const CLSID& clsid, IASIO** driver) {
    if (!CoInitialized) {
      EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
      CoInitialized = true;
    }
    *driver = nullptr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, reinterpret_cast<void**>(driver));
  }

  bool CoInitialized = false;
};

TEST_F(DriverRegistrationTest, Regsvr32RegistersAndUnregistersTheDriver) {
  Regsvr32("/s", ORVI_DRIVER_DLL);
  CLSID clsid = GUID_NULL;
  ASSERT_NO_FATAL_FAILURE(ExpectRegistered(ORVI_DRIVER_DLL, clsid));

  IASIO* driver = nullptr;
  EXPECT_EQ(CreateDriver(clsid, &driver), E_FAIL) << "no device plugged";
  EXPECT_EQ(driver, nullptr);

  Regsvr32("/u /s", ORVI_DRIVER_DLL);
  ExpectUnregistered(clsid);
}

TEST_F(DriverRegistrationTest, HostCreatesTheRegisteredDriverForThePluggedDevice) {
  Regsvr32("/s", ORVI_DRIVER_DLL);
  CLSID clsid = GUID_NULL;
  ASSERT_NO_FATAL_FAILURE(ExpectRegistered(ORVI_DRIVER_DLL, clsid));
  std::string error;
  ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;

  IASIO* driver = nullptr;
  ASSERT_EQ(CreateDriver(clsid, &driver), S_OK);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->Release(), 0u);
}

// The release build is not tested by a tree of its own: its DLL is registered
// here and created through COM. Under Wine there is no device for it, so
// creation fails after the DLL was loaded and its factory ran.
TEST_F(DriverRegistrationTest, ReleaseDriverRegistersAndFindsNoDevice) {
  const std::string dll = ORVI_RELEASE_DRIVER_DLL;
  if (dll.empty()) GTEST_SKIP() << "no release tree configured (ORVI_RELEASE_TREE)";
  if (GetFileAttributesA(dll.c_str()) == INVALID_FILE_ATTRIBUTES)
    GTEST_SKIP() << dll << " is not built: build the release-x64 preset first";

  Regsvr32("/s", dll);
  CLSID clsid = GUID_NULL;
  ASSERT_NO_FATAL_FAILURE(ExpectRegistered(dll, clsid));

  IASIO* driver = nullptr;
  EXPECT_EQ(CreateDriver(clsid, &driver), E_FAIL);
  EXPECT_EQ(driver, nullptr);
  EXPECT_NE(GetModuleHandleA(dll.c_str()), nullptr) << "COM loaded the release DLL, not some other";

  Regsvr32("/u /s", dll);
  ExpectUnregistered(clsid);
}

// The host tool, as a host would, on the registered lab driver and the default
// simulated device: the figures a host bases its buffers on.
TEST_F(DriverRegistrationTest, HostToolReportsTheRegisteredDriver) {
  Regsvr32("/s", ORVI_DRIVER_DLL);
  const std::string tool = std::string("\"") + ASIOHOST_EXE + "\" ";
  ProgramResult result;
  ASSERT_TRUE(RunProgram(tool + "info", result));
  EXPECT_EQ(result.exitCode, 3u) << result.output;
  EXPECT_NE(result.output.find("is the device connected?"), std::string::npos) << result.output;

  std::string error;
  ASSERT_TRUE(sim::Lab::Plug("{}", error)) << error;
  const struct {
    const char* rate;
    std::vector<std::string> lines;
  } cases[] = {
      {"48000",
       {"channels        inputs 2  outputs 2", "latencies       input 480  output 480",
        "buffer size     min 96  max 28800  preferred 480  granularity 48", "sample rate     48000"}},
      {"44100",
       {"latencies       input 440  output 440", "buffer size     min 88  max 26460  preferred 441  granularity 44"}},
      {"2822400",
       {"buffer size     min 28224  max 282240  preferred 28224  granularity 28224", "sample rate     2822400",
        "ASIOSTDSDInt8MSB1"}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(RunProgram(tool + "info --rate " + c.rate, result));
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    for (const std::string& line : c.lines) EXPECT_NE(result.output.find(line), std::string::npos) << line << "\n" << result.output;
  }
  ASSERT_TRUE(RunProgram(tool + "info --rate 22050", result));
  EXPECT_EQ(result.exitCode, 4u) << result.output;
  EXPECT_NE(result.output.find("ASE_NotPresent"), std::string::npos) << result.output;
}

}  // namespace
