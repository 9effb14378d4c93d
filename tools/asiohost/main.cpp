// asiohost: uses an installed ASIO driver the way an ASIO host does, and says
// what the driver answered.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/asiohost/asio_driver.h"
#include "tools/asiohost/asio_names.h"
#include "tools/asiohost/driver_registry.h"
#include "tools/asiohost/driver_report.h"

namespace {

using namespace orvi::host;

enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoDriver = 2,
  kExitCannotOpen = 3,
  kExitOperationFailed = 4,
};

constexpr char kUsage[] =
    "usage: asiohost COMMAND [OPTIONS]\n"
    "  list                       the installed ASIO drivers; name and version of each that loads\n"
    "  info [--driver NAME] [--rate HZ]\n"
    "                             everything the driver reports about itself; with --rate,\n"
    "                             after setting that sample rate\n"
    "  --driver NAME              a driver as installed under HKLM\\Software\\ASIO (default: the\n"
    "                             only one installed, else " ORVI_DRIVER_PRODUCT ")\n"
    "exit codes: 0 done, 1 usage error, 2 no such driver, 3 the driver cannot be created or\n"
    "initialized, 4 a requested operation failed\n";

constexpr double kMaxRate = 100e6;  // well above DSD1024

int Usage(const char* problem = nullptr) {
  if (problem) std::fprintf(stderr, "asiohost: %s\n", problem);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

int Fail(int code, const std::string& message) {
  std::fprintf(stderr, "asiohost: %s\n", message.c_str());
  return code;
}

struct Options {
  std::string driver;
  bool hasRate = false;
  double rate = 0;
};

// Options after the command; false with `problem` for anything unknown.
bool ParseOptions(int argc, char** argv, Options& o, std::string& problem) {
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg != "--driver" && arg != "--rate") {
      problem = "unknown argument " + arg;
      return false;
    }
    if (i + 1 >= argc) {
      problem = arg + " needs a value";
      return false;
    }
    const char* value = argv[++i];
    if (arg == "--driver") {
      o.driver = value;
      if (o.driver.empty()) {
        problem = "--driver needs a name";
        return false;
      }
      continue;
    }
    char* end = nullptr;
    o.rate = std::strtod(value, &end);
    if (end == value || *end != '\0' || !std::isfinite(o.rate) || o.rate <= 0 || o.rate > kMaxRate) {
      problem = std::string("--rate needs a sample rate in Hz, not ") + value;
      return false;
    }
    o.hasRate = true;
  }
  return true;
}

bool ReadDrivers(std::vector<InstalledDriver>& drivers) {
  std::string error;
  if (ReadInstalledDrivers(drivers, error)) return true;
  Fail(kExitNoDriver, error);
  return false;
}

int List() {
  std::vector<InstalledDriver> drivers;
  if (!ReadDrivers(drivers)) return kExitNoDriver;
  if (drivers.empty()) return Fail(kExitNoDriver, "no ASIO driver is installed");
  for (const InstalledDriver& d : drivers) {
    std::printf("%s\n", d.name.c_str());
    if (!d.description.empty()) std::printf("  description   %s\n", d.description.c_str());
    std::printf("  CLSID         %s\n", d.usable ? ClsidText(d.clsid).c_str() : ("broken: " + d.problem).c_str());
    std::printf("  DLL           %s\n", d.dllNote.empty() ? d.dllPath.c_str() : d.dllNote.c_str());
    if (!d.usable) continue;
    AsioDriver driver;
    std::string error;
    if (!driver.Open(d.name, d.clsid, error)) {
      std::printf("  not loaded    %s\n", error.c_str());
      continue;
    }
    DriverText name = ReadDriverName(*driver.get());
    std::printf("  driver name   \"%s\"%s\n", name.text.c_str(), name.terminated ? "" : " (not terminated; cut)");
    std::printf("  version       %ld\n", driver.get()->getDriverVersion());
  }
  return kExitOk;
}

int Info(const Options& o) {
  std::vector<InstalledDriver> drivers;
  if (!ReadDrivers(drivers)) return kExitNoDriver;
  std::string error;
  const InstalledDriver* d = ChooseDriver(drivers, o.driver, ORVI_DRIVER_PRODUCT, error);
  if (!d) return Fail(kExitNoDriver, error);
  if (!d->usable) return Fail(kExitCannotOpen, "driver " + d->name + " is installed but broken: " + d->problem);
  AsioDriver driver;
  if (!driver.Open(d->name, d->clsid, error)) return Fail(kExitCannotOpen, error);
  if (o.hasRate) {
    ASIOError e = driver.get()->setSampleRate(o.rate);
    if (e != ASE_OK)
      return Fail(kExitOperationFailed,
                  "driver " + d->name + ": setSampleRate(" + FormatRate(o.rate) + ") failed: " + ErrorName(e));
  }
  std::fputs(FormatReport(GatherReport(*driver.get())).c_str(), stdout);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "help" || command == "--help" || command == "-h") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  Options options;
  std::string problem;
  if (!ParseOptions(argc, argv, options, problem)) return Usage(problem.c_str());
  if (command == "list") {
    if (argc > 2) return Usage("list takes no options");
    return List();
  }
  if (command == "info") return Info(options);
  return Usage(("unknown command " + command).c_str());
}
