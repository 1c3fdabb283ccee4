// Real peers for the field tests, on loopback, started and stopped by the
// tests: a mosquitto broker and a pymodbus server (scripts/modbus-server.py).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tolvane::testing {

// A TCP port on 127.0.0.1 that nothing listens on just now.
int FreeLoopbackPort();
// True once something accepts connections on 127.0.0.1:port (within `wait`).
bool WaitForListener(int port, std::chrono::milliseconds wait);

// A child process; killed (SIGKILL after SIGTERM) and reaped when it goes.
class Child {
 public:
  Child() = default;
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Starts `argv` with stdin and stdout as pipes when asked.
  bool Start(const std::vector<std::string>& argv, bool pipes);
  void Stop();
  bool running() const { return pid_ > 0; }
  // Freezes and thaws the child (SIGSTOP, SIGCONT): a peer that stops answering.
  void Freeze(bool frozen);
  void Signal(int sig);
  // One line of the child's stdout (without the newline), waiting at most `wait`.
  bool ReadLine(std::string* line, std::chrono::milliseconds wait);
  bool WriteLine(const std::string& line);
  // Waits for the child to end by itself: its exit code, or -1 (then it is stopped).
  int Wait(std::chrono::milliseconds wait);

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  std::string buffer_;
};

class Broker {
 public:
  // Starts mosquitto on `port` (0: a free one). False when it does not listen in 5 s.
  // `extra` is more of its configuration (TLS files, a password file).
  bool Start(int port = 0, const std::string& extra = "");
  void Stop() { child_.Stop(); }
  int port() const { return port_; }
  // mosquitto_pub, waited for.
  bool Publish(const std::string& topic, const std::string& payload, bool retain = false);
  // Options mosquitto_pub needs besides host and port (TLS, user).
  std::vector<std::string> clientOptions;

 private:
  Child child_;
  int port_ = 0;
  std::string dir_;
};

// Runs a program to its end (within 30 s); true when it exited 0.
bool RunToEnd(const std::vector<std::string>& argv);

class ModbusServer {
 public:
  // Starts the server on `port` (0: any) with `size` registers a table.
  bool Start(int port = 0, int size = 1000);
  void Stop() { child_.Stop(); }
  int port() const { return port_; }
  // "set holding 5 42", "float input 30 1.5": true when it answered ok.
  bool Command(const std::string& line);
  void Freeze(bool frozen) { child_.Freeze(frozen); }

 private:
  Child child_;
  int port_ = 0;
};

}  // namespace tolvane::testing
