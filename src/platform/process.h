#ifndef FENNICK_PLATFORM_PROCESS_H_
#define FENNICK_PLATFORM_PROCESS_H_

#include <filesystem>

// Keeps the system from showing error dialogs for critical errors or a crash of this
// process. Nothing to do where the platform shows none.
void SuppressErrorDialogs();

// The folder that holds the running executable, or an empty path when the executable's
// path cannot be read.
std::filesystem::path ExecutableDirectory();

// This process's id, unique among the running processes.
unsigned long CurrentProcessId();

#endif  // FENNICK_PLATFORM_PROCESS_H_
