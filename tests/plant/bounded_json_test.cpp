// The bounded JSON reader that every reader of outside JSON shares: depth,
// size and repeated names refused with their place, and nothing hostile
// reaches code that recurses.
#include "plant/bounded_json.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane::plant {
namespace {

using Kind = JsonInputError::Kind;

std::string Nest(std::size_t depth, const std::string& inner = "1") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

TEST(BoundedJsonTest, RefusesPastEachBoundWithItsPlace) {
  struct Case {
    std::string text;
    JsonLimits limits;
    Kind kind;
    std::string message;  // from the start
  };
  const JsonLimits small{4, 64, true};
  const Case cases[] = {
      {Nest(5), small, Kind::kTooDeep, "line 1, column 5: nested deeper than 4 levels"},
      {"{\"a\": {\"b\": [\n  {\"c\": [1]}]}}", small, Kind::kTooDeep,
       "line 2, column 9: nested deeper than 4 levels"},
      // Brackets inside strings are no nesting.
      {R"(["[[[[[[", {"k]]]": "{{{{"}, [[1]]])", small, Kind::kNone, ""},
      {"[" + std::string(70, ' ') + "]", small, Kind::kTooLarge,
       "line 1, column 65: the document is larger than 64 bytes"},
      {"{\"a\": 1,\n \"b\": {\"a\": 2, \"a\": 3}}", small, Kind::kDuplicateName,
       "line 2, column 16: member \"a\" given twice in one object"},
      {R"({"x\"y": 1, "x\"y": 2})", small, Kind::kDuplicateName,
       "line 1, column 13: member \"x\"y\" given twice in one object"},
      {R"({"a": 1, "a": 2})", {4, 64, false}, Kind::kNone, ""},
      {"[1,\n 2,]", small, Kind::kSyntax, "line 2, column 4: syntax error"},
      {"", small, Kind::kSyntax, "line 1, column 1: syntax error"},
      {Nest(4), small, Kind::kNone, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    nlohmann::json doc = "left over";
    JsonInputError err;
    bool ok = ParseJsonBounded(c.text, &doc, &err, c.limits);
    EXPECT_EQ(ok, c.kind == Kind::kNone) << err.message;
    EXPECT_EQ(err.kind, c.kind);
    if (!ok) {
      EXPECT_TRUE(doc.is_null()) << "a refused document leaves nothing half-built";
      EXPECT_EQ(err.message.rfind(c.message, 0), 0u) << err.message;
    }
  }
}

TEST(BoundedJsonTest, HostileDepthsAreRefusedWithoutRecursion) {
  // Far past any stack: an unbounded copy, dump or comparison would crash.
  for (std::size_t depth : {50'000u, 1'000'000u}) {
    std::string text = "{\"kept\": " + Nest(depth) + "}";
    nlohmann::ordered_json doc;
    JsonInputError err;
    EXPECT_FALSE(ParseJsonBounded(text, &doc, &err));
    EXPECT_EQ(err.kind, Kind::kTooDeep);
    EXPECT_EQ(err.column, 10 + 63) << err.message;  // the object is the first level
  }
  // Wide is fine within the size.
  std::string wide = "[";
  for (int i = 0; i < 100'000; ++i) wide += "[1],";
  wide += "0]";
  nlohmann::json doc;
  JsonInputError err;
  ASSERT_TRUE(ParseJsonBounded(wide, &doc, &err)) << err.message;
  EXPECT_EQ(doc.size(), 100'001u);
}

}  // namespace
}  // namespace tolvane::plant
