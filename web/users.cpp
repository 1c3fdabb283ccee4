#include "web/users.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tolvane::web {
namespace {

constexpr std::size_t kMinPassword = 8;
constexpr std::size_t kMaxPassword = 1024;

bool SplitLine(const std::string& line, User* user) {
  std::size_t a = line.find(':');
  if (a == std::string::npos) return false;
  std::size_t b = line.find(':', a + 1);
  if (b == std::string::npos) return false;
  user->name = line.substr(0, a);
  std::optional<Role> role = ParseRole(line.substr(a + 1, b - a - 1));
  user->hash = line.substr(b + 1);
  if (!role || !ValidUserName(user->name) || user->hash.empty() ||
      user->hash.size() >= crypto_pwhash_STRBYTES) {
    return false;
  }
  user->role = *role;
  return true;
}

bool WriteWhole(const std::string& path, const std::string& text, std::string* err) {
  std::string tmp = path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    *err = "cannot write " + tmp + ": " + std::strerror(errno);
    return false;
  }
  bool ok = ::fchmod(fd, 0600) == 0;
  std::size_t done = 0;
  while (ok && done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
    *err = "cannot write " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

const char* RoleName(Role role) {
  return role == Role::kOperator ? "operator" : "viewer";
}

std::optional<Role> ParseRole(const std::string& text) {
  if (text == "operator") return Role::kOperator;
  if (text == "viewer") return Role::kViewer;
  return std::nullopt;
}

bool ValidUserName(const std::string& name) {
  if (name.empty() || name.size() > 32) return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool InitCrypto() {
  return sodium_init() >= 0;
}

bool LoadUsers(const std::string& path, std::vector<User>* users, std::string* err) {
  users->clear();
  std::ifstream in(path);
  if (!in) {
    *err = "cannot read the users file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    User user;
    if (!SplitLine(line, &user)) {
      *err = path + ":" + std::to_string(number) + ": not NAME:operator|viewer:HASH";
      return false;
    }
    users->push_back(std::move(user));
  }
  return true;
}

bool AddUser(const std::string& path, const std::string& name, Role role,
             const std::string& password, std::string* err, HashCost cost) {
  if (!InitCrypto()) {
    *err = "libsodium did not start";
    return false;
  }
  if (!ValidUserName(name)) {
    *err = "user name must be 1 to 32 letters, digits, '.', '_' or '-'";
    return false;
  }
  if (password.size() < kMinPassword || password.size() > kMaxPassword) {
    *err = "password must be 8 to 1024 bytes long";
    return false;
  }
  std::vector<std::string> keep;  // other lines, comments included, as they were
  {
    std::ifstream in(path);
    if (in) {
      std::string line;
      while (std::getline(in, line)) {
        User u;
        if (SplitLine(line, &u) && u.name == name) continue;
        keep.push_back(line);
      }
    } else if (errno != ENOENT) {
      *err = "cannot read the users file " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  char hash[crypto_pwhash_STRBYTES];
  unsigned long long ops =
      cost == HashCost::kMinimal ? crypto_pwhash_OPSLIMIT_MIN : crypto_pwhash_OPSLIMIT_INTERACTIVE;
  std::size_t mem =
      cost == HashCost::kMinimal ? crypto_pwhash_MEMLIMIT_MIN : crypto_pwhash_MEMLIMIT_INTERACTIVE;
  if (crypto_pwhash_str(hash, password.data(), password.size(), ops, mem) != 0) {
    *err = "out of memory while hashing the password";
    return false;
  }
  std::ostringstream out;
  if (keep.empty()) out << "# tolvane web users: NAME:operator|viewer:HASH (docs/web.md)\n";
  for (const std::string& line : keep) out << line << "\n";
  out << name << ":" << RoleName(role) << ":" << hash << "\n";
  return WriteWhole(path, out.str(), err);
}

bool VerifyPassword(const User* user, const std::string& password) {
  if (password.size() > kMaxPassword) return false;
  if (user == nullptr) {
    // Same work as a real check, against a hash nobody's password matches.
    static const std::string dummy = [] {
      char h[crypto_pwhash_STRBYTES];
      const char pw[] = "no user has this password";
      if (crypto_pwhash_str(h, pw, sizeof pw - 1, crypto_pwhash_OPSLIMIT_INTERACTIVE,
                            crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
        return std::string();
      }
      return std::string(h);
    }();
    if (!dummy.empty() &&
        crypto_pwhash_str_verify(dummy.c_str(), password.data(), password.size()) == 0) {
      return false;  // the same answer either way; the work is the point
    }
    return false;
  }
  return crypto_pwhash_str_verify(user->hash.c_str(), password.data(), password.size()) == 0;
}

}  // namespace tolvane::web
