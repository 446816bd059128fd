#ifndef FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_
#define FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "crash_groups.h"
#include "report_filter.h"
#include "stored_reports.h"

// What the inbox lists, kept in an embedded database beside the report folders, so that no
// request reads a report.json and a start reads only what changed. The folders stay the
// truth: the index is brought up to date from them at start, and rebuilt when missing or
// made by another version. The states of the groups live only here, written durably.
namespace fennick_ingest {

class SqliteDb;

// The index's file in the store. '~' never occurs in a report folder's name.
inline constexpr char kIndexFileName[] = "~index.sqlite";

struct ReportSlice {
  std::vector<StoredReport> reports;
  size_t total = 0;  // reports in the whole list
};

struct GroupSlice {
  std::vector<CrashGroup> groups;
  size_t total = 0;        // groups in the whole list
  size_t undecodable = 0;  // reports of the list whose dump names no crash
};

// Thread-safe; one statement runs at a time.
class ReportIndex {
 public:
  // Opens (or creates) the index of the store `store`; check ok() before use.
  explicit ReportIndex(const std::filesystem::path& store);
  ~ReportIndex();
  ReportIndex(const ReportIndex&) = delete;
  ReportIndex& operator=(const ReportIndex&) = delete;

  // False when the database could not be opened or made; error() says why.
  bool ok() const;
  std::string error() const;

  // Brings the index up to date with the store's folders: reads the report.json of every
  // folder that is new or changed since it was indexed, forgets folders that are gone, and
  // starts over (group states kept) when the index was made by another version. Returns how
  // many reports it read, or nullopt on a database error.
  std::optional<size_t> Synchronize();

  // Held around a change to the store and the Put that records it, so that the index
  // learns of changes in the order they reached the store (two uploads of one dump_id
  // leave the later one listed).
  [[nodiscard]] std::unique_lock<std::mutex> HoldCommitOrder() {
    return std::unique_lock<std::mutex>(commit_order_);
  }

  // Adds `report`, or replaces the report of its dump_id, as its folder now stands. A new
  // crash of a resolved group makes it regressed (see GroupState). False on a database
  // error, which is logged; the next start then reads the folder again.
  bool Put(const StoredReport& report);

  // The answers below are nullopt when the database failed (logged), so that a failure
  // never passes for an empty list.

  // Up to `count` reports of `filter` from position `first` on, newest (received) first.
  std::optional<ReportSlice> Reports(const ReportFilter& filter, size_t first,
                                     size_t count) const;

  // Up to `count` groups of the reports of `filter` from position `first` on, in `sort`
  // order; `now_ms` places the days of the sparklines and the markers.
  std::optional<GroupSlice> Groups(const ListQuery& query, size_t first, size_t count,
                                   int64_t now_ms) const;

  // The group `signature` of the reports of `filter`, itself nullopt when no such report is.
  std::optional<std::optional<GroupDetail>> Group(const std::string& signature,
                                                  const ReportFilter& filter,
                                                  int64_t now_ms) const;

  // Records a developer's decision about the group `signature`, durably; `fixed_version`
  // only for kResolved (may be empty). False on a database error.
  bool SetState(const std::string& signature, GroupState state, const std::string& fixed_version,
                int64_t now_ms);

  // On a database failure (logged) the three lists below are short or empty: their
  // reports are analysed again at a later start.

  // The dump_ids of the reports that hold no analysis by the current reader.
  std::vector<std::string> ReportsUnanalysed() const;
  // Every symbol file some report's analysis lacked, as fennick_analysis::SymbolFileId
  // names them.
  std::set<std::string> MissingSymbols() const;
  // The dump_ids of the reports whose analysis lacked any of the symbol files `ids`.
  std::vector<std::string> ReportsLacking(const std::set<std::string>& ids) const;

 private:
  // Finds the reports of the free text `q` for the queries that follow, unless the last
  // search was of the same text with no change since; false on a database error.
  bool PrepareTextSearch(const std::string& q) const;
  // `answer`, or nullopt after logging `what` failed when a statement failed meanwhile.
  template <typename Answer>
  std::optional<Answer> Checked(Answer answer, const char* what) const;

  std::filesystem::path store_;
  std::unique_ptr<SqliteDb> db_;
  // The reports change with each generation; the last text searched and when.
  uint64_t generation_ = 0;
  mutable std::optional<std::pair<std::string, uint64_t>> text_searched_;
  mutable std::mutex mutex_;
  std::mutex commit_order_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_
