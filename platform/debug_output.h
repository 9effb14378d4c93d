#pragma once
// Catches this process's OutputDebugStringA texts as a debugger would see them.
// OutputDebugStringA raises DBG_PRINTEXCEPTION_C; a vectored handler sees it
// first and lets it go on, so the text still reaches any attached debugger.
#include <windows.h>

#include <string>
#include <vector>

namespace orvi {

class DebugOutputCapture {
 public:
  // With echo set, each text is also written to standard error.
  explicit DebugOutputCapture(bool echo = false);
  ~DebugOutputCapture();
  DebugOutputCapture(const DebugOutputCapture&) = delete;
  DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

  std::vector<std::string> Lines() const;  // texts in the order they were sent
  void Clear();

 private:
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* info);
  void Add(const char* text, size_t length);

  PVOID m_cookie = nullptr;
  bool m_echo;
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  std::vector<std::string> m_lines;
};

}  // namespace orvi
