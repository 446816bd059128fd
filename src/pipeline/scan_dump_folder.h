#ifndef FENNICK_PIPELINE_SCAN_DUMP_FOLDER_H_
#define FENNICK_PIPELINE_SCAN_DUMP_FOLDER_H_

#include <cstddef>
#include <filesystem>

inline constexpr size_t kMaxReportsPerPass = 10;

// One pass over one dump folder: writes metadata for orphan dumps, then processes at most
// kMaxReportsPerPass reports. Returns how many of those did not finish with kReportDone.
unsigned ScanDumpFolder(const std::filesystem::path& folder);

#endif  // FENNICK_PIPELINE_SCAN_DUMP_FOLDER_H_
