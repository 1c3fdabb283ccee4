// Hostile clients on a raw socket: bodies that would be large are refused
// on their headers, before a byte of them is read or anyone signed in.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>

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
  explicit Raw(int port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
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
           {"chunked", "Transfer-Encoding: chunked\r\n", "100000\r\n" + mib + "\r\n", "411"},
           {"chunked, another case", "transfer-encoding: Chunked\r\n",
            "100000\r\n" + mib + "\r\n", "411"},
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
    EXPECT_EQ(answer.substr(0, 12), std::string("HTTP/1.1 ") + k.status) << answer.substr(0, 200);
    EXPECT_LT(sent, 64u << 20) << "the server took the whole body";
    // The server kept none of it (this process is the server).
    EXPECT_LT(RssKb() - before, 16 * 1024);
  }
}

}  // namespace
}  // namespace tolvane::web::testing
