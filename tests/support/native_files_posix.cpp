#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/native_files.h"

std::FILE* OpenNativeFile(const std::filesystem::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

void SetLastWriteTime(const std::filesystem::path& path, int64_t ms) {
  // Rounded toward minus infinity, so that times before 1970 keep a non-negative tv_nsec.
  const int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  const timespec time = {static_cast<time_t>(seconds),
                         static_cast<long>((ms - seconds * 1000) * 1000000)};
  const timespec both[2] = {time, time};
  EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), both, 0), 0) << path;
}

FileHold::FileHold(const std::filesystem::path& path)
    : handle_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
  EXPECT_GE(handle_, 0) << path;
  EXPECT_EQ(flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB), 0) << path;
}

FileHold::~FileHold() { close(static_cast<int>(handle_)); }
