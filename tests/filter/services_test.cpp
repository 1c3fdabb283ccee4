// The outside services the filter and the operator messages use: shims with
// and without a backend, and the node's backends behind them.
#include <fstream>

#include "filter_test_env.h"
#include "node/summary_queue.h"
#include "services/borvik.h"
#include "services/quinthe.h"
#include "services/resources.h"
#include "services/tessmer.h"
#include "support/node_config_writer.h"

namespace tolvane::testing {
namespace {

TEST(ServicesDown, EveryShimAnswersLikeAServiceThatIsDown) {
  EXPECT_EQ(GetResourceManager(), nullptr);
  EXPECT_EQ(borvik_send_opmsg("text", "N1", 0), -1);
  char value[160];
  std::memset(value, 'x', sizeof value);
  short type = 5, e1 = 5, e2 = 5;
  uint8_t block[170] = {1, 0};
  EXPECT_EQ(borvik_get_flex_value(block, 0, value, &type, &e1, &e2), -1);
  EXPECT_EQ(type, 0);
  EXPECT_EQ(value[0], '\0');
  EXPECT_EQ(value[159], '\0');
  char name[9] = "XXXXXXXX";
  short status = 0;
  quinthe_get_local_node(name);
  EXPECT_STREQ(name, "");
  quinthe_get_local_alias1(&status, name);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(CTessmer::Create(28), nullptr);
}

// A backend that fills every byte it is given and names longer than 8.
class Overfilling : public AlarmLibraryBackend, public NodeServicesBackend {
 public:
  short SendOperatorMessage(const char*, const char*, int) override { return 0; }
  short GetFlexValue(const void*, short, char* value, short* type, short*, short*) override {
    std::memset(value, 'Z', kFlexValueSize);
    *type = 8;
    return 0;
  }
  short GetLocalNode(std::string* n) override { return *n = "VERYLONGNODENAME", 0; }
  short GetLocalAlias1(std::string* n) override { return *n = "ALIAS1", 7; }
  short GetLocalAlias2(std::string* n) override { return *n = "ALIAS2", 0; }
};

TEST(ServicesShims, OutputsStayWithinTheirBuffers) {
  Overfilling b;
  InstallAlarmLibraryBackend(&b);
  InstallNodeServicesBackend(&b);
  char value[161];
  value[160] = '#';
  short type = 0;
  uint8_t block[170] = {};
  EXPECT_EQ(borvik_get_flex_value(block, 0, value, &type, nullptr, nullptr), 0);
  EXPECT_EQ(type, 8);
  EXPECT_EQ(std::strlen(value), 159u);
  EXPECT_EQ(value[160], '#');
  char name[10];
  name[9] = '#';
  quinthe_get_local_node(name);
  EXPECT_STREQ(name, "VERYLONG");
  EXPECT_EQ(name[9], '#');
  short status = 0;
  quinthe_get_local_alias1(&status, name);
  EXPECT_EQ(status, 7);
  EXPECT_STREQ(name, "");  // a failed lookup gives no name
  InstallAlarmLibraryBackend(nullptr);
  InstallNodeServicesBackend(nullptr);
}

TEST(ResourceStringsTest, ShippedFileHoldsTheBuiltInEnglishStrings) {
  node::ResourceStrings fromFile;
  fromFile.RemoveModule(node::kTolvaneResModule);
  ASSERT_TRUE(fromFile.LoadTranslation(std::string(TOLVANE_SOURCE_DIR) + "/data/TolvaneRes.txt"));
  for (unsigned int id = 1; id <= 19; ++id) {
    std::string text;
    ASSERT_TRUE(fromFile.LoadString("TolvaneRes.dll", id, &text)) << id;
    EXPECT_EQ(text, node::ResourceStrings::BuiltInText(id)) << id;
    EXPECT_FALSE(text.empty());
  }
  // Templates take exactly the arguments the operator messages give them.
  auto args = [](const std::string& s) {
    int n = 0;
    for (std::size_t p = 0; (p = s.find("%s", p)) != std::string::npos; p += 2) ++n;
    return n;
  };
  const int expected[] = {1, 1, 0, 2, 0};
  for (unsigned int id = 1; id <= 5; ++id) {
    EXPECT_EQ(args(node::ResourceStrings::BuiltInText(id)), expected[id - 1]) << id;
  }
}

TEST(ResourceStringsTest, TranslationReplacesTheStringsItNames) {
  SettingsSandbox box;
  box.WriteFile("de.txt", "# Deutsch\n13=HOCH\n18 = \"Quittiert \"\n");
  node::ResourceStrings res;
  InstallResourceBackend(&res);
  CVeltResourceManager* rm = GetResourceManager();
  ASSERT_NE(rm, nullptr);
  ASSERT_TRUE(res.LoadTranslation(box.Path("de.txt")));
  std::string text = "old";
  EXPECT_EQ(rm->LoadStringA("tolvaneres.DLL", 13, &text), 4);
  EXPECT_EQ(text, "HOCH");
  rm->LoadStringA("TolvaneRes.dll", 18, &text);
  EXPECT_EQ(text, "Quittiert ");
  rm->LoadStringA("TolvaneRes.dll", 12, &text);
  EXPECT_EQ(text, "MEDIUM");
  // Unknown module or string: empty, and 0.
  EXPECT_EQ(rm->LoadStringA("Other.dll", 12, &text), 0);
  EXPECT_EQ(text, "");
  text = "old";
  EXPECT_EQ(rm->LoadStringA("TolvaneRes.dll", 99, &text), 0);
  EXPECT_EQ(text, "");
  EXPECT_FALSE(res.LoadTranslation(box.Path("missing.txt")));
  InstallResourceBackend(nullptr);
}

TEST(AlarmLibraryTest, OperatorMessagesReachTheQueueAndTheLog) {
  node::SummaryQueue queue;
  node::AlarmLibrary library(&queue);
  InstallAlarmLibraryBackend(&library);
  EXPECT_EQ(borvik_send_opmsg("Alarm T1 acknowledged", "N1", 0), 0);
  EXPECT_EQ(borvik_send_opmsg("All alarms removed", nullptr, 1), 0);
  library.faults().Inject("borvik_send_opmsg", 42, 1);
  EXPECT_EQ(borvik_send_opmsg("lost", nullptr, 1), 42);

  auto log = library.OperatorMessages();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].text, "Alarm T1 acknowledged");
  EXPECT_TRUE(log[0].hasNode);
  EXPECT_EQ(log[0].node, "N1");
  EXPECT_EQ(log[0].flag, 0);
  EXPECT_FALSE(log[1].hasNode);
  EXPECT_EQ(log[1].flag, 1);
  EXPECT_LE(log[0].time, log[1].time);

  auto messages = queue.Snapshot();
  ASSERT_EQ(messages.size(), 2u);
  for (const SUMQMSG& m : messages) {
    int32_t type = m.almpak.msgType;  // packed field: read by value
    EXPECT_EQ(type, 8);
  }
  InstallAlarmLibraryBackend(nullptr);
}

TEST(AlarmLibraryTest, FieldBlockLayout) {
  namespace fb = node::field_block;
  uint8_t block[170];
  std::memset(block, 0xEE, sizeof block);
  fb::Init(block);
  fb::SetInt16(block, 2, 0x1234);
  fb::SetText(block, 7, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_EQ(block[0], 1);
  EXPECT_EQ(block[1], 0);
  EXPECT_EQ(block[2 + 2 * 21], 2);
  EXPECT_EQ(block[2 + 2 * 21 + 1], 0x34);
  EXPECT_EQ(block[2 + 2 * 21 + 2], 0x12);
  EXPECT_EQ(block[2 + 7 * 21], 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block + 2 + 7 * 21 + 1)), "ABCDEFGHIJKLMNOPQRS");
  EXPECT_EQ(block[169], 0);

  node::AlarmLibrary library;
  char value[160] = {};
  short type = 0;
  EXPECT_EQ(library.GetFlexValue(block, 2, value, &type, nullptr, nullptr), fb::kOk);
  EXPECT_EQ(type, 2);
  int16_t v;
  std::memcpy(&v, value, 2);
  EXPECT_EQ(v, 0x1234);
  EXPECT_EQ(library.GetFlexValue(block, 8, value, &type, nullptr, nullptr), fb::kBadIndex);
  EXPECT_EQ(library.GetFlexValue(block, -1, value, &type, nullptr, nullptr), fb::kBadIndex);
  block[0] = 0;
  EXPECT_EQ(library.GetFlexValue(block, 2, value, &type, nullptr, nullptr), fb::kNotFieldBlock);
}

TEST(AlarmAreasTest, AllAreaTextAndRefusal) {
  node::AlarmAreas areas;
  InstallAlarmAreasBackend(&areas);
  CTessmer* t = CTessmer::Create(28);
  ASSERT_NE(t, nullptr);
  std::string text;
  EXPECT_GE(t->GetNLSTextForALL(text), 0);
  EXPECT_EQ(text, "ALL");
  areas.faults().Inject("GetNLSTextForALL", 3, 1);
  text = "kept";
  EXPECT_LT(t->GetNLSTextForALL(text), 0);
  EXPECT_EQ(text, "kept");
  delete t;
  areas.faults().Inject("CTessmer", 1, 1);
  EXPECT_EQ(CTessmer::Create(28), nullptr);
  InstallAlarmAreasBackend(nullptr);
}

}  // namespace
}  // namespace tolvane::testing
