#include "pipeline/scan_dump_folder.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include "diag/log_line.h"
#include "metadata/crash_metadata.h"
#include "metadata/orphan_metadata.h"
#include "pipeline/process_report.h"

namespace {

namespace fs = std::filesystem;

constexpr std::basic_string_view<WideChar> kMetadataSuffix = FENNICK_WIDE(".crash.json");
constexpr std::basic_string_view<WideChar> kDumpExtension = FENNICK_WIDE(".dmp");

struct FolderListing {
  std::vector<fs::path> metadata_paths;
  std::vector<fs::path> dump_paths;
};

bool IsMetadataFileName(const WideString& name) {
  return name.size() >= kMetadataSuffix.size() &&
         std::basic_string_view<WideChar>(name).substr(name.size() - kMetadataSuffix.size()) ==
             kMetadataSuffix;
}

void Classify(const fs::directory_entry& entry, FolderListing* listing) {
  // Each entry is judged on its own: one whose type cannot be read (a dangling link, say)
  // is passed over without hiding the entries after it.
  std::error_code error;
  if (!fs::is_regular_file(entry.status(error)) || error) {
    return;
  }
  const fs::path& path = entry.path();
  if (IsMetadataFileName(path.filename().native())) {
    listing->metadata_paths.push_back(path);
  } else if (path.extension().native() == kDumpExtension) {
    listing->dump_paths.push_back(path);
  }
}

// Lists the folder's metadata files and dumps, sorted. An error while enumerating ends the
// listing; the pass goes on with what was gathered.
FolderListing ListReportFiles(const fs::path& folder) {
  FolderListing listing;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    Classify(*it, &listing);
  }
  std::sort(listing.metadata_paths.begin(), listing.metadata_paths.end());
  std::sort(listing.dump_paths.begin(), listing.dump_paths.end());
  return listing;
}

// Writes metadata for every dump that no valid metadata file names, appending the new
// files to the list unless their path is there already (an invalid file just replaced).
// Returns how many dumps got no metadata: each is a report that cannot be made, and is
// logged and counted as a failure rather than passed over in silence on every run.
unsigned AddOrphanReports(FolderListing* listing) {
  std::set<fs::path> known_metadata;
  std::set<fs::path> referenced_dumps;
  for (const fs::path& metadata_path : listing->metadata_paths) {
    known_metadata.insert(metadata_path.lexically_normal());
    CrashMetadata record;
    if (LoadCrashMetadata(metadata_path, &record)) {
      referenced_dumps.insert(record.dump_path.lexically_normal());
    }
  }
  unsigned failures = 0;
  for (const fs::path& dump_path : listing->dump_paths) {
    if (referenced_dumps.contains(dump_path.lexically_normal())) {
      continue;
    }
    CrashMetadata record;
    if (!CreateOrphanMetadata(dump_path, &record)) {
      LogLine(FENNICK_WIDE("cannot write metadata for dump: ") + dump_path.native());
      ++failures;
    } else if (known_metadata.insert(record.metadata_path.lexically_normal()).second) {
      listing->metadata_paths.push_back(record.metadata_path);
    }
  }
  return failures;
}

// Processes the reports in list order until kMaxReportsPerPass of them have reached the
// upload. Invalid reports are logged and counted as failures but take no slot: old
// leftovers sort first and would otherwise starve every newer report for good.
unsigned ProcessReports(const std::vector<fs::path>& metadata_paths) {
  unsigned failures = 0;
  size_t uploads = 0;
  for (size_t i = 0; i < metadata_paths.size() && uploads < kMaxReportsPerPass; ++i) {
    const ReportResult result = ProcessReport(metadata_paths[i], /*validate_only=*/false);
    if (result != kReportInvalid) {
      ++uploads;
    }
    if (result != kReportDone) {
      ++failures;
    }
  }
  return failures;
}

}  // namespace

unsigned ScanDumpFolder(const fs::path& folder) {
  std::error_code error;
  if (folder.empty() || !fs::is_directory(folder, error)) {
    return 0;
  }
  FolderListing listing = ListReportFiles(folder);
  const unsigned unwritable = AddOrphanReports(&listing);
  return unwritable + ProcessReports(listing.metadata_paths);
}
