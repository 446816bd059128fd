#ifndef FENNICK_TOOLS_INGEST_INDEX_CRASH_GROUPS_H_
#define FENNICK_TOOLS_INGEST_INDEX_CRASH_GROUPS_H_

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "stored_reports.h"

// Stored reports grouped by the signature of their crash: one group per crash.
namespace fennick_ingest {

// A group lists the dump_ids of its newest reports only, so that a crash that came back
// 100,000 times still makes a short reply; its count says how many there are.
inline constexpr size_t kGroupDumpIdsShown = 100;

// What one group tells about its crash.
struct CrashGroup {
  std::string signature;
  std::string top_function;  // the function that names the crash; empty without symbols
  size_t count = 0;
  std::string first_received_utc;
  std::string last_received_utc;
  std::vector<std::string> app_versions;  // distinct, in text order; empty ones left out
  size_t devices = 0;                     // distinct device ids; reports without one left out
  std::vector<std::string> dump_ids;      // newest first, at most kGroupDumpIdsShown
};

// Orders reports newest first: by receive time, then by dump_id.
struct NewestFirst {
  bool operator()(const StoredReport* a, const StoredReport* b) const;
};
using ReportsNewestFirst = std::set<const StoredReport*, NewestFirst>;

// The groups of the reports added. It keeps pointers: a report stays where it is and
// unchanged from Add to Remove. Not thread-safe; its owner guards it.
class CrashGroups {
 public:
  CrashGroups() = default;
  // The ranking points into the groups; a copy would point into the original.
  CrashGroups(const CrashGroups&) = delete;
  CrashGroups& operator=(const CrashGroups&) = delete;

  // Counts `report` in the group of its signature; a report without one is left out.
  void Add(const StoredReport* report);
  // Takes back an Add of the same report.
  void Remove(const StoredReport* report);
  void Clear() {
    ranking_.clear();
    groups_.clear();
  }

  size_t size() const { return ranking_.size(); }

  // Up to `count` groups from position `first` on, most frequent first (then the most
  // recently seen, then by signature).
  std::vector<CrashGroup> Slice(size_t first, size_t count) const;

  // The reports of the crash `signature`, newest first; null when no report names it.
  const ReportsNewestFirst* ReportsOf(const std::string& signature) const;

 private:
  struct Group {
    ReportsNewestFirst reports;
    std::map<std::string, size_t> app_versions;  // version: its reports in the group
    std::map<std::string, size_t> devices;       // device id: its reports in the group
  };
  using Entry = std::pair<const std::string, Group>;
  struct MostFrequentFirst {
    bool operator()(const Entry* a, const Entry* b) const;
  };

  std::map<std::string, Group> groups_;
  // Every group, in the order Slice gives; a group is taken out while it changes.
  std::set<const Entry*, MostFrequentFirst> ranking_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_CRASH_GROUPS_H_
