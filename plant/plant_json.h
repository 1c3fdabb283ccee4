// The plant exchange format: a JSON document holding a Plant (format in
// docs/plant-file.md), read on import and written on export. Reading
// reports where a document goes wrong and refuses what it would otherwise
// change; members it does not know travel in the records' `extra`. Writing
// replaces the file atomically, so a crash leaves the old file or the new
// one, never half of either.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plant/bounded_json.h"
#include "plant/plant.h"

namespace tolvane::plant {

struct PlantFileError {
  enum class Kind { kNone, kMissing, kUnreadable, kSyntax, kContent, kWrite };
  Kind kind = Kind::kNone;
  std::string message;  // complete sentence for a person, names the file
};

// The bounds of a plant document and of the unknown members kept from one:
// 512 MiB (a 200,000-alarm plant takes about a fifth of it), 64 levels of
// nesting (the format itself uses four), and no member named twice.
inline constexpr JsonLimits kPlantDocumentLimits{64, std::size_t{512} << 20, true};

// The longest journal text, in characters, that import takes.
inline constexpr std::size_t kMaxJournalText = 4096;

// Parses a plant document. Relative times ("-15m") count back from `now`.
// On failure fills `err` with "line L, column C: " and, for content errors,
// the JSON path of the bad member ("alarms[3].timeIn: no such date"), and
// returns false. Members the format does not know are kept, in document
// order, as the text of a JSON object in the record's `extra`; those of
// "horn" go into Plant::extra as its member "horn".
bool ParsePlant(const std::string& text, TimePoint now, Plant* out, std::string* err,
                bool* syntaxError = nullptr);

// The document of a plant. With `relativeTimes`, times are written as
// offsets from `now` ("-15m"), so the file stays current when it is read
// later; otherwise as UTC ("2026-01-31T12:00:00Z"). The `extra` members
// follow the known ones. Throws std::invalid_argument when an `extra` is
// not the text of a JSON object (ParsePlant never makes one).
std::string SerializePlant(const Plant& plant, bool relativeTimes = false,
                           TimePoint now = Clock::now());

// One step of a path into a JSON document: a member name or an index.
struct JsonPathStep {
  std::string key;
  std::size_t index = 0;
  bool isIndex = false;
};
using JsonPath = std::vector<JsonPathStep>;

// "alarms[3].timeIn"; "(document)" for the empty path.
std::string JsonPathText(const JsonPath& path);

// The byte offset in the JSON `text` of the member at `path`: the opening
// quote of an object member's name (the last one of a repeated name, which
// is the one a parser keeps), the first byte of an array element. Where the
// path leaves the document, the offset of the deepest step found.
std::size_t LocateJsonPath(std::string_view text, const JsonPath& path);

// Line and column, both from 1, of a byte offset; columns count characters
// (UTF-8 sequences), not bytes.
std::pair<int, int> LineAndColumn(std::string_view text, std::size_t offset);

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

struct AtomicWriteOptions {
  // Off: a named temporary file, as on filesystems without O_TMPFILE.
  bool unnamedTemporary = true;
};

// Writes `text` to `path` atomically. A symlink is written through to its
// target and stays a link; the replaced file keeps its mode and group (and
// owner when running as root); a new file gets 0644. The text goes to an
// unnamed temporary file (O_TMPFILE) that is flushed, linked in and renamed
// over the target; without O_TMPFILE a named temporary file beside the
// target, removed on failure. The directory is flushed too. A writer killed
// between link and rename leaves its "<path>.tmp.*" behind (no call
// replaces a file with an unnamed one); the writer holds a lock on it while
// it lives, and the next writer removes what no live writer holds.
// A read-only target (no write permission bit, or not writable by us) is
// refused. False with a message on failure; the old file stays as it was,
// except when only the last step, flushing the directory, fails (the
// message says the file was replaced).
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string* err,
                         AtomicWriteOptions options = {});

// Reads a whole input of at most `limit` bytes: a file (`path`), or an open
// descriptor such as standard input (`fd` >= 0, `path` only names it). A
// directory, an unreadable file or one larger than the limit (a device that
// never ends included: it is read no further than the limit) is refused with
// a sentence in `why`.
enum class ReadResult { kOk, kMissing, kUnreadable, kTooLarge };
ReadResult ReadInput(const std::string& path, int fd, std::size_t limit, std::string* out,
                     std::string* why);

// Whether WriteFileAtomically (or a new store) could replace or make `path`
// as things stand: a regular file (or none) that is not read-only, in a
// directory that can be written. Lets a command refuse before its work.
bool CanReplaceFile(const std::string& path, std::string* why);

// Removes the temporary files of killed writers of `path` (see above): ours
// by name, and locked by no live writer. Returns how many went.
std::size_t RemoveAbandonedTemporaries(const std::string& path);

}  // namespace tolvane::plant
