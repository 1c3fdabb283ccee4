#include "ops/web_metrics.h"

namespace tolvane::ops {

namespace {

// HTTP statuses as labels; anything odd is one label, so the count stays bounded.
std::string StatusLabel(int status) {
  return status >= 100 && status <= 599 ? std::to_string(status) : "other";
}

}  // namespace

WebMetrics::WebMetrics(prometheus::Registry& registry)
    : sessions_(prometheus::BuildGauge()
                    .Name("tolvane_web_sessions")
                    .Help("Signed-in sessions alive")
                    .Register(registry)
                    .Add({})),
      livePages_(prometheus::BuildGauge()
                     .Name("tolvane_web_live_pages")
                     .Help("Pages open with a live event stream")
                     .Register(registry)
                     .Add({})),
      connections_(prometheus::BuildGauge()
                       .Name("tolvane_web_connections")
                       .Help("Open HTTP connections")
                       .Register(registry)
                       .Add({})),
      refused_(prometheus::BuildCounter()
                   .Name("tolvane_web_sign_ins_refused_total")
                   .Help("Sign-ins refused: wrong password, unknown name, or limited")
                   .Register(registry)
                   .Add({})),
      requests_(prometheus::BuildCounter()
                    .Name("tolvane_web_requests_total")
                    .Help("HTTP requests answered, by status")
                    .Register(registry)) {}

void WebMetrics::Refresh(const web::WebStats& s) {
  sessions_.Set(static_cast<double>(s.sessions));
  livePages_.Set(static_cast<double>(s.livePages));
  connections_.Set(static_cast<double>(s.connections));
  // The server counts from its start; a counter only grows.
  if (s.signInsRefused > refusedSeen_) {
    refused_.Increment(static_cast<double>(s.signInsRefused - refusedSeen_));
    refusedSeen_ = s.signInsRefused;
  }
  for (const auto& [status, n] : s.requestsByStatus) {
    uint64_t& seen = requestsSeen_[status];
    prometheus::Counter& c = requests_.Add({{"status", StatusLabel(status)}});
    if (n > seen) {
      c.Increment(static_cast<double>(n - seen));
      seen = n;
    }
  }
}

}  // namespace tolvane::ops
