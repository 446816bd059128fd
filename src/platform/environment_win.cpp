#include <windows.h>

#include <string>

#include "platform/environment.h"

namespace {

// Both folders are read into a buffer of this many UTF-16 units, and a value that does not
// fit counts as unavailable.
constexpr DWORD kPathBufferUnits = 32768;

}  // namespace

std::filesystem::path TemporaryFolder() {
  std::wstring buffer(kPathBufferUnits, L'\0');
  const DWORD length = GetTempPathW(kPathBufferUnits, buffer.data());
  if (length == 0 || length >= kPathBufferUnits) {
    return std::filesystem::path();
  }
  buffer.resize(length);
  return std::filesystem::path(buffer);
}

bool IsForeignFolder(const std::filesystem::path&) {
  // The temporary folder is the user's own, under the user's profile.
  return false;
}

std::filesystem::path UserDataFolder() {
  std::wstring buffer(kPathBufferUnits, L'\0');
  const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), kPathBufferUnits);
  if (length == 0 || length >= kPathBufferUnits) {
    return std::filesystem::path();
  }
  buffer.resize(length);
  return std::filesystem::path(buffer);
}
