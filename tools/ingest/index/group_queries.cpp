#include "group_queries.h"

#include <algorithm>
#include <limits>

#include "report_sql.h"

namespace fennick_ingest {
namespace {

// The newest reports a group's page lists.
constexpr size_t kNewestShown = 20;
// The operating systems a group's page lists, the most frequent first.
constexpr size_t kOperatingSystemsShown = 20;
constexpr int64_t kWeekMs = 7 * kDayMs;

int64_t SqlCount(size_t count) {
  return static_cast<int64_t>(std::min<size_t>(count, std::numeric_limits<int64_t>::max()));
}

std::string DateOf(int64_t day) { return UtcText(day * kDayMs).substr(0, 10); }

const char* OrderOf(GroupSort sort) {
  switch (sort) {
    case GroupSort::kMachines:
      return "devices DESC, count DESC, signature";
    case GroupSort::kLastSeen:
      return "last_crash DESC, signature";
    case GroupSort::kFirstSeen:
      return "first_crash DESC, signature";
    case GroupSort::kReports:
      break;
  }
  return "count DESC, last_received DESC, signature";
}

size_t CountOf(const SqliteDb& db, const std::string& condition, const SqlWhere& where) {
  Statement count(db, "SELECT COUNT(*) FROM reports r WHERE " + condition + " AND " + where.sql);
  BindWhere(count, where);
  return count.NextRow() ? static_cast<size_t>(count.Integer(0)) : 0;
}

// Reports per UTC day of the group, for the `days` days up to today, oldest first.
std::vector<DayCount> PerDay(const SqliteDb& db, const std::string& signature,
                             const SqlWhere& where, int days, int64_t now_ms) {
  const int64_t today = now_ms / kDayMs;
  std::vector<DayCount> per_day;
  for (int64_t day = today - days + 1; day <= today; ++day) per_day.push_back({DateOf(day), 0});
  Statement count(db, "SELECT r.crash_ms / 86400000, COUNT(*) FROM reports r WHERE "
                      "r.signature = ? AND r.crash_ms >= ? AND " + where.sql + " GROUP BY 1");
  count.Bind(1, signature).Bind(2, (today - days + 1) * kDayMs);
  BindWhere(count, where, 3);
  while (count.NextRow()) {
    const int64_t at = count.Integer(0) - (today - days + 1);
    if (at >= 0 && at < days) per_day[static_cast<size_t>(at)].count = count.Integer(1);
  }
  return per_day;
}

std::vector<VersionCount> Versions(const SqliteDb& db, const std::string& signature,
                                   const SqlWhere& where) {
  std::vector<VersionCount> versions;
  Statement count(db, "SELECT r.app_version, COUNT(*) FROM reports r WHERE r.signature = ? "
                      "AND r.app_version != '' AND " + where.sql +
                      " GROUP BY r.version_key, r.app_version ORDER BY r.version_key");
  count.Bind(1, signature);
  BindWhere(count, where, 2);
  while (count.NextRow()) {
    versions.push_back({count.Text(0), static_cast<size_t>(count.Integer(1))});
  }
  return versions;
}

// The newest application version any report names by number ("unknown" names none), and
// whether an older one is named too.
struct NewestVersion {
  std::string key;
  bool has_older = false;
};

NewestVersion NewestVersionKey(const SqliteDb& db) {
  Statement newest(db,
                   "SELECT MAX(version_key), MIN(version_key) FROM reports WHERE version_key < '1'");
  if (!newest.NextRow()) return {};
  return {newest.Text(0), newest.Text(0) != newest.Text(1)};
}

// Fills in what the aggregate leaves: the versions, the sparkline, the newest dump_ids,
// the top function and the markers.
void Complete(const SqliteDb& db, const SqlWhere& where, int64_t now_ms,
              const NewestVersion& newest, const std::string& first_version_key,
              CrashGroup& group) {
  for (const VersionCount& version : Versions(db, group.signature, where)) {
    group.app_versions.push_back(version.version);
  }
  if (!group.app_versions.empty()) {
    group.first_version = group.app_versions.front();
    group.last_version = group.app_versions.back();
  }
  group.per_day = PerDay(db, group.signature, where, kSparklineDays, now_ms);
  Statement newest_reports(db, "SELECT r.dump_id, r.top_function FROM reports r WHERE "
                               "r.signature = ? AND " + where.sql +
                               " ORDER BY r.received_ms DESC, r.dump_id LIMIT ?");
  newest_reports.Bind(1, group.signature);
  newest_reports.Bind(BindWhere(newest_reports, where, 2), SqlCount(kGroupDumpIdsShown));
  while (newest_reports.NextRow()) {
    if (group.dump_ids.empty()) group.top_function = newest_reports.Text(1);
    group.dump_ids.push_back(newest_reports.Text(0));
  }
  const bool first_in_newest =
      newest.has_older && !first_version_key.empty() && first_version_key == newest.key;
  group.is_new = first_in_newest || ParseIsoTime(group.first_crash_utc).value_or(0) >=
                                        now_ms - kNewGroupDays * kDayMs;
}

// The groups of `where` in `order`, with their aggregates; `limit` and `offset` page them.
std::vector<CrashGroup> Aggregate(const SqliteDb& db, const SqlWhere& where, const char* order,
                                  size_t first, size_t count, int64_t now_ms) {
  const int64_t week = now_ms - kWeekMs;
  Statement select(
      db,
      "SELECT r.signature, COUNT(*) AS count, COUNT(DISTINCT NULLIF(r.device_id, '')) AS "
      "devices, MIN(r.crash_ms) AS first_crash, MAX(r.crash_ms) AS last_crash, "
      "MIN(r.received_ms), MAX(r.received_ms) AS last_received, "
      "MIN(NULLIF(r.version_key, '')), SUM(r.crash_ms >= ?), "
      "SUM(r.crash_ms >= ? AND r.crash_ms < ?), "
      "COALESCE(s.state, 'open'), COALESCE(s.fixed_version, '') "
      "FROM reports r LEFT JOIN states s USING (signature) WHERE r.signature != '' AND " +
          where.sql + " GROUP BY r.signature ORDER BY " + order + " LIMIT ? OFFSET ?");
  select.Bind(1, week).Bind(2, week - 3 * kWeekMs).Bind(3, week);
  const int next = BindWhere(select, where, 4);
  select.Bind(next, SqlCount(count)).Bind(next + 1, SqlCount(first));
  const NewestVersion newest = NewestVersionKey(db);
  std::vector<std::pair<CrashGroup, std::string>> rows;
  while (select.NextRow()) {
    CrashGroup group;
    group.signature = select.Text(0);
    group.count = static_cast<size_t>(select.Integer(1));
    group.devices = static_cast<size_t>(select.Integer(2));
    group.first_crash_utc = UtcText(select.Integer(3));
    group.last_crash_utc = UtcText(select.Integer(4));
    group.first_received_utc = UtcText(select.Integer(5));
    group.last_received_utc = UtcText(select.Integer(6));
    group.rising = IsRising(static_cast<size_t>(select.Integer(8)),
                            static_cast<size_t>(select.Integer(9)));
    group.state = ParseGroupState(select.Text(10)).value_or(GroupState::kOpen);
    group.fixed_version = select.Text(11);
    rows.emplace_back(std::move(group), select.Text(7));
  }
  std::vector<CrashGroup> groups;
  for (auto& [group, first_version_key] : rows) {
    Complete(db, where, now_ms, newest, first_version_key, group);
    groups.push_back(std::move(group));
  }
  return groups;
}

}  // namespace

ReportSlice QueryReports(const SqliteDb& db, const ReportFilter& filter, size_t first,
                         size_t count) {
  const SqlWhere where = WhereOf(filter);
  ReportSlice slice;
  slice.total = CountOf(db, "1", where);
  Statement select(db, std::string("SELECT ") + kReportColumns +
                           " FROM reports r LEFT JOIN crashes c USING (folder) WHERE " +
                           where.sql + " ORDER BY r.received_ms DESC, r.dump_id LIMIT ? OFFSET ?");
  const int next = BindWhere(select, where);
  select.Bind(next, SqlCount(count)).Bind(next + 1, SqlCount(first));
  while (select.NextRow()) slice.reports.push_back(ReadReportRow(select));
  return slice;
}

GroupSlice QueryGroups(const SqliteDb& db, const ListQuery& query, size_t first, size_t count,
                       int64_t now_ms) {
  const SqlWhere where = WhereOf(query.filter);
  GroupSlice slice;
  Statement total(db, "SELECT COUNT(DISTINCT r.signature) FROM reports r WHERE r.signature != '' "
                      "AND " + where.sql);
  BindWhere(total, where);
  slice.total = total.NextRow() ? static_cast<size_t>(total.Integer(0)) : 0;
  slice.undecodable = CountOf(db, "r.signature = ''", where);
  slice.groups = Aggregate(db, where, OrderOf(query.sort), first, count, now_ms);
  return slice;
}

std::optional<GroupDetail> QueryGroup(const SqliteDb& db, const std::string& signature,
                                      const ReportFilter& filter, int64_t now_ms) {
  ReportFilter of_group = filter;
  of_group.signature = signature;
  const SqlWhere where = WhereOf(of_group);
  std::vector<CrashGroup> groups =
      Aggregate(db, where, OrderOf(GroupSort::kReports), 0, 1, now_ms);
  if (groups.empty()) return std::nullopt;
  GroupDetail detail;
  detail.group = std::move(groups.front());
  detail.per_day = PerDay(db, signature, where, kChartDays, now_ms);
  detail.versions = Versions(db, signature, where);
  Statement systems(db, "SELECT r.os_version, COUNT(*) FROM reports r WHERE " + where.sql +
                            " GROUP BY r.os_version ORDER BY 2 DESC, 1 LIMIT ?");
  systems.Bind(BindWhere(systems, where), SqlCount(kOperatingSystemsShown));
  while (systems.NextRow()) {
    detail.operating_systems.push_back({systems.Text(0), static_cast<size_t>(systems.Integer(1))});
  }
  detail.newest = QueryReports(db, of_group, 0, kNewestShown).reports;
  if (!detail.newest.empty()) detail.typical = detail.newest.front();
  return detail;
}

}  // namespace fennick_ingest
