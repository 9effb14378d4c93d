// Test programs' entry: a crash ends the program with a message that names the
// test, instead of a debugger prompt or a silent exit code.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

#include "sim/lab_state.h"

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


}  // namespace

int main(int argc, char** argv) {
  // Each test program has a simulated-device lab of its own (children it
  // starts inherit it), so programs running side by side do not plug each
  // other's device.
  sim::Lab::UseOwnDirectory("test", true);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(&OnUnhandledException);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
