#ifndef FENNICK_TOOLS_INGEST_INBOX_INBOX_JSON_H_
#define FENNICK_TOOLS_INGEST_INBOX_INBOX_JSON_H_

#include <string>
#include <string_view>
#include <vector>

#include "crash_groups.h"
#include "stored_reports.h"

// The inbox's lists and reports as JSON, for /api/reports and /api/groups.
namespace fennick_ingest {

// A JSON array of the reports: their fields, sizes and addresses, and "crash" (the crash
// summary, or null with "analysis_error").
std::string RenderReportsJson(const std::vector<StoredReport>& reports);

// One report as a JSON object, everything its page shows: "dump_id", "dump_url" and
// "report_url", then its record (`record_text`, a report.json) whole, the analysis with
// the crash, its stack and the reader's findings included.
std::string RenderReportJson(std::string_view dump_id, std::string_view record_text);

// A JSON array of the groups, with every member of CrashGroup ("state" by its name,
// "per_day" as objects {"date","count"}).
std::string RenderGroupsJson(const std::vector<CrashGroup>& groups);

// One group as a JSON object, everything its page shows: the members of CrashGroup with
// "per_day" of the last kChartDays days, "versions" and "operating_systems" as objects
// {"version"/"os","count"}, "newest" (as RenderReportsJson lists reports) and "typical".
std::string RenderGroupJson(const GroupDetail& detail);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INBOX_INBOX_JSON_H_
