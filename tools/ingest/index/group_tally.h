#ifndef FENNICK_TOOLS_INGEST_INDEX_GROUP_TALLY_H_
#define FENNICK_TOOLS_INGEST_INDEX_GROUP_TALLY_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "crash_groups.h"
#include "report_sql.h"
#include "sqlite_db.h"

// The groups of a filtered list, counted in one pass over the reports the filter selects:
// a filter cuts across the per-group summaries, and one pass costs less than a query per
// group and figure.
namespace fennick_ingest {

// Reports per value of a text (a version with its sort key, an operating system).
struct TextCount {
  std::string key;
  std::string text;
  size_t reports = 0;
};

struct GroupTally {
  size_t count = 0;
  std::unordered_set<std::string> devices;
  int64_t first_crash = INT64_MAX;
  int64_t last_crash = INT64_MIN;
  std::map<int64_t, size_t> days;   // crash day (since 1970): reports
  std::vector<TextCount> versions;  // in the order first seen
  std::vector<TextCount> systems;
  std::string last_device;  // rows often come ordered by device: a repeat costs no lookup
  std::vector<std::pair<int64_t, int64_t>> arrivals;  // (received_ms, rowid)
};

// The tallies of the groups of the reports `where` selects, by signature; `undecodable`
// receives how many of those reports name no crash.
std::map<std::string, GroupTally> TallyGroups(const SqliteDb& db, const SqlWhere& where,
                                              size_t* undecodable);

// The group a tally describes, without what only the reports themselves say (dump_ids, top
// function, receive times); `newest_version_key` places the "new" marker.
CrashGroup GroupOfTally(const std::string& signature, const GroupTally& tally, int64_t now_ms,
                        const std::string& newest_version_key, bool has_older_version);

// The tally's versions in version order.
std::vector<TextCount> VersionsInOrder(const GroupTally& tally);

// The tally's reports per day for the `days` days up to today, oldest first.
std::vector<DayCount> DaysOfTally(const GroupTally& tally, int days, int64_t now_ms);

// Fills in the group's newest dump_ids (newest first), its top function and its first
// and last receive time from the reports the tally's arrivals name.
void CompleteFromReports(const SqliteDb& db, GroupTally& tally, CrashGroup& group);

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_GROUP_TALLY_H_
