// `tolvane ingest` and `tolvane sources check`: a node's field connections
// on one machine (docs/sources.md), added to the program by RunCli.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace CLI {
class App;
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

// `serve --sources`: this program's own `ingest` of `sources` into `store`,
// run beside the server as a child process, which the server follows as it
// follows any other writer of the store. Stopped (SIGTERM, then waited for)
// when the handle goes; null with a message when it cannot start.
std::shared_ptr<void> StartIngest(const std::string& store, const std::string& sources,
                                  std::string* err);

}  // namespace tolvane::cli
