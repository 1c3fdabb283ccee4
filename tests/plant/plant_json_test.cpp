// The plant file: times, parse errors with their place, a faithful round
// trip, and atomic replacement.
#include "plant/plant_json.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "program_runner.h"
#include "plant/demo_plant.h"

namespace tolvane::plant {
namespace {

using std::chrono::hours;
using std::chrono::minutes;
using std::chrono::seconds;
using testing::ReadFile;
using testing::TempDir;

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
  for (const char* bad :
       {"", "-", "-5", "-5y", "5m", "--5m", "2027-01-15 08:00:00", "2027-13-01T00:00:00Z",
        "2027-01-15T08:00:00Zjunk", "-99999999999999999999m"}) {
    EXPECT_FALSE(ParseTime(bad, kNow, &t)) << bad;
  }
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

TEST(PlantFileFormatTest, ErrorsNameTheLineOrTheMember) {
  Plant p;
  std::string err;
  bool syntax = false;
  EXPECT_FALSE(
      ParsePlant("{\n  \"nodes\": [\n    {\"name\": \"A\",}\n  ]\n}", kNow, &p, &err, &syntax));
  EXPECT_TRUE(syntax);
  EXPECT_EQ(err.rfind("line 3, column ", 0), 0u) << err;

  struct Case {
    const char* doc;
    const char* where;
  };
  const Case cases[] = {
      {R"({"nodes": [{"name": "TOOLONGNAME"}]})", "nodes[0].name"},
      {R"({"nodes": [{"name": "A"}, {"name": "a"}]})", "nodes[1].name"},
      {R"({"nodes": [{"name": "A"}], "blocks": [{"node": "B", "tag": "T", "letter": "A", "number": 1}]})",
       "blocks[0].node"},
      {R"({"nodes": [{"name": "A"}], "blocks": [{"node": "A", "tag": "T", "letter": "A", "number": 1},
          {"node": "A", "tag": "U", "letter": "A", "number": 1}]})",
       "blocks[1].number"},
      {R"({"blocks": [], "nodes": [{"name": "A"}], "alarms": [{"node": "A", "tag": "T", "letter": "AB",
          "number": 1, "timeIn": "now"}]})",
       "alarms[0].letter"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 70000, "timeIn": "now"}]})",
       "alarms[0].number"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 1, "timeIn": "yesterday"}]})",
       "alarms[0].timeIn"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 1, "timeIn": "now",
          "value": {"kind": 3, "value": 256}}]})",
       "alarms[0].value.value"},
      {R"({"alarms": [{"node": "A", "tag": "T", "letter": "A", "number": 1}]})", "alarms[0]"},
      {R"({"horn": {"enabled": "yes"}})", "horn.enabled"},
      {R"({"format": "other"})", "format"},
      {R"([1, 2])", "(document)"},
  };
  for (const Case& c : cases) {
    err.clear();
    EXPECT_FALSE(ParsePlant(c.doc, kNow, &p, &err, &syntax)) << c.doc;
    EXPECT_FALSE(syntax);
    EXPECT_EQ(err.rfind(c.where, 0), 0u) << err;
  }
}

TEST(AtomicWriteTest, ReplacesTheFileKeepingItsModeAndLeavesNoTemporary) {
  TempDir dir;
  std::string path = (dir / "p.json").string();
  std::string err;
  ASSERT_TRUE(WriteFileAtomically(path, "old", &err)) << err;
  ::chmod(path.c_str(), 0600);
  ASSERT_TRUE(WriteFileAtomically(path, "new text", &err)) << err;
  EXPECT_EQ(ReadFile(path), "new text");
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);

  EXPECT_FALSE(WriteFileAtomically((dir / "no-such-dir" / "p.json").string(), "x", &err));
  EXPECT_NE(err.find("no-such-dir"), std::string::npos) << err;
}

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
