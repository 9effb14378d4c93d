// A 64-bit and a 32-bit process see the same named file mapping and the same
// registry values, as driver (64-bit) and panel (32-bit) will.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/unique_handle.h"

namespace {

constexpr int kOwnBits = static_cast<int>(sizeof(void*) * 8);
constexpr int kPeerBits = kOwnBits == 64 ? 32 : 64;

struct PeerResult {
  DWORD exitCode = 0;
  std::string output;
};

// Runs the other architecture's peer_probe and collects what it prints.
bool RunPeer(const std::string& args, PeerResult& result) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  orvi::UniqueHandle reader(readEnd);
  orvi::UniqueHandle writer(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::string command = std::string("\"") + ORVI_PEER_PROBE + "\" " + args;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return false;
  orvi::UniqueHandle process(pi.hProcess);
  orvi::UniqueHandle thread(pi.hThread);
  writer.reset();

  char buffer[256];
  DWORD n = 0;
  while (ReadFile(reader.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) result.output.append(buffer, n);
  if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(process.get(), &result.exitCode);
  while (!result.output.empty() && (result.output.back() == '\n' || result.output.back() == '\r'))
    result.output.pop_back();
  return true;
}

class CrossProcessTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(std::string(ORVI_PEER_PROBE), "") << "no peer build tree configured";
    ASSERT_NE(GetFileAttributesA(ORVI_PEER_PROBE), INVALID_FILE_ATTRIBUTES)
        << ORVI_PEER_PROBE << " is missing: build the other architecture's lab tree first";
  }
  const DWORD cookie = GetCurrentProcessId() * 7919u + GetTickCount();
};

TEST_F(CrossProcessTest, PeerOfTheOtherArchitectureSharesANamedMapping) {
  std::string name = "Local\\OrviCrossProcess" + std::to_string(GetCurrentProcessId());
  orvi::UniqueHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, name.c_str()));
  ASSERT_TRUE(mapping);
  auto* view = static_cast<volatile DWORD*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  view[0] = cookie;

  PeerResult peer;
  ASSERT_TRUE(RunPeer("mapping " + name, peer)) << "could not run " << ORVI_PEER_PROBE;
  EXPECT_EQ(peer.exitCode, 0u) << peer.output;
  EXPECT_EQ(peer.output, std::to_string(kPeerBits) + " " + std::to_string(cookie));
  EXPECT_EQ(view[1], cookie + 1) << "the peer's write is visible here";
  UnmapViewOfFile(const_cast<DWORD*>(view));
}

TEST_F(CrossProcessTest, PeerOfTheOtherArchitectureReadsTheSameRegistryValue) {
  const std::string key = "Software\\Orvi\\LabTests\\CrossProcess" + std::to_string(GetCurrentProcessId());
  ASSERT_EQ(RegSetKeyValueA(HKEY_CURRENT_USER, key.c_str(), "Cookie", REG_DWORD, &cookie, sizeof cookie),
            ERROR_SUCCESS);
  PeerResult peer;
  ASSERT_TRUE(RunPeer("registry \"" + key + "\" Cookie", peer));
  EXPECT_EQ(peer.exitCode, 0u) << peer.output;
  EXPECT_EQ(peer.output, std::to_string(kPeerBits) + " " + std::to_string(cookie));
  RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
}

}  // namespace
