#ifndef FENNICK_PIPELINE_SCAN_DUMP_FOLDER_H_
#define FENNICK_PIPELINE_SCAN_DUMP_FOLDER_H_

#include <cstddef>
#include <filesystem>

// Reports that reach the upload in one pass over a folder.
inline constexpr size_t kMaxReportsPerPass = 10;

// One pass over one dump folder: finishes or undoes the removals of runs that were killed,
// writes metadata for orphan dumps (a dump written in the last moments is left for a later
// pass: its agent may be about to write its metadata), then processes reports
// until kMaxReportsPerPass of them have reached the upload (invalid ones take no slot),
// those never tried first, then those whose last failed upload is oldest. Returns the number
// of failures: reports processed that did not finish with kReportDone, dumps for which no
// metadata could be written, and a folder that is there but could not be listed.
unsigned ScanDumpFolder(const std::filesystem::path& folder);

#endif  // FENNICK_PIPELINE_SCAN_DUMP_FOLDER_H_
