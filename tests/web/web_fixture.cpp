#include "web_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "plant/demo_plant.h"
#include "web/users.h"

namespace tolvane::web::testing {

using nlohmann::json;

ApiClient::ApiClient(int port) : client_("127.0.0.1", port) {
  client_.set_connection_timeout(5);
  client_.set_read_timeout(20);
  client_.set_write_timeout(5);
}

httplib::Headers ApiClient::Headers() const {
  httplib::Headers h;
  if (!cookie.empty()) h.emplace("Cookie", cookie);
  if (!csrf.empty()) h.emplace("X-CSRF-Token", csrf);
  return h;
}

int ApiClient::SignIn(const std::string& user, const std::string& password) {
  auto r = client_.Post("/api/login", json{{"user", user}, {"password", password}}.dump(),
                        "application/json");
  if (!r) return -1;
  if (r->status == 200) {
    setCookie = r->get_header_value("Set-Cookie");
    cookie = setCookie.substr(0, setCookie.find(';'));
    csrf = json::parse(r->body)["csrf"].get<std::string>();
  }
  return r->status;
}

httplib::Result ApiClient::Get(const std::string& path) {
  return client_.Get(path, Headers());
}

httplib::Result ApiClient::Post(const std::string& path, const std::string& body,
                                const std::string& type) {
  return client_.Post(path, Headers(), body, type);
}

json ApiClient::GetJson(const std::string& path) {
  auto r = Get(path);
  if (!r) {
    ADD_FAILURE() << "GET " << path << " failed: " << httplib::to_string(r.error());
    return json::object();
  }
  EXPECT_EQ(r->status, 200) << path << ": " << r->body;
  return json::parse(r->body, nullptr, false);
}

void WebFixture::Start(const FixtureOptions& options) {
  char tmpl[] = "/tmp/tolvane-web-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  dir_ = tmpl;
  usersFile_ = dir_ + "/users";
  std::string err;
  ASSERT_TRUE(
      AddUser(usersFile_, "olga", Role::kOperator, kOperatorPassword, &err, HashCost::kMinimal))
      << err;
  ASSERT_TRUE(AddUser(usersFile_, "vic", Role::kViewer, kViewerPassword, &err, HashCost::kMinimal))
      << err;

  plant::StoreError storeErr;
  std::unique_ptr<plant::PlantStore> store;
  if (!options.storeCopyOf.empty()) {
    storePath_ = dir_ + "/plant.db";
    std::filesystem::copy_file(options.storeCopyOf, storePath_);
    store = plant::PlantStore::Open(storePath_, &storeErr);
  }
  plant::DemoOptions demo;
  plant::Plant plant = store ? plant::Plant() : plant::MakeDemoPlant(demo);
  // The newest alarm carries markup, so it is on the first page.
  plant::PlantAlarm* newest = nullptr;
  for (plant::PlantAlarm& a : plant.alarms) {
    if (a.msgType != 8 && (!newest || a.timeIn > newest->timeIn)) newest = &a;
  }
  if (newest) {
    newest->description = kHostile;
    hostileRef_ = std::string(1, newest->letter) + std::to_string(newest->number) + newest->node;
  }

  if (!options.storeCopyOf.empty()) {
    // the copy opened above
  } else if (options.storeFile) {
    storePath_ = dir_ + "/plant.db";
    ASSERT_TRUE(plant::PlantStore::Create(storePath_, plant, false, &storeErr)) << storeErr.message;
    store = plant::PlantStore::Open(storePath_, &storeErr);
  } else {
    store = plant::PlantStore::InMemory(plant, &storeErr);
  }
  ASSERT_NE(store, nullptr) << storeErr.message;
  HostOptions hostOptions;
  hostOptions.simulateRate = options.simulateRate;
  hostOptions.demo = options.storeCopyOf.empty() && !options.storeFile;
  hostOptions.pause = options.pause;
  host_ = MakeStoreHost(std::move(store), hostOptions, &err);
  ASSERT_NE(host_, nullptr) << err;
  ServerOptions so;
  so.listen = "127.0.0.1:0";
  so.usersFile = usersFile_;
  so.sessionIdle = options.sessionIdle;
  so.certFile = options.certFile;
  so.keyFile = options.keyFile;
  so.signInWindow = std::chrono::seconds(30);
  if (options.tune) options.tune(so);
  server_ = std::make_unique<WebServer>(so, *host_);
  ASSERT_TRUE(server_->Start(&err)) << err;
}

void WebFixture::TearDown() {
  if (server_) server_->Stop();
  server_.reset();
  host_.reset();
  if (!dir_.empty()) std::filesystem::remove_all(dir_);
}

std::unique_ptr<ApiClient> WebFixture::Operator() {
  auto c = std::make_unique<ApiClient>(port());
  EXPECT_EQ(c->SignIn("olga", kOperatorPassword), 200);
  return c;
}

std::unique_ptr<ApiClient> WebFixture::Viewer() {
  auto c = std::make_unique<ApiClient>(port());
  EXPECT_EQ(c->SignIn("vic", kViewerPassword), 200);
  return c;
}

json WebFixture::Page(ApiClient& c, const std::string& query) {
  return c.GetJson("/api/alarms?count=1000&sort=-1" + query);
}

std::optional<json> WebFixture::RowOf(const json& page, const std::string& ref) {
  for (const json& r : page["rows"]) {
    if (r["ref"] == ref) return r;
  }
  return std::nullopt;
}

std::string WebFixture::FirstNew(const json& page) {
  for (const json& r : page["rows"]) {
    if (!r["ack"].get<bool>() && !r["message"].get<bool>()) return r["ref"];
  }
  return {};
}

}  // namespace tolvane::web::testing
