// Signed-in sessions and the sign-in rate limit of the web display.
// Thread-safe: every HTTP worker thread uses the same objects.
#pragma once

#include <chrono>
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
  std::size_t Size();

 private:
  void DropExpired(SteadyClock::time_point now);

  std::mutex mutex_;
  std::map<std::string, Session> sessions_;
  std::chrono::seconds idle_;
  std::chrono::seconds lifetime_;
};

// Failed sign-ins counted per key (the client's address, the user name):
// after `limit` failures within `window` the key is refused until the
// oldest of them leaves the window.
class SignInLimiter {
 public:
  SignInLimiter(int limit, std::chrono::seconds window) : limit_(limit), window_(window) {}

  // Seconds to wait before `key` may try again; 0 when it may now.
  int RetryAfter(const std::string& key);
  void Failed(const std::string& key);
  void Succeeded(const std::string& key);

 private:
  void Prune(std::vector<SteadyClock::time_point>* times, SteadyClock::time_point now) const;

  std::mutex mutex_;
  std::map<std::string, std::vector<SteadyClock::time_point>> failures_;
  int limit_;
  std::chrono::seconds window_;
};

// A random token of 32 bytes as 64 hex digits.
std::string RandomToken();
// Compares two tokens in time that does not depend on where they differ.
bool SameToken(const std::string& a, const std::string& b);

}  // namespace tolvane::web
