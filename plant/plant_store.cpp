#include "plant/plant_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <utility>

#include "node/summary_queue_order.h"
#include "plant/node_lock.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/sqlite.h"
#include "plant/store_checks.h"
#include "tolvane/text_field.h"

namespace tolvane::plant {
namespace {

using sql::Database;
using sql::Statement;
using store_checks::RowCheck;
using store_checks::RowProblem;

// "Tolv": marks a database as a plant store, so a foreign one is refused.
constexpr int64_t kApplicationId = 0x546f6c76;

constexpr const char* kSchemaV1 = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value) WITHOUT ROWID;
CREATE TABLE nodes(
  name TEXT PRIMARY KEY COLLATE NOCASE,
  position INTEGER NOT NULL,
  physical TEXT NOT NULL,
  aliases TEXT NOT NULL DEFAULT '',
  serial INTEGER NOT NULL DEFAULT 0,
  local INTEGER NOT NULL DEFAULT 0,
  extra TEXT NOT NULL DEFAULT '');
CREATE TABLE blocks(
  id INTEGER PRIMARY KEY,
  node TEXT NOT NULL REFERENCES nodes(name),
  tag TEXT NOT NULL,
  letter TEXT NOT NULL,
  number INTEGER NOT NULL,
  description TEXT NOT NULL DEFAULT '',
  areas TEXT NOT NULL DEFAULT '',
  priority INTEGER NOT NULL DEFAULT 7,
  b_nalm INTEGER, b_dalm INTEGER, b_cualm INTEGER, b_pri INTEGER,
  b_cv INTEGER, b_hilim INTEGER, b_lolim INTEGER,
  extra TEXT NOT NULL DEFAULT '');
CREATE UNIQUE INDEX blocks_tag ON blocks(node COLLATE NOCASE, tag COLLATE NOCASE);
CREATE UNIQUE INDEX blocks_address ON blocks(node COLLATE NOCASE, letter, number);
CREATE TABLE alarms(
  id INTEGER PRIMARY KEY,
  type INTEGER NOT NULL DEFAULT 1,
  node TEXT NOT NULL DEFAULT '',
  physical TEXT NOT NULL DEFAULT '',
  tag TEXT NOT NULL DEFAULT '',
  letter TEXT NOT NULL DEFAULT '',
  number INTEGER NOT NULL DEFAULT 0,
  priority INTEGER NOT NULL DEFAULT 7,
  status INTEGER NOT NULL DEFAULT -1,
  value BLOB NOT NULL,
  description TEXT NOT NULL DEFAULT '',
  areas TEXT NOT NULL DEFAULT '',
  ext_kind INTEGER NOT NULL DEFAULT 0,
  ext1 TEXT NOT NULL DEFAULT '',
  ext2 TEXT NOT NULL DEFAULT '',
  field_block BLOB,
  acknowledged INTEGER NOT NULL DEFAULT 0,
  time_in INTEGER NOT NULL,
  time_last INTEGER NOT NULL,
  extra TEXT NOT NULL DEFAULT '');
CREATE UNIQUE INDEX alarms_block ON alarms(node COLLATE NOCASE, letter, number) WHERE type <> 8;
CREATE INDEX alarms_time ON alarms(time_in, id);
CREATE TABLE journal(
  id INTEGER PRIMARY KEY,
  time INTEGER NOT NULL,
  node TEXT NOT NULL DEFAULT '',
  text TEXT NOT NULL,
  flag INTEGER NOT NULL DEFAULT 0,
  extra TEXT NOT NULL DEFAULT '');
CREATE INDEX journal_time ON journal(time, id);
)sql";

// Version 2: shelving, and who acted.
constexpr const char* kMigrateV1ToV2 = R"sql(
ALTER TABLE alarms ADD COLUMN shelved_until INTEGER;
ALTER TABLE alarms ADD COLUMN shelve_reason TEXT NOT NULL DEFAULT '';
ALTER TABLE alarms ADD COLUMN shelved_by TEXT NOT NULL DEFAULT '';
ALTER TABLE journal ADD COLUMN user TEXT NOT NULL DEFAULT '';
CREATE INDEX alarms_shelved ON alarms(shelved_until) WHERE shelved_until IS NOT NULL;
)sql";

const std::vector<const char*>& Migrations() {
  // Migrations()[v - 1] takes a store from version v to v + 1.
  static const std::vector<const char*> steps = {kMigrateV1ToV2};
  return steps;
}

int64_t Nanos(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

TimePoint FromNanos(int64_t n) {
  return TimePoint(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(n)));
}

std::string Letter(char c) {
  return c ? std::string(1, c) : std::string();
}

// Lists of names, one a line; a backslash escapes itself and a newline.
std::string JoinAreas(const std::vector<std::string>& areas) {
  std::string out;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    if (i) out += '\n';
    for (char c : areas[i]) {
      if (c == '\\') {
        out += "\\\\";
      } else if (c == '\n') {
        out += "\\n";
      } else {
        out += c;
      }
    }
  }
  // One empty name must not read back as none.
  return areas.size() == 1 && areas[0].empty() ? std::string("\\e") : out;
}

std::vector<std::string> SplitAreas(const std::string& text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  if (text == "\\e") return {std::string()};
  out.emplace_back();
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\n') {
      out.emplace_back();
    } else if (c == '\\' && i + 1 < text.size()) {
      out.back() += text[++i] == 'n' ? '\n' : text[i];
    } else {
      out.back() += c;
    }
  }
  return out;
}

// Block fields are columns b_nalm .. b_lolim, in node::kFieldNames order;
// NULL where the plant gave none.
constexpr const char* kFieldColumns = "b_nalm, b_dalm, b_cualm, b_pri, b_cv, b_hilim, b_lolim";

using FieldValues = std::array<std::optional<int16_t>, node::kFieldCount>;

FieldValues FieldsOf(const std::map<std::string, int16_t>& fields) {
  FieldValues out;
  for (const auto& [name, value] : fields) {
    int i = node::FieldIndex(name);
    if (i >= 0) out[static_cast<std::size_t>(i)] = value;
  }
  return out;
}

std::map<std::string, int16_t> FieldMap(const FieldValues& values) {
  std::map<std::string, int16_t> out;
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (values[i]) out[node::kFieldNames[i]] = *values[i];
  }
  return out;
}

FieldValues ReadFields(const Statement& s, int first) {
  FieldValues out;
  for (std::size_t i = 0; i < out.size(); ++i) {
    int c = first + static_cast<int>(i);
    if (!s.IsNull(c)) out[i] = static_cast<int16_t>(s.Int(c));
  }
  return out;
}

void BindFields(Statement& s, int first, const FieldValues& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    int c = first + static_cast<int>(i);
    if (values[i]) {
      s.Bind(c, static_cast<int64_t>(*values[i]));
    } else {
      s.BindNull(c);
    }
  }
}

// A person's sentence for an SQLite failure on `path`.
StoreError Failure(const std::string& path, const sql::Error& e, bool writing) {
  StoreError err;
  int p = e.primary();
  // SQLITE_ERROR from our own statements means a table or column is not
  // what this program made: damage, not a failed write.
  if (p == SQLITE_NOTADB || p == SQLITE_CORRUPT || p == SQLITE_FORMAT || p == SQLITE_SCHEMA ||
      p == SQLITE_ERROR) {
    err.kind = StoreError::Kind::kInvalid;
    err.message = path + " is not a usable plant store: " + e.what();
  } else if (p == SQLITE_CANTOPEN && !writing) {
    err.kind = StoreError::Kind::kMissing;
    err.message = path + " cannot be opened: " + e.what();
  } else {
    err.kind = StoreError::Kind::kWrite;
    err.message = path + (writing ? " could not be written: " : ": ") + e.what() +
                  (writing ? " (nothing was changed)" : "");
  }
  return err;
}

void InsertNode(Database& db, const PlantNode& n, int position) {
  Statement s = db.Prepare(
      "INSERT INTO nodes(name, position, physical, aliases, serial, local, extra) "
      "VALUES(?,?,?,?,?,?,?)");
  s.Bind(1, n.name).Bind(2, position).Bind(3, n.physical.empty() ? n.name : n.physical);
  s.Bind(4, JoinAreas(n.aliases)).Bind(5, static_cast<int64_t>(n.serial));
  s.Bind(6, n.local ? 1 : 0).Bind(7, n.extra);
  s.Run();
}

// The statement that writes an alarm's whole state, shared by insert and update.
constexpr const char* kAlarmColumns =
    "type, node, physical, tag, letter, number, priority, status, value, description, areas, "
    "ext_kind, ext1, ext2, field_block, acknowledged, time_in, time_last, shelved_until, "
    "shelve_reason, shelved_by";

void BindAlarm(Statement& s, const PlantAlarm& a) {
  s.Bind(1, a.msgType).Bind(2, a.node).Bind(3, a.physical).Bind(4, a.tag);
  s.Bind(5, Letter(a.letter)).Bind(6, a.number).Bind(7, a.priority).Bind(8, a.status);
  s.BindBlob(9, &a.value, sizeof a.value);
  s.Bind(10, a.description).Bind(11, JoinAreas(a.areas)).Bind(12, a.extKind);
  s.Bind(13, a.ext1).Bind(14, a.ext2);
  if (a.extKind == 1) {
    s.BindBlob(15, a.fieldBlock.data(), a.fieldBlock.size());
  } else {
    s.BindNull(15);
  }
  s.Bind(16, a.acknowledged ? 1 : 0).Bind(17, Nanos(a.timeIn)).Bind(18, Nanos(a.timeLast));
  s.Bind(19, a.shelvedUntil ? std::optional<int64_t>(Nanos(*a.shelvedUntil)) : std::nullopt);
  s.Bind(20, a.shelveReason).Bind(21, a.shelvedBy);
}

Statement InsertAlarmStatement(Database& db) {
  return db.Prepare(std::string("INSERT INTO alarms(") + kAlarmColumns +
                    ", extra) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
}

Statement UpdateAlarmStatement(Database& db) {
  return db.Prepare(
      "UPDATE alarms SET type=?1, node=?2, physical=?3, tag=?4, letter=?5, number=?6, "
      "priority=?7, status=?8, value=?9, description=?10, areas=?11, ext_kind=?12, ext1=?13, "
      "ext2=?14, field_block=?15, acknowledged=?16, time_in=?17, time_last=?18, "
      "shelved_until=?19, shelve_reason=?20, shelved_by=?21 WHERE id=?22");
}

PlantAlarm ReadAlarm(const Statement& s, int first) {
  PlantAlarm a;
  a.msgType = static_cast<int32_t>(s.Int(first + 0));
  a.node = s.Text(first + 1);
  a.physical = s.Text(first + 2);
  a.tag = s.Text(first + 3);
  std::string letter = s.Text(first + 4);
  a.letter = letter.empty() ? '\0' : letter[0];
  a.number = static_cast<int16_t>(s.Int(first + 5));
  a.priority = static_cast<int16_t>(s.Int(first + 6));
  a.status = static_cast<int32_t>(s.Int(first + 7));
  std::string_view value = s.Blob(first + 8);
  std::memcpy(&a.value, value.data(), std::min(value.size(), sizeof a.value));
  a.description = s.Text(first + 9);
  a.areas = SplitAreas(s.Text(first + 10));
  a.extKind = static_cast<int16_t>(s.Int(first + 11));
  a.ext1 = s.Text(first + 12);
  a.ext2 = s.Text(first + 13);
  std::string_view block = s.Blob(first + 14);
  std::memcpy(a.fieldBlock.data(), block.data(), std::min(block.size(), a.fieldBlock.size()));
  a.acknowledged = s.Int(first + 15) != 0;
  a.timeIn = FromNanos(s.Int(first + 16));
  a.timeLast = FromNanos(s.Int(first + 17));
  if (!s.IsNull(first + 18)) a.shelvedUntil = FromNanos(s.Int(first + 18));
  a.shelveReason = s.Text(first + 19);
  a.shelvedBy = s.Text(first + 20);
  return a;
}

// A value of the store that import would refuse: the read ends there.
struct RowError {
  RowProblem problem;
};

using NodeNames = std::set<std::string>;  // upper case

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

constexpr int64_t kMaxTime = INT64_MAX;

// Statements whose rows are checked; column 0 is the row's id.
constexpr const char* kNodeSelect =
    "SELECT rowid, name, physical, aliases, serial, local, extra FROM nodes";
std::string BlockSelect() {
  return std::string(
             "SELECT id, node, tag, letter, number, description, areas, priority, extra, ") +
         kFieldColumns + " FROM blocks";
}
std::string AlarmSelect() {
  return std::string("SELECT id, ") + kAlarmColumns + ", extra FROM alarms";
}
constexpr const char* kJournalSelect =
    "SELECT id, time, node, text, flag, user, extra FROM journal";

// Each checks one row of its statement; problems go to `out`.
bool CheckNode(const Statement& q, std::vector<RowProblem>* out) {
  RowCheck c("nodes", q.Int(0), out);
  c.Text(q, 1, "name", 8, 0, 1);
  c.Text(q, 2, "physical", 8);
  c.Names(q, 3, "aliases", 64, 8);
  c.Int(q, 4, "serial", 0, UINT32_MAX);
  c.Int(q, 5, "local", 0, 1);
  c.Extra(q, 6, "extra");
  return c.ok();
}

bool CheckBlock(const Statement& q, const NodeNames& nodes, std::vector<RowProblem>* out) {
  RowCheck c("blocks", q.Int(0), out);
  c.Text(q, 1, "node", 8, 0, 1);
  if (c.ok() && !nodes.count(Upper(q.Text(1)))) c.Fail("node", "no such node in table nodes");
  c.Text(q, 2, "tag", 30, 0, 1);
  c.Text(q, 3, "letter", 1, 0, 1);
  c.Int(q, 4, "number", INT16_MIN, INT16_MAX);
  c.Text(q, 5, "description", 132);
  c.Names(q, 6, "areas", 15, 29);
  c.Priority(q, 7, "priority");
  c.Extra(q, 8, "extra");
  for (std::size_t f = 0; f < node::kFieldCount; ++f) {
    c.Int(q, 9 + static_cast<int>(f), "b_* field", INT16_MIN, INT16_MAX, true);
  }
  return c.ok();
}

// `nodes` holds the plant's node names and the local node's aliases.
bool CheckAlarm(const Statement& q, const NodeNames& nodes, std::vector<RowProblem>* out) {
  RowCheck c("alarms", q.Int(0), out);
  c.Int(q, 1, "type", INT32_MIN, INT32_MAX);
  bool message = c.ok() && q.Int(1) == 8;
  c.Text(q, 2, "node", 8, 0, message ? 0 : 1);
  if (c.ok() && !message && !nodes.count(Upper(q.Text(2)))) {
    c.Fail("node", "no such node in table nodes");
  }
  c.Text(q, 3, "physical", 8);
  c.Text(q, 4, "tag", 30, 0, message ? 0 : 1);
  c.Text(q, 5, "letter", 1, 0, message ? 0 : 1);
  c.Int(q, 6, "number", INT16_MIN, INT16_MAX);
  if (message) {
    c.Int(q, 7, "priority", INT16_MIN, INT16_MAX);
  } else {
    c.Priority(q, 7, "priority");
  }
  c.Int(q, 8, "status", INT32_MIN, INT32_MAX);
  c.Blob(q, 9, "value", sizeof(_AlmCanonicalValue));
  c.Text(q, 10, "description", 132);
  c.Names(q, 11, "areas", 15, 29);
  c.Int(q, 12, "ext_kind", INT16_MIN, INT16_MAX);
  c.Text(q, 13, "ext1", 80);
  c.Text(q, 14, "ext2", 80);
  bool fieldBlock = c.ok() && q.Int(12) == 1;
  c.Blob(q, 15, "field_block", PlantAlarm{}.fieldBlock.size(), !fieldBlock);
  c.Int(q, 16, "acknowledged", 0, 1);
  c.Int(q, 17, "time_in", 0, kMaxTime);
  c.Int(q, 18, "time_last", 0, kMaxTime);
  c.Int(q, 19, "shelved_until", 0, kMaxTime, true);
  c.Text(q, 20, "shelve_reason", 0, 132);
  c.Text(q, 21, "shelved_by", 0, 32);
  c.Extra(q, 22, "extra");
  return c.ok();
}

bool CheckJournal(const Statement& q, std::vector<RowProblem>* out) {
  RowCheck c("journal", q.Int(0), out);
  c.Int(q, 1, "time", 0, kMaxTime);
  c.Text(q, 2, "node", 8);
  c.Text(q, 3, "text", 0);
  c.Int(q, 4, "flag", INT32_MIN, INT32_MAX);
  c.Text(q, 5, "user", 0, 32);
  c.Extra(q, 6, "extra");
  return c.ok();
}

// Throws the first problem of a row that did not pass.
void Require(bool ok, std::vector<RowProblem>& problems) {
  if (!ok) throw RowError{problems.front()};
}

// Node names an alarm may carry: the plant's, and the local node's aliases.
NodeNames AlarmNodeNames(const std::vector<PlantNode>& nodes) {
  NodeNames out;
  for (const PlantNode& n : nodes) out.insert(Upper(n.name));
  Plant p;
  p.nodes = nodes;
  if (const PlantNode* local = p.LocalNode()) {
    for (std::size_t k = 0; k < local->aliases.size() && k < 2; ++k) {
      out.insert(Upper(local->aliases[k]));
    }
  }
  return out;
}

NodeNames DeclaredNodeNames(const std::vector<PlantNode>& nodes) {
  NodeNames out;
  for (const PlantNode& n : nodes) out.insert(Upper(n.name));
  return out;
}

// One alarm per block: the key of an alarm's block.
std::string BlockKey(const PlantAlarm& a) {
  return Upper(a.node) + "/" + Letter(a.letter) + std::to_string(a.number);
}

// The horn and the top-level unknown members, checked.
void CheckMeta(Database& db, std::vector<RowProblem>* out) {
  // Keyed by name, without row ids: the row is counted.
  Statement q = db.Prepare("SELECT key, value FROM meta ORDER BY key");
  for (int64_t row = 1; q.Step(); ++row) {
    std::string key = q.Text(0);
    std::string column = "value of " + key;
    RowCheck c("meta", row, out);
    if (key == "horn_enabled" || key == "horn_silenced") {
      c.Int(q, 1, column.c_str(), 0, 1);
    } else if (key == "extra") {
      c.Extra(q, 1, column.c_str(), 1);
    }
  }
}

// Journal entries with from <= time < to (nanoseconds), oldest first.
void ReadJournalRows(Database& db, int64_t from, int64_t to, std::vector<PlantLogEntry>* out) {
  Statement q =
      db.Prepare(std::string(kJournalSelect) + " WHERE time >= ?1 AND time < ?2 ORDER BY time, id");
  q.Bind(1, from).Bind(2, to);
  std::vector<RowProblem> problems;
  while (q.Step()) {
    Require(CheckJournal(q, &problems), problems);
    PlantLogEntry e;
    e.time = FromNanos(q.Int(1));
    e.node = q.Text(2);
    e.text = q.Text(3);
    e.flag = static_cast<int>(q.Int(4));
    e.user = q.Text(5);
    e.extra = q.Text(6);
    out->push_back(std::move(e));
  }
}

// The journal's words for a shelving whose time ran out.
std::string ShelvingEnded(char letter, int16_t number, const std::string& node) {
  return "Shelving of " + Letter(letter) + std::to_string(number) + node + " ended (time ran out)";
}

std::vector<PlantNode> ReadNodes(Database& db) {
  std::vector<PlantNode> out;
  Statement q = db.Prepare(std::string(kNodeSelect) + " ORDER BY position");
  std::vector<RowProblem> problems;
  NodeNames seen;
  while (q.Step()) {
    Require(CheckNode(q, &problems), problems);
    PlantNode n;
    n.name = q.Text(1);
    n.physical = q.Text(2);
    n.aliases = SplitAreas(q.Text(3));
    n.serial = static_cast<uint32_t>(q.Int(4));
    n.local = q.Int(5) != 0;
    n.extra = q.Text(6);
    if (!seen.insert(Upper(n.name)).second) {
      throw RowError{{"nodes", q.Int(0), "name", "node named twice"}};
    }
    out.push_back(std::move(n));
  }
  return out;
}

void WritePlant(Database& db, const Plant& plant) {
  for (std::size_t i = 0; i < plant.nodes.size(); ++i) {
    InsertNode(db, plant.nodes[i], static_cast<int>(i));
  }
  Statement block = db.Prepare(
      std::string("INSERT INTO blocks(node, tag, letter, number, description, areas, priority, "
                  "extra, ") +
      kFieldColumns + ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  for (const PlantBlock& b : plant.blocks) {
    block.Bind(1, b.node).Bind(2, b.tag).Bind(3, Letter(b.letter)).Bind(4, b.number);
    block.Bind(5, b.description).Bind(6, JoinAreas(b.areas)).Bind(7, b.priority);
    block.Bind(8, b.extra);
    BindFields(block, 9, FieldsOf(b.fields));
    block.Run();
  }
  Statement alarm = InsertAlarmStatement(db);
  for (const PlantAlarm& a : plant.alarms) {
    BindAlarm(alarm, a);
    alarm.Bind(22, a.extra);
    alarm.Run();
  }
  Statement log =
      db.Prepare("INSERT INTO journal(time, node, text, flag, user, extra) VALUES(?,?,?,?,?,?)");
  for (const PlantLogEntry& e : plant.log) {
    log.Bind(1, Nanos(e.time)).Bind(2, e.node).Bind(3, e.text).Bind(4, e.flag);
    log.Bind(5, e.user).Bind(6, e.extra);
    log.Run();
  }
  Statement meta = db.Prepare("INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
  meta.Bind(1, "horn_enabled").Bind(2, plant.hornEnabled ? 1 : 0);
  meta.Run();
  meta.Bind(1, "horn_silenced").Bind(2, plant.hornSilenced ? 1 : 0);
  meta.Run();
  meta.Bind(1, "extra").Bind(2, plant.extra);
  meta.Run();
}

void CreateSchema(Database& db) {
  db.Exec(kSchemaV1);
  db.Exec(Migrations()[0]);
  db.Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
  db.Exec("PRAGMA user_version = " + std::to_string(kStoreSchemaVersion));
}

// A sentence for a value the store must not hold.
StoreError Refusal(const std::string& path, const RowProblem& p) {
  return {StoreError::Kind::kInvalid, path + " holds a value this program would never write: " +
                                          p.Text() + "; nothing was changed (`tolvane --node " +
                                          path + " doctor` lists every such value)"};
}

void Configure(Database& db) {
  sqlite3_busy_timeout(db.handle(), kStoreBusyTimeoutMs);
  db.Exec("PRAGMA foreign_keys = ON");
  // A command that said it acknowledged must not lose it to a power cut.
  db.Exec("PRAGMA synchronous = FULL");
}

// `path` as the path of a file: URI (percent-encoding what a URI reserves).
std::string UriPath(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c <= 0x20 || c >= 0x7f) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// True when the first bytes are SQLite's header; a JSON plant is told
// apart before SQLite touches the file.
bool LooksLikeSqlite(const std::string& path, std::string* why) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = std::strerror(errno);
    return false;
  }
  char head[16] = {};
  ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  if (n == 16 && std::memcmp(head, "SQLite format 3\0", 16) == 0) return true;
  std::size_t i = 0;
  while (i < static_cast<std::size_t>(n > 0 ? n : 0) &&
         std::isspace(static_cast<unsigned char>(head[i])))
    ++i;
  *why = (n > 0 && i < static_cast<std::size_t>(n) && head[i] == '{')
             ? "it is a JSON plant document; make a store of it with `tolvane import " + path +
                   " --out plant.db`"
             : "file is not a database";
  return false;
}

}  // namespace

namespace store_checks {
void CreateSchemaForCheck(sql::Database& db) {
  CreateSchema(db);
}
}  // namespace store_checks

namespace {

// Stores this process has open, by file: their logs are live, and a raw
// descriptor of ours closed on one of their files would drop SQLite's locks.
struct OpenFiles {
  std::mutex mutex;
  std::multiset<std::pair<dev_t, ino_t>> files;
};
OpenFiles& Opened() {
  static OpenFiles* o = new OpenFiles;  // never destroyed: stores may outlive statics
  return *o;
}

bool DiskFull(const std::string& dir) {
  struct statvfs v {};
  return ::statvfs(dir.c_str(), &v) == 0 && v.f_bavail * v.f_frsize < (64u << 10);
}

// Removes PATH-shm when this process made it (it was not there before) and
// no connection holds it now.
void RemoveOwnShm(const std::string& path, bool existedBefore) {
  if (existedBefore) return;
  if (!store_checks::LookBeside(path).held) ::unlink((path + "-shm").c_str());
}

// Opens the store with its log as it stands, read-only: nothing is folded
// into the store. Empty when the result is a sound plant store.
std::string TrialRead(const std::string& path) {
  try {
    Database db("file:" + UriPath(path) + "?mode=ro", SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
    std::string check;
    // quick_check passes a log of a later copy over an older one (the
    // indexes then miss rows); the whole check is worth it, as this runs
    // only after a program died.
    Statement q = db.Prepare("PRAGMA integrity_check(1)");
    if (q.Step()) check = q.Text(0);
    if (check != "ok") return "with it, the store fails its check: " + check;
    if (db.QueryInt("PRAGMA application_id") != kApplicationId) {
      return "with it, the file is no plant store";
    }
    int64_t version = db.QueryInt("PRAGMA user_version");
    if (version < 1 || version > kStoreSchemaVersion) {
      return "with it, the store's version is " + std::to_string(version);
    }
    if (version == kStoreSchemaVersion) {
      std::string schema = store_checks::SchemaProblem(db);
      if (!schema.empty()) return "with it, " + schema;
    }
  } catch (const sql::Error& e) {
    return std::string("with it, the store cannot be read: ") + e.what();
  }
  return {};
}

}  // namespace

std::string LeftoverLogProblem(const std::string& path, bool* checked) {
  namespace sc = store_checks;
  if (checked) *checked = false;
  sc::Beside b = sc::LookBeside(path);
  if (b.journal && b.journalSize > 0) {
    return "a rollback journal (" + path +
           "-journal) lies beside it; this store never writes one, and SQLite would play it "
           "back into the store";
  }
  if (!b.wal || b.walSize == 0 || b.held) return {};
  sc::LogFacts log = sc::ReadLog(path);
  if (!log.wellFormed || log.commits == 0) return {};  // SQLite reads it as empty
  if (checked) *checked = true;
  uint32_t pageSize = 0;
  uint64_t pages = 0;
  if (!sc::StoreGeometry(path, &pageSize, &pages)) return "the store's header cannot be read";
  if (log.pageSize != pageSize) {
    return "its pages are " + std::to_string(log.pageSize) + " bytes, the store's " +
           std::to_string(pageSize) + ": it belongs to another database";
  }
  // The store never shrinks: a log that would cut it is not its own.
  if (log.pagesAfter < pages) {
    return "it would cut the store from " + std::to_string(pages) + " to " +
           std::to_string(log.pagesAfter) +
           " pages: it belongs to another database or an "
           "older copy of this one";
  }
  std::string trial = TrialRead(path);
  RemoveOwnShm(path, b.shm);
  return trial;
}

// --- the store ---

struct PlantStore::Impl {
  ~Impl() {
    db = Database();  // closed before the file is taken off the list
    if (registered) {
      std::lock_guard lock(Opened().mutex);
      auto it = Opened().files.find(file);
      if (it != Opened().files.end()) Opened().files.erase(it);
    }
  }
  Database db;
  std::pair<dev_t, ino_t> file{};
  bool registered = false;
  bool readIntent = false;  // query_only is on
  bool memory = false;
  bool readOnly = false;
  std::unique_ptr<sql::Transaction> txn;
  int64_t dataVersion = 0;

  // The loaded node and what the store knows of each of its alarms.
  node::EmbeddedNode* node = nullptr;
  struct Known {
    int64_t row = 0;  // 0: not in the store yet
    bool acknowledged = false;
    bool isAlarm = true;
    std::optional<TimePoint> shelvedUntil;
    std::string shelveReason, shelvedBy;
  };
  std::unordered_map<uint64_t, Known> known;  // by queue id
  // Filled by the queue's listener, under the queue's lock.
  std::mutex changedMutex;
  std::set<uint64_t> changed;
  bool hornEnabled = true, hornSilenced = false;
  std::vector<PlantLogEntry> pendingJournal;

  int64_t DataVersion() { return db.QueryInt("PRAGMA data_version"); }

  void Follow(node::EmbeddedNode& n) {
    node = &n;
    n.queue().SetChangeListener([this](uint64_t id) {
      std::lock_guard lock(changedMutex);
      changed.insert(id);
    });
  }

  std::set<uint64_t> TakeChanged() {
    std::lock_guard lock(changedMutex);
    return std::exchange(changed, {});
  }

  std::set<uint64_t> PeekChanged() {
    std::lock_guard lock(changedMutex);
    return changed;
  }
};

PlantStore::PlantStore(std::unique_ptr<Impl> impl, std::string path)
    : impl_(std::move(impl)), path_(std::move(path)) {}

PlantStore::~PlantStore() {
  Detach();
}

std::unique_ptr<PlantStore> PlantStore::Open(const std::string& path, StoreError* err,
                                             OpenFor intent) {
  std::string why;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    *err = {StoreError::Kind::kMissing, path + " cannot be opened: " + std::strerror(errno)};
    return nullptr;
  }
  std::pair<dev_t, ino_t> file{st.st_dev, st.st_ino};
  bool ownOpen = false;
  {
    std::lock_guard lock(Opened().mutex);
    ownOpen = Opened().files.count(file) > 0;
  }
  // Open here already, it is a store; and closing a descriptor of ours on
  // it would drop the locks of the connection that has it.
  if (!ownOpen && !LooksLikeSqlite(path, &why)) {
    bool unreadable = why != "file is not a database" && why.find("JSON") == std::string::npos;
    *err = {unreadable ? StoreError::Kind::kMissing : StoreError::Kind::kInvalid,
            path + (unreadable ? " cannot be read: " : " is not a plant store: ") + why};
    return nullptr;
  }
  // Permission bits count even for root: a plant someone made read-only
  // must not change. Its directory counts too, since the write-ahead log
  // lives beside it.
  namespace fs = std::filesystem;
  fs::path dir = fs::absolute(fs::path(path)).parent_path();
  struct stat dst {};
  bool dirWritable = ::stat(dir.c_str(), &dst) == 0 && (dst.st_mode & 0222) != 0 &&
                     ::access(dir.c_str(), W_OK) == 0;
  bool readOnly = (st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0 || !dirWritable;
  // The files beside the store are SQLite's, beside the file a symlink names.
  std::error_code ec;
  std::string real = fs::canonical(fs::path(path), ec).string();
  if (ec) real = path;
  // A log left by a program that died is folded into the store by the next
  // connection; first make sure it is this store's.
  store_checks::Beside beside;
  if (!ownOpen) {
    std::string problem = LeftoverLogProblem(real, nullptr);
    if (!problem.empty()) {
      *err = {StoreError::Kind::kInvalid,
              path + " cannot be trusted as it stands: " + problem +
                  ". Nothing was changed; `tolvane --node " + path +
                  " doctor` says more, and `doctor --recover` sets the files beside it aside"};
      return nullptr;
    }
    beside = store_checks::LookBeside(real);
  }
  std::string uri = "file:" + UriPath(path);
  if (readOnly) {
    uri += "?mode=ro";
    // Nobody may write it, and without a log beside it nobody is: reading
    // it as immutable leaves no log or shared-memory file behind.
    if (!fs::exists(path + "-wal")) uri += "&immutable=1";
  }
  auto impl = std::make_unique<Impl>();
  impl->readOnly = readOnly;
  try {
    impl->db = Database(
        uri, (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX);
    Configure(impl->db);
    int64_t app = impl->db.QueryInt("PRAGMA application_id");
    int64_t version = impl->db.QueryInt("PRAGMA user_version");
    if (app != kApplicationId) {
      *err = {StoreError::Kind::kInvalid,
              path + " is an SQLite database, but not a plant store (application id " +
                  std::to_string(app) + ")"};
      return nullptr;
    }
    if (version > kStoreSchemaVersion) {
      *err = {StoreError::Kind::kInvalid, path + " has store version " + std::to_string(version) +
                                              "; this program reads up to version " +
                                              std::to_string(kStoreSchemaVersion) +
                                              ": use a newer tolvane"};
      return nullptr;
    }
    if (version < 1) {
      *err = {StoreError::Kind::kInvalid, path + " is a plant store without a schema version"};
      return nullptr;
    }
    if (version < kStoreSchemaVersion && readOnly) {
      *err = {StoreError::Kind::kWrite, path + " has store version " + std::to_string(version) +
                                            " and is read-only, so it cannot be migrated"};
      return nullptr;
    }
    if (version < kStoreSchemaVersion) {
      sql::Transaction t(impl->db, true);
      // Another process may have migrated it while this one waited.
      version = impl->db.QueryInt("PRAGMA user_version");
      for (int64_t v = version; v < kStoreSchemaVersion; ++v) {
        impl->db.Exec(Migrations()[static_cast<std::size_t>(v - 1)]);
      }
      impl->db.Exec("PRAGMA user_version = " + std::to_string(kStoreSchemaVersion));
      t.Commit();
    }
    std::string schema = store_checks::SchemaProblem(impl->db);
    if (!schema.empty()) {
      *err = {StoreError::Kind::kInvalid,
              path + " is a damaged plant store: " + schema + "; nothing was changed"};
      return nullptr;
    }
    // A reader never writes: SQL that would is refused (closing may still
    // fold a finished log into the store, which changes no content).
    if (intent == OpenFor::kRead) {
      impl->db.Exec("PRAGMA query_only = 1");
      impl->readIntent = true;
    }
  } catch (const sql::Error& e) {
    impl->db = Database();
    bool full = (e.primary() == SQLITE_FULL || e.primary() == SQLITE_IOERR) && DiskFull(dir);
    if (full && !ownOpen) RemoveOwnShm(real, beside.shm);
    // On a full disk the shared-memory file cannot be made. With no log to
    // fold in, nobody can change the store either: read it as it is.
    if (full && intent == OpenFor::kRead && !ownOpen && (!beside.wal || beside.walSize == 0) &&
        !beside.held) {
      StoreError again;
      auto store = OpenImmutable(path, &again);
      if (store) return store;
    }
    *err = Failure(path, e, false);
    if (full) {
      err->kind = StoreError::Kind::kWrite;
      err->message = path + " cannot be opened: the disk holding it is full (" +
                     std::string(e.what()) + "); nothing was changed";
    }
    return nullptr;
  }
  impl->file = file;
  impl->registered = true;
  {
    std::lock_guard lock(Opened().mutex);
    Opened().files.insert(file);
  }
  return std::unique_ptr<PlantStore>(new PlantStore(std::move(impl), path));
}

std::unique_ptr<PlantStore> PlantStore::OpenImmutable(const std::string& path, StoreError* err) {
  auto impl = std::make_unique<Impl>();
  impl->readOnly = true;
  try {
    impl->db = Database("file:" + UriPath(path) + "?mode=ro&immutable=1",
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
    Configure(impl->db);
    if (impl->db.QueryInt("PRAGMA application_id") != kApplicationId ||
        impl->db.QueryInt("PRAGMA user_version") != kStoreSchemaVersion ||
        !store_checks::SchemaProblem(impl->db).empty()) {
      *err = {StoreError::Kind::kInvalid, path + " is not a current plant store"};
      return nullptr;
    }
  } catch (const sql::Error& e) {
    *err = Failure(path, e, false);
    return nullptr;
  }
  return std::unique_ptr<PlantStore>(new PlantStore(std::move(impl), path));
}

std::unique_ptr<PlantStore> PlantStore::InMemory(const Plant& plant, StoreError* err) {
  auto impl = std::make_unique<Impl>();
  impl->memory = true;
  try {
    impl->db = Database(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    Configure(impl->db);
    sql::Transaction t(impl->db, true);
    CreateSchema(impl->db);
    WritePlant(impl->db, plant);
    t.Commit();
  } catch (const sql::Error& e) {
    *err = Failure("(demo plant)", e, true);
    return nullptr;
  }
  return std::unique_ptr<PlantStore>(new PlantStore(std::move(impl), ":memory:"));
}

bool PlantStore::Create(const std::string& path, const Plant& plant, bool replace,
                        StoreError* err) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path target(path);
  // Written beside the target under a temporary name, then renamed over it:
  // the store appears whole or not at all.
  if (!replace && fs::exists(fs::symlink_status(target, ec))) {
    *err = {StoreError::Kind::kWrite, path + " already exists (give another --out, or --force)"};
    return false;
  }
  if (fs::is_symlink(fs::symlink_status(target, ec))) target = fs::canonical(target, ec);
  // Only a file is replaced: renaming over a device or a directory would
  // take its name.
  if (auto st = fs::symlink_status(target, ec); fs::exists(st) && !fs::is_regular_file(st)) {
    *err = {StoreError::Kind::kWrite,
            target.string() + " is not a regular file; it was left as it was"};
    return false;
  }
  fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  RemoveAbandonedStoreTemporaries(target.string());
  std::string tmp =
      (dir / ("." + target.filename().string() + ".new-" + std::to_string(::getpid()))).string();
  auto cleanup = [&] {
    fs::remove(tmp, ec);
    fs::remove(tmp + "-journal", ec);
    fs::remove(tmp + "-wal", ec);
    fs::remove(tmp + "-shm", ec);
  };
  cleanup();
  // Locked while this writer lives, so that nobody takes it for a leftover;
  // the kernel drops the lock when the writer dies.
  int lockFd = -1;
  struct CloseLock {
    int& fd;
    ~CloseLock() {
      if (fd >= 0) ::close(fd);
    }
  } closeLock{lockFd};
  for (int attempt = 0; lockFd < 0 && attempt < 100; ++attempt) {
    lockFd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (lockFd < 0) {
      *err = {StoreError::Kind::kWrite,
              path + " could not be written: " + tmp + ": " + std::strerror(errno)};
      return false;
    }
    struct stat a {
    }, b{};
    // Taken away as a leftover before we held it: make it again.
    if (::flock(lockFd, LOCK_EX) != 0 || ::fstat(lockFd, &a) != 0 ||
        ::lstat(tmp.c_str(), &b) != 0 || a.st_ino != b.st_ino || a.st_dev != b.st_dev) {
      ::close(lockFd);
      lockFd = -1;
    }
  }
  if (lockFd < 0) {
    *err = {StoreError::Kind::kWrite, path + " could not be written: " + tmp + " kept vanishing"};
    return false;
  }
  try {
    {
      Database db(tmp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
      sqlite3_busy_timeout(db.handle(), kStoreBusyTimeoutMs);
      db.Exec("PRAGMA foreign_keys = ON; PRAGMA journal_mode = DELETE");
      sql::Transaction t(db, true);
      CreateSchema(db);
      WritePlant(db, plant);
      t.Commit();
      db.Exec("PRAGMA journal_mode = WAL");
    }
    // The last connection is closed: no -wal or -shm is left beside it.
    int fd = ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::fsync(fd);
      ::close(fd);
    }
    // The log and index beside the file replaced are that file's: left
    // there, they would be folded into the new one. A store that another
    // program has open is not replaced under it.
    if (store_checks::LookBeside(target.string()).held) {
      throw std::runtime_error("it is open in another program; nothing was replaced");
    }
    for (const char* side : {"-wal", "-shm", "-journal"}) {
      ::unlink((target.string() + side).c_str());
    }
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
      throw sql::Error(SQLITE_IOERR, std::string("rename: ") + std::strerror(errno));
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
      ::fsync(dfd);
      ::close(dfd);
    }
  } catch (const sql::Error& e) {
    cleanup();
    StoreError f = Failure(path, e, true);
    if (f.kind == StoreError::Kind::kInvalid) f.kind = StoreError::Kind::kWrite;
    *err = f;
    return false;
  } catch (const std::exception& e) {
    cleanup();
    *err = {StoreError::Kind::kWrite, path + " could not be written: " + e.what()};
    return false;
  }
  return true;
}

std::size_t RemoveAbandonedStoreTemporaries(const std::string& path) {
  namespace fs = std::filesystem;
  fs::path target(path);
  fs::path dir = target.has_parent_path() ? target.parent_path() : fs::path(".");
  const std::string prefix = "." + target.filename().string() + ".new-";
  std::error_code ec;
  std::size_t removed = 0;
  std::vector<std::string> bases, sidecars;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rest = name.substr(prefix.size());
    std::size_t digits = rest.find_first_not_of("0123456789");
    if (digits == 0) continue;
    std::string suffix = digits == std::string::npos ? "" : rest.substr(digits);
    if (suffix.empty()) {
      bases.push_back((dir / name).string());
    } else if (suffix == "-journal" || suffix == "-wal" || suffix == "-shm") {
      sidecars.push_back((dir / name).string());
    }
  }
  for (const std::string& base : bases) {
    int fd = ::open(base.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat a {
    }, b{};
    // Unlocked: its writer is gone. The name is checked again under the lock.
    if (::fstat(fd, &a) == 0 && S_ISREG(a.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(base.c_str(), &b) == 0 && a.st_ino == b.st_ino && a.st_dev == b.st_dev &&
        ::unlink(base.c_str()) == 0) {
      ++removed;
      for (const char* side : {"-journal", "-wal", "-shm"}) ::unlink((base + side).c_str());
    }
    ::close(fd);
  }
  // The files of a database whose own file is gone belong to nobody.
  for (const std::string& side : sidecars) {
    std::string base = side.substr(0, side.rfind('-'));
    if (!fs::exists(fs::symlink_status(base, ec)) && ::unlink(side.c_str()) == 0) ++removed;
  }
  return removed;
}

// --- transactions ---

bool PlantStore::Begin(bool write, StoreError* err) {
  if (write && impl_->readOnly) {
    *err = {StoreError::Kind::kWrite,
            path_ + " is read-only (the file or its directory): nothing was changed"};
    return false;
  }
  try {
    // A store opened for reading writes only when asked to, here.
    if (write && impl_->readIntent) {
      impl_->db.Exec("PRAGMA query_only = 0");
      impl_->readIntent = false;
    }
    impl_->txn = std::make_unique<sql::Transaction>(impl_->db, write);
    // BEGIN is deferred for reads: take the snapshot now.
    impl_->db.QueryInt("SELECT count(*) FROM meta");
    return true;
  } catch (const sql::Error& e) {
    impl_->txn.reset();
    *err = Failure(path_, e, write);
    return false;
  }
}

bool PlantStore::InTransaction() const {
  return impl_->txn && impl_->txn->active();
}

void PlantStore::Rollback() {
  impl_->txn.reset();
  impl_->pendingJournal.clear();
}

bool PlantStore::ChangedElsewhere() {
  try {
    return impl_->DataVersion() != impl_->dataVersion;
  } catch (const sql::Error&) {
    return true;
  }
}

void PlantStore::Journal(const std::string& node, const std::string& text, TimePoint when) {
  PlantLogEntry e;
  e.time = when;
  e.node = node;
  e.text = text;
  e.user = user_;
  impl_->pendingJournal.push_back(std::move(e));
}

// What Load read from the store, checked, not yet in any node.
struct PlantStore::PreparedLoad {
  Plant skeleton;  // the nodes only
  struct Block {
    std::string node, tag;
    char letter = 0;
    int16_t number = 0;
    std::array<int16_t, node::kFieldCount> fields{};
  };
  std::vector<Block> blocks;
  std::vector<std::pair<int64_t, PlantAlarm>> alarms;  // by row id, in time-in order
  bool hornEnabled = true, hornSilenced = false;
  int64_t dataVersion = 0;
  TimePoint now{};
};

bool PlantStore::Load(node::EmbeddedNode& node, TimePoint now, StoreError* err,
                      const std::vector<BlockAddress>* only, const std::string* onlyNode) {
  Detach();
  impl_->known.clear();
  impl_->TakeChanged();
  std::shared_ptr<PreparedLoad> prepared = PrepareLoad(now, err, only, onlyNode);
  return prepared && LoadPrepared(node, *prepared, err);
}

std::shared_ptr<PlantStore::PreparedLoad> PlantStore::PrepareLoad(
    TimePoint now, StoreError* err, const std::vector<BlockAddress>* only,
    const std::string* onlyNode) {
  Impl& s = *impl_;
  auto out = std::make_shared<PreparedLoad>();
  out->now = now;
  try {
    Plant& skeleton = out->skeleton;
    skeleton.nodes = ReadNodes(s.db);
    const NodeNames declared = DeclaredNodeNames(skeleton.nodes);
    const NodeNames alarmNodes = AlarmNodeNames(skeleton.nodes);
    std::vector<RowProblem> problems;
    // With `only`, the blocks and alarms of those addresses; a name of the
    // local node's stands for its aliases too, as the queue reads it.
    std::vector<BlockAddress> wanted;
    if (only) {
      const PlantNode* local = skeleton.LocalNode();
      for (const BlockAddress& a : *only) {
        std::vector<std::string> names = {a.node};
        if (local) {
          std::vector<std::string> own = {local->name};
          own.insert(own.end(), local->aliases.begin(),
                     local->aliases.begin() + std::min<std::size_t>(2, local->aliases.size()));
          auto same = [&](const std::string& n) {
            return node::detail::CompareNoCase(n, a.node) == 0;
          };
          if (std::any_of(own.begin(), own.end(), same)) names = own;
        }
        for (const std::string& n : names) {
          // An address named twice (or by an alias too) is loaded once.
          bool again = std::any_of(wanted.begin(), wanted.end(), [&](const BlockAddress& w) {
            return w.letter == a.letter && w.number == a.number &&
                   node::detail::CompareNoCase(w.node, n) == 0;
          });
          if (!again) wanted.push_back({n, a.letter, a.number});
        }
      }
    }
    const char* match = onlyNode && !only
                             ? " WHERE node = ?1 COLLATE NOCASE"
                             : " WHERE node = ?1 COLLATE NOCASE AND letter = ?2 AND number = ?3";
    // Runs `q` once for everything, or once per wanted address.
    auto each = [&](Statement& q, auto&& row) {
      if (!only) {
        if (onlyNode) q.Bind(1, *onlyNode);
        while (q.Step()) row(q);
        return;
      }
      for (const BlockAddress& a : wanted) {
        q.Bind(1, a.node).Bind(2, Letter(a.letter)).Bind(3, a.number);
        while (q.Step()) row(q);
        q.Reset();
      }
    };
    {
      Statement q =
          s.db.Prepare(BlockSelect() + (only || onlyNode ? match : "") + " ORDER BY id");
      each(q, [&](Statement& q) {
        Require(CheckBlock(q, declared, &problems), problems);
        PreparedLoad::Block b;
        b.node = q.Text(1);
        b.tag = q.Text(2);
        std::string letter = q.Text(3);
        b.letter = letter.empty() ? '\0' : letter[0];
        b.number = static_cast<int16_t>(q.Int(4));
        FieldValues stored = ReadFields(q, 9);
        for (std::size_t f = 0; f < b.fields.size(); ++f) b.fields[f] = stored[f].value_or(0);
        out->blocks.push_back(std::move(b));
      });
    }

    Statement q = s.db.Prepare(AlarmSelect() +
                               (only || onlyNode ? std::string(match) + " AND type <> 8"
                                                 : std::string()) +
                               " ORDER BY time_in, id");
    std::vector<std::pair<int64_t, PlantAlarm>> rows;
    if (!only && onlyNode) q.Bind(1, *onlyNode);
    if (only) {
      each(q, [&](Statement& q) {
        Require(CheckAlarm(q, alarmNodes, &problems), problems);
        rows.emplace_back(q.Int(0), ReadAlarm(q, 1));
      });
      std::sort(rows.begin(), rows.end(), [](const auto& x, const auto& y) {
        return x.second.timeIn != y.second.timeIn ? x.second.timeIn < y.second.timeIn
                                                  : x.first < y.first;
      });
    }
    std::size_t next = 0;
    // One row at a time from the statement, or from the gathered rows.
    auto fetch = [&](int64_t* row, PlantAlarm* a) {
      if (only) {
        if (next == rows.size()) return false;
        *row = rows[next].first;
        *a = std::move(rows[next++].second);
        return true;
      }
      if (!q.Step()) return false;
      Require(CheckAlarm(q, alarmNodes, &problems), problems);
      *row = q.Int(0);
      *a = ReadAlarm(q, 1);
      return true;
    };
    int64_t rowId = 0;
    PlantAlarm a;
    std::map<std::string, int64_t> blocksWithAlarm;
    while (fetch(&rowId, &a)) {
      if (a.msgType != 8) {
        auto [it, fresh] = blocksWithAlarm.emplace(BlockKey(a), rowId);
        if (!fresh) {
          throw RowError{{"alarms", rowId, "number",
                          "a second alarm of block " + Letter(a.letter) + std::to_string(a.number) +
                              " on node " + a.node + "; it duplicates row " +
                              std::to_string(it->second)}};
        }
      }
      out->alarms.emplace_back(rowId, std::move(a));
      a = PlantAlarm{};
    }
    CheckMeta(s.db, &problems);
    if (!problems.empty()) throw RowError{problems.front()};
    out->hornEnabled = s.db.QueryInt(
                        "SELECT coalesce((SELECT value FROM meta WHERE key = "
                        "'horn_enabled'), 1)") != 0;
    out->hornSilenced = s.db.QueryInt(
                         "SELECT coalesce((SELECT value FROM meta WHERE key = "
                         "'horn_silenced'), 0)") != 0;
    out->dataVersion = s.DataVersion();
  } catch (const sql::Error& e) {
    *err = Failure(path_, e, false);
    return nullptr;
  } catch (const RowError& e) {
    *err = Refusal(path_, e.problem);
    return nullptr;
  }
  return out;
}

// A node filled from a PreparedLoad and what the store will know of it once
// adopted; after Adopt, what it knew of the node before.
struct PlantStore::FilledLoad {
  node::EmbeddedNode* node = nullptr;
  std::unordered_map<uint64_t, Impl::Known> known;
  std::set<uint64_t> changed;
  std::vector<PlantLogEntry> journal;
  bool hornEnabled = true, hornSilenced = false;
  int64_t dataVersion = 0;
};

std::shared_ptr<PlantStore::FilledLoad> PlantStore::FillPrepared(node::EmbeddedNode& node,
                                                                 const PreparedLoad& p,
                                                                 StoreError* err) {
  auto f = std::make_shared<FilledLoad>();
  f->node = &node;
  std::string why;
  if (!LoadNodesAndBlocks(p.skeleton, node, &why)) {
    *err = {StoreError::Kind::kRefused, path_ + " refused by the node: " + why};
    return nullptr;
  }
  node::ProcessDatabase& database = node.database();
  for (const PreparedLoad::Block& b : p.blocks) {
    if (!database.AddBlock(b.node, b.tag, b.letter, b.number, b.fields)) {
      *err = {StoreError::Kind::kRefused, path_ + " refused by the node: block " + b.tag +
                                              " cannot be added to node " + b.node};
      return nullptr;
    }
  }
  node::SummaryQueue& queue = node.queue();
  f->known.reserve(p.alarms.size());
  for (const auto& [rowId, a] : p.alarms) {
    Impl::Known k;
    k.row = rowId;
    k.acknowledged = a.acknowledged;
    k.isAlarm = a.msgType != 8;
    bool shelved = a.shelvedUntil && *a.shelvedUntil > p.now;
    if (shelved) {
      k.shelvedUntil = a.shelvedUntil;
      k.shelveReason = a.shelveReason;
      k.shelvedBy = a.shelvedBy;
    }
    uint64_t id = queue.Append(ToAlarmInput(a), a.timeIn, a.timeLast, shelved);
    if (id == 0) {
      *err = {StoreError::Kind::kRefused, path_ + ": the alarm queue ran out of memory"};
      return nullptr;
    }
    f->known.emplace(id, std::move(k));
    if (a.shelvedUntil && !shelved) {
      // Its time ran out while nobody held the plant: it ends now.
      PlantLogEntry e;
      e.time = *a.shelvedUntil;
      e.node = a.node;
      e.text = ShelvingEnded(a.letter, a.number, a.node);
      e.user = user_;
      f->journal.push_back(std::move(e));
      f->changed.insert(id);
    }
  }
  f->hornEnabled = p.hornEnabled;
  f->hornSilenced = p.hornSilenced;
  if (f->hornEnabled) {
    queue.HornEnable();
  } else {
    queue.HornDisable();
  }
  if (f->hornSilenced) queue.HornSquelch();
  node.alarmLibrary().ClearOperatorMessages();
  f->dataVersion = p.dataVersion;
  return f;
}

std::shared_ptr<PlantStore::FilledLoad> PlantStore::Adopt(std::shared_ptr<FilledLoad> f) {
  Impl& s = *impl_;
  node::EmbeddedNode* before = s.node;
  Detach();
  // Swapped, not copied: the old bookkeeping goes back with `f`.
  std::swap(s.known, f->known);
  {
    std::lock_guard lock(s.changedMutex);
    std::swap(s.changed, f->changed);
  }
  for (PlantLogEntry& e : f->journal) s.pendingJournal.push_back(std::move(e));
  f->journal.clear();
  s.hornEnabled = f->hornEnabled;
  s.hornSilenced = f->hornSilenced;
  s.dataVersion = f->dataVersion;
  node::EmbeddedNode& now = *f->node;
  f->node = before;
  // Changes from here on are the program's.
  s.Follow(now);
  return f;
}

bool PlantStore::LoadPrepared(node::EmbeddedNode& node, const PreparedLoad& p, StoreError* err) {
  std::shared_ptr<FilledLoad> filled = FillPrepared(node, p, err);
  if (!filled) return false;
  Adopt(std::move(filled));
  return true;
}

void PlantStore::Detach() {
  if (impl_ && impl_->node) {
    impl_->node->queue().SetChangeListener(nullptr);
    impl_->node = nullptr;
  }
}

ChangeSummary PlantStore::PendingChanges() const {
  ChangeSummary out;
  Impl& s = *impl_;
  if (!s.node) return out;
  for (uint64_t id : s.PeekChanged()) {
    auto it = s.known.find(id);
    node::SummaryQueue::HeldAlarm held;
    bool present = s.node->queue().Inspect(id, &held);
    bool isAlarm =
        present ? held.msg.almpak.msgType != 8 : (it != s.known.end() && it->second.isAlarm);
    if (!present) {
      if (it != s.known.end() && isAlarm) ++out.removed;
      continue;
    }
    if (it == s.known.end()) {
      ++(isAlarm ? out.raised : out.messages);
    } else if (!it->second.acknowledged && held.msg.ackFlag != 0) {
      ++out.acknowledged;
    } else {
      ++out.changed;
    }
  }
  return out;
}

std::size_t PlantStore::CountVisible(bool newOnly) const {
  Impl& s = *impl_;
  if (!s.node) return 0;
  std::size_t n = 0;
  node::SummaryQueue::HeldAlarm held;
  for (const auto& [id, k] : s.known) {
    if (!k.isAlarm || !s.node->queue().Inspect(id, &held) || held.suppressed) continue;
    if (held.msg.almpak.msgType == 8 || (newOnly && held.msg.ackFlag != 0)) continue;
    ++n;
  }
  return n;
}

bool PlantStore::Commit(StoreError* err) {
  Impl& s = *impl_;
  if (!InTransaction()) {
    *err = {StoreError::Kind::kWrite, path_ + ": no transaction to commit"};
    return false;
  }
  std::set<uint64_t> changed = s.TakeChanged();
  // What a failed commit leaves behind is put back, so a retry writes it.
  auto restore = [&] {
    std::lock_guard lock(s.changedMutex);
    s.changed.insert(changed.begin(), changed.end());
  };
  std::vector<std::pair<uint64_t, int64_t>> inserted;
  try {
    std::vector<node::OperatorMessageRecord> sent;
    if (s.node) {
      Statement insert = InsertAlarmStatement(s.db);
      Statement update = UpdateAlarmStatement(s.db);
      Statement remove = s.db.Prepare("DELETE FROM alarms WHERE id = ?");
      Statement blockGet = s.db.Prepare(
          std::string("SELECT id, ") + kFieldColumns +
          " FROM blocks WHERE node = ?1 COLLATE NOCASE AND letter = ?2 AND number = ?3");
      Statement blockSet = s.db.Prepare(
          "UPDATE blocks SET b_nalm=?1, b_dalm=?2, b_cualm=?3, b_pri=?4, b_cv=?5, b_hilim=?6, "
          "b_lolim=?7 WHERE id=?8");
      node::SummaryQueue& queue = s.node->queue();
      node::ProcessDatabase& database = s.node->database();
      for (uint64_t id : changed) {
        auto it = s.known.find(id);
        node::SummaryQueue::HeldAlarm held;
        if (!queue.Inspect(id, &held)) {
          if (it != s.known.end() && it->second.row != 0) {
            remove.Bind(1, it->second.row);
            remove.Run();
          }
          continue;
        }
        PlantAlarm a = AlarmFromMessage(held.msg, held.timeIn, held.timeLast);
        if (it != s.known.end() && held.suppressed) {
          a.shelvedUntil = it->second.shelvedUntil;
          a.shelveReason = it->second.shelveReason;
          a.shelvedBy = it->second.shelvedBy;
        }
        if (it != s.known.end() && it->second.row != 0) {
          BindAlarm(update, a);
          update.Bind(22, it->second.row);
          update.Run();
        } else {
          BindAlarm(insert, a);
          insert.Bind(22, std::string_view());
          insert.Run();
          inserted.emplace_back(id, s.db.LastInsertRowId());
        }
        if (a.msgType == 8) continue;
        // The block's fields move with its alarm (B_NALM on acknowledge, ...).
        auto rec = database.FindBlockAt(a.node, a.letter, a.number);
        if (!rec) continue;
        blockGet.Bind(1, a.node).Bind(2, Letter(a.letter)).Bind(3, a.number);
        if (blockGet.Step()) {
          int64_t blockId = blockGet.Int(0);
          FieldValues stored = ReadFields(blockGet, 1);
          FieldValues now = stored;
          for (std::size_t f = 0; f < node::kFieldCount; ++f) {
            if (stored[f] || rec->fields[f] != 0) now[f] = rec->fields[f];
          }
          blockGet.Reset();
          if (now != stored) {
            BindFields(blockSet, 1, now);
            blockSet.Bind(8, blockId);
            blockSet.Run();
          }
        } else {
          blockGet.Reset();
        }
      }
      bool enabled = queue.HornEnabled(), silenced = queue.HornSilenced();
      if (enabled != s.hornEnabled || silenced != s.hornSilenced) {
        Statement meta = s.db.Prepare("INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?)");
        meta.Bind(1, "horn_enabled").Bind(2, enabled ? 1 : 0);
        meta.Run();
        meta.Bind(1, "horn_silenced").Bind(2, silenced ? 1 : 0);
        meta.Run();
      }
      sent = s.node->alarmLibrary().OperatorMessages();
    }
    Statement log =
        s.db.Prepare("INSERT INTO journal(time, node, text, flag, user) VALUES(?,?,?,?,?)");
    for (const node::OperatorMessageRecord& m : sent) {
      log.Bind(1, Nanos(m.time)).Bind(2, m.node).Bind(3, m.text).Bind(4, m.flag).Bind(5, user_);
      log.Run();
    }
    for (const PlantLogEntry& e : s.pendingJournal) {
      log.Bind(1, Nanos(e.time)).Bind(2, e.node).Bind(3, e.text).Bind(4, e.flag).Bind(5, e.user);
      log.Run();
    }
    s.txn->Commit();
    s.txn.reset();
  } catch (const sql::Error& e) {
    s.txn.reset();
    restore();
    *err = Failure(path_, e, true);
    return false;
  }
  // Committed: the store now knows what the node holds.
  for (auto [id, row] : inserted) {
    Impl::Known k;
    k.row = row;
    s.known.emplace(id, k);
  }
  if (s.node) {
    node::SummaryQueue& queue = s.node->queue();
    for (uint64_t id : changed) {
      node::SummaryQueue::HeldAlarm held;
      auto it = s.known.find(id);
      if (!queue.Inspect(id, &held)) {
        if (it != s.known.end()) s.known.erase(it);
        continue;
      }
      if (it == s.known.end()) continue;
      it->second.acknowledged = held.msg.ackFlag != 0;
      it->second.isAlarm = held.msg.almpak.msgType != 8;
      if (!held.suppressed) it->second.shelvedUntil.reset();
    }
    s.hornEnabled = queue.HornEnabled();
    s.hornSilenced = queue.HornSilenced();
    s.node->alarmLibrary().ClearOperatorMessages();
  }
  s.pendingJournal.clear();
  // data_version moves only for other connections' commits: ours leave it.
  return true;
}

// --- shelving ---

bool PlantStore::Shelve(const std::string& nodeName, char letter, int16_t number, TimePoint until,
                        const std::string& reason, TimePoint now) {
  Impl& s = *impl_;
  if (!s.node) return false;
  uint64_t id = s.node->queue().IdOf(nodeName, letter, number);
  auto it = s.known.find(id);
  if (id == 0 || it == s.known.end() || !it->second.isAlarm) return false;
  it->second.shelvedUntil = until;
  it->second.shelveReason = reason;
  it->second.shelvedBy = user_;
  if (!s.node->queue().SetSuppressed(nodeName, letter, number, true)) return false;
  {
    // Also when it was shelved already: the new time and reason are written.
    std::lock_guard lock(s.changedMutex);
    s.changed.insert(id);
  }
  node::SummaryQueue::HeldAlarm held;
  std::string ref = Letter(letter) + std::to_string(number) + nodeName;
  if (s.node->queue().Inspect(id, &held)) {
    ref = Letter(letter) + std::to_string(number) + std::string(FieldText(held.msg.almpak.node));
  }
  Journal(nodeName,
          "Shelved " + ref + " until " + FormatUtc(until) +
              (reason.empty() ? std::string() : ": " + reason),
          now);
  return true;
}

bool PlantStore::Unshelve(const std::string& nodeName, char letter, int16_t number, TimePoint now) {
  Impl& s = *impl_;
  if (!s.node) return false;
  uint64_t id = s.node->queue().IdOf(nodeName, letter, number);
  auto it = s.known.find(id);
  if (id == 0 || it == s.known.end() || !it->second.shelvedUntil) return false;
  it->second.shelvedUntil.reset();
  if (!s.node->queue().SetSuppressed(nodeName, letter, number, false)) return false;
  {
    std::lock_guard lock(s.changedMutex);
    s.changed.insert(id);
  }
  Journal(nodeName, "Unshelved " + Letter(letter) + std::to_string(number) + nodeName, now);
  return true;
}

std::size_t PlantStore::EndExpiredShelves(TimePoint now) {
  Impl& s = *impl_;
  if (!s.node) return 0;
  std::size_t ended = 0;
  for (auto& [id, k] : s.known) {
    if (!k.shelvedUntil || *k.shelvedUntil > now) continue;
    node::SummaryQueue::HeldAlarm held;
    if (!s.node->queue().Inspect(id, &held)) continue;
    const _ALMPAK& p = held.msg.almpak;
    std::string node(FieldText(p.node));
    TimePoint until = *k.shelvedUntil;
    k.shelvedUntil.reset();
    s.node->queue().SetSuppressed(node, p.vsp.blockType, p.vsp.blockNumber, false);
    {
      std::lock_guard lock(s.changedMutex);
      s.changed.insert(id);
    }
    Journal(node, ShelvingEnded(p.vsp.blockType, p.vsp.blockNumber, node), until);
    ++ended;
  }
  return ended;
}

std::vector<ShelvedAlarm> PlantStore::Shelved() const {
  std::vector<ShelvedAlarm> out;
  Impl& s = *impl_;
  if (!s.node) return out;
  for (const auto& [id, k] : s.known) {
    if (!k.shelvedUntil) continue;
    node::SummaryQueue::HeldAlarm held;
    if (!s.node->queue().Inspect(id, &held) || !held.suppressed) continue;
    ShelvedAlarm a;
    a.alarm = AlarmFromMessage(held.msg, held.timeIn, held.timeLast);
    a.alarm.shelvedUntil = k.shelvedUntil;
    a.alarm.shelveReason = k.shelveReason;
    a.alarm.shelvedBy = k.shelvedBy;
    a.until = *k.shelvedUntil;
    out.push_back(std::move(a));
  }
  std::sort(out.begin(), out.end(), [](const ShelvedAlarm& a, const ShelvedAlarm& b) {
    return a.until != b.until ? a.until < b.until : a.alarm.timeIn < b.alarm.timeIn;
  });
  return out;
}

// --- reading ---

bool PlantStore::Read(Plant* out, StoreError* err) {
  Plant p;
  try {
    sql::Transaction t(impl_->db, false);
    p.nodes = ReadNodes(impl_->db);
    const NodeNames declared = DeclaredNodeNames(p.nodes);
    const NodeNames alarmNodes = AlarmNodeNames(p.nodes);
    std::vector<RowProblem> problems;
    {
      Statement q = impl_->db.Prepare(BlockSelect() + " ORDER BY id");
      while (q.Step()) {
        Require(CheckBlock(q, declared, &problems), problems);
        PlantBlock b;
        b.node = q.Text(1);
        b.tag = q.Text(2);
        std::string letter = q.Text(3);
        b.letter = letter.empty() ? '\0' : letter[0];
        b.number = static_cast<int16_t>(q.Int(4));
        b.description = q.Text(5);
        b.areas = SplitAreas(q.Text(6));
        b.priority = static_cast<int16_t>(q.Int(7));
        b.extra = q.Text(8);
        b.fields = FieldMap(ReadFields(q, 9));
        p.blocks.push_back(std::move(b));
      }
    }
    {
      Statement q = impl_->db.Prepare(AlarmSelect() + " ORDER BY time_in, id");
      std::map<std::string, int64_t> blocksWithAlarm;
      while (q.Step()) {
        Require(CheckAlarm(q, alarmNodes, &problems), problems);
        PlantAlarm a = ReadAlarm(q, 1);
        a.extra = q.Text(22);
        if (a.msgType != 8 && !blocksWithAlarm.emplace(BlockKey(a), q.Int(0)).second) {
          throw RowError{{"alarms", q.Int(0), "number",
                          "a second alarm of block " + Letter(a.letter) + std::to_string(a.number) +
                              " on node " + a.node}};
        }
        p.alarms.push_back(std::move(a));
      }
    }
    CheckMeta(impl_->db, &problems);
    if (!problems.empty()) throw RowError{problems.front()};
    ReadJournalRows(impl_->db, INT64_MIN, INT64_MAX, &p.log);
    p.hornEnabled = impl_->db.QueryInt(
                        "SELECT coalesce((SELECT value FROM meta WHERE key = "
                        "'horn_enabled'), 1)") != 0;
    p.hornSilenced = impl_->db.QueryInt(
                         "SELECT coalesce((SELECT value FROM meta WHERE key = "
                         "'horn_silenced'), 0)") != 0;
    Statement extra = impl_->db.Prepare("SELECT value FROM meta WHERE key = 'extra'");
    if (extra.Step()) p.extra = extra.Text(0);
  } catch (const sql::Error& e) {
    *err = Failure(path_, e, false);
    return false;
  } catch (const RowError& e) {
    *err = Refusal(path_, e.problem);
    return false;
  }
  *out = std::move(p);
  return true;
}

bool PlantStore::Counts(TimePoint now, StoreCounts* out, StoreError* err) {
  try {
    Statement q = impl_->db.Prepare(
        "SELECT count(*) FILTER (WHERE type <> 8), count(*) FILTER (WHERE type = 8), "
        "count(*) FILTER (WHERE type <> 8 AND acknowledged = 0), "
        "count(*) FILTER (WHERE type <> 8 AND shelved_until > ?1) FROM alarms");
    q.Bind(1, Nanos(now));
    q.Step();
    out->alarms = static_cast<std::size_t>(q.Int(0));
    out->operatorMessages = static_cast<std::size_t>(q.Int(1));
    out->unacknowledged = static_cast<std::size_t>(q.Int(2));
    out->shelved = static_cast<std::size_t>(q.Int(3));
    out->nodes = static_cast<std::size_t>(impl_->db.QueryInt("SELECT count(*) FROM nodes"));
    out->blocks = static_cast<std::size_t>(impl_->db.QueryInt("SELECT count(*) FROM blocks"));
    out->journal = static_cast<std::size_t>(impl_->db.QueryInt("SELECT count(*) FROM journal"));
  } catch (const sql::Error& e) {
    *err = Failure(path_, e, false);
    return false;
  }
  return true;
}

bool PlantStore::ReadJournal(std::optional<TimePoint> since, std::optional<TimePoint> until,
                             std::vector<PlantLogEntry>* out, StoreError* err) {
  try {
    ReadJournalRows(impl_->db, since ? Nanos(*since) : INT64_MIN, until ? Nanos(*until) : INT64_MAX,
                    out);
  } catch (const sql::Error& e) {
    *err = Failure(path_, e, false);
    return false;
  } catch (const RowError& e) {
    *err = Refusal(path_, e.problem);
    return false;
  }
  return true;
}

// --- health ---

bool DaemonHoldsStore(const std::string& path, std::string* detail) {
  // Each node's lock, as the daemons and the command line take it.
  std::vector<std::string> nodes;
  try {
    // Read-write with query_only where it may: a read-only connection would
    // leave the log files of a WAL store behind.
    namespace fs = std::filesystem;
    std::string uri = "file:" + UriPath(path);
    bool writable = ::access(path.c_str(), W_OK) == 0 &&
                    ::access(fs::path(path).parent_path().c_str(), W_OK) == 0;
    Database db(writable ? uri : uri + "?mode=ro",
                (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX);
    sqlite3_busy_timeout(db.handle(), kStoreBusyTimeoutMs);
    db.Exec("PRAGMA query_only = 1");
    Statement q = db.Prepare("SELECT name FROM nodes ORDER BY position");
    while (q.Step()) nodes.push_back(q.Text(0));
  } catch (const std::exception& e) {
    *detail = std::string("the nodes could not be read: ") + e.what();
    return false;
  }
  std::string held;
  for (const std::string& n : nodes) {
    if (std::optional<NodeHolder> h = HolderOf(path, n)) {
      held += (held.empty() ? "" : "; ") + n + " by " +
              (h->program.empty() ? std::string("another program") : h->program) +
              (h->pid ? " (pid " + std::to_string(h->pid) + ")" : "");
    }
  }
  *detail = held.empty() ? "no node is held by a running program" : "held: " + held;
  return !held.empty();
}

StoreHealth ExamineStore(const std::string& path, const ExamineOptions& options) {
  using Level = HealthFinding::Level;
  namespace fs = std::filesystem;
  StoreHealth h;
  auto say = [&](Level level, const std::string& topic, const std::string& detail) {
    h.findings.push_back({level, topic, detail});
    if (level == Level::kProblem && topic != "space") h.storeProblem = true;
    if (level == Level::kProblem && topic == "space") h.spaceProblem = true;
  };
  std::error_code ec;
  std::string real = fs::canonical(fs::path(path), ec).string();
  if (ec) {
    say(Level::kProblem, "file", path + " cannot be opened: " + ec.message());
    return h;
  }
  std::string why;
  if (!LooksLikeSqlite(real, &why)) {
    say(Level::kProblem, "file", path + " is not a plant store: " + why);
    return h;
  }

  // Leftovers of killed writers: ours by name, and held by no live writer.
  std::size_t removed = RemoveAbandonedStoreTemporaries(real) + RemoveAbandonedTemporaries(real);
  say(removed ? Level::kNote : Level::kOk, "leftovers",
      removed ? "removed " + std::to_string(removed) + " temporary files of killed writers"
              : "no temporary files of killed writers");

  store_checks::Beside beside = store_checks::LookBeside(real);
  bool checked = false;
  std::string problem = LeftoverLogProblem(real, &checked);
  if (!problem.empty() && options.recover) {
    // Set aside, not deleted: it may still be wanted by whoever knows it.
    std::string stamp = std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count());
    std::string moved;
    for (const char* side : {"-wal", "-shm", "-journal"}) {
      std::string from = real + side, to = real + side + ".aside-" + stamp;
      if (fs::exists(fs::symlink_status(from, ec)) && ::rename(from.c_str(), to.c_str()) == 0) {
        moved += (moved.empty() ? "" : ", ") + to;
      }
    }
    say(Level::kNote, "log",
        "did not fit the store (" + problem + "); set aside as " + moved +
            ": the store opens as it was without it");
    problem.clear();
    beside = store_checks::LookBeside(real);
  } else if (!problem.empty()) {
    say(Level::kProblem, "log",
        problem +
            "; `doctor --recover` sets it aside (the store then opens as it was "
            "without it)");
    return h;  // nothing beyond can be trusted with it there
  } else if (beside.held) {
    say(Level::kOk, "log", "the store is open in another program; its log is live");
  } else if (checked) {
    say(Level::kNote, "log",
        "a program that did not finish left a log; it fits the store and is folded in by the "
        "next command");
  } else {
    say(Level::kOk, "log", "no log or journal left beside the store");
  }

  try {
    std::string uri = "file:" + UriPath(real);
    bool writable = ::access(real.c_str(), W_OK) == 0 &&
                    ::access(fs::path(real).parent_path().c_str(), W_OK) == 0;
    Database db(writable ? uri : uri + "?mode=ro",
                (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX);
    sqlite3_busy_timeout(db.handle(), kStoreBusyTimeoutMs);
    db.Exec("PRAGMA query_only = 1");
    int64_t app = db.QueryInt("PRAGMA application_id");
    int64_t version = db.QueryInt("PRAGMA user_version");
    if (app != kApplicationId) {
      say(Level::kProblem, "file", "an SQLite database, but not a plant store");
      return h;
    }
    if (version > kStoreSchemaVersion || version < 1) {
      say(Level::kProblem, "file",
          "store version " + std::to_string(version) + "; this program reads 1 to " +
              std::to_string(kStoreSchemaVersion));
      return h;
    }
    say(version < kStoreSchemaVersion ? Level::kNote : Level::kOk, "file",
        "a plant store of version " + std::to_string(version) +
            (version < kStoreSchemaVersion ? " (migrated by the next command that changes it)"
                                           : ""));
    {
      Statement q = db.Prepare("PRAGMA integrity_check(10)");
      std::string found;
      while (q.Step()) found += (found.empty() ? "" : "; ") + q.Text(0);
      say(found == "ok" ? Level::kOk : Level::kProblem, "integrity",
          found == "ok" ? "integrity_check ok" : "integrity_check: " + found);
    }
    sql::Transaction t(db, false);
    std::string schema = version == kStoreSchemaVersion ? store_checks::SchemaProblem(db) : "";
    say(schema.empty() ? Level::kOk : Level::kProblem, "schema",
        schema.empty() ? "tables, columns and indexes as this program makes them" : schema);
    if (schema.empty() && version == kStoreSchemaVersion) {
      std::vector<RowProblem> problems;
      std::vector<PlantNode> nodes;
      {
        Statement q = db.Prepare(kNodeSelect);
        while (q.Step()) {
          if (CheckNode(q, &problems)) {
            PlantNode n;
            n.name = q.Text(1);
            n.aliases = SplitAreas(q.Text(3));
            n.local = q.Int(5) != 0;
            nodes.push_back(std::move(n));
          }
        }
      }
      NodeNames declared = DeclaredNodeNames(nodes), alarmNodes = AlarmNodeNames(nodes);
      std::size_t rows = nodes.size();
      {
        Statement q = db.Prepare(BlockSelect());
        for (; q.Step(); ++rows) CheckBlock(q, declared, &problems);
      }
      {
        Statement q = db.Prepare(AlarmSelect() + " ORDER BY id");
        std::map<std::string, int64_t> blocksWithAlarm;
        for (; q.Step(); ++rows) {
          if (!CheckAlarm(q, alarmNodes, &problems)) continue;
          PlantAlarm a = ReadAlarm(q, 1);
          if (a.msgType == 8) continue;
          auto [it, fresh] = blocksWithAlarm.emplace(BlockKey(a), q.Int(0));
          if (!fresh) {
            problems.push_back(
                {"alarms", q.Int(0), "number",
                 "a second alarm of its block; it duplicates row " + std::to_string(it->second)});
          }
        }
      }
      {
        Statement q = db.Prepare(kJournalSelect);
        for (; q.Step(); ++rows) CheckJournal(q, &problems);
      }
      CheckMeta(db, &problems);
      if (problems.empty()) {
        say(Level::kOk, "rows", "all " + std::to_string(rows) + " rows hold values import takes");
      } else {
        std::string list;
        for (std::size_t i = 0; i < problems.size() && i < options.rowsListed; ++i) {
          list += "\n    " + problems[i].Text();
        }
        if (problems.size() > options.rowsListed) {
          list += "\n    ... and " + std::to_string(problems.size() - options.rowsListed) + " more";
        }
        say(Level::kProblem, "rows",
            std::to_string(problems.size()) + " values this program would never write:" + list);
      }
    }
  } catch (const sql::Error& e) {
    say(Level::kProblem, "integrity", std::string("the store cannot be read: ") + e.what());
  }

  struct statvfs v {};
  std::string dir = fs::path(real).parent_path().string();
  if (::statvfs(dir.c_str(), &v) == 0) {
    uint64_t free = static_cast<uint64_t>(v.f_bavail) * v.f_frsize;
    uint64_t size = fs::file_size(real, ec);
    // A command that changes every alarm writes about the store again to its log.
    uint64_t need = size + (16u << 20);
    say(free < need ? Level::kProblem : Level::kOk, "space",
        std::to_string(free >> 20) + " MiB free beside the store (" + std::to_string(size >> 20) +
            " MiB)" + (free < need ? "; a command that changes every alarm may not fit" : ""));
  }
  std::string daemon;
  bool held = DaemonHoldsStore(real, &daemon);
  say(held ? Level::kNote : Level::kOk, "daemon", daemon);
  return h;
}

bool PlantStore::PutBlocks(const std::vector<PlantBlock>& blocks, StoreError* err) {
  if (impl_->readOnly) {
    *err = {StoreError::Kind::kWrite, path_ + " is read-only: its blocks cannot be added"};
    return false;
  }
  try {
    sql::Transaction t(impl_->db, true);
    Statement update = impl_->db.Prepare(
        "UPDATE blocks SET description=?1, areas=?2, priority=?3 "
        "WHERE node=?4 COLLATE NOCASE AND tag=?5 COLLATE NOCASE");
    Statement insert = impl_->db.Prepare(
        std::string("INSERT INTO blocks(node, tag, letter, number, description, areas, priority, "
                    "extra, ") +
        kFieldColumns + ") VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
    for (const PlantBlock& b : blocks) {
      update.Bind(1, b.description).Bind(2, JoinAreas(b.areas)).Bind(3, b.priority);
      update.Bind(4, b.node).Bind(5, b.tag);
      update.Run();
      if (sqlite3_changes(impl_->db.handle()) > 0) continue;
      insert.Bind(1, b.node).Bind(2, b.tag).Bind(3, Letter(b.letter)).Bind(4, b.number);
      insert.Bind(5, b.description).Bind(6, JoinAreas(b.areas)).Bind(7, b.priority);
      insert.Bind(8, b.extra);
      BindFields(insert, 9, FieldsOf(b.fields));
      insert.Run();
    }
    t.Commit();
    return true;
  } catch (const sql::Error& e) {
    *err = Failure(path_, e, true);
    return false;
  }
}

}  // namespace tolvane::plant
