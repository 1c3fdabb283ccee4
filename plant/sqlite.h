// A thin RAII layer over SQLite's C API: a connection, prepared statements
// and transactions. Errors carry SQLite's own words and its result code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tolvane::plant::sql {

// A failed SQLite call: `code` is SQLite's extended result code.
class Error : public std::runtime_error {
 public:
  Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }
  // The primary result code (SQLITE_FULL, SQLITE_READONLY, ...).
  int primary() const { return code_ & 0xff; }

 private:
  int code_;
};

class Statement;

class Database {
 public:
  Database() = default;
  // Opens `path` with sqlite3_open_v2 flags (a URI is allowed).
  Database(const std::string& path, int flags);
  ~Database();
  Database(Database&& other) noexcept;
  Database& operator=(Database&& other) noexcept;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* handle() const { return db_; }
  bool open() const { return db_ != nullptr; }
  // Runs one or more statements that return nothing.
  void Exec(const std::string& sql);
  Statement Prepare(std::string_view sql);
  // The first column of the first row of `sql`, as an integer.
  int64_t QueryInt(const std::string& sql);
  int64_t LastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }
  int Changes() const { return sqlite3_changes(db_); }
  bool ReadOnly() const { return sqlite3_db_readonly(db_, "main") == 1; }
  [[noreturn]] void Throw(int rc) const;

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement() = default;
  Statement(const Database& db, std::string_view sql);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Binding, 1-based like SQLite. Texts and blobs are copied.
  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, const void* data, std::size_t size);
  Statement& BindNull(int index);
  Statement& Bind(int index, const std::optional<int64_t>& value);

  // Steps once: true while a row is there, false when done.
  bool Step();
  // Steps a statement that returns no rows, then resets it for reuse.
  void Run();
  void Reset();

  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  // SQLITE_INTEGER, SQLITE_TEXT, ...: what the row holds, whatever the column says.
  int Type(int column) const { return sqlite3_column_type(stmt_, column); }
  std::string Text(int column) const;
  std::string_view Blob(int column) const;

 private:
  sqlite3_stmt* stmt_ = nullptr;
  const Database* db_ = nullptr;
};

// BEGIN on construction (IMMEDIATE: takes the write lock at once, waiting
// up to the busy timeout); ROLLBACK on destruction unless committed.
class Transaction {
 public:
  Transaction(Database& db, bool immediate);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();
  bool active() const { return active_; }

 private:
  Database& db_;
  bool active_ = false;
};

}  // namespace tolvane::plant::sql
