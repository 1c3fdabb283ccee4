// `tolvane --node plant.db doctor [--recover]`: the plant store's health,
// added to the program's command line by RunCli.
#pragma once

#include <ostream>
#include <string>

namespace CLI {
class App;
}

namespace tolvane::cli {

class DoctorCommand {
 public:
  // Adds `doctor` to `app`. `nodeFile` is the program's global --node
  // option, read when `doctor` runs.
  DoctorCommand(CLI::App& app, const std::string* nodeFile);

  // After parsing: runs it if it was chosen (false otherwise) and sets
  // *exitCode: 0 only when all is well, 4 when the store cannot be trusted,
  // 7 when too little space is left to change it, 2 without a store.
  bool Run(std::ostream& out, int* exitCode);

 private:
  CLI::App* command_ = nullptr;
  const std::string* nodeFile_;
  bool recover_ = false;
};

}  // namespace tolvane::cli
