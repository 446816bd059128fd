#ifndef FENNICK_METADATA_ORPHAN_METADATA_H_
#define FENNICK_METADATA_ORPHAN_METADATA_H_

#include <cstdint>
#include <filesystem>
#include <optional>

#include "metadata/crash_metadata.h"
#include "platform/file_io.h"

// An invalid crash metadata file that a dump's new metadata may take the place of, as the
// scan found it: its path as listed and its identity then.
struct ReplaceableMetadata {
  std::filesystem::path path;
  FileIdentity identity;
};

enum class OrphanResult {
  kWritten,  // the record is filled and its file is in place
  kSkipped,  // nothing to write now: the dump is gone, or another file holds the name
  kFailed,   // no file could be written: the dump cannot be reported
};

// How long a file must have been left alone before it counts as finished: an agent writes
// its dump, then the metadata naming it, so a dump written more recently may be about to
// get the agent's own.
inline constexpr int64_t kSettleTimeMs = 10000;

// True when the file at `path` was last written less than kSettleTimeMs ago (or claims a
// time that close ahead of the clock); false when its time cannot be read.
bool IsRecentlyWritten(const std::filesystem::path& path);

// The metadata path for the dump at `dump_path`: its extension replaced by ".crash.json".
std::filesystem::path OrphanMetadataPath(const std::filesystem::path& dump_path);

// Fills `record` for the dump at `dump_path`, which no valid metadata file names, and writes
// its crash metadata file beside the dump: in the place of `replaceable` when that is still
// the file the scan saw, else at OrphanMetadataPath under a free name. It never replaces
// any other file, so an agent's metadata that arrives meanwhile wins. Nothing is written for
// a dump that can no longer be opened (another run may just have sent it) or that was
// written too recently to be an orphan yet. A `replaceable` file still in place that cannot
// be removed (another program holds it) fails.
OrphanResult CreateOrphanMetadata(const std::filesystem::path& dump_path,
                                  const std::optional<ReplaceableMetadata>& replaceable,
                                  CrashMetadata* record);

// Writes the record's ten-member metadata file to record.metadata_path through
// "<metadata_path>.tmp", moved to the final name only when no file holds it. On any result
// but kMoved the final name keeps what it held.
MoveResult WriteCrashMetadataFile(const CrashMetadata& record);

#endif  // FENNICK_METADATA_ORPHAN_METADATA_H_
