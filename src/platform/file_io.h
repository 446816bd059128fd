#ifndef FENNICK_PLATFORM_FILE_IO_H_
#define FENNICK_PLATFORM_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#if defined(_WIN32)
using FileHandle = void*;  // HANDLE
#else
using FileHandle = int;  // file descriptor
#endif

// The value that stands for "no open file" (INVALID_HANDLE_VALUE on Windows, -1 on POSIX).
extern const FileHandle kInvalidFileHandle;

// Closes an open file handle.
void CloseFile(FileHandle handle);

// Owns one open file and closes it when destroyed.
class ScopedFile {
 public:
  ScopedFile() = default;
  explicit ScopedFile(FileHandle handle) : handle_(handle) {}
  ScopedFile(ScopedFile&& other) noexcept : handle_(other.release()) {}
  ScopedFile& operator=(ScopedFile&& other) noexcept {
    if (this != &other) {
      reset(other.release());
    }
    return *this;
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  ~ScopedFile() { reset(); }

  FileHandle get() const { return handle_; }
  bool is_valid() const { return handle_ != kInvalidFileHandle; }
  FileHandle release() {
    const FileHandle handle = handle_;
    handle_ = kInvalidFileHandle;
    return handle;
  }
  void reset(FileHandle handle = kInvalidFileHandle) {
    if (handle_ != kInvalidFileHandle && handle_ != handle) {
      CloseFile(handle_);
    }
    handle_ = handle;
  }

 private:
  FileHandle handle_ = kInvalidFileHandle;
};

enum class SeekOrigin { kBegin, kCurrent, kEnd };

// What tells one file from another, and a file from its later self: its identity on its
// volume (device and inode, or volume serial number and file index), its size, its
// last-write time and its change time (in the platform's own units). The change time moves
// with every write, even one whose writer puts the last-write time back.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t index = 0;
  int64_t size = 0;
  int64_t last_write_time = 0;
  int64_t change_time = 0;

  bool operator==(const FileIdentity&) const = default;
  // True when both name the same file on its volume, whatever became of its content.
  bool IsSameFile(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
};

// Opens an existing regular file for reading. Never blocks on a FIFO, socket or device:
// those are refused. The open does not stop others (or a second open) from reading,
// writing or deleting the file. Returns an invalid ScopedFile on failure.
ScopedFile OpenFileForReading(const std::filesystem::path& path);

// Reads up to `size` bytes at the current position. Returns the count read (0 at end of
// file) or -1 on error.
int64_t ReadFromFile(FileHandle file, void* buffer, size_t size);

// Moves the file position and returns the new position from the start of the file, or
// nullopt on failure (including a resulting negative position).
std::optional<int64_t> SeekFile(FileHandle file, int64_t offset, SeekOrigin origin);

// The open file's identity as it stands now, or nullopt when it cannot be read.
std::optional<FileIdentity> IdentifyFile(FileHandle file);

// The identity of the file at `path` now (opened as OpenFileForReading does), or nullopt
// when it cannot be opened.
std::optional<FileIdentity> IdentifyFileAt(const std::filesystem::path& path);

// The whole content of the regular file at `path`, or nullopt when it cannot be opened or
// read, or holds more than `max_bytes`. Reads at most one byte past the limit, so a huge or
// sparse file costs no more than a small one.
std::optional<std::string> ReadSmallFile(const std::filesystem::path& path, size_t max_bytes);

// The file's current size in bytes, or nullopt when it cannot be read.
std::optional<int64_t> GetFileSize(FileHandle file);

// The last-write time of the file at `path` in milliseconds since 1970-01-01 00:00 UTC
// (negative before then), or nullopt when the file's attributes cannot be read.
std::optional<int64_t> GetLastWriteTimeMs(const std::filesystem::path& path);

// Creates or truncates `path` and writes `data` as its whole content, flushed to disk.
// Never follows a symbolic link planted at `path`. False when any step fails.
bool WriteWholeFile(const std::filesystem::path& path, std::string_view data);

// Writes `data` to `path` + ".<process id>.tmp" (as WriteWholeFile does) and then moves that file over
// `path` (as ReplaceFileDurably does), so that readers of `path` only ever see its old
// content or the whole new one, even after a power loss. On failure `path` is unchanged,
// and the temporary file may remain.
bool WriteFileThroughTemporary(const std::filesystem::path& path, std::string_view data);

// True when nothing at all is at `path` (as opposed to a file that cannot be read).
bool IsMissing(const std::filesystem::path& path);

// Removes the file at `path`, read-only or not. True only when this call removed it.
bool RemoveFile(const std::filesystem::path& path);

// Removes the file at `path` only when it is still `expected`: the same file, unchanged.
// The file removed is exactly the one compared, even when another is renamed over `path`
// meanwhile; that other file keeps its name. A read-only file goes like any other; a file
// that another remover holds, or that cannot be removed without unlinking a name that was
// not checked, is kept. True only when this call removed the file.
bool RemoveFileIfUnchanged(const std::filesystem::path& path, const FileIdentity& expected);

// What becomes of a file that a run killed in the middle of RemoveFileIfUnchanged had set
// aside.
enum class SetAsideFate {
  kRestore,  // back under the name it came from, when no file holds that name
  kRemove,   // its removal is finished
  kLeave,    // it stays where it is
};

// Decides the fate of the file set aside at `path` (readable there) that came from
// `original_path`.
using SetAsideJudge = std::function<SetAsideFate(const std::filesystem::path& path,
                                                 const std::filesystem::path& original_path)>;

// Finishes or undoes what runs killed in the middle of RemoveFileIfUnchanged left in
// `folder`, so that no file stays under a name that no run looks at: each file they set
// aside is given to `judge`, then put back (never over another file) or removed as it says.
// Files that a living run is removing are left to it. Where files are removed through the
// handle that checked them, nothing is ever set aside.
void RecoverInterruptedRemovals(const std::filesystem::path& folder, const SetAsideJudge& judge);

// Moves `from` over `to` (replacing it) within one folder and makes the move durable
// before returning. False when the move fails.
bool ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to);

enum class MoveResult {
  kMoved,
  kNameTaken,  // a file holds `to`, or another writer already moved `from` away
  kFailed,
};

// Moves `from` to `to` within one folder only when no file holds `to`, and makes the move
// durable before returning. Never replaces anything.
MoveResult MoveToFreeName(const std::filesystem::path& from, const std::filesystem::path& to);

#endif  // FENNICK_PLATFORM_FILE_IO_H_
