#ifndef FENNICK_PIPELINE_PROCESS_REPORT_H_
#define FENNICK_PIPELINE_PROCESS_REPORT_H_

#include <filesystem>

// Outcome of one report.
enum ReportResult : int {
  kReportDone = 0,        // validated, or uploaded and both files removed
  kReportIncomplete = 1,  // libcurl unavailable, upload failed, or a file not removed
  kReportInvalid = 2,     // metadata rejected or dump unusable; nothing sent or removed
};

// Takes one crash metadata file through validation and, unless `validate_only`, upload and
// removal of the dump and then the metadata file. Logs one line per outcome.
ReportResult ProcessReport(const std::filesystem::path& metadata_path, bool validate_only);

#endif  // FENNICK_PIPELINE_PROCESS_REPORT_H_
