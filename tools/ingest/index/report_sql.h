#ifndef FENNICK_TOOLS_INGEST_INDEX_REPORT_SQL_H_
#define FENNICK_TOOLS_INGEST_INDEX_REPORT_SQL_H_

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "report_filter.h"
#include "sqlite_db.h"
#include "stored_reports.h"

// How the index's reports table is read: a filter as SQL, and a row as a StoredReport.
namespace fennick_ingest {

// A condition on the table `reports` (alias r) with the values its '?'s stand for, in order.
struct SqlWhere {
  std::string sql;
  std::vector<std::variant<int64_t, std::string>> values;
};

// The text index is made of every three characters; a shorter text is searched without it.
inline constexpr size_t kShortestIndexedText = 3;

// Fills temp.text_matches with the reports whose search text holds `text` (of
// kShortestIndexedText bytes or more), ignoring case, as WhereOf expects it for the
// filter's q.
bool MatchText(SqliteDb& db, const std::string& text);

SqlWhere WhereOf(const ReportFilter& filter);

// Binds `where`'s values from the parameter `first` on; returns the index after the last.
int BindWhere(Statement& statement, const SqlWhere& where, int first = 1);

// The columns ReadReportRow reads, for "SELECT <this> FROM reports r LEFT JOIN crashes c
// USING (folder)".
extern const char kReportColumns[];
StoredReport ReadReportRow(const Statement& row);

// What the free-text filter searches in a report: its signature, top function, dump_id and
// fields, in lower case (ASCII), one per line.
std::string SearchText(const StoredReport& report);
// `text` with ASCII letters in lower case.
std::string LowerAscii(std::string text);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_REPORT_SQL_H_
