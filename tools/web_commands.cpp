#include "tools/web_commands.h"

#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "plant/demo_plant.h"
#include "plant/plant_store.h"
#include "tools/cli.h"
#include "tools/commands.h"
#include "web/plant_host.h"
#include "web/station_host.h"
#include "web/server.h"
#include "web/users.h"
#ifdef TOLVANE_WITH_FIELD
#include "tools/field_commands.h"
#endif

namespace tolvane::cli {

struct WebCommands::Options {
  const GlobalOptions* global = nullptr;
  CLI::App* serve = nullptr;
  CLI::App* userAdd = nullptr;
  web::ServerOptions server;
  double simulate = 0;
  uint32_t seed = 1;
  double sessionHours = 8;
  std::string userName;
  std::string role;
  bool passwordStdin = false;
  std::string sources;
};

namespace {

// Reads a password from the terminal without echo, or one line of stdin.
bool ReadPassword(bool fromStdin, std::string* password) {
  bool tty = !fromStdin && isatty(STDIN_FILENO);
  termios saved{};
  if (tty) {
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  auto ask = [&](const char* prompt, std::string* out) {
    if (tty) std::cerr << prompt << std::flush;
    bool ok = static_cast<bool>(std::getline(std::cin, *out));
    if (tty) std::cerr << "\n";
    return ok;
  };
  std::string again;
  bool ok = ask("Password: ", password) && (!tty || ask("Again: ", &again));
  if (tty) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  if (ok && tty && again != *password) {
    std::cerr << "tolvane: error: the two passwords differ\n";
    return false;
  }
  if (!ok) std::cerr << "tolvane: error: no password given\n";
  return ok;
}

int Serve(WebCommands::Options& o);

}  // namespace

WebCommands::WebCommands(CLI::App& app, const GlobalOptions* global)
    : o_(std::make_unique<Options>()) {
  Options& o = *o_;
  o.global = global;
  o.serve = app.add_subcommand("serve", "serve the alarm summary to browsers (docs/web.md)");
  o.serve->add_option("--listen", o.server.listen, "HOST:PORT (default 127.0.0.1:8080)");
  o.serve->add_option("--users", o.server.usersFile,
                      "users file (default ./tolvane-users; `tolvane user add` writes it)");
  o.serve->add_option("--cert", o.server.certFile, "TLS certificate (PEM): serve HTTPS");
  o.serve->add_option("--key", o.server.keyFile, "TLS private key (PEM)");
  o.serve->add_option("--host-name", o.server.hostNames,
                      "a name the server is reached by (the Host header), besides the listening "
                      "address; repeat for more");
  o.serve->add_flag("--secure-cookie", o.server.secureCookie,
                    "mark the session cookie Secure (behind a proxy that serves HTTPS)");
  o.serve->add_option("--simulate", o.simulate, "simulate RATE alarm events per second")
      ->check(CLI::Range(0.0, 1000.0));
  o.serve->add_option("--seed", o.seed, "simulator seed");
#ifdef TOLVANE_WITH_FIELD
  o.serve->add_option("--sources", o.sources, "feed the --node store from field sources");
#endif
  o.serve
      ->add_option("--max-connections", o.server.maxConnections,
                   "open connections in all, live pages included (default 1024)")
      ->check(CLI::Range(1, 1000000));
  o.serve
      ->add_option("--max-per-address", o.server.maxPerAddress,
                   "open connections from one address (default 64; behind a proxy every browser "
                   "has the proxy's address)")
      ->check(CLI::Range(1, 1000000));
  o.serve
      ->add_option("--workers", o.server.workers,
                   "threads answering API requests (default 4; live pages take none)")
      ->check(CLI::Range(1, 256));
  o.serve
      ->add_option("--session-hours", o.sessionHours,
                   "sign out after this many hours without a request (default 8)")
      ->check(CLI::Range(0.01, 24.0 * 30));

  CLI::App* user = app.add_subcommand("user", "manage the web display's users");
  user->require_subcommand(1);
  o.userAdd = user->add_subcommand("add", "add a user, or change a user's role and password");
  o.userAdd->add_option("NAME", o.userName, "user name")->required();
  o.userAdd->add_option("--role", o.role, "operator (may act) or viewer (sees only)")
      ->required()
      ->check(CLI::IsMember({"operator", "viewer"}));
  o.userAdd->add_option("--users", o.server.usersFile, "users file (default ./tolvane-users)");
  o.userAdd->add_flag("--password-stdin", o.passwordStdin,
                      "read the password as one line of standard input");
}

WebCommands::~WebCommands() = default;

bool WebCommands::Run(int* exitCode) {
  Options& o = *o_;
  if (o.serve->parsed()) {
    *exitCode = Serve(o);
    return true;
  }
  if (!o.userAdd->parsed()) return false;
  std::string password;
  if (!ReadPassword(o.passwordStdin, &password)) {
    *exitCode = kExitUsage;
    return true;
  }
  std::string err;
  if (!web::AddUser(o.server.usersFile, o.userName, *web::ParseRole(o.role), password, &err)) {
    std::cerr << "tolvane: error: " << err << "\n";
    *exitCode = kExitFailed;
    return true;
  }
  std::cout << "User " << o.userName << " (" << o.role << ") written to " << o.server.usersFile
            << "\n";
  *exitCode = kExitOk;
  return true;
}

namespace {

#ifdef TOLVANE_WITH_NATS
// The plant the station sees, acted on through the owning nodes.
int ServeStation(WebCommands::Options& o) {
  const GlobalOptions& g = *o.global;
  if (o.simulate > 0) {
    std::cerr << "tolvane: error: --simulate needs a plant store; a station shows the nodes' own\n";
    return kExitUsage;
  }
  node::EmbeddedNode node;  // text, settings and the other local services
  node.LoadSettings();
  StationFlags flags{g.natsUrl, g.station, g.credentials, 10000};
  std::string err;
  std::unique_ptr<nats::Station> station = OpenStationSession(flags, &err);
  if (!station) {
    std::cerr << "tolvane: error: " << err << "\n";
    return kExitFailed;
  }
  nats::Station& st = *station;
  auto status = [&st, flags] {
    nats::StationStatus now = st.Status();
    web::HostSource s;
    s.kind = "station";
    s.name = flags.name + " on " + flags.url;
    s.connected = now.connected;
    s.complete = now.complete;
    if (!now.connected) {
      s.offlineSeconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - now.offlineSince).count();
    }
    s.alarms = now.alarms;
    s.lastChange = now.lastChange;
    for (const nats::NodeLiveness& n : now.nodes) {
      // Whole seconds, so that the page changes once a second, not per beat.
      if (n.stale) s.staleNodes.emplace_back(n.node, n.ageMs < 0 ? -1L : long(n.ageMs / 1000));
    }
    return s;
  };
  std::unique_ptr<web::PlantHost> host = web::MakeStationHost(st.view(), status, &err);
  if (!host) {
    std::cerr << "tolvane: error: " << err << "\n";
    return kExitFailed;
  }
  o.server.sessionIdle = std::chrono::seconds(static_cast<long>(o.sessionHours * 3600));
  int rc = web::RunServer(o.server, *host);
  host.reset();  // its client handle goes before the station's backends
  return rc == 0 ? kExitOk : kExitFailed;
}
#endif

int Serve(WebCommands::Options& o) {
  if (o.global->IsStation()) {
#ifdef TOLVANE_WITH_NATS
    return ServeStation(o);
#else
    std::cerr << "tolvane: error: this tolvane was built without the plant-wide deployment\n";
    return kExitUsage;
#endif
  }
  plant::StoreError storeErr;
  std::unique_ptr<plant::PlantStore> store;
  const bool demo = o.global->nodeFile.empty();
  if (demo) {
    plant::DemoOptions demo;
    demo.now = plant::Clock::now();
    store = plant::PlantStore::InMemory(plant::MakeDemoPlant(demo), &storeErr);
  } else {
    store = plant::PlantStore::Open(o.global->nodeFile, &storeErr);
  }
  if (!store) {
    std::cerr << "tolvane: error: " << storeErr.message << "\n";
    return storeErr.kind == plant::StoreError::Kind::kMissing ? kExitNodeFileMissing
                                                              : kExitNodeFileInvalid;
  }
  web::HostOptions hostOptions;
  hostOptions.simulateRate = o.simulate;
  hostOptions.seed = o.seed;
  hostOptions.demo = demo;
  hostOptions.name = o.global->nodeFile;
  std::string err;
  std::unique_ptr<web::PlantHost> host = web::MakeStoreHost(std::move(store), hostOptions, &err);
  if (!host) {
    std::cerr << "tolvane: error: " << err << "\n";
    return kExitNodeFileInvalid;
  }
  o.server.sessionIdle = std::chrono::seconds(static_cast<long>(o.sessionHours * 3600));
#ifdef TOLVANE_WITH_FIELD
  std::shared_ptr<void> ingest;
  if (!o.sources.empty()) {
    if (o.global == nullptr || o.global->nodeFile.empty()) {
      std::cerr << "tolvane: error: serve --sources needs a plant store (--node FILE)\n";
      return kExitUsage;
    }
    if (!(ingest = StartIngest(o.global->nodeFile, o.sources, &err))) {
      std::cerr << "tolvane: error: " << err << "\n";
      return kExitUsage;
    }
  }
#endif
  return web::RunServer(o.server, *host) == 0 ? kExitOk : kExitFailed;
}

}  // namespace

}  // namespace tolvane::cli
