// Stands in for the control panel program in the driver's tests: it leaves the
// file named by ORVI_TEST_PANEL_MARKER behind, to show that it was started.
#include <windows.h>

int main() {
  char marker[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("ORVI_TEST_PANEL_MARKER", marker, sizeof marker);
  if (n == 0 || n >= sizeof marker) return 1;
  HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  CloseHandle(file);
  return 0;
}
