// The node's resource strings (the resource-string library's backend):
// numbered strings per resource module. "TolvaneRes.dll" comes with the
// English strings 1-19 built in; a translation file of "number=text" lines
// (docs/resource-strings.md) replaces the strings it names. A module the node
// does not know has no strings. Thread-safe.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

#include "node/fault_injection.h"
#include "services/resources.h"

namespace tolvane::node {

inline constexpr const char* kTolvaneResModule = "TolvaneRes.dll";

class ResourceStrings : public ResourceBackend {
 public:
  // Starts with the built-in English strings of "TolvaneRes.dll".
  ResourceStrings();

  // The built-in English text of string `id` of "TolvaneRes.dll" ("" if none).
  static std::string BuiltInText(unsigned int id);

  // Overlays `module` (names compare without case) with the strings of a
  // "number=text" file; false when the file cannot be read (nothing changes).
  bool LoadTranslation(const std::string& path, const std::string& module = kTolvaneResModule);
  void SetString(const std::string& module, unsigned int id, const std::string& text);
  // Forgets every string of `module`: its loads then fail.
  void RemoveModule(const std::string& module);
  // Back to the built-in English strings only.
  void Reset();

  // Loads made so far, successful or not.
  std::size_t LoadCount() const;

  // "LoadStringA" can be made to fail.
  FaultInjector& faults() { return faults_; }

  // --- ResourceBackend ---
  bool LoadString(const char* module, unsigned int id, std::string* text) override;

 private:
  static std::string Key(const std::string& module);

  mutable std::mutex m_;
  std::map<std::string, std::map<unsigned int, std::string>> modules_;  // upper-cased name
  std::size_t loads_ = 0;
  FaultInjector faults_;
};

}  // namespace tolvane::node
