// What the live view needs of the terminal: whether a stream is one, its
// size, raw key input that is always put back, and a stop flag set by
// Ctrl-C and friends.
#pragma once

#include <termios.h>

namespace tolvane::cli {

bool IsTerminal(int fd);

struct TerminalSize {
  int rows = 24;
  int columns = 80;
};
TerminalSize GetTerminalSize(int fd);

// Puts a terminal in raw key mode (no line buffering, no echo) and restores
// it when destroyed. Does nothing on a descriptor that is no terminal.
class RawMode {
 public:
  explicit RawMode(int fd);
  ~RawMode();
  RawMode(const RawMode&) = delete;
  RawMode& operator=(const RawMode&) = delete;
  bool active() const { return active_; }

 private:
  int fd_;
  bool active_ = false;
  termios saved_{};
};

// SIGINT, SIGTERM and SIGHUP set the stop flag instead of ending the
// process, so the live view can restore the terminal before it goes.
void InstallStopHandlers();
bool StopRequested();
void RequestStop();

// Waits up to `timeoutMs` for a key on `fd`; the key, or -1 for none. -2
// when the input has ended.
int ReadKey(int fd, int timeoutMs);

}  // namespace tolvane::cli
