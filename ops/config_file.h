// Configuration files for the long-running programs (tolvane-node, tolvane
// serve): a TOML file whose keys are the program's command-line options
// without the dashes. The keys come from the CLI11 options themselves, so a
// new option is a new key with no more code. Options given on the command
// line win over the file; the file wins over the defaults.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace tolvane::ops {

struct ConfigKey {
  enum class Kind { kFlag, kText, kInteger, kNumber };
  std::string name;  // the long option name without "--"
  Kind kind = Kind::kText;
  bool list = false;    // takes several values: a TOML array
  bool secret = false;  // names a file holding a secret, never the secret
  std::string help;
  CLI::Option* option = nullptr;
};

// The keys of `apps`' options (their long names), except help, version,
// config and those named in `except`.
std::vector<ConfigKey> KeysOf(const std::vector<CLI::App*>& apps,
                              const std::set<std::string>& except = {});

// Whether an option takes a secret (a password, credentials, a private
// key): its key takes a file path only.
bool IsSecretName(const std::string& name);

// "kind of value" as the documentation names it: "integer", "string"...
std::string KindName(const ConfigKey& key);

struct ConfigProblem {
  std::string file;
  int line = 0;  // 0: the file as a whole
  int column = 0;
  std::string reason;
  // FILE:LINE:COL (FILE alone for the file as a whole)
  std::string Where() const;
  // FILE:LINE:COL: reason
  std::string Text() const;
};

// Reads the TOML file at `path` and sets each option of `keys` that the
// command line left unset, through the option itself (its checks run as for
// the command line). False with every problem found: a file that does not
// read, an unknown key, a value of the wrong type, a secret written inline,
// a value the option's checks refuse, options that exclude each other.
bool ApplyConfigFile(const std::string& path, const std::vector<ConfigKey>& keys,
                     std::vector<ConfigProblem>* problems);

}  // namespace tolvane::ops
