#ifndef FENNICK_TOOLS_INGEST_INBOX_H_
#define FENNICK_TOOLS_INGEST_INBOX_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace fennick_ingest {

// One report as the store keeps it, read back from <store>/<dump_id>/report.json.
struct StoredReport {
  std::string dump_id;
  std::string received_utc;
  int64_t received_ms = 0;
  std::string app_version;
  std::string os_version;
  std::string computer_name;
  std::string device_id;
  std::string process_name;
  std::string dump_file;
  uint64_t dump_bytes = 0;
};

// The reports in the store, newest first. Folders that are not finished reports (staging
// folders, anything without a readable report.json) are passed over.
std::vector<StoredReport> ListStoredReports(const std::filesystem::path& store);

// The inbox page: every report with a link that downloads its dump. Every value taken from
// a report is HTML-escaped.
std::string RenderInboxPage(const std::vector<StoredReport>& reports);

// The same list as a JSON array.
std::string RenderReportsJson(const std::vector<StoredReport>& reports);

// The dump stored under `dump_id`, or an empty path when there is none. Only names the store
// itself wrote are ever served: the id must be a safe folder name and the file the one its
// report.json names, a plain file directly in that folder.
std::filesystem::path StoredDumpPath(const std::filesystem::path& store, std::string_view dump_id);

// Where a dump is downloaded from.
std::string DumpUrl(std::string_view dump_id);

// True for 127.0.0.0/8 and ::1, also in their IPv4-mapped form.
bool IsLoopbackAddress(std::string_view address);

std::string EscapeHtml(std::string_view text);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_H_
