// `tolvane config check FILE --for node|serve` and `tolvane config keys
// --for node|serve`: the configuration files of tolvane-node and tolvane
// serve (docs/configuration.md).
#pragma once

#include <string>
#include <vector>

#include "ops/config_file.h"

namespace CLI {
class App;
}

namespace tolvane::cli {

// The keys of `tolvane serve`'s file: serve's own options and the program's
// global ones a server uses.
std::vector<ops::ConfigKey> ServeConfigKeys(CLI::App& root, CLI::App& serve);

// Applies `file` to `keys`; on problems writes each on stderr and returns
// false: as event lines (at=FILE:LINE:COL reason=...) for a service, else
// as "FILE:LINE:COL: reason" for a person.
bool ApplyConfigOrSay(const std::string& file, const std::vector<ops::ConfigKey>& keys,
                      bool asEvents = true);

class ConfigCommands {
 public:
  explicit ConfigCommands(CLI::App& app);
  // After parsing: false when `config` was not chosen; else *exitCode holds
  // 0, or 2 for a file with problems.
  bool Run(int* exitCode);

 private:
  CLI::App& app_;
  CLI::App* check_ = nullptr;
  CLI::App* keys_ = nullptr;
  std::string file_;
  std::string for_;
};

}  // namespace tolvane::cli
