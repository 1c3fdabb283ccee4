// `tolvane ingest` and `tolvane sources check`: a node's field connections
// on one machine (docs/sources.md), added to the program by RunCli.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace tolvane::field {
struct FieldStatus;
}

namespace tolvane::cli {

// After parsing: runs the chosen field command and sets *exitCode; false
// when none was chosen.
using FieldCommandRunner = std::function<bool(int* exitCode)>;

// Adds `ingest` and `sources check` to `app`. `nodeFile` is the program's
// global --node option, read when a command runs.
FieldCommandRunner AddFieldCommands(CLI::App& app, const std::string* nodeFile);

// What `status` adds for a store that field sources feed: the figures the
// running ingest (or daemon) last wrote beside the store; empty when none.
std::string FieldStatusText(const std::string& storePath);

// `serve --sources`: this program's own `ingest` of `sources` into a store,
// run beside the server as a child process, which the server follows as it
// follows any other writer of the store. Stopped (SIGTERM, then waited for)
// when the handle goes.
class IngestProcess {
 public:
  ~IngestProcess();
  IngestProcess(const IngestProcess&) = delete;
  IngestProcess& operator=(const IngestProcess&) = delete;

  // The field status the ingest last wrote beside the store (once a second):
  // true while it runs and wrote one lately. Otherwise false with why (not
  // written yet, too old, the ingest ended). Safe from any thread.
  bool Status(field::FieldStatus* status, std::string* why);
  // True when the ingest has ended, with how.
  bool Ended(std::string* why);

  struct State;  // defined in field_commands.cpp

 private:
  friend std::unique_ptr<IngestProcess> StartIngest(const std::string&, const std::string&,
                                                    std::string*);
  IngestProcess() = default;
  std::unique_ptr<State> s_;
};

// Null with a message (the sources file's errors) when it cannot start.
std::unique_ptr<IngestProcess> StartIngest(const std::string& store, const std::string& sources,
                                           std::string* err);

}  // namespace tolvane::cli
