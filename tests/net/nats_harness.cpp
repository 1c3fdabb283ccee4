#include "nats_harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "net/protocol.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {

using Steady = std::chrono::steady_clock;

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool HaveNatsServer(std::string* why) {
  if (std::system("nats-server --version > /dev/null 2>&1") != 0) {
    *why = "nats-server is not installed (scripts/deps.sh installs it)";
    return false;
  }
  return true;
}

int FreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  int port = ntohs(a.sin_port);
  ::close(fd);
  return port;
}

std::string CredentialsFile(const std::filesystem::path& dir, const std::string& userPassword) {
  std::string user = userPassword.substr(0, userPassword.find(':'));
  std::filesystem::path p = dir / ("credentials-" + user);
  {
    std::ofstream out(p);
    out << userPassword << "\n";
  }
  std::filesystem::permissions(
      p, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  return p.string();
}

bool MakeStreams(const std::filesystem::path& dir, const std::string& url,
                 const std::string& adminCredentials, int replicas) {
  std::vector<std::string> args = {TOLVANE_NODE_PROGRAM, "--nats",     url,
                                   "--make-streams",     "--replicas", std::to_string(replicas)};
  if (!adminCredentials.empty()) {
    args.push_back("--credentials");
    args.push_back(adminCredentials);
  }
  Child admin;
  std::string log = (dir / "make-streams.log").string();
  if (!admin.Start(args, log)) return false;
  int rc = admin.Wait(60000);
  if (rc != 0) ADD_FAILURE() << "tolvane-node --make-streams: " << rc << "\n" << ReadAll(log);
  return rc == 0;
}

int Child::Wait(int timeoutMs) {
  Steady::time_point end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (pid_ > 0) {
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    if (Steady::now() > end) {
      Kill();
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

bool Child::Start(const std::vector<std::string>& args, const std::string& logPath) {
  log_ = logPath;
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  return true;
}

bool Child::Running() {
  if (pid_ <= 0) return false;
  int st;
  if (::waitpid(pid_, &st, WNOHANG) == pid_) {
    pid_ = -1;
    ended_ = WIFSIGNALED(st) ? "killed by signal " + std::to_string(WTERMSIG(st))
                             : "exited with code " + std::to_string(WEXITSTATUS(st));
    return false;
  }
  return true;
}

void Child::Stop(int graceMs) {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  Steady::time_point end = Steady::now() + std::chrono::milliseconds(graceMs);
  while (Steady::now() < end) {
    int st;
    if (::waitpid(pid_, &st, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Kill();
}

void Child::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int st;
  ::waitpid(pid_, &st, 0);
  pid_ = -1;
}

bool Child::WaitForLog(const std::string& text, int timeoutMs) {
  Steady::time_point end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  while (Steady::now() < end) {
    if (ReadAll(log_).find(text) != std::string::npos) return true;
    if (!Running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TempTree::TempTree() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "tolvane-nats-XXXXXX").string();
  path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
}

TempTree::~TempTree() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

NatsServer::NatsServer(const std::filesystem::path& dir, const std::string& name, std::string extra)
    : dir_(dir / name),
      name_(name),
      extra_(std::move(extra)),
      port_(FreePort()),
      clusterPort_(FreePort()) {
  std::filesystem::create_directories(dir_);
}

bool NatsServer::Start() {
  const bool clustered = extra_.find("cluster {") != std::string::npos;
  for (int attempt = 0;; ++attempt) {
    std::filesystem::path conf = dir_ / "server.conf";
    {
      std::ofstream out(conf);
      out << "server_name: " << name_ << "\n"
          << "listen: 127.0.0.1:" << port_ << "\n"
          << "jetstream { store_dir: \"" << (dir_ / "js").string() << "\" }\n"
          << extra_ << "\n";
    }
    if (!child_.Start({"nats-server", "-c", conf.string()}, (dir_ / "server.log").string())) {
      return false;
    }
    if (child_.WaitForLog("Server is ready", 15000)) {
      started_ = true;
      return true;
    }
    child_.Kill();
    std::string log = ReadAll(dir_ / "server.log");
    // Another process took a port between our pick and the server's bind.
    // A first start outside a cluster tries other ports; a cluster's
    // members know each other's ports, so StartCluster picks them all anew.
    portTaken_ = !started_ && log.find("address already in use") != std::string::npos;
    if (portTaken_ && !clustered && attempt < 4) {
      port_ = FreePort();
      clusterPort_ = FreePort();
      continue;
    }
    if (!(portTaken_ && clustered)) {
      ADD_FAILURE() << "nats-server " << name_ << " did not start:\n" << log;
    }
    return false;
  }
}

Daemon::Daemon(const std::filesystem::path& dir, std::string url, std::string node,
               std::vector<std::string> extra)
    : logPath_(dir / ("daemon-" + node + ".log")),
      url_(std::move(url)),
      node_(std::move(node)),
      extra_(std::move(extra)) {}

bool Daemon::Start(int timeoutMs) {
  std::error_code ec;
  std::filesystem::remove(logPath_, ec);
  std::vector<std::string> args = {TOLVANE_NODE_PROGRAM, "--nats", url_, "--node", node_};
  args.insert(args.end(), extra_.begin(), extra_.end());
  if (!child_.Start(args, logPath_.string())) return false;
  return child_.WaitForLog("ready " + node_, timeoutMs);
}

void NatsServer::Pause() {
  if (child_.pid() > 0) ::kill(child_.pid(), SIGSTOP);
}

void NatsServer::Resume() {
  if (child_.pid() > 0) ::kill(child_.pid(), SIGCONT);
}

void Daemon::Pause() {
  if (child_.pid() > 0) ::kill(child_.pid(), SIGSTOP);
}

void Daemon::Resume() {
  if (child_.pid() > 0) ::kill(child_.pid(), SIGCONT);
}

std::string Daemon::log() const {
  std::string text = ReadAll(logPath_);
  if (!child_.ended().empty()) text += "[the daemon " + child_.ended() + "]\n";
  return text;
}

bool NodeTruth(nats::Connection& conn, const std::string& node, std::vector<AlarmFact>* out,
               std::map<std::string, std::chrono::system_clock::time_point>* lastChange) {
  out->clear();
  // A page at a time: a large node's state is more than one message.
  std::string after;
  for (;;) {
    nlohmann::json req = nlohmann::json::object();
    if (!after.empty()) req["after"] = after;
    std::string reply;
    if (conn.Request(nats::CommandSubject(node, "state"), req.dump(), 5000, &reply) !=
        nats::RequestResult::kOk) {
      return false;
    }
    auto j = nlohmann::json::parse(reply);
    for (const auto& a : j.at("alarms")) {
      out->push_back(
          {a.at("subject").get<std::string>(), a.at("ack").get<int>(), a.at("status").get<int>()});
      if (lastChange) {
        (*lastChange)[out->back().subject] = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::nanoseconds(a.at("last").get<int64_t>())));
      }
    }
    if (!j.contains("next")) break;
    after = j.at("next").get<std::string>();
  }
  std::sort(out->begin(), out->end());
  return true;
}

std::vector<AlarmFact> StationFacts(const nats::Station& s, const std::string& node) {
  std::vector<AlarmFact> out;
  for (const SUMQMSG& m : s.view().Snapshot()) {
    const _ALMPAK& p = m.almpak;
    std::string n(FieldText(p.node));
    if (p.msgType == 8) continue;
    if (!node.empty() && nats::NodeToken(n) != nats::NodeToken(node)) continue;
    out.push_back(
        {nats::AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber), m.ackFlag, p.statusCode});
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool WaitConverged(nats::Connection& conn, const nats::Station& s,
                   const std::vector<std::string>& nodes, int timeoutMs, std::string* diff) {
  Steady::time_point end = Steady::now() + std::chrono::milliseconds(timeoutMs);
  // Each node is matched at an instant of its own: nodes change
  // independently, and while simulators run a moment at which every node
  // is quiet at once may never come on a slow machine.
  std::set<std::string> matched;
  for (;;) {
    bool same = true;
    std::ostringstream why;
    for (const std::string& n : nodes) {
      if (matched.count(n)) continue;
      std::vector<AlarmFact> truth;
      if (!NodeTruth(conn, n, &truth)) {
        same = false;
        why << n << ": no answer; ";
        continue;
      }
      std::vector<AlarmFact> seen = StationFacts(s, n);
      if (truth == seen) matched.insert(n);
      if (truth != seen) {
        same = false;
        why << n << ": node holds " << truth.size() << ", station " << seen.size() << "; ";
        for (const AlarmFact& f : truth) {
          if (!std::binary_search(seen.begin(), seen.end(), f)) {
            why << "missing " << f.subject << " ack=" << f.ack << " st=" << f.status;
            // What the station holds instead, and what the stream's last
            // message says: which side lost the change.
            for (const AlarmFact& g : seen) {
              if (g.subject == f.subject) why << "; station has ack=" << g.ack << " st=" << g.status;
            }
            natsMsg* last = nullptr;
            jsErrCode jerr{};
            if (js_GetLastMsg(&last, conn.js(), nats::kAlarmStream, f.subject.c_str(), nullptr,
                              &jerr) == NATS_OK) {
              nats::AlarmState st;
              std::string_view body(natsMsg_GetData(last),
                                    static_cast<std::size_t>(natsMsg_GetDataLength(last)));
              why << "; stream's last is seq " << natsMsg_GetSequence(last);
              if (body.empty()) {
                why << " (a tombstone)";
              } else if (nats::DecodeAlarmBody(body, &st) == nats::DecodeResult::kOk) {
                why << " ack=" << int(st.msg.ackFlag) << " st=" << st.msg.almpak.statusCode;
              }
              natsMsg_Destroy(last);
            }
            why << "; ";
            break;
          }
        }
      }
    }
    if (same) return true;
    if (Steady::now() >= end) {
      // Where the station's follower stands against the stream.
      nats::StationStatus st = s.Status();
      why << "station holds up to seq " << st.heldSequence << " (confirmed " << st.confirmed
          << ", complete " << st.complete << ", lag " << st.lag << ", on " << st.server
          << ", read afresh " << st.rereads << ", resumed " << st.resumes
          << (st.rereadDue ? ", a re-read due" : "") << ")";
      for (const nats::StreamHealth& h : st.streams) {
        why << "; " << h.name << " last " << h.lastSequence << " leader " << h.leader << " current "
            << h.current << "/" << h.replicas << " offline " << h.offline << " lag " << h.lag;
      }
      if (diff) *diff = why.str();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

std::unique_ptr<nats::Station> OpenStation(const std::string& url, const std::string& name,
                                           const std::string& credentials, int requestTimeoutMs) {
  nats::StationOptions o;
  o.connect.url = url;
  o.connect.credentials = credentials;
  o.name = name;
  o.requestTimeoutMs = requestTimeoutMs;
  o.startTimeoutMs = 20000;
  std::string err;
  auto s = nats::Station::Connect(o, &err);
  if (!s) ADD_FAILURE() << "station " << name << ": " << err;
  return s;
}

}  // namespace tolvane::testing
