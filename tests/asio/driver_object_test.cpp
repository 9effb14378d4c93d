// The driver object as a host meets it: discovery, init, the answers of IASIO,
// rates, the status block it publishes and the settings it keeps.
#include "asio/asio_sample.h"

#include <windows.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/status_block.h"
#include "ks/ks_aud_filter.h"
#include "platform/mapped_view.h"
#include "platform/registry_key.h"
#include "sim/device_model.h"
#include "sim/pin_instance.h"
#include "sim/lab_state.h"
#include "tests/asio/driver_fixture.h"
#include "tests/support/peer_process.h"

namespace {

using namespace orvi::test;
using orvi::CAsioSample;
using orvi::DriverStatusBlock;

// --- device paths and depths ---

TEST(DevicePathTest, AcceptsOnlyListedDevicesWithAnInterfaceNumber) {
  const struct {
    const char* path;
    bool accepted;
    USHORT product;
  } cases[] = {
      {R"(\\?\usb#vid_3f57&pid_7171&mi_01#8&1a2b&0&0001#{guid}\global)", true, 0x7171},
      {R"(\\?\USB#VID_3F57&PID_7170&MI_00#x)", true, 0x7170},
      {R"(\\?\usb#vid_3f57&pid_7171#8&1a2b&0&0001#{guid}\global)", false, 0},  // no MI_
      {R"(\\?\usb#vid_3f57&pid_7172&mi_01#x)", false, 0},                      // product not listed
      {R"(\\?\usb#vid_1234&pid_7171&mi_01#x)", false, 0},                      // vendor not listed
      {R"(\\?\usb#vid_3f5&pid_7171&mi_01#x)", false, 0},                       // three digits
      {R"(\\?\usb#vid_3f57&pid_71)", false, 0},                                // ends early
      {R"(\\?\usb#pid_7171&mi_01#x)", false, 0},                               // no VID_
      {"", false, 0},
      {nullptr, false, 0},
  };
  for (const auto& c : cases) {
    USHORT vid = 0;
    USHORT pid = 0;
    EXPECT_EQ(orvi::MatchDevicePath(c.path, &vid, &pid), c.accepted) << (c.path ? c.path : "(null)");
    if (c.accepted) {
      EXPECT_EQ(vid, 0x3F57);
      EXPECT_EQ(pid, c.product);
    }
  }
}

TEST(DevicePathTest, HighestDepthOfAMask) {
  const std::pair<uint8_t, uint32_t> cases[] = {{0, 0},   {1, 8},   {2, 16},  {3, 16},  {4, 24},
                                                {6, 24},  {7, 24},  {8, 32},  {14, 32}, {15, 32}};
  for (auto [mask, bits] : cases) EXPECT_EQ(orvi::HighestDepth(mask), bits) << int{mask};
}

// --- discovery ---

TEST_F(DriverTest, DiscoveryFindsTheDeviceAndClaimsTheBlock) {
  Plug();
  Driver d = Create();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->State(), 1u);
  EXPECT_EQ(d->DepthMask(), 0b1110);
  EXPECT_EQ(d->VendorId(), 0x3F57);
  EXPECT_EQ(d->ProductId(), 0x7171);
  char name[40];
  std::memset(name, 'x', sizeof name);
  d->getDriverName(name);
  EXPECT_STREQ(name, product.c_str()) << "a filter without a friendly name goes by the product identifier";

  PanelView panel = Panel();
  ASSERT_TRUE(panel.view);
  EXPECT_EQ(panel.b().dwState, 1u);
  EXPECT_TRUE(OwnerIs(panel.b(), clsid));
  EXPECT_STREQ(panel.b().szDeviceName, product.c_str());
  EXPECT_EQ(d->getChannels(nullptr, nullptr), ASE_NotPresent) << "nothing to report before init";
}

TEST_F(DriverTest, DiscoveryByProfile) {
  const struct {
    const char* profile;
    HRESULT result;
    uint8_t mask;
  } cases[] = {
      {R"({"usb": {"product": "0x7170"}})", S_OK, 0b1110},
      {R"({"usb": {"vendor": "0x1234"}})", E_FAIL, 0},
      {R"({"usb": {"product": "0x7172"}})", E_FAIL, 0},
      {R"({"filter": {"pins": [
          {"communication": "sink", "dataflow": "in", "ranges": [{"bits": [16, 24]}]},
          {"communication": "sink", "dataflow": "out", "ranges": [{"bits": [16, 24]}]}]}})",
       S_OK, 0b0110},
      // The capture pin must take a depth as well.
      {R"({"filter": {"pins": [
          {"communication": "sink", "dataflow": "in", "ranges": [{"bits": [16, 32]}]},
          {"communication": "sink", "dataflow": "out", "ranges": [{"bits": [24, 24]}]}]}})",
       S_OK, 0b0100},
      {R"({"filter": {"pins": [
          {"communication": "sink", "dataflow": "in", "ranges": [{"bits": [8, 8]}]},
          {"communication": "sink", "dataflow": "out", "ranges": [{"bits": [16, 32]}]}]}})",
       E_FAIL, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.profile);
    Plug(c.profile);
    Driver d;
    EXPECT_EQ(Create(d, clsid), c.result);
    if (d) {
      EXPECT_EQ(d->DepthMask(), c.mask);
    }
    d.reset();
    sim::Lab::Reset();
  }
}

TEST_F(DriverTest, NoDeviceFailsAndLeavesTheBlockUnowned) {
  Driver d;
  EXPECT_EQ(Create(d, clsid), E_FAIL);
  PanelView panel = Panel();
  ASSERT_TRUE(panel.view) << "the block stays for the process";
  EXPECT_EQ(panel.b().dwState, 0u);
  EXPECT_TRUE(OwnerIs(panel.b(), GUID{}));
}

// --- init and its choices ---

TEST_F(DriverTest, FirstInitPicksTheLowestRateAndHighestDepthAndPublishes) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->State(), 2u);
  long in = -1;
  long out = -1;
  EXPECT_EQ(d->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 2);
  EXPECT_EQ(out, 2);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 32000.0) << "no settings key: the lowest rate both directions carry";
  EXPECT_EQ(d->Bits(), 32u);
  EXPECT_EQ(d->getDriverVersion(), 2);

  PanelView panel = Panel();
  const DriverStatusBlock& b = panel.b();
  EXPECT_EQ(b.dwState, 2u);
  EXPECT_EQ(b.dwSupportedBits, 0b1110u);
  EXPECT_EQ(b.dwSupportedRates, 0x1FFu);
  EXPECT_EQ(b.dwSampleRate, 32000u);
  EXPECT_EQ(b.dwBitsPerSample, 32u);
  EXPECT_EQ(b.dwBufferSize, 100u);
}

TEST_F(DriverTest, BufferSizesAndLatenciesFollowTheRate) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  const struct {
    double rate;
    long min, max, preferred, granularity, input, output;
  } cases[] = {
      {48000, 96, 28800, 480, 48, 480, 480},
      {44100, 88, 26460, 441, 44, 440, 440},  // 44 frames per millisecond for latencies
      {384000, 768, 230400, 3840, 384, 3840, 3840},
      {2822400, 28224, 282240, 28224, 28224, 882, 882},  // DSD64 at its 88200 Hz carrier
      {5644800, 56448, 564480, 56448, 56448, 1764, 1764},
      {11289600, 112896, 1128960, 112896, 112896, 3528, 3528},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    ASSERT_EQ(d->setSampleRate(c.rate), ASE_OK);
    long v[4] = {-1, -1, -1, -1};
    EXPECT_EQ(d->getBufferSize(&v[0], &v[1], &v[2], &v[3]), ASE_OK);
    EXPECT_EQ(v[0], c.min);
    EXPECT_EQ(v[1], c.max);
    EXPECT_EQ(v[2], c.preferred);
    EXPECT_EQ(v[3], c.granularity);
    long in = -1;
    long out = -1;
    EXPECT_EQ(d->getLatencies(&in, &out), ASE_OK);
    EXPECT_EQ(in, c.input);
    EXPECT_EQ(out, c.output);
  }
  EXPECT_EQ(d->getBufferSize(nullptr, nullptr, nullptr, nullptr), ASE_OK) << "every pointer is optional";
}

TEST_F(DriverTest, SettingsFromTheRegistryShapeInit) {
  const struct {
    const char* profile;
    std::vector<std::pair<const char*, DWORD>> values;
    uint32_t rate, bits;
    long preferred;
    uint32_t publishedBufferSize;
  } cases[] = {
      {"{}", {{"SampleRate", 96000}, {"BitsPerSample", 24}, {"BufferSize", 50}}, 96000, 24, 480, 50},
      // A key without "BitsPerSample" means 16; without "SampleRate" 44100.
      {"{}", {{"BufferSize", 100}}, 44100, 16, 441, 100},
      // A depth the device lacks gives its highest.
      {kBits16And24, {{"BitsPerSample", 32}}, 44100, 24, 441, 100},
      // A rate outside the table is forgotten: the lowest usable one instead.
      {"{}", {{"SampleRate", 22050}}, 32000, 16, 320, 100},
      // A buffer size beyond what the panel offers is held to the longest.
      {"{}", {{"BufferSize", 90000}}, 44100, 16, 26460, 6000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.values.front().first);
    NewProduct();
    Plug(c.profile);
    for (auto [name, value] : c.values) WriteSetting(name, value);
    Driver d = CreateAndInit();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->CarrierRate(), c.rate);
    EXPECT_EQ(d->Bits(), c.bits);
    long preferred = 0;
    EXPECT_EQ(d->getBufferSize(nullptr, nullptr, &preferred, nullptr), ASE_OK);
    EXPECT_EQ(preferred, c.preferred);
    PanelView panel = Panel();
    const DriverStatusBlock& b = panel.b();
    EXPECT_EQ(b.dwBufferSize, c.publishedBufferSize);
    EXPECT_EQ(b.dwSampleRate, c.rate);
    EXPECT_EQ(b.dwBitsPerSample, c.bits);
    d.reset();
    sim::Lab::Reset();
  }
}

TEST_F(DriverTest, DestructionSavesTheRateAndTheBlockSettings) {
  Plug();
  WriteSetting("BufferSize", 100);
  {
    Driver d = CreateAndInit();
    ASSERT_TRUE(d);
    ASSERT_EQ(d->setSampleRate(192000), ASE_OK);
    Panel().b().dwBufferSizeSetting = 250;  // the panel's choice
  }
  DWORD rate = 0;
  DWORD buffer = 0;
  ASSERT_TRUE(ReadSetting("SampleRate", rate));
  EXPECT_EQ(rate, 192000u);
  ASSERT_TRUE(ReadSetting("BufferSize", buffer));
  EXPECT_EQ(buffer, 250u);
  PanelView panel = Panel();
  const DriverStatusBlock& b = panel.b();
  EXPECT_EQ(b.dwState, 0u);
  EXPECT_TRUE(OwnerIs(b, GUID{}));
}

TEST_F(DriverTest, PanelWritesArePickedUpAtTheNextInit) {
  Plug();
  WriteSetting("SampleRate", 48000);
  {
    Driver first = CreateAndInit();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->Bits(), 16u);
    // The panel changes buffer length and depth while the host runs.
    PanelView panel = Panel();
    DriverStatusBlock& b = panel.b();
    b.dwBufferSizeSetting = 200;
    b.dwBitsSetting = 24;
    b.dwChanged = 1;
  }
  // The host loads the driver again in the same process: the block (kept for
  // the process) still holds the panel's settings.
  Driver second = CreateAndInit();
  ASSERT_TRUE(second);
  EXPECT_EQ(second->Bits(), 24u);
  long preferred = 0;
  EXPECT_EQ(second->getBufferSize(nullptr, nullptr, &preferred, nullptr), ASE_OK);
  EXPECT_EQ(preferred, 960) << "20 ms at 48000 Hz";
}

TEST_F(DriverTest, InitFailsWhenTheFilterCannotBeOpenedAndStaysLoaded) {
  Plug();
  Driver d = Create();
  ASSERT_TRUE(d);
  sim::Lab::Unplug();
  EXPECT_EQ(d->init(nullptr), ASIOFalse);
  EXPECT_EQ(d->State(), 1u);
  EXPECT_EQ(d->getChannels(nullptr, nullptr), ASE_NotPresent);
  EXPECT_EQ(d->canSampleRate(44100), ASE_NotPresent);
  EXPECT_EQ(d->getSampleRate(nullptr), ASE_NotPresent);
  long in = 7;
  long out = 7;
  EXPECT_EQ(d->getLatencies(&in, &out), ASE_NotPresent);
  EXPECT_EQ(in, 0);
  EXPECT_EQ(out, 0);
  // Back again, the same object initializes.
  Plug();
  EXPECT_EQ(d->init(nullptr), ASIOTrue);
  EXPECT_EQ(d->State(), 2u);
}

// --- rates ---

TEST_F(DriverTest, CanSampleRateAnswers) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  const std::pair<double, ASIOError> cases[] = {
      {32000, ASE_OK},         {44100, ASE_OK},          {44100.7, ASE_OK},  // truncated
      {384000, ASE_OK},        {22050, ASE_NotPresent},  {0, ASE_NotPresent},
      {-44100, ASE_NotPresent}, {NAN, ASE_NotPresent},   {1e300, ASE_NotPresent},
      {2822400, ASE_OK},       {5644800, ASE_OK},        {11289600, ASE_OK},
      {2822400.5, ASE_NotPresent},
  };
  for (auto [rate, result] : cases) EXPECT_EQ(d->canSampleRate(rate), result) << rate;
}

TEST_F(DriverTest, DsdRatesNeed32BitsAndAnOwnedBlock) {
  Plug(kBits16And24);
  {
    Driver d = CreateAndInit();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->canSampleRate(2822400), ASE_NoClock);
    EXPECT_EQ(d->setSampleRate(2822400), ASE_NoClock);
    EXPECT_EQ(d->canSampleRate(88200), ASE_OK);
  }
  sim::Lab::Reset();
  NewProduct();
  Plug();
  // Another driver class owns the block: ours cannot publish DSD.
  orvi::CStatusBlock stranger(NewClass(), product);
  stranger.OpenOrCreate();
  ASSERT_TRUE(stranger.Claim());
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->canSampleRate(2822400), ASE_NoClock);
  EXPECT_EQ(d->canSampleRate(96000), ASE_OK);
}

TEST_F(DriverTest, PlaybackOnlyDeviceOffersTheRatesOfItsRenderPin) {
  Plug(R"({"filter": {"capture_alias": "absent", "pins": [
      {"communication": "sink", "dataflow": "in", "ranges": [{"rates": [44100, 192000]}]}]}})");
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  long in = -1;
  long out = -1;
  EXPECT_EQ(d->getChannels(&in, &out), ASE_OK);
  EXPECT_EQ(in, 0);
  EXPECT_EQ(out, 2);
  for (uint32_t rate : orvi::kRateTable) {
    const bool offered = rate >= 44100 && rate <= 192000;
    EXPECT_EQ(d->canSampleRate(rate), offered ? ASE_OK : ASE_NotPresent) << rate;
  }
  EXPECT_EQ(d->CarrierRate(), 44100u) << "the lowest rate the render pin carries";
  EXPECT_EQ(Panel().b().dwSupportedRates, 0b001111110u);
}

TEST_F(DriverTest, SetSampleRateMovesDsdToItsCarrier) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  PanelView panel = Panel();
  DriverStatusBlock& b = panel.b();
  ASSERT_EQ(d->setSampleRate(2822400), ASE_OK);
  EXPECT_EQ(d->CarrierRate(), 88200u);
  EXPECT_EQ(b.dwSampleRate, 88200u);
  ASIOSampleRate rate = 0;
  EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 2822400.0);

  // The same carrier as PCM is still a change of the host's rate.
  b.dwChanged = 0;
  ASSERT_EQ(d->setSampleRate(88200), ASE_OK);
  EXPECT_EQ(b.dwChanged, 1u);
  EXPECT_EQ(d->getSampleRate(&rate), ASE_OK);
  EXPECT_EQ(rate, 88200.0);

  // The current rate again changes nothing.
  b.dwChanged = 0;
  ASSERT_EQ(d->setSampleRate(88200), ASE_OK);
  EXPECT_EQ(b.dwChanged, 0u);
  // A refused rate leaves everything as it was.
  EXPECT_EQ(d->setSampleRate(22050), ASE_NotPresent);
  EXPECT_EQ(d->CarrierRate(), 88200u);
}

// --- channels and clocks ---

TEST_F(DriverTest, ChannelInfoNamesTypesAndGroups) {
  Plug(R"({"filter": {"pins": [
      {"communication": "sink", "dataflow": "in", "ranges": [{"channels": 4}]},
      {"communication": "sink", "dataflow": "out", "ranges": [{"channels": 2}]}]}})");
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  const struct {
    long channel;
    bool input;
    ASIOError result;
    const char* suffix;
    long group;
  } cases[] = {
      {0, false, ASE_OK, "_OUT_L", 0},          {1, false, ASE_OK, "_OUT_R", 0},
      {2, false, ASE_OK, "_OUT_R", 0},          {3, false, ASE_OK, "_OUT_R", 0},
      {0, true, ASE_OK, "_IN_L", 1},            {1, true, ASE_OK, "_IN_R", 1},
      {4, false, ASE_InvalidParameter, "", 0},  {2, true, ASE_InvalidParameter, "", 0},
      {-1, false, ASE_InvalidParameter, "", 0},
  };
  for (const auto& c : cases) {
    ASIOChannelInfo info{};
    info.channel = c.channel;
    info.isInput = c.input ? ASIOTrue : ASIOFalse;
    ASSERT_EQ(d->getChannelInfo(&info), c.result) << c.channel << (c.input ? " in" : " out");
    if (c.result != ASE_OK) continue;
    EXPECT_EQ(std::string(info.name), product + c.suffix);
    EXPECT_EQ(info.channelGroup, c.group);
    EXPECT_EQ(info.type, ASIOSTInt32LSB);
    EXPECT_EQ(info.isActive, ASIOFalse) << "no buffers yet";
  }
  EXPECT_EQ(d->getChannelInfo(nullptr), ASE_InvalidParameter);
}

TEST_F(DriverTest, ChannelTypeFollowsTheDepthAndDsd) {
  Plug(kBits16And24);
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  ASIOChannelInfo info{};
  info.channel = 1;
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTInt24LSB);
  d.reset();

  sim::Lab::Reset();
  NewProduct();
  Plug();
  WriteSetting("BitsPerSample", 16);
  d = CreateAndInit();
  ASSERT_TRUE(d);
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTInt16LSB);
  ASSERT_EQ(d->setSampleRate(2822400), ASE_OK);
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTDSDInt8MSB1);
  EXPECT_EQ(std::string(info.name), product + "_OUT_R");
  EXPECT_EQ(d->Bits(), 32u) << "DSD travels in 32-bit containers";
  EXPECT_EQ(Panel().b().dwBitsPerSample, 32u);
  // Back to PCM the containers stay 32 bits wide for this object.
  ASSERT_EQ(d->setSampleRate(88200), ASE_OK);
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(info.type, ASIOSTInt32LSB);
}

TEST_F(DriverTest, LongDeviceNamesAreCutForTheHost) {
  product = "OrviDrvTestLongName" + std::to_string(GetCurrentProcessId()) + "ABCDEFGHIJKLMNOP";
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  char name[64];
  std::memset(name, 'x', sizeof name);
  d->getDriverName(name);
  EXPECT_EQ(std::strlen(name), 31u);
  EXPECT_EQ(name[32], 'x') << "nothing written past the host's 32 bytes";
  ASIOChannelInfo info{};
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);
  EXPECT_EQ(std::strlen(info.name), 31u);
}

TEST_F(DriverTest, ClockSources) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  ASIOClockSource clocks[2];
  std::memset(clocks, 0x55, sizeof clocks);
  long count = 0;
  EXPECT_EQ(d->getClockSources(clocks, &count), ASE_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(clocks[0].index, 0x55555555) << "a count of 0 fills nothing";
  count = 2;
  EXPECT_EQ(d->getClockSources(clocks, &count), ASE_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(clocks[0].index, 0);
  EXPECT_EQ(clocks[0].associatedChannel, -1);
  EXPECT_EQ(clocks[0].associatedGroup, -1);
  EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
  EXPECT_STREQ(clocks[0].name, "Internal");
  EXPECT_EQ(d->getClockSources(nullptr, &count), ASE_InvalidParameter);
  EXPECT_EQ(d->getClockSources(clocks, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(d->setClockSource(0), ASE_OK);
  EXPECT_EQ(d->setClockSource(1), ASE_OK);
  EXPECT_EQ(d->setClockSource(2), ASE_NotPresent);
}

// --- future ---

TEST_F(DriverTest, FutureSelectors) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  const std::pair<long, ASIOError> cases[] = {
      {kAsioEnableTimeCodeRead, ASE_NotPresent}, {kAsioDisableTimeCodeRead, ASE_NotPresent},
      {kAsioSetInputMonitor, ASE_NotPresent},    {kAsioTransport, ASE_NotPresent},
      {kAsioSetInputGain, ASE_NotPresent},       {kAsioGetInputMeter, ASE_NotPresent},
      {kAsioSetOutputGain, ASE_NotPresent},      {kAsioGetOutputMeter, ASE_NotPresent},
      {kAsioCanInputMonitor, ASE_NotPresent},    {kAsioCanTimeInfo, ASE_SUCCESS},
      {kAsioCanTimeCode, ASE_NotPresent},        {kAsioCanTransport, ASE_NotPresent},
      {kAsioCanInputGain, ASE_NotPresent},       {kAsioCanInputMeter, ASE_NotPresent},
      {kAsioCanOutputGain, ASE_NotPresent},      {kAsioCanOutputMeter, ASE_NotPresent},
      {kAsioCanDoIoFormat, ASE_SUCCESS},         {kAsioOptionalOne, ASE_InvalidParameter},
      {0, ASE_InvalidParameter},                 {0x7FFFFFFF, ASE_InvalidParameter},
  };
  for (auto [selector, result] : cases) EXPECT_EQ(d->future(selector, nullptr), result) << selector;

  ASIOIoFormat format{};
  EXPECT_EQ(d->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
  EXPECT_EQ(format.FormatType, kASIOPCMFormat);
  format.FormatType = kASIODSDFormat;
  EXPECT_EQ(d->future(kAsioSetIoFormat, &format), ASE_SUCCESS);
  format.FormatType = 2;
  EXPECT_EQ(d->future(kAsioSetIoFormat, &format), ASE_NotPresent);
  EXPECT_EQ(format.FormatType, kASIOFormatInvalid);
  EXPECT_EQ(d->future(kAsioGetIoFormat, &format), ASE_SUCCESS);
  EXPECT_EQ(format.FormatType, kASIODSDFormat) << "the refused type changed nothing";
  EXPECT_EQ(d->CarrierRate(), 32000u) << "the I/O format alone does not switch to DSD";
  EXPECT_EQ(d->future(kAsioSetIoFormat, nullptr), ASE_InvalidParameter);
  EXPECT_EQ(d->future(kAsioGetIoFormat, nullptr), ASE_InvalidParameter);
}

// --- opening pins ---

TEST_F(DriverTest, PinsOpenWithTheChannelMaskOfTheirWidthOrTheNextWidthTheyTake) {
  Plug(R"({"filter": {"pins": [
      {"communication": "sink", "dataflow": "in", "ranges": [{"channels": 4}]},
      {"communication": "sink", "dataflow": "out", "ranges": [{"channels": 2}]}]}})");
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  HRESULT hr = S_OK;
  CKsAudRenFilter filter(d->SymbolicLink(), "test", &hr);
  ASSERT_EQ(filter.Instantiate(), S_OK);
  ASSERT_EQ(filter.EnumeratePins(), S_OK);
  auto table = std::make_unique<orvi::StreamTable>();
  orvi::BuildStreamTable(*table, 48000, 32, filter.m_listRenderSinkPins);
  ASSERT_EQ(table->nPins, 1u);
  orvi::PinSlot& slot = table->pins[0];
  auto mask = [&slot] {
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(slot.pPin->m_pWaveFormat)->dwChannelMask;
  };

  slot.nOpenChannels = 4;
  ASSERT_EQ(d->OpenPinWithFormat(*table, 0, 48000), S_OK);
  EXPECT_EQ(mask(), 0x33u);
  EXPECT_EQ(slot.bOpen, 1u);
  EXPECT_EQ(table->dwOpenPinMask, 1u);
  slot.pPin->ClosePin();

  // A device that refuses two and three channels gets the four-channel frame.
  auto model = sim::DeviceModel::Current();
  ASSERT_TRUE(model);
  model->Streams().RefuseFormat(2);
  model->Streams().RefuseFormat(3);
  slot.bOpen = 0;
  table->dwOpenPinMask = 0;
  slot.nOpenChannels = 2;
  ASSERT_EQ(d->OpenPinWithFormat(*table, 0, 48000), S_OK);
  EXPECT_EQ(slot.nOpenChannels, 4u);
  EXPECT_EQ(mask(), 0x33u);
  slot.pPin->ClosePin();

  // One that refuses every width leaves the pin closed.
  model->Streams().RefuseFormat(4);
  slot.bOpen = 0;
  table->dwOpenPinMask = 0;
  slot.nOpenChannels = 2;
  EXPECT_EQ(d->OpenPinWithFormat(*table, 0, 48000), E_FAIL);
  EXPECT_EQ(slot.bOpen, 0u);
  EXPECT_EQ(table->dwOpenPinMask, 0u);
  EXPECT_EQ(d->OpenPinWithFormat(*table, 5, 48000), E_INVALIDARG);
  model->Streams().ClearRefusals();
}

TEST(StreamWaveFormatTest, ChannelMasksAndSizes) {
  const std::pair<uint32_t, DWORD> masks[] = {{1, 0x3}, {2, 0x3}, {3, 0x3}, {4, 0x33}, {6, 0x3F}, {8, 0x63F}};
  for (auto [channels, mask] : masks) {
    const WAVEFORMATEXTENSIBLE f = orvi::StreamWaveFormat(channels, 96000, 24);
    EXPECT_EQ(f.dwChannelMask, mask) << channels;
    EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(f.Format.nBlockAlign, channels * 3);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, channels * 3 * 96000);
    EXPECT_EQ(f.Format.cbSize, 22);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 24);
  }
}

// --- DoP and the status block ---

TEST_F(DriverTest, DopDetectionRunsOnlyWherePcmCanCarryIt) {
  Plug();
  WriteSetting("BitsPerSample", 24);
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  const std::pair<double, bool> cases[] = {{96000, false}, {176400, true}, {352800, true}, {192000, false}};
  for (auto [rate, runs] : cases) {
    ASSERT_EQ(d->setSampleRate(rate), ASE_OK);
    EXPECT_EQ(d->RunsDopDetection(), runs) << rate;
  }
  // 32-bit containers: only while the block shows no native DSD stream.
  ASSERT_EQ(d->setSampleRate(5644800), ASE_OK);
  ASIOChannelInfo info{};
  ASSERT_EQ(d->getChannelInfo(&info), ASE_OK);  // 32-bit containers from here on
  ASSERT_EQ(d->setSampleRate(176400), ASE_OK);
  EXPECT_TRUE(d->RunsDopDetection());
  Panel().b().dwNativeDsd = 1;
  EXPECT_FALSE(d->RunsDopDetection());
}

TEST_F(DriverTest, DopIsReportedToTheDeviceOnceAndToTheBlockOnEveryChange) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  ASSERT_EQ(d->setSampleRate(352800), ASE_OK);
  sim::LabBlock* lab = sim::Lab::Block();
  PanelView panel = Panel();
  const DriverStatusBlock& b = panel.b();
  const auto reportsBefore = sim::Lab::HidReports().size();
  d->OnDopTested(true);
  d->OnDopTested(true);
  EXPECT_EQ(sim::Lab::HidReports().size(), reportsBefore + 1) << "DoP on goes out once";
  EXPECT_EQ(lab->dopActive, 1);
  EXPECT_EQ(b.dwDsdStream, 1u);
  EXPECT_EQ(b.dwDsd128, 1u) << "DoP at 352800 Hz carries DSD128";
  d->OnDopTested(false);
  EXPECT_EQ(b.dwDsdStream, 0u);
  EXPECT_EQ(b.dwDsd128, 0u);
  EXPECT_EQ(lab->dopActive, 1) << "the device hears of the end only at stop";
  EXPECT_EQ(d->stop(), ASE_OK);
  EXPECT_EQ(lab->dopActive, 0);
  EXPECT_EQ(sim::Lab::HidReports().size(), reportsBefore + 2);
  EXPECT_EQ(d->stop(), ASE_OK);
  EXPECT_EQ(sim::Lab::HidReports().size(), reportsBefore + 2) << "no second DoP-off";
}

TEST_F(DriverTest, StateMachineOutsideStreaming) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  EXPECT_EQ(d->start(), ASE_OK);
  EXPECT_EQ(d->State(), 2u) << "start outside the prepared state does nothing";
  EXPECT_EQ(d->stop(), ASE_OK);
  EXPECT_EQ(d->State(), 2u);
  EXPECT_EQ(d->outputReady(), ASE_OK);
  ASIOSamples position{1, 1};
  ASIOTimeStamp stamp{1, 1};
  EXPECT_EQ(d->getSamplePosition(&position, &stamp), ASE_OK);
  EXPECT_EQ(position.lo, 0u);
  EXPECT_EQ(stamp.lo, 0u);
  // disposeBuffers, also without buffers, switches every DSD mode off.
  const auto before = sim::Lab::HidReports().size();
  EXPECT_EQ(d->disposeBuffers(), ASE_OK);
  EXPECT_EQ(d->disposeBuffers(), ASE_OK);
  EXPECT_EQ(sim::Lab::HidReports().size(), before + 6);
  EXPECT_EQ(d->State(), 2u);
}

// --- the control panel ---

TEST_F(DriverTest, ControlPanelShowsTheRunningPanelOrStartsIt) {
  Plug();
  Driver d = CreateAndInit();
  ASSERT_TRUE(d);
  PanelView panel = Panel();
  DriverStatusBlock& b = panel.b();

  // No panel, no folder: nothing to start, still ASE_OK.
  ASSERT_EQ(FindWindowA(nullptr, "Orvi Q-72 Audio Control Panel"), nullptr);
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  EXPECT_EQ(b.dwShowPanel, 0u);

  // A panel that runs is asked to show itself.
  HWND window = CreateWindowA("STATIC", "Orvi Q-72 Audio Control Panel", 0, 0, 0, 10, 10, nullptr, nullptr,
                              nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  b.dwChanged = 0;
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  EXPECT_EQ(b.dwShowPanel, 1u);
  EXPECT_EQ(b.dwChanged, 1u);
  DestroyWindow(window);

  // Otherwise the program in the "ASIOCPL" folder is started.
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  const std::string folder = std::string(temp) + product + "\\";
  CreateDirectoryA(folder.c_str(), nullptr);
  const std::string marker = folder + "started.txt";
  // A probe under the panel's name stands in for the panel program: it only
  // leaves the marker file behind.
  const std::string program = folder + product + "ACPL.exe";
  ASSERT_TRUE(CopyFileA(BesideTests("panel_probe.exe").c_str(), program.c_str(), FALSE));
  orvi::RegistryKey key = orvi::RegistryKey::Create(HKEY_CURRENT_USER, SettingsKey().c_str(), KEY_ALL_ACCESS);
  RegSetValueExA(key.get(), "ASIOCPL", 0, REG_SZ, reinterpret_cast<const BYTE*>(folder.c_str()),
                 static_cast<DWORD>(folder.size() + 1));
  SetEnvironmentVariableA("ORVI_TEST_PANEL_MARKER", marker.c_str());
  b.dwShowPanel = 0;
  EXPECT_EQ(d->controlPanel(), ASE_OK);
  bool started = false;
  for (int i = 0; i < 200 && !started; ++i) {
    started = GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (!started) Sleep(50);
  }
  EXPECT_TRUE(started) << "the panel program was not started";
  SetEnvironmentVariableA("ORVI_TEST_PANEL_MARKER", nullptr);
  Sleep(200);
  DeleteFileA(marker.c_str());
  DeleteFileA(program.c_str());
  RemoveDirectoryA(folder.c_str());
}

// --- two hosts ---

// The second host: this program again, told the block's product and class.
class DriverTwoHosts : public DriverTest {
 protected:
  static std::string Env(const char* name) {
    char value[128] = {};
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n < sizeof value ? std::string(value, n) : std::string();
  }
};

TEST_F(DriverTwoHosts, ShareOneBlockAndTheFirstReleaseEndsOwnedWrites) {
  Plug();
  Driver first = CreateAndInit();
  ASSERT_TRUE(first);
  wchar_t wide[40];
  StringFromGUID2(clsid, wide, 40);
  char text[40];
  WideCharToMultiByte(CP_ACP, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  SetEnvironmentVariableA("ORVI_TEST_PRODUCT", product.c_str());
  SetEnvironmentVariableA("ORVI_TEST_CLASS", text);
  orvi::test::ProgramResult result;
  const std::string self = BesideTests("driver_tests.exe");
  ASSERT_TRUE(orvi::test::RunProgram(
      "\"" + self + "\" --gtest_also_run_disabled_tests --gtest_filter=DriverTwoHosts.DISABLED_SecondHost", result));
  EXPECT_EQ(result.exitCode, 0u) << result.output;
  EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << result.output;

  // The second host's object is gone and took the claim with it.
  PanelView panel = Panel();
  const DriverStatusBlock& b = panel.b();
  EXPECT_EQ(b.dwState, 0u);
  EXPECT_TRUE(OwnerIs(b, GUID{}));
  EXPECT_EQ(b.dwSampleRate, 96000u) << "what the second host set";
  ASSERT_EQ(first->setSampleRate(352800), ASE_OK);
  first->OnDopTested(true);
  EXPECT_EQ(b.dwDsdStream, 0u) << "owned writes stop once the owner is cleared";
}

TEST_F(DriverTwoHosts, DISABLED_SecondHost) {
  product = Env("ORVI_TEST_PRODUCT");
  ASSERT_FALSE(product.empty());
  const std::string text = Env("ORVI_TEST_CLASS");
  const std::wstring wide(text.begin(), text.end());
  GUID shared{};
  ASSERT_EQ(CLSIDFromString(wide.c_str(), &shared), S_OK);
  PanelView panel = Panel();
  DriverStatusBlock& b = panel.b();
  ASSERT_TRUE(OwnerIs(b, shared)) << "the first host claimed it";
  ASSERT_EQ(b.dwState, 2u);
  Driver d;
  ASSERT_EQ(Create(d, shared), S_OK);
  EXPECT_EQ(b.dwState, 2u) << "the claim is not made twice";
  ASSERT_EQ(d->init(nullptr), ASIOTrue);
  ASSERT_EQ(d->setSampleRate(96000), ASE_OK);
  EXPECT_EQ(b.dwSampleRate, 96000u);
  b.dwChanged = 0;
  d->OnDopTested(false);
  EXPECT_EQ(b.dwChanged, 0u);
  // The settings key is the first host's to remove.
  product.clear();
}

}  // namespace
