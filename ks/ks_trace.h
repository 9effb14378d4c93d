#pragma once
// Leveled trace of the kernel-streaming layer and the driver.
//
// A message is written to the debugger output (OutputDebugStringA) when its
// level is at most g_nKsTraceLevel. The threshold starts at ORVI_KS_TRACE_LEVEL
// (0 unless the build sets it, see docs/diagnostics.md), so nothing is written
// and a call costs one comparison.

// Process-wide threshold.
extern int g_nKsTraceLevel;

// Levels in use.
enum KsTraceLevel : int {
  KSTRACE_ERROR = 1,        // a request or an allocation failed, an argument is missing
  KSTRACE_PIN_PROPERTY = 3, // a pin property whose query failed
  KSTRACE_ENUM = 4,         // enumeration problems
  KSTRACE_NOTE = 5,         // notes
  KSTRACE_CALL = 6,         // entry and exit of every method
};

// printf-style; formatted into 260 characters (a longer text is cut at 259),
// no line end added.
void KsTracePrint(int level, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));

// "<name> Enter" / "<name> Leave" with the qualified name and "()".
inline void KsTraceEnter(const char* name) { KsTracePrint(KSTRACE_CALL, "%s Enter", name); }
inline void KsTraceLeave(const char* name) { KsTracePrint(KSTRACE_CALL, "%s Leave", name); }
// "<name> Leave, returning <result>" with the qualified name without "()".
inline void KsTraceLeaveResult(const char* name, long result) {
  KsTracePrint(KSTRACE_CALL, "%s Leave, returning %#08x", name, static_cast<unsigned>(result));
}
