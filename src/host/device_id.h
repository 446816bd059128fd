#ifndef FENNICK_HOST_DEVICE_ID_H_
#define FENNICK_HOST_DEVICE_ID_H_

#include <filesystem>
#include <string>

// A new random GUID as 36 upper-case hex digits in groups 8-4-4-4-12, no braces;
// empty when the platform cannot make one.
std::string NewGuidText();

// <per-user data folder>/Ortivo/Fennick, where Fennick keeps what outlives a run, or an
// empty path when there is no per-user data folder.
std::filesystem::path FennickDataFolder();

// device_id.txt in FennickDataFolder(), or an empty path when there is none.
std::filesystem::path DeviceIdFilePath();

// The persistent device identifier (1 to 64 bytes, the file's first line), creating or
// rewriting the file with a new GUID text when it holds none. Empty when there is no
// per-user data folder or no GUID could be made.
std::string GetOrCreateDeviceId();

#endif  // FENNICK_HOST_DEVICE_ID_H_
