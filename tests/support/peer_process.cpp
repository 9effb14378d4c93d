#include "tests/support/peer_process.h"

#include "platform/unique_handle.h"

namespace orvi::test {

bool RunProgram(const std::string& commandLine, ProgramResult& result) {
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  UniqueHandle reader(readEnd);
  UniqueHandle writer(writeEnd);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOA si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  std::string command = commandLine;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return false;
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  writer.reset();

  result.output.clear();
  char buffer[512];
  DWORD n = 0;
  while (ReadFile(reader.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) result.output.append(buffer, n);
  if (WaitForSingleObject(process.get(), 30000) != WAIT_OBJECT_0) return false;
  GetExitCodeProcess(process.get(), &result.exitCode);
  while (!result.output.empty() && (result.output.back() == '\n' || result.output.back() == '\r'))
    result.output.pop_back();
  return true;
}

std::string PeerPath(const char* relative) {
  std::string tree = ORVI_PEER_TREE;
  if (tree.empty()) return {};
  return tree + "\\" + relative;
}

}  // namespace orvi::test
