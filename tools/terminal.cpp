#include "tools/terminal.h"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tolvane::cli {
namespace {

// Set from a signal handler: must be lock-free.
std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnStopSignal(int) {
  g_stop.store(true, std::memory_order_relaxed);
}

}  // namespace

bool IsTerminal(int fd) {
  return ::isatty(fd) == 1;
}

TerminalSize GetTerminalSize(int fd) {
  TerminalSize size;
  winsize ws{};
  if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
    size.rows = ws.ws_row;
    size.columns = ws.ws_col;
  }
  return size;
}

RawMode::RawMode(int fd) : fd_(fd) {
  if (!IsTerminal(fd) || ::tcgetattr(fd, &saved_) != 0) return;
  termios raw = saved_;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  active_ = ::tcsetattr(fd, TCSANOW, &raw) == 0;
}

RawMode::~RawMode() {
  if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
}

void InstallStopHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a waiting poll wakes up
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGHUP, &sa, nullptr);
}

bool StopRequested() {
  return g_stop.load(std::memory_order_relaxed);
}
void RequestStop() {
  g_stop.store(true, std::memory_order_relaxed);
}

int ReadKey(int fd, int timeoutMs) {
  pollfd p{fd, POLLIN, 0};
  int n = ::poll(&p, 1, timeoutMs);
  if (n <= 0) return -1;  // timeout, or a signal woke us
  if (p.revents & (POLLIN | POLLHUP)) {
    unsigned char c = 0;
    ssize_t got = ::read(fd, &c, 1);
    if (got == 1) return c;
    if (got == 0) return -2;
  }
  return -1;
}

}  // namespace tolvane::cli
