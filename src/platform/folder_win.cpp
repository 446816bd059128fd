#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "platform/file_io.h"
#include "platform/folder.h"
#include "platform/long_path_win.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kFinalPathUnits = 32768;

struct CloseFind {
  using pointer = HANDLE;
  void operator()(HANDLE find) const { FindClose(find); }
};
using ScopedFind = std::unique_ptr<HANDLE, CloseFind>;

// Errors that mean nothing is there to list (as opposed to a folder that cannot be read).
bool MeansNoFolder(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_NOT_READY:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
      return true;
    default:
      return false;
  }
}

bool IsDirectory(const std::wstring& long_path) {
  const DWORD attributes = GetFileAttributesW(long_path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A link is judged by what it leads to: opened without FILE_FLAG_OPEN_REPARSE_POINT, the
// handle is its target's.
bool IsLinkToRegularFile(const std::wstring& long_path) {
  const ScopedFile target(CreateFileW(long_path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  return target.is_valid() && GetFileType(target.get()) == FILE_TYPE_DISK &&
         GetFileInformationByHandle(target.get(), &information) &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsRegularFile(const std::wstring& folder_prefix, const WIN32_FIND_DATAW& entry) {
  const std::wstring_view name = entry.cFileName;
  const DWORD attributes = entry.dwFileAttributes;
  if (name == L"." || name == L".." ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
         IsLinkToRegularFile(folder_prefix + entry.cFileName);
}

}  // namespace

FolderListing ListRegularFiles(const std::filesystem::path& folder,
                               std::vector<WideString>* names) {
  // Listed through Win32 with the long form of the path: the C runtime's folder listing
  // quietly lists the working folder instead of one whose path is 260 characters or more.
  std::wstring prefix = LongPath(folder);
  const DWORD attributes = GetFileAttributesW(prefix.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return MeansNoFolder(GetLastError()) ? FolderListing::kNoFolder : FolderListing::kIncomplete;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return FolderListing::kNoFolder;
  }
  if (!prefix.ends_with(L'\\')) {
    prefix += L'\\';
  }
  WIN32_FIND_DATAW entry;
  const HANDLE first = FindFirstFileExW((prefix + L"*").c_str(), FindExInfoBasic, &entry,
                                        FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (first == INVALID_HANDLE_VALUE) {
    // An empty drive root has not even "." and "..".
    return GetLastError() == ERROR_FILE_NOT_FOUND ? FolderListing::kListed
                                                  : FolderListing::kIncomplete;
  }
  const ScopedFind find(first);
  do {
    if (IsRegularFile(prefix, entry)) {
      names->emplace_back(entry.cFileName);
    }
  } while (FindNextFileW(find.get(), &entry));
  return GetLastError() == ERROR_NO_MORE_FILES ? FolderListing::kListed
                                               : FolderListing::kIncomplete;
}

bool CreateFolders(const std::filesystem::path& folder) {
  const std::wstring long_folder = LongPath(folder);
  // Every folder on the way down, from the root on; those that are there already (and the
  // root itself) simply fail to be created.
  for (size_t end = long_folder.find(L'\\', 4); end != std::wstring::npos;
       end = long_folder.find(L'\\', end + 1)) {
    CreateDirectoryW(long_folder.substr(0, end).c_str(), nullptr);
  }
  CreateDirectoryW(long_folder.c_str(), nullptr);
  return IsDirectory(long_folder);
}

WideString FileNameAsListed(const std::filesystem::path& path) {
  // Attribute access only: a file that its writer holds without sharing opens all the same.
  const ScopedFile file(CreateFileW(LongPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                    nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
  std::wstring final_path(kFinalPathUnits, L'\0');
  const DWORD length =
      file.is_valid() ? GetFinalPathNameByHandleW(file.get(), final_path.data(), kFinalPathUnits,
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS)
                      : 0;
  if (length == 0 || length >= kFinalPathUnits) {
    return path.filename().native();
  }
  final_path.resize(length);
  const std::wstring name = final_path.substr(final_path.find_last_of(L'\\') + 1);
  return name.empty() ? path.filename().native() : name;
}
