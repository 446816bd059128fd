#ifndef FENNICK_APP_COMMAND_LINE_H_
#define FENNICK_APP_COMMAND_LINE_H_

#include <vector>

#include "platform/native_text.h"

// Runs Fennick for the whole argument vector (program path first) and returns the process
// exit code: 0 success, 1 a report failed, 2 malformed command line.
int RunFennick(const std::vector<WideString>& args);

#endif  // FENNICK_APP_COMMAND_LINE_H_
