// The alarm API over a store of 100,000 alarms: every page of a view
// reachable, counts equal to the store's own SQL, acknowledge-all acting on
// exactly what it announced, and place tokens from clients taken as hostile.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>

#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "web/wire.h"
#include "web_fixture.h"

namespace tolvane::web::testing {
namespace {

using nlohmann::json;

constexpr long kAlarms = 100000;
constexpr const char* kNodeFilter = "ASF_NODE IN \"PLANT2\"";
constexpr const char* kNodeWhere = "node = 'PLANT2' COLLATE NOCASE";

// One store of 100,000 alarms, made once in the build tree and kept there
// (made under another name and renamed, so tests that start together agree);
// each test serves a copy.
const std::string& BigStore() {
  static const std::string path = [] {
    const std::string target = std::string(TOLVANE_WEB_BIG_STORE);
    if (std::filesystem::exists(target)) return target;
    plant::DemoOptions demo;
    demo.nodes = 10;
    demo.tags = static_cast<int>(kAlarms);
    demo.alarms = kAlarms;
    const std::string partial = target + "." + std::to_string(getpid());
    plant::StoreError err;
    std::filesystem::remove(partial);
    if (!plant::PlantStore::Create(partial, plant::MakeDemoPlant(demo), false, &err)) {
      ADD_FAILURE() << err.message;
      return std::string();
    }
    std::filesystem::rename(partial, target);
    return target;
  }();
  return path;
}

// The store file read with SQLite alone, read-only: what the API must agree with.
class Sql {
 public:
  explicit Sql(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
  }
  ~Sql() { sqlite3_close(db_); }
  long long Scalar(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    long long v = -1;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      v = sqlite3_column_int64(st, 0);
    } else {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
    }
    sqlite3_finalize(st);
    return v;
  }
  std::vector<std::string> Texts(const std::string& sql) {
    sqlite3_stmt* st = nullptr;
    std::vector<std::string> out;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
      return out;
    }
    while (sqlite3_step(st) == SQLITE_ROW) {
      out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
    return out;
  }
  // Alarms in view (operator messages and shelved alarms apart) where `where`.
  long long Alarms(const std::string& where) {
    return Scalar("SELECT count(*) FROM alarms WHERE type <> 8 AND shelved_until IS NULL AND " +
                  where);
  }
  std::set<std::string> Refs(const std::string& where) {
    auto v = Texts(
        "SELECT letter || number || upper(node) FROM alarms WHERE type <> 8 AND shelved_until IS "
        "NULL AND " +
        where);
    return {v.begin(), v.end()};
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Q(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.') {
      out += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    }
  }
  return out;
}

class ViewApiTest : public WebFixture {
 protected:
  void SetUp() override {
    ASSERT_FALSE(BigStore().empty()) << "the store of 100,000 alarms was not made";
    FixtureOptions o;
    o.storeCopyOf = BigStore();
    Start(o);
  }

  // Every page from the first on by the "next" token, then every page from
  // the last back by the "previous" one; the references of both walks.
  struct Walk {
    std::vector<std::string> forward, backward;  // alarms' references
    std::vector<json> rows;                     // every row, forward
    std::size_t pages = 0, steps = 0;
  };
  Walk WalkView(ApiClient& c, const std::string& query, bool back = true) {
    Walk w;
    json page = c.GetJson("/api/alarms?" + query + "&page=0");
    w.pages = page["pages"].get<std::size_t>();
    for (std::size_t guard = 0; guard <= w.pages + 1; ++guard) {
      ++w.steps;
      for (const json& r : page["rows"]) {
        w.rows.push_back(r);
        if (!r["message"].get<bool>()) w.forward.push_back(r["ref"]);
      }
      if (page["atEnd"].get<bool>()) break;
      page = c.GetJson("/api/alarms?" + query + "&after=" + page["last"].get<std::string>());
    }
    page = c.GetJson("/api/alarms?" + query + "&last=1");
    EXPECT_EQ(page["page"], w.pages - 1);
    if (!back) return w;
    for (std::size_t guard = 0; guard <= w.pages + 1; ++guard) {
      for (auto it = page["rows"].rbegin(); it != page["rows"].rend(); ++it) {
        if (!(*it)["message"].get<bool>()) w.backward.push_back((*it)["ref"]);
      }
      if (page["atStart"].get<bool>()) break;
      page = c.GetJson("/api/alarms?" + query + "&before=" + page["first"].get<std::string>());
    }
    std::reverse(w.backward.begin(), w.backward.end());
    return w;
  }
};

TEST_F(ViewApiTest, CountsOfTheSummaryAndOfAFilterEqualTheStoresOwn) {
  Sql sql(storePath_);
  auto c = Operator();
  for (const std::string& filter : {std::string(), std::string(kNodeFilter)}) {
    SCOPED_TRACE(filter);
    const std::string where = filter.empty() ? "1" : kNodeWhere;
    json page = c->GetJson("/api/alarms?count=100&filter=" + Q(filter));
    const json& view = page["view"];
    EXPECT_EQ(view["alarms"], sql.Alarms(where));
    EXPECT_EQ(view["new"], sql.Alarms(where + " AND acknowledged = 0"));
    EXPECT_EQ(view["messages"],
              sql.Scalar("SELECT count(*) FROM alarms WHERE type = 8 AND " + where));
    EXPECT_EQ(page["matched"], view["alarms"].get<long long>() + view["messages"].get<long long>());
    EXPECT_EQ(page["pages"], (page["matched"].get<long long>() + 99) / 100);
    for (const json& p : view["priorities"]) {
      EXPECT_EQ(p["alarms"], sql.Alarms(where + " AND priority = " + std::to_string(p["id"].get<int>())))
          << p["name"];
    }
    // The whole summary's counts come with every page, filtered or not.
    EXPECT_EQ(page["counts"]["alarms"], sql.Alarms("1"));
    EXPECT_EQ(page["counts"]["total"], sql.Scalar("SELECT count(*) FROM alarms"));
  }
  EXPECT_GE(sql.Alarms("1"), kAlarms);
}

TEST_F(ViewApiTest, EveryPageOfAFilteredViewIsReachableForwardBackAndByNumber) {
  Sql sql(storePath_);
  auto c = Operator();
  const std::string query = "sort=-3&count=250&filter=" + Q(kNodeFilter);
  Walk w = WalkView(*c, query);
  std::set<std::string> expected = sql.Refs(kNodeWhere);
  ASSERT_GT(expected.size(), 5000u);
  EXPECT_EQ(w.forward.size(), expected.size());  // no alarm twice
  EXPECT_EQ(std::set<std::string>(w.forward.begin(), w.forward.end()), expected);
  EXPECT_EQ(w.backward, w.forward);
  EXPECT_EQ(w.steps, w.pages);
  // Page numbers reach the same pages as the steps.
  for (std::size_t number : {std::size_t{1}, w.pages / 2, w.pages - 1}) {
    json byNumber = c->GetJson("/api/alarms?" + query + "&page=" + std::to_string(number));
    auto from = w.rows.begin() + static_cast<std::ptrdiff_t>(number * 250);
    auto to = w.rows.begin() + static_cast<std::ptrdiff_t>(std::min(w.rows.size(), number * 250 + 250));
    EXPECT_EQ(byNumber["rows"], json(std::vector<json>(from, to))) << "page " << number;
  }
  json past = c->GetJson("/api/alarms?" + query + "&page=" + std::to_string(w.pages));
  EXPECT_TRUE(past["rows"].empty());
  EXPECT_TRUE(past["atEnd"].get<bool>());
}

TEST_F(ViewApiTest, EveryAlarmOfTheWholeViewIsOnExactlyOnePage) {
  Sql sql(storePath_);
  auto c = Operator();
  Walk w = WalkView(*c, "sort=-1&count=1000", false);
  std::set<std::string> expected = sql.Refs("1");
  EXPECT_EQ(w.forward.size(), expected.size());
  EXPECT_EQ(std::set<std::string>(w.forward.begin(), w.forward.end()), expected);
  EXPECT_GT(w.pages, 100u);
}

TEST_F(ViewApiTest, TheOldestAlarmIsFoundByItsTagAndByJumpingToItsReference) {
  Sql sql(storePath_);
  auto c = Operator();
  std::string ref = sql.Texts(
      "SELECT letter || number || upper(node) FROM alarms WHERE type <> 8 ORDER BY time_in, id "
      "LIMIT 1")[0];
  std::string tag = sql.Texts(
      "SELECT tag FROM alarms WHERE type <> 8 ORDER BY time_in, id LIMIT 1")[0];
  json byTag = c->GetJson("/api/alarms?filter=" + Q("ASF_TAGNAME = \"" + tag + "\""));
  ASSERT_TRUE(RowOf(byTag, ref)) << tag;

  // Newest first: the oldest alarm is on the last page, its row marked.
  json jump = c->GetJson("/api/alarms?sort=-1&count=100&ref=" + ref);
  EXPECT_EQ(jump["page"], jump["pages"].get<int>() - 1);
  ASSERT_TRUE(jump.contains("focus"));
  EXPECT_EQ(jump["rows"][jump["focus"]["row"].get<std::size_t>()]["ref"], ref);

  EXPECT_EQ(c->Get("/api/alarms?ref=" + ref + "&filter=" + Q("ASF_NODE IN \"NOSUCH\""))->status,
            404);
  EXPECT_EQ(c->Get("/api/alarms?ref=A0" + ref.substr(1))->status, 400);
}

TEST_F(ViewApiTest, HostilePlaceTokensAndMixedPagingAreRefused) {
  auto c = Operator();
  json first = c->GetJson("/api/alarms?sort=-1&count=10");
  std::string good = first["last"];
  std::string place;
  ASSERT_TRUE(DecodePlace(good, &place));
  std::string random(200, '\x5a');
  std::string shortened = EncodePlace(place.substr(0, place.size() - 3));
  std::string key = place;
  key[1] = static_cast<char>(key[1] ^ 0x7f);
  struct Case {
    std::string query;
    int status;
  };
  for (const Case& k : std::vector<Case>{
           {"after=" + good, 200},
           {"after=!!!!", 400},                                   // not base64url
           {"after=" + std::string(kMaxPlaceToken + 1, 'A'), 400},  // too long
           {"before=" + EncodePlace(random), 400},                // not a place
           {"after=" + shortened, 400},                           // cut short
           {"after=" + EncodePlace(key), 400},                    // another sort key
           {"sort=3&after=" + good, 400},                         // of another sort
           {"after=" + good + "&page=2", 400},                    // two ways at once
           {"page=-1", 400},
           {"page=x", 400},
           {"ref=A1PLANT1&last=1", 400},
       }) {
    std::string q = k.query.rfind("sort=", 0) == 0 ? k.query : "sort=-1&" + k.query;
    auto r = c->Get("/api/alarms?count=10&" + q);
    ASSERT_TRUE(r) << k.query.substr(0, 60);
    EXPECT_EQ(r->status, k.status) << k.query.substr(0, 60) << ": " << r->body.substr(0, 200);
  }
}

TEST_F(ViewApiTest, AcknowledgeAllTellsTheNumberThenLeavesNoneOfThemNew) {
  Sql sql(storePath_);
  auto c = Operator();
  const std::string selectedNew = std::string(kNodeWhere) + " AND acknowledged = 0";
  const long long mine = sql.Alarms(selectedNew);
  const long long others = sql.Alarms("NOT " + std::string(kNodeWhere) + " AND acknowledged = 0");
  ASSERT_GT(mine, 1000);

  auto preview = c->Post("/api/ack-all/preview", json{{"filter", kNodeFilter}}.dump());
  ASSERT_EQ(preview->status, 200) << preview->body;
  EXPECT_EQ(json::parse(preview->body)["selected"], mine);

  // A number that is no longer true acts on nothing.
  auto stale =
      c->Post("/api/ack-all", json{{"filter", kNodeFilter}, {"expect", mine - 1}}.dump());
  ASSERT_EQ(stale->status, 409) << stale->body;
  EXPECT_EQ(json::parse(stale->body)["selected"], mine);
  EXPECT_EQ(c->Post("/api/ack-all", json{{"filter", kNodeFilter}}.dump())->status, 400);
  EXPECT_EQ(sql.Alarms(selectedNew), mine);

  auto done = c->Post("/api/ack-all", json{{"filter", kNodeFilter}, {"expect", mine}}.dump());
  ASSERT_EQ(done->status, 200) << done->body;
  json out = json::parse(done->body);
  EXPECT_EQ(out["selected"], mine);
  EXPECT_EQ(out["done"], mine);
  EXPECT_EQ(sql.Alarms(selectedNew), 0);
  EXPECT_EQ(sql.Alarms("NOT " + std::string(kNodeWhere) + " AND acknowledged = 0"), others);

  // Without a filter: every new alarm of the summary.
  json all = json::parse(c->Post("/api/ack-all/preview", "{}")->body);
  EXPECT_EQ(all["selected"], others);
  auto rest = c->Post("/api/ack-all", json{{"expect", others}}.dump());
  ASSERT_EQ(rest->status, 200) << rest->body;
  EXPECT_EQ(json::parse(rest->body)["done"], others);
  EXPECT_EQ(sql.Alarms("acknowledged = 0"), 0);
  EXPECT_EQ(json::parse(c->Post("/api/ack-all/preview", "{}")->body)["selected"], 0);
}

}  // namespace
}  // namespace tolvane::web::testing
