#include "plant/node_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>

namespace tolvane::plant {

namespace {

// A node name as a file-name part: upper case (node names compare without
// case), anything but letters, digits, '-' and '_' as %XX.
std::string FileToken(const std::string& node) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (char ch : node) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '_') {
      out += static_cast<char>(std::toupper(c));
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out.empty() ? "%00" : out;
}

std::optional<NodeHolder> ReadHolder(int fd) {
  std::string text;
  char buf[1024];
  ssize_t n;
  if (::lseek(fd, 0, SEEK_SET) < 0) return std::nullopt;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  NodeHolder h;
  try {
    auto j = nlohmann::json::parse(text);
    h.pid = j.value("pid", 0);
    h.program = j.value("program", std::string());
    h.contact = j.value("contact", std::string());
    h.since = j.value("since", std::string());
    h.longLived = j.value("longLived", false);
  } catch (const std::exception&) {
    // Held, but the holder has not written itself yet.
  }
  return h;
}

void WriteHolder(int fd, const NodeHolder& me) {
  std::string text = nlohmann::json{{"pid", me.pid},
                                    {"program", me.program},
                                    {"contact", me.contact},
                                    {"since", me.since},
                                    {"longLived", me.longLived}}
                         .dump() +
                     "\n";
  if (::ftruncate(fd, 0) != 0) return;
  if (::pwrite(fd, text.data(), text.size(), 0) < 0) return;
}

enum class Try { kTaken, kHeld, kError };

// One attempt. The file is removed by the holder that releases it, so a
// lock taken on a file that is no longer the path's was taken on nothing:
// try again.
Try TryOnce(const std::string& path, int* fdOut, std::optional<NodeHolder>* holder,
            std::string* err) {
  for (int round = 0; round < 8; ++round) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (err) *err = "cannot make the lock file " + path + ": " + std::strerror(errno);
      return Try::kError;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int e = errno;
      if (e == EWOULDBLOCK) {
        if (holder) *holder = ReadHolder(fd);
        ::close(fd);
        return Try::kHeld;
      }
      ::close(fd);
      if (err) *err = "cannot lock " + path + ": " + std::strerror(e);
      return Try::kError;
    }
    struct stat held {
    }, now{};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
        held.st_dev == now.st_dev) {
      *fdOut = fd;
      return Try::kTaken;
    }
    ::close(fd);
  }
  if (err) *err = "cannot lock " + path + ": it keeps being replaced";
  return Try::kError;
}

}  // namespace

std::string NodeLockPath(const std::string& storePath, const std::string& node) {
  std::error_code ec;
  std::filesystem::path real = std::filesystem::weakly_canonical(storePath, ec);
  if (ec || real.empty()) real = std::filesystem::absolute(storePath, ec);
  return real.string() + ".node-" + FileToken(node) + ".lock";
}

NodeHolder ThisProcess(std::string program, std::string contact, bool longLived) {
  NodeHolder me;
  me.longLived = longLived;
  me.pid = static_cast<int>(::getpid());
  me.program = std::move(program);
  me.contact = std::move(contact);
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  me.since = buf;
  return me;
}

std::unique_ptr<NodeLock> NodeLock::Acquire(const std::string& storePath, const std::string& node,
                                            const NodeHolder& me, std::chrono::milliseconds wait,
                                            std::optional<NodeHolder>* holder, std::string* err) {
  std::string path = NodeLockPath(storePath, node);
  auto until = std::chrono::steady_clock::now() + wait;
  for (;;) {
    int fd = -1;
    std::optional<NodeHolder> who;
    switch (TryOnce(path, &fd, &who, err)) {
      case Try::kTaken:
        WriteHolder(fd, me);
        return std::unique_ptr<NodeLock>(new NodeLock(fd, node, path));
      case Try::kError:
        return nullptr;
      case Try::kHeld:
        if (std::chrono::steady_clock::now() >= until) {
          if (holder) *holder = who;
          return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
}

std::unique_ptr<NodeLock> NodeLock::TryAcquire(const std::string& storePath,
                                               const std::string& node, const NodeHolder& me,
                                               std::optional<NodeHolder>* holder,
                                               std::string* err) {
  // A moment: another process may be looking (HolderOf) right now.
  return Acquire(storePath, node, me, std::chrono::milliseconds(200), holder, err);
}

NodeLock::~NodeLock() {
  // Removed while still held: nobody takes a lock on a file on its way out.
  ::unlink(path_.c_str());
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

std::optional<NodeHolder> HolderOf(const std::string& storePath, const std::string& node) {
  std::string path = NodeLockPath(storePath, node);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<NodeHolder> out;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) out = ReadHolder(fd);
  } else {
    ::flock(fd, LOCK_UN);
  }
  ::close(fd);
  return out;
}

void SweepNodeLocks(const std::string& storePath) {
  std::string prefix = NodeLockPath(storePath, "X");
  prefix.resize(prefix.size() - std::strlen("X.lock"));
  std::filesystem::path dir = std::filesystem::path(prefix).parent_path();
  std::string stem = std::filesystem::path(prefix).filename().string();
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = e.path().filename().string();
    if (!name.starts_with(stem) || !name.ends_with(".lock")) continue;
    int fd = ::open(e.path().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) continue;
    // Taken, it is nobody's: gone before it is let go, so a taker that
    // opened it meanwhile sees it is no longer the path's and makes a new one.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlink(e.path().c_str());
      ::flock(fd, LOCK_UN);
    }
    ::close(fd);
  }
}

bool AcquireAll(const std::string& storePath, std::vector<std::string> nodes, const NodeHolder& me,
                std::chrono::milliseconds wait, std::vector<std::unique_ptr<NodeLock>>* locks,
                std::string* heldNode, std::optional<NodeHolder>* holder, std::string* err) {
  std::sort(nodes.begin(), nodes.end(),
            [](const std::string& a, const std::string& b) { return FileToken(a) < FileToken(b); });
  auto until = std::chrono::steady_clock::now() + wait;
  std::vector<std::unique_ptr<NodeLock>> taken;
  for (const std::string& n : nodes) {
    for (;;) {
      std::optional<NodeHolder> who;
      auto lock = NodeLock::TryAcquire(storePath, n, me, &who, err);
      if (lock) {
        taken.push_back(std::move(lock));
        break;
      }
      // Another command's hold ends with it; a long-lived one does not.
      if (!who || who->longLived || std::chrono::steady_clock::now() >= until) {
        if (heldNode) *heldNode = n;
        if (holder) *holder = who;
        return false;  // the ones taken go with `taken`
      }
    }
  }
  for (auto& l : taken) locks->push_back(std::move(l));
  return true;
}

}  // namespace tolvane::plant
