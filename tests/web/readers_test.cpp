// Readers never wait on writers: page reads, counts, the shelved list and
// the journal answer while the store is busy (another program's write
// transaction, our own commit) and while the node is reloaded after
// another program's change.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "web_fixture.h"

namespace tolvane::web::testing {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Holds the first host step of one stage until released (bounded, so a
// failing test cannot hang the host).
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  std::string armed;
  bool entered = false, released = false;

  void Pass(const char* stage) {
    std::unique_lock<std::mutex> lock(m);
    if (armed != stage || entered) return;
    entered = true;
    cv.notify_all();
    cv.wait_for(lock, 20s, [&] { return released; });
  }
  // Holds the next pass of `stage` (a gate armed again starts afresh).
  void Arm(const std::string& stage) {
    std::lock_guard<std::mutex> lock(m);
    armed = stage;
    entered = released = false;
  }
  bool WaitEntered(std::chrono::seconds within) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, within, [&] { return entered; });
  }
  bool Held() {
    std::lock_guard<std::mutex> lock(m);
    return entered && !released;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(m);
    released = true;
    cv.notify_all();
  }
};

class ReadersTest : public WebFixture {
 protected:
  void SetUp() override {
    FixtureOptions o;
    o.storeFile = true;
    auto gate = gate_;
    o.pause = [gate](const char* stage) { gate->Pass(stage); };
    Start(o);
  }
  void TearDown() override {
    gate_->Release();
    WebFixture::TearDown();
  }

  // Every kind of read a page makes, each with a new filter so that its
  // counts are walked afresh, on a client of its own that gives up after
  // 10 s. Fails the test for a read that did not answer.
  void ExpectReadsAnswer(const std::string& cookie, const std::string& shelvedRef) {
    static int round = 0;
    static const char* kLevels[] = {"CRITICAL", "HIHI", "HIGH", "MEDIUM", "LOW", "LOLO", "INFO"};
    const std::string level = kLevels[round++ % 7];
    httplib::Client reader("127.0.0.1", port());
    reader.set_read_timeout(10);
    httplib::Headers h{{"Cookie", cookie}};
    struct Case {
      std::string path;
      std::function<void(const json&)> check;
    };
    const Case cases[] = {
        {"/api/alarms?count=100",
         [](const json& b) { EXPECT_GT(b["view"]["matched"].get<long>(), 0); }},
        {"/api/alarms?count=20&filter=ASF_PRIORITY%20%3E%3D%20%22" + level + "%22",
         [](const json& b) { EXPECT_TRUE(b.contains("view")); }},
        {"/api/shelved",
         [&](const json& b) {
           bool found = false;
           for (const json& s : b["shelved"]) found = found || s["ref"] == shelvedRef;
           EXPECT_TRUE(found) << b.dump();
         }},
        {"/api/journal?limit=50",
         [](const json& b) {
           bool shelve = false;
           for (const json& e : b["entries"]) {
             shelve = shelve || e["text"].get<std::string>().rfind("Shelved ", 0) == 0;
             EXPECT_NE(e["text"], "uncommitted") << "a reader saw another program's open work";
           }
           EXPECT_TRUE(shelve) << b.dump();
         }},
    };
    for (const Case& c : cases) {
      auto r = reader.Get(c.path, h);
      ASSERT_TRUE(r) << c.path << " did not answer while the store was busy";
      ASSERT_EQ(r->status, 200) << c.path << ": " << r->body;
      c.check(json::parse(r->body));
    }
  }

  // Shelves the second new alarm (so the shelved list and the journal have
  // something to show); its reference.
  std::string ShelveOne(ApiClient& c) {
    json page = Page(c);
    std::string ref;
    int seen = 0;
    for (const json& row : page["rows"]) {
      if (!row["ack"].get<bool>() && !row["message"].get<bool>() && ++seen == 2) {
        ref = row["ref"];
        break;
      }
    }
    EXPECT_FALSE(ref.empty());
    auto r = c.Post("/api/shelve",
                    json{{"refs", {ref}}, {"minutes", 30}, {"reason", "pump swap"}}.dump());
    EXPECT_TRUE(r && r->status == 200);
    return ref;
  }

  // Acknowledges `ref` on a client of its own; the status when done.
  std::thread AckInBackground(const ApiClient& c, const std::string& ref, std::atomic<int>* status) {
    return std::thread([this, cookie = c.cookie, csrf = c.csrf, ref, status] {
      ApiClient a(port());
      a.cookie = cookie;
      a.csrf = csrf;
      auto r = a.Post("/api/ack", json{{"refs", {ref}}}.dump());
      status->store(r ? r->status : -1);
    });
  }

  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
};

TEST_F(ReadersTest, ReadsAnswerWhileAnotherProgramHoldsAWriteTransaction) {
  auto c = Operator();
  std::string shelved = ShelveOne(*c);
  std::string ref = FirstNew(Page(*c));
  ASSERT_FALSE(ref.empty());

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(storePath_.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  ASSERT_EQ(sqlite3_exec(db,
                         "BEGIN IMMEDIATE; INSERT INTO journal(time, node, text, flag, user) "
                         "VALUES(0, '', 'uncommitted', 0, 'kim')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  std::atomic<int> ackStatus{0};
  std::thread acker = AckInBackground(*c, ref, &ackStatus);
  std::this_thread::sleep_for(300ms);  // the acknowledge is waiting for the lock

  ExpectReadsAnswer(c->cookie, shelved);
  // All answered while the transaction stood: the acknowledge still waits.
  EXPECT_EQ(ackStatus.load(), 0);

  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  acker.join();
  EXPECT_EQ(ackStatus.load(), 200);
  EXPECT_TRUE((*RowOf(Page(*c), ref))["ack"].get<bool>());
}

TEST_F(ReadersTest, ReadsAnswerWhileAnActionCommits) {
  auto c = Operator();
  std::string shelved = ShelveOne(*c);
  std::string ref = FirstNew(Page(*c));
  ASSERT_FALSE(ref.empty());

  gate_->Arm("commit");
  std::atomic<int> ackStatus{0};
  std::thread acker = AckInBackground(*c, ref, &ackStatus);
  ASSERT_TRUE(gate_->WaitEntered(10s));

  ExpectReadsAnswer(c->cookie, shelved);
  EXPECT_TRUE(gate_->Held());
  EXPECT_EQ(ackStatus.load(), 0);
  // The change is in memory already; the page shows it before it is kept.
  EXPECT_TRUE((*RowOf(Page(*c), ref))["ack"].get<bool>());

  gate_->Release();
  acker.join();
  EXPECT_EQ(ackStatus.load(), 200);
}

// Held after reading the store, and again after filling the new node
// beside the old one: pages answer from the old node either way.
TEST_F(ReadersTest, ReadsAnswerFromTheOldNodeWhileAnotherProgramsChangeIsReloaded) {
  auto c = Operator();
  std::string shelved = ShelveOne(*c);
  for (const char* stage : {"reload", "filled"}) {
    SCOPED_TRACE(stage);
    std::string theirs = FirstNew(Page(*c));
    ASSERT_FALSE(theirs.empty());

    gate_->Arm(stage);
    std::string cmd = std::string(TOLVANE_PROGRAM) + " --node " + storePath_ + " --user kim ack " +
                      theirs + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    // The server notices within a tick and reloads, then waits here.
    ASSERT_TRUE(gate_->WaitEntered(10s));

    ExpectReadsAnswer(c->cookie, shelved);
    EXPECT_TRUE(gate_->Held());
    EXPECT_FALSE((*RowOf(Page(*c), theirs))["ack"].get<bool>()) << "not the old node";

    gate_->Release();
    auto until = std::chrono::steady_clock::now() + 10s;
    bool shown = false;
    while (!shown && std::chrono::steady_clock::now() < until) {
      auto row = RowOf(Page(*c), theirs);
      shown = row && (*row)["ack"].get<bool>();
      if (!shown) std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(shown);
    // The shelve survived the reload, in the node and in the list.
    bool stillShelved = false;
    const json list = c->GetJson("/api/shelved");
    for (const json& s : list["shelved"]) {
      stillShelved = stillShelved || s["ref"] == shelved;
    }
    EXPECT_TRUE(stillShelved);
  }
}

// Another program leaves the store in a state the node refuses (two nodes
// with one serial): the old node goes on serving, a change is refused
// rather than lost, and once the store is put right changes are kept.
TEST_F(ReadersTest, AReloadTheNodeRefusesKeepsTheOldNodeAndLosesNothing) {
  auto c = Operator();
  std::string shelved = ShelveOne(*c);
  std::string ref = FirstNew(Page(*c));
  ASSERT_FALSE(ref.empty());
  const long before = Page(*c)["view"]["matched"].get<long>();

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(storePath_.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  auto exec = [&](const std::string& sql) {
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
  };
  auto query = [&](const char* sql) -> int64_t {
    sqlite3_stmt* q = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &q, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    int64_t v = sqlite3_step(q) == SQLITE_ROW ? sqlite3_column_int64(q, 0) : -1;
    sqlite3_finalize(q);
    return v;
  };
  const int64_t serial = query("SELECT serial FROM nodes ORDER BY position DESC LIMIT 1");
  const char* kAcknowledged = "SELECT count(*) FROM alarms WHERE acknowledged = 1 AND type <> 8";
  const int64_t acknowledged = query(kAcknowledged);

  gate_->Arm("filled");
  exec(
      "UPDATE nodes SET serial = (SELECT serial FROM nodes ORDER BY position LIMIT 1) "
      "WHERE position = (SELECT max(position) FROM nodes)");
  ASSERT_TRUE(gate_->WaitEntered(10s));
  gate_->Release();  // the fill failed; the reload ends here

  ExpectReadsAnswer(c->cookie, shelved);
  EXPECT_EQ(Page(*c)["view"]["matched"].get<long>(), before) << "not the old node";
  auto refused = c->Post("/api/ack", json{{"refs", {ref}}}.dump());
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 503) << refused->body;
  EXPECT_FALSE((*RowOf(Page(*c), ref))["ack"].get<bool>());

  exec("UPDATE nodes SET serial = " + std::to_string(serial) +
       " WHERE position = (SELECT max(position) FROM nodes)");
  auto kept = c->Post("/api/ack", json{{"refs", {ref}}}.dump());
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->status, 200) << kept->body;
  EXPECT_TRUE((*RowOf(Page(*c), ref))["ack"].get<bool>());
  // In the store file, as another program reads it.
  EXPECT_EQ(query(kAcknowledged), acknowledged + 1);
  sqlite3_close(db);
}

}  // namespace
}  // namespace tolvane::web::testing
