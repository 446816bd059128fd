#ifndef FENNICK_TESTS_SUPPORT_NATIVE_FILES_H_
#define FENNICK_TESTS_SUPPORT_NATIVE_FILES_H_

#include <cstdint>
#include <cstdio>
#include <filesystem>

// Opens `path` with fopen's `mode`, by its native name (on Windows also a name that no
// narrow text can hold, such as one with a lone surrogate). Null on failure.
std::FILE* OpenNativeFile(const std::filesystem::path& path, const char* mode);

// Sets the file's last-write time to `ms` milliseconds since 1970-01-01 00:00 UTC, to the
// millisecond (std::filesystem keeps only whole seconds on Windows); fails the test on error.
void SetLastWriteTime(const std::filesystem::path& path, int64_t ms);

// Holds the file at `path` while alive as a program that keeps others from removing it
// would: on Windows open without delete sharing, on Linux locked as a remover locks it.
class FileHold {
 public:
  explicit FileHold(const std::filesystem::path& path);
  ~FileHold();
  FileHold(const FileHold&) = delete;
  FileHold& operator=(const FileHold&) = delete;

 private:
  intptr_t handle_;
};

#endif  // FENNICK_TESTS_SUPPORT_NATIVE_FILES_H_
