// `serve` as a station: the page shows the plant that real node daemons
// hold (through a real nats-server), an acknowledge on the page reaches the
// owning node, and a station that loses its server says so on every page.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "nats_harness.h"
#include "node/embedded_node.h"
#include "tolvane/text_field.h"
#include "web/station_host.h"
#include "web/users.h"
#include "web_fixture.h"

namespace tolvane::web::testing {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using tolvane::testing::Daemon;
using tolvane::testing::NatsServer;
using tolvane::testing::TempTree;

bool WaitFor(const std::function<bool()>& f, std::chrono::milliseconds timeout) {
  auto end = std::chrono::steady_clock::now() + timeout;
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class StationServeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    if (!tolvane::testing::HaveNatsServer(&why)) GTEST_SKIP() << why;
    nats_ = std::make_unique<NatsServer>(tmp_.path(), "s1");
    ASSERT_TRUE(nats_->Start());
    for (const char* n : {"PLANT1", "PLANT2"}) {
      daemons_.push_back(std::make_unique<Daemon>(
          tmp_.path(), nats_->url(), n,
          std::vector<std::string>{"--demo-nodes", "2", "--demo-tags", "240"}));
      ASSERT_TRUE(daemons_.back()->Start()) << daemons_.back()->log();
    }
    local_.LoadSettings();
    station_ = tolvane::testing::OpenStation(nats_->url(), "WEB1");
    ASSERT_TRUE(station_);
    station_->Install();
    ASSERT_TRUE(station_->WaitCurrent(10000));
    std::string err;
    nats::Station& st = *station_;
    host_ = MakeStationHost(
        st.view(),
        [&st] {
          nats::StationStatus now = st.Status();
          HostSource s;
          s.kind = "station";
          s.name = "WEB1";
          s.connected = now.connected;
          s.complete = now.complete;
          s.alarms = now.alarms;
          for (const nats::NodeLiveness& n : now.nodes) {
            if (n.stale) s.staleNodes.emplace_back(n.node, n.ageMs < 0 ? -1L : long(n.ageMs / 1000));
          }
          return s;
        },
        &err,
        ViewChanges{[&st](node::SummaryQueue::EventListener l) {
                      return st.AddViewListener(std::move(l));
                    },
                    [&st](node::SummaryQueue::ListenerToken t) { st.RemoveViewListener(t); }});
    ASSERT_TRUE(host_) << err;
    users_ = (tmp_.path() / "users").string();
    ASSERT_TRUE(AddUser(users_, "olga", Role::kOperator, kOperatorPassword, &err,
                        HashCost::kMinimal));
    ServerOptions so;
    so.listen = "127.0.0.1:0";
    so.usersFile = users_;
    server_ = std::make_unique<WebServer>(so, *host_);
    ASSERT_TRUE(server_->Start(&err)) << err;
  }
  void TearDown() override {
    if (server_) server_->Stop();
    server_.reset();
    host_.reset();
    station_.reset();
    daemons_.clear();
    nats_.reset();
  }

  TempTree tmp_;
  std::unique_ptr<NatsServer> nats_;
  std::vector<std::unique_ptr<Daemon>> daemons_;
  node::EmbeddedNode local_;  // text, settings and the other local services
  std::unique_ptr<nats::Station> station_;
  std::unique_ptr<PlantHost> host_;
  std::string users_;
  std::unique_ptr<WebServer> server_;
};

TEST_F(StationServeTest, ThePageShowsTheStationsPlantAndAnAcknowledgeReachesTheOwningNode) {
  ApiClient c(server_->port());
  ASSERT_EQ(c.SignIn("olga", kOperatorPassword), 200);
  json page = c.GetJson("/api/alarms?count=1000");
  EXPECT_EQ(page["source"]["kind"], "station");
  EXPECT_TRUE(page["source"]["connected"].get<bool>());
  std::size_t alarms = 0;
  std::string target;
  for (const SUMQMSG& m : station_->view().Snapshot()) {
    if (m.almpak.msgType != 8) ++alarms;
  }
  EXPECT_EQ(page["view"]["alarms"], alarms);
  for (const json& r : page["rows"]) {
    if (r["message"].get<bool>()) continue;
    EXPECT_TRUE(r["node"] == "PLANT1" || r["node"] == "PLANT2") << r["node"];
    if (target.empty() && r["node"] == "PLANT2" && !r["ack"].get<bool>()) target = r["ref"];
  }
  ASSERT_FALSE(target.empty());

  auto ack = c.Post("/api/ack", json{{"refs", {target}}}.dump());
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, 200) << ack->body;
  // The station's view changes only by the node's stream: the node did it.
  const int fresh = page["counts"]["new"].get<int>();
  json seen;
  EXPECT_TRUE(WaitFor(
      [&] {
        seen = c.GetJson("/api/alarms?count=1000");
        auto row = WebFixture::RowOf(seen, target);
        return row && (*row)["ack"].get<bool>();
      },
      5s));
  // Counts after a change the stream brought (kept from the view's changes): exact.
  int unacknowledged = 0;
  for (const SUMQMSG& m : station_->view().Snapshot()) {
    unacknowledged += m.almpak.msgType != 8 && m.ackFlag == 0;
  }
  EXPECT_EQ(seen["counts"]["new"], fresh - 1);
  EXPECT_EQ(seen["counts"]["new"], unacknowledged);

  // A station keeps no shelves and no journal, and says so.
  auto shelve = c.Post("/api/shelve",
                       json{{"refs", {target}}, {"minutes", 10}, {"reason", "test"}}.dump());
  EXPECT_EQ(shelve->status, 409);
  EXPECT_FALSE(c.GetJson("/api/journal")["available"].get<bool>());
}

TEST_F(StationServeTest, ANodeWhoseDaemonDiedIsNamedStaleOnThePage) {
  ApiClient c(server_->port());
  ASSERT_EQ(c.SignIn("olga", kOperatorPassword), 200);
  EXPECT_TRUE(c.GetJson("/api/source")["staleNodes"].empty());
  daemons_[1]->Kill();
  json source;
  EXPECT_TRUE(WaitFor(
      [&] {
        source = c.GetJson("/api/source");
        return !source["staleNodes"].empty();
      },
      15s));
  ASSERT_EQ(source["staleNodes"].size(), 1u) << source;
  EXPECT_EQ(source["staleNodes"][0]["node"], "PLANT2");
  EXPECT_GE(source["staleNodes"][0]["seconds"].get<long>(), 3);
  EXPECT_TRUE(source["connected"].get<bool>());
}

TEST_F(StationServeTest, AStationThatLostItsServerSaysSoAndActionsFail) {
  ApiClient c(server_->port());
  ASSERT_EQ(c.SignIn("olga", kOperatorPassword), 200);
  json page = c.GetJson("/api/alarms?count=1000");
  std::string target = WebFixture::FirstNew(page);
  ASSERT_FALSE(target.empty());
  nats_->Kill();
  EXPECT_TRUE(WaitFor(
      [&] { return !c.GetJson("/api/source")["connected"].get<bool>(); }, 10s));
  json offline = c.GetJson("/api/alarms?count=1000");
  EXPECT_FALSE(offline["source"]["connected"].get<bool>());
  EXPECT_EQ(offline["view"]["alarms"], page["view"]["alarms"]);  // the last view, said to be so
  auto ack = c.Post("/api/ack", json{{"refs", {target}}}.dump());
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, 502) << ack->body;
}

}  // namespace
}  // namespace tolvane::web::testing
