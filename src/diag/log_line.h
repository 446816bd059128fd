#ifndef FENNICK_DIAG_LOG_LINE_H_
#define FENNICK_DIAG_LOG_LINE_H_

#include "platform/native_text.h"

// Writes "[Fennick] " + message + line feed to the debugger output (where there is one)
// and then to standard error. A line that cannot be written is lost.
void LogLine(const WideString& message);

#endif  // FENNICK_DIAG_LOG_LINE_H_
