#ifndef FENNICK_TOOLS_INGEST_STORE_STORED_ANALYSIS_H_
#define FENNICK_TOOLS_INGEST_STORE_STORED_ANALYSIS_H_

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/file_io.h"
#include "stored_reports.h"

// The reader's analysis of each dump, kept in its report.json under "analysis" so that no
// list ever reads a dump: made once a report is stored, and again for reports stored
// before (or by an older reader, or before the symbols it lacked).
namespace fennick_ingest {

// `record` as the text of a report.json, without an analysis yet.
std::string RecordText(const nlohmann::ordered_json& record);

// `record` with `analysis` under "analysis", as the text of a report.json. When the reader's
// findings ("minidump") would make it longer than the store reads back, they are left out
// and "minidump_left_out" says so; the crash stays. When even that is too long, only an
// "analysis_error" saying so is kept. nullopt when the record alone is too long.
std::optional<std::string> RecordWithAnalysis(nlohmann::ordered_json record,
                                              nlohmann::ordered_json analysis);

// A stored report opened to be analysed: its folder, its record and its dump.
struct ReportToAnalyse {
  std::string dump_id;
  ScopedFile folder;
  nlohmann::ordered_json record;
  ScopedFile dump;  // invalid when the record names no dump that can be opened safely
};

// Opens the report `dump_id`, or nullopt when the store holds no record of it.
std::optional<ReportToAnalyse> OpenReportToAnalyse(const std::filesystem::path& store,
                                                   const std::string& dump_id);

// True while the folder of `report` still stands under its name: no upload has replaced it.
bool StillStored(const std::filesystem::path& store, const ReportToAnalyse& report);

// Records `analysis` in the report's report.json, rewritten whole and durably; the report as
// it now stands, or nullopt when its record cannot be written.
std::optional<StoredReport> RecordAnalysis(ReportToAnalyse report, nlohmann::ordered_json analysis);

// The analysis of a dump whose worker stopped: no crash, and `reason` why.
nlohmann::ordered_json StoppedAnalysis(const std::string& reason);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_STORED_ANALYSIS_H_
