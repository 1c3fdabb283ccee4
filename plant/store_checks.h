// What the plant store checks before it trusts a file: the files beside it
// (a log or journal left by a program that did not close the store), its
// schema, and every value of every row, as import checks a document.
// Internal to the plant library (plant_store.cpp and the health check).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plant/sqlite.h"

namespace tolvane::plant::store_checks {

// --- files beside the store ---

struct Beside {
  bool wal = false, shm = false, journal = false;
  off_t walSize = 0, journalSize = 0;
  // Another process has the store open (it holds SQLite's lock on the
  // shared-memory file): its log is live, not left over.
  bool held = false;
};

// Looks at PATH-wal, PATH-shm and PATH-journal without opening them through
// SQLite. REQUIRES: this process does not have the store open (closing our
// own descriptor of a file drops this process's locks on it).
Beside LookBeside(const std::string& path);

// What a log left beside a store would do to it, read from its header and
// frames (salts and checksums as SQLite checks them).
struct LogFacts {
  bool wellFormed = false;  // a log header whose checksum holds
  uint32_t pageSize = 0;
  std::size_t frames = 0;   // valid frames, up to the last commit
  std::size_t commits = 0;  // transactions it holds
  uint32_t pagesAfter = 0;  // the store's size in pages after the last commit
  std::string problem;      // why it does not fit the store; empty when it may
};
LogFacts ReadLog(const std::string& path);

// The store's page size and size in pages, from its header and length.
bool StoreGeometry(const std::string& path, uint32_t* pageSize, uint64_t* pages);

// --- the schema ---

// Empty when `db` has the tables, columns and indexes this program made and
// no trigger or view; else what differs ("table alarms: no column ...").
std::string SchemaProblem(sql::Database& db);

// --- rows ---

// One value that import would have refused.
struct RowProblem {
  std::string table;
  int64_t row = 0;
  std::string column;
  std::string why;
  std::string Text() const;  // "table alarms, row 17, column description: ..."
};

// Checks the values of one row as it is read, column by column. Problems
// are collected; the reader decides whether the first one ends the read.
class RowCheck {
 public:
  RowCheck(const char* table, int64_t row, std::vector<RowProblem>* out)
      : table_(table), row_(row), out_(out) {}

  // A TEXT value without NUL of at most `bytes` bytes and `chars`
  // characters (0: no limit of that kind), at least `min` bytes.
  void Text(const sql::Statement& s, int col, const char* name, std::size_t bytes,
            std::size_t chars = 0, std::size_t min = 0);
  // An INTEGER value within lo..hi (NULL allowed with `nullable`).
  void Int(const sql::Statement& s, int col, const char* name, int64_t lo, int64_t hi,
           bool nullable = false);
  // A BLOB of exactly `size` bytes (NULL allowed with `nullable`).
  void Blob(const sql::Statement& s, int col, const char* name, std::size_t size,
            bool nullable = false);
  // A list of names one a line: at most `count`, each at most `bytes` bytes.
  void Names(const sql::Statement& s, int col, const char* name, std::size_t count,
             std::size_t bytes);
  // Empty, or the text of a JSON object within the exchange format's bounds
  // once its members join their record, which lies `level` deep in the
  // document (3 for nodes, blocks, alarms and journal entries; 1 for the
  // top level).
  void Extra(const sql::Statement& s, int col, const char* name, std::size_t level = 3);
  // A priority of the seven-level table.
  void Priority(const sql::Statement& s, int col, const char* name);
  void Fail(const char* column, std::string why);

  bool ok() const { return !failed_; }

 private:
  const char* table_;
  int64_t row_;
  std::vector<RowProblem>* out_;
  bool failed_ = false;
};

}  // namespace tolvane::plant::store_checks
