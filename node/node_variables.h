// The node's variables (the node-variable library's backend), kept in the
// node's own settings, never taken from the process environment.
//
// The settings file "node.ini" (docs/settings.md) holds them in its
// [variables] section. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "node/fault_injection.h"
#include "services/mardex.h"

namespace tolvane::node {

// A parsed INI-like settings file: upper-cased section -> upper-cased name
// -> value. Same rules as the library's settings files: ';' and '#' start
// comments, blanks around names and values go, one pair of enclosing double
// quotes is removed, the first of repeated names counts.
using SettingsFile = std::map<std::string, std::map<std::string, std::string>>;
// Empty when the file cannot be read.
std::optional<SettingsFile> ReadSettingsFile(const std::string& path);

// Path of the node's settings file: "node.ini" in the settings directory.
std::string NodeSettingsPath();

class NodeVariables : public NodeVariablesBackend {
 public:
  // Names compare without case.
  void Set(const std::string& name, const std::string& value);
  void Unset(const std::string& name);
  void Clear();
  std::optional<std::string> Get(const std::string& name) const;

  // Adds the [variables] of a settings file (over what is set); false when
  // the file cannot be read.
  bool LoadFile(const std::string& path);
  bool LoadSettings() { return LoadFile(NodeSettingsPath()); }

  FaultInjector& faults() { return faults_; }

  // --- NodeVariablesBackend ("mardex_getvar" can be made to fail) ---
  bool GetVariable(const char* name, std::string* value) override;

 private:
  mutable std::mutex m_;
  std::map<std::string, std::string> values_;
  FaultInjector faults_;
};

}  // namespace tolvane::node
