// The message dictionary: built-in text tables, overlaid once per process
// from the node's dictionary files, looked up by id; and the numbered
// message catalogues, read with severity prefixes.
#pragma once

#include <cstddef>

#include "services/ulvoran.h"

namespace tolvane {

inline constexpr int16_t kDictNotLoaded = -1;
inline constexpr int16_t kDictLoaded = -2;

// The text a lookup gives for an id that its table lacks.
inline constexpr const char* kUnknownText = "*?*";

// Severity kinds of fls_txtget (any other value: no prefix).
inline constexpr unsigned char kSeverityNone = 0;
inline constexpr unsigned char kSeverityWarning = 1;
inline constexpr unsigned char kSeverityError = 2;
inline constexpr unsigned char kSeverityStatus = 3;
inline constexpr unsigned char kSeverityFatal = 4;

// Ids of "flsglob prefix".
inline constexpr short kPrefixWarning = 0;
inline constexpr short kPrefixFlsError = 5;

// Ids of "flsglob text".
inline constexpr short kTextError = 0;
inline constexpr short kTextUnableToOpen = 2;
inline constexpr short kTextMessageNotAvailable = 6;

}  // namespace tolvane

// The library's own tables: severity prefixes and error texts.
DictTable* flsglob_prefix_table();
DictTable* flsglob_text_table();

// Makes sure `table` has been overlaid from its dictionary file: at most once
// per table and process, safe when several threads look first at once. A
// key of fewer than two words shows an internal-error notice instead; either
// way the table then counts as loaded and is never loaded again.
void fls_load_dct(DictTable* table);

// Copies the text of `id` into `dest` (`destSize` bytes, cut and terminated)
// and returns 0; an id the table lacks gives "*?*" and 100.
short fls_get_dct_text(DictTable* table, char* dest, short id, std::size_t destSize);

// The text of `id`, valid for the life of the process, or null.
const char* fls_find_dct_text(DictTable* table, short id);

// Opens the message catalogue `name` ("VARNERROR", a file name, or a path).
// Null on success with the handle in *handleOut; otherwise the open-failure
// message (a buffer of the calling thread, valid until its next failed open)
// and *handleOut untouched.
const char* fls_txtopen(const char* name, int* handleOut);

// Copies message `number` into `dest` (`destLen` bytes, always terminated)
// after the prefix of `severityKind` ("ERROR-0007: "). Returns 0, or 100 with
// the catalogue's error text in `dest` when it has no such message.
short fls_txtget(int* handle, short number, char* dest, short destLen, unsigned char severityKind);

// Writes `number` in decimal, zero-padded to `width` digits unless negative,
// into `dest` (`destSize` bytes, cut and terminated). Returns the characters
// written.
int fls_format_number(char* dest, std::size_t destSize, int number, int width);

// Closes a catalogue; the result carries no meaning.
int fls_txtclose(int* handle);
