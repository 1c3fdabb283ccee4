// The listener: /metrics, /healthz and /readyz over HTTP, and its address.
#include "ops/metrics_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <prometheus/gauge.h>

#include <atomic>

namespace tolvane::ops {
namespace {

TEST(MetricsServer, ListenAddressMustNameHostAndPort) {
  struct Case {
    const char* listen;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"127.0.0.1:9464", true, "127.0.0.1", 9464}, {"[::1]:0", true, "::1", 0},
      {"localhost:80", true, "localhost", 80},     {":9464", false, "", 0},
      {"9464", false, "", 0},                      {"::1:9464", false, "", 0},
      {"127.0.0.1:", false, "", 0},                {"127.0.0.1:65536", false, "", 0},
      {"127.0.0.1:9x", false, "", 0},              {"[::1]9464", false, "", 0},
  };
  for (const Case& c : cases) {
    std::string host;
    int port = -1;
    EXPECT_EQ(SplitHostPort(c.listen, &host, &port), c.ok) << c.listen;
    if (c.ok) {
      EXPECT_EQ(host, c.host) << c.listen;
      EXPECT_EQ(port, c.port) << c.listen;
    }
  }
  MetricsServer s;
  std::string err;
  EXPECT_FALSE(s.Start("9464", &err));
  EXPECT_NE(err.find("HOST:PORT"), std::string::npos) << err;
}

TEST(MetricsServer, ServesMetricsHealthAndReadinessWithAReasonPerFailingCheck) {
  MetricsServer s;
  auto& gauge = prometheus::BuildGauge().Name("tolvane_test_value").Help("t").Register(
      s.registry()).Add({});
  std::atomic<int> scrapes{0};
  s.OnScrape([&] { gauge.Set(++scrapes); });
  std::atomic<bool> natsUp{true}, storeUp{true};
  s.AddReadyCheck("nats", [&]() -> std::string { return natsUp ? "" : "not connected"; });
  s.AddReadyCheck("store", [&]() -> std::string { return storeUp ? "" : "x is\nnot writable"; });
  std::string err;
  ASSERT_TRUE(s.Start("127.0.0.1:0", &err)) << err;
  ASSERT_GT(s.port(), 0);
  httplib::Client c("127.0.0.1", s.port());
  c.set_read_timeout(5, 0);

  auto m = c.Get("/metrics");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->status, 200);
  EXPECT_NE(m->get_header_value("Content-Type").find("text/plain"), std::string::npos);
  EXPECT_NE(m->body.find("tolvane_test_value 1"), std::string::npos) << m->body;
  m = c.Get("/metrics");
  ASSERT_TRUE(m);
  EXPECT_NE(m->body.find("tolvane_test_value 2"), std::string::npos) << m->body;

  struct Case {
    bool nats, store;
    int status;
    std::string body;
  };
  const Case cases[] = {
      {true, true, 200, "ready\n"},
      {false, true, 503, "nats: not connected\n"},
      {false, false, 503, "nats: not connected\nstore: x is not writable\n"},
      {true, true, 200, "ready\n"},
  };
  for (const Case& k : cases) {
    natsUp = k.nats;
    storeUp = k.store;
    auto r = c.Get("/readyz");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, k.status);
    EXPECT_EQ(r->body, k.body);
    auto h = c.Get("/healthz");  // alive whatever the checks say
    ASSERT_TRUE(h);
    EXPECT_EQ(h->status, 200);
  }
  auto other = c.Get("/");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);

  // A second listener cannot take the same port.
  MetricsServer twin;
  EXPECT_FALSE(twin.Start("127.0.0.1:" + std::to_string(s.port()), &err));
  EXPECT_NE(err.find("cannot listen"), std::string::npos) << err;
}

}  // namespace
}  // namespace tolvane::ops
