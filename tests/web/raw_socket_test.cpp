// Hostile clients on a raw socket: bodies that would be large are refused
// on their headers, before a byte of them is read or anyone signed in;
// chunked bodies are bounded as they come; slow headers and bodies are cut
// off at their deadline; connections are bounded per address and in all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "web_fixture.h"

namespace tolvane::web::testing {
namespace {

using Clock = std::chrono::steady_clock;

long RssKb() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// A loopback connection with bounded waits.
class Raw {
 public:
  // From `source` (a loopback address: 127.0.0.2 is another client).
  explicit Raw(int port, const char* source = nullptr) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (source) {
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, source, &from.sin_addr);
      bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0}, send{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Raw() { close(fd_); }
  bool connected() const { return connected_; }
  // Sends what it can; false once the server stopped taking it.
  bool Send(const std::string& data) {
    std::size_t at = 0;
    while (at < data.size()) {
      ssize_t n = ::send(fd_, data.data() + at, data.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return false;
      at += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Answered() {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) > 0;
  }
  // Whether the server ended the connection (or answered) within `limit`.
  bool Ends(std::chrono::milliseconds limit) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, static_cast<int>(limit.count())) > 0;
  }
  // One answer: its head and its Content-Length of body (at most 5 s).
  std::string Read() {
    std::string out;
    char buf[4096];
    for (;;) {
      std::size_t head = out.find("\r\n\r\n");
      if (head != std::string::npos) {
        std::size_t at = out.find("Content-Length: ");
        std::size_t length = at < head ? std::stoul(out.substr(at + 16)) : 0;
        if (out.size() >= head + 4 + length) break;
      }
      ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class RawSocketTest : public WebFixture {};

TEST_F(RawSocketTest, LargeOrChunkedBodiesAreRefusedOnTheirHeadersBeforeSignIn) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port()) + "\r\n";
  struct Case {
    const char* what;
    std::string headers;
    std::string chunk;  // sent again and again, up to 64 MiB, while the server takes it
    const char* status;
  };
  const std::string mib(1 << 20, 'x');
  for (const Case& k : std::vector<Case>{
           // A chunked body that goes on is dropped past the limit, then cut.
           {"chunked", "Transfer-Encoding: chunked\r\n", "100000\r\n" + mib + "\r\n", ""},
           {"chunked, another case", "transfer-encoding: Chunked\r\n", "100000\r\n" + mib + "\r\n",
            ""},
           {"another transfer coding", "Transfer-Encoding: gzip\r\n", mib, "411"},
           {"huge length", "Content-Length: 314572800\r\n", mib, "413"},
           {"length past any number", "Content-Length: 99999999999999999999\r\n", mib, "413"},
       }) {
    SCOPED_TRACE(k.what);
    long before = RssKb();
    Raw raw(port());
    ASSERT_TRUE(raw.connected());
    ASSERT_TRUE(raw.Send("POST /api/login HTTP/1.1\r\n" + host +
                         "Content-Type: application/json\r\n" + k.headers + "\r\n"));
    std::size_t sent = 0;
    auto until = Clock::now() + std::chrono::seconds(10);
    while (sent < (64u << 20) && Clock::now() < until && !raw.Answered() && raw.Send(k.chunk)) {
      sent += k.chunk.size();
    }
    std::string answer = raw.Read();
    if (*k.status) {
      EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + k.status) << answer.substr(0, 200);
    } else {  // closed on it, or 413
      EXPECT_TRUE(answer.empty() || answer.substr(0, 12) == "HTTP/1.1 413")
          << answer.substr(0, 200);
    }
    EXPECT_LT(sent, 64u << 20) << "the server took the whole body";
    // The server kept none of it (this process is the server).
    EXPECT_LT(RssKb() - before, 16 * 1024);
  }
}

// A sign-in body of exactly `size` bytes (padded with spaces), as chunks.
std::string ChunkedSignIn(std::size_t size, std::size_t chunk) {
  std::string body = nlohmann::json{{"user", "olga"}, {"password", "not the password"}}.dump();
  body.resize(std::max(size, body.size()), ' ');
  std::string out;
  for (std::size_t at = 0; at < body.size(); at += chunk) {
    std::string part = body.substr(at, chunk);
    char head[32];
    std::snprintf(head, sizeof head, "%zx\r\n", part.size());
    out += head + part + "\r\n";
  }
  return out + "0\r\n\r\n";
}

TEST_F(RawSocketTest, ChunkedBodiesAreTakenUpToTheLimitAndRefusedPastIt) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port()) + "\r\n";
  struct Case {
    const char* what;
    std::size_t size, chunk;
    const char* status;  // 401: read whole and checked (a wrong password)
  };
  for (const Case& k : std::vector<Case>{
           {"small, one chunk", 60, 4096, "401"},
           {"small, many chunks", 60, 7, "401"},
           {"exactly the limit", 16 * 1024, 1000, "401"},
           {"one byte past the limit", 16 * 1024 + 1, 1000, "413"},
           {"a hundred KiB", 100 * 1024, 8192, "413"},
       }) {
    SCOPED_TRACE(k.what);
    Raw raw(port());
    ASSERT_TRUE(raw.connected());
    ASSERT_TRUE(raw.Send("POST /api/login HTTP/1.1\r\n" + host +
                         "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n" +
                         ChunkedSignIn(k.size, k.chunk)));
    std::string answer = raw.Read();
    EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + k.status) << answer.substr(0, 300);
  }
}

class SlowClientTest : public RawSocketTest {
 protected:
  void SetUp() override {
    FixtureOptions o;
    o.tune = [](ServerOptions& so) {
      so.headerTimeout = std::chrono::seconds(3);
      so.bodyTimeout = std::chrono::seconds(3);
    };
    Start(o);
  }
};

TEST_F(SlowClientTest, HeadersAndBodiesThatTrickleInAreCutOffAtTheirDeadline) {
  const std::string host = "Host: 127.0.0.1:" + std::to_string(port()) + "\r\n";
  struct Case {
    const char* what;
    std::string start;    // sent at once
    std::string trickle;  // then a byte a second, while the server takes it
    bool cut;             // cut off at the deadline (3 s), or answered
  };
  for (const Case& k : std::vector<Case>{
           {"headers, a byte a second", "GET /api/source HTTP/1.1\r\n",
            host + "X-Slow: yes\r\n\r\n", true},
           {"body, a byte a second",
            "POST /api/login HTTP/1.1\r\n" + host +
                "Content-Type: application/json\r\nContent-Length: 40\r\n\r\n",
            std::string(40, ' '), true},
           {"headers slow but in time", "GET /api/source HTTP/1.1\r\n" + host, "\r\n", false},
       }) {
    SCOPED_TRACE(k.what);
    Raw raw(port());
    ASSERT_TRUE(raw.connected());
    auto start = Clock::now();
    ASSERT_TRUE(raw.Send(k.start));
    bool ended = false;
    for (char c : k.trickle) {
      if (raw.Ends(std::chrono::milliseconds(1000))) {
        ended = true;
        break;
      }
      if (!raw.Send(std::string(1, c))) break;
    }
    auto took = Clock::now() - start;
    std::string answer = raw.Read();
    if (k.cut) {
      EXPECT_TRUE(ended) << "the client sent it all";
      EXPECT_EQ(answer, "") << answer.substr(0, 200);
      EXPECT_GE(took, std::chrono::milliseconds(2500));
      EXPECT_LE(took, std::chrono::milliseconds(6000));
    } else {
      EXPECT_EQ(answer.substr(0, 12), "HTTP/1.1 200") << answer.substr(0, 200);
    }
  }
}

class ConnectionLimitTest : public RawSocketTest {
 protected:
  void SetUp() override {
    FixtureOptions o;
    o.tune = [](ServerOptions& so) {
      so.maxConnections = 6;
      so.maxPerAddress = 4;
    };
    Start(o);
  }
  // Whether a connection from `source` is served: a page of it answers.
  bool Served(Raw& raw) {
    if (!raw.Send("GET /api/source HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port()) +
                  "\r\n\r\n")) {
      return false;
    }
    return raw.Read().substr(0, 12) == "HTTP/1.1 200";
  }
};

TEST_F(ConnectionLimitTest, ConnectionsAreBoundedPerAddressAndInAll) {
  std::vector<std::unique_ptr<Raw>> held;
  auto open = [&](const char* source) {
    held.push_back(std::make_unique<Raw>(port(), source));
    EXPECT_TRUE(held.back()->connected());
    return held.back().get();
  };
  struct Step {
    const char* source;
    bool served;
  };
  // Four from one address; the fifth from it is refused while another
  // address is still served; the seventh in all is refused from anywhere.
  for (const Step& k : std::vector<Step>{{"127.0.0.1", true},
                                         {"127.0.0.1", true},
                                         {"127.0.0.1", true},
                                         {"127.0.0.1", true},
                                         {"127.0.0.1", false},
                                         {"127.0.0.2", true},
                                         {"127.0.0.3", true},
                                         {"127.0.0.4", false}}) {
    SCOPED_TRACE(std::string(k.source) + " #" + std::to_string(held.size() + 1));
    Raw* raw = open(k.source);
    EXPECT_EQ(Served(*raw), k.served);
    if (!k.served) held.pop_back();
  }
  EXPECT_EQ(server_->Stats().connections, 6u);
  // A connection closed makes room again.
  held.erase(held.begin());
  auto until = Clock::now() + std::chrono::seconds(5);
  bool served = false;
  while (!served && Clock::now() < until) {
    Raw again(port(), "127.0.0.1");
    served = Served(again);
    if (!served) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(served);
}

TEST_F(RawSocketTest, AnOperatorIsServedWhileSlowLorisConnectionsAreHeld) {
  // Loris connections from other addresses, each with half its headers sent.
  std::vector<std::unique_ptr<Raw>> loris;
  for (int i = 0; i < 120; ++i) {
    std::string source = "127.0.1." + std::to_string(1 + i / 40);
    loris.push_back(std::make_unique<Raw>(port(), source.c_str()));
    ASSERT_TRUE(loris.back()->connected());
    ASSERT_TRUE(loris.back()->Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-a: "));
  }
  auto c = Operator();
  std::string ref = FirstNew(Page(*c));
  ASSERT_FALSE(ref.empty());
  auto start = Clock::now();
  auto ack = c->Post("/api/ack", nlohmann::json{{"refs", {ref}}}.dump());
  ASSERT_TRUE(ack);
  EXPECT_EQ(ack->status, 200) << ack->body;
  auto page = c->Get("/api/alarms?count=100");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  WebStats stats = server_->Stats();
  EXPECT_GE(stats.connections, 120u);
  EXPECT_EQ(stats.sessions, 1u);
  EXPECT_GE(stats.requestsByStatus[200], 3u);
  for (auto& l : loris) EXPECT_FALSE(l->Answered());  // none got anywhere
}

TEST_F(RawSocketTest, StatsCountLivePagesAndRefusedSignIns) {
  auto c = Operator();
  ApiClient wrong(port());
  EXPECT_EQ(wrong.SignIn("olga", "not the password"), 401);
  EXPECT_EQ(server_->Stats().signInsRefused, 1u);
  std::vector<std::unique_ptr<Raw>> pages;
  for (int i = 0; i < 3; ++i) {
    pages.push_back(std::make_unique<Raw>(port()));
    ASSERT_TRUE(pages.back()->Send(
        "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + c->cookie + "\r\n\r\n"));
    ASSERT_TRUE(pages.back()->Ends(std::chrono::seconds(5)));  // the first event came
  }
  EXPECT_EQ(server_->Stats().livePages, 3u);
  pages.clear();
  // A page gone is noticed at its next event at the latest.
  c->Post("/api/horn", nlohmann::json{{"action", "silence"}}.dump());
  auto until = Clock::now() + std::chrono::seconds(5);
  while (server_->Stats().livePages > 0 && Clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(server_->Stats().livePages, 0u);
  EXPECT_GE(server_->Stats().requestsByStatus[401], 1u);
}

}  // namespace
}  // namespace tolvane::web::testing
