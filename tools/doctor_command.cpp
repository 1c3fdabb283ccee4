#include "tools/doctor_command.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "plant/plant_store.h"
#include "tools/cli.h"
#include "present/output.h"

namespace tolvane::cli {
using present::EscapeForTerminal;

DoctorCommand::DoctorCommand(CLI::App& app, const std::string* nodeFile) : nodeFile_(nodeFile) {
  command_ = app.add_subcommand(
      "doctor", "check the --node store: files beside it, integrity, schema, every row, space");
  command_->add_flag("--recover", recover_,
                     "set aside a log or journal beside the store that does not fit it");
}

bool DoctorCommand::Run(std::ostream& out, int* exitCode) {
  if (!command_->parsed()) return false;
  if (nodeFile_->empty()) {
    std::cerr << "tolvane: error: doctor checks a plant store: give --node STORE\n";
    *exitCode = kExitUsage;
    return true;
  }
  if (struct stat st{}; ::stat(nodeFile_->c_str(), &st) != 0) {
    std::cerr << "tolvane: error: " << EscapeForTerminal(*nodeFile_)
              << " cannot be opened: " << std::strerror(errno) << "\n";
    *exitCode = kExitNodeFileMissing;
    return true;
  }
  plant::ExamineOptions options;
  options.recover = recover_;
  plant::StoreHealth h = plant::ExamineStore(*nodeFile_, options);
  out << EscapeForTerminal(*nodeFile_) << "\n";
  std::size_t problems = 0;
  for (const plant::HealthFinding& f : h.findings) {
    using Level = plant::HealthFinding::Level;
    const char* mark = f.level == Level::kOk     ? "ok     "
                       : f.level == Level::kNote ? "note   "
                                                 : "PROBLEM";
    problems += f.level == Level::kProblem;
    // Row problems come one a line; each line is escaped on its own.
    std::string detail;
    for (std::size_t start = 0;;) {
      std::size_t nl = f.detail.find('\n', start);
      detail += EscapeForTerminal(std::string_view(f.detail).substr(start, nl - start));
      if (nl == std::string::npos) break;
      detail += '\n';
      start = nl + 1;
    }
    out << "  " << mark << "  " << f.topic << ": " << detail << "\n";
  }
  out << (problems == 0
              ? "All is well.\n"
              : std::to_string(problems) + (problems == 1 ? " problem.\n" : " problems.\n"));
  *exitCode = h.storeProblem ? kExitNodeFileInvalid : h.spaceProblem ? kExitSaveFailed : kExitOk;
  return true;
}

}  // namespace tolvane::cli
