// Readiness as the service manager sees it: a datagram socket of ours stands
// in for systemd's NOTIFY_SOCKET. The daemon says READY=1 only once it
// serves (connected, streams there, its node published), pings the watchdog
// when asked, and says STOPPING=1 on SIGTERM; serve says READY=1 once it
// listens.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>

#include "nats_harness.h"

namespace tolvane::testing {
namespace {

using Steady = std::chrono::steady_clock;

// The service manager's end of NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::filesystem::path& dir) {
    path_ = (dir / "notify").string();
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path_.size() >= sizeof a.sun_path) return;
    std::copy(path_.begin(), path_.end(), a.sun_path);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  // Every message received until one holds `want` (returned), or "" at the
  // end of `ms`; all of them are kept in `seen`.
  std::string WaitFor(const std::string& want, int ms) {
    auto end = Steady::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count());
      if (left <= 0) return {};
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, left) <= 0) continue;
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) continue;
      std::string msg(buf, static_cast<std::size_t>(n));
      seen += msg + "\n--\n";
      if (msg.find(want) != std::string::npos) return msg;
    }
  }
  std::string seen;

 private:
  std::string path_;
  int fd_ = -1;
};

// Starts `child` with the notify socket (and a watchdog when `watchdogUsec`)
// in its environment only.
bool StartNotified(Child& child, const std::vector<std::string>& args, const std::string& log,
                   const std::string& socket, const char* watchdogUsec = nullptr) {
  ::setenv("NOTIFY_SOCKET", socket.c_str(), 1);
  if (watchdogUsec) ::setenv("WATCHDOG_USEC", watchdogUsec, 1);
  bool ok = child.Start(args, log);
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  return ok;
}

TEST(ServiceReadiness, NodeDaemonReadyOnlyWhenServingThenStopping) {
  std::string why;
  if (!HaveNatsServer(&why)) GTEST_SKIP() << why;
  TempTree tmp;
  NotifySocket notify(tmp.path());
  ASSERT_TRUE(notify.ok()) << notify.path();
  NatsServer server(tmp.path(), "ready",
                    ReadAll(std::string(TOLVANE_SOURCE_DIR) + "/docs/nats-users.conf"));
  ASSERT_TRUE(server.Start());
  std::string nodeCred = CredentialsFile(tmp.path(), "node-PLANT1:plant1-secret");
  std::string config = (tmp.path() / "node.toml").string();
  std::ofstream(config) << "nats = \"" << server.url() << "\"\ncredentials = \"" << nodeCred
                        << "\"\ndemo-nodes = 2\ndemo-tags = 60\n";
  // No streams yet, and the node's user may not make them: it waits.
  Child daemon;
  std::string log = (tmp.path() / "daemon.log").string();
  ASSERT_TRUE(StartNotified(daemon, {TOLVANE_NODE_PROGRAM, "--config", config, "--node", "PLANT1"},
                            log, notify.path(), "400000"));
  EXPECT_EQ(notify.WaitFor("READY=1", 2500), "") << notify.seen << ReadAll(log);
  ASSERT_TRUE(daemon.Running()) << ReadAll(log);
  EXPECT_NE(notify.seen.find("STATUS=waiting for the streams"), std::string::npos) << notify.seen;
  EXPECT_EQ(notify.seen.find("WATCHDOG=1"), std::string::npos) << notify.seen;

  ASSERT_TRUE(MakeStreams(tmp.path(), server.url(),
                          CredentialsFile(tmp.path(), "admin:admin-secret")));
  ASSERT_NE(notify.WaitFor("READY=1", 30000), "") << notify.seen << ReadAll(log);
  // Ready means serving: the node answers a station at once.
  std::string err;
  nats::ConnectOptions co;
  co.url = server.url();
  co.credentials = "operator:operator-secret";
  auto conn = nats::Connection::Open(co, &err);
  ASSERT_TRUE(conn) << err;
  std::vector<AlarmFact> truth;
  EXPECT_TRUE(NodeTruth(*conn, "PLANT1", &truth)) << ReadAll(log);
  EXPECT_NE(notify.WaitFor("WATCHDOG=1", 3000), "") << notify.seen;

  ::kill(daemon.pid(), SIGTERM);
  EXPECT_NE(notify.WaitFor("STOPPING=1", 5000), "") << notify.seen;
  EXPECT_EQ(daemon.Wait(10000), 0) << ReadAll(log);
  std::string text = ReadAll(log);
  for (const char* line : {"level=info event=start node=PLANT1", "level=info event=ready node=PLANT1",
                           "level=info event=stopping node=PLANT1",
                           "level=info event=stopped node=PLANT1"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

TEST(ServiceReadiness, BadConfigurationExitsTwoWithoutReady) {
  TempTree tmp;
  NotifySocket notify(tmp.path());
  ASSERT_TRUE(notify.ok());
  std::string config = (tmp.path() / "node.toml").string();
  std::ofstream(config) << "node = \"PLANT1\"\nheartbeat = \"fast\"\n";
  Child daemon;
  std::string log = (tmp.path() / "daemon.log").string();
  ASSERT_TRUE(StartNotified(daemon, {TOLVANE_NODE_PROGRAM, "--config", config}, log, notify.path()));
  EXPECT_EQ(daemon.Wait(10000), 2) << ReadAll(log);
  EXPECT_NE(ReadAll(log).find("level=error event=config_invalid at=" + config + ":2:13"),
            std::string::npos)
      << ReadAll(log);
  EXPECT_EQ(notify.WaitFor("READY=1", 200), "");
}

TEST(ServiceReadiness, ServeReadyOnceListening) {
  TempTree tmp;
  NotifySocket notify(tmp.path());
  ASSERT_TRUE(notify.ok());
  std::string users = (tmp.path() / "users").string();
  ASSERT_EQ(std::system(("echo pw-for-test-1 | " + std::string(TOLVANE_PROGRAM) +
                         " user add op --role viewer --password-stdin --users " + users +
                         " >/dev/null")
                            .c_str()),
            0);
  std::string config = (tmp.path() / "serve.toml").string();
  std::ofstream(config) << "listen = \"127.0.0.1:0\"\nusers = \"" << users << "\"\n";
  Child serve;
  std::string log = (tmp.path() / "serve.log").string();
  ASSERT_TRUE(StartNotified(serve, {TOLVANE_PROGRAM, "serve", "--config", config}, log,
                            notify.path()));
  std::string ready = notify.WaitFor("READY=1", 30000);
  ASSERT_NE(ready, "") << notify.seen << ReadAll(log);
  // The status names the port it listens on: it takes a connection now.
  std::size_t at = ready.find("STATUS=serving on http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << ready;
  int port = std::atoi(ready.c_str() + at + std::string("STATUS=serving on http://127.0.0.1:").size());
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << port;
  ::close(fd);
  ::kill(serve.pid(), SIGTERM);
  EXPECT_NE(notify.WaitFor("STOPPING=1", 5000), "") << notify.seen;
  EXPECT_EQ(serve.Wait(10000), 0) << ReadAll(log);
}

}  // namespace
}  // namespace tolvane::testing
