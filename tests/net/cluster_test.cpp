// A three-server JetStream cluster (alarm stream with three replicas): one
// server is killed during a storm of simulated changes and acknowledges,
// then comes back.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "nats_harness.h"
#include "net/protocol.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

TEST(Cluster, ServerKilledDuringAStormLosesNoConfirmedAcknowledgeAndViewsEndEqualToTheNodes) {
  std::string why;
  if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
  TempTree tmp;
  std::vector<std::unique_ptr<NatsServer>> servers;
  for (const char* name : {"c1", "c2", "c3"}) {
    servers.push_back(std::make_unique<NatsServer>(tmp.path(), name));
  }
  std::string urls;
  for (auto& s : servers) {
    std::string routes;
    for (auto& o : servers) {
      if (o != s)
        routes += (routes.empty() ? "" : ", ") + std::string("nats-route://127.0.0.1:") +
                  std::to_string(o->clusterPort());
    }
    s->SetExtra("cluster { name: tolvane\n listen: 127.0.0.1:" + std::to_string(s->clusterPort()) +
                "\n routes: [" + routes + " ] }\n");
    urls += (urls.empty() ? "" : ",") + s->url();
  }
  for (auto& s : servers) ASSERT_TRUE(s->Start());

  const std::vector<std::string> nodes = {"PLANT1", "PLANT2"};
  std::vector<std::unique_ptr<Daemon>> daemons;
  for (const std::string& n : nodes) {
    daemons.push_back(
        std::make_unique<Daemon>(tmp.path(), urls, n,
                                 std::vector<std::string>{"--demo-nodes", "2", "--demo-tags", "240",
                                                          "--replicas", "3", "--simulate", "25"}));
    ASSERT_TRUE(daemons.back()->Start(60000)) << daemons.back()->log();
  }
  nats::ConnectOptions co;
  co.url = urls;
  auto conn = nats::Connection::Open(co, &why);
  ASSERT_TRUE(conn) << why;
  auto s1 = OpenStation(servers[1]->url() + "," + servers[0]->url(), "S1", "", 1500);
  auto s2 = OpenStation(servers[2]->url(), "S2", "", 1500);
  ASSERT_TRUE(s1 && s2);

  // Acknowledges from station 1 all along; the confirmed ones are kept.
  std::atomic<bool> stop{false};
  std::vector<std::pair<std::string, std::chrono::system_clock::time_point>> confirmed;
  int failed = 0;
  std::thread storm([&] {
    unsigned short h = 0;
    s1->queue().Open(&h, nullptr);
    std::mt19937 rnd(7);
    while (!stop) {
      std::vector<SUMQMSG> open;
      for (const SUMQMSG& m : s1->view().Snapshot()) {
        if (m.almpak.msgType != 8 && m.ackFlag == 0) open.push_back(m);
      }
      if (!open.empty()) {
        const _ALMPAK& p = open[rnd() % open.size()].almpak;
        std::string n(FieldText(p.node));
        if (s1->queue().MarkAcknowledged(p.vsp.blockNumber, p.vsp.blockType, n.c_str(), h) == 0) {
          confirmed.emplace_back(nats::AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber),
                                 std::chrono::system_clock::now());
        } else {
          ++failed;
        }
      }
      std::this_thread::sleep_for(10ms);
    }
  });
  std::this_thread::sleep_for(1500ms);
  servers[1]->Kill();
  std::this_thread::sleep_for(2500ms);
  ASSERT_TRUE(servers[1]->Start());
  std::this_thread::sleep_for(1500ms);
  stop = true;
  storm.join();
  EXPECT_GT(confirmed.size(), 20u) << failed << " failed";

  for (auto* s : {s1.get(), s2.get()}) {
    std::string diff;
    EXPECT_TRUE(WaitConverged(*conn, *s, nodes, 30000, &diff)) << diff;
  }
  // A confirmed acknowledge stands unless the alarm changed after it.
  std::map<std::string, AlarmFact> truth;
  std::map<std::string, std::chrono::system_clock::time_point> last;
  for (const std::string& n : nodes) {
    std::vector<AlarmFact> facts;
    ASSERT_TRUE(NodeTruth(*conn, n, &facts, &last));
    for (const AlarmFact& f : facts) truth[f.subject] = f;
  }
  int checked = 0;
  for (const auto& [subject, when] : confirmed) {
    auto it = truth.find(subject);
    if (it == truth.end() || last[subject] >= when) continue;
    ++checked;
    EXPECT_EQ(it->second.ack, 1) << subject;
  }
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace tolvane::testing
