#include "diag/log_line.h"

#include "platform/output.h"

void LogLine(const WideString& message) {
  // The whole line goes out in one write per sink, so lines from concurrent writers to the
  // same stream do not interleave mid-line; nothing formats it, so '%' stays literal.
  const WideString line = FENNICK_WIDE("[Fennick] ") + message + FENNICK_WIDE("\n");
  WriteDebuggerOutput(line);
  WriteStandardError(line);
}
