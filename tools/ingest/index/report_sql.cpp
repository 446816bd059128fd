#include "report_sql.h"

#include <algorithm>

namespace fennick_ingest {
namespace {

void Require(SqlWhere& where, const char* condition, std::variant<int64_t, std::string> value) {
  where.sql += std::string(" AND ") + condition;
  where.values.push_back(std::move(value));
}

}  // namespace

bool MatchText(SqliteDb& db, const std::string& text) {
  std::string phrase = text;
  for (size_t at = phrase.find('"'); at != std::string::npos; at = phrase.find('"', at + 2)) {
    phrase.insert(at, 1, '"');
  }
  return db.Execute("DELETE FROM temp.text_matches") &&
         Statement(db,
                   "INSERT INTO temp.text_matches SELECT rowid FROM report_text WHERE "
                   "report_text MATCH ?")
             .Bind(1, '"' + phrase + '"')
             .Run();
}

SqlWhere WhereOf(const ReportFilter& filter) {
  SqlWhere where{"1", {}};
  const std::pair<const std::string*, const char*> exact[] = {
      {&filter.signature, "r.signature = ?"},
      {&filter.app_version, "r.app_version = ?"},
      {&filter.computer_name, "r.computer_name = ?"},
      {&filter.device_id, "r.device_id = ?"},
      {&filter.os, "r.os_version = ?"}};
  for (const auto& [value, condition] : exact) {
    if (!value->empty()) Require(where, condition, *value);
  }
  if (filter.since_ms) Require(where, "r.crash_ms >= ?", *filter.since_ms);
  if (filter.until_ms) Require(where, "r.crash_ms <= ?", *filter.until_ms);
  if (filter.q.size() >= kShortestIndexedText) {
    // Found through the text index beforehand (MatchText); the match ignores case as a
    // whole, which is exact for a substring.
    where.sql += " AND r.rowid IN (SELECT rowid FROM temp.text_matches)";
  } else if (!filter.q.empty()) {
    Require(where, "instr(r.search, ?) > 0", LowerAscii(filter.q));
  }
  if (filter.undecodable) where.sql += " AND r.signature = ''";
  if (filter.state == GroupState::kOpen) {
    // A group without a decision is open.
    where.sql +=
        " AND r.signature != '' AND r.signature NOT IN "
        "(SELECT signature FROM states WHERE state != 'open')";
  } else if (filter.state) {
    Require(where, "r.signature IN (SELECT signature FROM states WHERE state = ?)",
            std::string(GroupStateName(*filter.state)));
  }
  return where;
}

int BindWhere(Statement& statement, const SqlWhere& where, int first) {
  for (const auto& value : where.values) {
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
      statement.Bind(first++, *number);
    } else {
      statement.Bind(first++, std::get<std::string>(value));
    }
  }
  return first;
}

const char kReportColumns[] =
    "r.dump_id, r.received_utc, r.received_ms, r.crash_ms, r.app_version, r.os_version, "
    "r.computer_name, r.device_id, r.process_name, r.dump_file, r.dump_bytes, r.analysed, "
    "c.crash_json, r.signature, r.top_function, r.analysis_error";

StoredReport ReadReportRow(const Statement& row) {
  StoredReport report;
  report.dump_id = row.Text(0);
  report.received_utc = row.Text(1);
  report.received_ms = row.Integer(2);
  report.crash_ms = row.Integer(3);
  report.app_version = row.Text(4);
  report.os_version = row.Text(5);
  report.computer_name = row.Text(6);
  report.device_id = row.Text(7);
  report.process_name = row.Text(8);
  report.dump_file = row.Text(9);
  report.dump_bytes = static_cast<uint64_t>(row.Integer(10));
  report.analysed = row.Integer(11) != 0;
  report.crash_json = row.Text(12);
  report.signature = row.Text(13);
  report.top_function = row.Text(14);
  report.analysis_error = row.Text(15);
  return report;
}

std::string LowerAscii(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return text;
}

std::string SearchText(const StoredReport& report) {
  std::string text;
  for (const std::string* part :
       {&report.signature, &report.top_function, &report.dump_id, &report.app_version,
        &report.os_version, &report.computer_name, &report.device_id, &report.process_name,
        &report.dump_file, &report.analysis_error}) {
    text += *part;
    text += '\n';
  }
  return LowerAscii(std::move(text));
}

}  // namespace fennick_ingest
