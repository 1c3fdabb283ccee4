#include "plant/store_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <tuple>

#include "plant/bounded_json.h"
#include "plant/plant.h"
#include "plant/plant_json.h"

namespace tolvane::plant::store_checks {
namespace {

uint32_t Big32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint32_t Native32(const unsigned char* p, bool bigEndian) {
  return bigEndian ? Big32(p)
                   : (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// The log's running checksum: pairs of 32-bit words, in the byte order the
// log's magic number names.
void Checksum(const unsigned char* data, std::size_t n, bool bigEndian, uint32_t* s0,
              uint32_t* s1) {
  for (std::size_t i = 0; i + 8 <= n; i += 8) {
    *s0 += Native32(data + i, bigEndian) + *s1;
    *s1 += Native32(data + i + 4, bigEndian) + *s0;
  }
}

bool ReadAt(int fd, unsigned char* buf, std::size_t n, off_t at) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd, buf + done, n - done, at + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

off_t SizeOf(const std::string& path, bool* exists) {
  struct stat st {};
  *exists = ::stat(path.c_str(), &st) == 0;
  return *exists ? st.st_size : 0;
}

std::size_t Utf8Length(std::string_view s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace

Beside LookBeside(const std::string& path) {
  Beside b;
  b.walSize = SizeOf(path + "-wal", &b.wal);
  b.journalSize = SizeOf(path + "-journal", &b.journal);
  SizeOf(path + "-shm", &b.shm);
  if (b.shm) {
    // Every connection to a store in WAL mode holds a read lock on this
    // byte of the shared-memory file while it is open.
    int fd = ::open((path + "-shm").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
      struct flock lk {};
      lk.l_type = F_WRLCK;
      lk.l_whence = SEEK_SET;
      lk.l_start = 128;
      lk.l_len = 1;
      b.held = ::fcntl(fd, F_GETLK, &lk) == 0 && lk.l_type != F_UNLCK;
      ::close(fd);
    }
  }
  return b;
}

bool StoreGeometry(const std::string& path, uint32_t* pageSize, uint64_t* pages) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  unsigned char head[100];
  struct stat st {};
  bool ok = ReadAt(fd, head, sizeof head, 0) && ::fstat(fd, &st) == 0;
  ::close(fd);
  if (!ok) return false;
  uint32_t size = (uint32_t{head[16]} << 8) | head[17];
  *pageSize = size == 1 ? 65536 : size;
  *pages = *pageSize ? static_cast<uint64_t>(st.st_size) / *pageSize : 0;
  return *pageSize >= 512;
}

LogFacts ReadLog(const std::string& path) {
  LogFacts f;
  int fd = ::open((path + "-wal").c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return f;
  unsigned char h[32];
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !ReadAt(fd, h, sizeof h, 0)) {
    ::close(fd);
    return f;
  }
  uint32_t magic = Big32(h);
  bool big = magic == 0x377f0683;
  uint32_t s0 = 0, s1 = 0;
  Checksum(h, 24, big, &s0, &s1);
  f.pageSize = Big32(h + 8);
  if ((magic & 0xfffffffe) != 0x377f0682 || Big32(h + 4) != 3007000 || s0 != Big32(h + 24) ||
      s1 != Big32(h + 28) || f.pageSize < 512 || f.pageSize > 65536 ||
      (f.pageSize & (f.pageSize - 1)) != 0) {
    ::close(fd);
    return f;  // SQLite reads such a file as an empty log
  }
  f.wellFormed = true;
  uint32_t salt1 = Big32(h + 16), salt2 = Big32(h + 20);
  std::vector<unsigned char> frame(24 + f.pageSize);
  std::size_t frames = 0;
  for (off_t at = 32; at + static_cast<off_t>(frame.size()) <= st.st_size;
       at += static_cast<off_t>(frame.size())) {
    if (!ReadAt(fd, frame.data(), frame.size(), at)) break;
    const unsigned char* fh = frame.data();
    if (Big32(fh + 8) != salt1 || Big32(fh + 12) != salt2 || Big32(fh) == 0) break;
    Checksum(fh, 8, big, &s0, &s1);
    Checksum(fh + 24, f.pageSize, big, &s0, &s1);
    if (s0 != Big32(fh + 16) || s1 != Big32(fh + 20)) break;
    ++frames;
    if (uint32_t commit = Big32(fh + 4); commit != 0) {
      ++f.commits;
      f.frames = frames;
      f.pagesAfter = commit;
    }
  }
  ::close(fd);
  return f;
}

// --- the schema ---

namespace {

struct Shape {
  // table -> its columns as PRAGMA table_info gives them
  std::map<std::string,
           std::vector<std::tuple<std::string, std::string, int64_t, std::string, int64_t>>>
      columns;
  std::map<std::string, std::string> indexes;  // name -> its SQL
};

Shape ShapeOf(sql::Database& db) {
  Shape s;
  sql::Statement tables = db.Prepare(
      "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite_%'");
  while (tables.Step()) {
    std::string name = tables.Text(0);
    sql::Statement info = db.Prepare(
        "SELECT name, type, \"notnull\", coalesce(dflt_value, ''), pk "
        "FROM pragma_table_info(?1)");
    info.Bind(1, name);
    auto& cols = s.columns[name];
    while (info.Step()) {
      cols.emplace_back(info.Text(0), info.Text(1), info.Int(2), info.Text(3), info.Int(4));
    }
  }
  sql::Statement idx =
      db.Prepare("SELECT name, coalesce(sql, '') FROM sqlite_master WHERE type = 'index'");
  while (idx.Step()) s.indexes[idx.Text(0)] = idx.Text(1);
  return s;
}

}  // namespace

// Defined in plant_store.cpp: the schema this program makes.
void CreateSchemaForCheck(sql::Database& db);

std::string SchemaProblem(sql::Database& db) {
  static const Shape expected = [] {
    sql::Database fresh(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    CreateSchemaForCheck(fresh);
    return ShapeOf(fresh);
  }();
  {
    sql::Statement other = db.Prepare(
        "SELECT type, name FROM sqlite_master WHERE type IN ('trigger', 'view') ORDER BY name");
    if (other.Step()) {
      return "it has a " + other.Text(0) + " (" + other.Text(1) +
             ") that this program never makes; a trigger would run on every change";
    }
  }
  Shape have = ShapeOf(db);
  for (const auto& [table, cols] : expected.columns) {
    auto it = have.columns.find(table);
    if (it == have.columns.end()) return "table " + table + " is missing";
    for (const auto& col : cols) {
      bool found = false;
      for (const auto& c : it->second) {
        if (std::get<0>(c) != std::get<0>(col)) continue;
        found = true;
        if (c != col) return "table " + table + ", column " + std::get<0>(col) + " is altered";
      }
      if (!found) return "table " + table + " has no column " + std::get<0>(col);
    }
    if (it->second.size() != cols.size()) {
      return "table " + table + " has columns this program never makes";
    }
  }
  for (const auto& [name, text] : expected.indexes) {
    if (text.empty()) continue;  // the automatic ones of primary keys
    auto it = have.indexes.find(name);
    if (it == have.indexes.end()) return "index " + name + " is missing";
    if (it->second != text) return "index " + name + " is altered";
  }
  return {};
}

// --- rows ---

std::string RowProblem::Text() const {
  return "table " + table + ", row " + std::to_string(row) + ", column " + column + ": " + why;
}

void RowCheck::Fail(const char* column, std::string why) {
  failed_ = true;
  out_->push_back({table_, row_, column, std::move(why)});
}

void RowCheck::Text(const sql::Statement& s, int col, const char* name, std::size_t bytes,
                    std::size_t chars, std::size_t min) {
  if (s.Type(col) != SQLITE_TEXT) return Fail(name, "not a text");
  std::string v = s.Text(col);
  if (v.find('\0') != std::string::npos) return Fail(name, "contains a NUL character");
  if (v.size() < min) return Fail(name, "empty");
  if (chars && Utf8Length(v) > chars) {
    return Fail(name, "longer than " + std::to_string(chars) + " characters");
  }
  if (bytes && v.size() > bytes) {
    return Fail(name, "takes " + std::to_string(v.size()) + " bytes; the field holds " +
                          std::to_string(bytes));
  }
}

void RowCheck::Int(const sql::Statement& s, int col, const char* name, int64_t lo, int64_t hi,
                   bool nullable) {
  int type = s.Type(col);
  if (type == SQLITE_NULL && nullable) return;
  if (type != SQLITE_INTEGER) return Fail(name, "not a whole number");
  int64_t v = s.Int(col);
  if (v < lo || v > hi) {
    Fail(name,
         std::to_string(v) + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
  }
}

void RowCheck::Blob(const sql::Statement& s, int col, const char* name, std::size_t size,
                    bool nullable) {
  int type = s.Type(col);
  if (type == SQLITE_NULL && nullable) return;
  if (type != SQLITE_BLOB || s.Blob(col).size() != size) {
    Fail(name, "not " + std::to_string(size) + " bytes of binary data");
  }
}

void RowCheck::Names(const sql::Statement& s, int col, const char* name, std::size_t count,
                     std::size_t bytes) {
  if (s.Type(col) != SQLITE_TEXT) return Fail(name, "not a text");
  std::string v = s.Text(col);
  if (v.find('\0') != std::string::npos) return Fail(name, "contains a NUL character");
  std::size_t n = 0, length = 0;
  for (std::size_t i = 0; i <= v.size(); ++i) {
    if (i == v.size() || v[i] == '\n') {
      if (!v.empty()) ++n;
      if (length > bytes) {
        return Fail(name, "a name takes " + std::to_string(length) + " bytes; the field holds " +
                              std::to_string(bytes));
      }
      length = 0;
    } else {
      if (v[i] == '\\' && i + 1 < v.size()) ++i;  // an escape is one byte of the name
      ++length;
    }
  }
  if (n > count) return Fail(name, std::to_string(n) + " names; at most " + std::to_string(count));
}

void RowCheck::Extra(const sql::Statement& s, int col, const char* name, std::size_t level) {
  if (s.Type(col) != SQLITE_TEXT) return Fail(name, "not a text");
  std::string v = s.Text(col);
  if (v.empty()) return;
  nlohmann::ordered_json doc;
  JsonInputError bad;
  JsonLimits limits = kPlantDocumentLimits;
  limits.maxDepth -= level - 1;
  if (!ParseJsonBounded(v, &doc, &bad, limits)) {
    return Fail(name, "not JSON within bounds: " + bad.message);
  }
  if (!doc.is_object()) Fail(name, "not a JSON object");
}

void RowCheck::Priority(const sql::Statement& s, int col, const char* name) {
  if (s.Type(col) != SQLITE_INTEGER) return Fail(name, "not a whole number");
  int64_t v = s.Int(col);
  if (v < INT16_MIN || v > INT16_MAX || !PriorityNameOf(static_cast<int16_t>(v))) {
    Fail(name, "unknown priority " + std::to_string(v) + " (3..9)");
  }
}

}  // namespace tolvane::plant::store_checks
