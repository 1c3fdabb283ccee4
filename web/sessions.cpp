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

void SignInLimiter::Prune(std::vector<SteadyClock::time_point>* times,
                          SteadyClock::time_point now) const {
  std::erase_if(*times, [&](SteadyClock::time_point t) { return now - t >= window_; });
}

int SignInLimiter::RetryAfter(const std::string& key) {
  auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = failures_.find(key);
  if (it == failures_.end()) return 0;
  Prune(&it->second, now);
  if (static_cast<int>(it->second.size()) < limit_) return 0;
  auto wait = window_ - (now - it->second.front());
  auto secs = std::chrono::ceil<std::chrono::seconds>(wait).count();
  return static_cast<int>(std::max<long long>(1, secs));
}

void SignInLimiter::Failed(const std::string& key) {
  auto now = SteadyClock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  auto& times = failures_[key];
  Prune(&times, now);
  times.push_back(now);
  if (failures_.size() > 10000) {  // an address sweep must not grow this without end
    for (auto it = failures_.begin(); it != failures_.end();) {
      Prune(&it->second, now);
      it = it->second.empty() ? failures_.erase(it) : std::next(it);
    }
  }
}

void SignInLimiter::Succeeded(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.erase(key);
}

}  // namespace tolvane::web
