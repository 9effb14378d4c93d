#pragma once
// What the user sees while streaming (one line on stderr, rewritten in place)
// and after it (the summary on stdout).
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace orvi::host {

// "elapsed 12.3 s  switches 1234  missed 0"
std::string ProgressLine(double elapsedSeconds, uint64_t switches, uint64_t missed);

// The progress line, rewritten with '\r' at most once per interval.
class Progress {
 public:
  Progress(std::FILE* out, bool enabled, uint64_t intervalMs = 250)
      : m_out(out), m_enabled(enabled), m_intervalMs(intervalMs) {}
  // `nowMs`: a monotonic clock. Prints only when the interval has passed since
  // the last print (the first call always prints).
  void Update(uint64_t nowMs, double elapsedSeconds, uint64_t switches, uint64_t missed);
  // Ends the line, if one was printed, so what follows starts on a line of its own.
  void Finish();

 private:
  std::FILE* m_out;
  bool m_enabled;
  uint64_t m_intervalMs;
  bool m_printed = false;
  uint64_t m_lastMs = 0;
  size_t m_width = 0;  // of the last line, to blank out a longer one's rest
};

// Label and text lines, aligned as `info` aligns its report.
using SummaryLines = std::vector<std::pair<std::string, std::string>>;
std::string FormatSummary(const SummaryLines& lines);

// "480 frames (10.00 ms)"
std::string FramesAndMs(uint64_t frames, double rate);

}  // namespace orvi::host
