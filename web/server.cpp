#include "web/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "web/api.h"
#include "web/assets.h"
#include "web/sessions.h"
#include "web/users.h"
#include "web/wire.h"

namespace tolvane::web {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kCookie = "tolvane_session";
constexpr const char* kCsrfHeader = "X-CSRF-Token";
// A live page hears something at least this often, so a gone browser is
// noticed and proxies keep the stream.
constexpr auto kStreamHeartbeat = std::chrono::seconds(15);
// How much of a chunked body past the limit is read and dropped, waiting
// for its end, before the connection is closed on it.
constexpr std::size_t kMaxDroppedBody = 1 << 20;

bool SameCaseless(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A request as the handlers see it: copied out of the connection once its
// headers are in, so a worker may read it while the connection waits.
struct Request {
  std::string method;
  std::string path;
  std::string remoteAddr;
  std::vector<std::pair<std::string, std::string>> headers;
  // Query parameters in order; a parameter without '=' has no value.
  std::vector<std::pair<std::string, std::optional<std::string>>> params;
  std::string body;

  const std::string* FindHeader(std::string_view name) const {
    for (const auto& [k, v] : headers) {
      if (SameCaseless(k, name)) return &v;
    }
    return nullptr;
  }
  std::string Header(std::string_view name) const {
    const std::string* v = FindHeader(name);
    return v ? *v : std::string();
  }
  bool HasParam(std::string_view name) const {
    return std::any_of(params.begin(), params.end(),
                       [&](const auto& p) { return p.first == name; });
  }
  std::string Param(std::string_view name) const {
    for (const auto& [k, v] : params) {
      if (k == name) return v.value_or("");
    }
    return {};
  }
};

struct Reply {
  int status = 200;
  std::string type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
};

void Send(Reply& res, const ApiResult& r) {
  res.status = r.status;
  res.type = "application/json; charset=utf-8";
  res.body = DumpJson(r.body);
}

std::string CookieValue(const Request& req, const std::string& name) {
  std::string header = req.Header("Cookie");
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

// Query texts as browsers write them: %XX and '+' for a space
// (URLSearchParams). Shortens in place, as the library wants.
size_t Unescape(void*, MHD_Connection*, char* s) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  char* out = s;
  for (const char* in = s; *in; ++in) {
    if (*in == '+') {
      *out++ = ' ';
    } else if (*in == '%' && hex(in[1]) >= 0 && hex(in[2]) >= 0) {
      *out++ = static_cast<char>(hex(in[1]) * 16 + hex(in[2]));
      in += 2;
    } else {
      *out++ = *in;
    }
  }
  *out = '\0';
  return static_cast<size_t>(out - s);
}

std::string AddressText(const sockaddr* a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a && a->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
  } else if (a && a->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
  }
  return text;
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return static_cast<bool>(in) || in.eof();
}

// A fixed set of threads and a bounded queue. A caller reserves a place
// first, so it knows before it commits the connection whether the work will
// run; Stop runs what is queued, then joins.
class TaskPool {
 public:
  void Start(int threads, int queue) {
    bound_ = static_cast<std::size_t>(std::max(0, queue) + std::max(1, threads));
    for (int i = 0; i < std::max(1, threads); ++i) threads_.emplace_back([this] { Run(); });
  }
  bool Reserve() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || inFlight_ >= bound_) return false;
    ++inFlight_;
    return true;
  }
  // REQUIRES: a place reserved.
  void Submit(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tasks_.push_back(std::move(task));
    }
    ready_.notify_one();
  }
  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
    threads_.clear();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      ready_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
      if (tasks_.empty()) return;  // stopping, nothing left
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      lock.lock();
      --inFlight_;
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::thread> threads_;
  std::size_t bound_ = 0;
  std::size_t inFlight_ = 0;  // queued and running
  bool stopping_ = false;
};

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
      : options(o), host(h), sessions(o.sessionIdle, o.sessionLifetime), limiter(o.signInWindow) {}

  // One request on a connection, from its headers to its answer.
  struct Exchange {
    Request req;
    Reply reply;
    bool dispatched = false;         // the whole request is in and was handed on
    bool tooLarge = false;           // a chunked body passed the limit ...
    std::size_t dropped = 0;         // ... and this much more came
    std::atomic<bool> ready{false};  // a worker wrote `reply`
  };

  // A connection, for the deadline watcher: when its socket is shut
  // because the headers or body it owes did not come in time.
  struct Conn {
    int fd = -1;
    Clock::time_point deadline = Clock::time_point::max();
  };

  // An open event stream (a live page). Between events its connection is
  // suspended and holds no thread; the poller resumes it when there is
  // something to say.
  struct Stream {
    Impl* m = nullptr;
    MHD_Connection* connection = nullptr;
    std::string session;
    std::optional<uint64_t> last;  // the version last sent
    Clock::time_point lastWrite = Clock::now();
    std::string pending;  // written but not yet taken
    bool suspended = false;
    bool ended = false;
  };

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
    std::string name = req.Header("Host");
    if (name.empty()) return false;
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

  // Who is signed in, and how the page is to show times.
  ApiResult SessionAnswer(const Session& s) const {
    ApiResult r;
    r.body = json{{"user", s.user},
                  {"role", RoleName(s.role)},
                  {"csrf", s.csrf},
                  {"times", {{"zone", options.times.ZoneName()},
                             {"format", options.times.FormatName()},
                             {"offset", options.times.OffsetNow()}}}};
    return r;
  }

  // The session of a request; answers 401 itself when there is none. An
  // action also needs the page's origin, the session's CSRF token, the
  // operator role and a JSON body.
  std::optional<Session> Authorise(const Request& req, Reply& res, bool action,
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
    if (!SameToken(req.Header(kCsrfHeader), s->csrf)) {
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
    std::string origin = req.Header("Origin");
    if (origin.empty()) return true;  // not a browser's cross-site request
    std::size_t scheme = origin.find("://");
    if (scheme == std::string::npos) return false;
    return origin.substr(scheme + 3) == req.Header("Host");
  }

  bool ReadJson(const Request& req, Reply& res, json* body) {
    if (!IsJsonType(req.Header("Content-Type"))) {
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

  // The checks of a sign-in that cost nothing, on the event thread; false
  // with the answer when it ends here.
  bool SignInPrecheck(const Request& req, Reply& res, std::string* name, std::string* password) {
    json body;
    if (!SameOrigin(req)) {
      Send(res, ApiError(403, "request from another site"));
      return false;
    }
    if (!ReadJson(req, res, &body)) return false;
    if (!body.contains("user") || !body["user"].is_string() || !body.contains("password") ||
        !body["password"].is_string()) {
      Send(res, ApiError(400, "give user and password"));
      return false;
    }
    *name = body["user"].get<std::string>();
    *password = body["password"].get<std::string>();
    if (name->size() > 64 || password->size() > 1024) {
      Send(res, ApiError(400, "user name or password too long"));
      return false;
    }
    int wait =
        std::max({limiter.RetryAfter(PairKey(*name, req)), limiter.RetryAfter("user " + *name),
                  limiter.RetryAfter("address " + req.remoteAddr)});
    if (wait > 0) {
      ++signInsRefused;
      res.headers.emplace_back("Retry-After", std::to_string(wait));
      Send(res,
           ApiError(429, "too many failed sign-ins; try again in " + std::to_string(wait) + " s"));
      return false;
    }
    return true;
  }

  static std::string PairKey(const std::string& name, const Request& req) {
    return "pair " + name + " " + req.remoteAddr;
  }

  // On the hashing pool: each hash takes tens of MiB.
  void SignIn(const Request& req, Reply& res, const std::string& name,
              const std::string& password) {
    const std::string pairKey = PairKey(name, req);
    const std::string nameKey = "user " + name;
    const std::string addressKey = "address " + req.remoteAddr;
    std::optional<User> user = ValidUserName(name) ? FindUser(name) : std::nullopt;
    if (!VerifyPassword(user ? &*user : nullptr, password)) {
      limiter.Failed(pairKey, options.signInFreePair);
      limiter.Failed(nameKey, options.signInFreeName);
      limiter.Failed(addressKey, options.signInFreeAddress);
      ++signInsRefused;
      return Send(res, ApiError(401, "wrong user name or password"));
    }
    limiter.Succeeded(pairKey);
    sessions.Remove(CookieValue(req, kCookie));
    std::string id = sessions.Create(user->name, user->role);
    std::optional<Session> s = sessions.Find(id);
    res.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + id +
                                               "; Path=/; HttpOnly; SameSite=Strict" +
                                               (tls || options.secureCookie ? "; Secure" : ""));
    Send(res, SessionAnswer(*s));
  }

  // --- live pages ---

  // Starts an event stream on `c`; false with the answer in `res` when
  // there is no session.
  MHD_Response* OpenStream(MHD_Connection* c, const Request& req, Reply& res) {
    if (!Authorise(req, res, false)) return nullptr;
    auto* s = new Stream;
    s->m = this;
    s->connection = c;
    s->session = CookieValue(req, kCookie);
    MHD_Response* r =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 1024, &StreamRead, s, &StreamFree);
    if (!r) {
      delete s;
      Send(res, ApiError(500, "internal error"));
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(streamsMutex);
    streams.insert(s);
    return r;
  }

  static ssize_t StreamRead(void* cls, uint64_t, char* buf, size_t max) {
    auto* s = static_cast<Stream*>(cls);
    Impl& m = *s->m;
    std::lock_guard<std::mutex> lock(m.streamsMutex);
    if (s->pending.empty()) {
      if (s->ended || m.stopping.load()) return MHD_CONTENT_READER_END_OF_STREAM;
      uint64_t v = m.liveVersion.load();
      auto now = Clock::now();
      if (!m.sessions.Alive(s->session)) {
        s->pending = "event: signed-out\ndata: -\n\n";
        s->ended = true;
      } else if (!s->last) {
        s->pending = "retry: 1000\ndata: " + std::to_string(v) + "\n\n";
        s->last = v;
      } else if (v != *s->last) {
        s->pending = "data: " + std::to_string(v) + "\n\n";
        s->last = v;
      } else if (now - s->lastWrite >= kStreamHeartbeat) {
        s->pending = ": still here\n\n";
      } else {
        // Nothing to say: hold no thread until the poller has something.
        MHD_suspend_connection(s->connection);
        s->suspended = true;
        return 0;
      }
      s->lastWrite = now;
    }
    std::size_t n = std::min(max, s->pending.size());
    std::memcpy(buf, s->pending.data(), n);
    s->pending.erase(0, n);
    return static_cast<ssize_t>(n);
  }

  static void StreamFree(void* cls) {
    auto* s = static_cast<Stream*>(cls);
    {
      std::lock_guard<std::mutex> lock(s->m->streamsMutex);
      s->m->streams.erase(s);
    }
    delete s;
  }

  // Resumes the suspended streams that have something to say (a new
  // version, a session ended, a heartbeat due), or all of them.
  void WakeStreams(bool all) {
    std::vector<MHD_Connection*> wake;
    {
      std::lock_guard<std::mutex> lock(streamsMutex);
      uint64_t v = liveVersion.load();
      auto now = Clock::now();
      for (Stream* s : streams) {
        if (!s->suspended) continue;
        if (all || v != s->last || now - s->lastWrite >= kStreamHeartbeat ||
            !sessions.Alive(s->session)) {
          s->suspended = false;
          wake.push_back(s->connection);
        }
      }
    }
    // A suspended connection is not closed by the library, so these stay
    // valid until resumed.
    for (MHD_Connection* c : wake) MHD_resume_connection(c);
  }

  void Poll() {
    std::unique_lock<std::mutex> lock(versionMutex);
    while (!stopping) {
      lock.unlock();
      std::string usersErr;
      LoadUsersIfChanged(&usersErr);  // removals end sessions within a tick
      host.Tick(plant::Clock::now());
      liveVersion = host.Version();
      WakeStreams(false);
      lock.lock();
      versionChanged.wait_for(lock, options.poll, [&] { return stopping.load() || poked; });
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

  // --- slow clients ---

  void SetDeadline(MHD_Connection* c, Clock::time_point deadline) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    if (!info || !info->socket_context) return;
    std::lock_guard<std::mutex> lock(connsMutex);
    static_cast<Conn*>(info->socket_context)->deadline = deadline;
  }

  // Shuts the socket of every connection past its deadline; the library
  // then sees it end and closes it.
  void WatchDeadlines() {
    std::unique_lock<std::mutex> lock(connsMutex);
    while (!watcherStop) {
      auto now = Clock::now();
      for (Conn* k : conns) {
        if (k->deadline <= now) {
          ::shutdown(k->fd, SHUT_RDWR);
          k->deadline = Clock::time_point::max();
        }
      }
      connsChanged.wait_for(lock, std::chrono::milliseconds(250));
    }
  }

  static void NotifyConnection(void* cls, MHD_Connection* c, void** socketContext,
                               MHD_ConnectionNotificationCode code) {
    Impl& m = *static_cast<Impl*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      auto* k = new Conn;
      k->fd = info ? info->connect_fd : -1;
      k->deadline = Clock::now() + m.options.headerTimeout;
      std::lock_guard<std::mutex> lock(m.connsMutex);
      m.conns.insert(k);
      *socketContext = k;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socketContext) {
      auto* k = static_cast<Conn*>(*socketContext);
      std::lock_guard<std::mutex> lock(m.connsMutex);
      m.conns.erase(k);
      delete k;
      *socketContext = nullptr;
    }
  }

  static MHD_Result Admit(void* cls, const sockaddr*, socklen_t) {
    Impl& m = *static_cast<Impl*>(cls);
    std::lock_guard<std::mutex> lock(m.connsMutex);
    return m.conns.size() < static_cast<std::size_t>(m.options.maxConnections) ? MHD_YES : MHD_NO;
  }

  static void RequestCompleted(void* cls, MHD_Connection* c, void** conCls,
                               MHD_RequestTerminationCode) {
    Impl& m = *static_cast<Impl*>(cls);
    delete static_cast<Exchange*>(*conCls);
    *conCls = nullptr;
    // The next request on this connection owes its headers from now.
    m.SetDeadline(c, Clock::now() + m.options.headerTimeout);
  }

  // --- answering ---

  void AddCommonHeaders(MHD_Response* r, const std::string& path) {
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(
        r, "Content-Security-Policy",
        "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
        "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'self'; "
        "frame-ancestors 'none'");
    if (path.rfind("/api/", 0) == 0) MHD_add_response_header(r, "Cache-Control", "no-store");
    if (tls) MHD_add_response_header(r, "Strict-Transport-Security", "max-age=31536000");
  }

  MHD_Result Queue(MHD_Connection* c, int status, MHD_Response* r, const std::string& path) {
    AddCommonHeaders(r, path);
    MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(status), r);
    MHD_destroy_response(r);
    std::lock_guard<std::mutex> lock(statsMutex);
    ++byStatus[status];
    return ok;
  }

  MHD_Result Answer(MHD_Connection* c, const Request& req, const Reply& reply, bool close = false) {
    auto* copy = new std::string(reply.body);
    MHD_Response* r = MHD_create_response_from_buffer_with_free_callback_cls(
        copy->size(), copy->data(), [](void* p) { delete static_cast<std::string*>(p); }, copy);
    if (!r) {
      delete copy;
      return MHD_NO;
    }
    if (!reply.type.empty()) MHD_add_response_header(r, "Content-Type", reply.type.c_str());
    for (const auto& [k, v] : reply.headers) MHD_add_response_header(r, k.c_str(), v.c_str());
    if (close) MHD_add_response_header(r, "Connection", "close");
    return Queue(c, reply.status, r, req.path);
  }

  // Runs `work` on `pool` with the connection suspended meanwhile; a full
  // pool answers 503 at once.
  MHD_Result Defer(TaskPool& pool, MHD_Connection* c, Exchange& x,
                   std::function<void(const Request&, Reply&)> work, const char* busy) {
    if (!pool.Reserve()) {
      Reply res;
      res.headers.emplace_back("Retry-After", "1");
      Send(res, ApiError(503, busy));
      return Answer(c, x.req, res);
    }
    MHD_suspend_connection(c);
    pool.Submit([c, &x, work = std::move(work)] {
      try {
        work(x.req, x.reply);
      } catch (...) {
        x.reply = Reply{};
        Send(x.reply, ApiError(500, "internal error"));
      }
      x.ready = true;
      MHD_resume_connection(c);  // neither x nor c is ours after this
    });
    return MHD_YES;
  }

  // The headers are in: refuse what is not for us, and bodies that would
  // be too large, before a byte of the body is read.
  bool Screen(const Request& req, Reply& res) {
    if (!KnownHost(req)) {
      Send(res, ApiError(400, "unknown Host: this server answers to its configured names only"));
      return false;
    }
    if (const std::string* te = req.FindHeader("Transfer-Encoding");
        te && !SameCaseless(*te, "chunked")) {
      Send(res, ApiError(411, "send the body with a Content-Length or chunked"));
      return false;
    }
    if (const std::string* length = req.FindHeader("Content-Length")) {
      if (length->empty() || length->size() > 12 ||
          length->find_first_not_of("0123456789") != std::string::npos ||
          std::stoull(*length) > options.maxBodyBytes) {
        Send(res,
             ApiError(413, "the body is over " + std::to_string(options.maxBodyBytes) + " bytes"));
        return false;
      }
    }
    return true;
  }

  MHD_Result Route(MHD_Connection* c, Exchange& x);

  static MHD_Result Access(void* cls, MHD_Connection* c, const char* url, const char* method,
                           const char*, const char* upload, size_t* uploadSize, void** conCls) {
    Impl& m = *static_cast<Impl*>(cls);
    auto* x = static_cast<Exchange*>(*conCls);
    if (!x) {
      x = new Exchange;
      *conCls = x;
      Request& req = x->req;
      req.method = method;
      req.path = url;
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
      if (info) req.remoteAddr = AddressText(info->client_addr);
      MHD_get_connection_values(
          c, MHD_HEADER_KIND,
          [](void* r, MHD_ValueKind, const char* k, const char* v) {
            static_cast<Request*>(r)->headers.emplace_back(k, v ? v : "");
            return MHD_YES;
          },
          &req);
      MHD_get_connection_values(
          c, MHD_GET_ARGUMENT_KIND,
          [](void* r, MHD_ValueKind, const char* k, const char* v) {
            static_cast<Request*>(r)->params.emplace_back(
                k, v ? std::optional<std::string>(v) : std::nullopt);
            return MHD_YES;
          },
          &req);
      bool body = req.FindHeader("Content-Length") || req.FindHeader("Transfer-Encoding");
      m.SetDeadline(c, body ? Clock::now() + m.options.bodyTimeout : Clock::time_point::max());
      Reply refused;
      if (!m.Screen(req, refused)) return m.Answer(c, req, refused, true);
      return MHD_YES;
    }
    if (*uploadSize != 0) {
      // A chunked body is kept up to the limit and no further. Past it the
      // rest is read and dropped, so the client hears 413 when it ends; a
      // body that goes on (no answer can be queued while a body is being
      // read) loses its connection instead.
      if (x->tooLarge || x->req.body.size() + *uploadSize > m.options.maxBodyBytes) {
        if (!x->tooLarge) {
          x->tooLarge = true;
          x->req.body.clear();
          x->req.body.shrink_to_fit();
        }
        x->dropped += *uploadSize;
        if (x->dropped > kMaxDroppedBody) return MHD_NO;
        *uploadSize = 0;
        return MHD_YES;
      }
      x->req.body.append(upload, *uploadSize);
      *uploadSize = 0;
      return MHD_YES;
    }
    if (!x->dispatched) {
      x->dispatched = true;
      m.SetDeadline(c, Clock::time_point::max());
      if (x->tooLarge) {
        Reply res;
        Send(res, ApiError(413, "the body is over " + std::to_string(m.options.maxBodyBytes) +
                                    " bytes"));
        return m.Answer(c, x->req, res, true);
      }
      return m.Route(c, *x);
    }
    if (x->ready) return m.Answer(c, x->req, x->reply);
    return MHD_YES;
  }

  ServerOptions options;
  PlantHost& host;
  SessionStore sessions;
  SignInLimiter limiter;
  MHD_Daemon* daemon = nullptr;
  int listenFd = -1;
  bool tls = false;
  int port = 0;
  std::string cert, key;  // PEM, kept while the daemon runs

  std::mutex usersMutex;
  std::vector<User> users;
  struct stat usersStat {};
  bool checked = false, usersPresent = false, usersOk = false;
  std::string usersError;
  std::vector<std::string> hostNames;  // lower case, without ports

  TaskPool workers;
  TaskPool hashers;

  std::mutex versionMutex;
  std::condition_variable versionChanged;
  std::atomic<uint64_t> liveVersion{0};
  std::atomic<bool> stopping{false};
  bool poked = false;

  std::mutex streamsMutex;
  std::set<Stream*> streams;

  std::mutex connsMutex;
  std::condition_variable connsChanged;
  std::set<Conn*> conns;
  bool watcherStop = false;

  std::mutex statsMutex;
  std::map<int, std::uint64_t> byStatus;
  std::atomic<std::uint64_t> signInsRefused{0};

  std::thread poller, watcher;
  bool started = false;
};

MHD_Result WebServer::Impl::Route(MHD_Connection* c, Exchange& x) {
  const Request& req = x.req;
  const std::string& path = req.path;
  const bool get = req.method == "GET" || req.method == "HEAD";
  const bool post = req.method == "POST";
  Reply res;

  auto asset = [&](const char* name, const char* type) {
    std::optional<std::string_view> bytes = FindAsset(name);
    if (!bytes) {
      Send(res, ApiError(404, "not found"));
    } else {
      res.type = type;
      res.body.assign(bytes->data(), bytes->size());
    }
    return Answer(c, req, res);
  };
  if (get && path == "/") return asset("index.html", "text/html; charset=utf-8");
  if (get && path == "/app.js") return asset("app.js", "text/javascript; charset=utf-8");
  if (get && path == "/app.css") return asset("app.css", "text/css; charset=utf-8");

  if (post && path == "/api/login") {
    auto creds = std::make_shared<std::pair<std::string, std::string>>();
    if (!SignInPrecheck(req, res, &creds->first, &creds->second)) return Answer(c, req, res);
    return Defer(
        hashers, c, x,
        [this, creds](const Request& r, Reply& out) {
          SignIn(r, out, creds->first, creds->second);
        },
        "too many sign-ins at once; try again in a second");
  }
  if (post && path == "/api/logout") {
    std::optional<Session> session = sessions.Find(CookieValue(req, kCookie));
    if (session && !SameToken(req.Header(kCsrfHeader), session->csrf)) {
      Send(res, ApiError(403, "missing or wrong CSRF token"));
      return Answer(c, req, res);
    }
    sessions.Remove(CookieValue(req, kCookie));
    res.headers.emplace_back(
        "Set-Cookie", std::string(kCookie) + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    Send(res, ApiResult{});
    return Answer(c, req, res);
  }
  if (get && path == "/api/session") {
    if (std::optional<Session> session = Authorise(req, res, false)) {
      Send(res, SessionAnswer(*session));
    }
    return Answer(c, req, res);
  }
  if (get && path == "/api/events") {
    MHD_Response* stream = OpenStream(c, req, res);
    if (!stream) return Answer(c, req, res);
    MHD_add_response_header(stream, "Content-Type", "text/event-stream");
    return Queue(c, 200, stream, path);
  }

  // What reads the plant or acts on it runs on a worker: it may wait for
  // the host's lock or walk a large view.
  using Work = std::function<void(const Request&, Reply&)>;
  Work work;
  if (get && path == "/api/alarms") {
    work = [this](const Request& r, Reply& out) {
      if (!Authorise(r, out, false)) return;
      AlarmQuery q;
      if (r.HasParam("sort")) q.sort = r.Param("sort");
      if (r.HasParam("count")) q.count = r.Param("count");
      q.filter = r.Param("filter");
      q.page = r.Param("page");
      q.after = r.Param("after");
      q.before = r.Param("before");
      q.last = r.HasParam("last") && r.Param("last") != "0";
      q.ref = r.Param("ref");
      q.records = r.Param("records");
      Send(out, GetAlarms(host, q, options.times));
    };
  } else if (get && path == "/api/check") {
    work = [this](const Request& r, Reply& out) {
      if (Authorise(r, out, false)) Send(out, CheckFilter(host, r.Param("filter")));
    };
  } else if (get && path == "/api/journal") {
    work = [this](const Request& r, Reply& out) {
      if (Authorise(r, out, false)) Send(out, GetJournal(host, r.Param("limit"), options.times));
    };
  } else if (get && path == "/api/shelved") {
    work = [this](const Request& r, Reply& out) {
      if (Authorise(r, out, false)) Send(out, GetShelved(host, options.times));
    };
  } else if (get && path == "/api/source") {
    // Public: the sign-in page too must say when it is the demo plant.
    work = [this](const Request&, Reply& out) { Send(out, GetSource(host)); };
  } else if (post && path == "/api/ack-all/preview") {
    work = [this](const Request& r, Reply& out) {
      json body;
      if (Authorise(r, out, true, &body)) Send(out, AcknowledgeAllPreview(host, body));
    };
  } else if (post) {
    using Action = ApiResult (*)(PlantHost&, const std::string&, const json&);
    static const std::map<std::string, Action> kActions = {
        {"/api/ack", &Acknowledge}, {"/api/ack-all", &AcknowledgeAll}, {"/api/delete", &Delete},
        {"/api/shelve", &Shelve},   {"/api/unshelve", &Unshelve},      {"/api/horn", &Horn}};
    if (auto it = kActions.find(path); it != kActions.end()) {
      Action fn = it->second;
      work = [this, fn](const Request& r, Reply& out) {
        json body;
        std::optional<Session> session = Authorise(r, out, true, &body);
        if (!session) return;
        Send(out, fn(host, session->user, body));
        Poke();
      };
    }
  }
  if (work)
    return Defer(workers, c, x, std::move(work), "the server is busy; try again in a second");

  static const std::set<std::string> kKnown = {"/",
                                               "/app.js",
                                               "/app.css",
                                               "/api/login",
                                               "/api/logout",
                                               "/api/session",
                                               "/api/events",
                                               "/api/alarms",
                                               "/api/check",
                                               "/api/journal",
                                               "/api/shelved",
                                               "/api/source",
                                               "/api/ack-all/preview",
                                               "/api/ack",
                                               "/api/ack-all",
                                               "/api/delete",
                                               "/api/shelve",
                                               "/api/unshelve",
                                               "/api/horn"};
  Send(res, kKnown.count(path) ? ApiError(405, "method not allowed") : ApiError(404, "not found"));
  return Answer(c, req, res);
}

WebServer::WebServer(const ServerOptions& options, PlantHost& host)
    : impl_(std::make_unique<Impl>(options, host)) {}

WebServer::~WebServer() {
  Stop();
}

namespace {

// A listening socket on `address`:`port`, or -1 with errno set.
int Listen(const std::string& address, int port, int* bound) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  if (int rc = getaddrinfo(address.c_str(), service.c_str(), &hints, &found); rc != 0) {
    errno = EADDRNOTAVAIL;
    return -1;
  }
  int fd = -1;
  int saved = 0;
  for (addrinfo* a = found; a; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (a->ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 511) == 0) break;
    saved = errno;
    close(fd);
    fd = -1;
  }
  freeaddrinfo(found);
  if (fd < 0) {
    errno = saved;
    return -1;
  }
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
  *bound = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

}  // namespace

bool WebServer::Start(std::string* err) {
  Impl& m = *impl_;
  const ServerOptions& o = m.options;
  if (!InitCrypto()) {
    *err = "libsodium did not start";
    return false;
  }
  if (o.workers < 1 || o.workQueue < 0 || o.maxConnections < 1 || o.maxPerAddress < 1 ||
      o.hashWorkers < 1 || o.hashQueue < 0) {
    *err = "workers, connections and per-address connections must be at least 1";
    return false;
  }
  if (!m.LoadUsersIfChanged(err)) return false;
  std::string address;
  int port = 0;
  if (!SplitListen(o.listen, &address, &port)) {
    *err = "--listen must be HOST:PORT, got " + o.listen;
    return false;
  }
  if (o.certFile.empty() != o.keyFile.empty()) {
    *err = "HTTPS needs both a certificate and a key";
    return false;
  }
  m.tls = !o.certFile.empty();
  if (m.tls) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      *err = "this build of libmicrohttpd cannot serve HTTPS; serve behind a proxy (docs/web.md)";
      return false;
    }
    if (!ReadFile(o.certFile, &m.cert) || !ReadFile(o.keyFile, &m.key)) {
      *err = "cannot read the certificate " + o.certFile + " or the key " + o.keyFile;
      return false;
    }
  }
  // Each connection is a descriptor: make room for as many as we take.
  rlimit nofile{};
  rlim_t want = static_cast<rlim_t>(o.maxConnections) + 256;
  if (getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < want) {
    nofile.rlim_cur = std::min(want, nofile.rlim_max);
    setrlimit(RLIMIT_NOFILE, &nofile);
  }
  m.listenFd = Listen(address, port, &port);
  if (m.listenFd < 0) {
    *err = "cannot listen on " + o.listen + ": " + std::strerror(errno);
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
  for (const std::string& n : o.hostNames) m.hostNames.push_back(lower(n));
  m.liveVersion = m.host.Version();

  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
  if (m.tls) flags |= MHD_USE_TLS;
  std::vector<MHD_OptionItem> opts = {
      {MHD_OPTION_LISTEN_SOCKET, m.listenFd, nullptr},
      // The library holds back connections past its limit in the listen
      // queue; ours (Admit), a little below, accepts and closes them at
      // once, so a flood is refused rather than left waiting.
      {MHD_OPTION_CONNECTION_LIMIT, o.maxConnections + 8, nullptr},
      {MHD_OPTION_PER_IP_CONNECTION_LIMIT, o.maxPerAddress, nullptr},
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(o.idleTimeout.count()), nullptr},
      {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(o.maxHeaderBytes), nullptr},
      {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&Impl::NotifyConnection), &m},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&Impl::RequestCompleted), &m},
      {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&Unescape), nullptr},
  };
  if (m.tls) {
    opts.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, m.cert.data()});
    opts.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, m.key.data()});
  }
  opts.push_back({MHD_OPTION_END, 0, nullptr});

  m.workers.Start(o.workers, o.workQueue);
  m.hashers.Start(o.hashWorkers, o.hashQueue);
  m.stopping = false;
  m.watcherStop = false;
  m.watcher = std::thread([&m] { m.WatchDeadlines(); });
  m.daemon = MHD_start_daemon(flags, 0, &Impl::Admit, &m, &Impl::Access, &m, MHD_OPTION_ARRAY,
                              opts.data(), MHD_OPTION_END);
  if (!m.daemon) {
    *err = m.tls ? "cannot use the certificate " + o.certFile + " with the key " + o.keyFile
                 : "cannot start serving on " + o.listen;
    m.workers.Stop();
    m.hashers.Stop();
    {
      std::lock_guard<std::mutex> lock(m.connsMutex);
      m.watcherStop = true;
    }
    m.connsChanged.notify_all();
    m.watcher.join();
    close(m.listenFd);
    m.listenFd = -1;
    return false;
  }
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
  if (m.poller.joinable()) m.poller.join();
  // No new connections; the rest end below.
  MHD_socket quiet = MHD_quiesce_daemon(m.daemon);
  // Work already taken runs to its end and its connection resumes; no
  // more is taken. Suspended live pages resume to end their streams: the
  // library must hold no suspended connection when it stops.
  m.workers.Stop();
  m.hashers.Stop();
  m.WakeStreams(true);
  MHD_stop_daemon(m.daemon);
  m.daemon = nullptr;
  if (quiet != MHD_INVALID_SOCKET) close(quiet);
  m.listenFd = -1;
  {
    std::lock_guard<std::mutex> lock(m.connsMutex);
    m.watcherStop = true;
  }
  m.connsChanged.notify_all();
  if (m.watcher.joinable()) m.watcher.join();
  m.started = false;
}

int WebServer::port() const {
  return impl_->port;
}
bool WebServer::https() const {
  return impl_->tls;
}

WebStats WebServer::Stats() const {
  Impl& m = *impl_;
  WebStats s;
  s.sessions = m.sessions.Size();
  {
    std::lock_guard<std::mutex> lock(m.streamsMutex);
    s.livePages = m.streams.size();
  }
  {
    std::lock_guard<std::mutex> lock(m.connsMutex);
    s.connections = m.conns.size();
  }
  s.signInsRefused = m.signInsRefused.load();
  std::lock_guard<std::mutex> lock(m.statsMutex);
  s.requestsByStatus = m.byStatus;
  return s;
}

}  // namespace tolvane::web
