// Area, node, tag, text and flex matchers, and the list splitting they use.
#include "filter/matchers.h"
#include "filter_test_env.h"

namespace tolvane::testing {
namespace {

using filter::ListSplitter;
using filter::NextNodeItem;

class TextMatchers : public FilterTest {
 protected:
  int Area(const char* op, const char* value, const char* areas) {
    FilterTerm t = Term("ASF_AREA", op, value);
    return filter::MatchArea(&t, areas);
  }
  int Node(const char* op, const char* value, const char* node) {
    FilterTerm t = Term("ASF_NODE", op, value);
    return filter::MatchNode(&t, node);
  }
  int Tag(const char* op, const char* value, const char* tag) {
    FilterTerm t = Term("ASF_TAGNAME", op, value);
    return filter::MatchTagName(&t, tag);
  }
  int Text(const char* op, const char* value, const char* column) {
    FilterTerm t = Term("ASF_DESCRIPTION", op, value);
    return filter::MatchText(&t, column);
  }
  int Flex(int index, const char* op, const char* value) {
    FilterTerm t = Term("ASF_FLEX1", op, value);
    return filter::MatchFlex(index, &t, block);
  }

  uint8_t block[170] = {};
};

std::vector<std::string> Split(std::string_view text) {
  std::vector<std::string> out;
  ListSplitter s(text, ',');
  for (std::string_view tok; s.Next(tok);) out.emplace_back(tok);
  return out;
}

std::vector<std::string> NodeItems(std::string_view value) {
  std::vector<std::string> out;
  std::string_view rest = value, item;
  while (NextNodeItem(rest, item)) out.emplace_back(item);
  out.emplace_back(rest);
  return out;
}

TEST_F(TextMatchers, ListsSplitAsOperatorsTypeThem) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Split("A1,A2"), (V{"A1", "A2"}));
  EXPECT_EQ(Split("A1, A2"), (V{"A1", " A2"}));  // tokens are not trimmed
  EXPECT_EQ(Split(R"("A,1",B)"), (V{R"("A,1")", "B"}));
  EXPECT_EQ(Split(R"("A,1)"), (V{R"("A,1)"}));
  EXPECT_EQ(Split(""), (V{""}));
  EXPECT_EQ(Split("A,"), (V{"A", ""}));

  EXPECT_EQ(NodeItems("N1, N2"), (V{"N1", "N2"}));
  EXPECT_EQ(NodeItems("N1 ,N2"), (V{"N1 ", "N2"}));  // trailing white space stays
  EXPECT_EQ(NodeItems(R"("N1", "N2")"), (V{"N1", "N2"}));
  EXPECT_EQ(NodeItems(R"(N"1,N2)"), (V{"N", "N2"}));
  EXPECT_EQ(NodeItems("N1"), (V{"N1"}));
}

TEST_F(TextMatchers, AreaMembership) {
  EXPECT_EQ(Area("IN", "A1,A2", "A2"), 1);
  EXPECT_EQ(Area("IN", "A1, A2", "A2"), 0);  // " A2" is not "A2"
  EXPECT_EQ(Area("IN", "a1", "X,A1"), 1);    // without case
  EXPECT_EQ(Area("in", "A1", "A1"), 1);      // the word too
  EXPECT_EQ(Area("IN", "PL*", "PLANT1"), 1);
  EXPECT_EQ(Area("IN", "pl*", "PLANT1"), 0);  // wildcards keep case
  // "=" is not the membership word: it selects rows outside the area.
  EXPECT_EQ(Area("=", "A1", "A1"), 0);
  EXPECT_EQ(Area("=", "A1", "B1"), 1);
  EXPECT_EQ(Area("NOTIN", "A1", "B1,C1"), 1);
  // A row in the ALL area is in every area.
  EXPECT_EQ(Area("IN", "ANYTHING", "B1,all"), 1);
  EXPECT_EQ(Area("NOTIN", "ANYTHING", "ALL"), 0);
  EXPECT_EQ(Area("=", "ANYTHING", "ALL"), 0);
}

TEST_F(TextMatchers, AllAreaNameComesFromTheAlarmAreasAndIsRetriedUntilObtained) {
  areas.faults().Inject("GetNLSTextForALL", 5, 1);
  areas.SetAllText("TOUT");
  EXPECT_EQ(Area("IN", "A1", "TOUT"), 0);  // lookup failed: no ALL area yet
  EXPECT_EQ(Area("IN", "A1", "TOUT"), 1);
  areas.SetAllText("JEDER");
  EXPECT_EQ(Area("IN", "A1", "JEDER"), 0);  // obtained once, kept
  EXPECT_EQ(Area("IN", "A1", "TOUT"), 1);
}

TEST_F(TextMatchers, WithoutAnAlarmAreasObjectTheAllAreaIsCalledAll) {
  areas.faults().Inject("CTessmer", 1);
  areas.SetAllText("TOUT");
  EXPECT_EQ(Area("IN", "A1", "ALL"), 1);
  EXPECT_EQ(Area("IN", "A1", "TOUT"), 0);
}

TEST_F(TextMatchers, NodeLists) {
  EXPECT_EQ(Node("IN", "N1, N2", "N2"), 1);
  EXPECT_EQ(Node("IN", "N1 ,N2", "N1"), 0);
  EXPECT_EQ(Node("IN", "n1", "N1"), 1);  // items are upper-cased
  EXPECT_EQ(Node("IN", "N*", "n5"), 1);  // wildcards see the node upper-cased
  EXPECT_EQ(Node("IN", "N5", "n5"), 0);  // plain items compare with it as stored
  EXPECT_EQ(Node("NOTIN", "N1,N2", "N3"), 1);
  EXPECT_EQ(Node("=", "N1", "N1"), 0);  // "=" is not the membership word
  // The local name stands for its aliases.
  EXPECT_EQ(Node("IN", "LOCAL1", "ALIAS1"), 1);
  EXPECT_EQ(Node("IN", "N9,LOCAL1", "ALIAS2"), 1);
  EXPECT_EQ(Node("NOTIN", "LOCAL1", "ALIAS2"), 0);
  EXPECT_EQ(Node("IN", "ALIAS1", "LOCAL1"), 0);
}

TEST_F(TextMatchers, NodeItemsLongerThanANodeNameMatchNothing) {
  EXPECT_EQ(Node("IN", "ABCDEFGHI", "ABCDEFGH"), 0);
  EXPECT_EQ(Node("IN", "ABCDEFGH", "ABCDEFGH"), 1);
  EXPECT_EQ(Node("IN", "ABCDEFGH*", "ABCDEFGH"), 0);
  EXPECT_EQ(Node("IN", std::string(400, 'X').append(",N1").c_str(), "N1"), 1);
  EXPECT_EQ(Node("NOTIN", std::string(400, 'X').c_str(), "N1"), 1);
}

TEST_F(TextMatchers, LocalNamesAreReadOnceWhateverTheOutcome) {
  services.faults().Inject("quinthe_get_local_node", 3, 1);
  EXPECT_EQ(Node("IN", "LOCAL1", "ALIAS1"), 0);
  EXPECT_EQ(Node("IN", "LOCAL1", "ALIAS1"), 0);  // not asked again
}

TEST_F(TextMatchers, TagNames) {
  EXPECT_EQ(Tag("=", "PUMP*", "pump12"), 1);
  EXPECT_EQ(Tag("=", "PU?P", "PUMP"), 1);
  EXPECT_EQ(Tag("=", "PU?P", "PUMPS"), 0);
  EXPECT_EQ(Tag("<>", "PU?P", "PUMPS"), 1);
  EXPECT_EQ(Tag("=", "t1", "T1"), 1);
  EXPECT_EQ(Tag("<>", "T1", "t1"), 0);
  EXPECT_EQ(Tag(">", "A", "B"), 0);  // no order on tag names
  EXPECT_EQ(Tag("IN", "T1", "T1"), 0);
}

TEST_F(TextMatchers, ContainmentOnTexts) {
  EXPECT_EQ(Text("CONTAINING", "*LOW*", "LEVEL LOW ALARM"), 1);
  EXPECT_EQ(Text("CONTAINING", "LOW*", "LEVEL LOW ALARM"), 0);
  EXPECT_EQ(Text("CONTAINING", "low", "Level Low Alarm"), 1);
  EXPECT_EQ(Text("containing", "HIGH", "LEVEL LOW ALARM"), 0);
  EXPECT_EQ(Text("NOTCONTAINING", "HIGH", "LEVEL LOW ALARM"), 1);
  EXPECT_EQ(Text("NOTCONTAINING", "*LOW*", "LEVEL LOW ALARM"), 0);
  EXPECT_EQ(Text("CONTAININGONLY", "LEVEL LOW", "LEVEL LOW ALARM"), 0);
  EXPECT_EQ(Text("CONTAININGONLY", "level low alarm", "LEVEL LOW ALARM"), 1);
  EXPECT_EQ(Text("CONTAININGONLY", "LEVEL*", "LEVEL LOW ALARM"), 1);
  EXPECT_EQ(Text("=", "LEVEL LOW ALARM", "LEVEL LOW ALARM"), 0);  // symbols do not apply
  EXPECT_EQ(Text("IN", "LEVEL", "LEVEL"), 0);
}

TEST_F(TextMatchers, TextMatcherKeepsTheTermNormalised) {
  FilterTerm t = Term("ASF_DESCRIPTION", "containing", "low");
  EXPECT_EQ(filter::MatchText(&t, "Low level"), 1);
  EXPECT_STREQ(t.value, "LOW");
  EXPECT_STREQ(t.op, "CONTAINING");
  EXPECT_EQ(filter::MatchText(&t, "LOW LEVEL"), 1);
}

TEST_F(TextMatchers, TranslatedContainmentWordsApplyToTextsOnly) {
  resources.SetString(node::kTolvaneResModule, 8, "ENTHAELT");
  EXPECT_EQ(Text("ENTHAELT", "LOW", "LEVEL LOW"), 1);
  EXPECT_EQ(Text("CONTAINING", "LOW", "LEVEL LOW"), 0);
  node::field_block::Init(block);
  node::field_block::SetText(block, 0, "LEVEL LOW");
  EXPECT_EQ(Flex(0, "CONTAINING", "LOW"), 1);
  EXPECT_EQ(Flex(0, "ENTHAELT", "LOW"), 0);
}

TEST_F(TextMatchers, FlexValuesCompareAsTexts) {
  namespace fb = node::field_block;
  fb::Init(block);
  fb::SetInt16(block, 0, 10);
  fb::SetInt32(block, 1, -70000);
  fb::SetFloat(block, 2, 1.5f);
  fb::SetDouble(block, 3, 2.25);
  fb::SetText(block, 4, "Pump A");
  fb::SetType(block, 5, 7);
  EXPECT_EQ(Flex(0, ">", "9"), 0);  // "10" sorts before "9"
  EXPECT_EQ(Flex(0, "<", "9"), 1);
  EXPECT_EQ(Flex(0, "=", "10"), 1);
  EXPECT_EQ(Flex(0, "<>", "10"), 0);
  EXPECT_EQ(Flex(0, ">=", "10"), 0);  // no ">=" on flex values
  EXPECT_EQ(Flex(1, "=", "-70000"), 1);
  EXPECT_EQ(Flex(2, "=", "1.500000"), 1);
  EXPECT_EQ(Flex(3, "=", "2.250000"), 1);
  EXPECT_EQ(Flex(4, "=", "pump a"), 1);
  EXPECT_EQ(Flex(4, "CONTAINING", "UMP"), 1);
  EXPECT_EQ(Flex(4, "notcontaining", "UMP"), 0);
  EXPECT_EQ(Flex(4, "CONTAININGONLY", "P*A"), 1);
  // No text form, an unused field, or an unreadable block: empty text.
  EXPECT_EQ(Flex(5, "=", ""), 1);
  EXPECT_EQ(Flex(6, "=", ""), 1);
  library.faults().Inject("borvik_get_flex_value", 9, 1);
  EXPECT_EQ(Flex(0, "=", ""), 1);
  EXPECT_EQ(Flex(0, "=", "10"), 1);
  InstallAlarmLibraryBackend(nullptr);
  EXPECT_EQ(Flex(0, "=", ""), 1);
}

TEST_F(TextMatchers, FlexTextOfABlockHoldingExtensionTextsIsEmpty) {
  std::memset(block, 'A', sizeof block);
  block[0] = 0;  // kind 0: two extension texts, no fields
  block[1] = 0;
  std::string text = "unchanged";
  EXPECT_NE(filter::GetFlexText(block, 0, text), 0);
  EXPECT_EQ(text, "");
  node::field_block::Init(block);
  node::field_block::SetDouble(block, 7, -1e300);
  EXPECT_EQ(filter::GetFlexText(block, 7, text), 0);
  EXPECT_EQ(text.size(), 309u);  // "-1000...000.000000", nothing cut
  EXPECT_NE(filter::GetFlexText(block, 8, text), 0);
}

}  // namespace
}  // namespace tolvane::testing
