// The tolvane program driven end to end: each test runs the built binary.
#include "tools/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "program_runner.h"

namespace tolvane::cli {
namespace {

using nlohmann::json;
using testing::ProgramResult;
using testing::ReadFile;
using testing::RunProgram;
using testing::TempDir;
using testing::WriteFile;

// A small plant store, written by the program itself.
class PlantFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = (dir_ / "plant.db").string();
    ProgramResult r =
        RunProgram({"demo", "--out", path_, "--nodes", "3", "--tags", "90", "--seed", "11"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }

  ProgramResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), {"--node", path_});
    return RunProgram(args);
  }

  json ListJson(const std::string& filter = "") {
    std::vector<std::string> args = {"list", "--format", "json"};
    if (!filter.empty()) args.insert(args.end(), {"--filter", filter});
    ProgramResult r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return json::parse(r.out);
  }

  // The store as its exchange document.
  json File() {
    ProgramResult r = RunProgram({"export", path_});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return json::parse(r.out);
  }

  static std::string Reference(const json& alarm) {
    return alarm["letter"].get<std::string>() + std::to_string(alarm["number"].get<int>()) +
           alarm["node"].get<std::string>();
  }

  // References of the file's alarms (not operator messages) that satisfy `pred`.
  template <class Pred>
  std::set<std::string> FileAlarms(Pred pred) {
    std::set<std::string> out;
    json file_ = File();
    for (const json& a : file_["alarms"]) {
      if (a.value("type", 1) != 8 && pred(a)) out.insert(Reference(a));
    }
    return out;
  }

  static std::set<std::string> Refs(const json& page) {
    std::set<std::string> out;
    for (const json& a : page["alarms"]) {
      if (!a["reference"].get<std::string>().empty()) out.insert(a["reference"]);
    }
    return out;
  }

  std::string FirstNewReference() {
    json file_ = File();
    for (const json& a : file_["alarms"]) {
      if (a.value("type", 1) != 8 && !a["acknowledged"].get<bool>() && a["status"] != 0) {
        return Reference(a);
      }
    }
    return "";
  }

  TempDir dir_;
  std::string path_;
};

TEST_F(PlantFileTest, ListFormatsAgreeWithEachOtherAndWithTheFile) {
  json page = ListJson();
  std::size_t inFile = File()["alarms"].size();
  EXPECT_EQ(page["shown"], inFile);
  EXPECT_EQ(page["total"], inFile);
  ASSERT_EQ(page["alarms"].size(), inFile);

  ProgramResult table = Run({"list"});
  ASSERT_EQ(table.exitCode, 0) << table.err;
  EXPECT_NE(table.out.find("Ack  Time in"), std::string::npos);
  std::string footer = std::to_string(inFile) + " of " + std::to_string(inFile) + " matched, " +
                       std::to_string(inFile) + " in the summary\n";
  EXPECT_TRUE(table.out.ends_with(footer)) << table.out;
  EXPECT_EQ(table.out.find("\x1b["), std::string::npos) << "no colour into a pipe";
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), static_cast<long>(inFile) + 2);

  ProgramResult csv = Run({"list", "--format", "csv"});
  ASSERT_EQ(csv.exitCode, 0) << csv.err;
  EXPECT_TRUE(csv.out.starts_with("acknowledged,reference,"));
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), static_cast<long>(inFile) + 1);

  ProgramResult colored = Run({"--color", "always", "list", "--count", "3"});
  EXPECT_NE(colored.out.find("\x1b["), std::string::npos);
  EXPECT_TRUE(colored.out.ends_with("3 of " + std::to_string(inFile) + " matched, " +
                                     std::to_string(inFile) + " in the summary\n"));
}

TEST_F(PlantFileTest, RowsDecodeToTheAlarmsOfTheFile) {
  json page = ListJson();
  std::map<std::string, json> byRef;
  for (const json& a : page["alarms"]) byRef[a["reference"]] = a;
  static const std::map<std::string, std::string> kStatusText = {
      {"0", "OK"},      {"1539", "HI"},  {"1538", "LO"}, {"1796", "HIHI"},
      {"1793", "LOLO"}, {"1798", "COS"}, {"2185", "FLT"}};
  int checked = 0;
  json file_ = File();
  for (const json& a : file_["alarms"]) {
    if (a.value("type", 1) == 8) continue;
    auto it = byRef.find(Reference(a));
    ASSERT_NE(it, byRef.end()) << Reference(a);
    const json& row = it->second;
    EXPECT_EQ(row["tag"], a["tag"]);
    EXPECT_EQ(row["node"], a["node"]);
    EXPECT_EQ(row["priority"], a["priority"]);
    EXPECT_EQ(row["acknowledged"], a["acknowledged"]);
    EXPECT_EQ(row["description"], a["description"]);
    EXPECT_EQ(row["statusCode"], a["status"]);
    auto st = kStatusText.find(std::to_string(a["status"].get<int>()));
    if (st != kStatusText.end()) {
      EXPECT_EQ(row["status"], st->second);
    }
    if (a["value"].contains("text")) {
      EXPECT_EQ(row["value"], a["value"]["text"]);
    }
    ++checked;
  }
  EXPECT_GT(checked, 20);
}

TEST_F(PlantFileTest, FiltersSelectExactlyTheMatchingAlarms) {
  auto critical = FileAlarms([](const json& a) { return a["priority"] == "CRITICAL"; });
  ASSERT_FALSE(critical.empty());
  EXPECT_EQ(Refs(ListJson("ASF_PRIORITY = \"CRITICAL\"")), critical);

  auto plant2 = FileAlarms([](const json& a) { return a["node"] == "PLANT2"; });
  ASSERT_FALSE(plant2.empty());
  EXPECT_EQ(Refs(ListJson("ASF_NODE IN \"PLANT2\"")), plant2);

  auto fi = FileAlarms([](const json& a) { return a["tag"].get<std::string>().starts_with("FI"); });
  auto newHigh = FileAlarms(
      [](const json& a) { return !a["acknowledged"].get<bool>() && a["priority"] == "HIGH"; });
  EXPECT_EQ(Refs(ListJson("ASF_TAGNAME = \"FI*\"")), fi);
  EXPECT_EQ(Refs(ListJson("ASF_ACK = \"Unacknowledged\" AND ASF_PRIORITY = \"HIGH\"")), newHigh);
}

TEST_F(PlantFileTest, AckIsSavedToTheFileAndLogged) {
  std::string ref = FirstNewReference();
  ASSERT_FALSE(ref.empty());
  std::size_t logBefore = File()["operatorLog"].size();
  ProgramResult r = Run({"ack", ref});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Acknowledged " + ref), std::string::npos);

  json page_ = ListJson();

  for (const json& a : page_["alarms"]) {
    if (a["reference"] == ref) {
      EXPECT_TRUE(a["acknowledged"].get<bool>());
    }
  }
  json file = File();
  for (const json& a : file["alarms"]) {
    if (a.value("type", 1) != 8 && Reference(a) == ref) {
      EXPECT_TRUE(a["acknowledged"].get<bool>());
    }
  }
  for (const json& b : file["blocks"]) {
    if (Reference(b) == ref) {
      EXPECT_EQ(b["fields"]["B_NALM"], 0);
    }
  }
  ASSERT_EQ(file["operatorLog"].size(), logBefore + 1);
  EXPECT_NE(file["operatorLog"].back()["text"].get<std::string>().find("acknowledged"),
            std::string::npos);

  // Quiet: acknowledged without an operator message. Node names in a
  // reference match without regard to case.
  std::string next = FirstNewReference();
  ASSERT_FALSE(next.empty());
  std::string lower = next;
  for (std::size_t i = 1; i < lower.size(); ++i)
    lower[i] = static_cast<char>(std::tolower(lower[i]));
  ProgramResult quiet = Run({"ack", "--quiet", lower});
  ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
  EXPECT_EQ(quiet.out.rfind("Acknowledged " + next + " (", 0), 0u) << quiet.out;
  EXPECT_TRUE(Refs(ListJson("ASF_ACK = \"Acknowledged\"")).count(next));
  EXPECT_EQ(File()["operatorLog"].size(), logBefore + 1);
}

TEST_F(PlantFileTest, MarkAckAndDeleteActOnOneAlarm) {
  std::string ref = FirstNewReference();
  ASSERT_FALSE(ref.empty());
  ASSERT_EQ(Run({"mark-ack", ref}).exitCode, 0);
  json file_ = File();
  for (const json& b : file_["blocks"]) {
    // Marked in the summary only: the database still calls it new.
    if (Reference(b) == ref) {
      EXPECT_EQ(b["fields"]["B_NALM"], 1);
    }
  }
  EXPECT_TRUE(Refs(ListJson("ASF_ACK = \"Acknowledged\"")).count(ref));

  std::size_t before = ListJson()["shown"];
  ProgramResult del = Run({"delete", ref});
  ASSERT_EQ(del.exitCode, 0) << del.err;
  json after = ListJson();
  EXPECT_FALSE(Refs(after).count(ref));
  // The block is still in alarm, so no operator message joins the summary.
  EXPECT_EQ(after["shown"].get<std::size_t>(), before - 1);
}

TEST_F(PlantFileTest, AckAllWithAFilterLeavesOtherNodesAlone) {
  auto otherNew = FileAlarms(
      [](const json& a) { return a["node"] != "PLANT2" && !a["acknowledged"].get<bool>(); });
  auto plant2New = FileAlarms(
      [](const json& a) { return a["node"] == "PLANT2" && !a["acknowledged"].get<bool>(); });
  ASSERT_FALSE(otherNew.empty());
  ASSERT_FALSE(plant2New.empty());
  ProgramResult r = Run({"ack", "--all", "--filter", "ASF_NODE IN \"PLANT2\""});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("of " + std::to_string(plant2New.size()) + " new alarms"), std::string::npos)
      << r.out;
  // Every new PLANT2 alarm is acknowledged, or gone when it was back to normal.
  EXPECT_TRUE(Refs(ListJson("ASF_NODE IN \"PLANT2\" AND ASF_ACK = \"Unacknowledged\"")).empty());
  auto stillNew = Refs(ListJson("ASF_ACK = \"Unacknowledged\""));
  EXPECT_EQ(stillNew, otherNew);
}

TEST_F(PlantFileTest, RemoveByReferenceAndRemoveAll) {
  auto refs = FileAlarms([](const json&) { return true; });
  ASSERT_GE(refs.size(), 3u);
  std::string a = *refs.begin(), b = *std::next(refs.begin());
  ProgramResult r = Run({"remove", a, b});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto left = Refs(ListJson());
  EXPECT_FALSE(left.count(a));
  EXPECT_FALSE(left.count(b));
  EXPECT_EQ(left.size(), refs.size() - 2);

  auto low = FileAlarms([](const json& x) { return x["priority"] == "LOW"; });
  low.erase(a);
  low.erase(b);
  ProgramResult lowRun = Run({"remove", "--all", "--filter", "ASF_PRIORITY = \"LOW\""});
  ASSERT_EQ(lowRun.exitCode, 0) << lowRun.err;
  EXPECT_EQ(lowRun.out, "Removed " + std::to_string(low.size()) + " of " +
                            std::to_string(low.size()) + " selected alarms\n");
  EXPECT_EQ(Refs(ListJson()).size(), refs.size() - 2 - low.size());

  std::size_t remaining = Refs(ListJson()).size();
  ProgramResult all = Run({"remove", "--all"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  // Operator messages are not alarms, neither before nor after the removal.
  EXPECT_EQ(all.out, "Removed " + std::to_string(remaining) + " of " + std::to_string(remaining) +
                         " selected alarms\n");
  // Operator messages are left alone, not tried and refused one by one.
  EXPECT_EQ(all.err.find("Invalid Handle"), std::string::npos) << all.err;
  ProgramResult again = Run({"remove", "--all"});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, "Removed 0 alarms: 0 selected\n");
  // Only operator messages stay: they have no reference to remove them by.
  json page_ = ListJson();
  for (const json& row : page_["alarms"]) {
    EXPECT_EQ(row["reference"], "");
  }
}

TEST_F(PlantFileTest, UnknownReferenceFailsAndChangesNothing) {
  json before = File();
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"ack", "Z999NOWHERE"},
                                             {"delete", "Q1PLANT1"},
                                             {"mark-ack", "A1NOSUCH"},
                                             {"remove", FirstNewReference(), "Z1NOWHERE"}}) {
    ProgramResult r = Run(args);
    EXPECT_EQ(r.exitCode, kExitUnknownReference) << args[0];
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("no alarm has the reference"), std::string::npos) << r.err;
  }
  EXPECT_EQ(File(), before);
}

TEST_F(PlantFileTest, StateRoundTripsThroughTheFile) {
  json before = File();
  ASSERT_EQ(Run({"horn", "off"}).exitCode, 0);
  json after = File();
  EXPECT_EQ(after["horn"]["enabled"], false);
  // Nothing else changes: blocks, nodes and every alarm come back as they were
  // (relative times are written back as absolute ones; compare them as times).
  EXPECT_EQ(after["blocks"], before["blocks"]);
  EXPECT_EQ(after["nodes"], before["nodes"]);
  ASSERT_EQ(after["alarms"].size(), before["alarms"].size());
  for (std::size_t i = 0; i < before["alarms"].size(); ++i) {
    json a = before["alarms"][i], b = after["alarms"][i];
    for (const char* k : {"timeIn", "timeLast"}) {
      a.erase(k);
      b.erase(k);
    }
    EXPECT_EQ(a, b) << i;
  }
  ProgramResult horn = Run({"horn", "status"});
  EXPECT_EQ(horn.out, "Horn: disabled\n");
  // A second switch to the same state changes nothing but the journal.
  json once = File();
  ASSERT_EQ(Run({"horn", "off"}).exitCode, 0);
  json twice = File();
  EXPECT_EQ(twice["operatorLog"].size(), once["operatorLog"].size() + 1);
  once.erase("operatorLog");
  twice.erase("operatorLog");
  EXPECT_EQ(twice, once);
}

TEST_F(PlantFileTest, BrokenFilesAreReportedAndNeverOverwritten) {
  std::string full = ReadFile(path_);
  std::string half = full.substr(0, full.size() / 2);
  WriteFile(path_, half);
  ProgramResult r = Run({"ack", "--all"});
  EXPECT_EQ(r.exitCode, kExitNodeFileInvalid) << r.err;
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("plant.db"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(path_), half);

  // A JSON document is not a store: the error says how to make one.
  std::string jsonPath = (dir_ / "plant.json").string();
  WriteFile(jsonPath, "{\"format\": \"tolvane-plant\"}\n");
  r = RunProgram({"--node", jsonPath, "horn", "on"});
  EXPECT_EQ(r.exitCode, kExitNodeFileInvalid);
  EXPECT_NE(r.err.find("tolvane import"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(jsonPath), "{\"format\": \"tolvane-plant\"}\n");

  // Import reports the place of what it refuses and writes nothing.
  WriteFile(jsonPath,
            "{\"alarms\": [\n  {\"tag\": \"T\", \"letter\": \"A\", \"number\": 1,\n"
            "   \"timeIn\": \"2026-02-30T00:00:00Z\"}]}");
  std::string store = (dir_ / "new.db").string();
  r = RunProgram({"import", jsonPath, "--out", store});
  EXPECT_EQ(r.exitCode, kExitNodeFileInvalid);
  EXPECT_NE(r.err.find("line 3"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(store));

  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"plant.db", "plant.json"})) << "nothing else left";

  r = RunProgram({"--node", (dir_ / "missing.db").string(), "list"});
  EXPECT_EQ(r.exitCode, kExitNodeFileMissing);
  EXPECT_NE(r.err.find("No such file"), std::string::npos) << r.err;
}

TEST_F(PlantFileTest, ConcurrentUpdatesAreNotLost) {
  std::vector<std::string> refs;
  json file_ = File();
  for (const json& a : file_["alarms"]) {
    if (a.value("type", 1) != 8 && !a["acknowledged"].get<bool>() && a["status"] != 0) {
      refs.push_back(Reference(a));
    }
  }
  ASSERT_GE(refs.size(), 4u);
  refs.resize(4);
  std::vector<std::thread> runs;
  std::vector<int> codes(refs.size(), -1);
  for (std::size_t i = 0; i < refs.size(); ++i) {
    runs.emplace_back([&, i] { codes[i] = Run({"ack", "--quiet", refs[i]}).exitCode; });
  }
  for (auto& t : runs) t.join();
  for (int c : codes) {
    EXPECT_EQ(c, 0);
  }
  auto acked = Refs(ListJson("ASF_ACK = \"Acknowledged\""));
  for (const std::string& r : refs) {
    EXPECT_TRUE(acked.count(r)) << r;
  }
}

TEST(ProgramTest, BadFiltersAreExplained) {
  ProgramResult r = RunProgram({"check", "ASF_TAGNAME = \"T1\" "});
  EXPECT_EQ(r.exitCode, kExitBadFilter);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("invalid filter: white space after the last value"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("^"), std::string::npos);

  r = RunProgram({"list", "--filter", "asf_tagname = \"T1\""});
  EXPECT_EQ(r.exitCode, kExitBadFilter);
  EXPECT_TRUE(r.out.empty());
  EXPECT_NE(r.err.find("at column 1"), std::string::npos) << r.err;

  r = RunProgram({"ack", "--all", "--filter", "(ASF_TAGNAME = \"T1\""});
  EXPECT_EQ(r.exitCode, kExitBadFilter);

  r = RunProgram({"check", "(ASF_TAGNAME = \"T1\") OR ASF_ACK = \"Acknowledged\""});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "valid\n");
}

TEST(ProgramTest, BadArgumentsAreUsageErrors) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"list", "--count", "abc"},
                                                                {"list", "--count", "-2"},
                                                                {"list", "--page", "0"},
                                                                {"list", "--page", "2"},
                                                                {"list", "--sort", "0"},
                                                                {"list", "--sort", "-14"},
                                                                {"list", "--format", "xml"},
                                                                {"horn", "loud"},
                                                                {"ack"},
                                                                {"ack", "A1X", "--all"},
                                                                {"ack", "A1X", "--filter", "x"},
                                                                {"frobnicate"}}) {
    ProgramResult r = RunProgram(args);
    EXPECT_EQ(r.exitCode, kExitUsage) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_FALSE(r.err.empty());
  }
}

TEST(ProgramTest, DemoPlantListAndStatus) {
  ProgramResult r = RunProgram({"list", "--count", "10", "--sort", "-1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("10 of "), std::string::npos);

  r = RunProgram({"status"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("CVeltAlmSummMgr.m_uiObjectCount = 1"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("CVeltAlmSummMgr.m_uiClientHandleCount = 1"), std::string::npos);
  EXPECT_NE(r.out.find("Local node:       PLANT1 (aliases N1, LOCAL)"), std::string::npos);

  r = RunProgram({"stats", "--format", "json"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json stats = json::parse(r.out);
  EXPECT_EQ(stats["byPriority"].size(), 7u);
  for (const auto& [name, n] : stats["byPriority"].items()) {
    EXPECT_GT(n.get<int>(), 0) << name;
  }
  EXPECT_GE(stats["floods"].size(), 1u) << "the demo plant has a flood";
  EXPECT_GE(stats["stale"].size(), 1u) << "and alarms older than a day";
  EXPECT_EQ(stats["new"].get<int>() + stats["acknowledged"].get<int>(), stats["alarms"]);

  r = RunProgram({"log"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_TRUE(r.out.ends_with("5 operator messages\n")) << r.out;
}

TEST(ProgramTest, DemoFilesAreDeterministicForASeed) {
  TempDir dir;
  auto write = [&](const std::string& name, const std::string& seed) {
    ProgramResult r = RunProgram({"demo", "--out", (dir / name).string(), "--seed", seed, "--tags",
                                  "60", "--relative-times"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return ReadFile(dir / name);
  };
  std::string a = write("a.json", "5"), b = write("b.json", "5"), c = write("c.json", "6");
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

TEST(ProgramTest, WatchStopsAfterItsIterations) {
  ProgramResult r = RunProgram(
      {"watch", "--simulate", "200", "--iterations", "4", "--interval", "20", "--count", "5"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto frames = 0;
  for (std::size_t p = 0; (p = r.out.find("--- sequence ", p)) != std::string::npos; ++p) ++frames;
  EXPECT_GE(frames, 2) << "the simulator changes the queue between refreshes";
  EXPECT_LE(frames, 4);
  EXPECT_NE(r.out.find("simulated: "), std::string::npos);

  r = RunProgram({"watch", "--seconds", "0.2", "--interval", "20"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto quiet = 0;
  for (std::size_t p = 0; (p = r.out.find("--- sequence ", p)) != std::string::npos; ++p) ++quiet;
  EXPECT_EQ(quiet, 1) << "without changes the view is drawn once";
}

TEST_F(PlantFileTest, OnlyCanonicalReferencesReachTheLibrary) {
  std::string ref = FirstNewReference();
  ASSERT_FALSE(ref.empty());
  // The number after the letter, and the node name after the number.
  std::size_t digits = ref.find_first_not_of("0123456789", 1);
  std::string letter = ref.substr(0, 1), number = ref.substr(1, digits - 1),
              node = ref.substr(digits);
  json before = File();
  for (const std::string& bad :
       {letter + std::to_string(std::stoi(number) + 65536) + node, ref + " junk",
        letter + "+" + number + node, letter + "0" + number + node, letter + " " + number + node,
        letter + number, ref + "X12345678"}) {
    for (const char* verb : {"ack", "mark-ack", "delete"}) {
      ProgramResult r = Run({verb, bad});
      EXPECT_EQ(r.exitCode, kExitUnknownReference) << verb << " " << bad;
      EXPECT_NE(r.err.find("is not an alarm reference"), std::string::npos) << r.err;
    }
  }
  EXPECT_EQ(File(), before) << "nothing acted on " << ref;
  // Node names are matched without case.
  std::string lower = node;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ProgramResult r = Run({"ack", letter + number + lower});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("Acknowledged " + ref), std::string::npos) << r.out;
}

TEST_F(PlantFileTest, ShelvedAlarmsLeaveTheSummaryAndComeBack) {
  std::string ref = FirstNewReference();
  std::size_t shown = ListJson()["alarms"].size();
  ProgramResult r = Run({"--user", "erin", "shelve", ref, "--for", "2h", "--reason", "valve swap"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  json page = ListJson();
  EXPECT_EQ(page["alarms"].size(), shown - 1);
  EXPECT_FALSE(Refs(page).count(ref));
  ProgramResult shelved = Run({"list", "--shelved", "--format", "json"});
  ASSERT_EQ(shelved.exitCode, 0) << shelved.err;
  json s = json::parse(shelved.out);
  ASSERT_EQ(s["count"], 1);
  EXPECT_EQ(s["shelved"][0]["reference"], ref);
  EXPECT_EQ(s["shelved"][0]["by"], "erin");
  json stats = json::parse(Run({"stats", "--format", "json"}).out);
  EXPECT_EQ(stats["shelved"], 1);

  EXPECT_EQ(Run({"shelve", ref, "--for", "soon"}).exitCode, kExitUsage);
  EXPECT_EQ(Run({"unshelve", ref}).exitCode, 0);
  EXPECT_TRUE(Refs(ListJson()).count(ref));
  EXPECT_EQ(Run({"unshelve", ref}).exitCode, kExitFailed) << "not shelved any more";

  // The journal says who did what.
  ProgramResult log = Run({"log", "--format", "json", "--since", "-1h"});
  ASSERT_EQ(log.exitCode, 0) << log.err;
  json entries = json::parse(log.out)["messages"];
  auto shelving = std::find_if(entries.begin(), entries.end(), [](const json& e) {
    return e["text"].get<std::string>().find("valve swap") != std::string::npos;
  });
  ASSERT_NE(shelving, entries.end()) << log.out;
  EXPECT_EQ((*shelving)["user"], "erin");
  EXPECT_EQ(json::parse(Run({"log", "--format", "json", "--until", "-1h"}).out)["count"],
            json::parse(Run({"log", "--format", "json"}).out)["count"].get<int>() -
                static_cast<int>(entries.size()));
}

TEST_F(PlantFileTest, FiltersComeFromFilesAndStandardInputAndOptionsAnywhere) {
  std::string filter = "ASF_NODE IN \"PLANT2\"";
  WriteFile(dir_ / "f.txt", filter + "\n");
  json direct = ListJson(filter);
  ProgramResult fromFile =
      Run({"list", "--format", "json", "--filter", "@" + (dir_ / "f.txt").string()});
  ASSERT_EQ(fromFile.exitCode, 0) << fromFile.err;
  EXPECT_EQ(json::parse(fromFile.out), direct);
  // Global options after the subcommand.
  ProgramResult after =
      RunProgram({"list", "--format", "json", "--filter", filter, "--node", path_});
  ASSERT_EQ(after.exitCode, 0) << after.err;
  EXPECT_EQ(json::parse(after.out), direct);

  ProgramResult missing = Run({"list", "--filter", "@" + (dir_ / "none.txt").string()});
  EXPECT_EQ(missing.exitCode, kExitUsage);
  EXPECT_TRUE(missing.err.starts_with("tolvane: error: ")) << missing.err;

  ProgramResult version = RunProgram({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_TRUE(version.out.starts_with("tolvane ")) << version.out;
  ProgramResult usage = RunProgram({"list", "--count", "x"});
  EXPECT_TRUE(usage.err.starts_with("tolvane: error: ")) << usage.err;
}

TEST_F(PlantFileTest, ExportAndImportKeepThePlant) {
  json doc = File();
  doc["site"] = {{"name", "north"}};
  doc["alarms"][0]["note"] = "kept";
  WriteFile(dir_ / "in.json", doc.dump(1));
  std::string store = (dir_ / "copy.db").string();
  ProgramResult r = RunProgram({"import", (dir_ / "in.json").string(), "--out", store});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ProgramResult again = RunProgram({"import", (dir_ / "in.json").string(), "--out", store});
  EXPECT_EQ(again.exitCode, kExitSaveFailed) << "an existing store is not replaced";
  ProgramResult back = RunProgram({"export", store});
  ASSERT_EQ(back.exitCode, 0) << back.err;
  json out = json::parse(back.out);
  EXPECT_EQ(out["site"], doc["site"]);
  EXPECT_EQ(out["alarms"][0]["note"], "kept");
  EXPECT_EQ(out["alarms"].size(), doc["alarms"].size());

  // Two alarms on one block would become one: refused.
  doc["alarms"].push_back(doc["alarms"][0]);
  WriteFile(dir_ / "dup.json", doc.dump(1));
  r = RunProgram({"import", (dir_ / "dup.json").string(), "--out", (dir_ / "dup.db").string()});
  EXPECT_EQ(r.exitCode, kExitNodeFileInvalid);
  EXPECT_NE(r.err.find("duplicates"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace tolvane::cli
