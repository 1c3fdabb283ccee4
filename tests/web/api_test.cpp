// The JSON API over HTTP: sign-in, sessions, CSRF, roles, bad input, and
// that actions reach the alarms through the manager.
#include "web/api.h"
#include "web/users.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "web_fixture.h"

namespace tolvane::web::testing {
namespace {

using nlohmann::json;

class ApiTest : public WebFixture {};

json Refs(const std::string& ref) {
  return json{{"refs", {ref}}};
}

TEST_F(ApiTest, SignInSetsAnHttpOnlySameSiteCookieAndWrongPasswordsAreRefused) {
  ApiClient anonymous(port());
  auto r = anonymous.Get("/api/alarms");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 401);

  ApiClient c(port());
  EXPECT_EQ(c.SignIn("olga", "not-her-password"), 401);
  EXPECT_EQ(c.SignIn("nobody", kOperatorPassword), 401);
  EXPECT_EQ(c.SignIn("olga", kOperatorPassword), 200);
  EXPECT_NE(c.setCookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(c.setCookie.find("SameSite=Strict"), std::string::npos);
  EXPECT_EQ(c.GetJson("/api/session")["role"], "operator");

  auto out = c.Post("/api/logout", "{}");
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, 200);
  EXPECT_EQ(c.Get("/api/alarms")->status, 401);
}

TEST_F(ApiTest, RepeatedFailedSignInsDelayThatNameOnThatConsoleOnly) {
  ApiClient c(port());
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c.SignIn("olga", "wrong-password"), 401);
  auto r = httplib::Client("127.0.0.1", port())
               .Post("/api/login", json{{"user", "olga"}, {"password", kOperatorPassword}}.dump(),
                     "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 429);
  EXPECT_EQ(r->get_header_value("Retry-After"), "1");  // the first wait is short, then they grow
  // Another user at the same address (the same console, or all of them
  // behind a proxy) is not held back.
  EXPECT_EQ(c.SignIn("vic", kViewerPassword), 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  EXPECT_EQ(c.SignIn("olga", kOperatorPassword), 200);
}

TEST_F(ApiTest, ARequestForAnotherHostNameIsRefused) {
  httplib::Client raw("127.0.0.1", port());
  for (const auto& [host, status] : std::vector<std::pair<std::string, int>>{
           {"127.0.0.1:" + std::to_string(port()), 200},
           {"localhost:" + std::to_string(port()), 200},
           {"evil.example:" + std::to_string(port()), 400},
           {"evil.example", 400},
           {"127.0.0.1.evil.example", 400},
       }) {
    auto r = raw.Get("/", httplib::Headers{{"Host", host}});
    ASSERT_TRUE(r) << host;
    EXPECT_EQ(r->status, status) << host;
  }
}

TEST_F(ApiTest, AcknowledgeNeedsTheSessionsCsrfTokenAndThenActsAndJournalsTheUser) {
  auto c = Operator();
  std::string ref = FirstNew(Page(*c));
  ASSERT_FALSE(ref.empty());
  std::string token = c->csrf;

  c->csrf.clear();
  EXPECT_EQ(c->Post("/api/ack", Refs(ref).dump())->status, 403);
  c->csrf = std::string(token.size(), '0');
  EXPECT_EQ(c->Post("/api/ack", Refs(ref).dump())->status, 403);
  EXPECT_FALSE((*RowOf(Page(*c), ref))["ack"].get<bool>());

  c->csrf = token;
  auto r = c->Post("/api/ack", Refs(ref).dump());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  EXPECT_TRUE((*RowOf(Page(*c), ref))["ack"].get<bool>());

  json journal = c->GetJson("/api/journal");
  ASSERT_FALSE(journal["entries"].empty());
  EXPECT_EQ(journal["entries"].back()["user"], "olga");
}

TEST_F(ApiTest, ARequestFromAnotherSiteIsRefused) {
  auto c = Operator();
  std::string ref = FirstNew(Page(*c));
  httplib::Client raw("127.0.0.1", port());
  httplib::Headers h{
      {"Cookie", c->cookie}, {"X-CSRF-Token", c->csrf}, {"Origin", "http://evil.example"}};
  auto r = raw.Post("/api/ack", h, Refs(ref).dump(), "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 403);
  auto signIn =
      raw.Post("/api/login", httplib::Headers{{"Origin", "http://evil.example"}},
               json{{"user", "olga"}, {"password", kOperatorPassword}}.dump(), "application/json");
  EXPECT_EQ(signIn->status, 403);
  EXPECT_FALSE((*RowOf(Page(*c), ref))["ack"].get<bool>());
}

TEST_F(ApiTest, AViewerSeesButEveryActionIsForbidden) {
  auto v = Viewer();
  json before = Page(*v);
  std::string ref = FirstNew(before);
  ASSERT_FALSE(ref.empty());
  for (const auto& [path, body] : std::vector<std::pair<std::string, json>>{
           {"/api/ack", Refs(ref)},
           {"/api/ack-all", json::object()},
           {"/api/delete", Refs(ref)},
           {"/api/shelve", {{"refs", {ref}}, {"minutes", 10}, {"reason", "test"}}},
           {"/api/horn", {{"action", "disable"}}}}) {
    auto r = v->Post(path, body.dump());
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << path;
  }
  json after = Page(*v);
  EXPECT_EQ(after["rows"], before["rows"]);
  EXPECT_EQ(after["horn"], before["horn"]);
}

TEST_F(ApiTest, BadBodiesGetA4xxAndChangeNothing) {
  auto c = Operator();
  json before = Page(*c);
  std::string ref = FirstNew(before);
  struct Case {
    std::string body, type;
    int status;
  };
  for (const Case& k : std::vector<Case>{
           {"{\"refs\": [", "application/json", 400},              // malformed
           {"[1, 2]", "application/json", 400},                    // not an object
           {Refs(ref).dump(), "text/plain", 415},                  // not JSON
           {json{{"refs", ref}}.dump(), "application/json", 400},  // not a list
           {json{{"refs", {ref, "A9999NOSUCH"}}}.dump(), "application/json", 404},
           {json{{"refs", {"A0" + ref.substr(1)}}}.dump(), "application/json", 400},
           {json{{"refs", {ref + " "}}}.dump(), "application/json", 400},
           {std::string(64 * 1024, ' '), "application/json", 413},  // oversized
           {Refs(ref).dump(), "application/jsonfoo", 415},         // not exactly JSON
           {Refs(ref).dump(), "text/json; x=application/json", 415},
           {std::string(200, '[') + std::string(200, ']'), "application/json", 400},  // deep
           {"{\"refs\": [\"" + ref + "\"], \"refs\": []}", "application/json", 400},  // twice
       }) {
    auto r = c->Post("/api/ack", k.body, k.type);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, k.status) << k.body.substr(0, 60);
    EXPECT_TRUE(json::parse(r->body, nullptr, false).contains("error")) << r->body;
  }
  EXPECT_EQ(Page(*c)["rows"], before["rows"]);  // the known one of the pair too
}

TEST_F(ApiTest, OversizedAndInvalidFiltersAreRefusedWithTheReason) {
  auto c = Operator();
  json before = Page(*c);
  std::string huge(100 * 1024, 'A');
  auto get = c->Get("/api/alarms?filter=" + huge);
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 414);  // the request line alone is over the 32 KiB a request head may take
  auto post = c->Post("/api/ack-all", json{{"filter", huge}}.dump());
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 413);
  auto long1 =
      c->Post("/api/ack-all", json{{"filter", std::string(kMaxFilterBytes + 1, 'A')}}.dump());
  EXPECT_EQ(long1->status, 400);

  auto bad =
      c->Post("/api/ack-all/preview", json{{"filter", "ASF_TAGNAME = \"FIC*\" AND"}}.dump());
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 400);
  json diag = json::parse(bad->body)["filter"];
  EXPECT_FALSE(diag["ok"].get<bool>());
  EXPECT_GE(diag["position"].get<int>(), 0);
  EXPECT_FALSE(diag["reason"].get<std::string>().empty());
  EXPECT_EQ(c->Post("/api/ack-all", json{{"filter", "ASF_TAGNAME = \"FIC*\" AND"}, {"expect", 1}}.dump())
                ->status,
            400);
  EXPECT_EQ(Page(*c)["rows"], before["rows"]);

  json check = c->GetJson("/api/check?filter=ASF_PRIORITY%20%3E%3D");
  EXPECT_FALSE(check["ok"].get<bool>());
  EXPECT_TRUE(c->GetJson("/api/check?filter=ASF_PRIORITY%20%3D%20%22HIGH%22")["ok"].get<bool>());

  for (const char* q : {"?sort=0", "?sort=14", "?sort=x", "?count=0", "?count=5000"}) {
    EXPECT_EQ(c->Get(std::string("/api/alarms") + q)->status, 400) << q;
  }
}

// The users file fails closed: whatever happens to it, no one signs in on
// what it no longer says, and sessions it no longer backs end within a second.
TEST_F(ApiTest, UsersFileChangesEndTheSessionsTheyNoLongerBack) {
  enum class Change { kDeleted, kBroken, kOlgaRemoved, kOlgaNowViewer };
  struct Case {
    Change change;
    int olgaSignIn;     // olga's sign-in after the change
    bool vicKeepsHers;  // vic's session survives
  };
  for (const Case& k : std::vector<Case>{{Change::kDeleted, 401, false},
                                         {Change::kBroken, 401, false},
                                         {Change::kOlgaRemoved, 401, true},
                                         {Change::kOlgaNowViewer, 200, true}}) {
    SCOPED_TRACE(static_cast<int>(k.change));
    std::filesystem::remove(usersFile_);
    std::string err;
    ASSERT_TRUE(AddUser(usersFile_, "vic", Role::kViewer, kViewerPassword, &err, HashCost::kMinimal));
    std::string vicOnly;
    {
      std::ifstream in(usersFile_);
      vicOnly.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_TRUE(
        AddUser(usersFile_, "olga", Role::kOperator, kOperatorPassword, &err, HashCost::kMinimal));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the server reads it again
    auto olga = Operator();
    auto vic = Viewer();
    ASSERT_EQ(olga->Get("/api/session")->status, 200);

    switch (k.change) {
      case Change::kDeleted:
        std::filesystem::remove(usersFile_);
        break;
      case Change::kBroken:
        std::ofstream(usersFile_, std::ios::app) << "this line is not a user\n";
        break;
      case Change::kOlgaRemoved: {
        std::string tmp = usersFile_ + ".new";
        std::ofstream(tmp) << vicOnly;
        std::filesystem::rename(tmp, usersFile_);
        break;
      }
      case Change::kOlgaNowViewer:
        ASSERT_TRUE(AddUser(usersFile_, "olga", Role::kViewer, kOperatorPassword, &err,
                            HashCost::kMinimal));
        break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(olga->Get("/api/session")->status, 401);
    EXPECT_EQ(vic->Get("/api/session")->status, k.vicKeepsHers ? 200 : 401);
    ApiClient again(port());
    EXPECT_EQ(again.SignIn("olga", kOperatorPassword), k.olgaSignIn);
    if (k.olgaSignIn == 200) {
      EXPECT_EQ(again.GetJson("/api/session")["role"], "viewer");
    }
  }
}

class ShortSessionTest : public WebFixture {
 protected:
  void SetUp() override {
    FixtureOptions o;
    o.sessionIdle = std::chrono::seconds(1);
    Start(o);
  }
};

TEST_F(ShortSessionTest, AnExpiredSessionIsRefusedForReadsAndActions) {
  auto c = Operator();
  std::string ref = FirstNew(Page(*c));
  std::this_thread::sleep_for(std::chrono::milliseconds(1300));
  EXPECT_EQ(c->Get("/api/alarms")->status, 401);
  EXPECT_EQ(c->Post("/api/ack", Refs(ref).dump())->status, 401);
  auto fresh = Operator();
  EXPECT_FALSE((*RowOf(Page(*fresh), ref))["ack"].get<bool>());
}

class StoreFileTest : public WebFixture {
 protected:
  void SetUp() override {
    FixtureOptions o;
    o.storeFile = true;
    Start(o);
  }
};

TEST_F(StoreFileTest, ActionsAreKeptInTheStoreAndOtherProgramsChangesAreShown) {
  auto c = Operator();
  json page = Page(*c);
  std::string mine = FirstNew(page);
  ASSERT_EQ(c->Post("/api/ack", Refs(mine).dump())->status, 200);
  json before = Page(*c);
  std::string theirs = FirstNew(before);
  ASSERT_FALSE(theirs.empty());

  // Another program acknowledges through the same store file.
  std::string cmd = std::string(TOLVANE_PROGRAM) + " --node " + storePath_ + " --user kim ack " +
                    theirs + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool shown = false;
  while (!shown && std::chrono::steady_clock::now() < until) {
    json now = Page(*c);
    shown = RowOf(now, theirs) && (*RowOf(now, theirs))["ack"].get<bool>();
    if (!shown) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(shown);
  json after = Page(*c);
  ASSERT_TRUE(RowOf(after, mine));
  EXPECT_TRUE((*RowOf(after, mine))["ack"].get<bool>());  // ours was kept across the reload
  // The counts kept up from our changes were dropped with the old node.
  EXPECT_EQ(after["counts"]["new"], before["counts"]["new"].get<int>() - 1);
  bool olga = false, kim = false;
  json journal = c->GetJson("/api/journal");
  for (const json& e : journal["entries"]) {
    olga = olga || e["user"] == "olga";
    kim = kim || e["user"] == "kim";
  }
  EXPECT_TRUE(olga);
  EXPECT_TRUE(kim);
}

TEST_F(StoreFileTest, PageReadsGoOnWhileAnotherProgramHoldsTheStoresWriteLock) {
  auto c = Operator();
  std::string ref = FirstNew(Page(*c));
  ASSERT_FALSE(ref.empty());
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(storePath_.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  ASSERT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  // An acknowledge now waits for the store's write lock ...
  int ackStatus = 0;
  std::thread acker([&] {
    ApiClient a(port());
    a.cookie = c->cookie;
    a.csrf = c->csrf;
    auto r = a.Post("/api/ack", Refs(ref).dump());
    ackStatus = r ? r->status : -1;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // ... while pages are read as before, each well within the time the
  // lock is still held.
  httplib::Client reader("127.0.0.1", port());
  reader.set_read_timeout(2);
  for (int i = 0; i < 5; ++i) {
    auto r = reader.Get("/api/alarms?count=100", httplib::Headers{{"Cookie", c->cookie}});
    ASSERT_TRUE(r) << "a page read waited for the other program's transaction";
    EXPECT_EQ(r->status, 200);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  acker.join();
  EXPECT_EQ(ackStatus, 200);
  EXPECT_TRUE((*RowOf(Page(*c), ref))["ack"].get<bool>());
}

class HttpsTest : public WebFixture {
 protected:
  void SetUp() override {
    if (std::system("command -v openssl >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "the openssl program is not installed (scripts/deps.sh installs it)";
    }
    char tmpl[] = "/tmp/tolvane-cert-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    certDir_ = tmpl;
    std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
        certDir_ + "/key.pem -out " + certDir_ + "/cert.pem >/dev/null 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    FixtureOptions o;
    o.certFile = certDir_ + "/cert.pem";
    o.keyFile = certDir_ + "/key.pem";
    Start(o);
  }
  void TearDown() override {
    WebFixture::TearDown();
    if (!certDir_.empty()) std::filesystem::remove_all(certDir_);
  }
  std::string certDir_;
};

TEST_F(HttpsTest, WithACertificateAndKeyTheServerSpeaksHttpsAndTheCookieIsSecure) {
  httplib::SSLClient c("127.0.0.1", port());
  c.enable_server_certificate_verification(false);
  c.set_read_timeout(10);
  auto page = c.Get("/");
  ASSERT_TRUE(page) << httplib::to_string(page.error());
  EXPECT_EQ(page->status, 200);
  EXPECT_FALSE(page->get_header_value("Strict-Transport-Security").empty());
  auto in = c.Post("/api/login", json{{"user", "olga"}, {"password", kOperatorPassword}}.dump(),
                   "application/json");
  ASSERT_TRUE(in);
  EXPECT_EQ(in->status, 200);
  EXPECT_NE(in->get_header_value("Set-Cookie").find("; Secure"), std::string::npos);
  // Plain HTTP on the same port gets no page.
  httplib::Client plain("127.0.0.1", port());
  plain.set_read_timeout(5);
  auto r = plain.Get("/");
  EXPECT_TRUE(!r || r->status != 200);
}

TEST_F(ApiTest, PagesFollowTheSortCodeCountAndFilter) {
  auto c = Operator();
  json up = c->GetJson("/api/alarms?sort=3&count=1000");
  json down = c->GetJson("/api/alarms?sort=-3&count=1000");
  ASSERT_GT(up["rows"].size(), 10u);
  // Priority ascending runs from INFO to CRITICAL; descending the other way.
  EXPECT_EQ(up["rows"].front()["priority"], "INFO");
  EXPECT_EQ(down["rows"].front()["priority"], "CRITICAL");
  EXPECT_EQ(up["rows"].size(), down["rows"].size());

  EXPECT_EQ(c->GetJson("/api/alarms?count=7")["rows"].size(), 7u);

  json plant2 = c->GetJson("/api/alarms?count=1000&filter=ASF_NODE%20IN%20%22PLANT2%22");
  ASSERT_FALSE(plant2["rows"].empty());
  for (const json& r : plant2["rows"]) EXPECT_EQ(r["node"], "PLANT2");
  // A filtered page is not cut to the rows of an unfiltered one.
  json few = c->GetJson("/api/alarms?count=3&filter=ASF_NODE%20IN%20%22PLANT2%22");
  EXPECT_EQ(few["rows"].size(), 3u);
}

TEST_F(ApiTest, AcknowledgeAllActsOnWhatTheFilterSelectsOnly) {
  auto c = Operator();
  const json filter = {{"filter", "ASF_NODE IN \"PLANT2\""}};
  json preview = json::parse(c->Post("/api/ack-all/preview", filter.dump())->body);
  ASSERT_GT(preview["selected"].get<int>(), 0) << preview;
  json body = filter;
  body["expect"] = preview["selected"];
  json out = json::parse(c->Post("/api/ack-all", body.dump())->body);
  EXPECT_EQ(out["selected"], preview["selected"]) << out;
  EXPECT_EQ(out["done"], preview["selected"]) << out;
  bool otherNew = false;
  json after = Page(*c);
  for (const json& r : after["rows"]) {
    if (r["message"].get<bool>()) continue;
    if (r["node"] == "PLANT2") {
      EXPECT_TRUE(r["ack"].get<bool>()) << r["ref"];
    }
    if (r["node"] != "PLANT2" && !r["ack"].get<bool>()) otherNew = true;
  }
  EXPECT_TRUE(otherNew);

  // Its operator message is a record of its own kind: a view narrowed to
  // messages or to alarms holds only that kind, the two together the whole.
  json all = c->GetJson("/api/alarms?count=1000&records=all");
  std::size_t kinds = 0;
  for (const char* records : {"alarms", "messages"}) {
    json page = c->GetJson(std::string("/api/alarms?count=1000&records=") + records);
    const bool messages = std::string(records) == "messages";
    for (const json& r : page["rows"]) EXPECT_EQ(r["message"].get<bool>(), messages) << records;
    EXPECT_EQ(page["matched"], page["rows"].size()) << records;
    EXPECT_EQ(page["matched"], all["view"][messages ? "messages" : "alarms"]) << records;
    kinds += page["rows"].size();
  }
  EXPECT_GT(all["view"]["messages"].get<int>(), 0);
  EXPECT_EQ(kinds, all["rows"].size());
  EXPECT_EQ(c->Get("/api/alarms?records=some")->status, 400);
}

TEST_F(ApiTest, CountsFollowAnAcknowledgeAndADelete) {
  auto c = Operator();
  json page = Page(*c);
  std::string ref = FirstNew(page);
  std::string priority = (*RowOf(page, ref))["priority"];
  auto ofPriority = [&](const json& p) {
    for (const json& x : p["counts"]["priorities"]) {
      if (x["name"] == priority) return x["alarms"].get<int>();
    }
    return -1;
  };
  const int fresh = page["counts"]["new"].get<int>();
  const int alarms = ofPriority(page);
  ASSERT_GT(fresh, 0);
  ASSERT_EQ(c->Post("/api/ack", Refs(ref).dump())->status, 200);
  json acked = Page(*c);  // the same version is not counted again: this one is new
  EXPECT_EQ(acked["counts"]["new"], fresh - 1);
  EXPECT_EQ(ofPriority(acked), alarms);
  ASSERT_EQ(c->Post("/api/delete", Refs(ref).dump())->status, 200);
  EXPECT_EQ(ofPriority(Page(*c)), alarms - 1);
}

TEST_F(ApiTest, DeleteShelveAndUnshelveTakeTheAlarmOutOfViewAndBack) {
  auto c = Operator();
  json page = Page(*c);
  std::vector<std::string> refs;
  for (const json& r : page["rows"]) {
    if (!r["message"].get<bool>()) refs.push_back(r["ref"]);
  }
  ASSERT_GE(refs.size(), 2u);

  ASSERT_EQ(c->Post("/api/delete", Refs(refs[0]).dump())->status, 200);
  EXPECT_FALSE(RowOf(Page(*c), refs[0]));

  EXPECT_EQ(c->Post("/api/shelve", json{{"refs", {refs[1]}}, {"minutes", 30}}.dump())->status,
            400);  // no reason
  // Reasons the exchange format could not carry back are refused.
  for (const std::string& reason :
       {std::string(133, 'x'), std::string("a\0b", 3), std::string("tab\there")}) {
    EXPECT_EQ(c->Post("/api/shelve",
                      json{{"refs", {refs[1]}}, {"minutes", 30}, {"reason", reason}}.dump())
                  ->status,
              400)
        << reason.size();
  }
  EXPECT_EQ(c->Post("/api/shelve", "{\"refs\": [\"" + refs[1] +
                                       "\"], \"minutes\": 30, \"reason\": \"\xff\xfe\"}")
                ->status,
            400);  // not UTF-8
  auto s = c->Post("/api/shelve",
                   json{{"refs", {refs[1]}}, {"minutes", 30}, {"reason", "sensor swap"}}.dump());
  ASSERT_EQ(s->status, 200) << s->body;
  json shelvedPage = Page(*c);
  EXPECT_FALSE(RowOf(shelvedPage, refs[1]));
  EXPECT_EQ(shelvedPage["counts"]["shelved"], 1);
  json shelved = c->GetJson("/api/shelved")["shelved"];
  ASSERT_EQ(shelved.size(), 1u);
  EXPECT_EQ(shelved[0]["ref"], refs[1]);
  EXPECT_EQ(shelved[0]["user"], "olga");
  // A shelved alarm is out of view: acting on it is an unknown reference.
  EXPECT_EQ(c->Post("/api/ack", Refs(refs[1]).dump())->status, 404);

  ASSERT_EQ(c->Post("/api/unshelve", Refs(refs[1]).dump())->status, 200);
  EXPECT_TRUE(RowOf(Page(*c), refs[1]));
  EXPECT_EQ(c->Post("/api/unshelve", Refs(refs[1]).dump())->status, 404);
}

TEST_F(ApiTest, HornActionsChangeItsState) {
  auto c = Operator();
  auto horn = [&] { return Page(*c)["horn"]; };
  ASSERT_EQ(c->Post("/api/horn", json{{"action", "disable"}}.dump())->status, 200);
  EXPECT_FALSE(horn()["enabled"].get<bool>());
  ASSERT_EQ(c->Post("/api/horn", json{{"action", "enable"}}.dump())->status, 200);
  EXPECT_TRUE(horn()["enabled"].get<bool>());
  ASSERT_EQ(c->Post("/api/horn", json{{"action", "silence"}}.dump())->status, 200);
  EXPECT_TRUE(horn()["silenced"].get<bool>());
  EXPECT_EQ(c->Post("/api/horn", json{{"action", "louder"}}.dump())->status, 400);
}

TEST_F(ApiTest, AnEventArrivesWhenAnotherSessionActs) {
  auto watcher = Viewer();
  auto actor = Operator();
  std::string ref = FirstNew(Page(*actor));
  std::atomic<int> events{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    httplib::Client sse("127.0.0.1", port());
    sse.set_read_timeout(10);
    sse.Get("/api/events", httplib::Headers{{"Cookie", watcher->cookie}},
            [&](const char* data, size_t n) {
              std::string chunk(data, n);
              for (std::size_t p = chunk.find("data:"); p != std::string::npos;
                   p = chunk.find("data:", p + 1)) {
                ++events;
              }
              return !stop.load();
            });
  });
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (events.load() < 1 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_EQ(events.load(), 1);  // the current version on connect
  ASSERT_EQ(actor->Post("/api/ack", Refs(ref).dump())->status, 200);
  until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (events.load() < 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_GE(events.load(), 2);
  stop = true;
  actor->Post("/api/horn", json{{"action", "silence"}}.dump());  // one more event ends the read
  reader.join();
}

TEST_F(ApiTest, ThePageComesWithItsAssetsAndAContentSecurityPolicy) {
  ApiClient c(port());
  auto page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("/app.js"), std::string::npos);
  EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'self'"),
            std::string::npos);
  EXPECT_EQ(c.Get("/app.js")->status, 200);
  EXPECT_EQ(c.Get("/app.css")->status, 200);
  auto missing = c.Get("/api/nothing");
  EXPECT_EQ(missing->status, 404);
  EXPECT_TRUE(json::parse(missing->body, nullptr, false).contains("error"));
}

TEST_F(ApiTest, AlarmTextsTravelAsJsonStringsWhateverTheyHold) {
  auto c = Operator();
  json row = *RowOf(Page(*c), hostileRef_);
  EXPECT_EQ(row["description"], kHostile);
}

}  // namespace
}  // namespace tolvane::web::testing

namespace tolvane::web::testing {
namespace {

// A time as the page shows it in a fixed zone, made apart from the server's
// way (timegm and strftime): `utc` as seconds since 1970.
std::string ShownAt(std::time_t utc, int offsetMinutes, const std::string& offset) {
  std::time_t shifted = utc + offsetMinutes * 60;
  std::tm tm{};
  gmtime_r(&shifted, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S ", &tm);
  return buf + offset;
}

class TimeZoneApiTest : public WebFixture {
 protected:
  void SetUp() override {
    // The rows' wall times are the server's: in UTC here, so that the test
    // knows the instants.
    setenv("TZ", "UTC", 1);
    tzset();
    FixtureOptions o;
    o.tune = [](ServerOptions& s) {
      std::string err;
      ASSERT_TRUE(ParseTimeZone("+05:30", &s.times, &err)) << err;
    };
    Start(o);
  }
};

TEST_F(TimeZoneApiTest, TheSessionCarriesTheZoneAndEveryTimeIsShownInIt) {
  auto c = Operator();
  json session = c->GetJson("/api/session");
  EXPECT_EQ(session["times"]["zone"], "+05:30");
  EXPECT_EQ(session["times"]["format"], "iso");
  EXPECT_EQ(session["times"]["offset"], "+05:30");

  json page = Page(*c);
  ASSERT_FALSE(page["rows"].empty());
  EXPECT_EQ(page["offset"], "+05:30");
  for (const json& r : page["rows"]) {
    for (auto [date, time, shown] : {std::tuple{"dateIn", "timeIn", "shownIn"},
                                     std::tuple{"dateLast", "timeLast", "shownLast"}}) {
      std::tm tm{};
      std::string wall = r[date].get<std::string>() + " " + r[time].get<std::string>();
      ASSERT_NE(strptime(wall.c_str(), "%m/%d/%Y %H:%M:%S", &tm), nullptr) << wall;
      EXPECT_EQ(r[shown], ShownAt(timegm(&tm), 330, "+05:30")) << wall;
    }
  }

  // The journal and the shelved list: UTC instants, shown in the zone.
  std::string ref = FirstNew(page);
  ASSERT_EQ(c->Post("/api/shelve", json{{"refs", {ref}}, {"minutes", 30}, {"reason", "zone"}}
                                       .dump())->status,
            200);
  json shelved = c->GetJson("/api/shelved")["shelved"];
  json journal = c->GetJson("/api/journal")["entries"];
  ASSERT_FALSE(shelved.empty());
  ASSERT_FALSE(journal.empty());
  for (auto [list, utc, shown] :
       {std::tuple{&shelved, "until", "shownUntil"}, std::tuple{&journal, "time", "shown"}}) {
    for (const json& e : *list) {
      std::tm tm{};
      std::string text = e[utc].get<std::string>();
      ASSERT_NE(strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr) << text;
      EXPECT_EQ(e[shown], ShownAt(timegm(&tm), 330, "+05:30")) << text;
    }
  }
}

}  // namespace
}  // namespace tolvane::web::testing
