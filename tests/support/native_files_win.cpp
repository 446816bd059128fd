#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/native_files.h"

std::FILE* OpenNativeFile(const std::filesystem::path& path, const char* mode) {
  const std::string narrow_mode(mode);
  return _wfopen(path.c_str(), std::wstring(narrow_mode.begin(), narrow_mode.end()).c_str());
}

void SetLastWriteTime(const std::filesystem::path& path, int64_t ms) {
  constexpr int64_t kUnixEpochInFileTime = 116444736000000000LL;
  const uint64_t count = static_cast<uint64_t>(kUnixEpochInFileTime + ms * 10000);
  const FILETIME time = {static_cast<DWORD>(count), static_cast<DWORD>(count >> 32)};
  HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  EXPECT_NE(file, INVALID_HANDLE_VALUE) << path;
  EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time)) << path;
  CloseHandle(file);
}

FileHold::FileHold(const std::filesystem::path& path)
    : handle_(reinterpret_cast<intptr_t>(CreateFileW(path.c_str(), GENERIC_READ,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                     nullptr))) {
  EXPECT_NE(reinterpret_cast<HANDLE>(handle_), INVALID_HANDLE_VALUE) << path;
}

FileHold::~FileHold() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }
