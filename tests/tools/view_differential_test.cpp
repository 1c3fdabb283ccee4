// Every count, list and bulk command against the store's own SQL answer, on
// a plant past every 16-bit count: 200,000 alarms on four nodes.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "plant/plant_loader.h"
#include "present/reference.h"
#include "program_runner.h"
#include "tolvane/alarm_view.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

using json = nlohmann::json;

// Past every 16-bit count either way; the sanitizer build, several times
// slower, runs the same checks on a smaller plant within its time.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kAlarms = 80000;
#else
constexpr int kAlarms = 200000;
#endif

// A filter and the same selection in SQL over the store's alarms table.
struct Selection {
  const char* filter;
  const char* where;
};

const Selection kSelections[] = {
    {"", "1"},
    {R"(ASF_PRIORITY = "CRITICAL")", "priority = 3"},
    {R"(ASF_PRIORITY >= "HIGH")", "priority IN (3, 4, 5)"},
    {R"(ASF_PRIORITY < "MEDIUM")", "priority IN (7, 8, 9)"},
    {R"(ASF_PRIORITY <= "MEDIUM")", "priority IN (6, 7, 8, 9)"},
    {R"(ASF_ACK = "Unacknowledged")", "acknowledged = 0"},
    {R"(ASF_ACK = "Acknowledged")", "acknowledged = 1"},
    {R"(ASF_NODE IN "PLANT2")", "upper(node) = 'PLANT2'"},
    {R"(ASF_NODE IN "plant1,UTILS")", "upper(node) IN ('PLANT1', 'UTILS')"},
    {R"(ASF_TAGNAME = "LAH*")", "tag LIKE 'LAH%'"},
    {R"(ASF_TAGNAME = "FIC1*")", "tag LIKE 'FIC1%'"},
    {R"(ASF_TAGNAME = "*9")", "tag LIKE '%9'"},
    {R"(ASF_DESCRIPTION CONTAINING "PRESSURE")", "description LIKE '%PRESSURE%'"},
    // The store keeps an alarm's areas one to a line.
    {R"(ASF_AREA IN "REACTOR")", "char(10) || areas || char(10) LIKE '%' || char(10) || 'REACTOR' || char(10) || '%'"},
    {R"(ASF_PRIORITY = "CRITICAL" AND ASF_ACK = "Unacknowledged")",
     "priority = 3 AND acknowledged = 0"},
    {R"(ASF_NODE IN "NODE04" AND ASF_PRIORITY >= "HIHI")",
     "upper(node) = 'NODE04' AND priority IN (3, 4)"},
    {R"(ASF_TAGNAME = "TIC*" OR ASF_TAGNAME = "PIC*")", "(tag LIKE 'TIC%' OR tag LIKE 'PIC%')"},
    {R"(ASF_DESCRIPTION CONTAINING "LOW" AND NOT ASF_ACK = "Acknowledged")",
     "description LIKE '%LOW%' AND acknowledged = 0"},
    {R"(ASF_PRIORITY <> "LOW" AND ASF_NODE IN "UTILS")", "priority <> 7 AND upper(node) = 'UTILS'"},
    {R"(ASF_DESCRIPTION CONTAINING "TANK" OR ASF_PRIORITY = "INFO")",
     "(description LIKE '%TANK%' OR priority = 9)"},
};

// Read-only SQL on the store file: the independent truth.
class Truth {
 public:
  explicit Truth(const std::string& path) {
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr);
  }
  ~Truth() { sqlite3_close(db_); }

  // References of the alarms (not operator messages) `where` selects.
  std::set<std::string> Refs(const std::string& where) {
    std::set<std::string> out;
    Each("SELECT letter, number, node FROM alarms WHERE type <> 8 AND (" + where + ")",
         [&](sqlite3_stmt* s) {
           present::AlarmRef r;
           r.letter = reinterpret_cast<const char*>(sqlite3_column_text(s, 0))[0];
           r.number = static_cast<int16_t>(sqlite3_column_int(s, 1));
           r.node = reinterpret_cast<const char*>(sqlite3_column_text(s, 2));
           out.insert(present::FormatReference(r));
         });
    return out;
  }
  int64_t Count(const std::string& where) {
    int64_t n = -1;
    Each("SELECT count(*) FROM alarms WHERE type <> 8 AND (" + where + ")",
         [&](sqlite3_stmt* s) { n = sqlite3_column_int64(s, 0); });
    return n;
  }

 private:
  template <class F>
  void Each(const std::string& sql, F f) {
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db_) << "\n" << sql;
    while (sqlite3_step(s) == SQLITE_ROW) f(s);
    sqlite3_finalize(s);
  }
  sqlite3* db_ = nullptr;
};

class ViewDifferentialTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    master_ = (*dir_ / "master.db").string();
    ProgramResult r =
        RunProgram({"demo", "--out", master_, "--nodes", "4", "--alarms",
                    std::to_string(kAlarms), "--seed", "5"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static TempDir* dir_;
  static std::string master_;
};

TempDir* ViewDifferentialTest::dir_ = nullptr;
std::string ViewDifferentialTest::master_;

std::set<std::string> ViewRefs(AlarmView& view) {
  std::set<std::string> out;
  EXPECT_EQ(view.ForEach(5000,
                         [&](tagAlarmStr* rows, std::size_t n) {
                           for (std::size_t i = 0; i < n; ++i) {
                             if (rows[i].reference[0] != '\0') {
                               out.insert(std::string(FieldText(rows[i].reference)));
                             }
                           }
                           return true;
                         }),
            kOk);
  return out;
}

TEST_F(ViewDifferentialTest, EveryFilterInEveryOrderCountsAndListsWhatTheStoreHolds) {
  Truth truth(master_);
  ASSERT_EQ(truth.Count("1"), kAlarms);
  node::EmbeddedNode node;
  std::string err;
  ASSERT_TRUE(plant::LoadPlantFile(master_, node, &err)) << err;
  for (const Selection& sel : kSelections) {
    SCOPED_TRACE(sel.filter);
    std::set<std::string> expected = truth.Refs(sel.where);
    ASSERT_GT(expected.size(), 0u);
    std::size_t unacknowledged =
        static_cast<std::size_t>(truth.Count(std::string("(") + sel.where + ") AND acknowledged = 0"));
    for (long sort : {1L, -3L, 5L}) {
      SCOPED_TRACE(sort);
      AlarmView view(sort, sel.filter);
      AlarmViewCounts c;
      ASSERT_EQ(view.Count(&c), kOk);
      EXPECT_EQ(c.alarms, expected.size());
      EXPECT_EQ(c.unacknowledged, unacknowledged);
      if (sort == -3) {
        EXPECT_EQ(ViewRefs(view), expected);
      }
    }
  }
}

TEST_F(ViewDifferentialTest, ProgramListsCountsAndActsOnExactlyWhatTheStoreSelects) {
  TempDir run;
  std::string path = (run / "plant.db").string();
  std::filesystem::copy_file(master_, path);
  Truth truth(path);
  for (const Selection& sel : {kSelections[1], kSelections[12], kSelections[15]}) {
    SCOPED_TRACE(sel.filter);
    int64_t n = truth.Count(sel.where);
    ProgramResult list =
        RunProgram({"--node", path, "list", "--format", "csv", "--filter", sel.filter});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    // Operator messages pass some filters too: count the alarms' lines.
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = list.out.find("\r\n", at)) != std::string::npos; at += 2) ++lines;
    ProgramResult stats =
        RunProgram({"--node", path, "stats", "--format", "json", "--filter", sel.filter});
    ASSERT_EQ(stats.exitCode, 0) << stats.err;
    json st = json::parse(stats.out);
    EXPECT_EQ(st["alarms"].get<int64_t>(), n);
    EXPECT_EQ(static_cast<int64_t>(lines) - 1, n + st["operatorMessages"].get<int64_t>());
  }
  // A page past the 16-bit counts, by page number and after a reference.
  ProgramResult page = RunProgram({"--node", path, "list", "--format", "json", "--count", "10",
                                   "--page", std::to_string(kAlarms / 10 - 1000)});
  ASSERT_EQ(page.exitCode, 0) << page.err;
  json p = json::parse(page.out);
  EXPECT_EQ(p["alarms"].size(), 10u);
  EXPECT_EQ(p["matched"], kAlarms + 5);  // and the demo's operator messages

  // Acknowledge what one filter selects: exactly those, and nothing else.
  const Selection& ack = kSelections[14];  // critical and new
  std::set<std::string> before = truth.Refs("acknowledged = 0");
  std::set<std::string> selected = truth.Refs(ack.where);
  ProgramResult a = RunProgram({"--node", path, "ack", "--all", "--quiet", "--filter", ack.filter});
  ASSERT_EQ(a.exitCode, 0) << a.err;
  EXPECT_NE(a.out.find("of " + std::to_string(selected.size()) + " new alarms"), std::string::npos)
      << a.out;
  EXPECT_EQ(truth.Count(ack.where), 0);
  std::set<std::string> after = truth.Refs("acknowledged = 0");
  std::set<std::string> stillNew;
  std::set_difference(before.begin(), before.end(), selected.begin(), selected.end(),
                      std::inserter(stillNew, stillNew.end()));
  EXPECT_EQ(after, stillNew) << "acknowledged only what the filter selected";
  // Again: nothing selected is success.
  ProgramResult again =
      RunProgram({"--node", path, "ack", "--all", "--quiet", "--filter", ack.filter});
  ASSERT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(again.out, "Acknowledged 0 new alarms: 0 selected\n");

  // Remove one node's alarms: exactly those go.
  const Selection& rm = kSelections[7];
  int64_t all = truth.Count("1"), gone = truth.Count(rm.where);
  ProgramResult r = RunProgram({"--node", path, "remove", "--all", "--quiet", "--filter", rm.filter});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Removed " + std::to_string(gone) + " of " + std::to_string(gone) +
                       " selected alarms\n");
  EXPECT_EQ(truth.Count(rm.where), 0);
  EXPECT_EQ(truth.Count("1"), all - gone);

  // Everything else, unfiltered.
  ProgramResult every = RunProgram({"--node", path, "ack", "--all", "--quiet"});
  ASSERT_EQ(every.exitCode, 0) << every.err;
  EXPECT_EQ(truth.Count("acknowledged = 0"), 0);
}

}  // namespace
}  // namespace tolvane::testing
