// The web display's server, from WebServer::Stats().
#pragma once

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/registry.h>

#include <map>

#include "web/server.h"

namespace tolvane::ops {

class WebMetrics {
 public:
  explicit WebMetrics(prometheus::Registry& registry);
  void Refresh(const web::WebStats& s);

 private:
  prometheus::Gauge& sessions_;
  prometheus::Gauge& livePages_;
  prometheus::Gauge& connections_;
  prometheus::Counter& refused_;
  prometheus::Family<prometheus::Counter>& requests_;
  uint64_t refusedSeen_ = 0;
  std::map<int, uint64_t> requestsSeen_;
};

}  // namespace tolvane::ops
