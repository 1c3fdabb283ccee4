// The node's text catalogues (the text-catalogue library's backend): plain
// text dictionary files that overlay the library's built-in text tables, and
// numbered message catalogues. Both are lines of "number=text"
// (docs/dictionary-files.md, docs/message-catalogues.md). Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "node/fault_injection.h"
#include "services/ulvoran.h"

namespace tolvane::node {

// Number -> text of a dictionary file or catalogue.
using NumberedTexts = std::map<int, std::string>;

// Reads a file of "number=text" lines (numbers decimal or 0x-hex, '#' and
// ';' start comment lines, one pair of enclosing double quotes is removed so
// that trailing blanks can be kept). Empty when the file cannot be read.
// Lines that do not parse are skipped, and so are empty texts (an empty text
// would end a dictionary table early); of a repeated number the first counts.
std::optional<NumberedTexts> ReadNumberedTexts(const std::string& path);

// A text that stays at the same address for the life of the process.
const char* InternText(const std::string& text);

class TextCatalogue : public TextCatalogueBackend {
 public:
  TextCatalogue();
  ~TextCatalogue() override;

  // Catalogues open now.
  std::size_t OpenCount() const;
  // Dictionary files overlaid so far (each attempt, found or not).
  std::size_t OverlayAttempts() const;

  // Calls "ulv_overlay_dct", "ulv_txtopen", "ulv_txtget",
  // "ulv_getModuleName", "ulv_txtclose" can be made to fail.
  FaultInjector& faults() { return faults_; }

  // --- TextCatalogueBackend ---
  int OverlayDictionary(DictEntry* entries, const char* path) override;
  int Open(const char* path, int* handle) override;
  int Get(int handle, int number, char* dest, int capacity) override;
  int ModuleName(int handle, char* buffer, int size) override;
  int Close(int handle) override;

 private:
  struct Catalogue {
    std::string moduleName;
    NumberedTexts texts;
  };
  mutable std::mutex m_;
  std::map<int, Catalogue> open_;
  int nextHandle_ = 1;
  std::size_t overlays_ = 0;
  FaultInjector faults_;
};

}  // namespace tolvane::node
