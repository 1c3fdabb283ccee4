#include "tools/field_commands.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "field/field_host.h"
#include "field/sources.h"
#include "plant/bounded_json.h"
#include "plant/plant_store.h"
#include "tools/cli.h"

extern char** environ;

namespace tolvane::cli {
namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_reload = 0;
void OnStop(int) {
  g_stop = 1;
}
void OnHangup(int) {
  g_reload = 1;
}

struct Options {
  const std::string* nodeFile = nullptr;
  CLI::App* ingest = nullptr;
  CLI::App* check = nullptr;
  std::string sources;
  std::string forText;
  std::string checkFile;
};

int Check(const Options& o) {
  field::SourcesFile file;
  std::vector<field::SourceError> errors;
  bool ok = field::LoadSources(o.checkFile, &file, &errors);
  // With a store, every point's node must be one of its nodes.
  if (ok && o.nodeFile && !o.nodeFile->empty()) {
    plant::StoreError err;
    auto store = plant::PlantStore::Open(*o.nodeFile, &err);
    plant::Plant plant;
    if (!store || !store->Read(&plant, &err)) {
      std::cerr << "tolvane: error: " << err.message << "\n";
      return err.kind == plant::StoreError::Kind::kMissing ? kExitNodeFileMissing
                                                           : kExitNodeFileInvalid;
    }
    for (const std::string& e : field::NodeErrors(o.checkFile, file, plant)) {
      std::cerr << e << "\n";
      ok = false;
    }
  }
  for (const field::SourceError& e : errors)
    std::cerr << field::FormatError(o.checkFile, e) << "\n";
  if (!ok) {
    std::size_t n = errors.size();
    if (n) std::cerr << n << (n == 1 ? " error\n" : " errors\n");
    return kExitUsage;
  }
  std::size_t points = 0;
  for (const auto& s : file.mqtt) points += s.points.size();
  for (const auto& s : file.modbus) points += s.points.size();
  std::cout << o.checkFile << ": valid: " << file.mqtt.size() << " MQTT and " << file.modbus.size()
            << " Modbus sources, " << points << " points\n";
  return kExitOk;
}

// One machine's field ingest: the store is loaded into a node, the sources
// feed it, and what changes is committed as it happens.
class Ingest {
 public:
  explicit Ingest(const Options& o) : o_(o) {}

  int Run() {
    if (!o_.nodeFile || o_.nodeFile->empty()) {
      std::cerr << "tolvane: error: ingest works on a plant store: tolvane --node plant.db ingest "
                   "--sources FILE\n";
      return kExitUsage;
    }
    std::optional<node::FieldDuration> limit;
    if (!o_.forText.empty()) {
      limit = field::ParseFieldDuration(o_.forText);
      if (!limit || limit->count() == 0) {
        std::cerr << "tolvane: error: --for takes a duration such as 30s, 10m or 2h\n";
        return kExitUsage;
      }
    }
    plant::StoreError err;
    store_ = plant::PlantStore::Open(*o_.nodeFile, &err);
    if (!store_) {
      std::cerr << "tolvane: error: " << err.message << "\n";
      return err.kind == plant::StoreError::Kind::kMissing ? kExitNodeFileMissing
                                                           : kExitNodeFileInvalid;
    }
    store_->SetUser("ingest");
    std::vector<std::string> errors;
    if (!field::PrepareStore(*store_, o_.sources, "", &file_, &plant_, &errors)) {
      for (const std::string& e : errors) std::cerr << e << "\n";
      return kExitUsage;
    }
    std::string why;
    if (!Load(&why)) {
      std::cerr << "tolvane: error: " << why << "\n";
      return kExitNodeFileInvalid;
    }
    std::signal(SIGINT, OnStop);
    std::signal(SIGTERM, OnStop);
    std::signal(SIGHUP, OnHangup);
    std::cout << "ingesting " << host_->Points() << " points into " << *o_.nodeFile << std::endl;
    auto start = std::chrono::steady_clock::now();
    auto lastCommit = start, lastCheck = start, lastStatus = start;
    bool dirty = false;
    int rc = kExitOk;
    while (!g_stop) {
      auto now = std::chrono::steady_clock::now();
      if (limit && now - start >= *limit) break;
      dirty |= host_->Pump(std::chrono::milliseconds(20));
      now = std::chrono::steady_clock::now();
      if (dirty && now - lastCommit >= std::chrono::milliseconds(20)) {
        if (!Commit(&why)) {
          rc = kExitSaveFailed;
          break;
        }
        dirty = false;
        lastCommit = now;
      }
      // Another command (an acknowledge) changed the store: load it again,
      // so that this node does not write over it.
      bool reload = g_reload != 0;
      if (!reload && now - lastCheck >= std::chrono::milliseconds(250)) {
        lastCheck = now;
        reload = store_->ChangedElsewhere();
      }
      if (reload) {
        if (!Commit(&why) || !Reload(g_reload != 0, &why)) {
          rc = kExitSaveFailed;
          break;
        }
        g_reload = 0;
        dirty = false;
      }
      if (now - lastStatus >= std::chrono::seconds(1)) {
        lastStatus = now;
        WriteStatus();
      }
    }
    if (rc == kExitOk && !Commit(&why)) rc = kExitSaveFailed;
    if (rc != kExitOk) std::cerr << "tolvane: error: " << why << "\n";
    if (host_) host_->Stop();
    WriteStatus();
    if (host_) std::cout << field::FormatStatus(host_->Status());
    Unload();
    std::signal(SIGHUP, SIG_DFL);
    return rc;
  }

 private:
  bool LoadNode(std::string* why) {
    plant::StoreError err;
    node_ = std::make_unique<node::EmbeddedNode>();
    node_->LoadSettings();
    if (!store_->Begin(false, &err) || !store_->Load(*node_, plant::Clock::now(), &err) ||
        !store_->Commit(&err)) {
      *why = err.message;
      return false;
    }
    return true;
  }

  bool Load(std::string* why) {
    if (!LoadNode(why)) return false;
    host_ = std::make_unique<field::FieldHost>(*node_);
    return host_->Configure(file_, plant_, "", why) && host_->Start(why);
  }

  void Unload() {
    host_.reset();
    if (store_) store_->Detach();
    node_.reset();
  }

  // With `rereadSources` (SIGHUP), a changed sources file applies; one that
  // does not read leaves the running one in place. Otherwise the drivers run
  // on and only the node is loaded afresh.
  bool Reload(bool rereadSources, std::string* why) {
    if (rereadSources) {
      field::SourcesFile file;
      plant::Plant plant;
      std::vector<std::string> errors;
      Unload();
      if (field::PrepareStore(*store_, o_.sources, "", &file, &plant, &errors)) {
        file_ = std::move(file);
        plant_ = std::move(plant);
        std::cout << "sources file read again: " << o_.sources << std::endl;
      } else {
        for (const std::string& e : errors) std::cerr << e << "\n";
        std::cerr << "tolvane: the sources file has errors; the running one stays\n";
      }
      return Load(why);
    }
    store_->Detach();
    node_.reset();  // one node at a time in a process
    if (!LoadNode(why)) return false;
    host_->Rebind(*node_);
    return true;
  }

  bool Commit(std::string* why) {
    plant::StoreError err;
    if (store_->Begin(true, &err) && store_->Commit(&err)) return true;
    if (store_->InTransaction()) store_->Rollback();
    *why = err.message;
    return false;
  }

  void WriteStatus() {
    if (host_) field::WriteStatusFile(*o_.nodeFile, host_->Status());
  }

  const Options& o_;
  std::unique_ptr<plant::PlantStore> store_;
  field::SourcesFile file_;
  plant::Plant plant_;
  std::unique_ptr<node::EmbeddedNode> node_;
  std::unique_ptr<field::FieldHost> host_;  // after the node: it goes first
};

// The status file an ingest (or daemon) writes beside its store, read back.
bool ReadStatusFile(const std::string& path, field::FieldStatus* out) {
  std::ifstream in(path);
  if (!in) return false;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  nlohmann::json j;
  plant::JsonInputError jsonErr;
  if (!plant::ParseJsonBounded(text, &j, &jsonErr) || !j.is_object()) return false;
  field::FieldStatus s;
  auto num = [](const nlohmann::json& o, const char* k) -> uint64_t {
    auto it = o.find(k);
    return it != o.end() && it->is_number_unsigned() ? it->get<uint64_t>() : 0;
  };
  s.points = num(j, "points");
  s.good = num(j, "good");
  s.bad = num(j, "bad");
  s.comm = num(j, "comm");
  s.inAlarm = num(j, "in_alarm");
  s.evaluator.values = num(j, "values");
  s.evaluator.badReadings = num(j, "bad_readings");
  s.evaluator.commLosses = num(j, "comm_losses");
  s.evaluator.raised = num(j, "raised");
  s.evaluator.returned = num(j, "returned");
  s.evaluator.cleared = num(j, "cleared");
  if (auto it = j.find("sources"); it != j.end() && it->is_array()) {
    for (const auto& d : *it) {
      if (!d.is_object()) continue;
      field::DriverStatus ds;
      ds.kind = d.value("kind", "");
      ds.name = d.value("name", "");
      ds.peer = d.value("peer", "");
      ds.connected = d.value("connected", false);
      ds.lastError = d.value("last_error", "");
      ds.readings = num(d, "readings");
      ds.bad = num(d, "bad");
      ds.requests = num(d, "requests");
      ds.exceptions = num(d, "exceptions");
      ds.timeouts = num(d, "timeouts");
      ds.connects = num(d, "connects");
      ds.losses = num(d, "losses");
      s.drivers.push_back(ds);
    }
  }
  *out = std::move(s);
  return true;
}

}  // namespace

std::string FieldStatusText(const std::string& storePath) {
  if (storePath.empty()) return {};
  std::string path = field::StatusFileFor(storePath);
  field::FieldStatus s;
  if (!ReadStatusFile(path, &s)) return {};
  std::error_code ec;
  auto written = std::filesystem::last_write_time(path, ec);
  std::string age;
  if (!ec) {
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                    std::filesystem::file_time_type::clock::now() - written)
                    .count();
    age = " (written " + std::to_string(std::max<long long>(0, secs)) + " s ago)";
  }
  return "Field sources" + age + ":\n" + field::FormatStatus(s);
}

struct IngestProcess::State {
  std::mutex m;
  pid_t pid = -1;
  bool ended = false;  // reaped: the pid is no longer ours
  std::string endText;
  std::string statusPath;
  std::filesystem::file_time_type started;
};

std::unique_ptr<IngestProcess> StartIngest(const std::string& store, const std::string& sources,
                                           std::string* err) {
  // Checked here, so that a bad file stops `serve` with its errors.
  field::SourcesFile file;
  std::vector<field::SourceError> errors;
  if (!field::LoadSources(sources, &file, &errors)) {
    for (const auto& e : errors) *err += field::FormatError(sources, e) + "\n";
    if (!err->empty()) err->pop_back();
    return nullptr;
  }
  std::unique_ptr<IngestProcess> p(new IngestProcess);
  p->s_ = std::make_unique<IngestProcess::State>();
  p->s_->statusPath = field::StatusFileFor(store);
  p->s_->started = std::filesystem::file_time_type::clock::now();
  std::string self = "/proc/self/exe";
  std::vector<std::string> args = {"tolvane", "--node", store, "ingest", "--sources", sources};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  if (posix_spawn(&p->s_->pid, self.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
    *err = "cannot start the ingest of " + sources;
    return nullptr;
  }
  return p;
}

IngestProcess::~IngestProcess() {
  std::lock_guard lock(s_->m);
  if (s_->ended || s_->pid <= 0) return;  // never kill(-1)
  pid_t child = s_->pid;
  ::kill(child, SIGTERM);
  int status = 0;
  for (int i = 0; i < 500 && ::waitpid(child, &status, WNOHANG) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::waitpid(child, &status, WNOHANG) == 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
  }
}

// Reaps the child once it has ended; under the state's lock.
static bool Reaped(IngestProcess::State& s) {
  int rc = 0;
  if (!s.ended && s.pid > 0 && ::waitpid(s.pid, &rc, WNOHANG) == s.pid) {
    s.ended = true;
    s.endText = WIFEXITED(rc) ? "exited with status " + std::to_string(WEXITSTATUS(rc))
                              : "was ended by signal " + std::to_string(WTERMSIG(rc));
  }
  return s.ended;
}

bool IngestProcess::Ended(std::string* why) {
  std::lock_guard lock(s_->m);
  if (!Reaped(*s_)) return false;
  *why = "the ingest " + s_->endText;
  return true;
}

bool IngestProcess::Status(field::FieldStatus* status, std::string* why) {
  using namespace std::chrono;
  std::lock_guard lock(s_->m);
  if (Reaped(*s_)) {
    *why = "the ingest " + s_->endText;
    return false;
  }
  // A file older than this ingest is another run's; one not written for a
  // while is of an ingest that hangs. It is written once a second.
  std::error_code ec;
  auto written = std::filesystem::last_write_time(s_->statusPath, ec);
  if (ec || written < s_->started - milliseconds(20)) {
    *why = "the ingest has written no status yet";
    return false;
  }
  auto age = duration_cast<seconds>(std::filesystem::file_time_type::clock::now() - written);
  if (age > seconds(5)) {
    *why = "the ingest wrote no status for " + std::to_string(age.count()) + " s";
    return false;
  }
  if (!ReadStatusFile(s_->statusPath, status)) {
    *why = "the ingest's status file does not read: " + s_->statusPath;
    return false;
  }
  return true;
}

FieldCommandRunner AddFieldCommands(CLI::App& app, const std::string* nodeFile) {
  auto o = std::make_shared<Options>();
  o->nodeFile = nodeFile;
  o->ingest = app.add_subcommand(
      "ingest", "feed the --node store's alarms from field sources (MQTT, Modbus TCP)");
  o->ingest->add_option("--sources", o->sources, "the sources file (docs/sources.md)")->required();
  o->ingest->add_option("--for", o->forText, "stop after this long (30s, 10m, 2h)");
  CLI::App* sources = app.add_subcommand("sources", "field sources files");
  sources->require_subcommand(1);
  o->check = sources->add_subcommand("check", "check a sources file without connecting");
  o->check->add_option("FILE", o->checkFile, "the sources file")->required();
  return [o](int* exitCode) {
    if (o->check->parsed()) {
      *exitCode = Check(*o);
      return true;
    }
    if (o->ingest->parsed()) {
      *exitCode = Ingest(*o).Run();
      return true;
    }
    return false;
  };
}

}  // namespace tolvane::cli
