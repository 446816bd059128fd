#include "stored_analysis.h"

#include <sys/stat.h>

#include <utility>

#include "json_members.h"
#include "minidump_analysis.h"
#include "server_log.h"
#include "store_files.h"
#include "store_layout.h"

namespace fennick_ingest {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

std::string RecordText(const Json& record) {
  // Field values are whatever the client sent; invalid UTF-8 is recorded with replacements
  // (the folder name keeps the dump_id's exact bytes).
  return record.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

namespace {

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

constexpr char kTooLong[] = "the analysis would make report.json too long to keep";

// The file the store itself could have written, directly in `folder`, through no link;
// invalid for any other.
ScopedFile OpenDumpOf(FileHandle folder, const Json& record) {
  const std::string dump_name = TextMember(record, "dump_file");
  if (dump_name.empty() || SafeDumpFileName(dump_name) != dump_name) return ScopedFile();
  return OpenFileIn(folder, dump_name);
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
  // A hostile dump can name thousands of modules with long names of control characters,
  // which escaped would take seconds to write out and far more than the store reads back;
  // the bound tells such findings apart before any of that is done.
  if (text.size() <= kMaxReportFileBytes && !minidump.is_null()) {
    if (text.size() + TextBound(minidump, kMinidumpDepth) <= kMaxReportFileBytes) {
      record["analysis"]["minidump"] = std::move(minidump);
      std::string whole = RecordText(record);
      if (whole.size() <= kMaxReportFileBytes) return whole;
      record["analysis"].erase("minidump");
    }
    record["analysis"]["minidump_left_out"] =
        "the reader's findings would make report.json too long to keep";
    text = RecordText(record);
  }
  if (text.size() <= kMaxReportFileBytes) return text;
  record["analysis"] = StoppedAnalysis(kTooLong);
  text = RecordText(record);
  if (text.size() > kMaxReportFileBytes) return std::nullopt;
  return text;
}

std::optional<ReportToAnalyse> OpenReportToAnalyse(const fs::path& store,
                                                   const std::string& dump_id) {
  ReportToAnalyse report{dump_id, OpenFolder(store / ReportFolderName(dump_id)), Json(), {}};
  if (!report.folder.is_valid()) return std::nullopt;
  std::optional<std::string> text;
  if (const ScopedFile file = OpenFileIn(report.folder.get(), kReportFileName); file.is_valid()) {
    text = ReadAll(file.get(), kMaxReportFileBytes);
  }
  if (!text) return std::nullopt;
  report.record = Json::parse(*text, nullptr, false);
  if (!report.record.is_object()) return std::nullopt;
  report.dump = OpenDumpOf(report.folder.get(), report.record);
  return report;
}

bool StillStored(const fs::path& store, const ReportToAnalyse& report) {
  struct stat opened {};
  struct stat named {};
  const fs::path folder = store / ReportFolderName(report.dump_id);
  return fstat(report.folder.get(), &opened) == 0 && lstat(folder.c_str(), &named) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

std::optional<StoredReport> RecordAnalysis(ReportToAnalyse report, Json analysis) {
  const std::string dump_name = TextMember(report.record, "dump_file");
  std::optional<std::string> updated =
      RecordWithAnalysis(std::move(report.record), std::move(analysis));
  if (!updated) return std::nullopt;
  // A dump stored before that name was reserved would be taken for a rewrite cut short.
  if (dump_name == kReportTempFileName ||
      !ReplaceFileIn(report.folder.get(), kReportFileName, kReportTempFileName, *updated)) {
    LogLine("cannot rewrite the report.json of " + Printable(ReportFolderName(report.dump_id)) +
            "; its dump is analysed again at the next start");
  }
  return ParseReportRecord(*updated, report.dump_id);
}

Json StoppedAnalysis(const std::string& reason) {
  return {{"analysis_version", fennick_minidump::kAnalysisVersion},
          {"crash", nullptr},
          {"analysis_error", reason}};
}

}  // namespace fennick_ingest
