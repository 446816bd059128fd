#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/environment.h"

namespace {

// The variable's value, or empty text when it is not set.
std::filesystem::path EnvironmentPath(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::filesystem::path() : std::filesystem::path(value);
}

}  // namespace

std::filesystem::path TemporaryFolder() {
  // A relative TMPDIR would put the folder wherever the program happened to start.
  const std::filesystem::path folder = EnvironmentPath("TMPDIR");
  return folder.is_absolute() ? folder : std::filesystem::path("/tmp");
}

bool IsForeignFolder(const std::filesystem::path& folder) {
  struct stat status {};
  if (lstat(folder.c_str(), &status) != 0) {
    return false;
  }
  if (S_ISLNK(status.st_mode)) {
    return true;
  }
  return S_ISDIR(status.st_mode) &&
         (status.st_uid != geteuid() || (status.st_mode & (S_IWGRP | S_IWOTH)) != 0);
}

std::filesystem::path UserDataFolder() {
  const std::filesystem::path data_home = EnvironmentPath("XDG_DATA_HOME");
  if (data_home.is_absolute()) {
    return data_home;
  }
  // A relative HOME would put the device id wherever the program happened to start.
  const std::filesystem::path home = EnvironmentPath("HOME");
  if (!home.is_absolute()) {
    return std::filesystem::path();
  }
  return home / ".local" / "share";
}
