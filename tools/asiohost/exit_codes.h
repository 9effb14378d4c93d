#pragma once
// asiohost's exit codes, as its usage text lists them.
namespace orvi::host {

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoDriver = 2,
  kExitCannotOpen = 3,
  kExitOperationFailed = 4,  // a driver call failed, or streaming did
  kExitBadFile = 5,          // a file cannot be read or written, or is malformed
  kExitCannotPlay = 6,       // the driver cannot take the format: rate, channels, depth, buffer size
};

}  // namespace orvi::host
