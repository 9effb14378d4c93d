// Test programs' entry: a crash ends the program with a message that names the
// test, instead of a debugger prompt or a silent exit code.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace {

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::fprintf(stderr, "\nFATAL: unhandled exception 0x%08lx at %p%s%s%s%s\n",
               info->ExceptionRecord->ExceptionCode, info->ExceptionRecord->ExceptionAddress,
               test ? " in test " : "", test ? test->test_suite_name() : "", test ? "." : "",
               test ? test->name() : "");
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

// Each test program has a simulated-device lab of its own (children it starts
// inherit it), so programs running side by side do not plug each other's device.
void UseOwnLab() {
  char existing[4];
  if (GetEnvironmentVariableA("ORVI_LAB_DIR", existing, sizeof existing) != 0) return;
  char temp[MAX_PATH];
  DWORD n = GetTempPathA(sizeof temp, temp);
  if (n == 0 || n >= sizeof temp) return;
  char dir[MAX_PATH + 32];
  std::snprintf(dir, sizeof dir, "%sorvi-lab-test-%lu", temp, GetCurrentProcessId());
  SetEnvironmentVariableA("ORVI_LAB_DIR", dir);
  SetEnvironmentVariableA("ORVI_LAB_TRANSIENT", "1");
}

}  // namespace

int main(int argc, char** argv) {
  UseOwnLab();
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(&OnUnhandledException);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
