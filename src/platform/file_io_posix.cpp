#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_io.h"
#include "platform/folder.h"

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

void FlushFolderOf(const std::filesystem::path& path) {
  ScopedFile folder(open(ContainingFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.is_valid()) {
    fsync(folder.get());
  }
}

int64_t Nanoseconds(const timespec& time) {
  constexpr int64_t kNsPerSecond = 1000000000;
  return static_cast<int64_t>(time.tv_sec) * kNsPerSecond + static_cast<int64_t>(time.tv_nsec);
}

// Opening never waits on a FIFO: a file set aside or about to be may be anything.
ScopedFile OpenWithoutWaiting(const std::filesystem::path& path) {
  return ScopedFile(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

// Linux has no removal through an open descriptor. A file to be removed is first moved to a
// name of its own in the same folder, "<name>.fennick-removing-<pid>-<n>", where nothing
// can be renamed over it; it is removed there only when it is the file that was checked.
// That name ends neither in ".dmp" nor in ".crash.json", so no scan takes it for a report,
// and RecoverInterruptedRemovals brings it back after a run that was killed.
constexpr std::string_view kRemovingMarker = ".fennick-removing-";
constexpr int kMaxSetAsideAttempts = 100;

// `from` is a name of Fennick's own (a temporary or a removal name): where the link
// fallback unlinks it by name, nothing else can have come to it.
MoveResult MoveWithoutReplacing(const std::filesystem::path& from,
                                const std::filesystem::path& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return MoveResult::kMoved;
  }
  // A file system without RENAME_NOREPLACE: a new hard link cannot replace anything either.
  if (errno == EINVAL && link(from.c_str(), to.c_str()) == 0) {
    unlink(from.c_str());
    return MoveResult::kMoved;
  }
  // ENOENT: a writer that shares the temporary name has moved it already.
  return errno == EEXIST || errno == ENOENT ? MoveResult::kNameTaken : MoveResult::kFailed;
}

// Moves the file at `path` to a removal name of this process's; nullopt when it cannot
// (gone, or a name too long to take the marker).
std::optional<std::filesystem::path> SetAside(const std::filesystem::path& path) {
  static unsigned counter = 0;
  for (int attempt = 0; attempt < kMaxSetAsideAttempts; ++attempt) {
    std::filesystem::path aside = path;
    aside += std::string(kRemovingMarker) + std::to_string(getpid()) + "-" +
             std::to_string(counter++);
    if (renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) {
      return aside;
    }
    const int error = errno;
    // Without RENAME_NOREPLACE a plain rename serves, the removal name being this process's
    // own. (A link and an unlink by name would unlink whatever came to `path` in between.)
    if (error == EINVAL && IsMissing(aside)) {
      return rename(path.c_str(), aside.c_str()) == 0 ? std::optional(aside) : std::nullopt;
    }
    // A leftover of an earlier process with this id holds the name: try the next one.
    if (error != EEXIST) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The name a set-aside file came from, or empty text when `name` is no removal name.
std::string OriginalName(const std::string& name) {
  const size_t marker = name.rfind(kRemovingMarker);
  return marker == std::string::npos ? std::string() : name.substr(0, marker);
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
  return FileIdentity{static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
                      static_cast<int64_t>(status.st_size), Nanoseconds(status.st_mtim),
                      Nanoseconds(status.st_ctim)};
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

bool IsMissing(const std::filesystem::path& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool RemoveFile(const std::filesystem::path& path) {
  // Removing a name needs write access to its folder, not to the file: a read-only file
  // goes like any other.
  return unlink(path.c_str()) == 0;
}

bool RemoveFileIfUnchanged(const std::filesystem::path& path, const FileIdentity& expected) {
  // Held and locked from before the move to the end: a run recovering set-aside files
  // leaves a locked one alone, and so does a second run removing the same file.
  const ScopedFile held = OpenWithoutWaiting(path);
  if (!held.is_valid() || IdentifyFile(held.get()) != expected ||
      flock(held.get(), LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  const std::optional<std::filesystem::path> aside = SetAside(path);
  if (!aside) {
    // A name too long for the marker is removed by name, right after its check.
    return unlink(path.c_str()) == 0;
  }
  const ScopedFile moved = OpenWithoutWaiting(*aside);
  const std::optional<FileIdentity> moved_identity =
      moved.is_valid() ? IdentifyFile(moved.get()) : std::nullopt;
  if (moved_identity && moved_identity->IsSameFile(expected) && unlink(aside->c_str()) == 0) {
    return true;
  }
  // Another file was renamed over `path` before the move: it goes back untouched. Should its
  // name be taken again meanwhile, it waits under the removal name for the next scan.
  MoveWithoutReplacing(*aside, path);
  return false;
}

void RecoverInterruptedRemovals(const std::filesystem::path& folder) {
  // A folder that cannot be listed is reported by the scan's own listing.
  std::vector<WideString> names;
  ListRegularFiles(folder, &names);
  for (const WideString& name : names) {
    const std::string original = OriginalName(name);
    if (original.empty()) {
      continue;
    }
    // A living remover holds its lock until it is done; a file that cannot be opened has no
    // remover either, since removal starts with an open.
    const ScopedFile file = OpenWithoutWaiting(folder / name);
    if (file.is_valid() && flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
      continue;
    }
    // Whether the killed run had sent it is unknown: it is put back and sent again, which
    // the server takes as the same report.
    MoveWithoutReplacing(folder / name, folder / original);
  }
}

bool ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    return false;
  }
  // The rename is only on disk once the folder entry is; the move has happened either way,
  // so a failing folder flush does not change the result.
  FlushFolderOf(to);
  return true;
}

MoveResult MoveToFreeName(const std::filesystem::path& from, const std::filesystem::path& to) {
  const MoveResult result = MoveWithoutReplacing(from, to);
  if (result == MoveResult::kMoved) {
    FlushFolderOf(to);
  }
  return result;
}
