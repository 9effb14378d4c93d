// asiohost: uses an installed ASIO driver the way an ASIO host does: says what
// the driver answered, plays files, records and checks a loopback through it.
// The commands live in their modules; this file reads the command line.
#include <algorithm>
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
#include "tools/asiohost/exit_codes.h"
#include "tools/asiohost/stream_commands.h"

namespace {

using namespace orvi::host;

constexpr char kUsage[] =
    "usage: asiohost COMMAND [OPTIONS]\n"
    "  list                       the installed ASIO drivers; name and version of each that loads\n"
    "  info [--driver NAME] [--rate HZ]\n"
    "                             everything the driver reports about itself; with --rate,\n"
    "                             after setting that sample rate\n"
    "  play FILE [--driver NAME] [--buffer FRAMES | --buffer-ms MS] [--quiet]\n"
    "                             plays a WAV (16/24/32-bit PCM, DoP as it is), DSF or DFF file\n"
    "                             (native DSD) on outputs 0..n-1 at the file's rate\n"
    "  record FILE.wav --seconds S [--driver NAME] [--rate HZ] [--buffer FRAMES | --buffer-ms MS]\n"
    "         [--quiet]           records every input to a WAV of the driver's sample type\n"
    "  loopback [--seconds S] [--driver NAME] [--rate HZ] [--buffer FRAMES | --buffer-ms MS]\n"
    "         [--quiet]           plays a test signal and checks that the inputs bring it back\n"
    "                             bit for bit (default 1 s); prints the offset in frames\n"
    "  --driver NAME              a driver as installed under HKLM\\Software\\ASIO (default: the\n"
    "                             only one installed, else " ORVI_DRIVER_PRODUCT ")\n"
    "  --buffer FRAMES            buffer size in frames (DSD: samples, a multiple of 32); default:\n"
    "                             the driver's preferred size\n"
    "  --buffer-ms MS             buffer size in milliseconds at the stream's rate\n"
    "  --quiet                    no progress line on stderr\n"
    "exit codes: 0 done, 1 usage error, 2 no such driver, 3 the driver cannot be created or\n"
    "initialized, 4 a requested operation or the streaming failed, 5 the file cannot be read or\n"
    "written or is malformed, 6 the driver cannot play the format (rate, channels, bit depth,\n"
    "buffer size)\n";

constexpr double kMaxRate = 100e6;  // well above DSD1024
constexpr long kMaxBufferFrames = 1 << 22;
constexpr double kMaxBufferMs = 10000;
constexpr double kMaxSeconds = 24 * 3600;

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
  std::vector<std::string> positional;
  long bufferFrames = 0;
  double bufferMs = 0;
  bool hasSeconds = false;
  double seconds = 0;
  bool quiet = false;
  std::vector<std::string> given;  // the options named, for the per-command check
};

// A positive, finite number no larger than `max`, the whole of `text`.
bool ParseNumber(const char* text, double max, double& value) {
  char* end = nullptr;
  value = std::strtod(text, &end);
  return end != text && *end == '\0' && std::isfinite(value) && value > 0 && value <= max;
}

// Options after the command; false with `problem` for anything unknown.
bool ParseOptions(int argc, char** argv, Options& o, std::string& problem) {
  static const char* const kValued[] = {"--driver", "--rate", "--buffer", "--buffer-ms", "--seconds"};
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quiet") {
      o.quiet = true;
      o.given.push_back(arg);
      continue;
    }
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      o.positional.push_back(arg);
      continue;
    }
    if (std::find(std::begin(kValued), std::end(kValued), arg) == std::end(kValued)) {
      problem = "unknown argument " + arg;
      return false;
    }
    if (i + 1 >= argc) {
      problem = arg + " needs a value";
      return false;
    }
    o.given.push_back(arg);
    const char* value = argv[++i];
    double number = 0;
    if (arg == "--driver") {
      o.driver = value;
      if (o.driver.empty()) {
        problem = "--driver needs a name";
        return false;
      }
    } else if (arg == "--rate") {
      if (!ParseNumber(value, kMaxRate, o.rate)) {
        problem = std::string("--rate needs a sample rate in Hz, not ") + value;
        return false;
      }
      o.hasRate = true;
    } else if (arg == "--buffer") {
      if (!ParseNumber(value, kMaxBufferFrames, number) || number != std::floor(number)) {
        problem = std::string("--buffer needs a whole number of frames from 1 to ") +
                  std::to_string(kMaxBufferFrames) + ", not " + value;
        return false;
      }
      o.bufferFrames = static_cast<long>(number);
    } else if (arg == "--buffer-ms") {
      if (!ParseNumber(value, kMaxBufferMs, o.bufferMs)) {
        problem = std::string("--buffer-ms needs milliseconds above 0 up to 10000, not ") + value;
        return false;
      }
    } else if (!ParseNumber(value, kMaxSeconds, o.seconds)) {
      problem = std::string("--seconds needs seconds above 0 up to 86400, not ") + value;
      return false;
    } else {
      o.hasSeconds = true;
    }
  }
  if (o.bufferFrames && o.bufferMs > 0) {
    problem = "--buffer and --buffer-ms exclude each other";
    return false;
  }
  return true;
}

// Whether `command` takes every option given and `files` positional arguments.
bool CheckCommand(const Options& o, const std::string& command, std::initializer_list<const char*> allowed,
                  size_t files, std::string& problem) {
  for (const std::string& given : o.given) {
    if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return given == a; })) {
      problem = command + " does not take " + given;
      return false;
    }
  }
  if (o.positional.size() < files) {
    problem = command + " needs a FILE";
    return false;
  }
  if (o.positional.size() > files) {
    problem = "unknown argument " + o.positional[files];
    return false;
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

StreamOptions ToStreamOptions(const Options& o) {
  StreamOptions s;
  s.driver = o.driver;
  s.defaultDriver = ORVI_DRIVER_PRODUCT;
  s.file = o.positional.empty() ? std::string() : o.positional[0];
  s.hasRate = o.hasRate;
  s.rate = o.rate;
  s.bufferFrames = o.bufferFrames;
  s.bufferMs = o.bufferMs;
  s.seconds = o.seconds;
  s.quiet = o.quiet;
  return s;
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
  if (command == "info") {
    if (!CheckCommand(options, command, {"--driver", "--rate"}, 0, problem)) return Usage(problem.c_str());
    return Info(options);
  }
  const auto streaming = {"--driver", "--buffer", "--buffer-ms", "--quiet", "--rate", "--seconds"};
  if (command == "play") {
    if (!CheckCommand(options, command, {"--driver", "--buffer", "--buffer-ms", "--quiet"}, 1, problem))
      return Usage(problem.c_str());
    return Play(ToStreamOptions(options));
  }
  if (command == "record") {
    if (!CheckCommand(options, command, streaming, 1, problem)) return Usage(problem.c_str());
    if (!options.hasSeconds) return Usage("record needs --seconds");
    return Record(ToStreamOptions(options));
  }
  if (command == "loopback") {
    if (!CheckCommand(options, command, streaming, 0, problem)) return Usage(problem.c_str());
    return Loopback(ToStreamOptions(options));
  }
  return Usage(("unknown command " + command).c_str());
}
