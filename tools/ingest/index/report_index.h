#ifndef FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_
#define FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "crash_groups.h"
#include "stored_reports.h"

// What the inbox lists, kept in memory so that a request reads no report.json: the summary
// of every stored report, in order, and their crash groups.
namespace fennick_ingest {

struct ReportSlice {
  std::vector<StoredReport> reports;
  size_t total = 0;  // reports in the whole list
};

struct GroupSlice {
  std::vector<CrashGroup> groups;
  size_t total = 0;  // groups in the whole list
};

// Thread-safe: any number of readers, one change at a time.
class ReportIndex {
 public:
  // Replaces everything the index holds with `reports` (one per dump_id).
  void Load(std::vector<StoredReport> reports);

  // Held around a change to the store and the Put that records it, so that the index
  // learns of changes in the order they reached the store (two uploads of one dump_id
  // leave the later one listed).
  [[nodiscard]] std::unique_lock<std::mutex> HoldCommitOrder() {
    return std::unique_lock<std::mutex>(commit_order_);
  }

  // Adds `report`, or replaces the report of its dump_id.
  void Put(StoredReport report);

  // Up to `count` reports from position `first` on, newest first; only those whose crash
  // has `signature` when it is not empty.
  ReportSlice Reports(size_t first, size_t count, const std::string& signature = {}) const;

  // The dump_ids of the reports whose analysis lacked any of the symbol files `ids`.
  std::vector<std::string> ReportsLacking(const std::set<std::string>& ids) const;

  // Up to `count` crash groups from position `first` on, most frequent first.
  GroupSlice Groups(size_t first, size_t count) const;

 private:
  void Insert(const StoredReport* report);

  mutable std::shared_mutex mutex_;
  std::mutex commit_order_;
  // Each report has its own allocation, so the pointers below stay valid.
  std::unordered_map<std::string, std::unique_ptr<StoredReport>> reports_;
  ReportsNewestFirst newest_first_;
  CrashGroups groups_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_
