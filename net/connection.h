// One connection to the NATS servers, with its JetStream context, as both
// node daemons and stations hold it. It reconnects by itself forever; its
// requests fail fast while it is offline and tell a refusal by the server
// from a node that does not answer.
#pragma once

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tolvane::nats {

struct ConnectOptions {
  // One URL or several separated by commas (the servers of a cluster).
  // tls:// URLs use TLS.
  std::string url = "nats://127.0.0.1:4222";
  // Empty: none. "user:password", or the path of a .creds file. Programs
  // take it from a file or the environment (ReadCredentials), never from
  // their command line.
  std::string credentials;
  // Replies and deliveries come to subjects under this prefix. Empty:
  // "_INBOX_<user>" when the credentials name a user, so that the server
  // can give each user its own inboxes (docs/nats-users.conf).
  std::string inboxPrefix;
  std::string name;    // shown by the server's monitoring
  std::string caFile;  // trusted certificates for TLS; empty: the system's
  int connectTimeoutMs = 2000;
  // Try the servers in the order given (a station leaving one that cannot
  // serve JetStream puts it last).
  bool inOrder = false;
};

// The servers of a URL list, in order.
std::vector<std::string> SplitUrls(const std::string& urls);

enum class RequestResult {
  kOk,
  kTimeout,       // nobody answered in time
  kNoResponders,  // nobody serves the subject
  kRefused,       // the server refused us the subject
  kOffline,       // not connected to any server
};

class Connection {
 public:
  // Connects (the first server that answers). Null with a message when
  // none does or the credentials are refused.
  static std::unique_ptr<Connection> Open(const ConnectOptions& options, std::string* err);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  natsConnection* nc() const { return nc_; }
  jsCtx* js() const { return js_; }
  bool Connected() const;
  // The server connected to; empty when none.
  std::string ConnectedUrl() const;
  // Called (on a library thread) whenever the connection goes or comes back.
  void SetStateListener(std::function<void(bool connected)> listener);

  // Sends `data` to `subject` and waits up to `timeoutMs` for one answer.
  RequestResult Request(const std::string& subject, const std::string& data, int timeoutMs,
                        std::string* reply);
  // True when the server refused us `subject` (publish or subscribe) since
  // `since`.
  bool RefusedSince(const std::string& subject, std::chrono::steady_clock::time_point since);

 private:
  Connection() = default;
  static void OnError(natsConnection* nc, natsSubscription* sub, natsStatus err, void* self);
  static void OnDisconnected(natsConnection* nc, void* self);
  static void OnReconnected(natsConnection* nc, void* self);
  static void OnClosed(natsConnection* nc, void* self);
  static void OnReply(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* self);
  void Notify(bool connected);
  // REQUIRES: m_ held.
  bool RefusedLocked(const std::string& subject, std::chrono::steady_clock::time_point since) const;

  natsConnection* nc_ = nullptr;
  jsCtx* js_ = nullptr;
  natsSubscription* replies_ = nullptr;
  std::string inbox_;  // "<inbox>." + request number

 public:
  // The prefix of this connection's inboxes.
  const std::string& inboxPrefix() const { return inboxPrefix_; }

 private:
  std::string inboxPrefix_ = "_INBOX";

  std::mutex m_;
  std::condition_variable cv_;
  struct Pending {
    bool done = false;
    bool noResponders = false;
    std::string data;
  };
  std::map<uint64_t, Pending> pending_;
  uint64_t nextRequest_ = 1;
  struct Refusal {
    std::chrono::steady_clock::time_point when;
    std::string text;
  };
  std::deque<Refusal> refusals_;
  std::function<void(bool)> listener_;
  std::atomic<bool> closing_{false};
  bool closed_ = false;  // the closed callback ran
};

// natsStatus as a sentence piece.
std::string StatusText(natsStatus s);
// The server's or the client library's last error text, as " (text)", or "".
std::string LastError(Connection& conn);

// The environment variable programs read credentials from.
inline constexpr const char* kCredentialsVariable = "TOLVANE_NATS_CREDENTIALS";

// Credentials for a program: `given` is the path of a .creds file or of a
// file holding "user:password" on its first line (readable by its owner
// only); empty takes kCredentialsVariable ("user:password" or such a path).
// A password on the command line shows in `ps`: "user:password" in `given`
// is refused. Empty result: none. False with a message.
bool ReadCredentials(const std::string& given, std::string* out, std::string* err);

// The user named by credentials ("user:password"); empty for a .creds file
// or a token.
std::string CredentialsUser(const std::string& credentials);

}  // namespace tolvane::nats
