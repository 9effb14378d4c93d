// The other side of the cross-process tests, built for both architectures.
//   peer_probe mapping NAME   reads the 32-bit value at offset 0 of the named
//                             mapping, writes it plus 1 at offset 4, prints it
//   peer_probe write NAME OFFSET VALUE
//                             writes the 32-bit VALUE at byte OFFSET (a
//                             multiple of 4) of the named mapping
//   peer_probe registry KEY VALUE
//                             prints the DWORD value under HKEY_CURRENT_USER
// Every line starts with the process's pointer width, e.g. "32 1234".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  int bits = static_cast<int>(sizeof(void*) * 8);
  if (argc == 3 && std::strcmp(argv[1], "mapping") == 0) {
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, argv[2]);
    if (!mapping) {
      std::printf("%d error open %lu\n", bits, GetLastError());
      return 2;
    }
    auto* view = static_cast<volatile DWORD*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 8));
    if (!view) {
      std::printf("%d error map %lu\n", bits, GetLastError());
      return 2;
    }
    DWORD value = view[0];
    view[1] = value + 1;
    std::printf("%d %lu\n", bits, value);
    UnmapViewOfFile(const_cast<DWORD*>(view));
    CloseHandle(mapping);
    return 0;
  }
  if (argc == 5 && std::strcmp(argv[1], "write") == 0) {
    unsigned long offset = std::strtoul(argv[3], nullptr, 0);
    unsigned long value = std::strtoul(argv[4], nullptr, 0);
    if (offset % 4 != 0) {
      std::printf("%d error offset %lu\n", bits, offset);
      return 2;
    }
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, argv[2]);
    if (!mapping) {
      std::printf("%d error open %lu\n", bits, GetLastError());
      return 2;
    }
    auto* view = static_cast<volatile DWORD*>(
        MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(offset) + 4));
    if (!view) {
      std::printf("%d error map %lu\n", bits, GetLastError());
      CloseHandle(mapping);
      return 2;
    }
    view[offset / 4] = static_cast<DWORD>(value);
    std::printf("%d ok\n", bits);
    UnmapViewOfFile(const_cast<DWORD*>(view));
    CloseHandle(mapping);
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "registry") == 0) {
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG rc = RegGetValueA(HKEY_CURRENT_USER, argv[2], argv[3], RRF_RT_REG_DWORD, nullptr, &value, &size);
    if (rc != ERROR_SUCCESS) {
      std::printf("%d error registry %ld\n", bits, rc);
      return 2;
    }
    std::printf("%d %lu\n", bits, value);
    return 0;
  }
  std::fprintf(stderr, "usage: peer_probe mapping NAME | write NAME OFFSET VALUE | registry KEY VALUE\n");
  return 1;
}
