#ifndef FENNICK_TOOLS_INGEST_STORE_STORED_ANALYSIS_H_
#define FENNICK_TOOLS_INGEST_STORE_STORED_ANALYSIS_H_

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "crash_analysis.h"
#include "report_index.h"
#include "stored_reports.h"

// The reader's analysis of each dump, kept in its report.json under "analysis" so that no
// list ever reads a dump: made when a report arrives, and at start for reports stored
// before (or by an older reader, or before the symbols it lacked).
namespace fennick_ingest {

// `record` with `analysis` under "analysis", as the text of a report.json. When the reader's
// findings ("minidump") would make it longer than the store reads back, they are left out
// and "minidump_left_out" says so; the crash stays. nullopt when even that is too long.
std::optional<std::string> RecordWithAnalysis(nlohmann::ordered_json record,
                                              nlohmann::ordered_json analysis);

// Analyses the dump of the stored report `dump_id` again and rewrites its report.json whole
// and durably; the report as it now stands, or nullopt when it has no record.
std::optional<StoredReport> ReanalyseReport(const std::filesystem::path& store,
                                            const std::string& dump_id,
                                            const fennick_analysis::CrashAnalyzer& analyzer);

// Analyses again every report in `index` that holds no analysis by the current reader, or
// lacked symbols that the store now holds, and records the new analysis in `index`. Returns
// how many reports it analysed. Run it before uploads are taken.
size_t AnalyseOldReports(const std::filesystem::path& store,
                         const fennick_analysis::CrashAnalyzer& analyzer, ReportIndex& index);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_STORE_STORED_ANALYSIS_H_
