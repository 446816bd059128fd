#include "pipeline/scan_dump_folder.h"

#include <algorithm>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "diag/log_line.h"
#include "metadata/crash_metadata.h"
#include "metadata/orphan_metadata.h"
#include "pipeline/process_report.h"
#include "pipeline/upload_attempts.h"
#include "platform/file_io.h"
#include "platform/folder.h"

namespace {

namespace fs = std::filesystem;

constexpr std::basic_string_view<WideChar> kMetadataSuffix = FENNICK_WIDE(".crash.json");
constexpr std::basic_string_view<WideChar> kDumpExtension = FENNICK_WIDE(".dmp");
constexpr std::basic_string_view<WideChar> kMetadataTemporarySuffix =
    FENNICK_WIDE(".crash.json.tmp");

struct ReportFiles {
  std::vector<fs::path> metadata_paths;
  std::vector<fs::path> dump_paths;
};

bool EndsWith(const WideString& name, std::basic_string_view<WideChar> suffix) {
  return name.size() >= suffix.size() &&
         std::basic_string_view<WideChar>(name).substr(name.size() - suffix.size()) == suffix;
}

bool IsMetadataFileName(const WideString& name) { return EndsWith(name, kMetadataSuffix); }

bool IsDumpFileName(const WideString& name) {
  return fs::path(name).extension().native() == kDumpExtension;
}

// The folder's metadata files and dumps by their names, each list sorted.
ReportFiles ClassifyByName(const fs::path& folder, const std::vector<WideString>& names) {
  ReportFiles files;
  for (const WideString& name : names) {
    if (IsMetadataFileName(name)) {
      files.metadata_paths.push_back(folder / name);
    } else if (IsDumpFileName(name)) {
      files.dump_paths.push_back(folder / name);
    }
  }
  std::sort(files.metadata_paths.begin(), files.metadata_paths.end());
  std::sort(files.dump_paths.begin(), files.dump_paths.end());
  return files;
}

// The path of the file that `path` opens, spelled as its folder lists it, so that a
// reference in other letter case (on Windows) meets the dump it opens.
fs::path ListedPath(const fs::path& path) { return path.parent_path() / FileNameAsListed(path); }

// The folder's metadata files as the scan found them, each with its identity taken before
// it was loaded: a file changed since is no longer the one that was judged.
struct JudgedMetadata {
  std::vector<ReplaceableMetadata> invalid;
  std::vector<FileIdentity> valid;
};

enum class NameHolder { kNone, kInvalidFile, kValidFile };

// What holds the metadata name of the dump at `dump_path`: nothing the scan judged, or one
// of its invalid files (set in `replaceable`), or one of its valid ones.
NameHolder FindNameHolder(const JudgedMetadata& judged, const fs::path& dump_path,
                          std::optional<ReplaceableMetadata>* replaceable) {
  const std::optional<FileIdentity> present = IdentifyFileAt(OrphanMetadataPath(dump_path));
  if (!present) {
    return NameHolder::kNone;
  }
  for (const ReplaceableMetadata& metadata : judged.invalid) {
    if (metadata.identity == *present) {
      *replaceable = metadata;
      return NameHolder::kInvalidFile;
    }
  }
  return std::find(judged.valid.begin(), judged.valid.end(), *present) != judged.valid.end()
             ? NameHolder::kValidFile
             : NameHolder::kNone;
}

// Writes metadata for the dump at `dump_path`, which no valid metadata file names. Returns
// the path written, or nullopt (logged and counted in `failures` when the dump cannot be
// reported).
std::optional<fs::path> AddOrphanReport(const JudgedMetadata& judged, const fs::path& dump_path,
                                        unsigned* failures) {
  std::optional<ReplaceableMetadata> replaceable;
  CrashMetadata record;
  // A valid metadata file that names another dump keeps its name: the agent's own fields
  // are worth more than a report made up for this dump, which stays where it is.
  const OrphanResult result =
      FindNameHolder(judged, dump_path, &replaceable) == NameHolder::kValidFile
          ? OrphanResult::kFailed
          : CreateOrphanMetadata(dump_path, replaceable, &record);
  switch (result) {
    case OrphanResult::kWritten:
      return record.metadata_path;
    case OrphanResult::kSkipped:
      return std::nullopt;
    case OrphanResult::kFailed:
      break;
  }
  LogLine(FENNICK_WIDE("cannot write metadata for dump: ") + dump_path.native());
  ++*failures;
  return std::nullopt;
}

// Writes metadata for every dump that no valid metadata file names, appending the new
// files to the list unless their path is there already (an invalid file just replaced).
// Returns how many dumps got no metadata: each is a report that cannot be made, and is
// logged and counted as a failure rather than passed over in silence on every run.
unsigned AddOrphanReports(ReportFiles* files) {
  std::set<fs::path> known_metadata;
  std::set<fs::path> referenced_dumps;
  JudgedMetadata judged;
  for (const fs::path& metadata_path : files->metadata_paths) {
    known_metadata.insert(metadata_path.lexically_normal());
    const std::optional<FileIdentity> identity = IdentifyFileAt(metadata_path);
    CrashMetadata record;
    if (LoadCrashMetadata(metadata_path, &record)) {
      referenced_dumps.insert(ListedPath(record.dump_path).lexically_normal());
      if (identity) {
        judged.valid.push_back(*identity);
      }
    } else if (identity) {
      judged.invalid.push_back({metadata_path, *identity});
    }
  }
  unsigned failures = 0;
  for (const fs::path& dump_path : files->dump_paths) {
    if (referenced_dumps.contains(dump_path.lexically_normal())) {
      continue;
    }
    const std::optional<fs::path> written = AddOrphanReport(judged, dump_path, &failures);
    if (written && known_metadata.insert(written->lexically_normal()).second) {
      files->metadata_paths.push_back(*written);
    }
  }
  return failures;
}

// What becomes of a file that a run killed while removing it had set aside: it goes back,
// unless it is the metadata of a report whose dump is gone. The dump goes first, so that is
// a report the server accepted, whose metadata back in the folder would name nothing and
// fail every later run. A name that is no report's is no file of Fennick's.
SetAsideFate JudgeSetAsideFile(const fs::path& path, const fs::path& original_path) {
  const WideString name = original_path.filename().native();
  if (IsDumpFileName(name)) {
    return SetAsideFate::kRestore;
  }
  if (!IsMetadataFileName(name)) {
    return SetAsideFate::kLeave;
  }
  CrashMetadata record;
  const bool delivered = LoadCrashMetadata(path, &record) &&
                         IsMissing(original_path.parent_path() / record.dump_path.filename());
  return delivered ? SetAsideFate::kRemove : SetAsideFate::kRestore;
}

// True for a temporary that a run killed while writing it left: the metadata of the dump
// "<name>.dmp" once that dump is gone, or a copy of the turns file.
bool IsLeftoverTemporary(const fs::path& folder, const WideString& name) {
  if (IsUploadAttemptsTemporaryName(name)) {
    return true;
  }
  if (!EndsWith(name, kMetadataTemporarySuffix)) {
    return false;
  }
  const WideString stem = name.substr(0, name.size() - kMetadataTemporarySuffix.size());
  return IsMissing(folder / (stem + WideString(kDumpExtension)));
}

// Removes the temporaries that killed runs left, once nothing has written them for a while
// (a run writing one now would have).
void ClearLeftoverTemporaries(const fs::path& folder, const std::vector<WideString>& names) {
  for (const WideString& name : names) {
    if (IsLeftoverTemporary(folder, name) && !IsRecentlyWritten(folder / name)) {
      RemoveFile(folder / name);
    }
  }
}

// Processes the reports in list order until kMaxReportsPerPass of them have reached the
// upload, noting each upload's outcome in `attempts`. Invalid reports are logged and
// counted as failures but take no slot: old leftovers sort first and would otherwise
// starve every newer report for good.
unsigned ProcessReports(const std::vector<fs::path>& metadata_paths, UploadAttempts* attempts) {
  unsigned failures = 0;
  size_t uploads = 0;
  for (size_t i = 0; i < metadata_paths.size() && uploads < kMaxReportsPerPass; ++i) {
    const ReportResult result = ProcessReport(metadata_paths[i], /*validate_only=*/false);
    if (result != kReportInvalid) {
      ++uploads;
      attempts->Record(metadata_paths[i], result == kReportDone);
    }
    if (result != kReportDone) {
      ++failures;
    }
  }
  return failures;
}

}  // namespace

unsigned ScanDumpFolder(const fs::path& folder) {
  if (folder.empty()) {
    return 0;
  }
  RecoverInterruptedRemovals(folder, JudgeSetAsideFile);
  std::vector<WideString> names;
  const FolderListing listing = ListRegularFiles(folder, &names);
  if (listing == FolderListing::kNoFolder) {
    return 0;
  }
  // A folder that is there but cannot be read is a failure, not an empty folder; whatever
  // was listed before the failure is still reported.
  unsigned failures = 0;
  if (listing == FolderListing::kIncomplete) {
    LogLine(FENNICK_WIDE("cannot list dump folder: ") + folder.native());
    ++failures;
  }
  ClearLeftoverTemporaries(folder, names);
  ReportFiles files = ClassifyByName(folder, names);
  failures += AddOrphanReports(&files);
  UploadAttempts attempts = UploadAttempts::Load(folder);
  attempts.Order(&files.metadata_paths);
  failures += ProcessReports(files.metadata_paths, &attempts);
  attempts.Save();
  return failures;
}
