#ifndef FENNICK_PLATFORM_FOLDER_H_
#define FENNICK_PLATFORM_FOLDER_H_

#include <filesystem>
#include <vector>

#include "platform/native_text.h"

enum class FolderListing {
  kNoFolder,    // nothing is there, or it is no folder
  kListed,      // every entry was read
  kIncomplete,  // the folder is there but could not be listed, or not to its end
};

// Appends to `names` the names of the regular files directly in `folder` (symbolic links
// followed; folders, devices and entries whose type cannot be read left out). A drive
// prefix alone ("T:") names that drive's current folder. On kIncomplete `names` holds what
// was read before the failure.
FolderListing ListRegularFiles(const std::filesystem::path& folder, std::vector<WideString>* names);

// Creates `folder` and any missing folders above it. True when the folder is there after.
bool CreateFolders(const std::filesystem::path& folder);

// The name under which its folder lists the file that `path` opens. Where the file system
// lets several names open one file (Windows: other letter case, trailing dots or spaces,
// the 8.3 short name), this is the file's own name; where names are exact, or nothing
// opens, it is the last element of `path` as given.
WideString FileNameAsListed(const std::filesystem::path& path);

#endif  // FENNICK_PLATFORM_FOLDER_H_
