// Signed-in sessions and the sign-in rate limit of the web display.
// Thread-safe: every HTTP worker thread uses the same objects.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "web/users.h"

namespace tolvane::web {

using SteadyClock = std::chrono::steady_clock;

struct Session {
  std::string user;
  Role role = Role::kViewer;
  std::string csrf;  // sent back in X-CSRF-Token with every action
  SteadyClock::time_point created{};
  SteadyClock::time_point lastSeen{};
};

class SessionStore {
 public:
  // A session ends after `idle` without a request, and `lifetime` after
  // sign-in whatever happens.
  SessionStore(std::chrono::seconds idle, std::chrono::seconds lifetime)
      : idle_(idle), lifetime_(lifetime) {}

  // A new session; returns its id (the cookie's value).
  std::string Create(const std::string& user, Role role);
  // The live session of `id`, touched; nothing when unknown or expired
  // (an expired one is dropped).
  std::optional<Session> Find(const std::string& id);
  // Whether `id` is live, without counting as use (event streams ask this).
  bool Alive(const std::string& id);
  void Remove(const std::string& id);
  // Ends every session `ended` says is over (its user removed, its role
  // changed); how many ended.
  std::size_t RemoveIf(const std::function<bool(const Session&)>& ended);
  std::size_t Size();

 private:
  void DropExpired(SteadyClock::time_point now);

  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
  std::chrono::seconds idle_;
  std::chrono::seconds lifetime_;
};

// Failed sign-ins counted per key, with delays that grow: after `free`
// failures each further one doubles the wait before the key may try again
// (1 s, 2 s, 4 s ... at most `longest`). A key's count ends `window` after
// its last failure, or at a success. The server keys it by name and
// address together (a console's own typing), and more loosely by name
// alone and by address alone (guessing from many places, or many names
// from one), so a wrong password on one console never holds back another.
class SignInLimiter {
 public:
  explicit SignInLimiter(std::chrono::seconds window = std::chrono::seconds(900),
                         std::chrono::seconds longest = std::chrono::seconds(60))
      : window_(window), longest_(longest) {}

  // Seconds to wait before `key` may try again; 0 when it may now.
  int RetryAfter(const std::string& key);
  void Failed(const std::string& key, int free);
  void Succeeded(const std::string& key);

 private:
  struct Record {
    int failures = 0;
    SteadyClock::time_point last{};
    SteadyClock::time_point until{};
  };
  std::mutex mutex_;
  std::map<std::string, Record> records_;
  std::chrono::seconds window_;
  std::chrono::seconds longest_;
};

// A random token of 32 bytes as 64 hex digits.
std::string RandomToken();
// Compares two tokens in time that does not depend on where they differ.
bool SameToken(const std::string& a, const std::string& b);

}  // namespace tolvane::web
