#ifndef FENNICK_TOOLS_INGEST_STORE_FILES_H_
#define FENNICK_TOOLS_INGEST_STORE_FILES_H_

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_io.h"

// The file-system steps of the store: private creation, flushing to the disk, the atomic
// replacement of a report folder, and reading that never follows a planted link.
namespace fennick_ingest {

// Creates the folder `path`, open to this user alone (0700) from the start; false when it
// exists already or cannot be made.
bool CreatePrivateFolder(const std::filesystem::path& path);

// Creates the new file `path` for writing, readable by this user alone (0600) from the
// start. Never opens an existing file and never follows a link; invalid on failure.
ScopedFile CreatePrivateFile(const std::filesystem::path& path);

// Writes all of `data` to `file`; false on error.
bool WriteAll(FileHandle file, std::string_view data);

// Flushes the file's content to the disk and closes it; false when either step fails.
bool SyncAndClose(ScopedFile file);

// Flushes the folder's entries (the names created, moved or removed in it) to the disk;
// false on failure.
bool SyncFolder(const std::filesystem::path& folder);

// Replaces the file `name` in the open `folder` with `content` in one step, durably: writes
// the new file `temporary_name` (removing one an earlier rewrite left), flushes it, renames
// it over `name` and flushes the folder. False on failure, with `name` as it was (or, when
// only the last flush failed, already replaced).
bool ReplaceFileIn(FileHandle folder, const std::string& name, const std::string& temporary_name,
                   std::string_view content);

enum class MoveOutcome { kMoved, kSwapped, kFailed };

// Gives the folder `from` the name `to`. When `to` names a folder already, the two swap
// names in one step, so `to` names a whole folder throughout, and `from` then names the
// folder that was replaced (kSwapped).
MoveOutcome MoveFolderIntoPlace(const std::filesystem::path& from, const std::filesystem::path& to);

// What is being written is named so until it is whole: a report's folder while it arrives,
// a symbol file while it is stored. '~' never occurs in a report folder's name, so the two
// cannot collide.
inline constexpr std::string_view kStagingPrefix = "~incoming-";

// A new name for a staging folder or a temporary file: kStagingPrefix and 16 random hex
// digits.
std::string NewStagingName();

// Removes what staging names in `folder` a stopped earlier run left.
void RemoveStaleStaging(const std::filesystem::path& folder);

// Opens the folder `path` for reading the files in it; invalid when it is missing, no
// folder, or a symbolic link.
ScopedFile OpenFolder(const std::filesystem::path& path);

// Opens the regular file `name` directly in the open `folder` for reading; invalid when it
// is missing, a symbolic link, or no regular file (a FIFO never blocks the open).
ScopedFile OpenFileIn(FileHandle folder, const std::string& name);

// The whole content of `file` when it holds at most `limit` bytes; nullopt when it is
// larger or cannot be read.
std::optional<std::string> ReadAll(FileHandle file, size_t limit);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_FILES_H_
