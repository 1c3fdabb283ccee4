#include "tools/config_commands.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "tools/cli.h"
#include "ops/event_log.h"
#ifdef TOLVANE_WITH_NATS
#include "tools/node_options.h"
#endif

namespace tolvane::cli {

std::vector<ops::ConfigKey> ServeConfigKeys(CLI::App& root, CLI::App& serve) {
  // --color shapes terminal tables and --user names who acts on the command
  // line; a server's users sign in.
  return ops::KeysOf({&root, &serve}, {"color", "user"});
}

bool ApplyConfigOrSay(const std::string& file, const std::vector<ops::ConfigKey>& keys,
                      bool asEvents) {
  std::vector<ops::ConfigProblem> problems;
  if (ops::ApplyConfigFile(file, keys, &problems)) return true;
  for (const ops::ConfigProblem& p : problems) {
    if (!asEvents) {
      std::cerr << p.Text() << "\n";
      continue;
    }
    ops::Events().Log(ops::Level::kError, "config_invalid", {{"at", p.Where()}, {"reason", p.reason}},
                      p.Text());
  }
  return false;
}

ConfigCommands::ConfigCommands(CLI::App& app) : app_(app) {
  CLI::App* config = app.add_subcommand("config", "check the files of tolvane-node and tolvane serve");
  config->require_subcommand(1);
  check_ = config->add_subcommand("check", "check a configuration file: exit 0, or 2 with its problems");
  check_->add_option("FILE", file_, "the TOML file")->required();
  keys_ = config->add_subcommand("keys", "list the keys a configuration file may hold");
  for (CLI::App* c : {check_, keys_}) {
    c->add_option("--for", for_, "node (tolvane-node) or serve (tolvane serve)")
        ->required()
        ->check(CLI::IsMember({"node", "serve"}));
  }
}

bool ConfigCommands::Run(int* exitCode) {
  if (!check_->parsed() && !keys_->parsed()) return false;
  // The options are made afresh for a node's file, so checking it changes
  // nothing of this program's own.
  CLI::App nodeApp;
#ifdef TOLVANE_WITH_NATS
  NodeDaemonOptions nodeOptions;
  AddNodeDaemonOptions(nodeApp, nodeOptions);
#endif
  std::vector<ops::ConfigKey> keys;
  if (for_ == "node") {
#ifndef TOLVANE_WITH_NATS
    std::cerr << "tolvane: error: this tolvane was built without the plant-wide deployment\n";
    *exitCode = kExitUsage;
    return true;
#endif
    keys = ops::KeysOf({&nodeApp});
  } else {
    CLI::App* serve = nullptr;
    try {
      serve = app_.get_subcommand("serve");
    } catch (const CLI::Error&) {
    }
    if (!serve) {
      std::cerr << "tolvane: error: this tolvane was built without the web display\n";
      *exitCode = kExitUsage;
      return true;
    }
    keys = ServeConfigKeys(app_, *serve);
  }
  if (keys_->parsed()) {
    for (const ops::ConfigKey& k : keys) {
      std::cout << k.name << "\t" << ops::KindName(k) << "\t" << k.help << "\n";
    }
    *exitCode = kExitOk;
    return true;
  }
  if (!ApplyConfigOrSay(file_, keys, false)) {
    *exitCode = kExitUsage;
    return true;
  }
  std::cout << file_ << ": ok\n";
  *exitCode = kExitOk;
  return true;
}

}  // namespace tolvane::cli
