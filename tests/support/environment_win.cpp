#include <windows.h>

#include "support/environment.h"

EnvironmentChanges FolderEnvironment(const std::filesystem::path& user_data,
                                     const std::filesystem::path& temporary) {
  EnvironmentChanges changes;
  if (!user_data.empty()) changes["LOCALAPPDATA"] = user_data;
  // GetTempPathW takes TMP first, then TEMP.
  if (!temporary.empty()) changes["TMP"] = changes["TEMP"] = temporary;
  return changes;
}

EnvironmentChanges NoUserDataEnvironment() { return {{"LOCALAPPDATA", std::nullopt}}; }

namespace {

std::wstring WideName(const std::string& name) { return std::wstring(name.begin(), name.end()); }

}  // namespace

void ChangeEnvironment(const EnvironmentChanges& changes) {
  for (const auto& [name, value] : changes) {
    SetEnvironmentVariableW(WideName(name).c_str(), value ? value->c_str() : nullptr);
  }
}

ScopedEnvironment::ScopedEnvironment(const EnvironmentChanges& changes) {
  for (const auto& change : changes) {
    std::wstring value(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(WideName(change.first).c_str(), value.data(),
                                                 static_cast<DWORD>(value.size()));
    value.resize(length);
    saved_[change.first] = length > 0 ? std::optional<std::filesystem::path>(value) : std::nullopt;
  }
  ChangeEnvironment(changes);
}
