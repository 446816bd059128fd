#include "stored_analysis.h"

#include <map>
#include <set>
#include <utility>

#include "json_members.h"
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

// The depth at which "minidump" sits in a record: record, "analysis", "minidump".
constexpr size_t kMinidumpDepth = 2;

// An upper bound of the bytes `value` takes at `depth` in RecordText's output: escaped
// text, the indentation and punctuation around every member.
size_t TextBound(const Json& value, size_t depth) {
  constexpr size_t kNumberBytes = 24;         // any 64-bit number, true, false or null
  const size_t indent = 2 * (depth + 1) + 4;  // line break, indentation, ": " and ","
  switch (value.type()) {
    case Json::value_t::string: {
      size_t bytes = 2;
      for (const char c : value.get_ref<const std::string&>()) {
        const auto byte = static_cast<unsigned char>(c);
        // \u0001 for a control character; three bytes for a byte that is no UTF-8.
        bytes += byte < 0x20 ? 6 : c == '"' || c == '\\' ? 2 : byte >= 0x80 ? 3 : 1;
      }
      return bytes;
    }
    case Json::value_t::object: {
      size_t bytes = indent;
      for (const auto& [key, member] : value.items()) {
        bytes += indent + TextBound(Json(key), depth + 1) + TextBound(member, depth + 1);
      }
      return bytes;
    }
    case Json::value_t::array: {
      size_t bytes = indent;
      for (const Json& item : value) bytes += indent + TextBound(item, depth + 1);
      return bytes;
    }
    default:
      return kNumberBytes;
  }
}

// Analyses the dump of the report in the folder `folder_name` and rewrites its report.json;
// returns the new record, or nullopt when there is no record to rewrite.
std::optional<std::string> AnalyseAgain(const fs::path& store, const std::string& folder_name,
                                        const fennick_analysis::CrashAnalyzer& analyzer) {
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
      RecordWithAnalysis(std::move(record), analyzer.Analyze(dump.get()));
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
  Json minidump;
  if (analysis.is_object() && analysis.contains("minidump")) {
    minidump = std::move(analysis["minidump"]);
    analysis.erase("minidump");
  }
  record["analysis"] = std::move(analysis);
  std::string text = RecordText(record);
  if (text.size() > kMaxReportFileBytes) return std::nullopt;
  if (minidump.is_null()) return text;
  // A hostile dump can name thousands of modules with long names of control characters,
  // which escaped would take seconds to write out and far more than the store reads back;
  // the bound tells such findings apart before any of that is done.
  if (text.size() + TextBound(minidump, kMinidumpDepth) <= kMaxReportFileBytes) {
    record["analysis"]["minidump"] = std::move(minidump);
    std::string whole = RecordText(record);
    if (whole.size() <= kMaxReportFileBytes) return whole;
    record["analysis"].erase("minidump");
  }
  record["analysis"]["minidump_left_out"] =
      "the reader's findings would make report.json too long to keep";
  text = RecordText(record);
  if (text.size() > kMaxReportFileBytes) return std::nullopt;
  return text;
}

std::optional<StoredReport> ReanalyseReport(const fs::path& store, const std::string& dump_id,
                                            const fennick_analysis::CrashAnalyzer& analyzer) {
  const std::optional<std::string> record =
      AnalyseAgain(store, ReportFolderName(dump_id), analyzer);
  if (!record) return std::nullopt;
  return ParseReportRecord(*record, dump_id);
}

size_t AnalyseOldReports(const fs::path& store, const fennick_analysis::CrashAnalyzer& analyzer,
                         ReportIndex& index) {
  std::set<std::string> arrived;
  for (const std::string& id : index.MissingSymbols()) {
    if (fennick_analysis::HoldsSymbolFile(analyzer.store(), id)) arrived.insert(id);
  }
  std::vector<std::string> dump_ids = index.ReportsUnanalysed();
  for (std::string& dump_id : index.ReportsLacking(arrived)) dump_ids.push_back(std::move(dump_id));
  size_t analysed = 0;
  for (const std::string& dump_id : dump_ids) {
    if (std::optional<StoredReport> updated = ReanalyseReport(store, dump_id, analyzer)) {
      index.Put(*updated);
      ++analysed;
    }
  }
  return analysed;
}

}  // namespace fennick_ingest
