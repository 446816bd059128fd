#include "group_queries.h"

#include <algorithm>
#include <limits>

#include "group_tally.h"
#include "report_sql.h"

namespace fennick_ingest {
namespace {

// A filtered list of at most this many reports is sorted rather than read in order.
constexpr size_t kSortedReportsMost = 5000;
// The newest reports a group's page lists.
constexpr size_t kNewestShown = 20;
// The operating systems a group's page lists, the most frequent first.
constexpr size_t kOperatingSystemsShown = 20;

int64_t SqlCount(size_t count) {
  return static_cast<int64_t>(std::min<size_t>(count, std::numeric_limits<int64_t>::max()));
}

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

// Whether `filter` selects whole groups (by signature or state) or nothing: the per-group
// summaries then answer; any other filter has its reports counted (group_tally.h).
bool SelectsWholeGroups(const ReportFilter& filter) {
  ReportFilter of_groups;
  of_groups.signature = filter.signature;
  of_groups.state = filter.state;
  return filter == of_groups;
}

// One statement whose text is `head` + the condition `where` + `tail`, its values bound:
// `before` ahead of the condition's, `after` behind them.
Statement Select(const SqliteDb& db, const std::string& head, const SqlWhere& where,
                 const std::string& tail,
                 std::initializer_list<std::variant<int64_t, std::string>> before,
                 std::initializer_list<int64_t> after = {}) {
  Statement select(db, head + where.sql + tail);
  int index = 1;
  for (const auto& value : before) {
    if (const int64_t* number = std::get_if<int64_t>(&value)) {
      select.Bind(index++, *number);
    } else {
      select.Bind(index++, std::get<std::string>(value));
    }
  }
  index = BindWhere(select, where, index);
  for (const int64_t value : after) select.Bind(index++, value);
  return select;
}

size_t CountOf(const SqliteDb& db, const std::string& condition, const SqlWhere& where) {
  Statement count =
      Select(db, "SELECT COUNT(*) FROM reports r WHERE " + condition + " AND ", where, "", {});
  return count.NextRow() ? static_cast<size_t>(count.Integer(0)) : 0;
}

// Reports per UTC day of the group, for the `days` days up to today, oldest first.
std::vector<DayCount> PerDay(const SqliteDb& db, const std::string& signature, int days,
                             int64_t now_ms) {
  const int64_t first_day = now_ms / kDayMs - days + 1;
  std::vector<DayCount> per_day;
  for (int64_t day = first_day; day < first_day + days; ++day)
    per_day.push_back({DateOfDay(day), 0});
  Statement count(db, "SELECT day, reports FROM group_days WHERE signature = ? AND day >= ?");
  count.Bind(1, signature).Bind(2, first_day);
  while (count.NextRow()) {
    const int64_t at = count.Integer(0) - first_day;
    if (at >= 0 && at < days) {
      per_day[static_cast<size_t>(at)].count = static_cast<size_t>(count.Integer(1));
    }
  }
  return per_day;
}

// Reports per application version, in version order; per operating system, the most first.
std::vector<VersionCount> Counts(const SqliteDb& db, const char* sql,
                                 const std::string& signature) {
  Statement count(db, sql);
  count.Bind(1, signature);
  std::vector<VersionCount> counts;
  while (count.NextRow()) {
    counts.push_back({count.Text(0), static_cast<size_t>(count.Integer(1))});
  }
  return counts;
}

std::vector<VersionCount> Versions(const SqliteDb& db, const std::string& signature) {
  return Counts(db,
                "SELECT app_version, reports FROM group_versions WHERE signature = ? "
                "ORDER BY version_key, app_version",
                signature);
}

std::vector<VersionCount> OperatingSystems(const SqliteDb& db, const std::string& signature) {
  static const std::string sql =
      "SELECT os_version, reports FROM group_systems WHERE signature = ? ORDER BY 2 DESC, 1 "
      "LIMIT " +
      std::to_string(kOperatingSystemsShown);
  return Counts(db, sql.c_str(), signature);
}

// The group's reports in the order of arrival, `direction` "ASC" or "DESC", `count` of them;
// the first one already read when `count` is 1 (dump_id, top function, receive time).
Statement EdgeReports(const SqliteDb& db, const std::string& signature, const SqlWhere& where,
                      const char* direction, size_t count = 1) {
  Statement select = Select(
      db,
      "SELECT r.dump_id, r.top_function, r.received_utc FROM reports r WHERE "
      "r.signature = ? AND ",
      where,
      std::string(" ORDER BY r.received_ms ") + direction + ", r.dump_id " + direction + " LIMIT ?",
      {signature}, {SqlCount(count)});
  if (count == 1) select.NextRow();
  return select;
}

// The newest application version any report names by number ("unknown" names none), and
// whether an older one is named too.
struct NewestVersion {
  std::string key;
  bool has_older = false;
};

NewestVersion NewestVersionKey(const SqliteDb& db) {
  Statement newest(db,
                   "SELECT MAX(version_key), MIN(version_key) FROM group_versions "
                   "WHERE version_key < '1'");
  if (!newest.NextRow()) return {};
  return {newest.Text(0), newest.Text(0) != newest.Text(1)};
}

// Fills in what the aggregate leaves: the versions, the sparkline, the newest dump_ids,
// the receive times as their records say them, the top function and the markers.
void Complete(const SqliteDb& db, const SqlWhere& where, int64_t now_ms,
              const NewestVersion& newest, const std::string& first_version_key,
              CrashGroup& group) {
  for (const VersionCount& version : Versions(db, group.signature)) {
    group.app_versions.push_back(version.version);
  }
  if (!group.app_versions.empty()) {
    group.first_version = group.app_versions.front();
    group.last_version = group.app_versions.back();
  }
  group.per_day = PerDay(db, group.signature, kSparklineDays, now_ms);
  group.first_received_utc = EdgeReports(db, group.signature, where, "ASC").Text(2);
  Statement newest_reports = EdgeReports(db, group.signature, where, "DESC", kGroupDumpIdsShown);
  while (newest_reports.NextRow()) {
    if (group.dump_ids.empty()) {
      group.top_function = newest_reports.Text(1);
      group.last_received_utc = newest_reports.Text(2);
    }
    group.dump_ids.push_back(newest_reports.Text(0));
  }
  group.is_new = IsNewGroup(ParseIsoTime(group.first_crash_utc).value_or(0), first_version_key,
                            newest.key, newest.has_older, now_ms);
}

// Per group: signature, count, devices, first_crash, last_crash, last_received, the lowest
// version's key, the reports of this week and of the weeks before, state and fixed
// version; the condition (on r.signature) follows.
constexpr char kSummaryAggregate[] =
    "SELECT r.signature, r.count, COALESCE(v.devices, 0) AS devices, "
    "(SELECT MIN(crash_ms) FROM reports WHERE signature = r.signature) AS first_crash, "
    "(SELECT MAX(crash_ms) FROM reports WHERE signature = r.signature) AS last_crash, "
    "(SELECT MAX(received_ms) FROM reports WHERE signature = r.signature) AS last_received, "
    "(SELECT MIN(version_key) FROM group_versions WHERE signature = r.signature), "
    "r.this_week, r.weeks_before, COALESCE(s.state, 'open'), COALESCE(s.fixed_version, '') "
    "FROM (SELECT signature, SUM(reports) AS count, "
    "SUM(CASE WHEN day >= ? THEN reports ELSE 0 END) AS this_week, "
    "SUM(CASE WHEN day >= ? AND day < ? THEN reports ELSE 0 END) AS weeks_before "
    "FROM group_days GROUP BY signature) r "
    "LEFT JOIN (SELECT signature, COUNT(*) AS devices FROM group_devices GROUP BY signature) v "
    "USING (signature) LEFT JOIN states s USING (signature) WHERE ";

// The groups of `where` (on r.signature alone) in `order`, with their aggregates from the
// summaries, `count` from position `first` on.
std::vector<CrashGroup> Aggregate(const SqliteDb& db, const SqlWhere& where, const char* order,
                                  size_t first, size_t count, int64_t now_ms) {
  const int64_t week = now_ms / kDayMs - kRisingDays + 1;
  const int64_t weeks_before = week - kRisingDaysBefore;
  Statement select =
      Select(db, kSummaryAggregate, where, std::string(" ORDER BY ") + order + " LIMIT ? OFFSET ?",
             {week, weeks_before, week}, {SqlCount(count), SqlCount(first)});
  const NewestVersion newest = NewestVersionKey(db);
  std::vector<std::pair<CrashGroup, std::string>> rows;
  while (select.NextRow()) {
    CrashGroup group;
    group.signature = select.Text(0);
    group.count = static_cast<size_t>(select.Integer(1));
    group.devices = static_cast<size_t>(select.Integer(2));
    group.first_crash_utc = UtcText(select.Integer(3));
    group.last_crash_utc = UtcText(select.Integer(4));
    group.rising =
        IsRising(static_cast<size_t>(select.Integer(7)), static_cast<size_t>(select.Integer(8)));
    group.state = ParseGroupState(select.Text(9)).value_or(GroupState::kOpen);
    group.fixed_version = select.Text(10);
    rows.emplace_back(std::move(group), select.Text(6));
  }
  std::vector<CrashGroup> groups;
  for (auto& [group, first_version_key] : rows) {
    Complete(db, where, now_ms, newest, first_version_key, group);
    groups.push_back(std::move(group));
  }
  return groups;
}

// Whether group `a` comes before `b` in `sort` order, by their tallies.
bool ComesFirst(GroupSort sort, const std::string& a_signature, const GroupTally& a,
                const std::string& b_signature, const GroupTally& b) {
  const auto last_received = [](const GroupTally& tally) {
    int64_t last = INT64_MIN;
    for (const auto& [received_ms, rowid] : tally.arrivals) last = std::max(last, received_ms);
    return last;
  };
  switch (sort) {
    case GroupSort::kMachines:
      if (a.devices.size() != b.devices.size()) return a.devices.size() > b.devices.size();
      if (a.count != b.count) return a.count > b.count;
      break;
    case GroupSort::kLastSeen:
      if (a.last_crash != b.last_crash) return a.last_crash > b.last_crash;
      break;
    case GroupSort::kFirstSeen:
      if (a.first_crash != b.first_crash) return a.first_crash > b.first_crash;
      break;
    case GroupSort::kReports:
      if (a.count != b.count) return a.count > b.count;
      if (last_received(a) != last_received(b)) return last_received(a) > last_received(b);
      break;
  }
  return a_signature < b_signature;
}

// The groups of `tallies`, `count` from position `first` on in `sort` order.
std::vector<CrashGroup> TalliedGroups(const SqliteDb& db,
                                      std::map<std::string, GroupTally>& tallies, GroupSort sort,
                                      size_t first, size_t count, int64_t now_ms) {
  std::vector<std::map<std::string, GroupTally>::iterator> order;
  for (auto it = tallies.begin(); it != tallies.end(); ++it) order.push_back(it);
  std::sort(order.begin(), order.end(), [sort](const auto& a, const auto& b) {
    return ComesFirst(sort, a->first, a->second, b->first, b->second);
  });
  const NewestVersion newest = NewestVersionKey(db);
  Statement state(db, "SELECT state, fixed_version FROM states WHERE signature = ?");
  std::vector<CrashGroup> groups;
  for (size_t i = first; i < order.size() && groups.size() < count; ++i) {
    auto& [signature, tally] = *order[i];
    CrashGroup group = GroupOfTally(signature, tally, now_ms, newest.key, newest.has_older);
    CompleteFromReports(db, tally, group);
    state.Reset();
    state.Bind(1, signature);
    if (state.NextRow()) {
      group.state = ParseGroupState(state.Text(0)).value_or(GroupState::kOpen);
      group.fixed_version = state.Text(1);
    }
    groups.push_back(std::move(group));
  }
  return groups;
}

// The groups of the condition `where` (on r.signature alone) in the summaries.
size_t GroupCount(const SqliteDb& db, const SqlWhere& where) {
  Statement count =
      Select(db, "SELECT COUNT(*) FROM (SELECT DISTINCT signature FROM group_days) r WHERE ", where,
             "", {});
  return count.NextRow() ? static_cast<size_t>(count.Integer(0)) : 0;
}

}  // namespace

ReportSlice QueryReports(const SqliteDb& db, const ReportFilter& filter, size_t first,
                         size_t count) {
  const SqlWhere where = WhereOf(filter);
  ReportSlice slice;
  ReportFilter besides_text = filter;
  besides_text.q.clear();
  // The reports of a text alone were counted when the text index found them.
  if (filter.q.size() >= kShortestIndexedText && besides_text == ReportFilter{}) {
    Statement matches(db, "SELECT COUNT(*) FROM temp.text_matches");
    slice.total = matches.NextRow() ? static_cast<size_t>(matches.Integer(0)) : 0;
  } else {
    slice.total = CountOf(db, "1", where);
  }
  // Few reports are found through the filter's own index and sorted ('+' keeps the order's
  // index out); many are met soonest by walking the newest first.
  const bool few = slice.total <= kSortedReportsMost;
  Statement select = Select(db,
                            std::string("SELECT ") + kReportColumns + " FROM reports r " +
                                (few ? "" : "INDEXED BY reports_newest ") +
                                "LEFT JOIN crashes c USING (folder) WHERE ",
                            where,
                            std::string(" ORDER BY ") + (few ? "+" : "") +
                                "r.received_ms DESC, r.dump_id LIMIT ? OFFSET ?",
                            {}, {SqlCount(count), SqlCount(first)});
  while (select.NextRow()) slice.reports.push_back(ReadReportRow(select));
  return slice;
}

GroupSlice QueryGroups(const SqliteDb& db, const ListQuery& query, size_t first, size_t count,
                       int64_t now_ms) {
  const SqlWhere where = WhereOf(query.filter);
  GroupSlice slice;
  if (!SelectsWholeGroups(query.filter)) {
    std::map<std::string, GroupTally> tallies = TallyGroups(db, where, &slice.undecodable);
    slice.total = tallies.size();
    slice.groups = TalliedGroups(db, tallies, query.sort, first, count, now_ms);
    return slice;
  }
  slice.undecodable = CountOf(db, "r.signature = ''", where);
  slice.total = GroupCount(db, where);
  slice.groups = Aggregate(db, where, OrderOf(query.sort), first, count, now_ms);
  return slice;
}

std::optional<GroupDetail> QueryGroup(const SqliteDb& db, const std::string& signature,
                                      const ReportFilter& filter, int64_t now_ms) {
  ReportFilter of_group = filter;
  of_group.signature = signature;
  const SqlWhere where = WhereOf(of_group);
  GroupDetail detail;
  if (SelectsWholeGroups(of_group)) {
    std::vector<CrashGroup> groups =
        Aggregate(db, where, OrderOf(GroupSort::kReports), 0, 1, now_ms);
    if (groups.empty()) return std::nullopt;
    detail.group = std::move(groups.front());
    detail.per_day = PerDay(db, signature, kChartDays, now_ms);
    detail.versions = Versions(db, signature);
    detail.operating_systems = OperatingSystems(db, signature);
  } else {
    size_t undecodable = 0;
    std::map<std::string, GroupTally> tallies = TallyGroups(db, where, &undecodable);
    const auto found = tallies.find(signature);
    if (found == tallies.end()) return std::nullopt;
    const GroupTally& tally = found->second;
    detail.group = TalliedGroups(db, tallies, GroupSort::kReports, 0, 1, now_ms).front();
    detail.per_day = DaysOfTally(tally, kChartDays, now_ms);
    for (const TextCount& version : VersionsInOrder(tally)) {
      detail.versions.push_back({version.text, version.reports});
    }
    for (const TextCount& os : tally.systems)
      detail.operating_systems.push_back({os.text, os.reports});
    std::sort(detail.operating_systems.begin(), detail.operating_systems.end(),
              [](const VersionCount& a, const VersionCount& b) { return a.count > b.count; });
    if (detail.operating_systems.size() > kOperatingSystemsShown) {
      detail.operating_systems.resize(kOperatingSystemsShown);
    }
  }
  detail.newest = QueryReports(db, of_group, 0, kNewestShown).reports;
  if (!detail.newest.empty()) detail.typical = detail.newest.front();
  return detail;
}

}  // namespace fennick_ingest
