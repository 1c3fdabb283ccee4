// The plant exchange format: times, errors with their place, refusals of
// what would change silently, a faithful round trip with unknown members,
// and atomic replacement of the exported file.
#include "plant/plant_json.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>

#include "plant/demo_plant.h"
#include "program_runner.h"

namespace tolvane::plant {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;
using testing::ReadFile;
using testing::TempDir;

using ojson = nlohmann::ordered_json;

const TimePoint kNow = Clock::from_time_t(1'800'000'000);

TEST(PlantTimesTest, AbsoluteAndRelativeFormsReadBack) {
  TimePoint t;
  ASSERT_TRUE(ParseTime("2027-01-15T08:00:00Z", kNow, &t));
  EXPECT_EQ(FormatUtc(t), "2027-01-15T08:00:00Z");
  ASSERT_TRUE(ParseTime("-90m", kNow, &t));
  EXPECT_EQ(t, kNow - minutes(90));
  ASSERT_TRUE(ParseTime("-2d", kNow, &t));
  EXPECT_EQ(t, kNow - hours(48));
  ASSERT_TRUE(ParseTime("+30s", kNow, &t));
  EXPECT_EQ(t, kNow + seconds(30));
  ASSERT_TRUE(ParseTime("now", kNow, &t));
  EXPECT_EQ(t, kNow);
  // The last moments of months, leap days included, are real.
  for (const char* good : {"2024-02-29T23:59:59Z", "2026-04-30T23:59:59Z", "2026-12-31T23:59:59Z",
                           "1970-01-01T00:00:00Z"}) {
    ASSERT_TRUE(ParseTime(good, kNow, &t)) << good;
    EXPECT_EQ(FormatUtc(t), good);
  }
  const TimePoint before = t;
  for (const char* bad :
       {"", "-", "-5", "-5y", "5m", "--5m", "2027-01-15 08:00:00", "2027-13-01T00:00:00Z",
        "2027-01-15T08:00:00Zjunk", "-99999999999999999999m",
        // Dates and times that do not exist are not shifted to ones that do.
        "2026-02-30T00:00:00Z", "2026-04-31T00:00:00Z", "2025-02-29T00:00:00Z",
        "2026-01-01T24:00:00Z", "2026-01-01T00:60:00Z", "2026-12-31T23:59:60Z",
        "2026-00-10T00:00:00Z", "2026-01-00T00:00:00Z", "1969-12-31T23:59:59Z",
        // Loose spellings sscanf would take.
        " 2026-01-01T00:00:00Z", "2026-1-01T00:00:00Z", "2026-01-01T0:00:00Z",
        "+026-01-01T00:00:00Z", "2026-01-01T00:00:0Z"}) {
    EXPECT_FALSE(ParseTime(bad, kNow, &t)) << bad;
  }
  EXPECT_EQ(t, before);
}

TEST(PlantFileFormatTest, SerializeThenParseGivesTheSamePlant) {
  DemoOptions o;
  o.tags = 50;
  o.now = kNow;
  Plant p = MakeDemoPlant(o);
  // Values of every shape the file knows, on alarms (messages carry none).
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i < p.alarms.size() && at.size() < 4; ++i) {
    if (p.alarms[i].msgType != 8) at.push_back(i);
  }
  ASSERT_EQ(at.size(), 4u);
  p.alarms[at[0]].value = {};
  p.alarms[at[0]].value.kind = 7;
  p.alarms[at[0]].value.value.u32 = 4'000'000'000u;
  p.alarms[at[1]].value = {};
  p.alarms[at[1]].value.kind = 12;  // no text form: kept as raw bytes
  p.alarms[at[1]].value.value.i32 = -7;
  p.alarms[at[2]].extKind = 1;
  p.alarms[at[2]].fieldBlock[0] = 1;
  p.alarms[at[2]].fieldBlock[169] = 0xAB;
  for (bool relative : {false, true}) {
    std::string text = SerializePlant(p, relative, kNow);
    Plant back;
    std::string err;
    ASSERT_TRUE(ParsePlant(text, kNow, &back, &err)) << err;
    EXPECT_EQ(SerializePlant(back, relative, kNow), text);
    ASSERT_EQ(back.alarms.size(), p.alarms.size());
    EXPECT_EQ(back.alarms[at[0]].value.value.u32, 4'000'000'000u);
    EXPECT_EQ(back.alarms[at[1]].value.kind, 12);
    EXPECT_EQ(back.alarms[at[1]].value.value.i32, -7);
    EXPECT_EQ(back.alarms[at[2]].fieldBlock[169], 0xAB);
    EXPECT_EQ(back.alarms[at[3]].timeIn, p.alarms[at[3]].timeIn);
    EXPECT_EQ(back.alarms[at[3]].timeLast, p.alarms[at[3]].timeLast);
    EXPECT_EQ(back.alarms[at[3]].value.value.f32, p.alarms[at[3]].value.value.f32);
  }
}

// Parses `doc`, which must fail; the message.
std::string ParseError(const std::string& doc, bool* syntax = nullptr) {
  Plant p;
  std::string err;
  bool isSyntax = false;
  EXPECT_FALSE(ParsePlant(doc, kNow, &p, &err, &isSyntax)) << doc;
  if (syntax) *syntax = isSyntax;
  return err;
}

TEST(PlantFileFormatTest, SyntaxErrorsAndInvalidUtf8NameTheirPlace) {
  bool syntax = false;
  std::string err = ParseError("{\n  \"nodes\": [\n    {\"name\": \"A\",}\n  ]\n}", &syntax);
  EXPECT_TRUE(syntax);
  EXPECT_EQ(err.rfind("line 3, column 18: syntax error", 0), 0u) << err;
  // A stray byte that is not UTF-8, after two-byte characters on its line.
  err = ParseError("{\"nodes\": [\n  {\"name\": \"\xC3\xA9\xC3\xA9\xFF\"}]}", &syntax);
  EXPECT_TRUE(syntax);
  EXPECT_EQ(err.rfind("line 2, column 15: ", 0), 0u) << err;
  EXPECT_NE(err.find("UTF-8"), std::string::npos) << err;
  // A number no double holds has its place too.
  err = ParseError("{\"alarms\": [\n  {\"value\": 1e400}]}", &syntax);
  EXPECT_TRUE(syntax);
  EXPECT_EQ(err.rfind("line 2, column 17: number overflow", 0), 0u) << err;
  // A lone surrogate escape is no character either.
  err = ParseError(R"({"nodes": [{"name": "\ud800"}]})", &syntax);
  EXPECT_TRUE(syntax);
}

TEST(PlantFileFormatTest, ContentErrorsNameLineColumnPathAndReason) {
  struct Case {
    std::string doc;
    std::string start;   // line, column and path
    std::string reason;  // part of the reason
  };
  const std::string alarm =
      R"("node": "P1", "tag": "T1", "letter": "A", "number": 1, "timeIn": "now")";
  auto alarms = [&](const std::string& more) {
    return "{\"alarms\": [\n  {" + alarm + ",\n   " + more + "}\n]}";
  };
  const std::string e2 = "\xC3\xA9";  // é, two bytes
  auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  const Case cases[] = {
      {R"({"nodes": [{"name": "TOOLONGNAME"}]})", "line 1, column 13: nodes[0].name",
       "longer than 8 characters"},
      {"{\"nodes\": [{\"name\": \"A\"},\n           {\"name\": \"a\"}]}",
       "line 2, column 13: nodes[1].name", "node named twice"},
      {R"({"nodes": [{"name": "A"}], "blocks": [{"node": "B", "tag": "T", "letter": "A", "number": 1}]})",
       "line 1, column 40: blocks[0].node", "no such node"},
      {"{\"nodes\": [{\"name\": \"A\"}], \"blocks\": [\n"
       "  {\"node\": \"A\", \"tag\": \"T\", \"letter\": \"A\", \"number\": 1},\n"
       "  {\"node\": \"A\", \"tag\": \"U\", \"letter\": \"A\", \"number\": 1}]}",
       "line 3, column 44: blocks[1].number", "used twice"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "AB", "number": 1, "timeIn": "now"}]})",
       "line 1, column 39: alarms[0].letter", "expected one character"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 70000, "timeIn": "now"}]})",
       "line 1, column 54: alarms[0].number", "out of range"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 1}]})",
       "line 1, column 13: alarms[0]", "missing member \"timeIn\""},
      {R"({"horn": {"enabled": "yes"}})", "line 1, column 11: horn.enabled", "true or false"},
      {R"({"format": "other"})", "line 1, column 2: format", "tolvane-plant"},
      {"  [1, 2]", "line 1, column 3: (document)", "expected an object"},
      // Two alarms on one block, node names case-blind: the second is named.
      {"{\"nodes\": [{\"name\": \"P1\"}], \"alarms\": [\n  {" + alarm +
           "},\n  {\"type\": 8, \"timeIn\": \"now\"},\n  {" +
           R"("node": "p1", "tag": "T9", "letter": "A", "number": 1, "timeIn": "now", "type": 3)" +
           "}]}",
       "line 4, column 3: alarms[2]",
       "a second alarm of block A1 on node p1; it duplicates alarms[0]"},
      // Dates that do not exist, and a word that is no time at all.
      {alarms(R"("timeLast": "2026-02-30T00:00:00Z")"), "line 3, column 4: alarms[0].timeLast",
       "no such date"},
      {alarms(R"("shelvedUntil": "2026-01-01T24:00:00Z")"),
       "line 3, column 4: alarms[0].shelvedUntil", "no such date"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 1, "timeIn": "yesterday"}]})",
       "line 1, column 67: alarms[0].timeIn", "expected a time"},
      // Values: ranges of their kinds; floats within float's range.
      {alarms(R"("value": {"kind": 3, "value": 256})"), "line 3, column 25: alarms[0].value.value",
       "out of range 0..255"},
      {alarms(R"("value": {"kind": 8, "value": 1e39})"), "line 3, column 25: alarms[0].value.value",
       "beyond the range of a 32-bit float"},
      {alarms(R"("value": {"kind": 8, "value": 3.4028236e38})"),
       "line 3, column 25: alarms[0].value.value", "beyond the range of a 32-bit float"},
      {alarms(R"("value": {"kind": 9, "value": -3.5e38})"),
       "line 3, column 25: alarms[0].value.value", "beyond the range of a 32-bit float"},
      // Limits count characters; a text within them that its field cannot
      // hold in bytes is refused too, never cut.
      {alarms("\"description\": \"" + std::string(133, 'x') + "\""),
       "line 3, column 4: alarms[0].description", "longer than 132 characters"},
      {alarms("\"description\": \"" + repeat(e2, 70) + "\""),
       "line 3, column 4: alarms[0].description", "takes 140 bytes in UTF-8; the field holds 132"},
      {alarms("\"areas\": [\"A\", \"" + repeat(e2, 15) + "\"]"),
       "line 3, column 19: alarms[0].areas[1]", "takes 30 bytes in UTF-8; the field holds 29"},
      {alarms(R"("ext1": "a\u0000b")"), "line 3, column 4: alarms[0].ext1", "NUL"},
      {alarms(R"("value": {"kind": 1, "text": ")" + std::string(80, 'v') + "\"}"),
       "line 3, column 25: alarms[0].value.text", "longer than 79 characters"},
      {"{\"alarms\": [{\"node\": \"" + repeat("\xC3\x84", 5) +
           R"(", "tag": "T", "letter": "A", "number": 1, "timeIn": "now"}]})",
       "line 1, column 14: alarms[0].node", "takes 10 bytes in UTF-8; the field holds 8"},
      {"{\"alarms\": [{\"node\": \"A\", \"tag\": \"" + repeat("\xE2\x82\xAC", 11) +
           R"(", "letter": "A", "number": 1, "timeIn": "now"}]})",
       "line 1, column 27: alarms[0].tag", "takes 33 bytes in UTF-8; the field holds 30"},
      {R"({"alarms": [{"node": "A", "tag": "T", "number": 1, "timeIn": "now", "letter": "Ä"}]})",
       "line 1, column 69: alarms[0].letter", "takes 2 bytes in UTF-8; the field holds 1"},
      {alarms("\"shelveReason\": \"" + std::string(133, 'r') + "\""),
       "line 3, column 4: alarms[0].shelveReason", "longer than 132 characters"},
      {alarms("\"shelvedBy\": \"" + std::string(33, 'u') + "\""),
       "line 3, column 4: alarms[0].shelvedBy", "longer than 32 characters"},
      {"{\"operatorLog\": [{\"time\": \"now\", \"text\": \"t\", \"user\": \"" +
           std::string(33, 'u') + "\"}]}",
       "line 1, column 47: operatorLog[0].user", "longer than 32 characters"},
      // Columns count characters: three two-byte ones come before "time".
      {"{\"operatorLog\": [{\"text\": \"" + repeat(e2, 3) +
           "\", \"time\": \"2026-02-30T00:00:00Z\"}]}",
       "line 1, column 34: operatorLog[0].time", "no such date"},
  };
  // One block past what a node's database holds, on the node named in
  // another case: the block that breaks the limit is named.
  std::string blocks = "{\"nodes\": [{\"name\": \"A\"}], \"blocks\": [";
  for (int i = 0; i <= 65535; ++i) {
    blocks += std::string(i ? "," : "") + "\n{\"node\": \"" + (i == 65535 ? "a" : "A") +
              "\", \"tag\": \"T" + std::to_string(i) + "\", \"letter\": \"" +
              static_cast<char>('A' + i / 30000) + "\", \"number\": " +
              std::to_string(i % 30000) + "}";
  }
  blocks += "]}";
  std::vector<Case> all(std::begin(cases), std::end(cases));
  all.push_back({blocks, "line 65537, column 2: blocks[65535].node",
                 "node a has more than 65,535 blocks"});
  for (const Case& c : all) {
    bool syntax = true;
    std::string err = ParseError(c.doc, &syntax);
    EXPECT_FALSE(syntax) << err;
    EXPECT_EQ(err.rfind(c.start + ": ", 0), 0u) << err << "\n  wanted: " << c.start;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err << "\n  wanted: " << c.reason;
  }
}

TEST(PlantFileFormatTest, HostileDocumentsAreRefusedWithTheirPlace) {
  struct Case {
    std::string doc;
    std::string start;   // line, column (and path for content)
    std::string reason;  // part of the reason
    bool syntax;
  };
  const std::string nodes = R"("nodes": [{"name": "P1", "aliases": ["N1", "LOCAL"]}])";
  auto alarm = [&](const std::string& node, const std::string& more) {
    return "{" + nodes + ",\n\"alarms\": [{\"node\": \"" + node +
           R"(", "tag": "T", "letter": "A", "number": 1, "timeIn": "now")" + more + "}]}";
  };
  auto nest = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  const Case cases[] = {
      // Nesting: in a kept unknown member, and of the document itself.
      {alarm("P1", ", \"kept\": " + nest(50'000)), "line 2, column 153",
       "nested deeper than 64 levels", true},
      {nest(1'000'000), "line 1, column 65", "nested deeper than 64 levels", true},
      // A member named twice: which one was meant cannot be told.
      {"{" + nodes + ",\n \"nodes\": []}", "line 2, column 2", "member \"nodes\" given twice",
       true},
      {alarm("P1", R"(, "number": 2)"), "line 2, column 84", "member \"number\" given twice", true},
      {alarm("P1", R"(, "x": {"y": 1, "y": 2})"), "line 2, column 98", "\"y\" given twice", true},
      // Priorities outside the table, by number or by name.
      {alarm("P1", R"(, "priority": 2)"), "line 2, column 84: alarms[0].priority",
       "unknown priority", false},
      {alarm("P1", R"(, "priority": 99)"), "line 2, column 84: alarms[0].priority",
       "unknown priority", false},
      {"{" + nodes + R"(, "blocks": [{"node": "P1", "tag": "T", "letter": "A", "number": 1, )" +
           R"("priority": 10}]})",
       "line 1, column 123: blocks[0].priority", "unknown priority", false},
      // An alarm on a node the plant does not declare.
      {alarm("P9", ""), "line 2, column 13: alarms[0].node", "no such node in \"nodes\"", false},
      {R"({"alarms": [{"tag": "T", "letter": "A", "number": 1, "timeIn": "now"}]})",
       "line 1, column 13: alarms[0].node", "an alarm belongs to a node", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.doc.substr(0, 80));
    bool syntax = !c.syntax;
    std::string err = ParseError(c.doc, &syntax);
    EXPECT_EQ(syntax, c.syntax) << err;
    EXPECT_EQ(err.rfind(c.start + ": ", 0), 0u) << err << "\n  wanted: " << c.start;
    EXPECT_NE(err.find(c.reason), std::string::npos) << err << "\n  wanted: " << c.reason;
  }
  // The local node's aliases name it; messages need no node at all.
  Plant plant;
  std::string err;
  EXPECT_TRUE(ParsePlant(alarm("local", ""), kNow, &plant, &err)) << err;
  EXPECT_TRUE(ParsePlant(R"({"alarms": [{"type": 8, "node": "AWAY", "timeIn": "now"}]})", kNow,
                         &plant, &err))
      << err;
}

TEST(PlantFileFormatTest, TextsAtTheirLimitsAndFloatsAtTheirEdgesRead) {
  const std::string e2 = "\xC3\xA9";
  std::string desc, reason;
  for (int i = 0; i < 66; ++i) desc += e2;     // 132 bytes
  for (int i = 0; i < 132; ++i) reason += e2;  // 264 bytes: kept only by the store
  std::string doc = R"({"nodes": [{"name": "P1"}, {"name": "P2"}],
      "alarms": [{"node": "P1", "tag": "T1", "letter": "A", "number": 1,
      "timeIn": "now", "description": ")" +
                    desc + R"(", "shelveReason": ")" + reason +
                    R"(", "value": {"kind": 8, "value": 3.4028234663852886e38}},
      {"node": "P1", "tag": "T2", "letter": "A", "number": 2, "timeIn": "now",
       "value": {"kind": 9, "value": 81.3}},
      {"node": "P2", "tag": "T1", "letter": "A", "number": 1, "timeIn": "now"},
      {"node": "P1", "tag": "T1", "letter": "B", "number": 1, "timeIn": "now"}]})";
  Plant p;
  std::string err;
  ASSERT_TRUE(ParsePlant(doc, kNow, &p, &err)) << err;
  EXPECT_EQ(p.alarms[0].description, desc);
  EXPECT_EQ(p.alarms[0].shelveReason, reason);
  EXPECT_EQ(p.alarms[0].value.value.f32, std::numeric_limits<float>::max());
  // Written as the shortest text that reads back as the same float.
  std::string text = SerializePlant(p, false, kNow);
  EXPECT_NE(text.find("\"value\": 81.3\n"), std::string::npos) << text;
  Plant back;
  ASSERT_TRUE(ParsePlant(text, kNow, &back, &err)) << err;
  EXPECT_EQ(back.alarms[0].value.value.f32, std::numeric_limits<float>::max());
  EXPECT_EQ(back.alarms[1].value.value.f32, 81.3f);
}

TEST(JsonLocatorTest, FindsMembersPastStringsThatLookLikeStructure) {
  const std::string doc =
      "{\n"
      "  \"a\": \"x{\\\"[\\\\\",\n"
      "  \"b\": {\"c\": [1, {\"d}\": 2}, [3, 4], \"]\"], \"c\": [5, 66]},\n"
      "  \"k\\\"ey\": {\"z\": \"}\"},\n"
      "  \"e\\u0041\": [ {\"f\": 1}, [] ],\n"
      "  \"n\": [[0, [7]]]\n"
      "}";
  ASSERT_TRUE(ojson::accept(doc));
  auto key = [](std::string k) { return JsonPathStep{std::move(k), 0, false}; };
  auto at = [](std::size_t i) { return JsonPathStep{{}, i, true}; };
  // A repeated name: the parser keeps the last one, so it is the one found.
  EXPECT_EQ(LocateJsonPath(doc, {key("b"), key("c")}), doc.rfind("\"c\""));
  EXPECT_EQ(LocateJsonPath(doc, {key("b"), key("c"), at(1)}), doc.find("66"));
  EXPECT_EQ(LocateJsonPath(doc, {key("k\"ey"), key("z")}), doc.find("\"z\""));
  EXPECT_EQ(LocateJsonPath(doc, {key("eA"), at(0), key("f")}), doc.find("\"f\""));
  EXPECT_EQ(LocateJsonPath(doc, {key("eA"), at(1)}), doc.find("[] ]"));
  EXPECT_EQ(LocateJsonPath(doc, {key("n"), at(0), at(1), at(0)}), doc.find('7'));
  EXPECT_EQ(LocateJsonPath(doc, {}), 0u);
  // Where the path leaves the document: the deepest step found.
  EXPECT_EQ(LocateJsonPath(doc, {key("b"), key("nope")}), doc.find("\"b\""));
  EXPECT_EQ(LocateJsonPath(doc, {key("eA"), at(2)}), doc.find("\"e\\u0041\""));
  EXPECT_EQ(LocateJsonPath(doc, {key("a"), at(0)}), doc.find("\"a\""));
  EXPECT_EQ(LocateJsonPath(doc, {key("d}")}), 0u);  // a name inside a string is no member

  EXPECT_EQ(JsonPathText({key("alarms"), at(3), key("timeIn")}), "alarms[3].timeIn");
  EXPECT_EQ(JsonPathText({at(0), at(2)}), "[0][2]");
  EXPECT_EQ(LineAndColumn("ab\n\xC3\xA9\xE2\x82\xAC"
                          "x",
                          8),
            std::make_pair(2, 3));
  EXPECT_EQ(LineAndColumn("ab", 99), std::make_pair(1, 3));
}

TEST(PlantFileFormatTest, UnknownMembersSurviveInTheirPlacesAndOrder) {
  const std::string doc = R"({"format": "tolvane-plant", "zeta": 1,
 "nodes": [{"name": "P1", "color": "red", "serial": 3, "alpha": [1, {"x": null}]}],
 "horn": {"enabled": false, "volume": 11, "silenced": true},
 "blocks": [{"node": "P1", "tag": "T1", "letter": "A", "number": 1, "note": "n1"}],
 "alarms": [{"node": "P1", "tag": "T1", "letter": "A", "number": 1, "b2": true,
             "timeIn": "2026-01-01T00:00:00Z", "a1": "s\u00e9",
             "shelvedUntil": "2026-01-02T00:00:00Z", "shelveReason": "pump swap",
             "shelvedBy": "kim"},
            {"type": 8, "node": "P1", "description": "hello", "timeIn": "2026-01-01T00:00:00Z",
             "timeLast": "2026-01-01T00:05:00Z", "tag": "kept", "m": 2}],
 "operatorLog": [{"time": "2026-01-01T00:00:00Z", "text": "hi", "user": "kim", "seen": false}],
 "alpha": {"nested": [1, 2]}})";
  Plant p;
  std::string err;
  ASSERT_TRUE(ParsePlant(doc, kNow, &p, &err)) << err;
  EXPECT_EQ(p.extra, R"({"zeta":1,"alpha":{"nested":[1,2]},"horn":{"volume":11}})");
  EXPECT_EQ(p.nodes[0].extra, R"({"color":"red","alpha":[1,{"x":null}]})");
  EXPECT_EQ(p.blocks[0].extra, R"({"note":"n1"})");
  EXPECT_EQ(p.alarms[0].extra, "{\"b2\":true,\"a1\":\"s\xC3\xA9\"}");
  EXPECT_EQ(p.alarms[1].extra, R"({"tag":"kept","m":2})");  // a message has no tag
  EXPECT_EQ(p.log[0].extra, R"({"seen":false})");
  EXPECT_EQ(p.log[0].user, "kim");
  ASSERT_TRUE(p.alarms[0].shelvedUntil);
  EXPECT_EQ(FormatUtc(*p.alarms[0].shelvedUntil), "2026-01-02T00:00:00Z");
  EXPECT_EQ(p.alarms[0].shelveReason, "pump swap");
  EXPECT_EQ(p.alarms[0].shelvedBy, "kim");
  EXPECT_FALSE(p.hornEnabled);

  // Written back after the known members, in the order they came.
  std::string text = SerializePlant(p, false, kNow);
  ojson out = ojson::parse(text);
  auto keys = [](const ojson& o) {
    std::vector<std::string> k;
    for (auto it = o.begin(); it != o.end(); ++it) k.push_back(it.key());
    return k;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(keys(out), (V{"format", "version", "nodes", "horn", "blocks", "alarms", "operatorLog",
                          "zeta", "alpha"}));
  EXPECT_EQ(keys(out["horn"]), (V{"enabled", "silenced", "volume"}));
  EXPECT_EQ(out["alpha"], ojson::parse(R"({"nested": [1, 2]})"));
  EXPECT_EQ(keys(out["nodes"][0]), (V{"name", "physical", "serial", "color", "alpha"}));
  EXPECT_EQ(out["blocks"][0]["note"], "n1");
  V alarm = keys(out["alarms"][0]);
  EXPECT_EQ(V(alarm.end() - 5, alarm.end()),
            (V{"shelvedUntil", "shelveReason", "shelvedBy", "b2", "a1"}));
  EXPECT_EQ(out["alarms"][0]["a1"], "s\xC3\xA9");
  EXPECT_EQ(keys(out["alarms"][1]),
            (V{"type", "node", "description", "timeIn", "timeLast", "tag", "m"}));
  EXPECT_EQ(keys(out["operatorLog"][0]), (V{"time", "text", "user", "seen"}));
  Plant back;
  ASSERT_TRUE(ParsePlant(text, kNow, &back, &err)) << err;
  EXPECT_EQ(SerializePlant(back, false, kNow), text);
  EXPECT_EQ(back.alarms[1].timeLast, p.alarms[1].timeLast);

  // Empty shelving and users are left out; an unknown member never
  // overrides a known one; unknown members that are not an object throw.
  p.alarms[0].shelvedUntil.reset();
  p.alarms[0].shelveReason.clear();
  p.alarms[0].shelvedBy.clear();
  p.alarms[0].extra = R"({"tag":"OTHER","z":1})";
  p.log[0].user.clear();
  out = ojson::parse(SerializePlant(p, false, kNow));
  EXPECT_FALSE(out["alarms"][0].contains("shelvedUntil"));
  EXPECT_FALSE(out["alarms"][0].contains("shelveReason"));
  EXPECT_FALSE(out["alarms"][0].contains("shelvedBy"));
  EXPECT_FALSE(out["operatorLog"][0].contains("user"));
  EXPECT_EQ(out["alarms"][0]["tag"], "T1");
  EXPECT_EQ(out["alarms"][0]["z"], 1);
  p.nodes[0].extra = "[1]";
  EXPECT_THROW(SerializePlant(p, false, kNow), std::invalid_argument);
}

std::vector<std::string> Entries(const std::filesystem::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.push_back(e.path().filename().string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

using Names = std::vector<std::string>;

class AtomicWriteTest : public ::testing::TestWithParam<bool> {
 protected:
  AtomicWriteOptions Options() const { return {GetParam()}; }
};

TEST_P(AtomicWriteTest, ReplacesKeepingModeOwnerAndGroup) {
  TempDir dir;
  std::string path = (dir / "p.json").string();
  std::string err;
  ASSERT_TRUE(WriteFileAtomically(path, "old", &err, Options())) << err;
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);  // a new file
  ::chmod(path.c_str(), 0640);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(path.c_str(), 4242, 4343), 0);
  }
  ASSERT_TRUE(WriteFileAtomically(path, "new text", &err, Options())) << err;
  EXPECT_EQ(ReadFile(path), "new text");
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4242u);
    EXPECT_EQ(st.st_gid, 4343u);
  }
  EXPECT_EQ(Entries(dir.path()), Names{"p.json"});

  EXPECT_FALSE(
      WriteFileAtomically((dir / "no-such-dir" / "p.json").string(), "x", &err, Options()));
  EXPECT_NE(err.find("no-such-dir"), std::string::npos) << err;
}

TEST_P(AtomicWriteTest, WritesThroughSymlinksToTheirTarget) {
  TempDir dir;
  std::filesystem::create_directory(dir / "real");
  testing::WriteFile(dir / "real" / "plant.json", "old");
  ::chmod((dir / "real" / "plant.json").c_str(), 0600);
  // A relative link to a relative link.
  std::filesystem::create_symlink("real/plant.json", dir / "inner");
  std::filesystem::create_symlink("inner", dir / "outer");
  std::string err;
  ASSERT_TRUE(WriteFileAtomically((dir / "outer").string(), "new", &err, Options())) << err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "outer"));
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "inner"));
  EXPECT_EQ(ReadFile(dir / "real" / "plant.json"), "new");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "real" / "plant.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(Entries(dir.path()), (Names{"inner", "outer", "real"}));
  EXPECT_EQ(Entries(dir / "real"), Names{"plant.json"});

  // A dangling link makes its target.
  std::filesystem::create_symlink("real/made.json", dir / "dangling");
  ASSERT_TRUE(WriteFileAtomically((dir / "dangling").string(), "made", &err, Options())) << err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir / "dangling"));
  EXPECT_EQ(ReadFile(dir / "real" / "made.json"), "made");

  std::filesystem::create_symlink("loop2", dir / "loop1");
  std::filesystem::create_symlink("loop1", dir / "loop2");
  EXPECT_FALSE(WriteFileAtomically((dir / "loop1").string(), "x", &err, Options()));
}

TEST_P(AtomicWriteTest, RefusesReadOnlyTargetsAndLeavesNothingOnFailure) {
  TempDir dir;
  std::string path = (dir / "p.json").string();
  testing::WriteFile(path, "old");
  ::chmod(path.c_str(), 0444);
  std::string err;
  // Refused even for root, who could write it.
  EXPECT_FALSE(WriteFileAtomically(path, "new", &err, Options()));
  EXPECT_NE(err.find("read-only"), std::string::npos) << err;
  EXPECT_EQ(ReadFile(path), "old");
  ::chmod(path.c_str(), 0644);

  // A write that fails halfway (the file-size limit here, a full disk in
  // life) leaves the old file and no temporary.
  const std::string big(1 << 20, 'x');
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim {
      4096, 4096
    };
    ::setrlimit(RLIMIT_FSIZE, &lim);
    std::string why;
    bool ok = WriteFileAtomically(path, big, &why, Options());
    ::_exit(!ok && why.find("p.json") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(ReadFile(path), "old");
  EXPECT_EQ(Entries(dir.path()), Names{"p.json"});
}

// Killed at any moment, a writer leaves the old file or the new one, whole.
// Killed between naming its temporary file and the rename, it leaves that
// name behind (no call replaces a file with an unnamed one); the next writer
// removes it, and never a live writer's.
TEST_P(AtomicWriteTest, KilledWritersLeaveTheOldOrNewFileAndTheNextWriterClearsUp) {
  TempDir dir;
  std::string path = (dir / "p.json").string();
  testing::WriteFile(path, "old");
  const std::string big(16 << 20, 'n');
  std::mt19937 random(12345);
  for (int round = 0; round < 20; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::string why;
      ::_exit(WriteFileAtomically(path, big, &why, Options()) ? 0 : 1);
    }
    ::usleep(static_cast<useconds_t>(random() % 60000));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    Names left = Entries(dir.path());
    ASSERT_LE(left.size(), 2u) << "round " << round;
    for (const std::string& name : left) {
      EXPECT_TRUE(name == "p.json" || name.rfind("p.json.tmp.", 0) == 0) << name;
    }
    std::string now = ReadFile(path);
    EXPECT_TRUE(now == "old" || now == big) << "round " << round << ": " << now.size() << " bytes";
    std::string why;
    ASSERT_TRUE(WriteFileAtomically(path, "old", &why, Options())) << why;
    ASSERT_EQ(Entries(dir.path()), Names{"p.json"}) << "round " << round;
  }
}

TEST_P(AtomicWriteTest, LeftoversOfLiveWritersAndOthersFilesStay) {
  TempDir dir;
  std::string path = (dir / "p.json").string();
  testing::WriteFile(path, "old");
  // A live writer's temporary file: locked, so it stays.
  std::string live = path + ".tmp.abcdefgh";
  testing::WriteFile(live, "half");
  int fd = ::open(live.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  // Not ours by name: stays.
  testing::WriteFile(path + ".tmp.notours!", "x");
  testing::WriteFile(dir / "q.json.tmp.abcdef", "x");
  std::string abandoned = path + ".tmp.XyZ012";
  testing::WriteFile(abandoned, "x");
  std::string why;
  ASSERT_TRUE(WriteFileAtomically(path, "new", &why, Options())) << why;
  EXPECT_EQ(Entries(dir.path()),
            (Names{"p.json", "p.json.tmp.abcdefgh", "p.json.tmp.notours!", "q.json.tmp.abcdef"}));
  ::close(fd);
  EXPECT_EQ(RemoveAbandonedTemporaries(path), 1u);
}

INSTANTIATE_TEST_SUITE_P(UnnamedAndNamedTemporary, AtomicWriteTest, ::testing::Bool());

TEST(PlantFileOpenTest, ReportsMissingSyntaxAndContentSeparately) {
  TempDir dir;
  Plant p;
  PlantFileError e;
  PlantFile missing;
  EXPECT_FALSE(missing.Open((dir / "none.json").string(), false, kNow, &p, &e));
  EXPECT_EQ(e.kind, PlantFileError::Kind::kMissing);

  testing::WriteFile(dir / "syntax.json", "{\"nodes\": [");
  PlantFile syntax;
  EXPECT_FALSE(syntax.Open((dir / "syntax.json").string(), true, kNow, &p, &e));
  EXPECT_EQ(e.kind, PlantFileError::Kind::kSyntax);
  EXPECT_NE(e.message.find("left unchanged"), std::string::npos);

  testing::WriteFile(dir / "content.json", "{\"nodes\": [{}]}");
  PlantFile content;
  EXPECT_FALSE(content.Open((dir / "content.json").string(), true, kNow, &p, &e));
  EXPECT_EQ(e.kind, PlantFileError::Kind::kContent);
  EXPECT_NE(e.message.find("nodes[0]: missing member \"name\""), std::string::npos) << e.message;
}

}  // namespace
}  // namespace tolvane::plant
