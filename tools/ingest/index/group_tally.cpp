#include "group_tally.h"

#include <algorithm>
#include <tuple>

namespace fennick_ingest {
namespace {

size_t ReportsBetween(const GroupTally& tally, int64_t from_day, int64_t to_day) {
  size_t reports = 0;
  for (auto it = tally.days.lower_bound(from_day); it != tally.days.end() && it->first < to_day;
       ++it) {
    reports += it->second;
  }
  return reports;
}

// Counts one report of (`key`, `text`) in `counts`; an empty text is not counted. The
// few distinct values of a group are searched in place, with no text made for a repeat.
void CountText(std::vector<TextCount>& counts, std::string_view key, std::string_view text) {
  if (text.empty()) return;
  for (TextCount& count : counts) {
    if (count.text == text && count.key == key) {
      ++count.reports;
      return;
    }
  }
  counts.push_back({std::string(key), std::string(text), 1});
}

}  // namespace

std::map<std::string, GroupTally> TallyGroups(const SqliteDb& db, const SqlWhere& where,
                                              size_t* undecodable) {
  Statement select(db,
                   "SELECT r.signature, r.device_id, r.crash_ms, r.received_ms, r.version_key, "
                   "r.app_version, r.os_version, r.rowid FROM reports r WHERE " +
                       where.sql);
  BindWhere(select, where);
  std::map<std::string, GroupTally> groups;
  // Rows come ordered by signature from every index the filters use; a change of group is
  // the only lookup.
  GroupTally* tally = nullptr;
  std::string_view signature;
  *undecodable = 0;
  while (select.NextRow()) {
    if (select.View(0).empty()) {
      ++*undecodable;
      continue;
    }
    if (tally == nullptr || select.View(0) != signature) {
      const auto found = groups.try_emplace(select.Text(0)).first;
      tally = &found->second;
      signature = found->first;
    }
    ++tally->count;
    if (const std::string_view device = select.View(1);
        !device.empty() && device != tally->last_device) {
      tally->last_device = device;
      tally->devices.insert(tally->last_device);
    }
    const int64_t crash_ms = select.Integer(2);
    tally->first_crash = std::min(tally->first_crash, crash_ms);
    tally->last_crash = std::max(tally->last_crash, crash_ms);
    ++tally->days[crash_ms / kDayMs];
    CountText(tally->versions, select.View(4), select.View(5));
    CountText(tally->systems, {}, select.View(6));
    tally->arrivals.emplace_back(select.Integer(3), select.Integer(7));
  }
  return groups;
}

std::vector<DayCount> DaysOfTally(const GroupTally& tally, int days, int64_t now_ms) {
  const int64_t first_day = now_ms / kDayMs - days + 1;
  std::vector<DayCount> per_day;
  for (int64_t day = first_day; day < first_day + days; ++day) {
    const auto found = tally.days.find(day);
    per_day.push_back({DateOfDay(day), found == tally.days.end() ? 0 : found->second});
  }
  return per_day;
}

std::vector<TextCount> VersionsInOrder(const GroupTally& tally) {
  std::vector<TextCount> versions = tally.versions;
  std::sort(versions.begin(), versions.end(), [](const TextCount& a, const TextCount& b) {
    return std::tie(a.key, a.text) < std::tie(b.key, b.text);
  });
  return versions;
}

CrashGroup GroupOfTally(const std::string& signature, const GroupTally& tally, int64_t now_ms,
                        const std::string& newest_version_key, bool has_older_version) {
  CrashGroup group;
  group.signature = signature;
  group.count = tally.count;
  group.devices = tally.devices.size();
  group.first_crash_utc = UtcText(tally.first_crash);
  group.last_crash_utc = UtcText(tally.last_crash);
  const std::vector<TextCount> versions = VersionsInOrder(tally);
  for (const TextCount& version : versions) group.app_versions.push_back(version.text);
  if (!group.app_versions.empty()) {
    group.first_version = group.app_versions.front();
    group.last_version = group.app_versions.back();
  }
  group.per_day = DaysOfTally(tally, kSparklineDays, now_ms);
  const int64_t week = now_ms / kDayMs - kRisingDays + 1;
  group.rising = IsRising(ReportsBetween(tally, week, INT64_MAX),
                          ReportsBetween(tally, week - kRisingDaysBefore, week));
  group.is_new = IsNewGroup(tally.first_crash, versions.empty() ? "" : versions.front().key,
                            newest_version_key, has_older_version, now_ms);
  return group;
}

void CompleteFromReports(const SqliteDb& db, GroupTally& tally, CrashGroup& group) {
  // Newest first, as the lists order reports.
  std::sort(tally.arrivals.begin(), tally.arrivals.end(),
            [](const auto& a, const auto& b) { return a > b; });
  Statement read(db, "SELECT dump_id, top_function, received_utc FROM reports WHERE rowid = ?");
  const auto read_report = [&read](int64_t rowid) {
    read.Reset();
    read.Bind(1, rowid);
    return read.NextRow();
  };
  for (size_t i = 0; i < tally.arrivals.size() && i < kGroupDumpIdsShown; ++i) {
    if (!read_report(tally.arrivals[i].second)) continue;
    if (group.dump_ids.empty()) {
      group.top_function = read.Text(1);
      group.last_received_utc = read.Text(2);
    }
    group.dump_ids.push_back(read.Text(0));
  }
  if (!tally.arrivals.empty() && read_report(tally.arrivals.back().second)) {
    group.first_received_utc = read.Text(2);
  }
}

}  // namespace fennick_ingest
