#include "platform/version_info.h"

std::optional<FileVersion> ReadFileVersion(const std::filesystem::path&) {
  // Linux executables carry no version resource.
  return std::nullopt;
}

std::optional<OsVersion> ReadOsVersion() {
  // The reported OS text has the form "Windows M.m.b"; Linux numbers would make it false.
  return std::nullopt;
}
