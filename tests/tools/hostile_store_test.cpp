// The program against stores it cannot trust: values and schemas changed
// behind its back, logs and journals that are not the store's, and inputs
// that would widen a command to every alarm. Each is refused with its exit
// code and words, and the store is left byte for byte as it was.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "program_runner.h"
#include "tools/cli.h"

namespace tolvane::cli {
namespace {

namespace fs = std::filesystem;
using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

// Runs SQL on a store the way anyone with the sqlite3 shell could.
void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* msg = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg);
  std::string why = msg ? msg : "";
  sqlite3_free(msg);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << why << "\n" << sql;
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class HostileStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    master_ = (*dir_ / "master.db").string();
    ProgramResult r =
        RunProgram({"demo", "--out", master_, "--nodes", "3", "--alarms", "300", "--seed", "5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  std::string Copy(const fs::path& dir) {
    std::string to = (dir / "plant.db").string();
    fs::copy_file(master_, to, fs::copy_options::overwrite_existing);
    return to;
  }

  static TempDir* dir_;
  static std::string master_;
};

TempDir* HostileStoreTest::dir_ = nullptr;
std::string HostileStoreTest::master_;

// The first alarm (not an operator message) of the store.
const char* kFirst = "(SELECT min(id) FROM alarms WHERE type <> 8)";

TEST_F(HostileStoreTest, TamperedValuesAndSchemasAreRefusedUntouched) {
  struct Case {
    std::string name;
    std::string sql;
    std::string says;  // part of the message
  };
  const std::string first = kFirst;
  const Case cases[] = {
      {"long description",
       "UPDATE alarms SET description = printf('%.*c', 10000, 'x') WHERE id = " + first,
       "column description: takes 10000 bytes; the field holds 132"},
      {"NUL in a text",
       "UPDATE alarms SET description = CAST(x'410042' AS TEXT) WHERE id = " + first,
       "column description: contains a NUL character"},
      {"block number past 16 bits", "UPDATE alarms SET number = 70000 WHERE id = " + first,
       "column number: 70000 is out of range -32768..32767"},
      {"a word for a time", "UPDATE alarms SET time_in = 'yesterday' WHERE id = " + first,
       "column time_in: not a whole number"},
      {"a time before 1970", "UPDATE alarms SET time_last = -5 WHERE id = " + first,
       "column time_last: -5 is out of range"},
      {"priority 99", "UPDATE alarms SET priority = 99 WHERE id = " + first,
       "column priority: unknown priority 99"},
      {"undeclared node", "UPDATE alarms SET node = 'NOWHERE' WHERE id = " + first,
       "column node: no such node in table nodes"},
      {"value of the wrong size", "UPDATE alarms SET value = x'00' WHERE id = " + first,
       "column value: not 94 bytes"},
      {"too many areas",
       "UPDATE alarms SET areas = 'a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\nm\nn\no\np' WHERE id = " +
           first,
       "column areas: 16 names; at most 15"},
      {"block letter of two bytes", "UPDATE blocks SET letter = 'AB' WHERE id = 1",
       "table blocks, row 1, column letter"},
      {"node name too long", "UPDATE nodes SET name = 'NINECHARS' WHERE position = 2",
       "table nodes"},
      {"horn that is no flag", "UPDATE meta SET value = 'yes' WHERE key = 'horn_enabled'",
       "table meta"},
      {"deep unknown members",
       "UPDATE alarms SET extra = '{\"k\": ' || printf('%.*c', 200000, '[') || "
       "printf('%.*c', 200000, ']') || '}' WHERE id = " +
           first,
       "column extra: not JSON within bounds"},
      {"two alarms on one block",
       "DROP INDEX alarms_block; INSERT INTO alarms(type, node, physical, tag, letter, number, "
       "priority, status, value, time_in, time_last) SELECT type, node, physical, tag, letter, "
       "number, priority, status, value, time_in, time_last FROM alarms WHERE id = " +
           first,
       "index alarms_block is missing"},
      {"a trigger", "CREATE TRIGGER t AFTER UPDATE ON alarms BEGIN SELECT 1; END",
       "it has a trigger (t)"},
      {"a dropped column", "ALTER TABLE alarms DROP COLUMN ext2",
       "table alarms has no column ext2"},
      {"a dropped table", "DROP TABLE journal", "table journal is missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir run;
    std::string path = Copy(run.path());
    Sql(path, c.sql);
    std::string bytes = ReadFile(path);
    for (std::vector<std::string> args :
         {std::vector<std::string>{"ack", "--all"}, {"export"}, {"list"}}) {
      args.insert(args.begin(), {"--node", path});
      ProgramResult r = RunProgram(args);
      EXPECT_EQ(r.exitCode, kExitNodeFileInvalid) << args[2] << ": " << r.err;
      EXPECT_NE(r.err.find(c.says), std::string::npos) << args[2] << ": " << r.err;
      EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
    EXPECT_EQ(ReadFile(path), bytes);
    EXPECT_EQ(Names(run.path()), std::vector<std::string>{"plant.db"});
    ProgramResult doctor = RunProgram({"--node", path, "doctor"});
    EXPECT_EQ(doctor.exitCode, kExitNodeFileInvalid) << doctor.out;
    EXPECT_EQ(ReadFile(path), bytes);
  }
}

// A connection of this process that writes and is never closed cleanly:
// its log stays as a killed program's would.
class HeldWriter {
 public:
  explicit HeldWriter(const std::string& path) {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    Exec("PRAGMA wal_autocheckpoint = 0");
  }
  ~HeldWriter() { sqlite3_close(db_); }
  void Exec(const std::string& sql) {
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  }

 private:
  sqlite3* db_ = nullptr;
};

int Alarms(const std::string& path) {
  ProgramResult r = RunProgram({"--node", path, "stats", "--format", "json"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  if (r.exitCode != 0) return -1;
  auto doc = nlohmann::json::parse(r.out);
  return doc["alarms"].get<int>() + doc["operatorMessages"].get<int>();
}

TEST_F(HostileStoreTest, ALeftOverLogIsFoldedInOnlyWhenItIsTheStores) {
  TempDir work;
  std::string path = Copy(work.path());
  int before = Alarms(path);

  // A killed writer's log: what it committed is kept.
  {
    TempDir killed;
    std::string store = Copy(killed.path());
    HeldWriter w(store);
    w.Exec("DELETE FROM alarms WHERE id IN (SELECT id FROM alarms WHERE type <> 8 LIMIT 7)");
    TempDir copy;
    fs::copy_file(store, copy / "plant.db");
    fs::copy_file(store + "-wal", copy / "plant.db-wal");
    EXPECT_EQ(Alarms((copy / "plant.db").string()), before - 7);
    EXPECT_EQ(Names(copy.path()), std::vector<std::string>{"plant.db"}) << "folded in, removed";
  }

  // The log of another database beside the store.
  {
    TempDir other;
    std::string foreign = (other / "other.db").string();
    HeldWriter w(foreign);
    w.Exec("PRAGMA journal_mode = WAL; CREATE TABLE t(x); INSERT INTO t VALUES (1)");
    fs::copy_file(foreign + "-wal", work / "plant.db-wal");
  }
  std::string bytes = ReadFile(path), log = ReadFile(path + "-wal");
  for (const char* cmd : {"list", "stats", "ack"}) {
    std::vector<std::string> args = {"--node", path, cmd};
    if (std::string(cmd) == "ack") args.push_back("--all");
    ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, kExitNodeFileInvalid) << cmd << ": " << r.err;
    EXPECT_NE(r.err.find("cannot be trusted as it stands"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("doctor --recover"), std::string::npos) << r.err;
  }
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(ReadFile(path + "-wal"), log);
  EXPECT_EQ(RunProgram({"--node", path, "doctor"}).exitCode, kExitNodeFileInvalid);
  ProgramResult recover = RunProgram({"--node", path, "doctor", "--recover"});
  EXPECT_EQ(recover.exitCode, 0) << recover.out << recover.err;
  EXPECT_EQ(ReadFile(path), bytes);
  EXPECT_EQ(Alarms(path), before) << "the store as it was before the log";

  // A rollback journal beside a store that never writes one.
  WriteFile(path + "-journal", std::string(4096, 'j'));
  ProgramResult r = RunProgram({"--node", path, "list"});
  EXPECT_EQ(r.exitCode, kExitNodeFileInvalid) << r.err;
  EXPECT_NE(r.err.find("rollback journal"), std::string::npos) << r.err;
}

TEST_F(HostileStoreTest, AStaleLogBesideARestoredBackupIsRefused) {
  TempDir work;
  std::string path = Copy(work.path());
  std::string backup = ReadFile(path);
  int before = Alarms(path);
  // The store moves on, then a writer dies with a log of the newer store.
  ASSERT_EQ(RunProgram({"--node", path, "remove", "--all", "--quiet", "--filter",
                        "ASF_NODE IN \"PLANT2\""})
                .exitCode,
            0);
  std::string log;
  {
    HeldWriter w(path);
    w.Exec("UPDATE alarms SET acknowledged = 1, description = 'changed ' || id");
    log = ReadFile(path + "-wal");
  }
  // The backup comes back; the dead writer's log is still there.
  WriteFile(path, backup);
  WriteFile(path + "-wal", log);
  fs::remove(path + "-shm");
  // Folded in, its pages would leave the indexes missing rows (quick_check
  // does not see that; integrity_check does).
  ProgramResult r = RunProgram({"--node", path, "stats", "--format", "json"});
  EXPECT_EQ(r.exitCode, kExitNodeFileInvalid) << r.err;
  EXPECT_NE(r.err.find("fails its check"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(path), backup);
  EXPECT_EQ(ReadFile(path + "-wal"), log);
  ASSERT_EQ(RunProgram({"--node", path, "doctor", "--recover"}).exitCode, 0);
  EXPECT_EQ(Alarms(path), before);
}

TEST_F(HostileStoreTest, EmptyInputsNeverMeanEveryAlarm) {
  TempDir run;
  std::string path = Copy(run.path());
  WriteFile(run / "empty.txt", "");
  WriteFile(run / "blank.txt", "  \n\n");
  fs::create_directory(run / "somedir");
  std::string bytes = ReadFile(path);
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const std::string dir = (run / "somedir").string();
  const std::string empty = (run / "empty.txt").string(), blank = (run / "blank.txt").string();
  const Case cases[] = {
      {{"--node", path, "remove", "--all", "--filter", "@" + dir}, "is a directory"},
      {{"--node", path, "remove", "--all", "--filter", "-"}, "on standard input is empty"},
      {{"--node", path, "ack", "--all", "--filter", "@" + empty}, "is empty"},
      {{"--node", path, "ack", "--all", "--filter", "@" + blank}, "is empty"},
      {{"--node", path, "ack", "--all", "--filter", ""}, "--filter is empty"},
      {{"--node", path, "list", "--filter", "@/dev/zero"}, "is larger than 262144 bytes"},
      {{"--node", path, "check", "@" + (run / "missing").string()}, "cannot be read"},
      {{"--node", path, "list", "--filter", "@"}, "give a file name"},
      {{"--node", "", "ack", "--all"}, "--node is empty"},
      {{"--node", "", "horn", "off"}, "--node is empty"},
      {{"--node", path, "remove", "A21PLANT1", "A21plant1"}, "A21plant1 is given twice"},
      {{"--node", path, "shelve", "A21PLANT1", "A21PLANT1", "--for", "1h"}, "given twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2] + " " + c.args.back());
    ProgramResult r = RunProgram(c.args);
    EXPECT_EQ(r.exitCode, kExitUsage) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(ReadFile(path), bytes);
  // --all alone still means every alarm.
  ProgramResult all = RunProgram({"--node", path, "ack", "--all", "--quiet"});
  EXPECT_EQ(all.exitCode, 0) << all.err;
}

TEST_F(HostileStoreTest, FilteredCommandsJournalWhatTheyDid) {
  TempDir run;
  std::string path = Copy(run.path());
  const std::string filter = "ASF_NODE IN \"PLANT2\"";
  ProgramResult ack = RunProgram({"--node", path, "ack", "--all", "--quiet", "--filter", filter});
  ASSERT_EQ(ack.exitCode, 0) << ack.err;
  ProgramResult removed = RunProgram({"--node", path, "remove", "--all", "--filter", filter});
  ASSERT_EQ(removed.exitCode, 0) << removed.err;
  ProgramResult log = RunProgram({"--node", path, "log"});
  ASSERT_EQ(log.exitCode, 0) << log.err;
  std::size_t n = 0;
  ASSERT_EQ(std::sscanf(removed.out.c_str(), "Removed %zu of", &n), 1) << removed.out;
  EXPECT_NE(
      log.out.find("Removed " + std::to_string(n) + " alarms selected by the filter " + filter),
      std::string::npos)
      << log.out;
  EXPECT_NE(log.out.find("alarms selected by the filter " + filter), log.out.rfind(filter))
      << "the acknowledge is journalled too";
}

TEST_F(HostileStoreTest, TextsThatWouldActOnATerminalAreEscapedEverywhere) {
  TempDir run;
  std::string path = Copy(run.path());
  // A title change and a clear-screen in the texts a command shows.
  Sql(path,
      "UPDATE alarms SET tag = 'T' || char(27) || ']0;x' || char(7), description = 'D' || "
      "char(27) || '[2J' || char(194, 155), acknowledged = 0 WHERE type <> 8; "
      "UPDATE journal SET text = 'J' || char(27) || '[2J'");
  WriteFile(run / "filter.txt", "ASF_TAGNAME = \"\x1b[2J");
  const std::vector<std::vector<std::string>> commands = {
      {"list"},
      {"list", "--format", "csv"},
      {"list", "--format", "json"},
      {"stats"},
      {"stats", "--format", "json"},
      {"log"},
      {"log", "--format", "json"},
      {"export"},
      {"check", "@" + (run / "filter.txt").string()},
  };
  for (std::vector<std::string> args : commands) {
    SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] + " " + args.back() : ""));
    args.insert(args.begin(), {"--node", path});
    ProgramResult r = RunProgram(args);
    EXPECT_LE(r.exitCode, kExitBadFilter) << r.err;
    for (const std::string* text : {&r.out, &r.err}) {
      EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
      EXPECT_EQ(text->find('\x07'), std::string::npos) << *text;
      EXPECT_EQ(text->find("\xC2\x9B"), std::string::npos) << *text;
    }
  }
}

TEST_F(HostileStoreTest, OutputsThatCannotBeWrittenAreRefusedBeforeTheWork) {
  TempDir run;
  std::string path = Copy(run.path());
  for (std::vector<std::string> args :
       {std::vector<std::string>{"export", path, "--out", "/dev/null"},
        {"export", path, "--out", (run / "no" / "such" / "dir.json").string()},
        {"demo", "--out", "/dev/null", "--force"},
        {"import", (run / "x.json").string(), "--out", "/dev/null", "--force"}}) {
    ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, kExitSaveFailed) << args[0] << ": " << r.err;
    EXPECT_EQ(r.out, "");
  }
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode)) << "never replaced";
}

}  // namespace
}  // namespace tolvane::cli
