#include "text/dictionary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "nodeconfig/node_config.h"
#include "platform/notice.h"
#include "text/alarm_tables.h"
#include "text/text_env.h"
#include "tolvane/result_codes.h"

namespace tolvane {
namespace {

using testing::TextEnv;

std::string Text(DictTable* table, short id, short* rc = nullptr) {
  char buf[64];
  short r = fls_get_dct_text(table, buf, id, sizeof buf);
  if (rc) *rc = r;
  return buf;
}

// Every built-in text, as operators see it when no dictionary file exists.
TEST(BuiltInTables, HoldEveryTextVerbatimUnderItsId) {
  const std::vector<std::pair<short, const char*>> procAlm = {
      {0, "OK  "},        {1793, "LOLO"},     {1796, "HIHI"},     {1538, "LO  "},
      {1539, "HI  "},     {1541, "RATE"},     {1798, "COS "},     {1799, "CFN "},
      {1288, "DEV "},     {2185, "FLT "},     {267, "DSAB"},      {2060, "ERROR"},
      {2061, "ANY"},      {2062, "NEW"},      {1807, "TIME"},     {4288, "IOF     "},
      {4289, "OCD     "}, {4162, "UNDER   "}, {4163, "OVER    "}, {4292, "RANGE   "},
      {4293, "COMM    "}, {4294, "DEVICE  "}, {4295, "STATION "}, {4296, "ACCESS  "},
      {1808, "SQL LOGI"}, {1553, "SQL CMD "}, {1298, "DAT MATC"}, {1043, "FLD READ"},
      {1044, "FLD WRIT"}, {4297, "NO DATA"},  {4298, "NO XDATA"}};
  const std::vector<std::pair<short, const char*>> pri7 = {
      {3, "CRITICAL"}, {4, "HIHI"},   {8, "LOLO"}, {9, "INFO"},
      {5, "HIGH"},     {6, "MEDIUM"}, {7, "LOW"}};
  const std::vector<std::pair<short, const char*>> prio = {{0, "HIGH"}, {1, "MEDIUM"}, {2, "LOW"}};
  const std::vector<std::pair<short, const char*>> msgType = {
      {0, "UNKNOWN    "},  {1, "ALARM      "},  {2, "HARDWARE   "},  {3, "NETWORK    "},
      {4, "SYSALERT   "},  {5, "USER       "},  {6, "ACKNOWLEDGE"},  {7, "DELETE     "},
      {8, "OPERATOR   "},  {9, "RECIPE     "},  {10, "EVENT      "}, {11, "TEXT       "},
      {12, "6XTXT      "}, {13, "AAM        "}, {14, "SQL        "}, {15, "ESIGNATURE "}};
  const std::vector<std::pair<short, const char*>> prefix = {
      {0, "WARNING-"}, {1, "ERROR-"},          {2, "STATUS-"},
      {3, "FATAL-"},   {4, "MENU LOAD ERROR"}, {5, "FLS ERROR "}};
  const std::vector<std::pair<short, const char*>> flsText = {
      {0, "TEXT ERROR"},
      {1, "Maximum opened TEXT files exceeded"},
      {2, "Unable to open file"},
      {3, "Error reading file"},
      {4, "Attempt to use or close an unopened file"},
      {5, "Message number out-of-range"},
      {6, "Message not available for number"},
      {7, "File ID out-of-range"},
      {8, "Memory allocation"},
      {9, "Can't open file"},
      {10, "Reading menu file"},
      {11, "Wrong GOV file version."},
      {12, "**UNKNOWN**"}};
  const std::vector<std::pair<short, const char*>> titles = {{32, "Alarm File Service"},
                                                             {16, "Alarm Summary Service"},
                                                             {0, "Alarm Network Service"},
                                                             {1, "Alarm Printer 1"},
                                                             {2, "Alarm Printer 2"},
                                                             {4, "Alarm Printer 3"},
                                                             {8, "Alarm Printer 4"},
                                                             {64, "Alarm History Service"},
                                                             {4096, "Alarm Startup Queue Service"},
                                                             {128, "Alarm ODBC Service"}};

  struct Case {
    DictTable* table;
    const char* key;
    const std::vector<std::pair<short, const char*>>* rows;
  };
  for (const Case& c : {Case{dctcomn_proc_alm_table(), "dctcomn proc_alm", &procAlm},
                        Case{dctcomn_almpri7_table(), "dctcomn almpri7", &pri7},
                        Case{dctcomn_almprio_table(), "dctcomn almprio", &prio},
                        Case{dctcomn_almmsgtype_table(), "dctcomn almmsgtype", &msgType},
                        Case{flsglob_prefix_table(), "flsglob prefix", &prefix},
                        Case{flsglob_text_table(), "flsglob text", &flsText},
                        Case{varn_dct_alm_titles_table(), "varn_dct alm_titles", &titles}}) {
    SCOPED_TRACE(c.key);
    EXPECT_STREQ(c.table->key, c.key);
    // Rows in the defined order, then the terminator.
    const DictEntry* e = c.table->Entries();
    for (const auto& [id, text] : *c.rows) {
      EXPECT_EQ(+e->id, id);
      EXPECT_STREQ(e->text, text);
      ++e;
    }
    EXPECT_EQ(+e->kind, 0);
    EXPECT_STREQ(e->text, "");
    EXPECT_EQ(+e->id, -1);
  }
}

TEST(DictionaryLookup, FindsByIdAndGivesStarQuestionStarOtherwise) {
  short rc = -1;
  EXPECT_EQ(Text(dctcomn_proc_alm_table(), 1796, &rc), "HIHI");
  EXPECT_EQ(rc, kOk);
  EXPECT_EQ(Text(dctcomn_proc_alm_table(), 5, &rc), "*?*");
  EXPECT_EQ(rc, kFailed);
  EXPECT_EQ(Text(flsglob_text_table(), 12), "**UNKNOWN**");
  EXPECT_EQ(Text(flsglob_text_table(), 13), "*?*");
  EXPECT_EQ(Text(dctcomn_almpri7_table(), 0), "*?*");
  EXPECT_EQ(Text(dctcomn_proc_alm_table(), -1), "*?*") << "the terminator is no entry";
  EXPECT_EQ(dctcomn_proc_alm_table()->state, kDictLoaded);

  EXPECT_STREQ(fls_find_dct_text(varn_dct_alm_titles_table(), 4096), "Alarm Startup Queue Service");
  EXPECT_EQ(fls_find_dct_text(varn_dct_alm_titles_table(), 3), nullptr);
  EXPECT_EQ(fls_find_dct_text(nullptr, 3), nullptr);
  EXPECT_EQ(fls_get_dct_text(nullptr, nullptr, 3, 0), kFailed);
}

TEST(DictionaryLookup, CopiesWithinTheDestinationSize) {
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(fls_get_dct_text(dctcomn_almpri7_table(), buf, 3, 5), kOk);
  EXPECT_STREQ(buf, "CRIT");
  EXPECT_EQ(buf[5], '#');
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(fls_get_dct_text(dctcomn_almpri7_table(), buf, 0, 3), kFailed);
  EXPECT_STREQ(buf, "*?");
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(fls_get_dct_text(dctcomn_almpri7_table(), buf, 3, 0), kOk);
  EXPECT_EQ(buf[0], '#') << "no room, nothing written";
}

// Own tables, so that each test's overlay is its own whatever ran before.
tolvane::DictTableStorage<5> MakeTable(const char* key) {
  return {{kDictNotLoaded, key, 0},
          {{1, "one", 1}, {1, "two", 2}, {1, "three", 3}, {1, "four", 0x0704}, {0, "", -1}}};
}

TEST(DictionaryOverlay, ReplacesTextsTheFileSuppliesAndKeepsTheOthers) {
  TextEnv env;
  env.WriteNls("tstovl_basic.DLL",
               "# overlay\n1=eins\n3 = \"drei  \"\n0x704=vier\n2=\n99=not in the table\n");
  auto table = MakeTable("tstovl basic");
  EXPECT_EQ(Text(&table.header, 1), "eins");
  EXPECT_EQ(Text(&table.header, 2), "two") << "an empty text keeps the built-in one";
  EXPECT_EQ(Text(&table.header, 3), "drei  ");
  EXPECT_EQ(Text(&table.header, 1796), "vier");
  EXPECT_EQ(Text(&table.header, 99), "*?*");
  EXPECT_EQ(+table.entries[4].id, -1);
  EXPECT_STREQ(table.entries[4].text, "");
  EXPECT_EQ(+table.entries[0].kind, 1) << "kinds travel unchanged";
}

TEST(DictionaryOverlay, LoadsOnceAndNeverAgainEvenWhenTheFileChangesOrAppears) {
  TextEnv env;
  env.WriteNls("tstovl_once.DLL", "1=first\n");
  auto table = MakeTable("tstovl once");
  EXPECT_EQ(Text(&table.header, 1), "first");
  env.WriteNls("tstovl_once.DLL", "1=second\n");
  EXPECT_EQ(Text(&table.header, 1), "first");
  EXPECT_EQ(env.catalogue.OverlayAttempts(), 1u);

  auto missing = MakeTable("tstovl missing");
  EXPECT_EQ(Text(&missing.header, 1), "one");
  env.WriteNls("tstovl_missing.DLL", "1=late\n");
  EXPECT_EQ(Text(&missing.header, 1), "one") << "a missing file is not looked for again";
  EXPECT_EQ(env.catalogue.OverlayAttempts(), 2u);
}

TEST(DictionaryOverlay, ATableLoadedWithNoCatalogueServiceKeepsItsBuiltInTexts) {
  auto table = MakeTable("tstovl noservice");
  EXPECT_EQ(Text(&table.header, 1), "one");
  TextEnv env;
  env.WriteNls("tstovl_noservice.DLL", "1=later\n");
  EXPECT_EQ(Text(&table.header, 1), "one");
  EXPECT_EQ(env.catalogue.OverlayAttempts(), 0u);
}

TEST(DictionaryOverlay, OverlaidTextsOutliveTheCatalogueService) {
  auto table = MakeTable("tstovl outlive");
  {
    TextEnv env;
    env.WriteNls("tstovl_outlive.DLL", "2=zwei\n");
    EXPECT_EQ(Text(&table.header, 2), "zwei");
  }
  EXPECT_EQ(Text(&table.header, 2), "zwei");
}

TEST(DictionaryOverlay, ConcurrentFirstLookupsLoadOnceAndAllSeeTheOverlay) {
  TextEnv env;
  env.WriteNls("tstovl_race.DLL", "3=drei\n");
  auto table = MakeTable("tstovl race");
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&] {
      start.arrive_and_wait();
      if (Text(&table.header, 3) != "drei") ++wrong;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(env.catalogue.OverlayAttempts(), 1u);
}

// Records the paths the library asks to overlay.
class PathRecorder : public TextCatalogueBackend {
 public:
  int OverlayDictionary(DictEntry*, const char* path) override {
    paths.push_back(path);
    return 1;
  }
  int Open(const char*, int*) override { return 0; }
  int Get(int, int, char*, int) override { return 0; }
  int ModuleName(int, char*, int) override { return 0; }
  int Close(int) override { return 0; }
  std::vector<std::string> paths;
};

TEST(DictionaryOverlay, FileIsNamedFromTheKeysTwoWordsInTheNlsDirectory) {
  PathRecorder recorder;
  node::NodeVariables variables;
  testing::BackendGuard<TextCatalogueBackend, InstallTextCatalogueBackend> g1(&recorder);
  testing::BackendGuard<NodeVariablesBackend, InstallNodeVariablesBackend> g2(&variables);

  variables.Set("NLSPATH", "D:\\NLS");
  auto a = MakeTable("dctcomn proc_alm");
  fls_load_dct(&a.header);
  variables.Set("NLSPATH", "D:\\NLS\\");
  auto b = MakeTable("  dctcomn\tproc_alm  extra words");
  fls_load_dct(&b.header);
  variables.Set("NLSPATH", "/opt/nls/");
  auto c = MakeTable("flsglob text");
  fls_load_dct(&c.header);
  variables.Unset("NLSPATH");
  auto d = MakeTable("varn_dct alm_titles");
  fls_load_dct(&d.header);
  fls_load_dct(&d.header);

  EXPECT_EQ(recorder.paths, (std::vector<std::string>{
                                "D:\\NLS\\dctcomn_proc_alm.DLL", "D:\\NLS\\dctcomn_proc_alm.DLL",
                                "/opt/nls/flsglob_text.DLL", "varn_dct_alm_titles.DLL"}));
}

std::mutex g_noticeMutex;
std::vector<std::pair<std::string, unsigned>> g_notices;
void RecordNotice(const char* text, unsigned style) {
  std::lock_guard lock(g_noticeMutex);
  g_notices.emplace_back(text, style);
}

TEST(DictionaryOverlay, AMalformedKeyShowsTheInternalErrorOnceAndKeepsBuiltIns) {
  TextEnv env;
  env.WriteNls("flsglob.DLL", "1=never\n");
  g_notices.clear();
  NoticeHook previous = SetNoticeHook(&RecordNotice);
  auto oneWord = MakeTable("flsglob");
  EXPECT_EQ(Text(&oneWord.header, 1), "one");
  EXPECT_EQ(Text(&oneWord.header, 1), "one");
  auto blank = MakeTable("   ");
  EXPECT_EQ(Text(&blank.header, 2), "two");
  auto noKey = MakeTable(nullptr);
  EXPECT_EQ(Text(&noKey.header, 3), "three");
  SetNoticeHook(previous);

  ASSERT_EQ(g_notices.size(), 2u);
  EXPECT_EQ(g_notices[0].first,
            "FLS INTERNAL ERROR: BAD Dictionary header\n\r (flsglob)  Dictionary: ");
  EXPECT_EQ(g_notices[0].second, MB_ICONWARNING);
  EXPECT_EQ(g_notices[1].first, "FLS INTERNAL ERROR: BAD Dictionary header\n\r ()  Dictionary: ");
  EXPECT_EQ(+oneWord.header.state, kDictLoaded);
  EXPECT_EQ(+noKey.header.state, kDictNotLoaded) << "a table without a key is never loaded";
  EXPECT_EQ(env.catalogue.OverlayAttempts(), 0u);
}

TEST(DictionaryOverlay, TheShippedExampleFileOverlaysMessageTypes) {
  TextEnv env;
  env.variables.Set("NLSPATH", TOLVANE_SOURCE_DIR "/data/nls");
  tolvane::DictTableStorage<3> table = {
      {kDictNotLoaded, "dctcomn almmsgtype", 0},
      {{3, "OPERATOR   ", 8}, {3, "ESIGNATURE ", 15}, {0, "", -1}}};
  std::string op = Text(&table.header, 8);
  EXPECT_NE(op, "OPERATOR   ");
  EXPECT_EQ(op.size(), 11u) << "the example keeps the column width";
}

}  // namespace
}  // namespace tolvane
