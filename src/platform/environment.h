#ifndef FENNICK_PLATFORM_ENVIRONMENT_H_
#define FENNICK_PLATFORM_ENVIRONMENT_H_

#include <filesystem>

// The user's temporary folder, or an empty path when it cannot be read.
std::filesystem::path TemporaryFolder();

// True when `folder` is there but others could have put files in it: it is a symbolic link,
// or a folder owned by another user or writable by group or others. A temporary folder that
// is shared between users (/tmp) needs this check; a per-user one (Windows) never fails it.
bool IsForeignFolder(const std::filesystem::path& folder);

// The per-user application data folder (LOCALAPPDATA on Windows; $XDG_DATA_HOME when set
// and absolute, else $HOME/.local/share, on POSIX), or an empty path when there is none.
std::filesystem::path UserDataFolder();

#endif  // FENNICK_PLATFORM_ENVIRONMENT_H_
