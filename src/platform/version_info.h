#ifndef FENNICK_PLATFORM_VERSION_INFO_H_
#define FENNICK_PLATFORM_VERSION_INFO_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>

// major.minor.build.revision from an executable's version resource.
using FileVersion = std::array<uint16_t, 4>;

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
};

// The file version from the executable's version resource, or nullopt when it has none or
// the platform has no version resources.
std::optional<FileVersion> ReadFileVersion(const std::filesystem::path& executable);

// The running system's version numbers, or nullopt when they cannot be read or the
// platform has no such numbers worth reporting.
std::optional<OsVersion> ReadOsVersion();

#endif  // FENNICK_PLATFORM_VERSION_INFO_H_
