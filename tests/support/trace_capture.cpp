#include "tests/support/trace_capture.h"

#include <algorithm>

#include "ks/ks_trace.h"

namespace orvi::test {

TraceCapture::TraceCapture(int threshold) : m_saved(g_nKsTraceLevel) { g_nKsTraceLevel = threshold; }

TraceCapture::~TraceCapture() { g_nKsTraceLevel = m_saved; }

bool TraceCapture::Contains(const std::string& line) const {
  auto lines = Lines();
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace orvi::test
