#include "ks/ks_trace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#ifndef ORVI_KS_TRACE_LEVEL
#define ORVI_KS_TRACE_LEVEL 0
#endif

int g_nKsTraceLevel = ORVI_KS_TRACE_LEVEL;

void KsTracePrint(int level, const char* format, ...) {
  if (level > g_nKsTraceLevel) return;
  char text[260];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  text[sizeof text - 1] = '\0';
  OutputDebugStringA(text);
}
