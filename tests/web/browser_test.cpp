// The page in a real browser: headless Chromium driven through chromedriver
// (WebDriver over loopback HTTP). Skips only when Chromium or chromedriver
// is not installed; every wait is bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sodium.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

#include "web_fixture.h"

namespace tolvane::web::testing {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kElementKey = "element-6066-11e4-a52e-4f735466cecf";

std::string FindProgram(const std::vector<std::string>& names) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (const std::string& name : names) {
    std::size_t start = 0;
    while (start <= dirs.size()) {
      std::size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(start, end - start) + "/" + name;
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
      start = end + 1;
    }
  }
  return {};
}

// A free loopback port: bound, read and released (chromedriver binds it next).
int FreePort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  close(fd);
  return ntohs(a.sin_port);
}

// chromedriver, started and stopped by the test.
class Driver {
 public:
  bool Start(const std::string& program, const std::string& logDir, std::string* err) {
    port_ = FreePort();
    pid_ = fork();
    if (pid_ == 0) {
      std::string portArg = "--port=" + std::to_string(port_);
      std::string logArg = "--log-path=" + logDir + "/chromedriver.log";
      execl(program.c_str(), program.c_str(), portArg.c_str(), logArg.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_connection_timeout(2);
    client_->set_read_timeout(60);
    auto until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < until) {
      auto r = client_->Get("/status");
      if (r && r->status == 200) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *err = "chromedriver did not answer on port " + std::to_string(port_);
    return false;
  }

  ~Driver() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    auto until = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < until && waitpid(pid_, nullptr, WNOHANG) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (waitpid(pid_, nullptr, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  json Call(const std::string& method, const std::string& path, const json& body = nullptr) {
    httplib::Result r = method == "GET"      ? client_->Get(path)
                        : method == "DELETE" ? client_->Delete(path)
                                             : client_->Post(path, body.dump(), "application/json");
    if (!r) {
      ADD_FAILURE() << method << " " << path << ": " << httplib::to_string(r.error());
      return json::object();
    }
    json out = json::parse(r->body, nullptr, false);
    if (r->status != 200) ADD_FAILURE() << method << " " << path << ": " << r->body.substr(0, 400);
    return out.is_discarded() ? json::object() : out["value"];
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
};

// One browser window.
class Browser {
 public:
  Browser(Driver& d, const std::string& chromium, const std::string& profile) : d_(d) {
    json args = {"--headless=new",
                 "--no-sandbox",
                 "--disable-gpu",
                 "--disable-quic",
                 "--no-first-run",
                 "--disable-background-networking",
                 "--disable-component-update",
                 "--disable-sync",
                 "--disable-dev-shm-usage",
                 "--window-size=1600,1000",
                 "--user-data-dir=" + profile};
    json caps = {{"capabilities",
                  {{"alwaysMatch",
                    {{"browserName", "chrome"},
                     {"goog:chromeOptions", {{"binary", chromium}, {"args", args}}}}}}}};
    json v = d_.Call("POST", "/session", caps);
    id_ = v.value("sessionId", "");
  }
  ~Browser() {
    if (!id_.empty()) d_.Call("DELETE", "/session/" + id_);
  }
  bool ok() const { return !id_.empty(); }

  void Go(const std::string& url) { Call("/url", {{"url", url}}); }
  // Sets the viewport (not the window) to width x height, as a screen
  // showing only the page would have it.
  void SetSize(int width, int height) {
    Call("/window/rect", {{"width", width}, {"height", height}});
    json inner = Run("return [window.innerWidth, window.innerHeight]");
    Call("/window/rect", {{"width", 2 * width - inner[0].get<int>()},
                          {"height", 2 * height - inner[1].get<int>()}});
  }
  json Run(const std::string& script, const json& args = json::array()) {
    return Call("/execute/sync", {{"script", script}, {"args", args}});
  }
  json RunAsync(const std::string& script, const json& args = json::array()) {
    return Call("/execute/async", {{"script", script}, {"args", args}});
  }
  std::string Find(const std::string& css) {
    json v = Call("/element", {{"using", "css selector"}, {"value", css}});
    return v.is_object() ? v.value(kElementKey, "") : "";
  }
  void Click(const std::string& css) { Call("/element/" + Find(css) + "/click", json::object()); }
  void Type(const std::string& css, const std::string& text) {
    Call("/element/" + Find(css) + "/value", {{"text", text}});
  }
  // Waits until `condition` (a JavaScript expression) is true; false when
  // `seconds` pass first.
  bool WaitFor(const std::string& condition, double seconds = 10) {
    auto until = Clock::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (Clock::now() < until) {
      json v = Run("try { return !!(" + condition + "); } catch (e) { return false; }");
      if (v.is_boolean() && v.get<bool>()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
  }
  bool Screenshot(const std::string& path) {
    std::string b64 = d_.Call("GET", "/session/" + id_ + "/screenshot").get<std::string>();
    std::string png(b64.size(), '\0');
    size_t n = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(png.data()), png.size(), b64.data(),
                          b64.size(), nullptr, &n, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0) {
      return false;
    }
    png.resize(n);
    std::ofstream(path, std::ios::binary) << png;
    return n > 0;
  }
  void SignIn(const std::string& base, const std::string& user, const std::string& password) {
    Go(base + "/");
    ASSERT_TRUE(WaitFor("!document.getElementById('signin').hidden")) << "no sign-in form";
    Type("#signin-user", user);
    Type("#signin-password", password);
    Click("#signin-submit");
    ASSERT_TRUE(
        WaitFor("!document.getElementById('app').hidden && "
                "document.querySelectorAll('#rows tr').length > 0"))
        << "the alarm table did not come";
  }

 private:
  json Call(const std::string& path, const json& body) {
    return d_.Call("POST", "/session/" + id_ + path, body);
  }
  Driver& d_;
  std::string id_;
};

class BrowserTest : public WebFixture {
 protected:
  void SetUp() override {
    chromium_ = FindProgram({"chromium", "chromium-browser", "google-chrome"});
    chromedriver_ = FindProgram({"chromedriver"});
    if (chromium_.empty() || chromedriver_.empty()) {
      GTEST_SKIP() << "Chromium or chromedriver is not installed (scripts/deps.sh installs them)";
    }
    Start(Options());
    std::filesystem::create_directories(TOLVANE_WEB_ARTIFACTS);
    std::string err;
    ASSERT_TRUE(driver_.Start(chromedriver_, TOLVANE_WEB_ARTIFACTS, &err)) << err;
  }
  virtual FixtureOptions Options() { return {}; }

  std::unique_ptr<Browser> Open(const std::string& name) {
    auto b = std::make_unique<Browser>(driver_, chromium_, dir_ + "/profile-" + name);
    EXPECT_TRUE(b->ok()) << "chromedriver gave no session";
    return b;
  }

  std::string chromium_, chromedriver_;
  Driver driver_;
};

std::string RowSelector(const std::string& ref) {
  return "#rows tr[data-ref=\"" + ref + "\"]";
}

TEST_F(BrowserTest, OperatorSortsFiltersAndAcknowledgesWhileAViewerWatches) {
  auto op = Open("operator");
  auto viewer = Open("viewer");
  ASSERT_TRUE(op->ok() && viewer->ok());
  ASSERT_NO_FATAL_FAILURE(op->SignIn(BaseUrl(), "olga", kOperatorPassword));
  ASSERT_NO_FATAL_FAILURE(viewer->SignIn(BaseUrl(), "vic", kViewerPassword));

  // A hostile description is text: no script ran, no image was made.
  std::string hostile = RowSelector(hostileRef_) + " td.desc";
  ASSERT_TRUE(op->WaitFor("document.querySelector('" + hostile + "')"));
  EXPECT_EQ(op->Run("return document.querySelector('" + hostile + "').textContent"), kHostile);
  EXPECT_EQ(op->Run("return document.querySelectorAll('#rows img, #rows script').length"), 0);
  EXPECT_TRUE(op->Run("return window.pwned === undefined").get<bool>());

  // Sort by priority: most severe first, then the other way.
  op->Click("th[data-sort=\"3\"] button");
  EXPECT_TRUE(op->WaitFor(
      "document.querySelector('th[data-sort=\"3\"]').getAttribute('aria-sort') == 'descending' && "
      "document.querySelector('#rows tr td.priority').textContent.includes('CRITICAL')"));
  op->Click("th[data-sort=\"3\"] button");
  EXPECT_TRUE(op->WaitFor(
      "document.querySelector('th[data-sort=\"3\"]').getAttribute('aria-sort') == 'ascending' && "
      "document.querySelector('#rows tr td.priority').textContent.includes('INFO')"));
  op->Click("th[data-sort=\"1\"] button");  // back to newest first
  EXPECT_TRUE(op->WaitFor(
      "document.querySelector('th[data-sort=\"1\"]').getAttribute('aria-sort') == 'descending'"));

  // Acknowledge one new alarm; the viewer's page shows it without a reload.
  std::string ref = viewer->Run(
      "window.keep = 'same page'; "
      "const r = document.querySelector('#rows tr.new');"
      "return r ? r.dataset.ref : ''");
  ASSERT_FALSE(ref.empty());
  ASSERT_TRUE(op->WaitFor("document.querySelector('" + RowSelector(ref) + "')"));
  op->Click(RowSelector(ref) + " input.select");
  ASSERT_TRUE(op->WaitFor("!document.getElementById('ack-selected').disabled"));
  auto clicked = Clock::now();
  op->Click("#ack-selected");
  ASSERT_TRUE(viewer->WaitFor(
      "document.querySelector('" + RowSelector(ref) + "').classList.contains('acked')", 5));
  double seen = std::chrono::duration<double>(Clock::now() - clicked).count();
  std::cout << "[ figure ] acknowledge on one browser to display on another: " << seen * 1000
            << " ms (incl. WebDriver round trips)\n";
  EXPECT_EQ(viewer->Run("return window.keep"), "same page");
  // The operator's own page shows it too (its answer and its event may come
  // after the viewer's event on a slow machine).
  EXPECT_TRUE(op->WaitFor(
      "document.querySelector('" + RowSelector(ref) + " td.ackcell').textContent == 'ack'", 5))
      << op->Run("return document.querySelector('" + RowSelector(ref) +
                 " td.ackcell').textContent");

  // The viewer has no way to act, and the API refuses it anyway.
  EXPECT_EQ(viewer->Run("return document.querySelectorAll('#ack-selected, #ack-all, "
                        "#delete-selected, #shelve-selected, #horn-silence, input.select').length"),
            0);
  std::string victim = op->Run(
      "const r = document.querySelector('#rows tr.new');"
      "return r ? r.dataset.ref : ''");
  json status = viewer->RunAsync(
      "const done = arguments[arguments.length - 1];"
      "fetch('/api/ack', {method: 'POST', headers: {'Content-Type': 'application/json',"
      " 'X-CSRF-Token': state.csrf}, body: JSON.stringify({refs: [arguments[0]]})})"
      ".then(r => done(r.status), () => done(-1));",
      json::array({victim}));
  EXPECT_EQ(status, 403);

  // The filter is checked as typed, and applied once it parses.
  op->Type("#filter", "ASF_NODE IN \"PLANT2");
  EXPECT_TRUE(
      op->WaitFor("document.getElementById('filter-diag').classList.contains('bad') && "
                  "document.getElementById('filter-diag').textContent.includes('column')"));
  op->Type("#filter", "\"");
  EXPECT_TRUE(op->WaitFor(
      "document.getElementById('filter-diag').classList.contains('good') && "
      "[...document.querySelectorAll('#rows td.node')].length > 0 && "
      "[...document.querySelectorAll('#rows td.node')].every(td => td.textContent == 'PLANT2')"));

  op->Screenshot(std::string(TOLVANE_WEB_ARTIFACTS) + "/alarm-summary-operator.png");
  viewer->Screenshot(std::string(TOLVANE_WEB_ARTIFACTS) + "/alarm-summary-viewer.png");
}

TEST_F(BrowserTest, EveryPageIsReachableAJumpMarksTheRowAndAcknowledgeAllAsksWithItsCount) {
  auto api = Operator();
  json all = Page(*api);  // every alarm, newest first
  std::set<std::string> everyRef;
  for (const json& r : all["rows"]) {
    if (!r["message"].get<bool>()) everyRef.insert(r["ref"].get<std::string>());
  }
  // The table holds the alarms; operator messages are in the side panel.
  const int pages = (all["view"]["alarms"].get<int>() + 49) / 50;
  ASSERT_GE(pages, 2);

  auto b = Open("pager");
  ASSERT_TRUE(b->ok());
  ASSERT_NO_FATAL_FAILURE(b->SignIn(BaseUrl(), "olga", kOperatorPassword));
  b->Run("const s = document.getElementById('count'); s.value = '50';"
         "s.dispatchEvent(new Event('change'));");
  ASSERT_TRUE(b->WaitFor("document.querySelectorAll('#rows tr').length == 50 && "
                         "document.body.dataset.pages == '" + std::to_string(pages) + "'"));
  EXPECT_EQ(b->Run("return document.getElementById('page-count').textContent"),
            "of " + std::to_string(pages));

  // The built-in demo plant says so on the page.
  EXPECT_TRUE(b->WaitFor("!document.getElementById('source-banner').hidden && "
                         "document.getElementById('source-banner').textContent.startsWith('DEMO PLANT')"));

  // Next until the end: every alarm once.
  std::set<std::string> seen;
  for (int page = 0; page < pages; ++page) {
    ASSERT_TRUE(b->WaitFor("document.body.dataset.page == '" + std::to_string(page) + "'"))
        << "page " << page;
    json refs = b->Run("return [...document.querySelectorAll('#rows tr:not(.message)')]"
                       ".map(r => r.dataset.ref)");
    for (const json& r : refs) EXPECT_TRUE(seen.insert(r.get<std::string>()).second) << r;
    if (page + 1 < pages) b->Click("#page-next");
  }
  EXPECT_EQ(seen, everyRef);
  EXPECT_TRUE(b->Run("return document.getElementById('page-next').disabled").get<bool>());
  b->Click("#page-prev");
  EXPECT_TRUE(b->WaitFor("document.body.dataset.page == '" + std::to_string(pages - 2) + "'"));
  b->Click("#page-first");
  EXPECT_TRUE(b->WaitFor("document.body.dataset.page == '0' && "
                         "document.getElementById('page-prev').disabled"));

  // Jump to the oldest alarm: the last page, its row marked.
  std::string oldest;
  for (const json& r : all["rows"]) {
    if (!r["message"].get<bool>()) oldest = r["ref"];
  }
  b->Type("#jump-ref", oldest);
  b->Click("#jump-form button");
  EXPECT_TRUE(b->WaitFor("document.body.dataset.page == '" + std::to_string(pages - 1) +
                         "' && document.querySelector('#rows tr.focus') && "
                         "document.querySelector('#rows tr.focus').dataset.ref == '" + oldest + "'"));

  // Acknowledge all filtered: the count first, nothing done on Cancel.
  const json filter = {{"filter", "ASF_NODE IN \"PLANT2\""}};
  auto selected = [&] {
    return json::parse(api->Post("/api/ack-all/preview", filter.dump())->body)["selected"].get<int>();
  };
  const int count = selected();
  ASSERT_GT(count, 0);
  b->Type("#filter", "ASF_NODE IN \"PLANT2\"");
  ASSERT_TRUE(b->WaitFor(
      "document.getElementById('filter-diag').classList.contains('good') && "
      "[...document.querySelectorAll('#rows td.node')].every(td => td.textContent == 'PLANT2')"));
  b->Click("#ack-all");
  ASSERT_TRUE(b->WaitFor("!document.getElementById('ackall-confirm').hidden"));
  EXPECT_EQ(b->Run("return document.getElementById('ackall-yes').textContent"),
            "Acknowledge " + std::to_string(count));
  EXPECT_NE(b->Run("return document.getElementById('ackall-question').textContent")
                .get<std::string>()
                .find("Acknowledge " + std::to_string(count) + " new alarm"),
            std::string::npos);
  b->Screenshot(std::string(TOLVANE_WEB_ARTIFACTS) + "/alarm-summary-ack-all.png");
  b->Click("#ackall-no");
  EXPECT_TRUE(b->WaitFor("document.getElementById('ackall-confirm').hidden"));
  EXPECT_EQ(selected(), count);
  b->Click("#ack-all");
  ASSERT_TRUE(b->WaitFor("!document.getElementById('ackall-confirm').hidden"));
  b->Click("#ackall-yes");
  EXPECT_TRUE(b->WaitFor("document.getElementById('message').textContent == 'Acknowledged " +
                         std::to_string(count) + " of " + std::to_string(count) +
                         " new alarm(s).'"));
  EXPECT_EQ(selected(), 0);

  // Its operator message goes to the side panel, not among the alarms,
  // unless the operator asks for messages in the table.
  EXPECT_TRUE(b->WaitFor("document.querySelectorAll('#opmsgs li bdi').length > 0"));
  EXPECT_EQ(b->Run("return document.querySelectorAll('#rows tr.message').length"), 0);
  b->Click("#inline-messages");
  EXPECT_TRUE(b->WaitFor("document.querySelectorAll('#rows tr.message').length > 0"));
  b->Click("#inline-messages");
  EXPECT_TRUE(b->WaitFor("document.querySelectorAll('#rows tr.message').length == 0"));
}

class TimeZoneBrowserTest : public BrowserTest {
 protected:
  FixtureOptions Options() override {
    FixtureOptions o;
    o.tune = [](ServerOptions& s) {
      std::string err;
      ASSERT_TRUE(ParseTimeZone("+05:30", &s.times, &err)) << err;
    };
    return o;
  }
};

TEST_F(TimeZoneBrowserTest, TheTableAndThePanelsShowTheConfiguredOffset) {
  auto b = Open("zone");
  ASSERT_TRUE(b->ok());
  ASSERT_NO_FATAL_FAILURE(b->SignIn(BaseUrl(), "olga", kOperatorPassword));
  const std::string shown = "/^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+05:30$/";
  // Both time columns of every row, as the API gave them.
  EXPECT_TRUE(b->Run("const cells = [...document.querySelectorAll('#rows td.time')];"
                     "return cells.length > 0 && cells.every(td => " + shown +
                     ".test(td.textContent))")
                  .get<bool>())
      << b->Run("return document.querySelector('#rows td.time').textContent");
  // The operator messages and the journal at the side.
  ASSERT_TRUE(b->WaitFor("document.querySelector('#opmsgs li span.meta') && "
                         "document.querySelector('#journal li span.meta')"));
  for (const char* panel : {"#opmsgs", "#journal"}) {
    std::string meta = b->Run(std::string("return document.querySelector('") + panel +
                              " li span.meta').textContent");
    EXPECT_NE(meta.find(" +05:30"), std::string::npos) << panel << ": " << meta;
  }
  EXPECT_EQ(b->Run("return document.querySelector('#alarms th.c-time').title"),
            "Times in UTC+05:30");
  // Not live: the banner says as of when, in the same zone.
  server_->Stop();
  EXPECT_TRUE(b->WaitFor("/as of \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+05:30/"
                         ".test(document.getElementById('stale-text').textContent)",
                         10))
      << b->Run("return document.getElementById('stale-text').textContent");
}

class SimulatedBrowserTest : public BrowserTest {
 protected:
  FixtureOptions Options() override {
    FixtureOptions o;
    o.simulateRate = 3;
    return o;
  }
};

// Rows wholly inside the viewport.
constexpr const char* kVisibleRows =
    "return [...document.querySelectorAll('#rows tr')].filter(r => {"
    " const b = r.getBoundingClientRect(); return b.top >= 0 && b.bottom <= window.innerHeight;"
    "}).length";

TEST_F(SimulatedBrowserTest, TheOperatorsScreenIsDenseKeepsFocusAcrossUpdatesAndShowsStaleness) {
  auto b = Open("screen");
  ASSERT_TRUE(b->ok());
  struct Size {
    int width, height, rows;
  };
  ASSERT_NO_FATAL_FAILURE(b->SignIn(BaseUrl(), "olga", kOperatorPassword));
  for (const Size& size : {Size{1920, 1080, 25}, Size{1280, 800, 15}}) {
    b->SetSize(size.width, size.height);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int rows = b->Run(kVisibleRows).get<int>();
    EXPECT_GE(rows, size.rows) << size.width << "x" << size.height;
    // The reference is in view in every row, the table no wider than the page.
    EXPECT_TRUE(b->Run("const t = document.getElementById('alarms');"
                       "return t.scrollWidth <= t.parentElement.clientWidth + 1 && "
                       "[...document.querySelectorAll('#rows td.ref')].every(td => "
                       "td.getBoundingClientRect().right <= window.innerWidth)")
                    .get<bool>())
        << size.width;
    std::cout << "[ figure ] rows visible at " << size.width << "x" << size.height << ": " << rows
              << "\n";
    b->Screenshot(std::string(TOLVANE_WEB_ARTIFACTS) + "/screen-" + std::to_string(size.width) +
                  "x" + std::to_string(size.height) + ".png");
  }

  // Focus stays on a row's check box while updates arrive.
  std::string ref = b->Run(
      "const box = document.querySelectorAll('#rows input.select')[2];"
      "box.focus(); window.focused = box; return box.closest('tr').dataset.ref;");
  ASSERT_FALSE(ref.empty());
  std::string seq = b->Run("return document.body.dataset.sequence");
  ASSERT_TRUE(b->WaitFor("document.body.dataset.sequence != '" + seq + "'", 15));
  seq = b->Run("return document.body.dataset.sequence");
  ASSERT_TRUE(b->WaitFor("document.body.dataset.sequence != '" + seq + "'", 15));
  EXPECT_TRUE(b->Run("return document.activeElement === window.focused && "
                     "window.focused.isConnected")
                  .get<bool>());

  // Arrows move between rows; new alarms are announced while the horn sounds.
  EXPECT_TRUE(b->Run("const boxes = [...document.querySelectorAll('#rows input.select')];"
                     "const at = boxes.indexOf(document.activeElement);"
                     "document.activeElement.dispatchEvent(new KeyboardEvent('keydown', "
                     "{key: 'ArrowDown', bubbles: true}));"
                     "return at >= 0 && boxes.indexOf(document.activeElement) == at + 1")
                  .get<bool>());
  EXPECT_TRUE(b->WaitFor("Number(document.body.dataset.annunciated || 0) > 0", 15));

  // Selecting holds the table still and says so; ending the selection shows
  // what came meanwhile.
  b->Run("window.sel = document.querySelectorAll('#rows input.select')[3]; window.sel.click();");
  seq = b->Run("return document.body.dataset.sequence");
  EXPECT_TRUE(b->WaitFor("!document.getElementById('held').hidden", 15));
  EXPECT_EQ(b->Run("return document.body.dataset.sequence"), seq);
  b->Run("window.sel.click();");
  EXPECT_TRUE(b->WaitFor("document.getElementById('held').hidden && "
                         "document.body.dataset.sequence != '" + seq + "'"));

  // The server goes: the header says the display is not live, with its age.
  server_->Stop();
  EXPECT_TRUE(b->WaitFor("document.body.dataset.stale == '1' && "
                         "!document.getElementById('stale').hidden && "
                         "document.getElementById('stale-text').textContent.includes('NOT LIVE')",
                         10));
  b->Screenshot(std::string(TOLVANE_WEB_ARTIFACTS) + "/screen-stale.png");
}

TEST_F(SimulatedBrowserTest, AnAlarmRaisedBySimulationAppearsWithoutAReload) {
  auto b = Open("operator");
  ASSERT_TRUE(b->ok());
  ASSERT_NO_FATAL_FAILURE(b->SignIn(BaseUrl(), "olga", kOperatorPassword));
  b->Run(
      "window.keep = 'same page';"
      "window.before = new Set([...document.querySelectorAll('#rows tr')].map(r => "
      "r.dataset.ref));");
  EXPECT_TRUE(b->WaitFor(
      "[...document.querySelectorAll('#rows tr')].some(r => !window.before.has(r.dataset.ref))",
      15));
  EXPECT_EQ(b->Run("return window.keep"), "same page");
  b->Screenshot(std::string(TOLVANE_WEB_ARTIFACTS) + "/alarm-summary-live.png");
}

}  // namespace
}  // namespace tolvane::web::testing
