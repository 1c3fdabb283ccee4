#include "net/connection.h"

#include "net/follower.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

namespace tolvane::nats {

using Steady = std::chrono::steady_clock;

std::string StatusText(natsStatus s) {
  const char* t = natsStatus_GetText(s);
  return t ? t : "unknown error";
}

std::string LastError(Connection& conn) {
  const char* last = nullptr;
  natsConnection_GetLastError(conn.nc(), &last);
  if (!last || !*last) last = nats_GetLastError(nullptr);  // this thread's
  return last && *last ? " (" + std::string(last) + ")" : "";
}

std::vector<std::string> SplitUrls(const std::string& list) {
  std::vector<std::string> urls;
  for (std::size_t at = 0; at <= list.size();) {
    std::size_t comma = list.find(',', at);
    if (comma == std::string::npos) comma = list.size();
    std::string one = list.substr(at, comma - at);
    one.erase(0, one.find_first_not_of(' '));
    one.erase(one.find_last_not_of(' ') + 1);
    if (!one.empty()) urls.push_back(one);
    at = comma + 1;
  }
  return urls;
}

std::string CredentialsUser(const std::string& credentials) {
  std::size_t colon = credentials.find(':');
  if (colon == std::string::npos || credentials.ends_with(".creds")) return {};
  return credentials.substr(0, colon);
}

bool ReadCredentials(const std::string& given, std::string* out, std::string* err) {
  out->clear();
  std::string arg = given;
  if (arg.empty()) {
    const char* env = std::getenv(kCredentialsVariable);
    if (!env || !*env) return true;
    arg = env;
    struct stat st {};
    // The variable may hold the credentials themselves.
    if (::stat(arg.c_str(), &st) != 0) {
      if (arg.find(':') == std::string::npos) {
        *err = std::string(kCredentialsVariable) + " holds neither user:password nor a file";
        return false;
      }
      *out = arg;
      return true;
    }
  }
  if (arg.ends_with(".creds")) {
    *out = arg;
    return true;
  }
  struct stat st {};
  if (::stat(arg.c_str(), &st) != 0) {
    if (arg.find(':') != std::string::npos) {
      *err =
          "a password on the command line shows in ps: put user:password in a file only you "
          "can read and give its path, or set " +
          std::string(kCredentialsVariable);
    } else {
      *err = "cannot read the credentials file " + arg + ": " + std::strerror(errno);
    }
    return false;
  }
  if ((st.st_mode & 077) != 0) {
    *err = "the credentials file " + arg + " can be read by others: chmod 600 " + arg;
    return false;
  }
  std::ifstream in(arg);
  std::string line;
  if (!std::getline(in, line)) {
    *err = "cannot read the credentials file " + arg;
    return false;
  }
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  if (line.find(':') == std::string::npos) {
    *err = "the credentials file " + arg + " does not hold user:password on its first line";
    return false;
  }
  *out = line;
  return true;
}

std::unique_ptr<Connection> Connection::Open(const ConnectOptions& options, std::string* err) {
  std::unique_ptr<Connection> c(new Connection());
  natsOptions* opts = nullptr;
  auto fail = [&](const std::string& what, natsStatus s) {
    if (err) {
      *err = what + ": " + StatusText(s);
      const char* last = nullptr;
      if (c->nc_ && natsConnection_GetLastError(c->nc_, &last) != NATS_OK && last && *last) {
        *err += " (" + std::string(last) + ")";
      }
    }
    if (opts) natsOptions_Destroy(opts);
    return nullptr;
  };
  natsStatus s = natsOptions_Create(&opts);
  if (s != NATS_OK) return fail("cannot set up a connection", s);
  std::vector<std::string> urls = SplitUrls(options.url);
  if (options.inOrder) natsOptions_SetNoRandomize(opts, true);
  std::vector<const char*> servers;
  for (const std::string& u : urls) servers.push_back(u.c_str());
  natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size()));
  if (!options.name.empty()) natsOptions_SetName(opts, options.name.c_str());
  natsOptions_SetTimeout(opts, options.connectTimeoutMs);
  natsOptions_SetMaxReconnect(opts, -1);
  natsOptions_SetReconnectWait(opts, 250);
  natsOptions_SetReconnectJitter(opts, 100, 500);
  natsOptions_SetPingInterval(opts, 2000);
  natsOptions_SetMaxPingsOut(opts, 2);
  natsOptions_SetErrorHandler(opts, &Connection::OnError, c.get());
  natsOptions_SetDisconnectedCB(opts, &Connection::OnDisconnected, c.get());
  natsOptions_SetReconnectedCB(opts, &Connection::OnReconnected, c.get());
  natsOptions_SetClosedCB(opts, &Connection::OnClosed, c.get());
  if (options.url.rfind("tls://", 0) == 0 || !options.caFile.empty()) {
    natsOptions_SetSecure(opts, true);
    if (!options.caFile.empty()) {
      s = natsOptions_LoadCATrustedCertificates(opts, options.caFile.c_str());
      if (s != NATS_OK) return fail("cannot read " + options.caFile, s);
    }
  }
  const std::string& cred = options.credentials;
  c->inboxPrefix_ = options.inboxPrefix;
  if (c->inboxPrefix_.empty()) {
    std::string user = CredentialsUser(cred);
    c->inboxPrefix_ = user.empty() ? "_INBOX" : "_INBOX_" + user;
  }
  s = natsOptions_SetCustomInboxPrefix(opts, c->inboxPrefix_.c_str());
  if (s != NATS_OK) return fail("bad inbox prefix " + c->inboxPrefix_, s);
  if (!cred.empty()) {
    std::size_t colon = cred.find(':');
    if (cred.size() > 6 && cred.compare(cred.size() - 6, 6, ".creds") == 0) {
      s = natsOptions_SetUserCredentialsFromFiles(opts, cred.c_str(), nullptr);
    } else if (colon != std::string::npos) {
      s = natsOptions_SetUserInfo(opts, cred.substr(0, colon).c_str(),
                                  cred.substr(colon + 1).c_str());
    } else {
      s = natsOptions_SetToken(opts, cred.c_str());
    }
    if (s != NATS_OK) return fail("bad credentials", s);
  }
  s = natsConnection_Connect(&c->nc_, opts);
  natsOptions_Destroy(opts);
  opts = nullptr;
  if (s != NATS_OK) return fail("cannot connect to " + options.url, s);
  s = natsConnection_JetStream(&c->js_, c->nc_, nullptr);
  if (s != NATS_OK) return fail("no JetStream", s);
  // A unique inbox under our prefix: the library's inbox names its own.
  char* inbox = nullptr;
  natsInbox_Create(&inbox);
  std::string unique = inbox ? inbox : "";
  natsInbox_Destroy(inbox);
  unique = unique.substr(unique.rfind('.') + 1);
  c->inbox_ = c->inboxPrefix_ + "." + unique + ".";
  s = natsConnection_Subscribe(&c->replies_, c->nc_, (c->inbox_ + "*").c_str(),
                               &Connection::OnReply, c.get());
  if (s != NATS_OK) return fail("cannot receive answers", s);
  return c;
}

Connection::~Connection() {
  closing_ = true;
  if (replies_) {
    natsSubscription_Unsubscribe(replies_);
    natsSubscription_Destroy(replies_);
  }
  if (js_) jsCtx_Destroy(js_);
  if (nc_) {
    natsConnection_Close(nc_);
    // Callbacks come on the library's own thread, the closed one last: this
    // object must outlive them.
    std::unique_lock lock(m_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return closed_; });
    lock.unlock();
    natsConnection_Destroy(nc_);
  }
}

void Connection::OnClosed(natsConnection*, void* self) {
  auto* c = static_cast<Connection*>(self);
  std::lock_guard lock(c->m_);
  c->closed_ = true;
  c->cv_.notify_all();
}

bool Connection::Connected() const {
  return nc_ && natsConnection_Status(nc_) == NATS_CONN_STATUS_CONNECTED;
}

std::string Connection::ConnectedUrl() const {
  char buf[512] = {0};
  if (!nc_ || natsConnection_GetConnectedUrl(nc_, buf, sizeof buf) != NATS_OK) return {};
  return buf;
}

void Connection::SetStateListener(std::function<void(bool)> listener) {
  std::lock_guard lock(m_);
  listener_ = std::move(listener);
}

void Connection::Notify(bool connected) {
  if (closing_) return;
  std::function<void(bool)> l;
  {
    std::lock_guard lock(m_);
    l = listener_;
  }
  if (l) l(connected);
}

void Connection::OnDisconnected(natsConnection*, void* self) {
  static_cast<Connection*>(self)->Notify(false);
}

void Connection::OnReconnected(natsConnection*, void* self) {
  static_cast<Connection*>(self)->Notify(true);
}

void Connection::OnError(natsConnection* nc, natsSubscription* sub, natsStatus err, void* self) {
  auto* c = static_cast<Connection*>(self);
  if (err == NATS_MISSED_HEARTBEAT) {
    NoteMissedHeartbeats(sub);
    return;
  }
  if (err != NATS_NOT_PERMITTED) return;
  const char* last = nullptr;
  natsConnection_GetLastError(nc, &last);
  std::string text = last ? last : "";
  // The client library may hand the server's text over in lower case.
  for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  std::lock_guard lock(c->m_);
  c->refusals_.push_back({Steady::now(), std::move(text)});
  while (c->refusals_.size() > 64) c->refusals_.pop_front();
  c->cv_.notify_all();
}

void Connection::OnReply(natsConnection*, natsSubscription*, natsMsg* msg, void* self) {
  auto* c = static_cast<Connection*>(self);
  const char* subj = natsMsg_GetSubject(msg);
  std::size_t n = std::strlen(subj);
  if (n > c->inbox_.size()) {
    uint64_t id = std::strtoull(subj + c->inbox_.size(), nullptr, 10);
    std::lock_guard lock(c->m_);
    auto it = c->pending_.find(id);
    if (it != c->pending_.end() && !it->second.done) {
      it->second.done = true;
      it->second.noResponders = natsMsg_IsNoResponders(msg);
      it->second.data.assign(natsMsg_GetData(msg),
                             static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
      c->cv_.notify_all();
    }
  }
  natsMsg_Destroy(msg);
}

namespace {
std::string QuotedLower(const std::string& subject) {
  std::string q = "\"" + subject + "\"";
  for (char& ch : q) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return q;
}
}  // namespace

bool Connection::RefusedLocked(const std::string& subject, Steady::time_point since) const {
  std::string quoted = QuotedLower(subject);
  for (const Refusal& r : refusals_) {
    if (r.when >= since && r.text.find(quoted) != std::string::npos) return true;
  }
  return false;
}

bool Connection::RefusedSince(const std::string& subject, Steady::time_point since) {
  std::lock_guard lock(m_);
  return RefusedLocked(subject, since);
}

RequestResult Connection::Request(const std::string& subject, const std::string& data,
                                  int timeoutMs, std::string* reply) {
  if (!Connected()) return RequestResult::kOffline;
  Steady::time_point start = Steady::now();
  uint64_t id;
  {
    std::lock_guard lock(m_);
    id = nextRequest_++;
    pending_.emplace(id, Pending{});
  }
  std::string replyTo = inbox_ + std::to_string(id);
  natsStatus s = natsConnection_PublishRequest(nc_, subject.c_str(), replyTo.c_str(), data.data(),
                                               static_cast<int>(data.size()));
  std::unique_lock lock(m_);
  if (s != NATS_OK) {
    pending_.erase(id);
    return s == NATS_NOT_PERMITTED ? RequestResult::kRefused : RequestResult::kOffline;
  }
  bool ok = cv_.wait_until(lock, start + std::chrono::milliseconds(timeoutMs),
                           [&] { return pending_[id].done || RefusedLocked(subject, start); });
  Pending p = std::move(pending_[id]);
  pending_.erase(id);
  if (!ok) return RequestResult::kTimeout;
  if (!p.done) return RequestResult::kRefused;
  if (p.noResponders) return RequestResult::kNoResponders;
  if (reply) *reply = std::move(p.data);
  return RequestResult::kOk;
}

}  // namespace tolvane::nats
