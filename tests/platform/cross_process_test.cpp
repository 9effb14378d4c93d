// A 64-bit and a 32-bit process see the same named file mapping and the same
// registry values, as driver (64-bit) and panel (32-bit) will.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/unique_handle.h"
#include "tests/support/peer_process.h"

using orvi::test::kPeerBits;
using orvi::test::PeerPath;
using orvi::test::ProgramResult;
using orvi::test::RunProgram;

namespace {

class CrossProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(probe, "") << "no peer build tree configured";
    ASSERT_NE(GetFileAttributesA(probe.c_str()), INVALID_FILE_ATTRIBUTES)
        << probe << " is missing: build the other architecture's lab tree first";
  }
  bool RunPeer(const std::string& args, ProgramResult& result) {
    return RunProgram("\"" + probe + "\" " + args, result);
  }
  const std::string probe = PeerPath("tests\\platform\\peer_probe.exe");
  const DWORD cookie = GetCurrentProcessId() * 7919u + GetTickCount();
};

TEST_F(CrossProcessTest, PeerOfTheOtherArchitectureSharesANamedMapping) {
  std::string name = "Local\\OrviCrossProcess" + std::to_string(GetCurrentProcessId());
  orvi::UniqueHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str()));
  ASSERT_TRUE(mapping);
  auto* view = static_cast<volatile DWORD*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  view[0] = cookie;

  ProgramResult peer;
  ASSERT_TRUE(RunPeer("mapping " + name, peer)) << "could not run " << probe;
  EXPECT_EQ(peer.exitCode, 0u) << peer.output;
  EXPECT_EQ(peer.output, std::to_string(kPeerBits) + " " + std::to_string(cookie));
  EXPECT_EQ(view[1], cookie + 1) << "the peer's write is visible here";
  UnmapViewOfFile(const_cast<DWORD*>(view));
}

TEST_F(CrossProcessTest, PeerOfTheOtherArchitectureReadsTheSameRegistryValue) {
  const std::string key = "Software\\Orvi\\LabTests\\CrossProcess" + std::to_string(GetCurrentProcessId());
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "Cookie", REG_DWORD, &cookie, sizeof cookie),
            ERROR_SUCCESS);
  ProgramResult peer;
  ASSERT_TRUE(RunPeer("registry \"" + key + "\" Cookie", peer));
  EXPECT_EQ(peer.exitCode, 0u) << peer.output;
  EXPECT_EQ(peer.output, std::to_string(kPeerBits) + " " + std::to_string(cookie));
  RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
