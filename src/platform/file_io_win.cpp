#include <windows.h>

#include <algorithm>
#include <limits>

#include "platform/file_io.h"
#include "platform/long_path_win.h"

const FileHandle kInvalidFileHandle = INVALID_HANDLE_VALUE;

namespace {

// FILETIME counts 100-nanosecond intervals since 1601-01-01 00:00 UTC.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ULL;
constexpr uint64_t kFileTimeUnitsPerMs = 10000;

DWORD ToMoveMethod(SeekOrigin origin) {
  switch (origin) {
    case SeekOrigin::kBegin:
      return FILE_BEGIN;
    case SeekOrigin::kCurrent:
      return FILE_CURRENT;
    case SeekOrigin::kEnd:
      return FILE_END;
  }
  return FILE_BEGIN;
}

// Only a file on disk may be read or written: a named pipe or a console device would hold
// a read or write up until some other process acts.
bool IsDiskFile(HANDLE file) { return GetFileType(file) == FILE_TYPE_DISK; }

int64_t FileTimeValue(const LARGE_INTEGER& time) { return time.QuadPart; }

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Marks the open file for deletion; it goes when its last handle closes. Windows refuses
// to delete a read-only file: a report is removed all the same, its attribute cleared first
// (and restored when the deletion still fails).
bool DeleteThroughHandle(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    return true;
  }
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) ||
      (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
    return false;
  }
  // Zero times leave the times alone; zero attributes would too, hence FILE_ATTRIBUTE_NORMAL.
  FILE_BASIC_INFO writable = {};
  writable.FileAttributes = basic.FileAttributes & ~FILE_ATTRIBUTE_READONLY;
  if (writable.FileAttributes == 0) {
    writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  }
  if (!SetFileInformationByHandle(file, FileBasicInfo, &writable, sizeof writable)) {
    return false;
  }
  if (SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) {
    return true;
  }
  writable.FileAttributes = basic.FileAttributes;
  SetFileInformationByHandle(file, FileBasicInfo, &writable, sizeof writable);
  return false;
}

// Opened for deletion only: the sharing lets the agent or another run keep the file open.
ScopedFile OpenForDeletion(const std::filesystem::path& path) {
  return ScopedFile(CreateFileW(LongPath(path).c_str(),
                                DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteAll(HANDLE file, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk =
        static_cast<DWORD>(std::min<size_t>(data.size(), std::numeric_limits<DWORD>::max()));
    DWORD written = 0;
    if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0) {
      return false;
    }
    data.remove_prefix(written);
  }
  return true;
}

}  // namespace

void CloseFile(FileHandle handle) { CloseHandle(handle); }

ScopedFile OpenFileForReading(const std::filesystem::path& path) {
  // Sharing read, write and delete: the agent may still be writing the file, and report
  // processing deletes a dump while its own check handle is open.
  ScopedFile file(CreateFileW(LongPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN,
                              nullptr));
  if (!file.is_valid() || !IsDiskFile(file.get())) {
    return ScopedFile();
  }
  return file;
}

int64_t ReadFromFile(FileHandle file, void* buffer, size_t size) {
  const DWORD wanted =
      static_cast<DWORD>(std::min<size_t>(size, std::numeric_limits<DWORD>::max()));
  DWORD count = 0;
  if (!ReadFile(file, buffer, wanted, &count, nullptr)) {
    return -1;
  }
  return count;
}

std::optional<int64_t> SeekFile(FileHandle file, int64_t offset, SeekOrigin origin) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(file, distance, &position, ToMoveMethod(origin))) {
    return std::nullopt;
  }
  return position.QuadPart;
}

std::optional<FileIdentity> IdentifyFile(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION information;
  FILE_BASIC_INFO basic;
  if (!GetFileInformationByHandle(file, &information) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
    return std::nullopt;
  }
  return FileIdentity{
      information.dwVolumeSerialNumber,
      static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow,
      static_cast<int64_t>(static_cast<uint64_t>(information.nFileSizeHigh) << 32 |
                           information.nFileSizeLow),
      FileTimeValue(basic.LastWriteTime), FileTimeValue(basic.ChangeTime)};
}

std::optional<int64_t> GetFileSize(FileHandle file) {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file, &size)) {
    return std::nullopt;
  }
  return size.QuadPart;
}

std::optional<int64_t> GetLastWriteTimeMs(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &attributes)) {
    return std::nullopt;
  }
  const uint64_t time = static_cast<uint64_t>(attributes.ftLastWriteTime.dwHighDateTime) << 32 |
                        attributes.ftLastWriteTime.dwLowDateTime;
  if (time < kUnixEpochInFileTime) {
    return -static_cast<int64_t>((kUnixEpochInFileTime - time + kFileTimeUnitsPerMs - 1) /
                                 kFileTimeUnitsPerMs);
  }
  return static_cast<int64_t>((time - kUnixEpochInFileTime) / kFileTimeUnitsPerMs);
}

bool WriteWholeFile(const std::filesystem::path& path, std::string_view data) {
  // The file is opened without truncation and without following a reparse point, and is
  // cut to length only once it is known to be a plain disk file: a link planted at `path`
  // is never followed, and a pipe or device there is never written.
  ScopedFile file(CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!file.is_valid() || !IsDiskFile(file.get()) ||
      !GetFileInformationByHandle(file.get(), &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  if (!SetEndOfFile(file.get()) || !WriteAll(file.get(), data) || !FlushFileBuffers(file.get())) {
    return false;
  }
  return CloseHandle(file.release()) != 0;
}

bool IsMissing(const std::filesystem::path& path) {
  if (GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
    return false;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool RemoveFile(const std::filesystem::path& path) {
  const ScopedFile file = OpenForDeletion(path);
  return file.is_valid() && DeleteThroughHandle(file.get());
}

bool RemoveFileIfUnchanged(const std::filesystem::path& path, const FileIdentity& expected) {
  // Compared and deleted through one handle: the file deleted is the one compared.
  const ScopedFile file = OpenForDeletion(path);
  return file.is_valid() && IdentifyFile(file.get()) == expected &&
         DeleteThroughHandle(file.get());
}

void RecoverInterruptedRemovals(const std::filesystem::path&, const SetAsideJudge&) {
  // Files are deleted through the handle that checked them: nothing is ever set aside.
}

bool ReplaceFileDurably(const std::filesystem::path& from, const std::filesystem::path& to) {
  // Write-through: the call returns only once the move is on disk.
  return MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

MoveResult MoveToFreeName(const std::filesystem::path& from, const std::filesystem::path& to) {
  if (MoveFileExW(LongPath(from).c_str(), LongPath(to).c_str(), MOVEFILE_WRITE_THROUGH)) {
    return MoveResult::kMoved;
  }
  // ERROR_FILE_NOT_FOUND: a writer that shares the temporary name has moved it already.
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ||
                 error == ERROR_FILE_NOT_FOUND
             ? MoveResult::kNameTaken
             : MoveResult::kFailed;
}
