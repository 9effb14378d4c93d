// The driver's side of the status block, seen from the control panel's side:
// each test maps the block by its name as the panel (or a stranger) would and
// checks what the driver left there.
#include "asio/status_block.h"

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/status_block.h"
#include "platform/mapped_view.h"
#include "platform/unique_handle.h"
#include "tests/support/peer_process.h"

namespace {

using orvi::CStatusBlock;
using orvi::DriverStatusBlock;

constexpr GUID kOurClass = {0x5e1f0a2b, 0x3c4d, 0x4e5f, {0x8a, 0x9b, 0xac, 0xbd, 0xce, 0xdf, 0xe0, 0xf1}};
constexpr GUID kOtherClass = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x66, 0x66, 0x77, 0x77}};

// Registry and named objects are shared by all test processes of the prefix.
std::string UniqueProduct() {
  static int n = 0;
  return "OrviSbTest" + std::to_string(GetCurrentProcessId()) + "x" + std::to_string(++n);
}

// Another process's view of the block: the panel's, or a stranger's.
struct SharedView {
  orvi::UniqueHandle map;
  orvi::MappedView view;
  DriverStatusBlock& b() const { return *view.as<DriverStatusBlock>(); }
  uint8_t* bytes() const { return view.as<uint8_t>(); }
};

SharedView MapShared(HANDLE mapping) {
  SharedView v;
  v.map.reset(mapping);
  if (v.map) v.view.reset(MapViewOfFile(v.map.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  return v;
}
SharedView OpenShared(const std::string& name) {
  return MapShared(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()));
}
// A mapping made before the driver's (zero-filled by the system).
SharedView CreateShared(const std::string& name) {
  return MapShared(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 340, name.c_str()));
}

bool OwnerIs(const DriverStatusBlock& b, const GUID& clsid) {
  return std::memcmp(b.guidOwner, &clsid, sizeof clsid) == 0;
}

class StatusBlockTest : public testing::Test {
 protected:
  // The driver creates the block; the panel maps it.
  void CreateBlock() {
    ASSERT_TRUE(driver.OpenOrCreate());
    panel = OpenShared(name);
    ASSERT_TRUE(panel.view);
  }

  const std::string product = UniqueProduct();
  const std::string name = product + "_20130107";
  CStatusBlock driver{kOurClass, product};
  SharedView panel;
};

TEST_F(StatusBlockTest, DriverCreatesAFreshBlockHoldingOnlyTheMagic) {
  CreateBlock();
  EXPECT_EQ(driver.Name(), name);
  EXPECT_TRUE(driver.IsValid());
  EXPECT_FALSE(driver.IsOwned());
  EXPECT_EQ(panel.b().dwMagic, 0x20130107u);
  for (size_t i = 4; i < sizeof(DriverStatusBlock); ++i) ASSERT_EQ(panel.bytes()[i], 0) << "byte " << i;
}

TEST_F(StatusBlockTest, ExistingBlockIsOpenedWithoutTouchingIt) {
  SharedView first = CreateShared(name);
  ASSERT_TRUE(first.view);
  first.b().dwMagic = 0x20130107;
  first.b().dwSettingsLoaded = 1;
  first.b().dwBitsSetting = 24;
  first.b().dwBufferSizeSetting = 50;
  std::strcpy(first.b().szDeviceName, "Panel made this");
  std::vector<uint8_t> before(first.bytes(), first.bytes() + sizeof(DriverStatusBlock));

  EXPECT_FALSE(driver.OpenOrCreate()) << "opened, not created";
  EXPECT_TRUE(driver.IsValid());
  EXPECT_EQ(std::vector<uint8_t>(first.bytes(), first.bytes() + sizeof(DriverStatusBlock)), before);
}

TEST_F(StatusBlockTest, BlockOfAStrangerWithoutMagicIsLeftAlone) {
  SharedView stranger = CreateShared(name);
  ASSERT_TRUE(stranger.view);
  stranger.b().dwState = 4;
  stranger.b().dwResetRequest = 1;
  stranger.b().dwBitsSetting = 24;
  std::vector<uint8_t> before(stranger.bytes(), stranger.bytes() + sizeof(DriverStatusBlock));

  EXPECT_FALSE(driver.OpenOrCreate());
  EXPECT_TRUE(driver.HasView());
  EXPECT_FALSE(driver.IsValid());
  EXPECT_FALSE(driver.Claim());
  uint32_t buffer = 1, bits = 1;
  EXPECT_FALSE(driver.ReadPanelSettings(buffer, bits));
  EXPECT_FALSE(driver.TakeResetRequest());
  EXPECT_FALSE(driver.NeedsSettings());
  EXPECT_EQ(std::vector<uint8_t>(stranger.bytes(), stranger.bytes() + sizeof(DriverStatusBlock)), before);
}

TEST_F(StatusBlockTest, NameHeldByAnotherKindOfObjectLeavesTheDriverUnpublished) {
  orvi::UniqueHandle squatter(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
  ASSERT_TRUE(squatter);
  EXPECT_FALSE(driver.OpenOrCreate());
  EXPECT_FALSE(driver.HasView());
  EXPECT_FALSE(driver.IsValid());
  // Every operation is a harmless no-op without a view.
  EXPECT_FALSE(driver.Claim());
  driver.PublishDeviceName("x");
  driver.PublishFormat(1, 2, 3);
  driver.PublishInitialized(1, 2);
  driver.PublishSampleRate(1);
  driver.PublishDsdContainer();
  driver.PublishBuffersCreated(1, 2822400);
  driver.PublishState(orvi::kDriverRunning);
  driver.PublishBuffersDisposed();
  EXPECT_FALSE(driver.PublishDop(true));
  driver.RequestShowPanel();
  EXPECT_FALSE(driver.TakeResetRequest());
  driver.Release();
}

TEST_F(StatusBlockTest, ClaimIsMadeOnceAndOnlyOnAnUnclaimedBlock) {
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  EXPECT_EQ(panel.b().dwState, 1u);
  EXPECT_TRUE(OwnerIs(panel.b(), kOurClass));
  EXPECT_EQ(panel.b().dwChanged, 1u);
  EXPECT_TRUE(driver.IsOwned());

  panel.b().dwChanged = 0;
  CStatusBlock sameClass(kOurClass, product);
  EXPECT_FALSE(sameClass.OpenOrCreate());
  EXPECT_FALSE(sameClass.Claim()) << "already claimed";
  EXPECT_TRUE(sameClass.IsOwned()) << "but its owned writes pass";
  CStatusBlock otherClass(kOtherClass, product);
  otherClass.OpenOrCreate();
  EXPECT_FALSE(otherClass.Claim());
  EXPECT_FALSE(otherClass.IsOwned());
  EXPECT_TRUE(OwnerIs(panel.b(), kOurClass));
  EXPECT_EQ(panel.b().dwChanged, 0u);

  // Two hosts with the driver: whichever wrote last shows; once one releases,
  // the other's owned writes stop until someone claims again.
  sameClass.PublishState(orvi::kDriverRunning);
  EXPECT_EQ(panel.b().dwState, 4u);
  driver.Release();
  EXPECT_EQ(panel.b().dwState, 0u);
  EXPECT_EQ(panel.b().dwChanged, 1u);
  for (uint32_t word : panel.b().guidOwner) EXPECT_EQ(word, 0u);
  sameClass.PublishState(orvi::kDriverRunning);
  EXPECT_EQ(panel.b().dwState, 0u);
  EXPECT_TRUE(otherClass.Claim()) << "an unclaimed block can be claimed by any class";
  EXPECT_TRUE(OwnerIs(panel.b(), kOtherClass));
}

// Every write the driver makes, with the guard it must pass.
TEST_F(StatusBlockTest, EachWriteHonoursItsGuard) {
  enum Guard { kValid, kOwned };
  struct Case {
    const char* what;
    Guard guard;
    std::function<void(CStatusBlock&)> write;
  };
  const Case cases[] = {
      {"release", kOwned, [](CStatusBlock& s) { s.Release(); }},
      {"device name", kOwned, [](CStatusBlock& s) { s.PublishDeviceName("Q-72"); }},
      {"init format", kOwned, [](CStatusBlock& s) { s.PublishFormat(50, 48000, 24); }},
      {"initialized", kOwned, [](CStatusBlock& s) { s.PublishInitialized(0xE, 0x1FF); }},
      {"sample rate", kValid, [](CStatusBlock& s) { s.PublishSampleRate(96000); }},
      {"DSD container", kValid, [](CStatusBlock& s) { s.PublishDsdContainer(); }},
      {"buffers created", kOwned, [](CStatusBlock& s) { s.PublishBuffersCreated(512, 48000); }},
      {"running", kOwned, [](CStatusBlock& s) { s.PublishState(orvi::kDriverRunning); }},
      {"buffers disposed", kOwned, [](CStatusBlock& s) { s.PublishBuffersDisposed(); }},
      {"DoP flags", kOwned, [](CStatusBlock& s) { s.PublishDop(true); }},
      {"show panel", kValid, [](CStatusBlock& s) { s.RequestShowPanel(); }},
      {"reset request", kOwned, [](CStatusBlock& s) { s.TakeResetRequest(); }},
  };
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  CStatusBlock otherClass(kOtherClass, product);
  otherClass.OpenOrCreate();

  // Every field but magic and owner holds a value no write leaves behind.
  auto prime = [&](uint32_t magic) {
    DriverStatusBlock& b = panel.b();
    std::memset(panel.bytes() + 4, 0x5A, sizeof b - 4);
    std::memcpy(b.guidOwner, &kOurClass, sizeof kOurClass);
    b.dwChanged = 0;
    b.dwMagic = magic;
    return std::vector<uint8_t>(panel.bytes(), panel.bytes() + sizeof b);
  };
  auto now = [&] { return std::vector<uint8_t>(panel.bytes(), panel.bytes() + sizeof(DriverStatusBlock)); };

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto before = prime(0x20130107);
    c.write(driver);
    EXPECT_NE(now(), before) << "the owner writes";

    before = prime(0x20130107);
    c.write(otherClass);
    if (c.guard == kValid) {
      EXPECT_NE(now(), before) << "another class passes a validity-only guard";
      EXPECT_EQ(panel.b().dwChanged, 1u);
    } else {
      EXPECT_EQ(now(), before) << "another class must not write";
    }

    before = prime(0x20130108);
    c.write(driver);
    EXPECT_EQ(now(), before) << "wrong magic: nothing is written";
  }
}

TEST_F(StatusBlockTest, LifecycleWritesThePanelsFields) {
  CreateBlock();
  DriverStatusBlock& b = panel.b();
  ASSERT_TRUE(driver.Claim());
  driver.PublishFormat(50, 44100, 24);
  EXPECT_EQ(b.dwBufferSize, 50u);
  EXPECT_EQ(b.dwSampleRate, 44100u);
  EXPECT_EQ(b.dwBitsPerSample, 24u);
  driver.PublishInitialized(0xFE, 0x1FF);
  EXPECT_EQ(b.dwState, 2u);
  EXPECT_EQ(b.dwSupportedBits, 0xEu) << "only the low four bits are depths";
  EXPECT_EQ(b.dwSupportedRates, 0x1FFu);
  driver.PublishBuffersCreated(512, 44100);
  EXPECT_EQ(b.dwState, 3u);
  driver.PublishState(orvi::kDriverRunning);
  EXPECT_EQ(b.dwState, 4u);
  EXPECT_STREQ(orvi::DriverStateText(b.dwState), "RUNNING");
  driver.PublishState(orvi::kDriverPrepared);
  EXPECT_EQ(b.dwState, 3u);
  driver.PublishSampleRate(88200);
  driver.PublishDsdContainer();
  EXPECT_EQ(b.dwSampleRate, 88200u);
  EXPECT_EQ(b.dwBitsPerSample, 32u);
}

TEST_F(StatusBlockTest, BuffersCreatedPublishesTheStreamKind) {
  struct Case {
    uint32_t asioRate, hostBuffer;
    uint32_t bufferSize, dsd, dsd128, dsd256, native;
  };
  const Case cases[] = {
      {44100, 512, 512, 0, 0, 0, 0},
      {88200, 882, 882, 0, 0, 0, 0},  // the DSD64 carrier rate set as PCM is PCM
      {2822400, 28224, 882, 1, 0, 0, 1},
      {5644800, 56448, 1764, 1, 1, 0, 1},
      {11289600, 112896, 3528, 1, 0, 1, 1},
  };
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  DriverStatusBlock& b = panel.b();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asioRate);
    b.dwDsdStream = b.dwDsd128 = b.dwDsd256 = b.dwNativeDsd = 1;  // from an earlier stream
    b.dwChanged = 0;
    driver.PublishBuffersCreated(c.hostBuffer, c.asioRate);
    EXPECT_EQ(b.dwState, 3u);
    EXPECT_EQ(b.dwBufferSize, c.bufferSize);
    EXPECT_EQ(b.dwDsdStream, c.dsd);
    EXPECT_EQ(b.dwDsd128, c.dsd128);
    EXPECT_EQ(b.dwDsd256, c.dsd256);
    EXPECT_EQ(b.dwNativeDsd, c.native);
    EXPECT_EQ(b.dwChanged, 1u);
  }
}

TEST_F(StatusBlockTest, DisposeClearsTheDsdFlagsButDsd256) {
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  driver.PublishBuffersCreated(112896, 11289600);
  driver.PublishBuffersDisposed();
  DriverStatusBlock& b = panel.b();
  EXPECT_EQ(b.dwState, 2u);
  EXPECT_EQ(b.dwDsdStream, 0u);
  EXPECT_EQ(b.dwDsd128, 0u);
  EXPECT_EQ(b.dwNativeDsd, 0u);
  EXPECT_EQ(b.dwDsd256, 1u) << "left for the next createBuffers to rewrite";
}

TEST_F(StatusBlockTest, DopFlagsFollowDetectionAndAreWrittenOnlyWhenTheyChange) {
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  DriverStatusBlock& b = panel.b();
  b.dwChanged = 0;
  EXPECT_FALSE(driver.PublishDop(false));
  EXPECT_EQ(b.dwChanged, 0u);
  b.dwSampleRate = 176400;
  EXPECT_TRUE(driver.PublishDop(true));
  EXPECT_EQ(b.dwDsdStream, 1u);
  EXPECT_EQ(b.dwDsd128, 0u);
  EXPECT_EQ(b.dwChanged, 1u);
  b.dwChanged = 0;
  EXPECT_FALSE(driver.PublishDop(true));
  EXPECT_EQ(b.dwChanged, 0u) << "no change, no flag: this runs on every output copy";
  b.dwSampleRate = 352800;
  EXPECT_TRUE(driver.PublishDop(true));
  EXPECT_EQ(b.dwDsd128, 1u);
  EXPECT_TRUE(driver.PublishDop(false));
  EXPECT_EQ(b.dwDsdStream, 0u);
  EXPECT_EQ(b.dwDsd128, 0u);
  // DSD128 without a DSD stream is not touched by a failed test.
  b.dwDsd128 = 1;
  b.dwChanged = 0;
  EXPECT_FALSE(driver.PublishDop(false));
  EXPECT_EQ(b.dwDsd128, 1u);
  EXPECT_EQ(b.dwChanged, 0u);
}

TEST_F(StatusBlockTest, ShowPanelRequestIsInPlaceWithTheChangeFlag) {
  CreateBlock();
  driver.RequestShowPanel();  // only the magic is needed
  EXPECT_EQ(panel.b().dwShowPanel, 1u);
  EXPECT_EQ(panel.b().dwChanged, 1u);
}

TEST_F(StatusBlockTest, DeviceNameIsCutTo255Characters) {
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  const std::string longName(300, 'n');
  driver.PublishDeviceName(longName.c_str());
  EXPECT_EQ(panel.b().szDeviceName[255], '\0');
  EXPECT_EQ(orvi::ReadDeviceName(panel.b()), longName.substr(0, 255));
  driver.PublishDeviceName("Orvi Q-72");
  EXPECT_EQ(orvi::ReadDeviceName(panel.b()), "Orvi Q-72");
}

TEST_F(StatusBlockTest, DeviceNameWithoutTerminatorIsReadWithinTheField) {
  CreateBlock();
  DriverStatusBlock& b = panel.b();
  std::memset(b.szDeviceName, 'x', sizeof b.szDeviceName);
  b.dwDsdStream = 0x41414141;  // what follows must not leak into the name
  EXPECT_EQ(orvi::ReadDeviceName(b), std::string(255, 'x'));
}

TEST_F(StatusBlockTest, ResetRequestIsTakenOnce) {
  CreateBlock();
  ASSERT_TRUE(driver.Claim());
  EXPECT_FALSE(driver.TakeResetRequest());
  for (uint32_t request : {1u, 7u}) {
    panel.b().dwResetRequest = request;
    EXPECT_TRUE(driver.TakeResetRequest()) << request;
    EXPECT_EQ(panel.b().dwResetRequest, 0u);
    EXPECT_FALSE(driver.TakeResetRequest());
  }
}

TEST_F(StatusBlockTest, PanelSettingsOutOfRangeAreBoundedOrIgnored) {
  struct Case {
    uint32_t bufferWritten, bitsWritten;
    uint32_t buffer, bits;
  };
  const Case cases[] = {
      {50, 24, 50, 24},  {20, 16, 20, 16},           {6000, 32, 6000, 32},
      {55, 32, 55, 32},  // between offered lengths: kept
      {0, 0, 0, 0},      // never loaded: init's fallbacks apply
      {5, 8, 20, 0},     {7000, 17, 6000, 0},        {0xFFFFFFFF, 0xFFFFFFFF, 6000, 0},
  };
  CreateBlock();
  uint32_t buffer = 0, bits = 0;
  EXPECT_FALSE(driver.ReadPanelSettings(buffer, bits)) << "only the owner reads them";
  ASSERT_TRUE(driver.Claim());
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bufferWritten << " " << c.bitsWritten);
    panel.b().dwBufferSizeSetting = c.bufferWritten;
    panel.b().dwBitsSetting = c.bitsWritten;
    ASSERT_TRUE(driver.ReadPanelSettings(buffer, bits));
    EXPECT_EQ(buffer, c.buffer);
    EXPECT_EQ(bits, c.bits);
  }
}

TEST(DriverStateText, NamesTheFiveStatesAndAnythingElseAsUnload) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "UNLOAD"},   {1, "LOADED"}, {2, "INITIALIZED"},     {3, "PREPARED"},
      {4, "RUNNING"}, {5, "UNLOAD"}, {0xFFFFFFFF, "UNLOAD"},
  };
  for (const auto& [state, text] : cases) EXPECT_STREQ(orvi::DriverStateText(state), text) << state;
}

// The panel is a 32-bit process and the driver a 64-bit one (and the tests run
// both ways): a write of the other architecture lands where the driver reads.
TEST_F(StatusBlockTest, WritesOfAProcessOfTheOtherArchitectureReachTheDriver) {
  const std::string probe = orvi::test::PeerPath("tests\\platform\\peer_probe.exe");
  ASSERT_NE(probe, "") << "no peer build tree configured";
  ASSERT_NE(GetFileAttributesA(probe.c_str()), INVALID_FILE_ATTRIBUTES) << probe << " is missing";
  CreateBlock();
  ASSERT_TRUE(driver.Claim());

  auto peerWrite = [&](size_t offset, uint32_t value) {
    orvi::test::ProgramResult result;
    ASSERT_TRUE(orvi::test::RunProgram(
        "\"" + probe + "\" write " + name + " " + std::to_string(offset) + " " + std::to_string(value), result));
    ASSERT_EQ(result.exitCode, 0u) << result.output;
  };
  peerWrite(offsetof(DriverStatusBlock, dwBitsSetting), 24);
  peerWrite(offsetof(DriverStatusBlock, dwBufferSizeSetting), 250);
  peerWrite(offsetof(DriverStatusBlock, dwResetRequest), 1);

  uint32_t buffer = 0, bits = 0;
  ASSERT_TRUE(driver.ReadPanelSettings(buffer, bits));
  EXPECT_EQ(buffer, 250u);
  EXPECT_EQ(bits, 24u);
  EXPECT_TRUE(driver.TakeResetRequest());
}

}  // namespace
