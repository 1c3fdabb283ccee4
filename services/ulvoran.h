// The text-catalogue library as Tolvane calls it: dictionary overlays for
// the built-in text tables, and numbered message catalogues. Every call
// returns nonzero on success, zero on failure. With no catalogue backend
// installed every call fails: overlays change nothing, catalogues do not
// open.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tolvane/export.h"

#pragma pack(push, 1)

// One text of a dictionary table. The catalogue library receives the
// entries and replaces their `text` pointers, so the layout is exact.
struct DictEntry {
  int16_t kind;      // travels with the entry; its meaning is the catalogue's
  const char* text;  // NUL-terminated, never empty (an empty text ends a table)
  int16_t id;        // lookup number, unique within a table
};

// Header of a dictionary table; its entries follow it directly in memory,
// ended by {0, "", -1}.
struct DictTable {
  int16_t state;     // -1 not loaded yet, -2 loading done (whatever its outcome)
  const char* key;   // "<file word> <section word>"; null: never loaded
  int16_t reserved;  // 0

  DictEntry* Entries() {
    return reinterpret_cast<DictEntry*>(reinterpret_cast<unsigned char*>(this) + sizeof(DictTable));
  }
};

#pragma pack(pop)

static_assert(offsetof(DictEntry, kind) == 0);
static_assert(offsetof(DictEntry, text) == 2);
static_assert(offsetof(DictEntry, id) == 2 + sizeof(void*));
static_assert(offsetof(DictTable, state) == 0);
static_assert(offsetof(DictTable, key) == 2);
static_assert(offsetof(DictTable, reserved) == 2 + sizeof(void*));
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DictEntry) == 8);
static_assert(sizeof(DictTable) == 8);
#else
static_assert(sizeof(DictEntry) == 12);
static_assert(sizeof(DictTable) == 12);
#endif

namespace tolvane {

// A table's storage: the header and its entries back to back. Aligned so
// that the header's `state` can be read atomically.
template <std::size_t N>
struct alignas(8) DictTableStorage {
  DictTable header;
  DictEntry entries[N];
};

}  // namespace tolvane

// Replaces the texts of `entries` (up to their terminator) with those the
// dictionary file at `path` supplies; the others stay. Installed texts stay
// valid for the life of the process.
int ulv_overlay_dct(DictEntry* entries, const char* path);
// Opens the catalogue at `path`; on success stores its handle in *handle.
int ulv_txtopen(const char* path, int* handle);
// Copies the text `number` into `dest` (`capacity` bytes, terminated);
// zero when the catalogue has no such text or `dest` has no room.
int ulv_txtget(int* handle, int number, char* dest, int capacity);
// Writes the catalogue's file name into `buffer` (`size` bytes, terminated).
int ulv_getModuleName(int* handle, char* buffer, int size);
int ulv_txtclose(int* handle);

namespace tolvane {

// What a host installs to serve the text-catalogue library. Paths arrive as
// the library composes them (Windows separators; see NativePath).
class TextCatalogueBackend {
 public:
  virtual ~TextCatalogueBackend() = default;
  // REQUIRES: every text installed stays valid for the life of the process.
  virtual int OverlayDictionary(DictEntry* entries, const char* path) = 0;
  virtual int Open(const char* path, int* handle) = 0;
  // `capacity` >= 1; the shim terminates the destination.
  virtual int Get(int handle, int number, char* dest, int capacity) = 0;
  virtual int ModuleName(int handle, char* buffer, int size) = 0;
  virtual int Close(int handle) = 0;
};

// REQUIRES: the backend outlives every call made while it is installed.
// Pass null to uninstall.
TOLVANE_API void InstallTextCatalogueBackend(TextCatalogueBackend* backend);
TOLVANE_API TextCatalogueBackend* InstalledTextCatalogueBackend();

}  // namespace tolvane

static_assert(offsetof(tolvane::DictTableStorage<1>, entries) == sizeof(DictTable));
