#include "plant/sqlite.h"

#include <utility>

namespace tolvane::plant::sql {

Database::Database(const std::string& path, int flags) {
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_URI, nullptr);
  if (rc != SQLITE_OK) {
    // A handle comes back even on failure (unless memory ran out); it holds the reason.
    std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    int code = db_ ? sqlite3_extended_errcode(db_) : rc;
    sqlite3_close(db_);
    db_ = nullptr;
    throw Error(code, why);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  if (db_) sqlite3_close_v2(db_);
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database& Database::operator=(Database&& other) noexcept {
  if (this != &other) {
    if (db_) sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
  }
  return *this;
}

void Database::Throw(int rc) const {
  throw Error(db_ ? sqlite3_extended_errcode(db_) : rc,
              db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
}

void Database::Exec(const std::string& sql) {
  char* msg = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &msg);
  if (rc != SQLITE_OK) {
    std::string why = msg ? msg : sqlite3_errstr(rc);
    sqlite3_free(msg);
    throw Error(sqlite3_extended_errcode(db_), why);
  }
}

Statement Database::Prepare(std::string_view sql) {
  return Statement(*this, sql);
}

int64_t Database::QueryInt(const std::string& sql) {
  Statement s(*this, sql);
  return s.Step() ? s.Int(0) : 0;
}

Statement::Statement(const Database& db, std::string_view sql) : db_(&db) {
  int rc =
      sqlite3_prepare_v2(db.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) db.Throw(rc);
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), db_(other.db_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    stmt_ = std::exchange(other.stmt_, nullptr);
    db_ = other.db_;
  }
  return *this;
}

Statement& Statement::Bind(int index, int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) db_->Throw(rc);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  // A null pointer would bind NULL, not an empty text.
  int rc = sqlite3_bind_text(stmt_, index, text.data() ? text.data() : "",
                             static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) db_->Throw(rc);
  return *this;
}

Statement& Statement::BindBlob(int index, const void* data, std::size_t size) {
  int rc = sqlite3_bind_blob(stmt_, index, data, static_cast<int>(size), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) db_->Throw(rc);
  return *this;
}

Statement& Statement::BindNull(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) db_->Throw(rc);
  return *this;
}

Statement& Statement::Bind(int index, const std::optional<int64_t>& value) {
  return value ? Bind(index, *value) : BindNull(index);
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  db_->Throw(rc);
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::string Statement::Text(int column) const {
  const unsigned char* p = sqlite3_column_text(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n))
           : std::string();
}

std::string_view Statement::Blob(int column) const {
  const void* p = sqlite3_column_blob(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  // An empty or NULL blob still gives a valid pointer: callers memcpy from it.
  return p ? std::string_view(static_cast<const char*>(p), static_cast<std::size_t>(n))
           : std::string_view("", 0);
}

Transaction::Transaction(Database& db, bool immediate) : db_(db) {
  db_.Exec(immediate ? "BEGIN IMMEDIATE" : "BEGIN");
  active_ = true;
}

Transaction::~Transaction() {
  if (active_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  db_.Exec("COMMIT");
  active_ = false;
}

}  // namespace tolvane::plant::sql
