#ifndef FENNICK_TESTS_SUPPORT_ENVIRONMENT_H_
#define FENNICK_TESTS_SUPPORT_ENVIRONMENT_H_

#include <filesystem>
#include <map>
#include <optional>
#include <string>

// Variables set (or, with no value, removed) on top of an environment.
using EnvironmentChanges = std::map<std::string, std::optional<std::filesystem::path>>;

// The changes that give a process its own per-user data folder (where the device id lives:
// XDG_DATA_HOME on Linux, LOCALAPPDATA on Windows) and temporary folder (TMPDIR; TMP and
// TEMP). An empty path leaves that folder alone.
EnvironmentChanges FolderEnvironment(const std::filesystem::path& user_data,
                                     const std::filesystem::path& temporary = {});

// The changes that leave a process with no per-user data folder at all.
EnvironmentChanges NoUserDataEnvironment();

// Applies `changes` to this process's own environment.
void ChangeEnvironment(const EnvironmentChanges& changes);

// Applies `changes` to this process's environment while alive, then restores what the
// changed variables held before.
class ScopedEnvironment {
 public:
  explicit ScopedEnvironment(const EnvironmentChanges& changes);
  ~ScopedEnvironment() { ChangeEnvironment(saved_); }
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  EnvironmentChanges saved_;
};

#endif  // FENNICK_TESTS_SUPPORT_ENVIRONMENT_H_
