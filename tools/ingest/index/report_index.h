#ifndef FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_
#define FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "crash_groups.h"
#include "decision_journal.h"
#include "report_filter.h"
#include "stored_reports.h"

// What the inbox lists, kept in an embedded database beside the report folders, so that no
// request reads a report.json and a start reads only what changed. The index is a cache:
// the folders stay the truth for the reports, and the decision journal for the groups'
// states. It is brought up to date from them at start, made anew when missing, damaged or
// made by another version, and read again from them whenever a write to it fails.
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
//
// The index is checked when it is opened (SQLite's own check of every page) and whenever a
// statement finds it damaged. A damaged index is closed, its files are kept under names
// that tell when (kIndexFileName + ".damaged-<UTC time>", its journals beside it), and a new
// one is made: the decisions are replayed into it at once, and the reports are read from
// the folders a batch at a time, on a thread of the index's own, while it answers with what
// it holds so far. A write that fails for any other reason has the folders read again the
// same way, so that every report the store holds is listed once the index can write again.
class ReportIndex {
 public:
  // Opens (or creates) the index of the store `store`; check ok() before use.
  explicit ReportIndex(const std::filesystem::path& store);
  // Ends the reading of the folders after its batch.
  ~ReportIndex();
  ReportIndex(const ReportIndex&) = delete;
  ReportIndex& operator=(const ReportIndex&) = delete;

  // False when the database could not be opened or made; error() says why.
  bool ok() const;
  std::string error() const;

  // Brings the index up to date with the store: replays the decision journal, reads the
  // report.json of every folder that is new or changed since it was indexed and forgets
  // folders that are gone, in batches that uploads may come between; starts over when the
  // index is made anew under it. Returns how many reports it read, or nullopt on a database
  // error.
  std::optional<size_t> Synchronize();

  // Held around a change to the store and the Put that records it, so that the index
  // learns of changes in the order they reached the store (two uploads of one dump_id
  // leave the later one listed).
  [[nodiscard]] std::unique_lock<std::mutex> HoldCommitOrder() {
    return std::unique_lock<std::mutex>(commit_order_);
  }

  // Adds `report`, or replaces the report of its dump_id, as its folder now stands. A new
  // crash of a resolved group makes it regressed (see GroupState). False on a database
  // error, which is logged and has the folders read again.
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

  // Records a developer's decision: in the decision journal, flushed, then in the index.
  // False when the journal could not keep it; the index, should it fail, takes it from the
  // journal once it is made anew or brought up to date.
  bool SetState(const Decision& decision);

  // On a database failure (logged) the three lists below are short or empty: their
  // reports are analysed again at a later start.

  // The dump_ids of the reports that hold no analysis by the current reader.
  std::vector<std::string> ReportsUnanalysed() const;
  // Every symbol file some report's analysis lacked, as fennick_analysis::SymbolFileId
  // names them.
  std::set<std::string> MissingSymbols() const;
  // The dump_ids of the reports whose analysis lacked any of the symbol files `ids`.
  std::vector<std::string> ReportsLacking(const std::set<std::string>& ids) const;
  // The dump_ids of the reports whose crash can be signed again from its stored frames and
  // was signed by signature rules of another version than `version`.
  std::vector<std::string> ReportsSignedOtherwise(const std::string& version) const;

 private:
  // Finds the reports of the free text `q` for the queries that follow, unless the last
  // search was of the same text with no change since; false on a database error.
  bool PrepareTextSearch(const std::string& q) const;
  // What `ask` answers, or nullopt after logging that `what` failed; asked again, up to
  // `attempts` in all, when the failure was damage and the index was made anew. `mutex_` is
  // held.
  template <typename Answer, typename Ask>
  std::optional<Answer> Asked(const std::string& what, Ask ask, int attempts = 2) const;
  // After a statement failed: when it found damage and SQLite's check confirms it, makes
  // the index anew and has the folders read again; true then. `mutex_` is held.
  bool MadeAnewAfterDamage() const;
  // Opens the database, made anew when it is damaged or no database; null (open_error_
  // saying why) when it cannot be opened or made.
  std::unique_ptr<SqliteDb> OpenDatabase() const;
  // Closes the damaged database (`damage` says how), keeps its files under new names and
  // makes a new one with the decisions in it; null when that cannot be done.
  std::unique_ptr<SqliteDb> MakeAnew(std::unique_ptr<SqliteDb> damaged,
                                     const std::string& damage) const;
  // Replays the decision journal into `db`, and writes to the journal the decisions `db`
  // holds that it lacks; false on a failure.
  bool ApplyDecisions(SqliteDb& db) const;
  // One reading of the store into the index (see Synchronize); `made_anew` tells when it
  // ended because the index was made anew under it.
  std::optional<size_t> SynchronizeOnce(bool& made_anew);
  // Reads `folders` into the index in one transaction, each unless `indexed` holds its
  // stamp; takes each from `indexed` and counts the reports read. `commit_order_` and
  // `mutex_` are held.
  bool SynchronizeBatch(std::span<const std::string> folders,
                        std::unordered_map<std::string, std::string>& indexed, size_t& read_count);
  // Has the index's own thread bring it up to date with the store.
  void RequestSynchronization() const;
  void RunSynchronizations();

  std::filesystem::path store_;
  // Made anew by whichever call finds it damaged, a query too. `database_` counts the
  // databases made, so that a reading of the folders learns that its database is gone.
  mutable std::unique_ptr<SqliteDb> db_;
  mutable uint64_t database_ = 0;
  mutable std::string open_error_;
  // The reports change with each generation; the last text searched and when.
  mutable uint64_t generation_ = 0;
  mutable std::optional<std::pair<std::string, uint64_t>> text_searched_;
  mutable std::mutex mutex_;
  std::mutex commit_order_;
  // One reading of the store at a time; taken before `commit_order_`.
  std::mutex synchronizing_;
  // The index's own thread, which brings it up to date when asked.
  mutable std::mutex requests_mutex_;
  mutable std::condition_variable requested_;
  mutable bool synchronization_requested_ = false;
  std::atomic<bool> stopping_ = false;
  std::thread synchronizer_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_REPORT_INDEX_H_
