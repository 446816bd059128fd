#include "report_index.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <span>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "crash_analysis.h"
#include "group_queries.h"
#include "minidump_analysis.h"
#include "report_sql.h"
#include "server_log.h"
#include "sqlite_db.h"
#include "store_files.h"
#include "store_layout.h"

namespace fennick_ingest {

namespace fs = std::filesystem;

// The layout of the tables below; an index of another layout, or made with another
// analysis version, is rebuilt (the states kept).
constexpr int kIndexLayout = 5;

// Reports read at start from which the database's statistics are gathered anew.
constexpr size_t kReportsBeforeAnalysis = 1000;

// Report folders read in one transaction while the index is brought up to date: uploads
// and lists wait for one batch at most.
constexpr size_t kSynchronizeBatch = 256;
// Times a reading of the folders starts over when the index is made anew under it.
constexpr int kSynchronizeAttempts = 3;

// What the unfiltered lists count per group (reports per crash day, per device, per
// version, per operating system), kept by the database itself as reports come and go, so
// that a list of every group reads no report.
constexpr char kGroupSummaries[] = R"(
CREATE TABLE IF NOT EXISTS group_days (signature TEXT NOT NULL, day INTEGER NOT NULL,
  reports INTEGER NOT NULL, PRIMARY KEY (signature, day)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS group_devices (signature TEXT NOT NULL, device_id TEXT NOT NULL,
  reports INTEGER NOT NULL, PRIMARY KEY (signature, device_id)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS group_versions (signature TEXT NOT NULL, version_key TEXT NOT NULL,
  app_version TEXT NOT NULL, reports INTEGER NOT NULL,
  PRIMARY KEY (signature, version_key, app_version)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS group_systems (signature TEXT NOT NULL, os_version TEXT NOT NULL,
  reports INTEGER NOT NULL, PRIMARY KEY (signature, os_version)) WITHOUT ROWID;
CREATE TRIGGER IF NOT EXISTS reports_counted AFTER INSERT ON reports
WHEN new.signature != '' BEGIN
  INSERT INTO group_days VALUES (new.signature, new.crash_ms / 86400000, 1)
    ON CONFLICT (signature, day) DO UPDATE SET reports = reports + 1;
  INSERT INTO group_devices SELECT new.signature, new.device_id, 1 WHERE new.device_id != ''
    ON CONFLICT (signature, device_id) DO UPDATE SET reports = reports + 1;
  INSERT INTO group_versions SELECT new.signature, new.version_key, new.app_version, 1
    WHERE new.app_version != ''
    ON CONFLICT (signature, version_key, app_version) DO UPDATE SET reports = reports + 1;
  INSERT INTO group_systems SELECT new.signature, new.os_version, 1 WHERE new.os_version != ''
    ON CONFLICT (signature, os_version) DO UPDATE SET reports = reports + 1;
END;
CREATE TRIGGER IF NOT EXISTS reports_uncounted AFTER DELETE ON reports
WHEN old.signature != '' BEGIN
  UPDATE group_days SET reports = reports - 1
    WHERE signature = old.signature AND day = old.crash_ms / 86400000;
  DELETE FROM group_days WHERE signature = old.signature AND reports = 0;
  UPDATE group_devices SET reports = reports - 1
    WHERE signature = old.signature AND device_id = old.device_id;
  DELETE FROM group_devices WHERE signature = old.signature AND reports = 0;
  UPDATE group_versions SET reports = reports - 1 WHERE signature = old.signature
    AND version_key = old.version_key AND app_version = old.app_version;
  DELETE FROM group_versions WHERE signature = old.signature AND reports = 0;
  UPDATE group_systems SET reports = reports - 1
    WHERE signature = old.signature AND os_version = old.os_version;
  DELETE FROM group_systems WHERE signature = old.signature AND reports = 0;
END;
)";

// The crash summaries stand in a table of their own, so that scanning reports stays quick.
constexpr char kSchema[] = R"(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS states (signature TEXT PRIMARY KEY, state TEXT NOT NULL,
  fixed_version TEXT NOT NULL, fixed_key TEXT NOT NULL, changed_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS reports (folder TEXT PRIMARY KEY, stamp TEXT NOT NULL,
  dump_id BLOB NOT NULL, received_utc TEXT NOT NULL, received_ms INTEGER NOT NULL,
  crash_ms INTEGER NOT NULL, app_version TEXT NOT NULL, version_key TEXT NOT NULL,
  os_version TEXT NOT NULL, computer_name TEXT NOT NULL, device_id TEXT NOT NULL,
  process_name TEXT NOT NULL, dump_file TEXT NOT NULL, dump_bytes INTEGER NOT NULL,
  analysed INTEGER NOT NULL, signature TEXT NOT NULL, top_function TEXT NOT NULL,
  analysis_error TEXT NOT NULL, search TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS reports_newest ON reports (received_ms DESC, dump_id);
CREATE INDEX IF NOT EXISTS reports_by_received ON reports (signature, received_ms DESC);
CREATE INDEX IF NOT EXISTS reports_by_crash ON reports (signature, crash_ms);
CREATE INDEX IF NOT EXISTS reports_groups ON reports (signature, device_id, crash_ms,
  received_ms, version_key, app_version, os_version);
CREATE INDEX IF NOT EXISTS reports_by_version ON reports (app_version, signature, device_id,
  crash_ms, received_ms, version_key, os_version);
CREATE INDEX IF NOT EXISTS reports_by_os ON reports (os_version, signature, device_id,
  crash_ms, received_ms, version_key, app_version);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (crash_ms, signature, device_id,
  received_ms, version_key, app_version, os_version);
CREATE INDEX IF NOT EXISTS reports_by_computer ON reports (computer_name);
CREATE INDEX IF NOT EXISTS reports_by_device ON reports (device_id);
CREATE TABLE IF NOT EXISTS crashes (folder TEXT PRIMARY KEY, crash_json TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS missing_symbols (symbol_id TEXT NOT NULL, folder TEXT NOT NULL,
  PRIMARY KEY (symbol_id, folder));
CREATE INDEX IF NOT EXISTS missing_symbols_of ON missing_symbols (folder);
CREATE VIRTUAL TABLE IF NOT EXISTS report_text USING fts5 (search, content = 'reports',
  content_rowid = 'rowid', tokenize = 'trigram');
CREATE TRIGGER IF NOT EXISTS report_text_added AFTER INSERT ON reports BEGIN
  INSERT INTO report_text (rowid, search) VALUES (new.rowid, new.search);
END;
CREATE TRIGGER IF NOT EXISTS report_text_removed AFTER DELETE ON reports BEGIN
  INSERT INTO report_text (report_text, rowid, search) VALUES ('delete', old.rowid, old.search);
END;
)";

constexpr char kDropReports[] =
    "DROP TABLE IF EXISTS reports; DROP TABLE IF EXISTS crashes; "
    "DROP TABLE IF EXISTS missing_symbols; DROP TABLE IF EXISTS group_days; "
    "DROP TABLE IF EXISTS group_devices; DROP TABLE IF EXISTS group_versions; "
    "DROP TABLE IF EXISTS group_systems; DROP TABLE IF EXISTS report_text;";

namespace {

std::string LayoutStamp() {
  return std::to_string(kIndexLayout) + "/" + std::to_string(fennick_minidump::kAnalysisVersion);
}

// What tells a report.json from the one indexed: a rewrite or a replaced folder gives
// another inode, size or time. Empty when there is none.
std::string FolderStamp(const fs::path& store, const std::string& folder) {
  struct stat facts {};
  const fs::path record = store / folder / kReportFileName;
  if (lstat(record.c_str(), &facts) != 0 || !S_ISREG(facts.st_mode)) return {};
  return std::to_string(facts.st_ino) + ":" + std::to_string(facts.st_size) + ":" +
         std::to_string(facts.st_mtim.tv_sec) + "." + std::to_string(facts.st_mtim.tv_nsec);
}

bool Configure(SqliteDb& db) {
  // WAL with full syncs: a decision about a group is on the disk once recorded.
  return db.Execute("PRAGMA journal_mode = WAL") && db.Execute("PRAGMA synchronous = FULL") &&
         db.Execute("PRAGMA cache_size = -65536") && db.Execute("PRAGMA mmap_size = 268435456") &&
         db.Execute("PRAGMA busy_timeout = 5000") && db.Execute(kSchema) &&
         db.Execute(kGroupSummaries) &&
         db.Execute("CREATE TEMP TABLE text_matches (rowid INTEGER PRIMARY KEY)");
}

// Starts the reports over when they were indexed by another layout or analysis version.
bool CheckLayout(SqliteDb& db) {
  {
    // Done reading before the tables it reads from are dropped.
    Statement read(db, "SELECT value FROM meta WHERE key = 'layout'");
    if (read.NextRow() && read.Text(0) == LayoutStamp()) return true;
  }
  Transaction transaction(db);
  return transaction.ok() && db.Execute(kDropReports) && db.Execute(kSchema) &&
         db.Execute(kGroupSummaries) &&
         Statement(db, "INSERT OR REPLACE INTO meta VALUES ('layout', ?)")
             .Bind(1, LayoutStamp())
             .Run() &&
         transaction.Commit();
}

// The statements that write one report's rows, prepared once for a whole rebuild.
class ReportWriter {
 public:
  explicit ReportWriter(const SqliteDb& db)
      : remove_report_(db, "DELETE FROM reports WHERE folder = ?"),
        remove_crash_(db, "DELETE FROM crashes WHERE folder = ?"),
        remove_missing_(db, "DELETE FROM missing_symbols WHERE folder = ?"),
        insert_report_(db,
                       "INSERT INTO reports VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                       "?, ?, ?, ?)"),
        insert_crash_(db, "INSERT INTO crashes VALUES (?, ?)"),
        insert_missing_(db, "INSERT OR IGNORE INTO missing_symbols VALUES (?, ?)") {}

  bool Remove(const std::string& folder) {
    for (Statement* remove : {&remove_report_, &remove_crash_, &remove_missing_}) {
      remove->Reset();
      if (!remove->Bind(1, folder).Run()) return false;
    }
    return true;
  }

  bool Insert(const StoredReport& report, const std::string& folder, const std::string& stamp) {
    return Remove(folder) && InsertReport(report, folder, stamp) &&
           (report.crash_json.empty() || Run(insert_crash_, folder, report.crash_json)) &&
           InsertMissing(report, folder);
  }

 private:
  static bool Run(Statement& statement, const std::string& first, const std::string& second) {
    statement.Reset();
    return statement.Bind(1, first).Bind(2, second).Run();
  }

  bool InsertReport(const StoredReport& report, const std::string& folder,
                    const std::string& stamp) {
    Statement& insert = insert_report_;
    insert.Reset();
    insert.Bind(1, folder).Bind(2, stamp).Bind(3, report.dump_id, true);
    insert.Bind(4, report.received_utc).Bind(5, report.received_ms).Bind(6, report.crash_ms);
    insert.Bind(7, report.app_version).Bind(8, VersionSortKey(report.app_version));
    insert.Bind(9, report.os_version).Bind(10, report.computer_name).Bind(11, report.device_id);
    insert.Bind(12, report.process_name).Bind(13, report.dump_file);
    insert.Bind(14, static_cast<int64_t>(report.dump_bytes)).Bind(15, int64_t{report.analysed});
    insert.Bind(16, report.signature).Bind(17, report.top_function);
    insert.Bind(18, report.analysis_error).Bind(19, SearchText(report));
    return insert.Run();
  }

  bool InsertMissing(const StoredReport& report, const std::string& folder) {
    for (const std::string& id : report.missing_symbols) {
      if (!Run(insert_missing_, id, folder)) return false;
    }
    return true;
  }

  Statement remove_report_, remove_crash_, remove_missing_;
  Statement insert_report_, insert_crash_, insert_missing_;
};

// A resolved group that crashed again, received after the decision and from its fix
// version on (from any version when none was given), is regressed; `signature` limits the
// check to one group.
bool MarkRegressions(SqliteDb& db, const std::string* signature) {
  std::string sql =
      "UPDATE states SET state = 'regressed' WHERE state = 'resolved' AND EXISTS (SELECT 1 "
      "FROM reports r WHERE r.signature = states.signature AND r.received_ms > "
      "states.changed_ms AND (states.fixed_key = '' OR r.version_key >= states.fixed_key))";
  if (signature) sql += " AND signature = ?";
  Statement update(db, sql);
  if (signature) update.Bind(1, *signature);
  return update.Run();
}

// Records `decision` in the states; regressions are found afterwards.
bool WriteState(SqliteDb& db, const Decision& decision) {
  const std::string fixed =
      decision.state == GroupState::kResolved ? decision.fixed_version : std::string();
  return Statement(db, "INSERT OR REPLACE INTO states VALUES (?, ?, ?, ?, ?)")
      .Bind(1, decision.signature)
      .Bind(2, GroupStateName(decision.state))
      .Bind(3, fixed)
      .Bind(4, fixed.empty() ? std::string() : VersionSortKey(fixed))
      .Bind(5, decision.changed_ms)
      .Run();
}

// The states the index holds that the journal does not: decisions made before there was a
// journal. A regressed group was resolved.
std::vector<Decision> StatesBeyond(const SqliteDb& db,
                                   const std::map<std::string, Decision>& journal) {
  std::vector<Decision> beyond;
  Statement read(db, "SELECT signature, state, fixed_version, changed_ms FROM states");
  while (read.NextRow()) {
    if (journal.contains(read.Text(0))) continue;
    const GroupState state = ParseGroupState(read.View(1)).value_or(GroupState::kOpen);
    beyond.push_back({read.Text(0), state == GroupState::kRegressed ? GroupState::kResolved : state,
                      read.Text(2), std::string(), read.Integer(3)});
  }
  return beyond;
}

// The time now as a part of a file name: 20261208T101530.123Z.
std::string FileNameTime() {
  const int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
  std::string text = UtcText(now_ms);
  std::erase_if(text, [](char c) { return c == '-' || c == ':'; });
  return text;
}

// Gives the files of the index at `path` names that tell when they were found damaged, the
// database's and its journals' alike; the database's new name, or nullopt when it cannot be
// moved or a journal of it would be left for a new database to take.
std::optional<fs::path> KeepDamagedFiles(const fs::path& path) {
  const std::string base = path.string() + ".damaged-" + FileNameTime();
  fs::path kept = base;
  std::error_code error;
  for (int n = 2; fs::exists(fs::symlink_status(kept, error)); ++n) {
    kept = base + "-" + std::to_string(n);
  }
  fs::rename(path, kept, error);
  if (error) return std::nullopt;
  for (const char* suffix : {"-wal", "-shm"}) {
    const fs::path journal = path.string() + suffix;
    if (!fs::exists(fs::symlink_status(journal, error))) continue;
    fs::rename(journal, kept.string() + suffix, error);
    if (error && !fs::remove(journal, error)) return std::nullopt;
  }
  SyncFolder(path.parent_path());
  return kept;
}

// The store's report folders, by name; nullopt when the store cannot be listed.
std::optional<std::vector<std::string>> ReportFolders(const fs::path& store) {
  std::vector<std::string> folders;
  std::error_code error;
  for (fs::directory_iterator it(store, error), end; !error && it != end; it.increment(error)) {
    std::string folder = it->path().filename().string();
    if (DumpIdOfFolder(folder)) folders.push_back(std::move(folder));
  }
  if (error) return std::nullopt;
  return folders;
}

template <typename Value>
std::vector<Value> Column(const SqliteDb& db, const char* sql, Value (*read)(const Statement&)) {
  std::vector<Value> values;
  Statement statement(db, sql);
  while (statement.NextRow()) values.push_back(read(statement));
  return values;
}

std::string FirstText(const Statement& row) { return row.Text(0); }

}  // namespace

ReportIndex::ReportIndex(const fs::path& store) : store_(store) {
  db_ = OpenDatabase();
  // The thread takes no signal: the process's are for the threads that wait for them.
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  synchronizer_ = std::thread([this] { RunSynchronizations(); });
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

ReportIndex::~ReportIndex() {
  {
    const std::lock_guard lock(requests_mutex_);
    stopping_ = true;
  }
  requested_.notify_all();
  synchronizer_.join();
}

bool ReportIndex::ok() const { return db_ && db_->ok(); }

std::string ReportIndex::error() const {
  const std::lock_guard lock(mutex_);
  return db_ ? db_->error() : open_error_;
}

std::unique_ptr<SqliteDb> ReportIndex::OpenDatabase() const {
  const fs::path path = store_ / kIndexFileName;
  // Private from the start, as everything in the store; SQLite gives its journal the same
  // mode.
  CreatePrivateFile(path);
  auto db = std::make_unique<SqliteDb>(path);
  if (!db->ok()) {
    open_error_ = db->error();
    return nullptr;
  }
  std::optional<std::string> damage = db->Damage();
  if (!damage && Configure(*db) && CheckLayout(*db)) return db;
  if (!damage && db->FoundDamage()) damage = db->error();
  if (!damage) {
    open_error_ = db->error();
    return nullptr;
  }
  return MakeAnew(std::move(db), *damage);
}

std::unique_ptr<SqliteDb> ReportIndex::MakeAnew(std::unique_ptr<SqliteDb> damaged,
                                                const std::string& damage) const {
  const fs::path path = store_ / kIndexFileName;
  damaged->KeepFilesOnClose();
  damaged.reset();
  const std::optional<fs::path> kept = KeepDamagedFiles(path);
  if (!kept) {
    open_error_ = "the index is damaged (" + damage + ") and cannot be moved aside";
    LogLine(open_error_);
    return nullptr;
  }
  LogLine("the index " + path.string() + " is damaged (" + damage + "); it is kept as " +
          kept->filename().string() + " and made anew from the decisions and the report folders");
  CreatePrivateFile(path);
  auto db = std::make_unique<SqliteDb>(path);
  if (!db->ok() || !Configure(*db) || !CheckLayout(*db) || !ApplyDecisions(*db)) {
    open_error_ = db->error();
    LogLine("cannot make the index anew: " + open_error_);
    return nullptr;
  }
  ++database_;
  ++generation_;
  return db;
}

bool ReportIndex::ApplyDecisions(SqliteDb& db) const {
  const std::optional<std::map<std::string, Decision>> journal = ReadDecisions(store_);
  if (!journal) {
    LogLine("cannot read the decisions in " + (store_ / kDecisionJournalFileName).string());
    return false;
  }
  // Decisions made before there was a journal go into it, so that they outlive the index
  // too; the index keeps them as they are.
  for (const Decision& decision : StatesBeyond(db, *journal)) {
    if (!AppendDecision(store_, decision)) return false;
  }
  Transaction transaction(db);
  if (!transaction.ok()) return false;
  for (const auto& [signature, decision] : *journal) {
    if (!WriteState(db, decision)) return false;
  }
  return MarkRegressions(db, nullptr) && transaction.Commit();
}

template <typename Answer, typename Ask>
std::optional<Answer> ReportIndex::Asked(const std::string& what, Ask ask, int attempts) const {
  for (int attempt = 0; attempt < attempts && ok(); ++attempt) {
    db_->ClearFailure();
    Answer answer = ask();
    if (!db_->failed()) return answer;
    LogLine("the index could not " + what + ": " + db_->error());
    if (!MadeAnewAfterDamage()) break;
  }
  return std::nullopt;
}

bool ReportIndex::MadeAnewAfterDamage() const {
  if (!db_->FoundDamage()) return false;
  const std::optional<std::string> damage = db_->Damage();
  if (!damage) {
    LogLine("the index's own check finds no damage; it is kept");
    return false;
  }
  db_ = MakeAnew(std::move(db_), *damage);
  if (!db_) return false;
  RequestSynchronization();
  return true;
}

void ReportIndex::RequestSynchronization() const {
  {
    const std::lock_guard lock(requests_mutex_);
    synchronization_requested_ = true;
  }
  requested_.notify_one();
}

void ReportIndex::RunSynchronizations() {
  std::unique_lock lock(requests_mutex_);
  for (;;) {
    requested_.wait(lock, [this] { return stopping_ || synchronization_requested_; });
    if (stopping_) return;
    synchronization_requested_ = false;
    lock.unlock();
    const std::optional<size_t> read = Synchronize();
    if (read) {
      LogLine("the index is up to date with the store again, " + std::to_string(*read) +
              " reports read from their folders");
    } else if (!stopping_) {
      LogLine("the index could not be brought up to date with the store: " + error());
    }
    lock.lock();
  }
}

std::optional<size_t> ReportIndex::Synchronize() {
  const std::lock_guard one_at_a_time(synchronizing_);
  // A database made anew meanwhile is read from the start again.
  for (int attempt = 0; attempt < kSynchronizeAttempts; ++attempt) {
    bool made_anew = false;
    const std::optional<size_t> read = SynchronizeOnce(made_anew);
    if (read || !made_anew) return read;
  }
  return std::nullopt;
}

std::optional<size_t> ReportIndex::SynchronizeOnce(bool& made_anew) {
  uint64_t database = 0;
  std::unordered_map<std::string, std::string> indexed;
  // Whether the reading must end: the index is going, or was made anew since it began.
  const auto ended = [&] {
    made_anew = ok() && database_ != database;
    return stopping_ || !ok() || made_anew;
  };
  // Each step is asked once: a database made anew starts the whole reading over.
  {
    const std::lock_guard lock(mutex_);
    if (!ok()) return std::nullopt;
    database = database_;
    const auto read_stamps = [&] {
      Statement stamps(*db_, "SELECT folder, stamp FROM reports");
      while (stamps.NextRow()) indexed.emplace(stamps.Text(0), stamps.Text(1));
      return ApplyDecisions(*db_);
    };
    const std::optional<bool> read =
        Asked<bool>("read the decisions and the reports", read_stamps, 1);
    if (ended() || !read || !*read) return std::nullopt;
  }
  const std::optional<std::vector<std::string>> folders = ReportFolders(store_);
  if (!folders) return std::nullopt;
  size_t read_count = 0;
  for (size_t first = 0; first < folders->size(); first += kSynchronizeBatch) {
    const auto in_order = HoldCommitOrder();
    const std::lock_guard lock(mutex_);
    if (ended()) return std::nullopt;
    const size_t last = std::min(folders->size(), first + kSynchronizeBatch);
    const auto read_batch = [&] {
      return SynchronizeBatch(std::span(*folders).subspan(first, last - first), indexed,
                              read_count);
    };
    const std::optional<bool> batch = Asked<bool>("read the report folders", read_batch, 1);
    if (ended() || !batch || !*batch) return std::nullopt;
  }
  const auto in_order = HoldCommitOrder();
  const std::lock_guard lock(mutex_);
  if (ended()) return std::nullopt;
  const auto forget_gone = [&] {
    ++generation_;
    Transaction transaction(*db_);
    ReportWriter writer(*db_);
    // What is left was indexed but is not in the store, unless it came back meanwhile.
    for (const auto& [folder, stamp] : indexed) {
      std::error_code error;
      if (!fs::exists(fs::symlink_status(store_ / folder, error)) && !writer.Remove(folder)) {
        return false;
      }
    }
    // After many changes the query planner learns the new spread of values: without it, a
    // filter on a common version looks as selective as one on a device. The journal of a
    // rebuild is as large as the index; it is folded in and let go.
    return transaction.ok() && MarkRegressions(*db_, nullptr) && transaction.Commit() &&
           (read_count < kReportsBeforeAnalysis ||
            (db_->Execute("ANALYZE") && db_->Execute("PRAGMA wal_checkpoint(TRUNCATE)")));
  };
  const std::optional<bool> done = Asked<bool>("forget the reports gone", forget_gone, 1);
  if (ended() || !done || !*done) return std::nullopt;
  return read_count;
}

bool ReportIndex::SynchronizeBatch(std::span<const std::string> folders,
                                   std::unordered_map<std::string, std::string>& indexed,
                                   size_t& read_count) {
  ++generation_;
  Transaction transaction(*db_);
  if (!transaction.ok()) return false;
  ReportWriter writer(*db_);
  for (const std::string& folder : folders) {
    // The stamp before the record: a change between the two is read again at the next
    // reading.
    const std::string stamp = FolderStamp(store_, folder);
    const auto known = indexed.find(folder);
    const bool current = known != indexed.end() && !stamp.empty() && known->second == stamp;
    if (known != indexed.end()) indexed.erase(known);
    if (current) continue;
    const std::optional<std::string> text = ReadReportRecord(store_, folder);
    std::optional<StoredReport> report =
        text ? ParseReportRecord(*text, *DumpIdOfFolder(folder)) : std::nullopt;
    if (!(report ? writer.Insert(*report, folder, stamp) : writer.Remove(folder))) return false;
    if (report) ++read_count;
  }
  return transaction.Commit();
}

bool ReportIndex::Put(const StoredReport& report) {
  const std::string folder = ReportFolderName(report.dump_id);
  const std::string stamp = FolderStamp(store_, folder);
  const std::lock_guard lock(mutex_);
  const std::optional<bool> put = Asked<bool>("record the report " + folder, [&] {
    ++generation_;
    Transaction transaction(*db_);
    return transaction.ok() && ReportWriter(*db_).Insert(report, folder, stamp) &&
           (report.signature.empty() || MarkRegressions(*db_, &report.signature)) &&
           transaction.Commit();
  });
  // The folder is read again with the others, once the index can write again.
  if (!put || !*put) RequestSynchronization();
  return put && *put;
}

bool ReportIndex::PrepareTextSearch(const std::string& q) const {
  if (!ok()) return false;
  if (q.size() < kShortestIndexedText || text_searched_ == std::pair(q, generation_)) return true;
  text_searched_.reset();
  if (!MatchText(*db_, q)) return false;
  text_searched_.emplace(q, generation_);
  return true;
}

std::optional<ReportSlice> ReportIndex::Reports(const ReportFilter& filter, size_t first,
                                                size_t count) const {
  const std::lock_guard lock(mutex_);
  return Asked<ReportSlice>("list the reports", [&] {
    return PrepareTextSearch(filter.q) ? QueryReports(*db_, filter, first, count) : ReportSlice{};
  });
}

std::optional<GroupSlice> ReportIndex::Groups(const ListQuery& query, size_t first, size_t count,
                                              int64_t now_ms) const {
  const std::lock_guard lock(mutex_);
  return Asked<GroupSlice>("list the groups", [&] {
    return PrepareTextSearch(query.filter.q) ? QueryGroups(*db_, query, first, count, now_ms)
                                             : GroupSlice{};
  });
}

std::optional<std::optional<GroupDetail>> ReportIndex::Group(const std::string& signature,
                                                             const ReportFilter& filter,
                                                             int64_t now_ms) const {
  const std::lock_guard lock(mutex_);
  return Asked<std::optional<GroupDetail>>("read a group", [&] {
    return PrepareTextSearch(filter.q) ? QueryGroup(*db_, signature, filter, now_ms) : std::nullopt;
  });
}

bool ReportIndex::SetState(const Decision& decision) {
  const std::lock_guard lock(mutex_);
  if (!AppendDecision(store_, decision)) {
    LogLine("cannot write a decision to " + (store_ / kDecisionJournalFileName).string());
    return false;
  }
  const std::optional<bool> set =
      Asked<bool>("record a decision", [&] { return WriteState(*db_, decision); });
  if (!set || !*set) RequestSynchronization();
  return true;
}

std::vector<std::string> ReportIndex::ReportsUnanalysed() const {
  const std::lock_guard lock(mutex_);
  const auto unanalysed = Asked<std::vector<std::string>>("list the reports to analyse", [&] {
    return Column<std::string>(*db_, "SELECT dump_id FROM reports WHERE analysed = 0", FirstText);
  });
  return unanalysed.value_or(std::vector<std::string>());
}

std::set<std::string> ReportIndex::MissingSymbols() const {
  const std::lock_guard lock(mutex_);
  const auto ids = Asked<std::vector<std::string>>("list the missing symbols", [&] {
    return Column<std::string>(*db_, "SELECT DISTINCT symbol_id FROM missing_symbols", FirstText);
  });
  return ids ? std::set<std::string>(ids->begin(), ids->end()) : std::set<std::string>();
}

std::vector<std::string> ReportIndex::ReportsLacking(const std::set<std::string>& ids) const {
  const std::lock_guard lock(mutex_);
  const auto lacking = Asked<std::vector<std::string>>("list the reports lacking symbols", [&] {
    std::vector<std::string> found;
    std::set<std::string> seen;
    Statement find(*db_,
                   "SELECT r.dump_id FROM missing_symbols m JOIN reports r USING (folder) "
                   "WHERE m.symbol_id = ?");
    for (const std::string& id : ids) {
      find.Reset();
      find.Bind(1, id);
      while (find.NextRow()) {
        if (seen.insert(find.Text(0)).second) found.push_back(find.Text(0));
      }
    }
    return found;
  });
  return lacking.value_or(std::vector<std::string>());
}

std::vector<std::string> ReportIndex::ReportsSignedOtherwise(const std::string& version) const {
  const std::lock_guard lock(mutex_);
  const auto signed_otherwise = Asked<std::vector<std::string>>("list the reports to regroup", [&] {
    std::vector<std::string> found;
    Statement find(*db_,
                   "SELECT r.dump_id FROM crashes c JOIN reports r USING (folder) "
                   "WHERE json_extract(c.crash_json, '$.module_signature') IS NOT NULL "
                   "AND json_extract(c.crash_json, '$.signature_rules') IS NOT ?");
    find.Bind(1, version);
    while (find.NextRow()) found.push_back(find.Text(0));
    return found;
  });
  return signed_otherwise.value_or(std::vector<std::string>());
}

}  // namespace fennick_ingest
