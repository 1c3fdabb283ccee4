#include "web/sessions.h"

#include <sodium.h>

#include <algorithm>

namespace tolvane::web {

std::string RandomToken() {
  unsigned char bytes[32];
  randombytes_buf(bytes, sizeof bytes);
  char hex[sizeof bytes * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
  return hex;
}

bool SameToken(const std::string& a, const std::string& b) {
  return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string SessionStore::Create(const std::string& user, Role role) {
  auto now = SteadyClock::now();
  std::string id = RandomToken();
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpired(now);
  sessions_[id] = Session{user, role, RandomToken(), now, now};
  return id;
}

std::optional<Session> SessionStore::Find(const std::string& id) {
  auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return std::nullopt;
  Session& s = it->second;
  if (now - s.lastSeen >= idle_ || now - s.created >= lifetime_) {
    sessions_.erase(it);
    return std::nullopt;
  }
  s.lastSeen = now;
  return s;
}

bool SessionStore::Alive(const std::string& id) {
  auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(id);
  return it != sessions_.end() && now - it->second.lastSeen < idle_ &&
         now - it->second.created < lifetime_;
}

void SessionStore::Remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

std::size_t SessionStore::RemoveIf(const std::function<bool(const Session&)>& ended) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::erase_if(sessions_, [&](const auto& entry) { return ended(entry.second); });
}

std::size_t SessionStore::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  DropExpired(SteadyClock::now());
  return sessions_.size();
}

void SessionStore::DropExpired(SteadyClock::time_point now) {
  std::erase_if(sessions_, [&](const auto& entry) {
    return now - entry.second.lastSeen >= idle_ || now - entry.second.created >= lifetime_;
  });
}

int SignInLimiter::RetryAfter(const std::string& key) {
  auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = records_.find(key);
  if (it == records_.end() || it->second.until <= now) return 0;
  auto secs = std::chrono::ceil<std::chrono::seconds>(it->second.until - now).count();
  return static_cast<int>(std::max<long long>(1, secs));
}

void SignInLimiter::Failed(const std::string& key, int free) {
  auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  Record& r = records_[key];
  if (now - r.last >= window_) r.failures = 0;
  r.last = now;
  ++r.failures;
  if (r.failures > free) {
    int doublings = std::min(r.failures - free - 1, 16);
    auto wait = std::min<std::chrono::seconds>(std::chrono::seconds(1LL << doublings), longest_);
    r.until = now + wait;
  }
  if (records_.size() > 10000) {  // an address sweep must not grow this without end
    std::erase_if(records_, [&](const auto& e) { return now - e.second.last >= window_; });
  }
}

void SignInLimiter::Succeeded(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.erase(key);
}

}  // namespace tolvane::web
