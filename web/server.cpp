#include "web/server.h"

#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <semaphore>
#include <thread>

#include "web/api.h"
#include "web/assets.h"
#include "web/sessions.h"
#include "web/users.h"
#include "web/wire.h"

namespace tolvane::web {
namespace {

using httplib::Request;
using httplib::Response;
using nlohmann::json;

constexpr const char* kCookie = "tolvane_session";
constexpr const char* kCsrfHeader = "X-CSRF-Token";

void Send(Response& res, const ApiResult& r) {
  res.status = r.status;
  res.set_content(DumpJson(r.body), "application/json; charset=utf-8");
}

std::string CookieValue(const Request& req, const std::string& name) {
  std::string header = req.get_header_value("Cookie");
  std::size_t pos = 0;
  while (pos < header.size()) {
    std::size_t end = header.find(';', pos);
    if (end == std::string::npos) end = header.size();
    std::string item = header.substr(pos, end - pos);
    std::size_t start = item.find_first_not_of(' ');
    if (start != std::string::npos) item = item.substr(start);
    if (item.size() > name.size() && item.compare(0, name.size(), name) == 0 &&
        item[name.size()] == '=') {
      return item.substr(name.size() + 1);
    }
    pos = end + 1;
  }
  return {};
}

// "application/json", alone or with parameters; "application/jsonx" is not.
bool IsJsonType(const std::string& type) {
  constexpr std::string_view kJson = "application/json";
  if (type.size() < kJson.size()) return false;
  for (std::size_t i = 0; i < kJson.size(); ++i) {
    char c = type[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kJson[i]) return false;
  }
  std::size_t rest = kJson.size();
  while (rest < type.size() && (type[rest] == ' ' || type[rest] == '\t')) ++rest;
  return rest == type.size() || type[rest] == ';';
}

const char* StatusReason(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 401:
      return "not signed in";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 413:
      return "request body too large";
    case 414:
      return "request line too long";
    case 409:
      return "conflict";
    case 411:
      return "length required";
    case 415:
      return "send application/json";
    case 429:
      return "too many requests";
    default:
      return status >= 500 ? "server error" : "error";
  }
}

}  // namespace

bool SplitListen(const std::string& listen, std::string* host, int* port) {
  std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == listen.size()) return false;
  std::string h = listen.substr(0, colon);
  if (h.front() == '[') {
    if (h.back() != ']' || h.size() < 3) return false;
    h = h.substr(1, h.size() - 2);
  }
  std::string p = listen.substr(colon + 1);
  if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  int n = std::stoi(p);
  if (n > 65535) return false;
  *host = h;
  *port = n;
  return true;
}

struct WebServer::Impl {
  Impl(const ServerOptions& o, PlantHost& h)
      : options(o),
        host(h),
        sessions(o.sessionIdle, o.sessionLifetime),
        limiter(o.signInWindow),
        hashSlots(std::max(1, o.hashWorkers)) {}

  // --- users ---

  // Reads the users file when it changed. Fails closed: a missing,
  // unreadable or broken file leaves no users at all (no sign-in), said
  // once in the log; the sessions of users gone or changed end.
  bool LoadUsersIfChanged(std::string* err) {
    struct stat st {};
    bool present = ::stat(options.usersFile.c_str(), &st) == 0;
    std::lock_guard<std::mutex> lock(usersMutex);
    if (checked && present == usersPresent && st.st_ino == usersStat.st_ino &&
        st.st_mtim.tv_sec == usersStat.st_mtim.tv_sec &&
        st.st_mtim.tv_nsec == usersStat.st_mtim.tv_nsec && st.st_size == usersStat.st_size) {
      if (!usersOk) *err = usersError;
      return usersOk;
    }
    checked = true;
    usersPresent = present;
    usersStat = st;
    std::vector<User> fresh;
    if (!present) {
      usersError = "no users file " + options.usersFile +
                   " (add a user: tolvane user add NAME --role operator)";
    } else if (!LoadUsers(options.usersFile, &fresh, &usersError)) {
      fresh.clear();
    } else {
      usersError.clear();
    }
    usersOk = usersError.empty();
    if (!usersOk) {
      std::cerr << "tolvane: serve: " << usersError << "; no one can sign in until it is fixed\n";
    }
    users = std::move(fresh);
    // Sessions of removed users, or of users whose role changed, end now.
    sessions.RemoveIf([&](const Session& s) { return !UserHolds(s); });
    if (!usersOk) *err = usersError;
    return usersOk;
  }

  // REQUIRES: usersMutex.
  bool UserHolds(const Session& s) const {
    return std::any_of(users.begin(), users.end(),
                       [&](const User& u) { return u.name == s.user && u.role == s.role; });
  }

  std::optional<User> FindUser(const std::string& name) {
    std::string err;
    LoadUsersIfChanged(&err);
    std::lock_guard<std::mutex> lock(usersMutex);
    for (const User& u : users) {
      if (u.name == name) return u;
    }
    return std::nullopt;
  }

  // The Host header must name this server: a page reached under another
  // name (DNS rebinding) gets nothing.
  bool KnownHost(const Request& req) const {
    std::string host = req.get_header_value("Host");
    if (host.empty()) return false;
    std::string name = host;
    if (name.front() == '[') {
      std::size_t close = name.find(']');
      if (close == std::string::npos) return false;
      name = name.substr(1, close - 1);
    } else if (std::size_t colon = name.rfind(':'); colon != std::string::npos) {
      name = name.substr(0, colon);
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return std::find(hostNames.begin(), hostNames.end(), name) != hostNames.end();
  }

  // --- requests ---

  // The session of a request; answers 401 itself when there is none. An
  // action also needs the page's origin, the session's CSRF token, the
  // operator role and a JSON body.
  std::optional<Session> Authorise(const Request& req, Response& res, bool action,
                                   json* body = nullptr) {
    std::optional<Session> s = sessions.Find(CookieValue(req, kCookie));
    if (s) {
      std::lock_guard<std::mutex> lock(usersMutex);
      if (!UserHolds(*s)) {
        sessions.Remove(CookieValue(req, kCookie));
        s.reset();
      }
    }
    if (!s) {
      Send(res, ApiError(401, "not signed in, or the session has expired"));
      return std::nullopt;
    }
    if (!action) return s;
    if (!SameOrigin(req)) {
      Send(res, ApiError(403, "request from another site"));
      return std::nullopt;
    }
    if (!SameToken(req.get_header_value(kCsrfHeader), s->csrf)) {
      Send(res, ApiError(403, "missing or wrong CSRF token"));
      return std::nullopt;
    }
    if (s->role != Role::kOperator) {
      Send(res, ApiError(403, "viewers cannot act on alarms"));
      return std::nullopt;
    }
    if (body && !ReadJson(req, res, body)) return std::nullopt;
    return s;
  }

  // The Origin a browser sends must name this server. Only the host and
  // port are compared: behind a TLS proxy the browser says https while we
  // serve http.
  bool SameOrigin(const Request& req) {
    std::string origin = req.get_header_value("Origin");
    if (origin.empty()) return true;  // not a browser's cross-site request
    std::size_t scheme = origin.find("://");
    if (scheme == std::string::npos) return false;
    return origin.substr(scheme + 3) == req.get_header_value("Host");
  }

  bool ReadJson(const Request& req, Response& res, json* body) {
    if (!IsJsonType(req.get_header_value("Content-Type"))) {
      Send(res, ApiError(415, "send the request as application/json"));
      return false;
    }
    std::string err;
    if (!ParseJsonBody(req.body, options.maxBodyBytes, kMaxJsonDepth, body, &err)) {
      Send(res, ApiError(req.body.size() > options.maxBodyBytes ? 413 : 400, err));
      return false;
    }
    return true;
  }

  void SignIn(const Request& req, Response& res) {
    json body;
    if (!SameOrigin(req)) return Send(res, ApiError(403, "request from another site"));
    if (!ReadJson(req, res, &body)) return;
    if (!body.contains("user") || !body["user"].is_string() || !body.contains("password") ||
        !body["password"].is_string()) {
      return Send(res, ApiError(400, "give user and password"));
    }
    std::string name = body["user"].get<std::string>();
    std::string password = body["password"].get<std::string>();
    if (name.size() > 64 || password.size() > 1024) {
      return Send(res, ApiError(400, "user name or password too long"));
    }
    const std::string pairKey = "pair " + name + " " + req.remote_addr;
    const std::string nameKey = "user " + name;
    const std::string addressKey = "address " + req.remote_addr;
    int wait = std::max({limiter.RetryAfter(pairKey), limiter.RetryAfter(nameKey),
                         limiter.RetryAfter(addressKey)});
    if (wait > 0) {
      res.set_header("Retry-After", std::to_string(wait));
      return Send(res, ApiError(429, "too many failed sign-ins; try again in " +
                                         std::to_string(wait) + " s"));
    }
    std::optional<User> user = ValidUserName(name) ? FindUser(name) : std::nullopt;
    // A small pool hashes: each hash takes tens of MiB, and a queue of
    // bounded length waits for it; past that the answer is "busy".
    if (hashWaiting.fetch_add(1) >= options.hashQueue + options.hashWorkers) {
      --hashWaiting;
      res.set_header("Retry-After", "1");
      return Send(res, ApiError(503, "too many sign-ins at once; try again in a second"));
    }
    hashSlots.acquire();
    bool ok = VerifyPassword(user ? &*user : nullptr, password);
    hashSlots.release();
    --hashWaiting;
    if (!ok) {
      limiter.Failed(pairKey, options.signInFreePair);
      limiter.Failed(nameKey, options.signInFreeName);
      limiter.Failed(addressKey, options.signInFreeAddress);
      return Send(res, ApiError(401, "wrong user name or password"));
    }
    limiter.Succeeded(pairKey);
    sessions.Remove(CookieValue(req, kCookie));
    std::string id = sessions.Create(user->name, user->role);
    std::optional<Session> s = sessions.Find(id);
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + id +
                                     "; Path=/; HttpOnly; SameSite=Strict" +
                                     (tls || options.secureCookie ? "; Secure" : ""));
    ApiResult r;
    r.body = json{{"user", s->user}, {"role", RoleName(s->role)}, {"csrf", s->csrf}};
    Send(res, r);
  }

  void Events(const Request& req, Response& res) {
    std::optional<Session> s = Authorise(req, res, false);
    if (!s) return;
    if (streams.load() >= options.threads - 4) {
      return Send(res, ApiError(503, "too many live pages"));
    }
    ++streams;
    auto id = std::make_shared<std::string>(CookieValue(req, kCookie));
    auto last = std::make_shared<std::optional<uint64_t>>();
    res.set_header("Cache-Control", "no-store");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, id, last](std::size_t, httplib::DataSink& sink) {
          std::string chunk;
          {
            std::unique_lock<std::mutex> lock(versionMutex);
            if (last->has_value()) {
              versionChanged.wait_for(lock, std::chrono::seconds(15),
                                      [&] { return stopping || version != **last; });
            }
            if (stopping) return false;
            if (!last->has_value() || version != **last) {
              chunk = (last->has_value() ? "" : "retry: 1000\n") + std::string("data: ") +
                      std::to_string(version) + "\n\n";
              *last = version;
            } else {
              chunk = ": still here\n\n";
            }
          }
          if (!sessions.Alive(*id)) {
            chunk = "event: signed-out\ndata: -\n\n";
            sink.write(chunk.data(), chunk.size());
            sink.done();
            return true;
          }
          return sink.write(chunk.data(), chunk.size());
        },
        [this](bool) { --streams; });
  }

  void Poll() {
    std::unique_lock<std::mutex> lock(versionMutex);
    while (!stopping) {
      lock.unlock();
      std::string usersErr;
      LoadUsersIfChanged(&usersErr);  // removals end sessions within a tick
      host.Tick(plant::Clock::now());
      uint64_t v = host.Version();
      lock.lock();
      if (v != version) {
        version = v;
        versionChanged.notify_all();
      }
      versionChanged.wait_for(lock, options.poll, [&] { return stopping || poked; });
      poked = false;
    }
  }

  // Reads the host's version now rather than at the next poll: an action
  // here shows on the other pages at once.
  void Poke() {
    {
      std::lock_guard<std::mutex> lock(versionMutex);
      poked = true;
    }
    versionChanged.notify_all();
  }

  void Routes();

  ServerOptions options;
  PlantHost& host;
  SessionStore sessions;
  SignInLimiter limiter;
  std::unique_ptr<httplib::Server> server;
  bool tls = false;
  int port = 0;

  std::mutex usersMutex;
  std::vector<User> users;
  struct stat usersStat {};
  bool checked = false, usersPresent = false, usersOk = false;
  std::string usersError;
  std::counting_semaphore<64> hashSlots;
  std::atomic<int> hashWaiting{0};
  std::vector<std::string> hostNames;  // lower case, without ports

  std::mutex versionMutex;
  std::condition_variable versionChanged;
  uint64_t version = 0;
  bool stopping = false;
  bool poked = false;
  std::atomic<int> streams{0};
  std::thread listener, poller;
  bool started = false;
};

void WebServer::Impl::Routes() {
  httplib::Server& s = *server;
  auto asset = [](const char* name, const char* type) {
    return [name, type](const Request&, Response& res) {
      std::optional<std::string_view> bytes = FindAsset(name);
      if (!bytes) {
        res.status = 404;
        return;
      }
      res.set_content(bytes->data(), bytes->size(), type);
    };
  };
  s.Get("/", asset("index.html", "text/html; charset=utf-8"));
  s.Get("/app.js", asset("app.js", "text/javascript; charset=utf-8"));
  s.Get("/app.css", asset("app.css", "text/css; charset=utf-8"));

  s.Post("/api/login", [this](const Request& req, Response& res) { SignIn(req, res); });
  s.Post("/api/logout", [this](const Request& req, Response& res) {
    std::optional<Session> session = sessions.Find(CookieValue(req, kCookie));
    if (session && !SameToken(req.get_header_value(kCsrfHeader), session->csrf)) {
      return Send(res, ApiError(403, "missing or wrong CSRF token"));
    }
    sessions.Remove(CookieValue(req, kCookie));
    res.set_header("Set-Cookie",
                   std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    Send(res, ApiResult{});
  });
  s.Get("/api/session", [this](const Request& req, Response& res) {
    std::optional<Session> session = Authorise(req, res, false);
    if (!session) return;
    ApiResult r;
    r.body =
        json{{"user", session->user}, {"role", RoleName(session->role)}, {"csrf", session->csrf}};
    Send(res, r);
  });

  s.Get("/api/alarms", [this](const Request& req, Response& res) {
    if (!Authorise(req, res, false)) return;
    AlarmQuery q;
    if (req.has_param("sort")) q.sort = req.get_param_value("sort");
    if (req.has_param("count")) q.count = req.get_param_value("count");
    q.filter = req.get_param_value("filter");
    q.page = req.get_param_value("page");
    q.after = req.get_param_value("after");
    q.before = req.get_param_value("before");
    q.last = req.has_param("last") && req.get_param_value("last") != "0";
    q.ref = req.get_param_value("ref");
    q.records = req.get_param_value("records");
    Send(res, GetAlarms(host, q));
  });
  s.Get("/api/check", [this](const Request& req, Response& res) {
    if (!Authorise(req, res, false)) return;
    Send(res, CheckFilter(host, req.get_param_value("filter")));
  });
  s.Get("/api/journal", [this](const Request& req, Response& res) {
    if (!Authorise(req, res, false)) return;
    Send(res, GetJournal(host, req.get_param_value("limit")));
  });
  s.Get("/api/shelved", [this](const Request& req, Response& res) {
    if (!Authorise(req, res, false)) return;
    Send(res, GetShelved(host));
  });
  s.Get("/api/events", [this](const Request& req, Response& res) { Events(req, res); });
  // Public: the sign-in page too must say when it is the demo plant.
  s.Get("/api/source", [this](const Request&, Response& res) { Send(res, GetSource(host)); });

  using Action = ApiResult (*)(PlantHost&, const std::string&, const json&);
  auto action = [this](Action fn) {
    return [this, fn](const Request& req, Response& res) {
      json body;
      std::optional<Session> session = Authorise(req, res, true, &body);
      if (!session) return;
      Send(res, fn(host, session->user, body));
      Poke();
    };
  };
  s.Post("/api/ack", action(&Acknowledge));
  s.Post("/api/ack-all/preview", [this](const Request& req, Response& res) {
    json body;
    if (!Authorise(req, res, true, &body)) return;
    Send(res, AcknowledgeAllPreview(host, body));
  });
  s.Post("/api/ack-all", action(&AcknowledgeAll));
  s.Post("/api/delete", action(&Delete));
  s.Post("/api/shelve", action(&Shelve));
  s.Post("/api/unshelve", action(&Unshelve));
  s.Post("/api/horn", action(&Horn));

  // Runs on the headers, before any body is read: a body is taken only
  // with a Content-Length within the limit, never chunked (browsers send
  // ours with a length), so no sign-in or session is needed to bound it.
  s.set_pre_routing_handler([this](const Request& req, Response& res) {
    using Handled = httplib::Server::HandlerResponse;
    if (!KnownHost(req)) {
      Send(res, ApiError(400, "unknown Host: this server answers to its configured names only"));
      return Handled::Handled;
    }
    if (req.has_header("Transfer-Encoding")) {
      res.set_header("Connection", "close");
      Send(res, ApiError(411, "send the body with a Content-Length; chunked bodies are not taken"));
      return Handled::Handled;
    }
    if (req.has_header("Content-Length")) {
      const std::string length = req.get_header_value("Content-Length");
      if (length.empty() || length.size() > 12 ||
          length.find_first_not_of("0123456789") != std::string::npos ||
          std::stoull(length) > options.maxBodyBytes) {
        res.set_header("Connection", "close");
        Send(res, ApiError(413, "the body is over " + std::to_string(options.maxBodyBytes) +
                                    " bytes"));
        return Handled::Handled;
      }
    }
    return Handled::Unhandled;
  });
  s.set_error_handler([](const Request&, Response& res) {
    if (!res.body.empty()) return;
    Send(res, ApiError(res.status, StatusReason(res.status)));
  });
  s.set_exception_handler([](const Request&, Response& res, std::exception_ptr) {
    Send(res, ApiError(500, "internal error"));
  });
  s.set_post_routing_handler([this](const Request& req, Response& res) {
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Content-Security-Policy",
                   "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
                   "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
                   "frame-ancestors 'none'");
    if (req.path.rfind("/api/", 0) == 0) res.set_header("Cache-Control", "no-store");
    if (tls) res.set_header("Strict-Transport-Security", "max-age=31536000");
  });
}

WebServer::WebServer(const ServerOptions& options, PlantHost& host)
    : impl_(std::make_unique<Impl>(options, host)) {}

WebServer::~WebServer() {
  Stop();
}

bool WebServer::Start(std::string* err) {
  Impl& m = *impl_;
  if (!InitCrypto()) {
    *err = "libsodium did not start";
    return false;
  }
  if (!m.LoadUsersIfChanged(err)) return false;
  std::string address;
  int port = 0;
  if (!SplitListen(m.options.listen, &address, &port)) {
    *err = "--listen must be HOST:PORT, got " + m.options.listen;
    return false;
  }
  if (m.options.certFile.empty() != m.options.keyFile.empty()) {
    *err = "HTTPS needs both a certificate and a key";
    return false;
  }
  if (!m.options.certFile.empty()) {
    auto ssl =
        std::make_unique<httplib::SSLServer>(m.options.certFile.c_str(), m.options.keyFile.c_str());
    if (!ssl->is_valid()) {
      *err =
          "cannot use the certificate " + m.options.certFile + " with the key " + m.options.keyFile;
      return false;
    }
    m.server = std::move(ssl);
    m.tls = true;
  } else {
    m.server = std::make_unique<httplib::Server>();
  }
  int threads = std::max(8, m.options.threads);
  m.server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  m.server->set_payload_max_length(m.options.maxBodyBytes);
  m.server->set_keep_alive_timeout(5);
  m.Routes();
  if (port == 0) {
    port = m.server->bind_to_any_port(address);
    if (port < 0) port = 0;
  } else if (!m.server->bind_to_port(address, port)) {
    port = 0;
  }
  if (port == 0) {
    *err = "cannot listen on " + m.options.listen + ": " + std::strerror(errno);
    return false;
  }
  m.port = port;
  // Names the Host header may carry.
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  m.hostNames.push_back(lower(address));
  if (address == "127.0.0.1" || address == "::1" || address == "localhost") {
    for (const char* n : {"127.0.0.1", "::1", "localhost"}) m.hostNames.push_back(n);
  }
  if (address == "0.0.0.0" || address == "::") {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) m.hostNames.push_back(lower(name));
  }
  for (const std::string& n : m.options.hostNames) m.hostNames.push_back(lower(n));
  m.version = m.host.Version();
  m.listener = std::thread([&m] { m.server->listen_after_bind(); });
  m.poller = std::thread([&m] { m.Poll(); });
  m.started = true;
  return true;
}

void WebServer::Stop() {
  Impl& m = *impl_;
  if (!m.started) return;
  {
    std::lock_guard<std::mutex> lock(m.versionMutex);
    m.stopping = true;
  }
  m.versionChanged.notify_all();
  m.server->stop();
  if (m.listener.joinable()) m.listener.join();
  if (m.poller.joinable()) m.poller.join();
  m.started = false;
}

int WebServer::port() const {
  return impl_->port;
}
bool WebServer::https() const {
  return impl_->tls;
}

int RunServer(const ServerOptions& options, PlantHost& host) {
  // Threads started from here on leave the two signals to sigwait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  WebServer server(options, host);
  std::string err;
  if (!server.Start(&err)) {
    std::cerr << "tolvane: error: " << err << "\n";
    return 1;
  }
  std::string address;
  int port = 0;
  SplitListen(options.listen, &address, &port);
  std::cerr << "tolvane: serving the alarm summary on " << (server.https() ? "https" : "http")
            << "://" << (address.find(':') != std::string::npos ? "[" + address + "]" : address)
            << ":" << server.port() << "/ (Ctrl-C stops)\n";
  int signal = 0;
  sigwait(&stop, &signal);
  server.Stop();
  std::cerr << "tolvane: stopped\n";
  return 0;
}

}  // namespace tolvane::web
