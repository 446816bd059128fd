#include "pipeline/process_report.h"

#include <curl/curl.h>

#include "diag/log_line.h"
#include "metadata/crash_metadata.h"
#include "platform/file_io.h"
#include "upload/crash_upload.h"
#include "upload/dump_stream.h"

namespace {

// libcurl's global set-up runs once per process; a failure is remembered and never retried.
bool IsCurlInitialized() {
  static const bool initialized = curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK;
  return initialized;
}

void LogWithPath(const WideChar* message, const std::filesystem::path& path) {
  LogLine(message + path.native());
}

ReportResult UploadAndRemove(const CrashMetadata& record) {
  if (!UploadCrashReport(record)) {
    return kReportIncomplete;
  }
  // A file that had already gone counts as not removed, so its report is looked at again
  // rather than called a success. The dump goes first: while it remains, the metadata beside it
  // makes the next run send the report again instead of losing it.
  if (!RemoveFile(record.dump_path)) {
    LogWithPath(FENNICK_WIDE("uploaded but failed to remove dump, will retry idempotently: "),
                record.dump_path);
    return kReportIncomplete;
  }
  if (!RemoveFile(record.metadata_path)) {
    LogWithPath(FENNICK_WIDE("uploaded but failed to remove metadata, will retry idempotently: "),
                record.metadata_path);
    return kReportIncomplete;
  }
  LogWithPath(FENNICK_WIDE("upload succeeded: "), record.dump_path);
  return kReportDone;
}

}  // namespace

ReportResult ProcessReport(const std::filesystem::path& metadata_path, bool validate_only) {
  if (!IsCurlInitialized()) {
    return kReportIncomplete;
  }
  CrashMetadata record;
  if (!LoadCrashMetadata(metadata_path, &record)) {
    LogWithPath(FENNICK_WIDE("invalid metadata: "), metadata_path);
    return kReportInvalid;
  }
  // This check stream stays open through the upload and both removals; the platform's
  // open lets the dump be removed while it is held.
  DumpStream check;
  if (!OpenDumpStream(record.dump_path, &check)) {
    LogWithPath(FENNICK_WIDE("invalid or oversized dump: "), record.dump_path);
    return kReportInvalid;
  }
  if (validate_only) {
    LogWithPath(FENNICK_WIDE("validation succeeded: "), record.dump_path);
    return kReportDone;
  }
  return UploadAndRemove(record);
}
