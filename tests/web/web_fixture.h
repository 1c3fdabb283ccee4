// A web display on a loopback port the test picks: the demo plant (with a
// hostile description on one alarm) in a memory host, a users file with an
// operator and a viewer, and a client that signs in.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "web/plant_host.h"
#include "web/server.h"

namespace tolvane::web::testing {

inline constexpr const char* kHostile =
    "<script>window.pwned=1</script><img src=x onerror=\"window.pwned=2\">";
inline constexpr const char* kOperatorPassword = "operator-secret";
inline constexpr const char* kViewerPassword = "viewer-secret";

// A signed-in (or not) client of one server.
class ApiClient {
 public:
  explicit ApiClient(int port);
  // Signs in; the answer's status.
  int SignIn(const std::string& user, const std::string& password);
  httplib::Result Get(const std::string& path);
  // A POST of `body` as JSON with the session's cookie and CSRF token.
  httplib::Result Post(const std::string& path, const std::string& body,
                       const std::string& type = "application/json");
  // The body of a GET that must succeed.
  nlohmann::json GetJson(const std::string& path);

  std::string cookie;  // "tolvane_session=..."
  std::string csrf;
  std::string setCookie;  // the sign-in's Set-Cookie header

 private:
  httplib::Headers Headers() const;
  httplib::Client client_;
};

struct FixtureOptions {
  double simulateRate = 0;
  std::chrono::seconds sessionIdle{3600};
  bool storeFile = false;         // the plant in a store file (storePath_) instead of memory
  std::string certFile, keyFile;  // HTTPS when given
  // Serve a copy of this store file instead of the demo plant.
  std::string storeCopyOf;
  // The host's test pause (HostOptions::pause).
  std::function<void(const char* stage)> pause;
  // Changes to the server's options (limits, deadlines) before it starts.
  std::function<void(ServerOptions&)> tune;
};

class WebFixture : public ::testing::Test {
 protected:
  void SetUp() override { Start({}); }
  void TearDown() override;
  void Start(const FixtureOptions& options);

  int port() const { return server_->port(); }
  std::string BaseUrl() const { return "http://127.0.0.1:" + std::to_string(port()); }
  std::unique_ptr<ApiClient> Operator();
  std::unique_ptr<ApiClient> Viewer();

  // The first page (sort -1, 1000 rows) as the API gives it.
  nlohmann::json Page(ApiClient& c, const std::string& query = "");

 public:
  // The row of `ref` in the page, if any.
  static std::optional<nlohmann::json> RowOf(const nlohmann::json& page, const std::string& ref);
  // The reference of the first new alarm (not an operator message).
  static std::string FirstNew(const nlohmann::json& page);

 protected:
  std::string dir_;
  std::string usersFile_;
  std::unique_ptr<PlantHost> host_;
  std::unique_ptr<WebServer> server_;
  std::string hostileRef_;
  std::string storePath_;
};

}  // namespace tolvane::web::testing
