#include "store_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <system_error>


namespace fennick_ingest {
namespace {

constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kPrivateFileMode = 0600;

// The open file when it is a regular file; otherwise it is closed.
ScopedFile OnlyRegular(int fd) {
  ScopedFile file(fd);
  struct stat status {};
  if (file.is_valid() && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) return {};
  return file;
}

}  // namespace

bool CreatePrivateFolder(const std::filesystem::path& path) {
  return mkdir(path.c_str(), kPrivateFolderMode) == 0;
}

ScopedFile CreatePrivateFile(const std::filesystem::path& path) {
  return ScopedFile(
      open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode));
}

bool WriteAll(FileHandle file, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(file, data.data(), data.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool SyncAndClose(ScopedFile file) {
  if (!file.is_valid()) return false;
  const bool synced = fsync(file.get()) == 0;
  // close() can report a write that never reached the disk.
  return close(file.release()) == 0 && synced;
}

bool SyncFolder(const std::filesystem::path& folder) {
  const ScopedFile handle(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return handle.is_valid() && fsync(handle.get()) == 0;
}

bool ReplaceFileIn(FileHandle folder, const std::string& name, const std::string& temporary_name,
                   std::string_view content) {
  unlinkat(folder, temporary_name.c_str(), 0);
  ScopedFile file(openat(folder, temporary_name.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateFileMode));
  const bool written = file.is_valid() && WriteAll(file.get(), content) &&
                       SyncAndClose(std::move(file)) &&
                       renameat(folder, temporary_name.c_str(), folder, name.c_str()) == 0;
  if (!written) {
    unlinkat(folder, temporary_name.c_str(), 0);
    return false;
  }
  return fsync(folder) == 0;
}

MoveOutcome MoveFolderIntoPlace(const std::filesystem::path& from,
                                const std::filesystem::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveOutcome::kMoved;
  }
  // Reports are never removed, only swapped, so a name that was taken stays taken.
  if (errno == EEXIST &&
      renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
    return MoveOutcome::kSwapped;
  }
  return MoveOutcome::kFailed;
}

std::string NewStagingName() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  char hex[17];
  std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(generator()));
  return std::string(kStagingPrefix) + hex;
}

void RemoveStaleStaging(const std::filesystem::path& folder) {
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().starts_with(kStagingPrefix)) {
      std::error_code ignored;
      std::filesystem::remove_all(it->path(), ignored);
    }
  }
}

ScopedFile OpenFolder(const std::filesystem::path& path) {
  return ScopedFile(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

ScopedFile OpenFileIn(FileHandle folder, const std::string& name) {
  return OnlyRegular(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

std::optional<std::string> ReadAll(FileHandle file, size_t limit) {
  std::string content;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = read(file, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) return content;
    if (content.size() + static_cast<size_t>(count) > limit) return std::nullopt;
    content.append(buffer, static_cast<size_t>(count));
  }
}

}  // namespace fennick_ingest
