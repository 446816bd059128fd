#ifndef FENNICK_PLATFORM_LONG_PATH_WIN_H_
#define FENNICK_PLATFORM_LONG_PATH_WIN_H_

#include <filesystem>
#include <string>

// The form of `path` that every file call of the Windows platform layer takes: absolute,
// with "\\?\" before a drive path and "\\?\UNC\" before a share, so that no length limit
// applies and no name is mapped to a device ("CON.dmp" is the file of that name). Made the
// way Win32 reads a path otherwise: both separators, "." and ".." elements resolved,
// trailing dots and spaces of each element dropped, a relative path taken from the current
// folder, and a drive prefix alone ("T:") taken as that drive's current folder. A path
// already in "\\?\" or "\\.\" form is used as it stands.
std::wstring LongPath(const std::filesystem::path& path);

#endif  // FENNICK_PLATFORM_LONG_PATH_WIN_H_
