// Parsing JSON that comes from outside (a file, a request, a message) with
// bounds: a document larger than `maxBytes`, nested deeper than `maxDepth`,
// or (when asked) holding one member name twice in an object is refused
// with the line and column where that happens, like a syntax error.
//
// The parser itself keeps its own stack, but copying, comparing and
// writing a document recurse once per level: a bounded depth is what keeps
// a hostile document from overflowing the stack of whoever handles it.
//
// Header-only (nlohmann-json), so that any part of the program can use it
// without linking the plant library:
//
//   nlohmann::json doc;
//   tolvane::plant::JsonInputError err;
//   if (!tolvane::plant::ParseJsonBounded(body, &doc, &err)) {
//     reply 400 with err.message;  // "line 1, column 300: nested deeper than 64 levels"
//   }
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace tolvane::plant {

struct JsonLimits {
  std::size_t maxDepth = 64;         // arrays and objects inside each other
  std::size_t maxBytes = 16u << 20;  // the whole text
  bool refuseDuplicateNames = true;  // {"a": 1, "a": 2}
};

struct JsonInputError {
  enum class Kind { kNone, kSyntax, kTooLarge, kTooDeep, kDuplicateName };
  Kind kind = Kind::kNone;
  std::size_t offset = 0;  // byte of the text where it goes wrong
  int line = 0, column = 0;
  std::string reason;   // without the place: "nested deeper than 64 levels"
  std::string message;  // "line L, column C: " + reason
};

namespace bounded_json_detail {

// Line and column, both from 1, of a byte offset; columns count UTF-8
// characters.
inline std::pair<int, int> Place(std::string_view text, std::size_t offset) {
  int line = 1, col = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      col = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++col;
    }
  }
  return {line, col};
}

// Walks the part of a text the parser accepted, to find the byte of the
// n-th member name (from 0) or of the first bracket opened past `depth`.
// Iterative and linear; the text up to there is known to be valid JSON.
inline std::size_t FindInValidPrefix(std::string_view t, std::size_t nthName, std::size_t depth,
                                     bool wantName) {
  std::vector<char> open;  // '{' or '['
  bool expectName = false;
  std::size_t names = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c == '"') {
      if (wantName && expectName && !open.empty() && open.back() == '{') {
        if (names++ == nthName) return i;
      }
      expectName = false;
      for (++i; i < t.size() && t[i] != '"'; ++i) {
        if (t[i] == '\\') ++i;
      }
    } else if (c == '{' || c == '[') {
      open.push_back(c);
      if (!wantName && open.size() > depth) return i;
      expectName = c == '{';
    } else if (c == '}' || c == ']') {
      if (!open.empty()) open.pop_back();
      expectName = false;
    } else if (c == ',') {
      expectName = !open.empty() && open.back() == '{';
    }
  }
  return t.size();
}

// The parser's own document builder, with the bounds on top.
template <class Json>
class Builder : public nlohmann::detail::json_sax_dom_parser<Json> {
  using Base = nlohmann::detail::json_sax_dom_parser<Json>;

 public:
  Builder(Json& root, const JsonLimits& limits) : Base(root, false), limits_(limits) {}

  bool start_object(std::size_t len) {
    if (!Enter()) return false;
    if (limits_.refuseDuplicateNames) names_.emplace_back();
    return Base::start_object(len);
  }
  bool end_object() {
    --depth_;
    if (limits_.refuseDuplicateNames) names_.pop_back();
    return Base::end_object();
  }
  bool start_array(std::size_t len) {
    if (!Enter()) return false;
    return Base::start_array(len);
  }
  bool end_array() {
    --depth_;
    return Base::end_array();
  }
  bool key(typename Json::string_t& name) {
    if (limits_.refuseDuplicateNames) {
      if (!names_.back().insert(name).second) {
        kind = JsonInputError::Kind::kDuplicateName;
        duplicate = name;
        return false;
      }
      ++keyCount;
    }
    return Base::key(name);
  }
  template <class Exception>
  bool parse_error(std::size_t byte, const std::string& token, const Exception& ex) {
    kind = JsonInputError::Kind::kSyntax;
    errorByte = byte;
    what = ex.what();
    return Base::parse_error(byte, token, ex);
  }

  JsonInputError::Kind kind = JsonInputError::Kind::kNone;
  std::size_t errorByte = 0;
  std::size_t keyCount = 0;  // names read before a duplicate
  std::string what, duplicate;

 private:
  bool Enter() {
    if (++depth_ > limits_.maxDepth) {
      kind = JsonInputError::Kind::kTooDeep;
      return false;
    }
    return true;
  }

  const JsonLimits& limits_;
  std::size_t depth_ = 0;
  std::vector<std::unordered_set<std::string>> names_;
};

}  // namespace bounded_json_detail

// Parses `text` into `out` within `limits`. On failure `out` is left empty
// (null), `err` says what and where, and false comes back. Never throws
// for anything the text holds.
template <class Json>
bool ParseJsonBounded(std::string_view text, Json* out, JsonInputError* err,
                      const JsonLimits& limits = {}) {
  namespace d = bounded_json_detail;
  auto fail = [&](JsonInputError::Kind kind, std::size_t offset, std::string reason) {
    *out = Json();
    err->kind = kind;
    err->offset = offset;
    auto [line, col] = d::Place(text, offset);
    err->line = line;
    err->column = col;
    err->reason = std::move(reason);
    err->message =
        "line " + std::to_string(line) + ", column " + std::to_string(col) + ": " + err->reason;
    return false;
  };
  if (text.size() > limits.maxBytes) {
    return fail(JsonInputError::Kind::kTooLarge, limits.maxBytes,
                "the document is larger than " + std::to_string(limits.maxBytes) + " bytes");
  }
  Json doc;
  d::Builder<Json> builder(doc, limits);
  bool ok = false;
  try {
    ok = Json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& e) {  // allocation, or a size the parser cannot hold
    return fail(JsonInputError::Kind::kSyntax, 0, e.what());
  }
  if (ok && builder.kind == JsonInputError::Kind::kNone) {
    *out = std::move(doc);
    return true;
  }
  switch (builder.kind) {
    case JsonInputError::Kind::kTooDeep:
      return fail(builder.kind, d::FindInValidPrefix(text, 0, limits.maxDepth, false),
                  "nested deeper than " + std::to_string(limits.maxDepth) + " levels");
    case JsonInputError::Kind::kDuplicateName:
      return fail(builder.kind, d::FindInValidPrefix(text, builder.keyCount, 0, true),
                  "member \"" + builder.duplicate + "\" given twice in one object");
    default: {
      // The parser's text: "[json.exception.parse_error.101] parse error at
      // line 1, column 5: syntax error while parsing value - ..."; keep
      // what follows its own place.
      std::string what = builder.what;
      for (const char* start : {"syntax error", "number overflow"}) {
        if (auto pos = what.find(start); pos != std::string::npos) {
          what = what.substr(pos);
          break;
        }
      }
      // The byte reported is one past the offending character.
      std::size_t at = builder.errorByte > 0 ? builder.errorByte - 1 : 0;
      return fail(JsonInputError::Kind::kSyntax, std::min(at, text.size()),
                  what.empty() ? "not JSON" : what);
    }
  }
}

}  // namespace tolvane::plant
