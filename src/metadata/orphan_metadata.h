#ifndef FENNICK_METADATA_ORPHAN_METADATA_H_
#define FENNICK_METADATA_ORPHAN_METADATA_H_

#include <filesystem>

#include "metadata/crash_metadata.h"

// Fills `record` for the dump at `dump_path` (which no valid metadata file names) and
// writes its crash metadata file beside the dump, replacing any file of that name.
// False when no record is given, no GUID could be made, or the file could not be written.
bool CreateOrphanMetadata(const std::filesystem::path& dump_path, CrashMetadata* record);

// Writes the record's ten-member metadata file to record.metadata_path through
// "<metadata_path>.tmp" and a replacing move. True when the final file is in place; on
// failure the final name keeps what it held before.
bool WriteCrashMetadataFile(const CrashMetadata& record);

#endif  // FENNICK_METADATA_ORPHAN_METADATA_H_
