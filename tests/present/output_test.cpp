// The writers with hostile row texts: nothing reaches a terminal as a
// command, tables stay aligned, CSV and JSON read back to what was written.
#include "present/output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>

namespace tolvane::present {
namespace {

using nlohmann::json;
using namespace std::string_literals;

// Texts that have broken terminals, tables and documents.
const std::string kHostile[] = {
    "\x1b]0;owned\x07\x1b[2J\x1b[H",  // retitle and clear the screen
    "line one\nline two\r\n",
    "tab\there",
    "quote \" and, comma",
    "\"\"",
    "",
    "bad \xff\xfe utf8 \xc3",
    "C1 \xc2\x9b"
    "31m red",
    "bidi \xe2\x80\xae"
    "gnp.exe",
    "W\xc3\xa4rme \xe2\x82\xac \xf0\x9f\x94\xa5",  // fine UTF-8
    "back\\slash \\e",
};

bool WellFormedUtf8(std::string_view s) {
  char32_t cp = 0;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = Utf8Sequence(s, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

Row HostileRow(const std::string& text, int i) {
  Row r;
  r.reference = "A" + std::to_string(i) + "PLANT1";
  r.dateIn = r.dateLast = "12/08/2026";
  r.timeIn = r.timeLast = "10:15:00";
  r.node = "PLANT1";
  r.tag = "TIC" + std::to_string(i);
  r.priority = "HIGH    ";
  r.status = "HI  ";
  r.statusCode = 1539;
  r.value = "  12.5";
  r.description = text;
  r.areas = "AREA1," + text;
  r.ext1 = text;
  r.ext2 = "x";
  r.letter = 'A';
  r.number = static_cast<int16_t>(i);
  return r;
}

std::vector<Row> HostileRows() {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < std::size(kHostile); ++i) rows.push_back(HostileRow(kHostile[i], i));
  return rows;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// --- terminal escaping ---

TEST(EscapeForTerminal, ShowsControlsAndBrokenBytesAsEscapes) {
  const std::pair<std::string, std::string> cases[] = {
      {"\x1b[2J", "\\e[2J"},
      {"a\nb\rc\td", "a\\nb\\rc\\td"},
      {"bell\x07 del\x7f nul-less\x01", "bell\\x07 del\\x7f nul-less\\x01"},
      {"\xff\xfe", "\\xff\\xfe"},
      {"cut \xe2\x82", "cut \\xe2\\x82"},
      {"overlong \xc0\xaf", "overlong \\xc0\\xaf"},
      {"surrogate \xed\xa0\x80", "surrogate \\xed\\xa0\\x80"},
      {"csi \xc2\x9b", "csi \\u009b"},
      {"rlo \xe2\x80\xae isolate \xe2\x81\xa6", "rlo \\u202e isolate \\u2066"},
      {"ls \xe2\x80\xa8", "ls \\u2028"},
      {"W\xc3\xa4rme \xe2\x82\xac \xf0\x9f\x94\xa5", "W\xc3\xa4rme \xe2\x82\xac \xf0\x9f\x94\xa5"},
      {"C:\\temp \\e", "C:\\temp \\e"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(EscapeForTerminal(in), want) << in;
}

TEST(EscapeForTerminal, AnyBytesGiveSafeWellFormedText) {
  std::mt19937 rng(42);
  std::uniform_int_distribution<int> byte(1, 255), length(0, 40);
  for (int i = 0; i < 20000; ++i) {
    std::string in;
    for (int n = length(rng); n > 0; --n) in += static_cast<char>(byte(rng));
    std::string out = EscapeForTerminal(in);
    ASSERT_TRUE(WellFormedUtf8(out)) << in;
    char32_t cp = 0;
    for (std::size_t j = 0; j < out.size(); j += Utf8Sequence(out, j, &cp)) {
      Utf8Sequence(out, j, &cp);
      ASSERT_FALSE(cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) << in;
    }
  }
}

TEST(DisplayWidth, CountsCharactersAndCutsBetweenThem) {
  const std::string text = "\xc3\x84\xe2\x82\xac\xf0\x9f\x94\xa5x";  // Ä € 🔥 x
  EXPECT_EQ(DisplayWidth(text), 4u);
  EXPECT_EQ(CutToWidth(text, 0), "");
  EXPECT_EQ(CutToWidth(text, 1), "\xc3\x84");
  EXPECT_EQ(CutToWidth(text, 3), "\xc3\x84\xe2\x82\xac\xf0\x9f\x94\xa5");
  EXPECT_EQ(CutToWidth(text, 4), text);
  EXPECT_EQ(CutToWidth(text, 99), text);
}

// --- table ---

TEST(Table, HostileTextsKeepOneLineEachAndTheColumnsAligned) {
  std::vector<Row> rows = HostileRows();
  std::ostringstream out;
  WriteTable(out, rows, TableOptions{false, 50, true});
  std::string text = out.str();
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(text.find('\t'), std::string::npos);
  EXPECT_TRUE(WellFormedUtf8(text));
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), rows.size() + 2);
  EXPECT_EQ(lines.back(), std::to_string(rows.size()) + " of 50 alarms");
  // The reference, last column, starts at the same character column on every
  // line: widths are counted in characters of the escaped text.
  std::size_t column = DisplayWidth(lines[0].substr(0, lines[0].find("Reference")));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& line = lines[i + 1];
    std::size_t at = line.rfind(rows[i].reference);
    ASSERT_NE(at, std::string::npos) << line;
    EXPECT_EQ(DisplayWidth(line.substr(0, at)), column) << line;
    EXPECT_NE(line.find(EscapeForTerminal(rows[i].description)), std::string::npos) << line;
  }
}

TEST(Table, ColourCodesAreTheOnlyEscapes) {
  std::vector<Row> rows = HostileRows();
  std::ostringstream out;
  WriteTable(out, rows, TableOptions{true, -1, true});
  std::vector<std::string> lines = Lines(out.str());
  ASSERT_EQ(lines.size(), rows.size() + 2);
  const std::string color = PriorityColor("HIGH");
  for (std::size_t i = 1; i <= rows.size(); ++i) {
    std::string line = lines[i];
    ASSERT_TRUE(line.starts_with(color) && line.ends_with("\x1b[0m")) << line;
    line = line.substr(color.size(), line.size() - color.size() - 4);
    EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
  }
  EXPECT_EQ(lines.back(), std::to_string(rows.size()) + " of ? alarms");
}

// --- CSV ---

// RFC 4180 reader: records of fields; fails the test on malformed input.
std::vector<std::vector<std::string>> ReadCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  std::size_t i = 0;
  bool quoted = false;
  auto endField = [&] {
    record.push_back(std::move(field));
    field.clear();
  };
  while (i < text.size()) {
    char c = text[i];
    if (quoted) {
      if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
        field += '"';
        i += 2;
      } else if (c == '"') {
        quoted = false;
        ++i;
        EXPECT_TRUE(i == text.size() || text[i] == ',' || text[i] == '\r')
            << "after quote at " << i;
      } else {
        field += c;
        ++i;
      }
    } else if (c == '"') {
      EXPECT_TRUE(field.empty()) << "quote inside a field at " << i;
      quoted = true;
      ++i;
    } else if (c == ',') {
      endField();
      ++i;
    } else if (c == '\r') {
      EXPECT_EQ(text.substr(i, 2), "\r\n") << "bare CR at " << i;
      endField();
      records.push_back(std::move(record));
      record.clear();
      i += 2;
    } else {
      EXPECT_NE(c, '\n') << "bare LF at " << i;
      field += c;
      ++i;
    }
  }
  EXPECT_FALSE(quoted) << "unterminated quote";
  EXPECT_TRUE(field.empty() && record.empty()) << "last record without CRLF";
  return records;
}

TEST(Csv, HostileTextsReadBackAsTheTableShowsThem) {
  std::vector<Row> rows = HostileRows();
  std::ostringstream out;
  WriteCsv(out, rows);
  auto records = ReadCsv(out.str());
  ASSERT_EQ(records.size(), rows.size() + 1);
  const std::vector<std::string>& header = records[0];
  auto col = [&](const std::string& name) {
    auto it = std::find(header.begin(), header.end(), name);
    EXPECT_NE(it, header.end()) << name;
    return static_cast<std::size_t>(it - header.begin());
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::vector<std::string>& rec = records[i + 1];
    ASSERT_EQ(rec.size(), header.size()) << i;
    // CSV has no escapes: controls are written as the table writes them,
    // so nothing in a field acts on a terminal; line breaks stay.
    EXPECT_EQ(rec[col("description")], EscapeForCsv(rows[i].description));
    EXPECT_EQ(rec[col("areas")], EscapeForCsv(rows[i].areas));
    EXPECT_EQ(rec[col("ext1")], EscapeForCsv(rows[i].ext1));
    EXPECT_EQ(rec[col("reference")], rows[i].reference);
    EXPECT_EQ(rec[col("status")], "HI");  // without its padding
    EXPECT_EQ(rec[col("priority")], "HIGH");
    EXPECT_EQ(rec[col("status_code")], "1539");
    EXPECT_EQ(rec[col("acknowledged")], "0");
  }
}

TEST(Csv, QuotesOnlyWhatNeedsIt) {
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField(" spaced "), " spaced ");
  EXPECT_EQ(CsvField("a,b"), "\"a,b\"");
  EXPECT_EQ(CsvField("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(CsvField("cr\r"), "cr\\r");
  EXPECT_EQ(CsvField("lf\n"), "\"lf\n\"");
  EXPECT_EQ(CsvField("title\x1b]0;x\x07,"), "\"title\\e]0;x\\x07,\"");
}

TEST(Json, TerminalActingCharactersAreEscapedAndReadBackTheSame) {
  const std::string texts[] = {"del\x7f", "csi \xC2\x9B" "2J", "bidi \xE2\x80\xAEgnp",
                               "iso \xE2\x81\xA6x", "line\xE2\x80\xA8sep", "esc\x1b[2J",
                               "plain \xC3\xA9"};
  for (const std::string& t : texts) {
    nlohmann::json doc = {{"t", t}};
    std::string safe = TerminalSafeJson(doc.dump());
    EXPECT_EQ(nlohmann::json::parse(safe)["t"], t) << safe;
    for (const char* bad : {"\x7f", "\x1b", "\xC2\x9B", "\xE2\x80\xAE", "\xE2\x81\xA6",
                            "\xE2\x80\xA8"}) {
      EXPECT_EQ(safe.find(bad), std::string::npos) << safe;
    }
  }
  EXPECT_EQ(TerminalSafeJson(nlohmann::json("plain \xC3\xA9").dump()), "\"plain \xC3\xA9\"");
}

// --- JSON ---

class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~TimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(Json, HostileTextsGiveAValidDocument) {
  std::vector<Row> rows = HostileRows();
  std::ostringstream out;
  WriteJson(out, rows, 99);
  json doc = json::parse(out.str());  // throws on anything invalid
  EXPECT_EQ(out.str().find('\x1b'), std::string::npos);
  EXPECT_EQ(doc["shown"], rows.size());
  EXPECT_EQ(doc["total"], 99);
  ASSERT_EQ(doc["alarms"].size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const json& a = doc["alarms"][i];
    const std::string& text = rows[i].description;
    if (WellFormedUtf8(text)) {
      EXPECT_EQ(a["description"], text);
      // Area names hold no comma: the row joins them with commas.
      std::string joined;
      for (const json& area : a["areas"])
        joined += (joined.empty() ? "" : ",") + area.get<std::string>();
      EXPECT_EQ(joined, rows[i].areas);
      EXPECT_EQ(a["areas"][0], "AREA1");
    } else {
      // Replaced, not dropped: the readable part stays.
      std::string got = a["description"];
      EXPECT_NE(got.find("\xef\xbf\xbd"), std::string::npos) << got;
      EXPECT_TRUE(got.starts_with("bad ")) << got;
    }
  }
}

TEST(Json, RowMembersForProgramsToUse) {
  Row alarm = HostileRow("PUMP TRIP", 5);
  alarm.areas = "";
  Row message;
  message.description = "operator acknowledged";
  message.areas = "NORTH,SOUTH,,EAST";
  message.dateIn = "02/30/2026";  // no such day
  message.timeIn = "10:00:00";
  message.dateLast = "garbage";
  std::ostringstream out;
  WriteJson(out, {alarm, message}, 2);
  json doc = json::parse(out.str());
  const json& a = doc["alarms"][0];
  EXPECT_EQ(a["type"], "alarm");
  EXPECT_EQ(a["status"], "HI");
  EXPECT_EQ(a["statusCode"], 1539);
  EXPECT_EQ(a["priority"], "HIGH");
  EXPECT_EQ(a["value"], "  12.5");  // values keep their form
  EXPECT_EQ(a["areas"], json::array());
  EXPECT_EQ(a["timeIn"], "10:15:00");  // display texts stay beside
  EXPECT_EQ(a["dateIn"], "12/08/2026");
  const json& m = doc["alarms"][1];
  EXPECT_EQ(m["type"], "message");
  EXPECT_EQ(m["areas"], json::array({"NORTH", "SOUTH", "", "EAST"}));
  EXPECT_TRUE(m["timeInUtc"].is_null());
  EXPECT_TRUE(m["timeLastUtc"].is_null());
}

TEST(Json, TimesAreLocalTextsTurnedIntoUtc) {
  TimeZone cet("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(RowTimeUtc("12/08/2026", "10:15:00"), "2026-12-08T09:15:00Z");
  EXPECT_EQ(RowTimeUtc("07/01/2026", "00:30:00"), "2026-06-30T22:30:00Z");  // summer time
  EXPECT_EQ(RowTimeUtc("03/29/2026", "02:30:00"), std::nullopt);            // the skipped hour
  EXPECT_EQ(RowTimeUtc("02/29/2026", "10:00:00"), std::nullopt);
  EXPECT_EQ(RowTimeUtc("02/29/2028", "10:00:00"), "2028-02-29T09:00:00Z");
  EXPECT_EQ(RowTimeUtc("12/08/2026", "24:00:00"), std::nullopt);
  EXPECT_EQ(RowTimeUtc("12/08/2026", ""), std::nullopt);
  EXPECT_EQ(RowTimeUtc("12/08/2026 x", "10:15:00"), std::nullopt);

  std::ostringstream out;
  WriteJson(out, {HostileRow("x", 1)}, 1);
  json a = json::parse(out.str())["alarms"][0];
  EXPECT_EQ(a["timeInUtc"], "2026-12-08T09:15:00Z");
  EXPECT_EQ(a["timeLastUtc"], "2026-12-08T09:15:00Z");
}

// --- status and log ---

StatusReport SampleStatus() {
  StatusReport s;
  s.total = 100000;
  s.sequence = 42;
  s.hornEnabled = true;
  s.hornSilenced = true;
  s.localNode = "PLANT1";
  s.aliases = {"N1", "LO\x1b[2JCAL"};
  s.nodes = 3;
  s.blocks = 300;
  s.shelved = 4;
  s.objects = {{"tolvane", "CVeltAlmSummMgr", 1}, {"tolvane", "handles", 2}};
  return s;
}

TEST(Status, TextAndJsonCarryTheSameReport) {
  StatusReport s = SampleStatus();
  std::ostringstream text, js;
  WriteStatusText(text, s);
  WriteStatusJson(js, s);
  EXPECT_EQ(text.str().find('\x1b'), std::string::npos);
  EXPECT_NE(text.str().find("Alarms in queue:  100000\n"), std::string::npos);
  EXPECT_NE(text.str().find("Horn:             enabled, silenced\n"), std::string::npos);
  EXPECT_NE(text.str().find("Local node:       PLANT1 (aliases N1, LO\\e[2JCAL)\n"),
            std::string::npos);
  EXPECT_NE(text.str().find("Shelved alarms:   4\n"), std::string::npos);
  EXPECT_NE(text.str().find("  tolvane  handles = 2\n"), std::string::npos);

  json doc = json::parse(js.str());
  EXPECT_EQ(doc["total"], 100000);
  EXPECT_EQ(doc["sequence"], 42);
  EXPECT_EQ(doc["horn"], (json{{"enabled", true}, {"silenced", true}}));
  EXPECT_EQ(doc["localNode"]["name"], "PLANT1");
  EXPECT_EQ(doc["localNode"]["aliases"], json::array({"N1", "LO\x1b[2JCAL"}));
  EXPECT_EQ(doc["nodes"], 3);
  EXPECT_EQ(doc["blocks"], 300);
  EXPECT_EQ(doc["shelved"], 4);
  ASSERT_EQ(doc["objectCounts"].size(), 2u);
  EXPECT_EQ(doc["objectCounts"][1],
            (json{{"module", "tolvane"}, {"name", "handles"}, {"value", 2}}));
}

TEST(Log, LinesAreEscapedAndJsonKeepsTheTexts) {
  const plant::TimePoint t = plant::Clock::from_time_t(1'796'724'900);  // 2026-12-08T10:15:00Z
  std::vector<LogEntry> log = {
      {t, "PLANT1", "alice", "Acknowledged TIC101", 1},
      {t, "", "", "evil\nforged line\x1b[2J \xff", 0},
  };
  std::ostringstream text, js;
  WriteLogText(text, log);
  WriteLogJson(js, log);
  std::vector<std::string> lines = Lines(text.str());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "2026-12-08T10:15:00Z  PLANT1  alice  Acknowledged TIC101");
  EXPECT_EQ(lines[1], "2026-12-08T10:15:00Z  -  -  evil\\nforged line\\e[2J \\xff");
  EXPECT_EQ(lines[2], "2 operator messages");

  json doc = json::parse(js.str());
  EXPECT_EQ(doc["count"], 2);
  const json& a = doc["messages"][0];
  EXPECT_EQ(a, (json{{"time", "2026-12-08T10:15:00Z"},
                     {"node", "PLANT1"},
                     {"user", "alice"},
                     {"text", "Acknowledged TIC101"},
                     {"flag", 1}}));
  const json& b = doc["messages"][1];
  EXPECT_TRUE(b["node"].is_null());
  EXPECT_TRUE(b["user"].is_null());
  EXPECT_EQ(b["text"], "evil\nforged line\x1b[2J \xef\xbf\xbd");
}

}  // namespace
}  // namespace tolvane::present
