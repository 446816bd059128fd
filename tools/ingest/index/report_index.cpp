#include "report_index.h"

#include <sys/stat.h>

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

// Opens the database with its tables; a file that is no database of ours is replaced.
std::unique_ptr<SqliteDb> OpenDatabase(const fs::path& path) {
  // Private from the start, as everything in the store; SQLite gives its journal the same
  // mode.
  CreatePrivateFile(path);
  auto db = std::make_unique<SqliteDb>(path);
  if (db->ok() && Configure(*db) && CheckLayout(*db)) return db;
  if (!db->ok()) return db;
  // Not a database (or a damaged one): the folders rebuild the index; the states are lost.
  db.reset();
  std::error_code ignored;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path.string() + suffix, ignored);
  CreatePrivateFile(path);
  db = std::make_unique<SqliteDb>(path);
  if (db->ok() && !(Configure(*db) && CheckLayout(*db))) db.reset();
  return db;
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

ReportIndex::ReportIndex(const fs::path& store)
    : store_(store), db_(OpenDatabase(store / kIndexFileName)) {}

ReportIndex::~ReportIndex() = default;

bool ReportIndex::ok() const { return db_ && db_->ok(); }

std::string ReportIndex::error() const { return db_ ? db_->error() : "cannot open the index"; }

std::optional<size_t> ReportIndex::Synchronize() {
  const std::lock_guard lock(mutex_);
  if (!ok()) return std::nullopt;
  std::unordered_map<std::string, std::string> indexed;
  {
    Statement read(*db_, "SELECT folder, stamp FROM reports");
    while (read.NextRow()) indexed.emplace(read.Text(0), read.Text(1));
  }
  ++generation_;
  Transaction transaction(*db_);
  if (!transaction.ok()) return std::nullopt;
  ReportWriter writer(*db_);
  size_t read_count = 0;
  std::error_code error;
  for (fs::directory_iterator it(store_, error), end; !error && it != end; it.increment(error)) {
    const std::string folder = it->path().filename().string();
    const std::optional<std::string> dump_id = DumpIdOfFolder(folder);
    if (!dump_id) continue;
    // The stamp before the record: a change between the two is read again at the next start.
    const std::string stamp = FolderStamp(store_, folder);
    const auto known = indexed.find(folder);
    const bool current = known != indexed.end() && !stamp.empty() && known->second == stamp;
    if (known != indexed.end()) indexed.erase(known);
    if (current) continue;
    const std::optional<std::string> text = ReadReportRecord(store_, folder);
    std::optional<StoredReport> report = text ? ParseReportRecord(*text, *dump_id) : std::nullopt;
    if (!(report ? writer.Insert(*report, folder, stamp) : writer.Remove(folder))) {
      return std::nullopt;
    }
    if (report) ++read_count;
  }
  if (error) return std::nullopt;
  // What is left was indexed but is no longer in the store.
  for (const auto& [folder, stamp] : indexed) {
    if (!writer.Remove(folder)) return std::nullopt;
  }
  if (!MarkRegressions(*db_, nullptr) || !transaction.Commit()) return std::nullopt;
  // After many changes the query planner learns the new spread of values: without it, a
  // filter on a common version looks as selective as one on a device.
  // The journal of a rebuild is as large as the index; it is folded in and let go.
  if (read_count >= kReportsBeforeAnalysis &&
      !(db_->Execute("ANALYZE") && db_->Execute("PRAGMA wal_checkpoint(TRUNCATE)"))) {
    return std::nullopt;
  }
  return read_count;
}

bool ReportIndex::Put(const StoredReport& report) {
  const std::string folder = ReportFolderName(report.dump_id);
  const std::string stamp = FolderStamp(store_, folder);
  const std::lock_guard lock(mutex_);
  if (!ok()) return false;
  ++generation_;
  db_->ClearFailure();
  Transaction transaction(*db_);
  const bool put = transaction.ok() && ReportWriter(*db_).Insert(report, folder, stamp) &&
                   (report.signature.empty() || MarkRegressions(*db_, &report.signature)) &&
                   transaction.Commit();
  if (!put) LogLine("the index could not record the report " + folder + ": " + db_->error());
  return put;
}

bool ReportIndex::PrepareTextSearch(const std::string& q) const {
  if (!ok()) return false;
  if (q.size() < kShortestIndexedText || text_searched_ == std::pair(q, generation_)) return true;
  text_searched_.reset();
  if (!MatchText(*db_, q)) return false;
  text_searched_.emplace(q, generation_);
  return true;
}

template <typename Answer>
std::optional<Answer> ReportIndex::Checked(Answer answer, const char* what) const {
  if (!db_->failed()) return answer;
  LogLine(std::string("the index could not ") + what + ": " + db_->error());
  return std::nullopt;
}

std::optional<ReportSlice> ReportIndex::Reports(const ReportFilter& filter, size_t first,
                                                size_t count) const {
  const std::lock_guard lock(mutex_);
  if (!ok()) return std::nullopt;
  db_->ClearFailure();
  if (!PrepareTextSearch(filter.q)) return Checked(ReportSlice{}, "search the reports' text");
  return Checked(QueryReports(*db_, filter, first, count), "list the reports");
}

std::optional<GroupSlice> ReportIndex::Groups(const ListQuery& query, size_t first, size_t count,
                                              int64_t now_ms) const {
  const std::lock_guard lock(mutex_);
  if (!ok()) return std::nullopt;
  db_->ClearFailure();
  if (!PrepareTextSearch(query.filter.q)) return Checked(GroupSlice{}, "search the reports' text");
  return Checked(QueryGroups(*db_, query, first, count, now_ms), "list the groups");
}

std::optional<std::optional<GroupDetail>> ReportIndex::Group(const std::string& signature,
                                                             const ReportFilter& filter,
                                                             int64_t now_ms) const {
  const std::lock_guard lock(mutex_);
  if (!ok()) return std::nullopt;
  db_->ClearFailure();
  if (!PrepareTextSearch(filter.q)) {
    return Checked(std::optional<GroupDetail>(), "search the reports' text");
  }
  return Checked(QueryGroup(*db_, signature, filter, now_ms), "read a group");
}

bool ReportIndex::SetState(const std::string& signature, GroupState state,
                           const std::string& fixed_version, int64_t now_ms) {
  const std::string fixed = state == GroupState::kResolved ? fixed_version : std::string();
  const std::lock_guard lock(mutex_);
  return ok() && Statement(*db_, "INSERT OR REPLACE INTO states VALUES (?, ?, ?, ?, ?)")
                     .Bind(1, signature)
                     .Bind(2, GroupStateName(state))
                     .Bind(3, fixed)
                     .Bind(4, fixed.empty() ? std::string() : VersionSortKey(fixed))
                     .Bind(5, now_ms)
                     .Run();
}

std::vector<std::string> ReportIndex::ReportsUnanalysed() const {
  const std::lock_guard lock(mutex_);
  if (!ok()) return {};
  db_->ClearFailure();
  return Checked(Column<std::string>(*db_, "SELECT dump_id FROM reports WHERE analysed = 0",
                                     FirstText),
                 "list the reports to analyse")
      .value_or(std::vector<std::string>());
}

std::set<std::string> ReportIndex::MissingSymbols() const {
  const std::lock_guard lock(mutex_);
  if (!ok()) return {};
  db_->ClearFailure();
  const std::vector<std::string> ids =
      Checked(Column<std::string>(*db_, "SELECT DISTINCT symbol_id FROM missing_symbols",
                                  FirstText),
              "list the missing symbols")
          .value_or(std::vector<std::string>());
  return {ids.begin(), ids.end()};
}

std::vector<std::string> ReportIndex::ReportsLacking(const std::set<std::string>& ids) const {
  const std::lock_guard lock(mutex_);
  std::vector<std::string> lacking;
  if (!ok()) return lacking;
  db_->ClearFailure();
  std::set<std::string> seen;
  Statement find(*db_,
                 "SELECT r.dump_id FROM missing_symbols m JOIN reports r USING (folder) "
                 "WHERE m.symbol_id = ?");
  for (const std::string& id : ids) {
    find.Reset();
    find.Bind(1, id);
    while (find.NextRow()) {
      if (seen.insert(find.Text(0)).second) lacking.push_back(find.Text(0));
    }
  }
  return Checked(std::move(lacking), "list the reports lacking symbols")
      .value_or(std::vector<std::string>());
}

}  // namespace fennick_ingest
