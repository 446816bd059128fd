#ifndef FENNICK_PLATFORM_OUTPUT_H_
#define FENNICK_PLATFORM_OUTPUT_H_

#include "platform/native_text.h"

// Hands a whole line to the debugger output channel; nothing where there is none.
void WriteDebuggerOutput(const WideString& line);

// Writes `text` to standard error in one write, bytes unchanged, percent signs literal.
// A failing stream is ignored.
void WriteStandardError(const WideString& text);

#endif  // FENNICK_PLATFORM_OUTPUT_H_
