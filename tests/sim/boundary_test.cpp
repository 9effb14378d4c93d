// The simulated device seen through the device boundary keeps the Windows
// conventions a real driver's handle has.
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "ks/ks_platform.h"
#include "platform/device_api.h"
#include "platform/unique_handle.h"
#include "sim/device_namespace.h"
#include "sim/scripted_ks_object.h"

using sim::PropertyFault;

namespace {

constexpr char kPath[] =
    R"(\\?\usb#vid_3f57&pid_7171&mi_01#8&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\global)";

class BoundaryTest : public testing::Test {
 protected:
  void SetUp() override {
    device->SetValueOf(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, ULONG{3});
    sim::PublishPath(kPath, [this](const sim::OpenRequest& r, std::shared_ptr<sim::DeviceObject>& object) {
      if (openStatus != sim::kStatusSuccess) return openStatus;
      lastOpen = r;
      object = device;
      return sim::kStatusSuccess;
    });
  }
  void TearDown() override { sim::WithdrawPath(kPath); }

  HANDLE Open() {
    return dev::CreateFileA(kPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  }
  static KSPROPERTY Get(const GUID& set, ULONG id) {
    KSPROPERTY p = {};
    p.Set = set;
    p.Id = id;
    p.Flags = KSPROPERTY_TYPE_GET;
    return p;
  }

  std::shared_ptr<sim::ScriptedKsObject> device = std::make_shared<sim::ScriptedKsObject>();
  sim::NtStatus openStatus = sim::kStatusSuccess;
  sim::OpenRequest lastOpen;
};

TEST_F(BoundaryTest, OpensPublishedPathsInAnyCaseAndPassesTheRestToWin32) {
  std::string upper = kPath;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  HANDLE h = dev::CreateFileA(upper.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastOpen.access, static_cast<DWORD>(GENERIC_READ));
  EXPECT_EQ(lastOpen.share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_TRUE(dev::CloseHandle(h));

  SetLastError(0);
  HANDLE none = dev::CreateFileA(R"(\\?\usb#vid_3f57&pid_9999#nothing)", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
  EXPECT_EQ(none, INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), 0u);

  // Ordinary handles reach Win32: an event is closed by the real CloseHandle.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(dev::CloseHandle(event));
  EXPECT_FALSE(::CloseHandle(event));
}

TEST_F(BoundaryTest, RefusedOpensReportTheWin32Error) {
  const struct {
    sim::NtStatus status;
    DWORD error;
  } cases[] = {
      {sim::kStatusAccessDenied, ERROR_ACCESS_DENIED},
      {sim::kStatusSharingViolation, ERROR_SHARING_VIOLATION},
      {sim::kStatusObjectNameNotFound, ERROR_FILE_NOT_FOUND},
      {sim::kStatusNoSuchDevice, 433},  // ERROR_NO_SUCH_DEVICE, missing from the headers
  };
  for (const auto& c : cases) {
    openStatus = c.status;
    SetLastError(0);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), c.error);
  }
}

TEST_F(BoundaryTest, PropertyErrorsAreTheWin32CodesOfKs) {
  orvi::UniqueDeviceHandle h(Open());
  ASSERT_TRUE(h);
  const struct {
    KSPROPERTY property;
    ULONG outSize;
    DWORD error;
    DWORD bytes;
  } cases[] = {
      {Get(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES), 0, ERROR_MORE_DATA, 4},
      {Get(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES), 2, ERROR_INSUFFICIENT_BUFFER, 4},
      {Get(KSPROPSETID_Pin, KSPROPERTY_PIN_NAME), 4, ERROR_NOT_FOUND, 0},
      {Get(KSPROPSETID_Topology, KSPROPERTY_TOPOLOGY_NODES), 4, ERROR_SET_NOT_FOUND, 0},
  };
  for (const auto& c : cases) {
    ULONG value = 0;
    DWORD bytes = 0xFFFF;
    KSPROPERTY p = c.property;
    EXPECT_FALSE(dev::DeviceIoControl(h.get(), IOCTL_KS_PROPERTY, &p, sizeof p, c.outSize ? &value : nullptr,
                                      c.outSize, &bytes, nullptr));
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_EQ(bytes, c.bytes);
  }
  // A request too short to be a property.
  ULONG value = 0;
  EXPECT_FALSE(dev::DeviceIoControl(h.get(), IOCTL_KS_PROPERTY, &value, sizeof value, &value, sizeof value, nullptr,
                                    nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(BoundaryTest, PinPropertiesAnswerForThePinTheRequestNames) {
  device->SetPinValueOf(0, KSPROPERTY_PIN_DATAFLOW, KSPIN_DATAFLOW_IN);
  device->SetPinValueOf(1, KSPROPERTY_PIN_DATAFLOW, KSPIN_DATAFLOW_OUT);
  device->InjectFault({KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW, 1}, PropertyFault::Short(2));
  orvi::UniqueDeviceHandle h(Open());
  const struct {
    ULONG pin;
    BOOL ok;
    DWORD error;
    DWORD bytes;
    KSPIN_DATAFLOW flow;
  } cases[] = {
      {0, TRUE, 0, 4, KSPIN_DATAFLOW_IN},
      {1, TRUE, 0, 2, static_cast<KSPIN_DATAFLOW>(KSPIN_DATAFLOW_OUT & 0xFFFF)},  // the short answer
      {7, FALSE, ERROR_INVALID_PARAMETER, 0, static_cast<KSPIN_DATAFLOW>(0)},     // no such pin
  };
  for (const auto& c : cases) {
    KSP_PIN request = {};
    request.Property = Get(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAFLOW);
    request.PinId = c.pin;
    KSPIN_DATAFLOW flow = static_cast<KSPIN_DATAFLOW>(0);
    DWORD bytes = 0;
    SetLastError(0);
    EXPECT_EQ(dev::DeviceIoControl(h.get(), IOCTL_KS_PROPERTY, &request, sizeof request, &flow, sizeof flow, &bytes,
                                   nullptr),
              c.ok)
        << "pin " << c.pin;
    if (!c.ok) {
      EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(bytes, c.bytes) << "pin " << c.pin;
    EXPECT_EQ(flow, c.flow) << "pin " << c.pin;
  }
}

TEST_F(BoundaryTest, OverlappedRequestsCompleteThroughTheirEvent) {
  orvi::UniqueDeviceHandle h(Open());
  orvi::UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  KSPROPERTY p = Get(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES);
  ULONG count = 0;

  // Completed at once: TRUE, and the event is signalled all the same.
  OVERLAPPED ov = {};
  ov.hEvent = event.get();
  DWORD bytes = 0;
  ASSERT_TRUE(dev::DeviceIoControl(h.get(), IOCTL_KS_PROPERTY, &p, sizeof p, &count, sizeof count, &bytes, &ov));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(count, 3u);

  // Pended: ERROR_IO_PENDING, then GetOverlappedResult delivers the result.
  ResetEvent(event.get());
  count = 0;
  device->InjectFault(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, PropertyFault::Pend(10000));
  ov = {};
  ov.hEvent = event.get();
  EXPECT_FALSE(dev::DeviceIoControl(h.get(), IOCTL_KS_PROPERTY, &p, sizeof p, &count, sizeof count, nullptr, &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(GetOverlappedResult(h.get(), &ov, &bytes, TRUE));
  EXPECT_EQ(bytes, 4u);
  EXPECT_EQ(count, 3u);
}

TEST_F(BoundaryTest, ClosingTheHandleCancelsWhatIsPending) {
  HANDLE h = Open();
  orvi::UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  device->InjectFault(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, PropertyFault::Pend(60 * 1000 * 1000));
  KSPROPERTY p = Get(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES);
  ULONG count = 0;
  OVERLAPPED ov = {};
  ov.hEvent = event.get();
  EXPECT_FALSE(dev::DeviceIoControl(h, IOCTL_KS_PROPERTY, &p, sizeof p, &count, sizeof count, nullptr, &ov));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  EXPECT_TRUE(dev::CloseHandle(h));
  ASSERT_EQ(WaitForSingleObject(event.get(), 1000), WAIT_OBJECT_0);
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(h, &ov, &bytes, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(count, 0u);
  // The closed handle no longer reaches the device.
  EXPECT_FALSE(dev::DeviceIoControl(h, IOCTL_KS_PROPERTY, &p, sizeof p, &count, sizeof count, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
