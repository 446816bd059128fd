#ifndef FENNICK_TOOLS_INGEST_INDEX_SQLITE_DB_H_
#define FENNICK_TOOLS_INGEST_INDEX_SQLITE_DB_H_

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

// Thin owners of an SQLite connection and its statements, so that every handle is released
// on every path and a failure reads as a bool.
namespace fennick_ingest {

class SqliteDb {
 public:
  // Opens or creates the database `path`; check ok().
  explicit SqliteDb(const std::filesystem::path& path);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  bool ok() const { return db_ != nullptr; }
  sqlite3* get() const { return db_; }
  // The first failure since ClearFailure, else the connection's last message.
  std::string error() const;
  // Runs `sql` (any number of statements without results); false on failure.
  bool Execute(const char* sql);

  // Whether a statement failed since the last ClearFailure: a query that read nothing
  // because the database failed must not pass for an empty answer.
  bool failed() const { return !failure_.empty(); }
  void ClearFailure() const {
    failure_.clear();
    failure_code_ = SQLITE_OK;
  }
  // Keeps the first failure's message and code, which later statements would replace.
  void NoteFailure() const;
  // Whether that first failure found the database's file damaged, or no database at all.
  bool FoundDamage() const;

  // What SQLite's own check of every page finds wrong with the database (its first
  // finding), or nullopt when it finds nothing or cannot tell.
  std::optional<std::string> Damage();

  // Closing leaves the database's files as they stand: the journal is neither folded into
  // the database nor removed, so that a damaged index can be kept whole.
  void KeepFilesOnClose();

 private:
  sqlite3* db_ = nullptr;
  std::string open_error_;
  mutable std::string failure_;  // empty while nothing failed
  mutable int failure_code_ = SQLITE_OK;
};

// One prepared statement. Binding indexes start at 1, column indexes at 0.
class Statement {
 public:
  Statement(const SqliteDb& db, std::string_view sql);
  ~Statement();
  Statement(Statement&& other) noexcept
      : db_(other.db_), statement_(std::exchange(other.statement_, nullptr)),
        failed_(other.failed_) {}
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool ok() const { return statement_ != nullptr; }

  Statement& Bind(int index, int64_t value);
  // Bound as text, or as a blob when `blob` (bytes that need not be UTF-8).
  Statement& Bind(int index, std::string_view value, bool blob = false);

  // Steps once: true while a row is there to read.
  bool NextRow();
  // Runs a statement without results to its end; false on failure.
  bool Run();
  // Makes the statement ready to run again with new bindings.
  void Reset();

  int64_t Integer(int column) const;
  std::string Text(int column) const;
  // The column's bytes, valid until the statement steps again.
  std::string_view View(int column) const;

 private:
  // Records a failure here and on the connection.
  void Fail();

  const SqliteDb* db_;
  sqlite3_stmt* statement_ = nullptr;
  bool failed_ = false;
};

// A transaction that rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(SqliteDb& db) : db_(db), open_(db.Execute("BEGIN IMMEDIATE")) {}
  ~Transaction() {
    if (open_) db_.Execute("ROLLBACK");
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return open_; }
  bool Commit() {
    open_ = open_ && !db_.Execute("COMMIT");
    return !open_;
  }

 private:
  SqliteDb& db_;
  bool open_;
};

}  // namespace fennick_ingest

#endif  // FENNICK_TOOLS_INGEST_INDEX_SQLITE_DB_H_
