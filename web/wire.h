// What crosses the wire besides rows: view places as URL-safe tokens, and
// request bodies parsed within bounds. Both treat their input as hostile.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace tolvane::web {

// Longest place token taken back from a client (a place is a few hundred
// bytes; this leaves room and stops a megabyte of base64 early).
inline constexpr std::size_t kMaxPlaceToken = 4096;

// A place of AlarmView as base64url without padding.
std::string EncodePlace(const std::string& place);
// The place a token holds; false when it is empty, too long or not
// base64url. What it holds is still the library's to judge.
bool DecodePlace(std::string_view token, std::string* place);

// Deepest nesting a request body may have: ours are an object holding
// lists of texts.
inline constexpr int kMaxJsonDepth = 8;

// Parses a request body with the plant's shared bounded parser
// (plant/bounded_json.h): at most `maxBytes`, nested at most `maxDepth`,
// no member name twice, an object at the top. False with a reason
// otherwise; never throws.
bool ParseJsonBody(std::string_view text, std::size_t maxBytes, int maxDepth,
                   nlohmann::json* out, std::string* err);

// The rule a text from a person must meet to be kept with the plant: the
// exchange format's (no NUL, at most `maxChars` characters) and, stricter,
// valid UTF-8 without control characters, so that what the web accepts
// `export` writes and `import` reads back. False with the reason.
bool CheckPlantText(std::string_view text, std::size_t maxChars, std::string* err);

// Longest shelve reason, in characters (as the exchange format keeps it).
inline constexpr std::size_t kMaxShelveReasonChars = 132;

}  // namespace tolvane::web
