#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Linux has no removal through an open descriptor. A file to be removed is first moved,
// under its own name, into a folder of its own beside it, ".fennick-removing-<pid>-<n>",
// where nothing can be renamed over it; it is removed there only when it is the file that
// was checked. Every step goes through the folders' descriptors, so a name that fits its
// folder fits the removal folder too. A scan lists regular files only and never looks
// inside, and RecoverInterruptedRemovals finishes or undoes what a killed run left.
constexpr std::string_view kRemovingMarker = ".fennick-removing-";
constexpr int kMaxSetAsideAttempts = 100;
constexpr mode_t kRemovalFolderMode = 0700;

// `from` is a name of Fennick's own (a temporary or a removal name): where the link
// fallback unlinks it by name, nothing else can have come to it.
MoveResult MoveWithoutReplacing(int from_folder, const char* from, int to_folder, const char* to) {
  if (renameat2(from_folder, from, to_folder, to, RENAME_NOREPLACE) == 0) {
    return MoveResult::kMoved;
  }
  // A file system without RENAME_NOREPLACE: a new hard link cannot replace anything either.
  if (errno == EINVAL && linkat(from_folder, from, to_folder, to, 0) == 0) {
    unlinkat(from_folder, from, 0);
    return MoveResult::kMoved;
  }
  // ENOENT: a writer that shares the temporary name has moved it already.
  return errno == EEXIST || errno == ENOENT ? MoveResult::kNameTaken : MoveResult::kFailed;
}

bool IsDecimal(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The text before the marker when `name` is exactly that text, the marker and
// "<pid>-<n>"; nullopt for any other name. A removal folder's name has nothing before the
// marker; earlier versions set files aside as "<name>.fennick-removing-<pid>-<n>".
std::optional<std::string_view> RemovalNamePrefix(std::string_view name) {
  const size_t marker = name.rfind(kRemovingMarker);
  if (marker == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view suffix = name.substr(marker + kRemovingMarker.size());
  const size_t dash = suffix.find('-');
  if (dash == std::string_view::npos || !IsDecimal(suffix.substr(0, dash)) ||
      !IsDecimal(suffix.substr(dash + 1))) {
    return std::nullopt;
  }
  return name.substr(0, marker);
}

struct CloseFolder {
  void operator()(DIR* folder) const { closedir(folder); }
};

// The names in the folder open as `folder` ("." and ".." left out); what could be read when
// listing fails part way.
std::vector<std::string> ListNamesAt(int folder) {
  std::vector<std::string> names;
  ScopedFile own(fcntl(folder, F_DUPFD_CLOEXEC, 0));
  const std::unique_ptr<DIR, CloseFolder> listing(own.is_valid() ? fdopendir(own.get())
                                                                 : nullptr);
  if (!listing) {
    return names;
  }
  own.release();
  rewinddir(listing.get());
  while (const dirent* entry = readdir(listing.get())) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") {
      names.emplace_back(name);
    }
  }
  return names;
}

ScopedFile OpenFolderAt(int parent, const char* name) {
  return ScopedFile(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Opening never waits on a FIFO: a file set aside or about to be may be anything. A link
// is followed, as the scan follows it: a dump may be a link to its file.
ScopedFile OpenWithoutWaitingAt(int folder, const char* name) {
  return ScopedFile(openat(folder, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

// A file moved into a removal folder of this process's, and the folders that hold it.
struct SetAside {
  ScopedFile folder;          // the file's own folder
  ScopedFile removal_folder;  // the removal folder within it
  std::string removal_name;   // the removal folder's name
  std::string name;           // the file's name, the same in both
};

// Removes the removal folder once it is empty; one still holding a file keeps it for the
// next scan's recovery.
void RemoveRemovalFolder(int folder, const std::string& removal_name) {
  unlinkat(folder, removal_name.c_str(), AT_REMOVEDIR);
}

// True when the folder open as `folder` has been removed (by a recovering run that found it
// empty between its creation and the move into it).
bool IsRemovedFolder(int folder) {
  struct stat status {};
  return fstat(folder, &status) == 0 && status.st_nlink == 0;
}

// Moves the file at `path` into a new removal folder; nullopt when it cannot (gone, or a
// folder that takes no new entry), and the file is then where it was.
std::optional<SetAside> SetAsideFile(const std::filesystem::path& path) {
  static unsigned counter = 0;
  SetAside aside{ScopedFile(open(ContainingFolder(path).c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                 ScopedFile(), std::string(), path.filename().native()};
  if (!aside.folder.is_valid()) {
    return std::nullopt;
  }
  for (int attempt = 0; attempt < kMaxSetAsideAttempts; ++attempt) {
    aside.removal_name = std::string(kRemovingMarker) + std::to_string(getpid()) + "-" +
                         std::to_string(counter++);
    if (mkdirat(aside.folder.get(), aside.removal_name.c_str(), kRemovalFolderMode) != 0) {
      // A leftover of an earlier process with this id holds the name: try the next one.
      if (errno == EEXIST) {
        continue;
      }
      return std::nullopt;
    }
    aside.removal_folder = OpenFolderAt(aside.folder.get(), aside.removal_name.c_str());
    if (!aside.removal_folder.is_valid()) {
      // Gone already: a recovering run found it empty. Any other failure is for good.
      if (errno == ENOENT) {
        continue;
      }
      return std::nullopt;
    }
    // The new folder is empty and this process's own: nothing there can be replaced.
    if (renameat(aside.folder.get(), aside.name.c_str(), aside.removal_folder.get(),
                 aside.name.c_str()) == 0) {
      return aside;
    }
    const bool folder_taken = errno == ENOENT && IsRemovedFolder(aside.removal_folder.get());
    RemoveRemovalFolder(aside.folder.get(), aside.removal_name);
    if (!folder_taken) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The set-aside file `name` in the folder open as `holder`, when no living run holds it:
// opened and locked where it can be, so no other run acts on it meanwhile. A file that
// cannot be opened has no remover either, since removal starts with an open. Nullopt for
// anything else.
std::optional<ScopedFile> TakeSetAsideFile(int holder, const char* name) {
  struct stat status {};
  if (fstatat(holder, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !(S_ISREG(status.st_mode) || S_ISLNK(status.st_mode))) {
    return std::nullopt;
  }
  // A living remover holds its lock until it is done.
  ScopedFile file = OpenWithoutWaitingAt(holder, name);
  if (file.is_valid() && flock(file.get(), LOCK_EX | LOCK_NB) != 0) {
    return std::nullopt;
  }
  return file;
}

// Carries out the judge's word on the file `name` set aside in `holder`, which came from
// `original_name` in `folder`.
void RecoverSetAsideFile(const std::filesystem::path& folder, int folder_handle, int holder,
                         const std::string& name, const std::string& original_name,
                         const std::filesystem::path& set_aside_path, const SetAsideJudge& judge) {
  const std::optional<ScopedFile> held = TakeSetAsideFile(holder, name.c_str());
  if (!held) {
    return;
  }
  switch (judge(set_aside_path, folder / original_name)) {
    case SetAsideFate::kRestore:
      // Should the name be taken, the file waits under its removal name for a later scan.
      if (MoveWithoutReplacing(holder, name.c_str(), folder_handle, original_name.c_str()) ==
          MoveResult::kMoved) {
        fsync(folder_handle);
      }
      break;
    case SetAsideFate::kRemove:
      unlinkat(holder, name.c_str(), 0);
      break;
    case SetAsideFate::kLeave:
      break;
  }
}

// Recovers what the removal folder `removal_name` of `folder` holds, then removes it when
// that left it empty.
void RecoverRemovalFolder(const std::filesystem::path& folder, int folder_handle,
                          const std::string& removal_name, const SetAsideJudge& judge) {
  const ScopedFile removal = OpenFolderAt(folder_handle, removal_name.c_str());
  if (!removal.is_valid()) {
    return;
  }
  for (const std::string& name : ListNamesAt(removal.get())) {
    RecoverSetAsideFile(folder, folder_handle, removal.get(), name, name,
                        folder / removal_name / name, judge);
  }
  RemoveRemovalFolder(folder_handle, removal_name);
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
  const ScopedFile held = OpenWithoutWaitingAt(AT_FDCWD, path.c_str());
  if (!held.is_valid() || IdentifyFile(held.get()) != expected ||
      flock(held.get(), LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  // Without a removal folder no removal is safe: the file stays, to be sent again.
  const std::optional<SetAside> aside = SetAsideFile(path);
  if (!aside) {
    return false;
  }
  const ScopedFile moved = OpenWithoutWaitingAt(aside->removal_folder.get(), aside->name.c_str());
  const std::optional<FileIdentity> moved_identity =
      moved.is_valid() ? IdentifyFile(moved.get()) : std::nullopt;
  const bool removed = moved_identity && moved_identity->IsSameFile(expected) &&
                       unlinkat(aside->removal_folder.get(), aside->name.c_str(), 0) == 0;
  if (!removed) {
    // Another file was renamed over `path` before the move: it goes back untouched. Should
    // its name be taken again meanwhile, it waits in the removal folder for the next scan.
    MoveWithoutReplacing(aside->removal_folder.get(), aside->name.c_str(), aside->folder.get(),
                         aside->name.c_str());
  }
  RemoveRemovalFolder(aside->folder.get(), aside->removal_name);
  return removed;
}

void RecoverInterruptedRemovals(const std::filesystem::path& folder, const SetAsideJudge& judge) {
  const ScopedFile folder_handle(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder_handle.is_valid()) {
    return;  // a folder that cannot be opened is reported by the scan's own listing
  }
  for (const std::string& name : ListNamesAt(folder_handle.get())) {
    const std::optional<std::string_view> prefix = RemovalNamePrefix(name);
    if (!prefix) {
      continue;
    }
    if (prefix->empty()) {
      RecoverRemovalFolder(folder, folder_handle.get(), name, judge);
    } else {
      RecoverSetAsideFile(folder, folder_handle.get(), folder_handle.get(), name,
                          std::string(*prefix), folder / name, judge);
    }
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
  const MoveResult result = MoveWithoutReplacing(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
  if (result == MoveResult::kMoved) {
    FlushFolderOf(to);
  }
  return result;
}
