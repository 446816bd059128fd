#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/file_io.h"
#include "platform/folder.h"

namespace {

struct CloseFolder {
  void operator()(DIR* folder) const { closedir(folder); }
};
using ScopedFolder = std::unique_ptr<DIR, CloseFolder>;

bool IsRegularFileIn(DIR* folder, const char* name) {
  struct stat status {};
  return fstatat(dirfd(folder), name, &status, 0) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

FolderListing ListRegularFiles(const std::filesystem::path& folder,
                               std::vector<WideString>* names) {
  struct stat status {};
  if (stat(folder.c_str(), &status) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? FolderListing::kNoFolder
                                               : FolderListing::kIncomplete;
  }
  if (!S_ISDIR(status.st_mode)) {
    return FolderListing::kNoFolder;
  }
  ScopedFile descriptor(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ScopedFolder listing(descriptor.is_valid() ? fdopendir(descriptor.get()) : nullptr);
  if (!listing) {
    return FolderListing::kIncomplete;
  }
  descriptor.release();
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(listing.get());
    if (entry == nullptr) {
      return errno == 0 ? FolderListing::kListed : FolderListing::kIncomplete;
    }
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && IsRegularFileIn(listing.get(), entry->d_name)) {
      names->emplace_back(name);
    }
  }
}

bool CreateFolders(const std::filesystem::path& folder) {
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  return std::filesystem::is_directory(folder, error);
}

WideString FileNameAsListed(const std::filesystem::path& path) {
  // Names are exact here: a name opens the file it spells and no other.
  return path.filename().native();
}
