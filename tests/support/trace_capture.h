#pragma once
// Captures the KS trace at a chosen threshold for the life of the object.
#include <string>
#include <vector>

#include "platform/debug_output.h"

namespace orvi::test {

class TraceCapture {
 public:
  explicit TraceCapture(int threshold);
  ~TraceCapture();
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  std::vector<std::string> Lines() const { return m_capture.Lines(); }
  bool Contains(const std::string& line) const;
  void Clear() { m_capture.Clear(); }

 private:
  int m_saved;
  DebugOutputCapture m_capture;
};

}  // namespace orvi::test
