#include <stdlib.h>

#include "support/environment.h"

EnvironmentChanges FolderEnvironment(const std::filesystem::path& user_data,
                                     const std::filesystem::path& temporary) {
  EnvironmentChanges changes;
  if (!user_data.empty()) changes["XDG_DATA_HOME"] = user_data;
  if (!temporary.empty()) changes["TMPDIR"] = temporary;
  return changes;
}

EnvironmentChanges NoUserDataEnvironment() {
  return {{"XDG_DATA_HOME", std::nullopt}, {"HOME", std::nullopt}};
}

void ChangeEnvironment(const EnvironmentChanges& changes) {
  for (const auto& [name, value] : changes) {
    value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
  }
}

ScopedEnvironment::ScopedEnvironment(const EnvironmentChanges& changes) {
  for (const auto& change : changes) {
    const char* value = getenv(change.first.c_str());
    saved_[change.first] =
        value != nullptr ? std::optional<std::filesystem::path>(value) : std::nullopt;
  }
  ChangeEnvironment(changes);
}
