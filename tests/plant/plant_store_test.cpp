// The plant store: what it keeps, what it refuses, and what it writes.
#include "plant/plant_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "plant/demo_plant.h"
#include "plant/plant_json.h"
#include "plant/plant_node.h"
#include "plant/sqlite.h"
#include "program_runner.h"
#include "tolvane/text_field.h"

namespace tolvane::plant {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

const TimePoint kNow = Clock::from_time_t(1765000000);

Plant SmallPlant() {
  DemoOptions d;
  d.nodes = 2;
  d.tags = 40;
  d.seed = 5;
  d.now = kNow;
  return MakeDemoPlant(d);
}

// One SQL value, read straight from the file.
int64_t Query(const std::string& path, const std::string& sql) {
  sql::Database db(path, SQLITE_OPEN_READONLY);
  return db.QueryInt(sql);
}

void Exec(const std::string& path, const std::string& sql) {
  sql::Database db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  db.Exec(sql);
}

std::string FirstNewAlarm(const Plant& p, PlantAlarm* out) {
  for (const PlantAlarm& a : p.alarms) {
    if (a.msgType != 8 && !a.acknowledged) {
      *out = a;
      return std::string(1, a.letter) + std::to_string(a.number) + a.node;
    }
  }
  return "";
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "plant.db").string();
    plant_ = SmallPlant();
    StoreError err;
    ASSERT_TRUE(PlantStore::Create(path_, plant_, false, &err)) << err.message;
  }

  std::unique_ptr<PlantStore> Open() {
    StoreError err;
    auto s = PlantStore::Open(path_, &err);
    EXPECT_TRUE(s) << err.message;
    return s;
  }

  TempDir dir_;
  std::string path_;
  Plant plant_;
};

TEST_F(StoreTest, WhatGoesInComesBackOut) {
  plant_.extra = R"({"site":"north"})";
  plant_.alarms[0].extra = R"({"note":"kept"})";
  plant_.log.push_back({kNow, "PLANT1", "line\nbreak", 3, "alice", ""});
  StoreError err;
  ASSERT_TRUE(PlantStore::Create(path_, plant_, true, &err)) << err.message;
  Plant back;
  ASSERT_TRUE(Open()->Read(&back, &err)) << err.message;
  // The exchange document is the yardstick: every member the format knows.
  EXPECT_EQ(SerializePlant(back, false, kNow), SerializePlant(plant_, false, kNow));
  EXPECT_EQ(back.log.back().user, "alice");

  // Only the finished file is there: no temporary, no WAL left behind.
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    names.push_back(e.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"plant.db"});
  EXPECT_FALSE(PlantStore::Create(path_, plant_, false, &err)) << "an existing store is kept";
  EXPECT_EQ(err.kind, StoreError::Kind::kWrite);
}

TEST_F(StoreTest, ForeignCorruptAndNewerFilesAreRefusedUntouched) {
  StoreError err;
  std::string json = (dir_ / "p.json").string();
  WriteFile(json, "{\"alarms\": []}");
  EXPECT_FALSE(PlantStore::Open(json, &err));
  EXPECT_EQ(err.kind, StoreError::Kind::kInvalid);
  EXPECT_NE(err.message.find("tolvane import"), std::string::npos) << err.message;

  std::string other = (dir_ / "other.db").string();
  Exec(other, "CREATE TABLE t(x)");
  EXPECT_FALSE(PlantStore::Open(other, &err));
  EXPECT_EQ(err.kind, StoreError::Kind::kInvalid);
  EXPECT_NE(err.message.find("not a plant store"), std::string::npos) << err.message;

  Exec(path_, "PRAGMA user_version = 99");
  std::string bytes = ReadFile(path_);
  EXPECT_FALSE(PlantStore::Open(path_, &err));
  EXPECT_EQ(err.kind, StoreError::Kind::kInvalid);
  EXPECT_NE(err.message.find("version 99"), std::string::npos) << err.message;
  EXPECT_EQ(ReadFile(path_), bytes);

  std::string torn = (dir_ / "torn.db").string();
  Exec(path_, "PRAGMA user_version = 2");
  std::string whole = ReadFile(path_);
  WriteFile(torn, whole.substr(0, 4096) + std::string(whole.size() - 4096, '\x5a'));
  auto s = PlantStore::Open(torn, &err);
  Plant p;
  bool read = s && s->Read(&p, &err);
  EXPECT_FALSE(read);
  EXPECT_EQ(err.kind, StoreError::Kind::kInvalid) << err.message;

  EXPECT_FALSE(PlantStore::Open((dir_ / "none.db").string(), &err));
  EXPECT_EQ(err.kind, StoreError::Kind::kMissing);
}

TEST_F(StoreTest, AnOlderSchemaIsMigratedOnOpen) {
  // A version 1 store: no shelving columns, no user in the journal.
  std::string old = (dir_ / "v1.db").string();
  {
    sql::Database db(old, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    sql::Database cur(path_, SQLITE_OPEN_READONLY);
    sql::Statement q = cur.Prepare(
        "SELECT sql FROM sqlite_master WHERE sql IS NOT NULL AND name NOT LIKE '%shelved%' "
        "ORDER BY rowid");
    while (q.Step()) {
      std::string ddl = q.Text(0);
      for (const char* drop :
           {", shelved_until INTEGER", ", shelve_reason TEXT NOT NULL DEFAULT ''",
            ", shelved_by TEXT NOT NULL DEFAULT ''", ", user TEXT NOT NULL DEFAULT ''"}) {
        auto at = ddl.find(drop);
        if (at != std::string::npos) ddl.erase(at, std::strlen(drop));
      }
      db.Exec(ddl);
    }
    db.Exec("INSERT INTO nodes(name, position, physical) VALUES('PLANT1', 0, 'PLANT1')");
    db.Exec("INSERT INTO journal(time, node, text) VALUES(1, 'PLANT1', 'old entry')");
    db.Exec("PRAGMA application_id = 1416588406; PRAGMA user_version = 1");
  }
  ASSERT_EQ(Query(old, "SELECT count(*) FROM pragma_table_info('journal') WHERE name='user'"), 0);
  StoreError err;
  auto s = PlantStore::Open(old, &err);
  ASSERT_TRUE(s) << err.message;
  EXPECT_EQ(Query(old, "PRAGMA user_version"), kStoreSchemaVersion);
  std::vector<PlantLogEntry> log;
  ASSERT_TRUE(s->ReadJournal(std::nullopt, std::nullopt, &log, &err)) << err.message;
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].text, "old entry");
  EXPECT_EQ(log[0].user, "");
}

TEST_F(StoreTest, OnlyWhatChangedIsWritten) {
  PlantAlarm target;
  std::string ref = FirstNewAlarm(plant_, &target);
  ASSERT_FALSE(ref.empty());
  // A mark made behind the store's back on every other alarm: a command that
  // rewrote rows it did not change would wipe it.
  Exec(path_, "UPDATE alarms SET extra = '{\"mark\":1}'");
  node::EmbeddedNode node;
  auto s = Open();
  StoreError err;
  ASSERT_TRUE(s->Begin(true, &err)) << err.message;
  ASSERT_TRUE(s->Load(node, kNow, &err)) << err.message;
  s->SetUser("bob");
  ASSERT_TRUE(node.queue().Acknowledge(target.node, target.letter, target.number));
  ChangeSummary c = s->PendingChanges();
  EXPECT_EQ(c.acknowledged, 1u);
  EXPECT_EQ(c.removed + c.raised + c.changed, 0u);
  ASSERT_TRUE(s->Commit(&err)) << err.message;
  s->Detach();

  EXPECT_EQ(Query(path_, "SELECT count(*) FROM alarms WHERE extra = '{\"mark\":1}'"),
            static_cast<int64_t>(plant_.alarms.size()));
  EXPECT_EQ(Query(path_, "SELECT acknowledged FROM alarms WHERE node = '" + target.node +
                             "' AND letter = '" + std::string(1, target.letter) +
                             "' AND number = " + std::to_string(target.number)),
            1);
  EXPECT_EQ(
      Query(path_, "SELECT count(*) FROM alarms WHERE acknowledged = 1"),
      static_cast<int64_t>(std::count_if(plant_.alarms.begin(), plant_.alarms.end(),
                                         [](const PlantAlarm& a) { return a.acknowledged; })) +
          1);
}

TEST_F(StoreTest, ANewNodeThatCannotBeFilledLeavesTheOldOneFollowed) {
  PlantAlarm target;
  std::string ref = FirstNewAlarm(plant_, &target);
  ASSERT_FALSE(ref.empty());
  node::EmbeddedNode old;
  auto s = Open();
  StoreError err;
  ASSERT_TRUE(s->Begin(false, &err)) << err.message;
  ASSERT_TRUE(s->Load(old, kNow, &err)) << err.message;
  s->Rollback();

  // Another program gives two nodes one serial: the store reads, the node refuses.
  const int64_t serial = Query(path_, "SELECT serial FROM nodes ORDER BY position DESC LIMIT 1");
  Exec(path_,
       "UPDATE nodes SET serial = (SELECT serial FROM nodes ORDER BY position LIMIT 1) "
       "WHERE position = (SELECT max(position) FROM nodes)");
  ASSERT_TRUE(s->Begin(false, &err)) << err.message;
  auto prepared = s->PrepareLoad(kNow, &err);
  ASSERT_TRUE(prepared) << err.message;
  {
    node::EmbeddedNode fresh(node::EmbeddedNode::Installing::kLater);
    EXPECT_FALSE(s->FillPrepared(fresh, *prepared, &err));
    EXPECT_EQ(err.kind, StoreError::Kind::kRefused);
    EXPECT_NE(err.message.find("serial"), std::string::npos) << err.message;
  }
  s->Rollback();
  Exec(path_, "UPDATE nodes SET serial = " + std::to_string(serial) +
                  " WHERE position = (SELECT max(position) FROM nodes)");

  // The old node is still the one followed: its change is committed.
  ASSERT_TRUE(s->Begin(true, &err)) << err.message;
  ASSERT_TRUE(old.queue().Acknowledge(target.node, target.letter, target.number));
  EXPECT_EQ(s->PendingChanges().acknowledged, 1u);
  ASSERT_TRUE(s->Commit(&err)) << err.message;
  EXPECT_EQ(Query(path_, "SELECT acknowledged FROM alarms WHERE node = '" + target.node +
                             "' AND letter = '" + std::string(1, target.letter) +
                             "' AND number = " + std::to_string(target.number)),
            1);

  // Filled beside and adopted, the new node is followed instead; the old
  // one no longer reports to the store.
  ASSERT_TRUE(s->Begin(true, &err)) << err.message;
  prepared = s->PrepareLoad(kNow, &err);
  ASSERT_TRUE(prepared) << err.message;
  node::EmbeddedNode fresh(node::EmbeddedNode::Installing::kLater);
  auto filled = s->FillPrepared(fresh, *prepared, &err);
  ASSERT_TRUE(filled) << err.message;
  EXPECT_EQ(fresh.queue().Size(), old.queue().Size());
  s->Adopt(filled);
  for (const PlantAlarm& a : plant_.alarms) old.queue().Clear(a.node, a.letter, a.number);
  ChangeSummary c = s->PendingChanges();
  EXPECT_EQ(c.removed + c.acknowledged + c.changed + c.raised, 0u);
  ASSERT_TRUE(s->Commit(&err)) << err.message;
  s->Detach();
  EXPECT_EQ(Query(path_, "SELECT count(*) FROM alarms"),
            static_cast<int64_t>(plant_.alarms.size()));
}

TEST_F(StoreTest, ACommandThatFailsLeavesTheStoreAsItWas) {
  std::string before = ReadFile(path_);
  {
    node::EmbeddedNode node;
    auto s = Open();
    StoreError err;
    ASSERT_TRUE(s->Begin(true, &err));
    ASSERT_TRUE(s->Load(node, kNow, &err));
    for (const PlantAlarm& a : plant_.alarms) node.queue().Clear(a.node, a.letter, a.number);
    s->Rollback();
    s->Detach();
  }
  Plant back;
  StoreError err;
  ASSERT_TRUE(Open()->Read(&back, &err));
  EXPECT_EQ(back.alarms.size(), plant_.alarms.size());
}

TEST_F(StoreTest, WritersTakeTurnsAndReadersNeverWait) {
  auto first = Open();
  auto second = Open();
  auto reader = Open();
  StoreError err;
  ASSERT_TRUE(first->Begin(true, &err)) << err.message;
  first->Journal("PLANT1", "first", kNow);
  // The second writer waits for the first; the reader does not.
  std::atomic<bool> secondBegan{false};
  std::thread t([&] {
    StoreError e;
    EXPECT_TRUE(second->Begin(true, &e)) << e.message;
    secondBegan = true;
    second->Journal("PLANT1", "second", kNow);
    EXPECT_TRUE(second->Commit(&e)) << e.message;
  });
  std::vector<PlantLogEntry> log;
  ASSERT_TRUE(reader->ReadJournal(std::nullopt, std::nullopt, &log, &err));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(secondBegan) << "a second writer must wait";
  ASSERT_TRUE(first->Commit(&err)) << err.message;
  t.join();
  log.clear();
  ASSERT_TRUE(reader->ReadJournal(std::nullopt, std::nullopt, &log, &err));
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[log.size() - 2].text, "first");
  EXPECT_EQ(log.back().text, "second");
  EXPECT_TRUE(reader->ChangedElsewhere());
}

TEST_F(StoreTest, ShelvingHidesAnAlarmUntilItsTimeRunsOut) {
  PlantAlarm target;
  ASSERT_FALSE(FirstNewAlarm(plant_, &target).empty());
  StoreError err;
  {
    node::EmbeddedNode node;
    auto s = Open();
    ASSERT_TRUE(s->Begin(true, &err));
    ASSERT_TRUE(s->Load(node, kNow, &err));
    s->SetUser("carol");
    ASSERT_TRUE(s->Shelve(target.node, target.letter, target.number, kNow + std::chrono::hours(1),
                          "sensor swap", kNow));
    EXPECT_FALSE(s->Shelve("NOWHERE", 'A', 1, kNow, "", kNow));
    ASSERT_TRUE(s->Commit(&err)) << err.message;
    s->Detach();
  }
  auto visible = [&](TimePoint at, std::vector<ShelvedAlarm>* shelved) {
    node::EmbeddedNode node;
    auto s = Open();
    StoreError e;
    EXPECT_TRUE(s->Begin(true, &e));
    EXPECT_TRUE(s->Load(node, at, &e));
    SUMQMSG msg{};
    bool seen =
        node.queue().FindVisible(target.number, target.letter, target.node.c_str(), &msg) == 0;
    *shelved = s->Shelved();
    EXPECT_TRUE(s->Commit(&e)) << e.message;
    s->Detach();
    return seen;
  };
  std::vector<ShelvedAlarm> shelved;
  EXPECT_FALSE(visible(kNow + std::chrono::minutes(30), &shelved));
  ASSERT_EQ(shelved.size(), 1u);
  EXPECT_EQ(shelved[0].alarm.shelvedBy, "carol");
  EXPECT_EQ(shelved[0].alarm.shelveReason, "sensor swap");
  StoreCounts counts;
  ASSERT_TRUE(Open()->Counts(kNow, &counts, &err));
  EXPECT_EQ(counts.shelved, 1u);

  // Past its time it is back, and the store says so for good.
  EXPECT_TRUE(visible(kNow + std::chrono::hours(2), &shelved));
  EXPECT_TRUE(shelved.empty());
  EXPECT_EQ(Query(path_, "SELECT count(*) FROM alarms WHERE shelved_until IS NOT NULL"), 0);
  std::vector<PlantLogEntry> log;
  ASSERT_TRUE(Open()->ReadJournal(kNow - std::chrono::seconds(1), std::nullopt, &log, &err));
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].user, "carol");
  EXPECT_NE(log[0].text.find("Shelved"), std::string::npos);
  EXPECT_NE(log[1].text.find("ended"), std::string::npos);
}

TEST_F(StoreTest, OperatorMessagesAndNewAlarmsReachTheStore) {
  StoreError err;
  node::EmbeddedNode node;
  auto s = Open();
  ASSERT_TRUE(s->Begin(true, &err));
  ASSERT_TRUE(s->Load(node, kNow, &err));
  s->SetUser("dave");
  node.alarmLibrary().SendOperatorMessage("Pump started", "PLANT1", 0);
  node::AlarmInput in;
  in.node = in.physicalNode = "PLANT2";
  in.tag = "NEW1";
  in.blockLetter = 'A';
  in.blockNumber = 31000;
  node.queue().Raise(in, kNow);
  ChangeSummary c = s->PendingChanges();
  EXPECT_EQ(c.raised, 1u);
  EXPECT_EQ(c.messages, 1u);
  ASSERT_TRUE(s->Commit(&err)) << err.message;
  // Committed twice: nothing new is written the second time.
  ASSERT_TRUE(s->Begin(true, &err));
  ASSERT_TRUE(s->Commit(&err));
  s->Detach();
  EXPECT_EQ(Query(path_, "SELECT count(*) FROM alarms WHERE tag = 'NEW1'"), 1);
  EXPECT_EQ(Query(path_,
                  "SELECT count(*) FROM journal WHERE text = 'Pump started' AND user = "
                  "'dave'"),
            1);
  EXPECT_EQ(Query(path_,
                  "SELECT count(*) FROM alarms WHERE type = 8 AND description = 'Pump "
                  "started'"),
            1);
}

}  // namespace
}  // namespace tolvane::plant

namespace tolvane::plant {
namespace {

TEST_F(StoreTest, ARefusedValueNamesItsPlaceWhereverTheStoreIsRead) {
  Exec(path_, "UPDATE blocks SET priority = 2 WHERE id = 3");
  auto s = Open();
  ASSERT_TRUE(s);
  const std::string place = "table blocks, row 3, column priority: unknown priority 2";
  StoreError err;
  Plant p;
  EXPECT_FALSE(s->Read(&p, &err));
  EXPECT_EQ(err.kind, StoreError::Kind::kInvalid);
  EXPECT_NE(err.message.find(place), std::string::npos) << err.message;
  node::EmbeddedNode node;
  ASSERT_TRUE(s->Begin(false, &err));
  EXPECT_FALSE(s->Load(node, kNow, &err));
  EXPECT_NE(err.message.find(place), std::string::npos) << err.message;
  s->Rollback();
  s.reset();

  // Loading only some alarms checks only their rows; the block named twice
  // is loaded once.
  Exec(path_, "UPDATE blocks SET priority = 7 WHERE id = 3");
  PlantAlarm a;
  ASSERT_FALSE(FirstNewAlarm(plant_, &a).empty());
  s = Open();
  node::EmbeddedNode few;
  std::vector<PlantStore::BlockAddress> only = {{a.node, a.letter, a.number},
                                                {a.node, a.letter, a.number}};
  ASSERT_TRUE(s->Begin(false, &err));
  EXPECT_TRUE(s->Load(few, kNow, &err, &only)) << err.message;
  EXPECT_EQ(s->CountVisible(false), 1u);
  s.reset();  // before the node it follows
}

TEST_F(StoreTest, AStoreOpenedForReadingWritesOnlyWhenAskedTo) {
  StoreError err;
  auto s = PlantStore::Open(path_, &err, PlantStore::OpenFor::kRead);
  ASSERT_TRUE(s) << err.message;
  int64_t before = Query(path_, "SELECT count(*) FROM journal");
  ASSERT_TRUE(s->Begin(false, &err));
  s->Journal("PLANT1", "from a reader", kNow);
  EXPECT_FALSE(s->Commit(&err)) << "a read transaction does not write";
  EXPECT_EQ(Query(path_, "SELECT count(*) FROM journal"), before);
  s->Rollback();  // the entry would otherwise wait for the next commit
  ASSERT_TRUE(s->Begin(true, &err)) << err.message;
  s->Journal("PLANT1", "asked to", kNow);
  EXPECT_TRUE(s->Commit(&err)) << err.message;
  EXPECT_EQ(Query(path_, "SELECT count(*) FROM journal"), before + 1);
}

TEST_F(StoreTest, AbandonedTemporariesGoAndHeldOnesStay) {
  auto name = [&](const std::string& rest) { return (dir_ / (".plant.db.new-" + rest)).string(); };
  WriteFile(name("11"), "x");
  WriteFile(name("11-journal"), "x");
  WriteFile(name("12-wal"), "orphan");
  WriteFile(name("x3"), "not ours");
  WriteFile(name("13"), "held");
  int fd = ::open(name("13").c_str(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  // The abandoned one (with its journal) and the orphaned log.
  EXPECT_EQ(RemoveAbandonedStoreTemporaries(path_), 2u);
  EXPECT_FALSE(std::filesystem::exists(name("11")));
  EXPECT_FALSE(std::filesystem::exists(name("11-journal")));
  EXPECT_FALSE(std::filesystem::exists(name("12-wal")));
  EXPECT_TRUE(std::filesystem::exists(name("x3")));
  EXPECT_TRUE(std::filesystem::exists(name("13")));
  ::close(fd);
  EXPECT_EQ(RemoveAbandonedStoreTemporaries(path_), 1u);
}

TEST_F(StoreTest, ALeftOverLogIsJudgedByItsFramesAndByTheStoreItMakes) {
  EXPECT_EQ(LeftoverLogProblem(path_, nullptr), "") << "none";
  std::string log;
  {
    // A writer that never closes: its log stays as a dead one's would.
    sql::Database db(path_, SQLITE_OPEN_READWRITE);
    db.Exec("PRAGMA wal_autocheckpoint = 0; UPDATE alarms SET acknowledged = 1");
    log = ReadFile(path_ + "-wal");
  }
  std::string store = ReadFile(path_);
  WriteFile(path_ + "-wal", log);
  bool checked = false;
  EXPECT_EQ(LeftoverLogProblem(path_, &checked), "") << "its own log fits";
  EXPECT_TRUE(checked);
  EXPECT_FALSE(std::filesystem::exists(path_ + "-shm")) << "the try leaves nothing";
  // A torn last frame: SQLite keeps the transactions before it.
  WriteFile(path_ + "-wal", log.substr(0, log.size() - 100));
  EXPECT_EQ(LeftoverLogProblem(path_, nullptr), "");
  // Another page size: another database's.
  std::string other = log;
  other[10] = static_cast<char>(0x20);  // 8192
  WriteFile(path_ + "-wal", other);
  EXPECT_EQ(LeftoverLogProblem(path_, nullptr), "") << "a header whose checksum fails is ignored";
  EXPECT_EQ(ReadFile(path_), store);
}

}  // namespace
}  // namespace tolvane::plant
