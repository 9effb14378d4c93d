// Finding the device's HID interface among the system's.
#include "ks/hid_device.h"

#include <gtest/gtest.h>

#include "sim/lab_state.h"

namespace {

constexpr USHORT kUntouched = 0xBEEF;

class HidDeviceTest : public testing::Test {
 protected:
  void TearDown() override {
    CloseHidDevice(&hid);
    sim::Lab::Unplug();
  }
  void Plug(const char* profile) {
    std::string error;
    ASSERT_TRUE(sim::Lab::Plug(profile, error)) << error;
  }
  int Open(USHORT pid = 0x7171) { return OpenHidDevice(&hid, 0x3F57, pid, &input, &output); }

  HidDevice hid;
  USHORT input = kUntouched;
  USHORT output = kUntouched;
};

TEST_F(HidDeviceTest, FindsTheInterfaceWithTheIdsAndOpensItTwice) {
  const struct {
    const char* profile;
    USHORT pid;
    int found;
    USHORT inputLength, outputLength;
  } cases[] = {
      {R"({})", 0x7171, 1, 64, 64},
      {R"({"hid": {"output_report": 8, "input_report": 16}})", 0x7171, 1, 16, 8},
      {R"({"usb": {"product": "0x7170"}})", 0x7170, 1, 64, 64},  // the full-speed twin
      // Right vendor, other product: passed over, the device's own is found.
      {R"({"hid": {"others": [{"product": "0x7172"}]}})", 0x7171, 1, 64, 64},
      // Only the other product present.
      {R"({"hid": {"present": false, "others": [{"product": "0x7172"}]}})", 0x7171, 0, 0, 0},
      // The first matching interface refuses the overlapped open: the next one is taken.
      {R"({"hid": {"others": [{"product": "0x7171", "overlapped_open": false}]}})", 0x7171, 1, 64, 64},
      {R"({"hid": {"present": false}})", 0x7171, 0, 0, 0},
  };
  for (const auto& c : cases) {
    Plug(c.profile);
    input = output = kUntouched;
    EXPECT_EQ(Open(c.pid), c.found) << c.profile;
    EXPECT_EQ(input, c.inputLength) << c.profile;
    EXPECT_EQ(output, c.outputLength) << c.profile;
    EXPECT_EQ(hid.hDevice != INVALID_HANDLE_VALUE, c.found == 1) << c.profile;
    EXPECT_EQ(hid.hDeviceOverlapped != INVALID_HANDLE_VALUE, c.found == 1) << c.profile;
    CloseHidDevice(&hid);
  }
}

TEST_F(HidDeviceTest, WithNoDeviceNothingIsOpenAndTheLengthsAreZero) {
  sim::Lab::Unplug();
  EXPECT_EQ(Open(), 0);
  EXPECT_EQ(input, 0);
  EXPECT_EQ(output, 0);
  EXPECT_EQ(hid.hDevice, INVALID_HANDLE_VALUE);
  EXPECT_EQ(hid.hDeviceOverlapped, INVALID_HANDLE_VALUE);
}

TEST_F(HidDeviceTest, AnOpenRecordIsKeptAndTheLengthsAreNotWrittenAgain) {
  Plug("{}");
  ASSERT_EQ(Open(), 1);
  HANDLE first = hid.hDevice;
  input = output = kUntouched;
  EXPECT_EQ(Open(), 1);
  EXPECT_EQ(input, kUntouched);
  EXPECT_EQ(output, kUntouched);
  EXPECT_EQ(hid.hDevice, first);
}

TEST_F(HidDeviceTest, MissingLengthPointersAreRefused) {
  Plug("{}");
  SetLastError(0);
  EXPECT_EQ(OpenHidDevice(&hid, 0x3F57, 0x7171, nullptr, &output), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(OpenHidDevice(&hid, 0x3F57, 0x7171, &input, nullptr), 0);
  EXPECT_EQ(hid.hDevice, INVALID_HANDLE_VALUE);
}

}  // namespace
