#include "peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace tolvane::testing {

using namespace std::chrono;

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  ::close(fd);
  return port;
}

bool WaitForListener(int port, milliseconds wait) {
  auto until = steady_clock::now() + wait;
  while (steady_clock::now() < until) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return false;
}

bool Child::Start(const std::vector<std::string>& argv, bool pipes) {
  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (pipes) {
    if (::pipe2(inPipe, O_CLOEXEC) != 0 || ::pipe2(outPipe, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_adddup2(&fa, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (std::string& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  int rc = posix_spawnp(&pid_, cargv[0], &fa, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (pipes) {
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    in_ = inPipe[1];
    out_ = outPipe[0];
  }
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  return true;
}

void Child::Stop() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
  if (pid_ > 0) {
    ::kill(pid_, SIGCONT);
    ::kill(pid_, SIGTERM);
    auto until = steady_clock::now() + seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (steady_clock::now() > until) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
  }
  pid_ = -1;
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  buffer_.clear();
}

void Child::Signal(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

void Child::Freeze(bool frozen) {
  if (pid_ > 0) ::kill(pid_, frozen ? SIGSTOP : SIGCONT);
}

bool Child::ReadLine(std::string* line, milliseconds wait) {
  auto until = steady_clock::now() + wait;
  for (;;) {
    std::size_t nl = buffer_.find('\n');
    if (nl != std::string::npos) {
      *line = buffer_.substr(0, nl);
      buffer_.erase(0, nl + 1);
      return true;
    }
    auto left = duration_cast<milliseconds>(until - steady_clock::now()).count();
    if (left <= 0 || out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buf[512];
    ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return false;
    buffer_.append(buf, static_cast<std::size_t>(n));
  }
}

int Child::Wait(milliseconds wait) {
  if (pid_ <= 0) return -1;
  auto until = steady_clock::now() + wait;
  int status = 0;
  while (::waitpid(pid_, &status, WNOHANG) == 0) {
    if (steady_clock::now() > until) {
      Stop();
      return -1;
    }
    std::this_thread::sleep_for(milliseconds(5));
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Child::WriteLine(const std::string& line) {
  std::string l = line + "\n";
  return in_ >= 0 && ::write(in_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

bool RunToEnd(const std::vector<std::string>& argv) {
  Child c;
  return c.Start(argv, false) && c.Wait(seconds(30)) == 0;
}

bool Broker::Start(int port, const std::string& extra) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = port ? port : FreeLoopbackPort();
    std::string conf = (std::filesystem::temp_directory_path() /
                        ("tolvane-mosquitto-" + std::to_string(::getpid()) + "-" +
                         std::to_string(port_) + ".conf"))
                           .string();
    std::ofstream(conf) << "listener " << port_ << " 127.0.0.1\n"
                        << (extra.empty() ? "allow_anonymous true\n" : "") << "persistence false\n"
                        << extra;
    if (child_.Start({"mosquitto", "-c", conf}, false) && WaitForListener(port_, seconds(5))) {
      std::filesystem::remove(conf);
      return true;
    }
    child_.Stop();
    std::filesystem::remove(conf);
    if (port) break;
  }
  return false;
}

bool Broker::Publish(const std::string& topic, const std::string& payload, bool retain) {
  std::vector<std::string> argv = {
      "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(port_), "-q", "1", "-t",
      topic,           "-m", payload};
  if (retain) argv.push_back("-r");
  argv.insert(argv.end(), clientOptions.begin(), clientOptions.end());
  Child pub;
  return pub.Start(argv, false) && pub.Wait(seconds(5)) == 0;
}

bool ModbusServer::Start(int port, int size) {
  std::string script = std::string(TOLVANE_SOURCE_DIR) + "/scripts/modbus-server.py";
  if (!child_.Start({"/usr/bin/python3", script, "--port", std::to_string(port), "--size",
                     std::to_string(size)},
                    true)) {
    return false;
  }
  std::string line;
  if (!child_.ReadLine(&line, seconds(15)) || line.rfind("port ", 0) != 0) {
    child_.Stop();
    return false;
  }
  port_ = std::atoi(line.c_str() + 5);
  return port_ > 0;
}

bool ModbusServer::Command(const std::string& line) {
  std::string answer;
  return child_.WriteLine(line) && child_.ReadLine(&answer, seconds(5)) && answer == "ok";
}

}  // namespace tolvane::testing
