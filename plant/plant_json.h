// The plant file: a JSON document holding a Plant (format in
// docs/plant-file.md). Reading reports where a file goes wrong; saving
// replaces the file atomically, so a crash leaves the old file or the new
// one, never half of either.
#pragma once

#include <string>

#include "plant/plant.h"

namespace tolvane::plant {

struct PlantFileError {
  enum class Kind { kNone, kMissing, kUnreadable, kSyntax, kContent, kWrite };
  Kind kind = Kind::kNone;
  std::string message;  // complete sentence for a person, names the file
};

// Parses a plant document. Relative times ("-15m") count back from `now`.
// On failure fills `err` (kSyntax with line and column, or kContent with
// the JSON path of the bad member) and returns false.
bool ParsePlant(const std::string& text, TimePoint now, Plant* out, std::string* err,
                bool* syntaxError = nullptr);

// The document of a plant. With `relativeTimes`, times are written as
// offsets from `now` ("-15m"), so the file stays current when it is read
// later; otherwise as UTC ("2026-01-31T12:00:00Z").
std::string SerializePlant(const Plant& plant, bool relativeTimes = false,
                           TimePoint now = Clock::now());


// A plant file opened for one command. A file opened for update is locked
// against other updaters until this object goes; readers are never blocked.
class PlantFile {
 public:
  PlantFile() = default;
  ~PlantFile();
  PlantFile(const PlantFile&) = delete;
  PlantFile& operator=(const PlantFile&) = delete;

  // Reads and parses `path`. With `forUpdate`, takes the update lock first.
  bool Open(const std::string& path, bool forUpdate, TimePoint now, Plant* plant,
            PlantFileError* err);
  // Writes the plant to a temporary file beside the original, flushes it to
  // disk and renames it over the original.
  bool Save(const Plant& plant, PlantFileError* err);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int lockFd_ = -1;
};

// Writes `text` to `path` atomically (temporary file, fsync, rename, fsync
// of the directory). False with a message on failure; the old file stays.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* err);

}  // namespace tolvane::plant
