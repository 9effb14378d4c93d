#include "tools/asiohost/progress.h"

namespace orvi::host {

std::string ProgressLine(double elapsedSeconds, uint64_t switches, uint64_t missed) {
  char text[96];
  std::snprintf(text, sizeof text, "elapsed %.1f s  switches %llu  missed %llu", elapsedSeconds,
                static_cast<unsigned long long>(switches), static_cast<unsigned long long>(missed));
  return text;
}

void Progress::Update(uint64_t nowMs, double elapsedSeconds, uint64_t switches, uint64_t missed) {
  if (!m_enabled) return;
  if (m_printed && nowMs - m_lastMs < m_intervalMs) return;
  std::string line = ProgressLine(elapsedSeconds, switches, missed);
  const size_t width = line.size();
  if (width < m_width) line.append(m_width - width, ' ');
  std::fprintf(m_out, "\r%s", line.c_str());
  std::fflush(m_out);
  m_width = width;
  m_printed = true;
  m_lastMs = nowMs;
}

void Progress::Finish() {
  if (!m_printed) return;
  std::fputc('\n', m_out);
  std::fflush(m_out);
  m_printed = false;
  m_width = 0;
}

std::string FormatSummary(const SummaryLines& lines) {
  constexpr size_t kWidth = 16;
  std::string out;
  for (const auto& [label, text] : lines) {
    out += label;
    out.append(label.size() < kWidth ? kWidth - label.size() : 1, ' ');
    out += text;
    out += '\n';
  }
  return out;
}

std::string FramesAndMs(uint64_t frames, double rate) {
  char text[64];
  std::snprintf(text, sizeof text, "%llu frames (%.2f ms)", static_cast<unsigned long long>(frames),
                rate > 0 ? static_cast<double>(frames) * 1000.0 / rate : 0.0);
  return text;
}

}  // namespace orvi::host
