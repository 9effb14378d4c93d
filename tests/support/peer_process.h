#pragma once
// Running another program of the test bed and collecting what it prints. The
// other architecture's lab build tree is the "peer" tree: a 64-bit test starts
// 32-bit programs from it and the other way round.
#include <windows.h>

#include <string>

namespace orvi::test {

struct ProgramResult {
  DWORD exitCode = 0;
  std::string output;  // standard output and error, trailing line ends removed
};

// Runs `commandLine` (waits at most 30 s). False when it could not be started
// or did not end in time.
bool RunProgram(const std::string& commandLine, ProgramResult& result);

// The Windows path of `relative` (e.g. "tools\\orvilab.exe") in the peer tree;
// empty when no peer tree is configured.
std::string PeerPath(const char* relative);

inline constexpr int kOwnBits = static_cast<int>(sizeof(void*) * 8);
inline constexpr int kPeerBits = kOwnBits == 64 ? 32 : 64;

}  // namespace orvi::test
