// `tolvane serve` and `tolvane user add`: the web display's subcommands,
// added to the program's command line by RunCli.
#pragma once

#include <memory>
#include <string>

namespace CLI {
class App;
}

namespace tolvane::cli {

struct GlobalOptions;

class WebCommands {
 public:
  // Adds `serve` and `user` to `app`. `global` holds the program's global
  // options (--node, or --nats and --station), read when `serve` runs.
  WebCommands(CLI::App& app, const GlobalOptions* global);
  ~WebCommands();

  // After parsing: runs the chosen one. False when neither was chosen;
  // else *exitCode holds the exit code (tools/cli.h).
  bool Run(int* exitCode);

  struct Options;  // the parsed options; defined in web_commands.cpp

 private:
  std::unique_ptr<Options> o_;
};

}  // namespace tolvane::cli
