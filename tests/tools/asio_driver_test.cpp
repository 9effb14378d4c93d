// Creating, initializing and releasing a driver through COM. The fake driver
// is served by a class object registered in this process, so CoCreateInstance
// takes the same path it takes for a driver DLL.
#include "tools/asiohost/asio_driver.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/tools/fake_asio_driver.h"

namespace {

using orvi::host::AsioDriver;
using orvi::host::CreateFailureMessage;
using orvi::test::FakeAsioDriver;

// {6A0C1E55-2F7B-4C1D-9E3A-55B0C7D2E811}, this test's own.
constexpr CLSID kFakeClass = {0x6a0c1e55, 0x2f7b, 0x4c1d, {0x9e, 0x3a, 0x55, 0xb0, 0xc7, 0xd2, 0xe8, 0x11}};

class FakeFactory : public orvi::test::StaticClassFactory {
 public:
  FakeAsioDriver* product = nullptr;
  HRESULT createAnswer = S_OK;
  IID askedFor{};

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID iid, void** out) override {
    askedFor = iid;
    *out = nullptr;
    if (FAILED(createAnswer)) return createAnswer;
    product->AddRef();
    *out = static_cast<IASIO*>(product);
    return S_OK;
  }
};

class AsioDriverTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    factory.product = &fake;
    ASSERT_EQ(CoRegisterClassObject(kFakeClass, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie), S_OK);
  }
  void TearDown() override {
    CoRevokeClassObject(cookie);
    CoUninitialize();
  }
  FakeAsioDriver fake;
  FakeFactory factory;
  DWORD cookie = 0;
};

TEST_F(AsioDriverTest, OpensWithTheClassAsInterfaceAndReleasesOnClose) {
  AsioDriver driver;
  std::string error;
  ASSERT_TRUE(driver.Open("Fake", kFakeClass, error)) << error;
  EXPECT_EQ(driver.get(), static_cast<IASIO*>(&fake));
  EXPECT_TRUE(IsEqualGUID(factory.askedFor, kFakeClass)) << "the driver's interface id is its class id";
  EXPECT_EQ(fake.refs, 2);
  driver.Close();
  EXPECT_EQ(driver.get(), nullptr);
  EXPECT_EQ(fake.refs, 1);
  driver.Close();
  EXPECT_EQ(fake.refs, 1) << "a second Close releases nothing";
}

TEST_F(AsioDriverTest, DestructionReleasesTheDriver) {
  {
    AsioDriver driver;
    std::string error;
    ASSERT_TRUE(driver.Open("Fake", kFakeClass, error)) << error;
  }
  EXPECT_EQ(fake.refs, 1);
}

TEST_F(AsioDriverTest, DriverThatDoesNotInitializeIsReleasedAndItsMessageShown) {
  fake.initAnswer = ASIOFalse;
  fake.errorMessage = std::string("device not connected", 21);
  AsioDriver driver;
  std::string error;
  EXPECT_FALSE(driver.Open("Fake", kFakeClass, error));
  EXPECT_EQ(error, "driver Fake did not initialize: device not connected");
  EXPECT_EQ(driver.get(), nullptr);
  EXPECT_EQ(fake.refs, 1);
}

TEST_F(AsioDriverTest, ClassThatFailsToCreateIsReported) {
  factory.createAnswer = E_FAIL;
  AsioDriver driver;
  std::string error;
  EXPECT_FALSE(driver.Open("OrviQ72", kFakeClass, error));
  EXPECT_EQ(error, "driver OrviQ72: cannot create it (0x80004005); is the device connected?");
  EXPECT_EQ(driver.get(), nullptr);
}

TEST(CreateFailureMessage, SaysWhatTheResultMostLikelyMeans) {
  const std::pair<HRESULT, const char*> kCases[] = {
      {E_FAIL, "driver D: cannot create it (0x80004005); is the device connected?"},
      {REGDB_E_CLASSNOTREG, "driver D: class not registered (0x80040154); is the driver DLL registered (regsvr32)?"},
      {E_NOINTERFACE, "driver D: the class does not offer the ASIO interface (0x80004002)"},
      {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "driver D: its DLL cannot be found (0x8007007E)"},
      {E_ACCESSDENIED, "driver D: its DLL cannot be loaded, or access to it was denied (0x80070005)"},
      {HRESULT_FROM_WIN32(ERROR_BAD_EXE_FORMAT), "driver D: its DLL is not for this architecture (0x800700C1)"},
      {static_cast<HRESULT>(0x80001234), "driver D: cannot create it (0x80001234)"},
  };
  for (const auto& [hr, message] : kCases) EXPECT_EQ(CreateFailureMessage("D", hr), message);
}

}  // namespace
