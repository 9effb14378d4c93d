// The plugged simulated device seen through the device boundary: enumeration,
// opens, HID reports acting on the device, removal, the stream-status property
// and the ksuser binding.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ks/irp_target.h"
#include "ks/ks_platform.h"
#include "platform/device_api.h"
#include "sim/device_tree.h"
#include "sim/lab_state.h"

namespace {

std::string Plug(const std::string& profile = "{}") {
  std::string error;
  EXPECT_TRUE(sim::Lab::Plug(profile, error)) << error;
  return error;
}

class DeviceTest : public testing::Test {
 protected:
  void TearDown() override { sim::Lab::Unplug(); }

  static GUID HidGuid() {
    GUID g;
    dev::HidD_GetHidGuid(&g);
    return g;
  }

  // The interface paths of one class, in enumeration order, with their flags.
  static std::vector<std::pair<std::string, DWORD>> Paths(const GUID& category, const char* enumerator = nullptr) {
    std::vector<std::pair<std::string, DWORD>> paths;
    HDEVINFO set = dev::SetupDiGetClassDevsA(&category, enumerator, nullptr,
                                             DIGCF_DEVICEINTERFACE | (enumerator ? 0 : DIGCF_PRESENT));
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {sizeof data};
    for (DWORD i = 0; dev::SetupDiEnumDeviceInterfaces(set, nullptr, &category, i, &data); ++i) {
      DWORD needed = 0;
      EXPECT_FALSE(dev::SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      std::vector<char> buffer(needed);
      auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      EXPECT_TRUE(dev::SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, nullptr));
      paths.emplace_back(detail->DevicePath, data.Flags);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    dev::SetupDiDestroyDeviceInfoList(set);
    return paths;
  }

  static HANDLE OpenFilter(const std::string& path) {
    return dev::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }
  static HANDLE OpenHid(const std::string& path, DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE) {
    return dev::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, share, nullptr, OPEN_EXISTING, 0, nullptr);
  }
};

TEST_F(DeviceTest, UnpluggedDeviceHasNoInterfacesAndNoPaths) {
  sim::Lab::Unplug();
  EXPECT_TRUE(Paths(KSCATEGORY_AUDIO).empty());
  EXPECT_TRUE(Paths(HidGuid()).empty());
  std::string path = sim::FilterPath(sim::DefaultProfile(), sim::GuidText(KSCATEGORY_AUDIO).c_str());
  EXPECT_EQ(OpenFilter(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DeviceTest, PluggedDeviceListsItsFilterWithAliasesAndOpensIt) {
  Plug();
  auto audio = Paths(KSCATEGORY_AUDIO);
  ASSERT_EQ(audio.size(), 1u);
  EXPECT_EQ(audio[0].first,
            R"(\\?\usb#vid_3f57&pid_7171&mi_01#8&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global)");
  EXPECT_EQ(audio[0].second, static_cast<DWORD>(SPINT_ACTIVE));
  EXPECT_EQ(Paths(KSCATEGORY_RENDER).size(), 1u);
  EXPECT_EQ(Paths(KSCATEGORY_CAPTURE).size(), 1u);

  CKsIrpTarget filter;
  filter.m_handle = OpenFilter(audio[0].first);
  ASSERT_TRUE(CKsIrpTarget::IsValidHandle(filter.m_handle));
  ULONG pins = 0;
  EXPECT_EQ(filter.GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof pins), S_OK);
  EXPECT_EQ(pins, 3u);
  // A KS filter takes more than one open.
  HANDLE second = OpenFilter(audio[0].first);
  EXPECT_NE(second, INVALID_HANDLE_VALUE);
  dev::CloseHandle(second);
  CKsIrpTarget::SafeCloseHandle(filter.m_handle);
}

TEST_F(DeviceTest, AliasStatesShowAsTheSystemShowsThem) {
  const struct {
    const char* state;
    BOOL found;
    DWORD flags;
  } cases[] = {
      {"enabled", TRUE, SPINT_ACTIVE},
      {"disabled", TRUE, 0},
      {"removed", TRUE, SPINT_REMOVED},
      {"absent", FALSE, 0},
  };
  for (const auto& c : cases) {
    Plug(std::string(R"({"filter": {"render_alias": ")") + c.state + "\"}}");
    HDEVINFO set = dev::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data = {sizeof data};
    ASSERT_TRUE(dev::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    SP_DEVICE_INTERFACE_DATA alias = {sizeof alias};
    EXPECT_EQ(dev::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_RENDER, &alias), c.found) << c.state;
    if (c.found) {
      EXPECT_EQ(alias.Flags, c.flags) << c.state;
    } else {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVICE_INTERFACE)) << c.state;
    }
    // The capture alias is untouched.
    EXPECT_TRUE(dev::SetupDiGetDeviceInterfaceAlias(set, &data, &KSCATEGORY_CAPTURE, &alias));
    dev::SetupDiDestroyDeviceInfoList(set);
  }
}

TEST_F(DeviceTest, DeviceNodeCarriesItsServiceAndInstanceId) {
  Plug();
  HDEVINFO set = dev::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  SP_DEVINFO_DATA node = {sizeof node};
  ASSERT_TRUE(dev::SetupDiEnumDeviceInfo(set, 0, &node));
  char service[128] = {};
  ASSERT_TRUE(dev::SetupDiGetDeviceRegistryPropertyA(set, &node, SPDRP_SERVICE, nullptr,
                                                     reinterpret_cast<PBYTE>(service), sizeof service, nullptr));
  EXPECT_STREQ(service, "ORVQ71HS");
  DWORD needed = 0;
  EXPECT_FALSE(dev::SetupDiGetDeviceInstanceIdA(set, &node, nullptr, 0, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  std::string id(needed, '\0');
  ASSERT_TRUE(dev::SetupDiGetDeviceInstanceIdA(set, &node, id.data(), needed, nullptr));
  id.resize(needed - 1);
  EXPECT_EQ(id, "USB\\VID_3F57&PID_7171&MI_01\\8&1A2B3C4D&0&0001");
  dev::SetupDiDestroyDeviceInfoList(set);
  // The instance id as enumerator selects the node's interfaces.
  EXPECT_EQ(Paths(KSCATEGORY_AUDIO, id.c_str()).size(), 1u);
  EXPECT_EQ(Paths(KSCATEGORY_AUDIO, "USB\\VID_3F57&PID_7171&MI_01\\OTHER").size(), 0u);

  // A device without a kernel service name: the property read fails.
  Plug(R"({"service": {"names": []}})");
  set = dev::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_TRUE(dev::SetupDiEnumDeviceInfo(set, 0, &node));
  EXPECT_FALSE(dev::SetupDiGetDeviceRegistryPropertyA(set, &node, SPDRP_SERVICE, nullptr,
                                                      reinterpret_cast<PBYTE>(service), sizeof service, nullptr));
  dev::SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceTest, HidReportsActOnTheDeviceAndAreLogged) {
  Plug(R"({"hid": {"others": [{"product": "0x7172"}]}})");
  auto hid = Paths(HidGuid());
  ASSERT_EQ(hid.size(), 2u);
  EXPECT_NE(hid[0].first.find("pid_7172"), std::string::npos) << "the other interface comes first";
  orvi::UniqueDeviceHandle device(OpenHid(hid[1].first));
  ASSERT_TRUE(device);
  HIDD_ATTRIBUTES attributes = {sizeof attributes};
  ASSERT_TRUE(dev::HidD_GetAttributes(device.get(), &attributes));
  EXPECT_EQ(attributes.VendorID, 0x3F57);
  EXPECT_EQ(attributes.ProductID, 0x7171);
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  ASSERT_TRUE(dev::HidD_GetPreparsedData(device.get(), &preparsed));
  HIDP_CAPS caps = {};
  EXPECT_EQ(dev::HidP_GetCaps(preparsed, &caps), HIDP_STATUS_SUCCESS);
  EXPECT_EQ(caps.OutputReportByteLength, 64);
  EXPECT_TRUE(dev::HidD_FreePreparsedData(preparsed));

  const uint32_t before = static_cast<uint32_t>(sim::Lab::Block()->hidLogCount);
  struct Step {
    std::vector<uint8_t> report;
    sim::DsdMode mode;
    LONG dop;
    LONG steps;
  };
  const Step steps[] = {
      {{0x00, 0xF6, 0x21, 0x33, 0x2E}, sim::DsdMode::kDsd128, 0, 0},  // DSD128 on
      {{0x00, 0xF5, 0x21, 0x32, 0x08}, sim::DsdMode::kDsd128, 0, 0},  // DSD64 off leaves DSD128
      {{0x00, 0xF6, 0x21, 0x33, 0x08}, sim::DsdMode::kNone, 0, 0},    // DSD128 off
      {{0x00, 0xF8, 0x21, 0x35, 0x01}, sim::DsdMode::kNone, 1, 0},    // DoP on
      {{0x00, 0xF6, 0x61, 0x01}, sim::DsdMode::kNone, 1, 1},          // Volume + pressed
      {{0x00, 0xF6, 0x61, 0x01}, sim::DsdMode::kNone, 1, 1},          // still held: no second step
      {{0x00, 0xF6, 0x61, 0x00}, sim::DsdMode::kNone, 1, 1},          // released
      {{0x00, 0xF6, 0x61, 0x02}, sim::DsdMode::kNone, 1, 0},          // Volume - pressed
  };
  for (const Step& s : steps) {
    uint8_t report[64] = {};
    std::memcpy(report, s.report.data(), s.report.size());
    DWORD written = 0;
    ASSERT_TRUE(dev::WriteFile(device.get(), report, sizeof report, &written, nullptr));
    EXPECT_EQ(written, 64u);
    EXPECT_EQ(sim::Lab::Block()->dsdMode, static_cast<LONG>(s.mode));
    EXPECT_EQ(sim::Lab::Block()->dopActive, s.dop);
    EXPECT_EQ(sim::Lab::Block()->volumeSteps, s.steps);
  }
  auto log = sim::Lab::HidReports(before);
  ASSERT_EQ(log.size(), std::size(steps));
  EXPECT_EQ(log[0].length, 64u);
  EXPECT_EQ(log[0].bytes[1], 0xF6);
  EXPECT_EQ(log[3].bytes[4], 0x01);

  // A report of the wrong length is refused and not logged.
  uint8_t shortReport[8] = {0x00, 0xF5, 0x21, 0x32, 0x2E};
  EXPECT_FALSE(dev::WriteFile(device.get(), shortReport, sizeof shortReport, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(sim::Lab::HidReports(before).size(), std::size(steps));
}

TEST_F(DeviceTest, HidHandlesFollowTheSharingRules) {
  Plug();
  std::string path = Paths(HidGuid()).at(0).first;
  orvi::UniqueDeviceHandle shared(OpenHid(path));
  ASSERT_TRUE(shared);
  orvi::UniqueDeviceHandle another(OpenHid(path));
  EXPECT_TRUE(another) << "two shared opens";
  EXPECT_EQ(OpenHid(path, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  shared.reset();
  another.reset();
  orvi::UniqueDeviceHandle exclusive(OpenHid(path, 0));
  EXPECT_TRUE(exclusive) << "alone, an exclusive open works";
  EXPECT_EQ(OpenHid(path), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(DeviceTest, RemovalFailsOpenHandlesAndNewOpens) {
  Plug();
  std::string path = Paths(KSCATEGORY_AUDIO).at(0).first;
  CKsIrpTarget filter;
  filter.m_handle = OpenFilter(path);
  ASSERT_TRUE(CKsIrpTarget::IsValidHandle(filter.m_handle));
  sim::Lab::Unplug();
  ULONG pins = 0;
  EXPECT_EQ(filter.GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof pins), E_FAIL);
  EXPECT_EQ(OpenFilter(path), INVALID_HANDLE_VALUE);
  // Plugged again, the old handle stays dead and a new one works.
  Plug();
  EXPECT_EQ(filter.GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof pins), E_FAIL);
  CKsIrpTarget fresh;
  fresh.m_handle = OpenFilter(path);
  EXPECT_EQ(fresh.GetPropertySimple(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &pins, sizeof pins), S_OK);
  CKsIrpTarget::SafeCloseHandle(fresh.m_handle);
  CKsIrpTarget::SafeCloseHandle(filter.m_handle);
}

TEST_F(DeviceTest, StreamStatusAnswersUnderTheProfilesPropertySet) {
  const GUID sets[2] = {{0xE6603581, 0x00FC, 0x4922, {0x8D, 0x34, 0x08, 0xD2, 0xBE, 0x6B, 0xF4, 0x2A}},
                        {0x8E005ACB, 0x280E, 0x48A5, {0xAE, 0xBB, 0xBA, 0xCA, 0xF9, 0x71, 0x21, 0xB5}}};
  const struct {
    const char* profile;
    bool first, second;
  } cases[] = {
      {R"({})", true, false},
      {R"({"service": {"stream_status": "second"}})", false, true},
      {R"({"service": {"stream_status": "none"}})", false, false},
  };
  for (const auto& c : cases) {
    Plug(c.profile);
    sim::LabBlock* b = sim::Lab::Block();
    b->streamActive = 1;
    b->streamChannels = 2;
    b->streamRate = 96000;
    b->streamBits = 24;
    std::string path = Paths(KSCATEGORY_AUDIO).at(0).first;
    orvi::UniqueDeviceHandle service(
        dev::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr));
    ASSERT_TRUE(service);
    for (int s = 0; s < 2; ++s) {
      uint8_t request[72] = {};
      std::memcpy(request, &sets[s], sizeof(GUID));
      ULONG id = 0x5000, flags = KSPROPERTY_TYPE_GET;
      std::memcpy(request + 16, &id, 4);
      std::memcpy(request + 20, &flags, 4);
      uint8_t reply[72] = {};
      DWORD bytes = 0;
      BOOL ok = dev::DeviceIoControl(service.get(), IOCTL_KS_PROPERTY, request, sizeof request, reply, sizeof reply,
                                     &bytes, nullptr);
      EXPECT_EQ(ok != FALSE, s == 0 ? c.first : c.second) << c.profile << " set " << s;
      if (ok) {
        LONG values[4];
        std::memcpy(values, reply + 32, sizeof values);
        EXPECT_EQ(bytes, 72u);
        EXPECT_EQ(values[0], 1);
        EXPECT_EQ(values[2], 96000);
        EXPECT_EQ(values[3], 24);
      }
    }
  }
}

TEST_F(DeviceTest, KsUserLibraryBindsToTheDeviceOrIsMissing) {
  HMODULE ksuser = dev::LoadLibraryA("ksuser.dll");
  ASSERT_NE(ksuser, nullptr);
  EXPECT_NE(dev::GetProcAddress(ksuser, "KsCreatePin"), nullptr);
  EXPECT_EQ(dev::GetProcAddress(ksuser, "KsCreateClock"), nullptr);
  sim::Lab::Block()->ksuserMissing = 1;
  EXPECT_EQ(dev::LoadLibraryA("ksuser.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  sim::Lab::Block()->ksuserMissing = 0;
  // Other libraries are the system's.
  EXPECT_EQ(dev::LoadLibraryA("kernel32.dll"), GetModuleHandleA("kernel32.dll"));
}

}  // namespace
