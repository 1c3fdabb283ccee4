#include "ops/metrics_server.h"

#include <CivetServer.h>
#include <prometheus/text_serializer.h>

#include <cctype>
#include <sstream>

namespace tolvane::ops {

namespace {

void Reply(mg_connection* conn, int status, const char* reason, const char* type,
           const std::string& body) {
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
            "Cache-Control: no-store\r\nConnection: close\r\n\r\n",
            status, reason, type, body.size());
  mg_write(conn, body.data(), body.size());
}

}  // namespace

struct MetricsServer::Handlers {
  struct Metrics : CivetHandler {
    MetricsServer* self;
    explicit Metrics(MetricsServer* s) : self(s) {}
    bool handleGet(CivetServer*, mg_connection* conn) override {
      Reply(conn, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", self->Scrape());
      return true;
    }
  };
  struct Health : CivetHandler {
    bool handleGet(CivetServer*, mg_connection* conn) override {
      Reply(conn, 200, "OK", "text/plain; charset=utf-8", "ok\n");
      return true;
    }
  };
  struct Ready : CivetHandler {
    MetricsServer* self;
    explicit Ready(MetricsServer* s) : self(s) {}
    bool handleGet(CivetServer*, mg_connection* conn) override {
      std::string reasons;
      if (self->Ready(&reasons)) {
        Reply(conn, 200, "OK", "text/plain; charset=utf-8", "ready\n");
      } else {
        Reply(conn, 503, "Service Unavailable", "text/plain; charset=utf-8", reasons);
      }
      return true;
    }
  };
  Metrics metrics;
  Health health;
  Ready ready;
  explicit Handlers(MetricsServer* s) : metrics(s), ready(s) {}
};

MetricsServer::MetricsServer()
    : registry_(std::make_shared<prometheus::Registry>()),
      handlers_(std::make_unique<Handlers>(this)) {}

MetricsServer::~MetricsServer() {
  Stop();
}

void MetricsServer::OnScrape(std::function<void()> refresh) {
  refreshers_.push_back(std::move(refresh));
}

void MetricsServer::AddReadyCheck(std::string name, ReadyCheck check) {
  checks_.emplace_back(std::move(name), std::move(check));
}

bool SplitHostPort(const std::string& listen, std::string* host, int* port) {
  std::size_t colon;
  if (!listen.empty() && listen.front() == '[') {
    std::size_t close = listen.find(']');
    if (close == std::string::npos || close + 1 >= listen.size() || listen[close + 1] != ':')
      return false;
    *host = listen.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = listen.rfind(':');
    if (colon == std::string::npos) return false;
    *host = listen.substr(0, colon);
    if (host->find(':') != std::string::npos) return false;  // IPv6 needs brackets
  }
  std::string digits = listen.substr(colon + 1);
  if (host->empty() || digits.empty() || digits.size() > 5) return false;
  for (char c : digits) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  *port = std::stoi(digits);
  return *port <= 65535;
}

bool MetricsServer::Start(const std::string& listen, std::string* err) {
  std::string host;
  int port = 0;
  if (!SplitHostPort(listen, &host, &port)) {
    *err = "--metrics-listen takes HOST:PORT (127.0.0.1:9464, [::1]:9464), not \"" + listen + "\"";
    return false;
  }
  bool v6 = host.find(':') != std::string::npos;
  // civetweb: "+" before an IPv6 address would also take IPv4; brackets alone take IPv6.
  std::string ports = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
  std::vector<std::string> options{"listening_ports", ports, "num_threads", "4",
                                   "request_timeout_ms", "10000"};
  try {
    server_ = std::make_unique<CivetServer>(options);
  } catch (const std::exception& e) {
    *err = "cannot listen for metrics on " + listen + ": " + e.what();
    return false;
  }
  server_->addHandler("/metrics", &handlers_->metrics);
  server_->addHandler("/healthz", &handlers_->health);
  server_->addHandler("/readyz", &handlers_->ready);
  std::vector<int> bound = server_->getListeningPorts();
  port_ = bound.empty() ? port : bound.front();
  return true;
}

void MetricsServer::Stop() {
  if (server_) {
    server_->close();
    server_.reset();
  }
}

std::string MetricsServer::Scrape() {
  std::lock_guard lock(scrapeM_);
  for (auto& r : refreshers_) r();
  std::ostringstream out;
  prometheus::TextSerializer().Serialize(out, registry_->Collect());
  return out.str();
}

bool MetricsServer::Ready(std::string* reasons) {
  bool ok = true;
  for (auto& [name, check] : checks_) {
    std::string why = check();
    if (why.empty()) continue;
    ok = false;
    for (char& c : why) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    *reasons += name + ": " + why + "\n";
  }
  return ok;
}

}  // namespace tolvane::ops
