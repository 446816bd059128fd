#ifndef FENNICK_TOOLS_INGEST_INDEX_CRASH_GROUPS_H_
#define FENNICK_TOOLS_INGEST_INDEX_CRASH_GROUPS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report_filter.h"
#include "stored_reports.h"

// Stored reports grouped by the signature of their crash: one group per crash, with what
// triage asks of it (how often, where, since when, getting worse, decided about).
namespace fennick_ingest {

// A group lists the dump_ids of its newest reports only, so that a crash that came back
// 100,000 times still makes a short reply; its count says how many there are.
inline constexpr size_t kGroupDumpIdsShown = 100;

// The days of the sparkline in a list row, and of the chart on a group's page.
inline constexpr int kSparklineDays = 14;
inline constexpr int kChartDays = 30;

// A group is new when its first crash is at most this many days old, or when it first
// crashed in the newest application version any report names.
inline constexpr int kNewGroupDays = 7;
// A group is rising when its crashes of the last kRisingDays days (today included) are at
// least kRisingMinimum and more than kRisingFactor times its weekly average of the
// kRisingDaysBefore days before.
inline constexpr int kRisingDays = 7;
inline constexpr int kRisingDaysBefore = 21;
inline constexpr size_t kRisingMinimum = 5;
inline constexpr size_t kRisingFactor = 2;

struct DayCount {
  std::string date;  // "2026-12-01", a UTC day
  size_t count = 0;
};

struct VersionCount {
  std::string version;
  size_t count = 0;
};

// What one group tells about its crash, as a list shows it. Times are crash times (the
// client's, never later than the report's arrival); receive times stand beside them.
struct CrashGroup {
  std::string signature;
  std::string top_function;  // the function that names the crash; empty without symbols
  size_t count = 0;
  size_t devices = 0;  // distinct device ids; reports without one left out
  std::string first_crash_utc;
  std::string last_crash_utc;
  std::string first_received_utc;
  std::string last_received_utc;
  std::string first_version;              // the lowest application version, in version order
  std::string last_version;               // the highest
  std::vector<std::string> app_versions;  // distinct, in version order; empty ones left out
  std::vector<DayCount> per_day;          // the last kSparklineDays days, oldest first
  bool is_new = false;
  bool rising = false;
  GroupState state = GroupState::kOpen;
  std::string fixed_version;          // when resolved in a version
  std::vector<std::string> dump_ids;  // newest first, at most kGroupDumpIdsShown
};

// Everything a group's own page shows.
struct GroupDetail {
  CrashGroup group;
  std::vector<DayCount> per_day;                // the last kChartDays days, oldest first
  std::vector<VersionCount> versions;           // in version order
  std::vector<VersionCount> operating_systems;  // the most reports first
  std::vector<StoredReport> newest;             // the newest reports, newest first
  StoredReport typical;  // the newest report, whose crash stands for the group's
};

// A text that orders application versions numerically when compared as bytes:
// "3.3.0.7" < "3.10.0.1" < "10.0.0.1". Parts that are no number order after numbers and
// among themselves as text.
std::string VersionSortKey(std::string_view version);

// Whether a group with the counts of the last kRisingDays days and of the kRisingDaysBefore
// days before is rising.
bool IsRising(size_t this_week, size_t three_weeks_before);

// Whether a group is new: its first crash at `first_crash_ms`, its lowest version's sort key
// `first_version_key`, the newest version's key any crash names `newest_version_key`, and
// whether a crash names an older one.
bool IsNewGroup(int64_t first_crash_ms, const std::string& first_version_key,
                const std::string& newest_version_key, bool older_version_named, int64_t now_ms);

// The UTC date of day `day` since 1970: "2026-12-01".
std::string DateOfDay(int64_t day);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_CRASH_GROUPS_H_
