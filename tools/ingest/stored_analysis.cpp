#include "stored_analysis.h"

#include <utility>

#include "json_members.h"
#include "minidump_analysis.h"
#include "server_log.h"
#include "store_files.h"
#include "store_layout.h"

namespace fennick_ingest {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string RecordText(const Json& record) {
  // Field values are whatever the client sent; invalid UTF-8 is recorded with replacements
  // (the folder name keeps the dump_id's exact bytes).
  return record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

// Analyses the dump of the report in the folder `folder_name` and rewrites its report.json;
// returns the new record, or nullopt when there is no record to rewrite.
std::optional<std::string> AnalyseAgain(const fs::path& store, const std::string& folder_name) {
  const ScopedFile folder = OpenFolder(store / folder_name);
  if (!folder.is_valid()) return std::nullopt;
  std::optional<std::string> text;
  if (const ScopedFile file = OpenFileIn(folder.get(), kReportFileName); file.is_valid()) {
    text = ReadAll(file.get(), kMaxReportFileBytes);
  }
  if (!text) return std::nullopt;
  Json record = Json::parse(*text, nullptr, false);
  if (!record.is_object()) return std::nullopt;
  // Only a file the store itself could have written, directly in this folder, through no
  // link; any other is analysed as a dump that cannot be opened.
  const std::string dump_name = TextMember(record, "dump_file");
  ScopedFile dump;
  if (!dump_name.empty() && SafeDumpFileName(dump_name) == dump_name) {
    dump = OpenFileIn(folder.get(), dump_name);
  }
  std::optional<std::string> updated =
      RecordWithAnalysis(std::move(record), fennick_minidump::AnalyzeOpenMinidumpFile(dump.get()));
  if (!updated) return std::nullopt;
  // A dump stored before that name was reserved would be taken for a rewrite cut short.
  if (dump_name == kReportTempFileName ||
      !ReplaceFileIn(folder.get(), kReportFileName, kReportTempFileName, *updated)) {
    LogLine("cannot rewrite the report.json of " + Printable(folder_name) +
            "; its dump is analysed again at the next start");
  }
  return updated;
}

}  // namespace

std::optional<std::string> RecordWithAnalysis(Json record, Json analysis) {
  record["analysis"] = std::move(analysis);
  std::string text = RecordText(record);
  if (text.size() <= kMaxReportFileBytes) return text;
  Json& kept = record["analysis"];
  if (!kept.contains("minidump")) return std::nullopt;
  // Tens of thousands of long module names; the crash itself is short.
  kept.erase("minidump");
  kept["minidump_left_out"] = "the reader's findings would make report.json too long to keep";
  text = RecordText(record);
  if (text.size() <= kMaxReportFileBytes) return text;
  return std::nullopt;
}

size_t AnalyseOldReports(const fs::path& store, std::vector<StoredReport>* reports) {
  size_t analysed = 0;
  for (StoredReport& report : *reports) {
    if (report.analysed) continue;
    const std::optional<std::string> record = AnalyseAgain(store, ReportFolderName(report.dump_id));
    if (!record) continue;
    if (std::optional<StoredReport> updated = ParseReportRecord(*record, report.dump_id)) {
      report = std::move(*updated);
      ++analysed;
    }
  }
  return analysed;
}

}  // namespace fennick_ingest
