// orvibench: streams the driver object in-process against the simulated device
// and measures, per buffer length and rate, how regularly the buffer switches
// come, what the streaming thread costs per period, whether it allocates, and
// whether periods are missed; then the smallest buffer length that streams a
// minute without a miss while two busy processes load the cores.
//
//   orvibench [--quick] [--seconds S] [--out FILE.json] [--markdown FILE.md]
//             [--machine TEXT]
//   orvibench --hog PARENT_PID      (a busy child; the benchmark starts these)
//
// Exit codes: 0 done; 1 usage or setup error; 2 a case could not stream at all
// or the streaming thread allocated.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "asio/asio_sample.h"
#include "asio/module.h"
#include "bench/alloc_count.h"
#include "common/buffer_lengths.h"
#include "common/rates.h"
#include "sim/lab_state.h"

namespace {

namespace json = boost::json;
using orvi::CAsioSample;

// --- the host ---

// What one streaming run records. Everything the callback touches is sized
// before the stream starts, so the host itself never allocates on the
// streaming thread.
struct Run {
  CAsioSample* driver = nullptr;
  std::vector<ASIOBufferInfo> infos;
  size_t halfBytes = 0;
  long size = 0;
  size_t warm = 0;    // switches before the measured window
  size_t target = 0;  // index of the last measured switch
  std::vector<int64_t> ticks;
  std::vector<uint64_t> positions;
  size_t count = 0;  // switches recorded; written by the streaming thread only
  std::atomic<bool> abort{false};
  HANDLE done = nullptr;  // set at the last measured switch (or on abort)
  HANDLE thread = nullptr;
  std::atomic<size_t> ended{0};  // index the window ended at; 0 while open
  // Taken at the window's first and last switch, by the streaming thread.
  uint64_t cpu[2] = {0, 0};
  bench::AllocSnapshot allocs[2];
  uint64_t module[2] = {0, 0};
  LONG underruns[2] = {0, 0};
  LONG overruns[2] = {0, 0};
  bool begun = false;
};

Run* g_run = nullptr;

uint64_t ThreadCpu100ns(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  return (uint64_t{kernel.dwHighDateTime} << 32 | kernel.dwLowDateTime) +
         (uint64_t{user.dwHighDateTime} << 32 | user.dwLowDateTime);
}

void TakeSnapshot(Run& r, int which) {
  r.cpu[which] = ThreadCpu100ns(r.thread);
  r.allocs[which] = bench::Snapshot();
  r.module[which] = orvi::ModuleAllocCount();
  if (const sim::LabBlock* lab = sim::Lab::Block()) {
    r.underruns[which] = lab->underruns;
    r.overruns[which] = lab->overruns;
  }
}

void OnSwitch(long index, uint64_t position) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  Run& r = *g_run;
  const size_t k = r.count;
  if (r.ended.load(std::memory_order_relaxed) != 0 || k > r.target) return;
  if (k == 0) {
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &r.thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    bench::WatchThread(GetCurrentThreadId());
  }
  r.ticks[k] = now.QuadPart;
  r.positions[k] = position;
  const bool last = k == r.target || (r.abort.load(std::memory_order_relaxed) && r.begun);
  if (k == r.warm) {
    TakeSnapshot(r, 0);
    r.begun = true;
  } else if (last) {
    TakeSnapshot(r, 1);
  }
  // The host's work: fill the output halves and say so.
  for (const ASIOBufferInfo& info : r.infos) {
    if (!info.isInput) std::memset(info.buffers[index], static_cast<int>(k & 0x7F), r.halfBytes);
  }
  r.driver->outputReady();
  r.count = k + 1;
  if (last) {
    r.ended.store(k, std::memory_order_relaxed);
    SetEvent(r.done);
  }
}

void BufferSwitch(long index, ASIOBool) {
  ASIOSamples pos{};
  g_run->driver->getSamplePosition(&pos, nullptr);
  OnSwitch(index, AsioValue(pos));
}
ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool) {
  const ASIOSamples& pos = time->timeInfo.samplePosition;
  OnSwitch(index, AsioValue(pos));
  return time;
}
void SampleRateDidChange(ASIOSampleRate) {}
long AsioMessage(long selector, long, void*, double*) {
  switch (selector) {
    case kAsioEngineVersion:
      return 2;
    case kAsioSupportsTimeInfo:
      return 1;
    default:
      return 0;
  }
}
ASIOCallbacks g_callbacks = {BufferSwitch, SampleRateDidChange, AsioMessage, BufferSwitchTimeInfo};

// --- one case ---

struct Case {
  std::string name;  // "44100" or "DSD64"
  uint32_t rate = 0;
  bool dsd = false;
  uint32_t ms = 0;
  long size = 0;  // in samples of `rate`
};

Case MakeCase(uint32_t rate, uint32_t ms) {
  Case c;
  c.rate = rate;
  c.ms = ms;
  c.dsd = rate == orvi::kDsdRates[0] || rate == orvi::kDsdRates[1] || rate == orvi::kDsdRates[2];
  c.name = rate == orvi::kDsdRates[0]   ? "DSD64"
           : rate == orvi::kDsdRates[1] ? "DSD128"
           : rate == orvi::kDsdRates[2] ? "DSD256"
                                        : std::to_string(rate);
  const uint64_t samples = uint64_t{rate} * ms / 1000;
  // DSD travels in containers of 32 samples; the length rounds down to whole ones.
  c.size = static_cast<long>(c.dsd ? samples / 32 * 32 : samples);
  return c;
}

struct Result {
  Case c;
  std::string status;  // "ok", "incomplete" (window not finished), or why it did not stream
  std::string channels;
  double nominalUs = 0;
  size_t intervals = 0;
  double medianUs = 0, p99Us = 0, maxUs = 0, meanIntervalUs = 0;
  double driftPpm = 0, countMinusExpected = 0;
  bool cpuValid = false;
  double cpuUsPerPeriod = 0;
  uint64_t cpuTotal100ns = 0;
  bool allocValid = false;
  uint64_t moduleAllocs = 0;
  bench::AllocCounts driverAllocs, deviceAllocs;
  uint64_t positionJumps = 0;
  long underruns = 0, overruns = 0;
  double ranSeconds = 0;

  bool Streamed() const { return status == "ok" || status == "stopped at a miss" || status == "incomplete"; }
  uint64_t Misses() const { return positionJumps + static_cast<uint64_t>(underruns) + static_cast<uint64_t>(overruns); }
  uint64_t Allocations() const { return moduleAllocs + driverAllocs.Total() + deviceAllocs.Total(); }
};

struct Bench {
  std::string product;
  GUID clsid{};
  int64_t qpcFrequency = 0;
};

struct DriverRef {
  CAsioSample* p = nullptr;
  ~DriverRef() {
    if (p) p->Release();
  }
};

double Percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(sorted.size())));
  if (rank == 0) rank = 1;
  return sorted[std::min(rank, sorted.size()) - 1];
}

void Analyse(const Bench& b, const Run& run, size_t end, Result& res) {
  const size_t first = run.warm;
  if (end <= first) return;
  const double perTickUs = 1e6 / static_cast<double>(b.qpcFrequency);
  std::vector<double> deviations;
  deviations.reserve(end - first);
  double sum = 0;
  for (size_t k = first + 1; k <= end; ++k) {
    const double interval = static_cast<double>(run.ticks[k] - run.ticks[k - 1]) * perTickUs;
    sum += interval;
    deviations.push_back(std::fabs(interval - res.nominalUs));
    if (run.positions[k] - run.positions[k - 1] > static_cast<uint64_t>(run.size)) ++res.positionJumps;
  }
  res.intervals = end - first;
  std::sort(deviations.begin(), deviations.end());
  res.medianUs = Percentile(deviations, 0.5);
  res.p99Us = Percentile(deviations, 0.99);
  res.maxUs = deviations.back();
  res.meanIntervalUs = sum / static_cast<double>(res.intervals);
  // The switches' own period: the least-squares slope of switch time over
  // switch number; its departure from the nominal period is the drift.
  const double n = static_cast<double>(end - first + 1);
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (size_t k = first; k <= end; ++k) {
    const double x = static_cast<double>(k - first);
    const double y = static_cast<double>(run.ticks[k] - run.ticks[first]) * perTickUs;
    sx += x;
    sy += y;
    sxx += x * x;
    sxy += x * y;
  }
  const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
  res.driftPpm = (slope / res.nominalUs - 1.0) * 1e6;
  const double elapsedUs = static_cast<double>(run.ticks[end] - run.ticks[first]) * perTickUs;
  res.countMinusExpected = static_cast<double>(res.intervals) - elapsedUs / res.nominalUs;
}

// Streams one case: fresh driver object, rate, buffers, start, the measured
// window, stop, dispose. `missStops` ends the run at the first missed period.
Result RunCase(const Bench& b, const Case& c, double seconds, bool missStops) {
  Result res;
  res.c = c;
  res.nominalUs = static_cast<double>(c.size) * 1e6 / c.rate;
  DriverRef driver;
  driver.p = new CAsioSample(nullptr, b.clsid, b.product.c_str());
  driver.p->AddRef();
  if (FAILED(driver.p->DiscoverDevice())) {
    res.status = "no device";
    return res;
  }
  if (driver.p->init(nullptr) != ASIOTrue) {
    res.status = "init failed";
    return res;
  }
  if (driver.p->setSampleRate(c.rate) != ASE_OK) {
    res.status = "setSampleRate failed";
    return res;
  }
  long inputs = 0, outputs = 0;
  driver.p->getChannels(&inputs, &outputs);
  // Sample types are asked for as a host does; at DSD rates this is what
  // gives 32-bit containers.
  for (long i = 0; i < inputs + outputs; ++i) {
    ASIOChannelInfo info{};
    info.channel = i < inputs ? i : i - inputs;
    info.isInput = i < inputs ? ASIOTrue : ASIOFalse;
    driver.p->getChannelInfo(&info);
  }
  Run run;
  run.driver = driver.p;
  run.size = c.size;
  run.halfBytes = c.dsd ? static_cast<size_t>(c.size) / 8 : static_cast<size_t>(c.size) * (driver.p->Bits() / 8);
  const long in = std::min(inputs, 2L), out = std::min(outputs, 2L);
  auto channels = [&](long ins) {
    run.infos.clear();
    for (long i = 0; i < out; ++i) run.infos.push_back(ASIOBufferInfo{ASIOFalse, i, {}});
    for (long i = 0; i < ins; ++i) run.infos.push_back(ASIOBufferInfo{ASIOTrue, i, {}});
    return driver.p->createBuffers(run.infos.data(), static_cast<long>(run.infos.size()), c.size, &g_callbacks);
  };
  ASIOError created = channels(in);
  res.channels = std::to_string(out) + " out + " + std::to_string(in) + " in";
  if (created != ASE_OK && in > 0) {
    created = channels(0);
    res.channels = std::to_string(out) + " out (inputs refused)";
  }
  if (created != ASE_OK) {
    res.status = "createBuffers failed (" + std::to_string(created) + ")";
    return res;
  }
  res.channels += ", " + std::to_string(driver.p->Bits()) + "-bit";

  const double periodS = res.nominalUs / 1e6;
  run.warm = std::max<size_t>(4, static_cast<size_t>(std::ceil(0.25 / periodS)));
  run.target = run.warm + std::max<size_t>(2, static_cast<size_t>(std::ceil(seconds / periodS)));
  run.ticks.assign(run.target + 1, 0);
  run.positions.assign(run.target + 1, 0);
  run.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  g_run = &run;

  const ULONGLONG started = GetTickCount64();
  const ULONGLONG limit = static_cast<ULONGLONG>((static_cast<double>(run.target) * periodS + 10.0) * 1000);
  if (driver.p->start() != ASE_OK) {
    res.status = "start failed";
  } else {
    while (WaitForSingleObject(run.done, 100) == WAIT_TIMEOUT) {
      if (GetTickCount64() - started > limit) break;
      if (missStops && run.begun && !run.abort) {
        const sim::LabBlock* lab = sim::Lab::Block();
        if (lab && (lab->underruns != run.underruns[0] || lab->overruns != run.overruns[0])) run.abort = true;
      }
    }
    driver.p->stop();
  }
  res.ranSeconds = static_cast<double>(GetTickCount64() - started) / 1000;
  driver.p->disposeBuffers();  // the streaming thread is gone after this
  bench::WatchThread(0);
  g_run = nullptr;

  const size_t end = run.ended.load();
  if (res.status.empty()) {
    if (run.count < 2) {
      res.status = "no buffer switch";
    } else {
      res.status = end == 0 ? "incomplete" : run.abort ? "stopped at a miss" : "ok";
    }
  }
  const size_t last = end != 0 ? end : (run.count > 0 ? run.count - 1 : 0);
  Analyse(b, run, last, res);
  if (end != 0 && run.begun) {
    const size_t periods = end - run.warm;
    res.cpuValid = true;
    res.cpuTotal100ns = run.cpu[1] - run.cpu[0];
    res.cpuUsPerPeriod = static_cast<double>(res.cpuTotal100ns) / 10.0 / static_cast<double>(periods);
    res.allocValid = true;
    res.moduleAllocs = run.module[1] - run.module[0];
    auto delta = [](const bench::AllocCounts& a, const bench::AllocCounts& z) {
      return bench::AllocCounts{z.newCalls - a.newCalls, z.mallocCalls - a.mallocCalls, z.heapCalls - a.heapCalls};
    };
    res.driverAllocs = delta(run.allocs[0].driver, run.allocs[1].driver);
    res.deviceAllocs = delta(run.allocs[0].device, run.allocs[1].device);
    res.underruns = run.underruns[1] - run.underruns[0];
    res.overruns = run.overruns[1] - run.overruns[0];
  } else if (run.begun) {
    // Ended early: the device's counters as they stand now.
    if (const sim::LabBlock* lab = sim::Lab::Block()) {
      res.underruns = lab->underruns - run.underruns[0];
      res.overruns = lab->overruns - run.overruns[0];
    }
  }
  if (run.thread) CloseHandle(run.thread);
  CloseHandle(run.done);
  return res;
}

// --- busy children ---

int HogMain(DWORD parent) {
  HANDLE p = OpenProcess(SYNCHRONIZE, FALSE, parent);
  volatile uint64_t spin = 0;
  for (;;) {
    for (int i = 0; i < 20000000; ++i) spin = spin + 1;
    // Never outlive the benchmark, even if it was killed.
    if (!p || WaitForSingleObject(p, 0) != WAIT_TIMEOUT) return 0;
  }
}

struct Hogs {
  HANDLE job = nullptr;
  std::vector<PROCESS_INFORMATION> children;

  bool Start(int n) {
    job = CreateJobObjectA(nullptr, nullptr);
    if (job) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, sizeof self);
    for (int i = 0; i < n; ++i) {
      std::string line = "\"" + std::string(self) + "\" --hog " + std::to_string(GetCurrentProcessId());
      STARTUPINFOA si{};
      si.cb = sizeof si;
      PROCESS_INFORMATION pi{};
      if (!CreateProcessA(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
      if (job) AssignProcessToJobObject(job, pi.hProcess);
      children.push_back(pi);
    }
    Sleep(1000);  // let them get going
    return true;
  }
  ~Hogs() {
    for (PROCESS_INFORMATION& pi : children) {
      TerminateProcess(pi.hProcess, 0);
      WaitForSingleObject(pi.hProcess, 5000);
      CloseHandle(pi.hProcess);
      CloseHandle(pi.hThread);
    }
    if (job) CloseHandle(job);
  }
};

struct HogSearch {
  std::string name;
  double seconds = 0;
  int hogs = 0;
  bool hogsStarted = false;
  std::vector<Result> tried;
  uint32_t smallestMs = 0;  // 0: none of those tried
};

HogSearch SearchUnderLoad(const Bench& b, uint32_t rate, double seconds, size_t maxTries) {
  HogSearch s;
  s.seconds = seconds;
  s.hogs = 2;
  Hogs hogs;
  s.hogsStarted = hogs.Start(s.hogs);
  s.name = MakeCase(rate, 10).name;
  size_t tries = 0;
  for (uint32_t ms : orvi::kBufferLengthsMs) {
    if (tries++ >= maxTries) break;
    Result r = RunCase(b, MakeCase(rate, ms), seconds, true);
    std::printf("  under load %-7s %4u ms: %s, %llu missed in %.1f s\n", s.name.c_str(), ms, r.status.c_str(),
                static_cast<unsigned long long>(r.Misses()), r.ranSeconds);
    std::fflush(stdout);
    const bool passed = r.status == "ok" && r.Misses() == 0;
    s.tried.push_back(std::move(r));
    if (passed) {
      s.smallestMs = ms;
      break;
    }
  }
  return s;
}

// --- conditions ---

std::string WineVersion() {
  using Fn = const char*(CDECL*)();
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto fn = ntdll ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version"))) : nullptr;
  return fn ? fn() : "not Wine (no wine_get_version)";
}

std::string UtcNow() {
  SYSTEMTIME t;
  GetSystemTime(&t);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                t.wSecond);
  return text;
}

// The step in which this system's thread CPU times advance, in microseconds:
// spins until the main thread's time has changed three times and takes the
// smallest change.
double CpuTimeStepUs() {
  HANDLE self = GetCurrentThread();
  uint64_t last = ThreadCpu100ns(self);
  uint64_t step = 0;
  int changes = 0;
  const ULONGLONG until = GetTickCount64() + 3000;
  while (changes < 3 && GetTickCount64() < until) {
    const uint64_t now = ThreadCpu100ns(self);
    if (now != last) {
      if (step == 0 || now - last < step) step = now - last;
      last = now;
      ++changes;
    }
  }
  return static_cast<double>(step) / 10.0;
}

// --- output ---

json::object CountsJson(const bench::AllocCounts& a) {
  return {{"operator_new", a.newCalls}, {"malloc_family", a.mallocCalls}, {"heap_alloc", a.heapCalls}};
}

json::object ResultJson(const Result& r) {
  json::object o{{"format", r.c.name},
                 {"rate_hz", r.c.rate},
                 {"dsd", r.c.dsd},
                 {"buffer_ms", r.c.ms},
                 {"buffer_samples", r.c.size},
                 {"nominal_period_us", r.nominalUs},
                 {"channels", r.channels},
                 {"status", r.status},
                 {"ran_seconds", r.ranSeconds},
                 {"measured_periods", r.intervals}};
  if (r.intervals > 0) {
    o["jitter_abs_us"] = json::object{{"median", r.medianUs}, {"p99", r.p99Us}, {"max", r.maxUs}};
    o["mean_interval_us"] = r.meanIntervalUs;
    o["drift_ppm"] = r.driftPpm;
    o["switches_minus_expected"] = r.countMinusExpected;
  }
  if (r.cpuValid) {
    o["cpu_us_per_period"] = r.cpuUsPerPeriod;
    o["cpu_total_us"] = static_cast<double>(r.cpuTotal100ns) / 10.0;
  }
  if (r.allocValid) {
    o["allocations"] = json::object{{"driver_module_heap", r.moduleAllocs},
                                    {"driver_on_streaming_thread", CountsJson(r.driverAllocs)},
                                    {"device_on_streaming_thread", CountsJson(r.deviceAllocs)},
                                    {"total", r.Allocations()}};
  }
  o["missed_periods"] = json::object{{"position_jumps", r.positionJumps},
                                     {"device_underruns", r.underruns},
                                     {"device_overruns", r.overruns},
                                     {"total", r.Misses()}};
  return o;
}

std::string Fmt(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

std::string AllocText(const Result& r) { return r.allocValid ? std::to_string(r.Allocations()) : "-"; }

std::string Row(const Result& r, bool markdown) {
  std::string cells[] = {r.c.name,
                         std::to_string(r.c.ms) + " ms",
                         std::to_string(r.c.size),
                         std::to_string(r.intervals),
                         r.intervals ? Fmt("%.0f", r.medianUs) : "-",
                         r.intervals ? Fmt("%.0f", r.p99Us) : "-",
                         r.intervals ? Fmt("%.0f", r.maxUs) : "-",
                         r.intervals ? Fmt("%+.0f", r.driftPpm) : "-",
                         r.cpuValid ? Fmt("%.1f", r.cpuUsPerPeriod) : "-",
                         AllocText(r),
                         std::to_string(r.Misses()),
                         r.status};
  std::string line;
  if (markdown) {
    line = "|";
    for (const std::string& cell : cells) line += " " + cell + " |";
    return line;
  }
  const int widths[] = {7, 7, 7, 6, 7, 7, 8, 7, 8, 6, 6, 0};
  for (size_t i = 0; i < std::size(cells); ++i) {
    char text[96];
    std::snprintf(text, sizeof text, "%*s ", widths[i], cells[i].c_str());
    line += text;
  }
  return line;
}

const char* kHeaderCells[] = {"format", "buffer", "samples", "periods", "jit-med", "jit-p99", "jit-max", "drift",
                              "cpu/per", "allocs", "missed", "status"};

std::string TextHeader() {
  std::string line;
  const int widths[] = {7, 7, 7, 6, 7, 7, 8, 7, 8, 6, 6, 0};
  for (size_t i = 0; i < std::size(kHeaderCells); ++i) {
    char text[64];
    std::snprintf(text, sizeof text, "%*s ", widths[i], kHeaderCells[i]);
    line += text;
  }
  return line;
}

struct Options {
  bool quick = false;
  double seconds = 10;
  std::string out, markdown, machine = "not given (--machine)";
};

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& to) {
      if (i + 1 >= argc) return false;
      to = argv[++i];
      return true;
    };
    if (a == "--quick") {
      o.quick = true;
    } else if (a == "--seconds") {
      std::string v;
      if (!value(v)) return false;
      o.seconds = std::atof(v.c_str());
      if (o.seconds <= 0) return false;
    } else if (a == "--out") {
      if (!value(o.out)) return false;
    } else if (a == "--markdown") {
      if (!value(o.markdown)) return false;
    } else if (a == "--machine") {
      if (!value(o.machine)) return false;
    } else {
      return false;
    }
  }
  if (o.quick) o.seconds = 1;
  return true;
}


}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--hog") == 0) return HogMain(static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  Options opt;
  if (!ParseArgs(argc, argv, opt)) {
    std::fprintf(stderr,
                 "usage: orvibench [--quick] [--seconds S] [--out FILE.json] [--markdown FILE.md] [--machine TEXT]\n");
    return 1;
  }
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const bool hooked = bench::InstallAllocHooks() && bench::VerifyAllocHooks();
  // A lab of the benchmark's own, so it never plugs or unplugs anybody else's
  // simulated device.
  sim::Lab::UseOwnDirectory("bench", false);

  Bench b;
  b.product = "OrviBench" + std::to_string(GetCurrentProcessId());
  b.clsid = {0x6f727669, 0x6265, 0x6e63, {0x68, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
  LARGE_INTEGER f;
  QueryPerformanceFrequency(&f);
  b.qpcFrequency = f.QuadPart;

  std::string error;
  if (!sim::Lab::Plug("{}", error)) {
    std::fprintf(stderr, "orvibench: cannot plug the simulated device: %s\n", error.c_str());
    return 1;
  }
  const std::string settingsKey = "Software\\ASIO\\" + b.product;
  {
    HKEY key = nullptr;
    const DWORD bits = 32;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, settingsKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
      RegSetValueExA(key, "BitsPerSample", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&bits), sizeof bits);
      RegCloseKey(key);
    }
  }

  SYSTEM_INFO si;
  GetSystemInfo(&si);
  const double cpuStepUs = CpuTimeStepUs();
  const std::string wine = WineVersion();
  const std::string date = UtcNow();
  std::printf("orvibench: %s; Wine %s; %lu CPUs; %s%s\n", opt.machine.c_str(), wine.c_str(),
              si.dwNumberOfProcessors, date.c_str(), opt.quick ? "; quick" : "");
  std::printf("thread CPU times advance in steps of %.0f us here: per-period CPU is an average over the run\n",
              cpuStepUs);
  if (!hooked) std::printf("error: allocations cannot be counted (hooks missing or not counting)\n");
  std::printf("%s\n", TextHeader().c_str());
  std::fflush(stdout);

  std::vector<Result> results;
  const uint32_t rates[] = {44100, 192000, 384000, orvi::kDsdRates[0], orvi::kDsdRates[2]};
  const uint32_t lengths[] = {2, 5, 10, 20, 50, 100};
  for (uint32_t rate : rates) {
    for (uint32_t ms : lengths) {
      results.push_back(RunCase(b, MakeCase(rate, ms), opt.seconds, false));
      std::printf("%s\n", Row(results.back(), false).c_str());
      std::fflush(stdout);
    }
  }

  const double hogSeconds = opt.quick ? 3 : 60;
  const size_t hogTries = opt.quick ? 2 : orvi::kBufferLengthsMs.size();
  std::printf("smallest buffer without a missed period for %.0f s, two busy processes running:\n", hogSeconds);
  std::vector<HogSearch> searches;
  for (uint32_t rate : {44100u, orvi::kDsdRates[0]}) {
    searches.push_back(SearchUnderLoad(b, rate, hogSeconds, hogTries));
    const HogSearch& s = searches.back();
    std::printf("  %s: %s\n", s.name.c_str(),
                s.smallestMs ? (std::to_string(s.smallestMs) + " ms").c_str() : "none of those tried");
    std::fflush(stdout);
  }

  RegDeleteTreeA(HKEY_CURRENT_USER, settingsKey.c_str());
  sim::Lab::Reset();

  bool failed = false;
  uint64_t allocations = 0;
  for (const Result& r : results) {
    failed = failed || !r.Streamed();
    allocations += r.Allocations();
  }
  for (const HogSearch& s : searches) {
    for (const Result& r : s.tried) {
      failed = failed || !r.Streamed();
      allocations += r.Allocations();
    }
  }

  const std::string clockText =
      "simulated device: one clock thread per pin on QueryPerformanceCounter, completing each packet when its "
      "last frame is due (millisecond waits, then SwitchToThread until due)";
  json::object conditions{{"machine", opt.machine},
                          {"wine_version", wine},
                          {"cpus", si.dwNumberOfProcessors},
                          {"date_utc", date},
                          {"quick", opt.quick},
                          {"seconds_per_case", opt.seconds},
                          {"device_clock", clockText},
                          {"qpc_frequency_hz", b.qpcFrequency},
                          {"thread_cpu_time_step_us", cpuStepUs},
                          {"allocation_hooks", std::string("operator new, ") + bench::HookedFunctions()},
                          {"allocation_hooks_verified", hooked},
                          {"load_note", "2 cores shared with other builds, which may have been running"}};
  json::array cases;
  for (const Result& r : results) cases.push_back(ResultJson(r));
  json::array loaded;
  for (const HogSearch& s : searches) {
    json::array tried;
    for (const Result& r : s.tried) tried.push_back(ResultJson(r));
    loaded.push_back(json::object{{"format", s.name},
                                  {"busy_processes", s.hogs},
                                  {"busy_processes_started", s.hogsStarted},
                                  {"seconds_required", s.seconds},
                                  {"smallest_buffer_ms", s.smallestMs ? json::value(s.smallestMs) : json::value()},
                                  {"tried", std::move(tried)}});
  }
  json::object doc{{"conditions", std::move(conditions)},
                   {"cases", std::move(cases)},
                   {"under_load", std::move(loaded)},
                   {"allocations_total", allocations},
                   {"all_cases_streamed", !failed}};
  if (!opt.out.empty()) {
    std::ofstream file(opt.out, std::ios::binary);
    file << json::serialize(doc) << "\n";
    if (!file) {
      std::fprintf(stderr, "orvibench: cannot write %s\n", opt.out.c_str());
      return 1;
    }
  }
  if (!opt.markdown.empty()) {
    std::ofstream md(opt.markdown, std::ios::binary);
    md << "Measured " << date << " on " << opt.machine << "; Wine " << wine << ", " << si.dwNumberOfProcessors
       << " CPUs as Windows sees them; " << opt.seconds << " s per case" << (opt.quick ? " (quick run)" : "")
       << ". Other builds may have been running on the same cores.\n\n"
       << "Jitter: |interval between consecutive buffer switches - nominal period|, in microseconds, against the "
       << "simulated device's clock (" << clockText << "). Drift: the switches' least-squares period against the "
       << "nominal one, ppm. CPU: the streaming thread's user+kernel time per period, microseconds; Wine advances "
       << "thread times in steps of " << Fmt("%.0f", cpuStepUs) << " us, so this is an average over the run. "
       << "Allocations: between the first and last measured switch (driver module heap, plus operator new, "
       << bench::HookedFunctions() << " on the streaming thread, driver and simulated device together; the "
       << "JSON splits them). Missed: position jumps plus the device's "
       << "underruns and overruns.\n\n|";
    for (const char* h : kHeaderCells) md << " " << h << " |";
    md << "\n|";
    for (size_t i = 0; i < std::size(kHeaderCells); ++i) md << "---|";
    md << "\n";
    for (const Result& r : results) md << Row(r, true) << "\n";
    md << "\nSmallest buffer length (from the driver's table, upward from 2 ms) streaming " << hogSeconds
       << " s without a missed period while two busy processes spin:\n\n";
    for (const HogSearch& s : searches) {
      md << "- " << s.name << ": " << (s.smallestMs ? std::to_string(s.smallestMs) + " ms" : "none of those tried")
         << " (tried:";
      const char* separator = " ";
      for (const Result& r : s.tried) {
        md << separator << r.c.ms << " ms " << (r.status == "ok" && r.Misses() == 0 ? "passed" : "failed") << " ("
           << r.Misses() << " missed in " << Fmt("%.1f", r.ranSeconds) << " s)";
        separator = "; ";
      }
      md << ")\n";
    }
    if (!md) {
      std::fprintf(stderr, "orvibench: cannot write %s\n", opt.markdown.c_str());
      return 1;
    }
  }
  std::printf("allocations on the streaming thread while streaming: %llu; every case streamed: %s\n",
              static_cast<unsigned long long>(allocations), failed ? "no" : "yes");
  if (!hooked) return 2;
  return failed || allocations > 0 ? 2 : 0;
}
