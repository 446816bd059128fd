#include "sqlite_db.h"

namespace fennick_ingest {

SqliteDb::SqliteDb(const std::filesystem::path& path) {
  // NOMUTEX: the index lets one thread at a time use the connection.
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    open_error_ = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

SqliteDb::~SqliteDb() { sqlite3_close(db_); }

std::string SqliteDb::error() const {
  if (failed()) return failure_;
  return db_ ? sqlite3_errmsg(db_) : open_error_;
}

void SqliteDb::NoteFailure() const {
  if (!failure_.empty()) return;
  failure_ = db_ ? sqlite3_errmsg(db_) : open_error_;
  if (failure_.empty()) failure_ = "unknown failure";
  failure_code_ = db_ ? sqlite3_extended_errcode(db_) : SQLITE_CANTOPEN;
}

bool SqliteDb::FoundDamage() const {
  const int primary = failure_code_ & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

std::optional<std::string> SqliteDb::Damage() {
  ClearFailure();
  Statement check(*this, "PRAGMA quick_check");
  if (check.NextRow() && check.View(0) != "ok") {
    // One finding a line, under a heading that names the database; the first tells enough.
    std::string_view findings = check.View(0);
    const size_t heading_end = findings.find('\n');
    if (findings.starts_with("***") && heading_end != std::string_view::npos) {
      findings.remove_prefix(heading_end + 1);
    }
    return std::string(findings.substr(0, findings.find('\n')));
  }
  if (!FoundDamage()) return std::nullopt;
  return error();
}

void SqliteDb::KeepFilesOnClose() {
  if (db_ != nullptr) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
}

bool SqliteDb::Execute(const char* sql) {
  const bool done =
      db_ != nullptr && sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
  if (!done) NoteFailure();
  return done;
}

Statement::Statement(const SqliteDb& db, std::string_view sql) : db_(&db) {
  if (!db.ok() || sqlite3_prepare_v2(db.get(), sql.data(), static_cast<int>(sql.size()),
                                     &statement_, nullptr) != SQLITE_OK) {
    Fail();
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

void Statement::Fail() {
  failed_ = true;
  db_->NoteFailure();
}

Statement& Statement::Bind(int index, int64_t value) {
  if (!failed_ && sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) Fail();
  return *this;
}

Statement& Statement::Bind(int index, std::string_view value, bool blob) {
  if (failed_) return *this;
  const int size = static_cast<int>(value.size());
  const int result =
      blob ? sqlite3_bind_blob(statement_, index, value.data(), size, SQLITE_TRANSIENT)
           : sqlite3_bind_text(statement_, index, value.data(), size, SQLITE_TRANSIENT);
  if (result != SQLITE_OK) Fail();
  return *this;
}

bool Statement::NextRow() {
  if (failed_) return false;
  const int result = sqlite3_step(statement_);
  if (result != SQLITE_ROW && result != SQLITE_DONE) Fail();
  return result == SQLITE_ROW;
}

bool Statement::Run() {
  while (NextRow()) {
  }
  return !failed_;
}

void Statement::Reset() {
  if (statement_ == nullptr) return;
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  failed_ = false;
}

int64_t Statement::Integer(int column) const { return sqlite3_column_int64(statement_, column); }

std::string Statement::Text(int column) const { return std::string(View(column)); }

std::string_view Statement::View(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  return bytes ? std::string_view(static_cast<const char*>(bytes), static_cast<size_t>(size))
               : std::string_view();
}

}  // namespace fennick_ingest
