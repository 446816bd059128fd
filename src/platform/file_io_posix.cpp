#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file_io.h"

const FileHandle kInvalidFileHandle = -1;

void CloseFile(FileHandle handle) { close(handle); }

namespace {

// Blocking mode is restored once the file is known to be regular, so that later reads
// behave as ordinary reads do.
bool ClearNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

int ToWhence(SeekOrigin origin) {
  switch (origin) {
    case SeekOrigin::kBegin:
      return SEEK_SET;
    case SeekOrigin::kCurrent:
      return SEEK_CUR;
    case SeekOrigin::kEnd:
      return SEEK_END;
  }
  return SEEK_SET;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// The folder that holds `path`; a bare name lives in the current folder.
std::filesystem::path ContainingFolder(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

ScopedFile OpenFileForReading(const std::filesystem::path& path) {
  // O_NONBLOCK keeps the open itself from waiting for a writer on a FIFO; anything that is
  // not a regular file is refused before it can be read.
  ScopedFile file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!file.is_valid()) {
    return ScopedFile();
  }
  struct stat status {};
  if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return ScopedFile();
  }
  if (!ClearNonBlocking(file.get())) {
    return ScopedFile();
  }
  return file;
}

int64_t ReadFromFile(FileHandle file, void* buffer, size_t size) {
  for (;;) {
    const ssize_t count = read(file, buffer, size);
    if (count >= 0) {
      return count;
    }
    if (errno != EINTR) {
      return -1;
    }
  }
}

std::optional<int64_t> SeekFile(FileHandle file, int64_t offset, SeekOrigin origin) {
  const off_t position = lseek(file, static_cast<off_t>(offset), ToWhence(origin));
  if (position < 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(position);
}

std::optional<FileIdentity> IdentifyFile(FileHandle file) {
  struct stat status {};
  if (fstat(file, &status) != 0) {
    return std::nullopt;
  }
  constexpr int64_t kNsPerSecond = 1000000000;
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                      static_cast<int64_t>(status.st_size),
                      static_cast<int64_t>(status.st_mtim.tv_sec) * kNsPerSecond +
                          static_cast<int64_t>(status.st_mtim.tv_nsec)};
}

std::optional<int64_t> GetFileSize(FileHandle file) {
  struct stat status {};
  if (fstat(file, &status) != 0) {
    return std::nullopt;
  }
  return static_cast<int64_t>(status.st_size);
}

std::optional<int64_t> GetLastWriteTimeMs(const std::filesystem::path& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    return std::nullopt;
  }
  // tv_nsec is always in [0, 1e9), so this rounds toward minus infinity: a time just before
  // 1970 gives -1, not 0.
  constexpr int64_t kMsPerSecond = 1000;
  constexpr int64_t kNsPerMs = 1000000;
  return static_cast<int64_t>(status.st_mtim.tv_sec) * kMsPerSecond +
         static_cast<int64_t>(status.st_mtim.tv_nsec) / kNsPerMs;
}

bool WriteWholeFile(const std::filesystem::path& path, std::string_view data) {
  constexpr mode_t kFileMode = 0644;
  // O_NONBLOCK keeps a FIFO planted at `path` from holding the open until a reader comes;
  // anything but a regular file is then refused before a byte is written.
  ScopedFile file(open(
      path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kFileMode));
  struct stat status {};
  if (!file.is_valid() || fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !ClearNonBlocking(file.get())) {
    return false;
  }
  if (!WriteAll(file.get(), data) || fsync(file.get()) != 0) {
    return false;
  }
  // close can report a delayed write error, so its result counts.
  return close(file.release()) == 0;
}

bool RemoveFile(const std::filesystem::path& path) {
  // Removing a name needs write access to its folder, not to the file: a read-only file
  // goes like any other.
  return unlink(path.c_str()) == 0;
}

bool ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    return false;
  }
  // The rename is only on disk once the folder entry is; the move has happened either way,
  // so a failing folder flush does not change the result.
  ScopedFile folder(open(ContainingFolder(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.is_valid()) {
    fsync(folder.get());
  }
  return true;
}
