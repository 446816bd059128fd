#ifndef FENNICK_PLATFORM_ENVIRONMENT_H_
#define FENNICK_PLATFORM_ENVIRONMENT_H_

#include <filesystem>

// The user's temporary folder, or an empty path when it cannot be read.
std::filesystem::path TemporaryFolder();

// The per-user application data folder (LOCALAPPDATA on Windows; $XDG_DATA_HOME when set
// and absolute, else $HOME/.local/share, on POSIX), or an empty path when there is none.
std::filesystem::path UserDataFolder();

#endif  // FENNICK_PLATFORM_ENVIRONMENT_H_
