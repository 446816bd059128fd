#include "pipeline/process_report.h"

#include <curl/curl.h>

#include <optional>

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

// Removes the file at `path` only when it is still `expected`, the very file that was
// checked and sent, unchanged. A file that has grown (an agent still writing its dump), been
// rewritten, replaced or already gone is left alone: the next run sends whatever is there.
bool RemoveIfUnchanged(const std::filesystem::path& path,
                       const std::optional<FileIdentity>& expected) {
  return expected.has_value() && RemoveFileIfUnchanged(path, *expected);
}

ReportResult UploadAndRemove(const CrashMetadata& record,
                             const std::optional<FileIdentity>& dump_identity,
                             const std::optional<FileIdentity>& metadata_identity) {
  if (!UploadCrashReport(record)) {
    return kReportIncomplete;
  }
  // The dump goes first: while it remains, the metadata beside it makes the next run send
  // the report again instead of losing it.
  if (!RemoveIfUnchanged(record.dump_path, dump_identity)) {
    LogWithPath(FENNICK_WIDE("uploaded but failed to remove dump, will retry idempotently: "),
                record.dump_path);
    return kReportIncomplete;
  }
  if (!RemoveIfUnchanged(record.metadata_path, metadata_identity)) {
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
  // Taken before loading: should the file change while it is read, it no longer matches
  // and is kept.
  const std::optional<FileIdentity> metadata_identity = IdentifyFileAt(metadata_path);
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
  return UploadAndRemove(record, IdentifyFile(check.handle.get()), metadata_identity);
}
