#include "platform/debug_output.h"

#include <cstdio>
#include <cstring>

namespace orvi {
namespace {
// One capture at a time per process; the handler reaches it through this.
DebugOutputCapture* g_active = nullptr;
}  // namespace

DebugOutputCapture::DebugOutputCapture(bool echo) : m_echo(echo) {
  g_active = this;
  m_cookie = AddVectoredExceptionHandler(1, &DebugOutputCapture::Handler);
}

DebugOutputCapture::~DebugOutputCapture() {
  if (m_cookie) RemoveVectoredExceptionHandler(m_cookie);
  g_active = nullptr;
}

LONG CALLBACK DebugOutputCapture::Handler(EXCEPTION_POINTERS* info) {
  const EXCEPTION_RECORD* rec = info->ExceptionRecord;
  if (rec->ExceptionCode == DBG_PRINTEXCEPTION_C && rec->NumberParameters >= 2 && g_active) {
    // Parameters: length including the terminator, then the text.
    const auto* text = reinterpret_cast<const char*>(rec->ExceptionInformation[1]);
    size_t length = static_cast<size_t>(rec->ExceptionInformation[0]);
    if (text && length > 0) g_active->Add(text, length - 1);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

void DebugOutputCapture::Add(const char* text, size_t length) {
  AcquireSRWLockExclusive(&m_lock);
  m_lines.emplace_back(text, strnlen(text, length));
  if (m_echo) std::fprintf(stderr, "%s\n", m_lines.back().c_str());
  ReleaseSRWLockExclusive(&m_lock);
}

std::vector<std::string> DebugOutputCapture::Lines() const {
  AcquireSRWLockShared(&m_lock);
  std::vector<std::string> copy = m_lines;
  ReleaseSRWLockShared(&m_lock);
  return copy;
}

void DebugOutputCapture::Clear() {
  AcquireSRWLockExclusive(&m_lock);
  m_lines.clear();
  ReleaseSRWLockExclusive(&m_lock);
}

}  // namespace orvi
