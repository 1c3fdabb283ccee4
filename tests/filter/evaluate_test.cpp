// Evaluating parsed filters on rows: connective precedence and grouping,
// missing operands, long filters and the dispatch of fields to columns.
#include <random>

#include "filter/matchers.h"
#include "filter_test_env.h"
#include "support/filter_oracle.h"
#include "support/node_config_writer.h"

namespace tolvane::testing {
namespace {

using EvaluateTest = FilterTest;

// A comparison that is true on the row of tag "T" exactly when `truth` is.
std::string Cmp(bool truth) {
  return truth ? R"(ASF_TAGNAME = "T")" : R"(ASF_TAGNAME = "F")";
}

bool Apply(const std::string& op, bool a, bool b) {
  if (op == "AND") return a && b;
  if (op == "OR") return a || b;
  return !(a || b);  // NOR
}

int Level(const std::string& op) {
  return op == "AND" ? 3 : op == "OR" ? 2 : 1;
}

TEST_F(EvaluateTest, EveryPairOfConnectivesGroupsByPrecedenceThenFromTheRight) {
  const std::string ops[] = {"AND", "OR", "NOR"};
  RowBuilder row;
  row.Tag("T");
  for (const std::string& op1 : ops) {
    for (const std::string& op2 : ops) {
      for (int bits = 0; bits < 8; ++bits) {
        bool a = bits & 1, b = bits & 2, c = bits & 4;
        bool expected = Level(op1) > Level(op2) ? Apply(op2, Apply(op1, a, b), c)
                                                : Apply(op1, a, Apply(op2, b, c));
        std::string filter = Cmp(a) + " " + op1 + " " + Cmp(b) + " " + op2 + " " + Cmp(c);
        Parsed p(filter);
        ASSERT_EQ(p.ok, 1) << filter;
        EXPECT_EQ(p.Match(*row), expected ? 1 : 0) << filter;
      }
    }
  }
}

TEST_F(EvaluateTest, NotAppliesToTheNextComparisonOnly) {
  const std::string ops[] = {"AND", "OR", "NOR"};
  RowBuilder row;
  row.Tag("T");
  for (const std::string& op : ops) {
    for (int bits = 0; bits < 4; ++bits) {
      bool a = bits & 1, b = bits & 2;
      Parsed before("NOT " + Cmp(a) + " " + op + " " + Cmp(b));
      EXPECT_EQ(before.Match(*row), Apply(op, !a, b) ? 1 : 0) << op << bits;
      Parsed after(Cmp(a) + " " + op + " NOT " + Cmp(b));
      EXPECT_EQ(after.Match(*row), Apply(op, a, !b) ? 1 : 0) << op << bits;
      Parsed grouped("NOT (" + Cmp(a) + " " + op + " " + Cmp(b) + ")");
      EXPECT_EQ(grouped.Match(*row), Apply(op, a, b) ? 0 : 1) << op << bits;
    }
  }
}

TEST_F(EvaluateTest, PostfixOrder) {
  using filter::PostfixText;
  EXPECT_EQ(PostfixText("0+1*2"), "0 1 2 * +");
  EXPECT_EQ(PostfixText("0*1+2"), "0 1 * 2 +");
  EXPECT_EQ(PostfixText("0-1-2"), "0 1 2 - -");
  EXPECT_EQ(PostfixText("(0-1)-2"), "0 1 - 2 -");
  EXPECT_EQ(PostfixText("!0*1"), "0 ! 1 *");
  // A second NOT outputs the first one at once.
  EXPECT_EQ(PostfixText("!!0"), "! 0 !");
  // A ')' with no '(' stops popping; a '(' never closed reaches the output.
  EXPECT_EQ(PostfixText("0)+(1"), "0 1 ( +");
  EXPECT_EQ(PostfixText("9+10*11"), "9 10 11 * +");
}

TEST_F(EvaluateTest, MissingOperandsCountAsFalseAndTheLastValueDecides) {
  RowBuilder row;
  row.Tag("T");
  EXPECT_EQ(Parsed("AND " + Cmp(true)).Match(*row), 0);
  EXPECT_EQ(Parsed("OR " + Cmp(true)).Match(*row), 1);
  EXPECT_EQ(Parsed("NOR " + Cmp(false)).Match(*row), 1);
  // Two comparisons without a connective: the later one decides.
  EXPECT_EQ(Parsed(Cmp(false) + " " + Cmp(true)).Match(*row), 1);
  EXPECT_EQ(Parsed(Cmp(true) + " " + Cmp(false)).Match(*row), 0);
  // NOT NOT x is NOT x: the first NOT finds no operand and pushes true.
  EXPECT_EQ(Parsed("NOT NOT " + Cmp(true)).Match(*row), 0);
}

TEST_F(EvaluateTest, ParenthesesGroupAndAStrayClosingOneIsHarmless) {
  RowBuilder t1, t2, t3;
  t1.Tag("T1");
  t2.Tag("T2");
  t3.Tag("T3");
  Parsed p(R"(ASF_TAGNAME = "T1") OR (ASF_TAGNAME = "T2")");
  ASSERT_EQ(p.ok, 1);
  EXPECT_EQ(p.Match(*t1), 1);
  EXPECT_EQ(p.Match(*t2), 1);
  EXPECT_EQ(p.Match(*t3), 0);

  Parsed g(R"(ASF_TAGNAME = "T3" AND (ASF_TAGNAME = "T1" OR ASF_TAGNAME = "T3"))");
  EXPECT_EQ(g.Match(*t3), 1);
  EXPECT_EQ(g.Match(*t1), 0);
}

TEST_F(EvaluateTest, AnExpressionWithUnbalancedParenthesesPassesNoRow) {
  // The ')' inside the value balances the filter text but not the expression.
  Parsed p(R"~(((ASF_TAGNAME = "a)b"))~");
  ASSERT_EQ(p.ok, 1);
  EXPECT_EQ(p.Expr(), "((0)");
  RowBuilder row;
  row.Tag("A)B");
  EXPECT_EQ(p.f.EvaluateTerm(p.f.GetAt(0), &*row), 1);
  EXPECT_EQ(p.Match(*row), 0);
}

TEST_F(EvaluateTest, MoreThanTenComparisonsEachCount) {
  std::string any, all, none;
  for (int i = 0; i < 12; ++i) {
    std::string cmp = R"(ASF_TAGNAME = "T)" + std::to_string(i) + "\"";
    any += (i ? " OR " : "") + cmp;
    none += (i ? " " : "") + cmp;
    all += (i ? " AND " : "") + std::string(R"(ASF_TAGNAME <> "X)" + std::to_string(i) + "\"");
  }
  Parsed pAny(any), pNone(none), pAll(all);
  ASSERT_EQ(pAny.ok, 1);
  EXPECT_EQ(pAny.Expr(), "0+1+2+3+4+5+6+7+8+9+10+11");
  EXPECT_EQ(pNone.Expr(), "01234567891011");
  for (int i = 0; i < 13; ++i) {
    RowBuilder row;
    row.Tag("T" + std::to_string(i));
    EXPECT_EQ(pAny.Match(*row), i < 12 ? 1 : 0) << i;
    // Without connectives only the last comparison (index 11) decides.
    EXPECT_EQ(pNone.Match(*row), i == 11 ? 1 : 0) << i;
    RowBuilder x;
    x.Tag("X" + std::to_string(i));
    EXPECT_EQ(pAll.Match(*x), i < 12 ? 0 : 1) << i;
  }
}

TEST_F(EvaluateTest, ManyTermsDeeplyNested) {
  // 40 comparisons alternating AND/OR inside nested parentheses.
  std::string filter;
  for (int i = 0; i < 40; ++i) filter += "(";
  for (int i = 0; i < 40; ++i) {
    if (i) filter += (i % 2) ? " AND " : " OR ";
    filter += R"(ASF_TAGNAME <> "Q)" + std::to_string(i) + "\")";
  }
  Parsed p(filter);
  ASSERT_EQ(p.ok, 1);
  RowBuilder row;
  row.Tag("Z");
  EXPECT_EQ(p.Match(*row), 1);
  row.Tag("Q39");  // the last comparison is false; the one before it is an AND with it
  EXPECT_EQ(p.Match(*row), 0);
}

int WalkEverything(Parsed& p, tagAlarmStr& row) {
  return MatchByComparingEverything(p.f, p.expression.data(), &row);
}

TEST_F(EvaluateTest, StoppingEarlyAgreesWithComparingEverything) {
  const std::vector<std::string> pieces = {R"(ASF_TAGNAME = "T*")",
                                           R"(ASF_TAGNAME <> "?1")",
                                           R"(ASF_ACK = "Acknowledged")",
                                           R"(ASF_PRIORITY >= "HIGH")",
                                           R"(ASF_DESCRIPTION CONTAINING "*LOW*")",
                                           R"(ASF_NODE IN "N1,N2")",
                                           "AND",
                                           "and",
                                           "OR",
                                           "NOR",
                                           "NOT",
                                           "NOT(",
                                           "(",
                                           ")",
                                           R"((ASF_TAGNAME = "X1")",
                                           R"(ASF_ACK = "Unacknowledged"))"};
  std::vector<RowBuilder> rows(6);
  const char* tags[] = {"T1", "X1", "T2", "X2", "T11", "Q"};
  const char* priorities[] = {"LOW", "HIGH", "CRITICAL"};
  const char* descriptions[] = {"LEVEL LOW", "FLOW HIGH"};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].Tag(tags[i]).Acked(i % 2).Priority(priorities[i % 3]);
    rows[i].Description(descriptions[i % 2]).Node(i % 3 ? "N1" : "N3");
  }
  std::mt19937 rng(20261208);
  int parsed = 0, passes = 0, fails = 0;
  for (int i = 0; i < 6000; ++i) {
    std::string text;
    int n = 1 + static_cast<int>(rng() % 9);
    for (int k = 0; k < n; ++k) text += (k ? " " : "") + pieces[rng() % pieces.size()];
    Parsed p(text);
    if (!p.ok) continue;
    ++parsed;
    for (RowBuilder& row : rows) {
      int got = p.Match(*row);
      ASSERT_EQ(got, WalkEverything(p, *row))
          << text << " | " << p.Expr() << " | " << row.row.tagName;
      (got ? passes : fails)++;
    }
  }
  EXPECT_GT(parsed, 1000);
  EXPECT_GT(passes, 1000);
  EXPECT_GT(fails, 1000);
}

TEST_F(EvaluateTest, ARowStopsBeingComparedOnceItsOutcomeIsKnown) {
  // The date order is read when a date is first compared. A row that fails
  // the tag never reaches the date, so the order in force at the next row is
  // the one used.
  SettingsSandbox box;
  box.WriteFile("win.ini", "[intl]\nsShortDate=d/M/yyyy\nsDate=/\n");
  Parsed p(R"(ASF_TAGNAME = "T" AND ASF_DATEIN >= "2/1/2008")");
  ASSERT_EQ(p.ok, 1);
  RowBuilder other, row;
  other.Tag("X").DateIn("1/12/2008");
  row.Tag("T").DateIn("1/12/2008");
  EXPECT_EQ(p.Match(*other), 0);
  box.WriteFile("win.ini", "[intl]\nsShortDate=M/d/yyyy\nsDate=/\n");
  EXPECT_EQ(p.Match(*row), 0);  // 12 January is before 1 February; read day first it is not
}

TEST_F(EvaluateTest, TensOfThousandsOfConnectivesDoNotExhaustTheStack) {
  std::string chain;
  for (int i = 0; i < 20000; ++i) chain += (i ? " AND " : "") + Cmp(true);
  std::string nots;
  for (int i = 0; i < 20001; ++i) nots += "NOT ";
  nots += Cmp(true);
  RowBuilder row;
  row.Tag("T");
  Parsed all(chain), negated(nots);
  ASSERT_EQ(all.ok, 1);
  ASSERT_EQ(negated.ok, 1);
  EXPECT_EQ(all.Match(*row), 1);
  EXPECT_EQ(negated.Match(*row), WalkEverything(negated, *row));
}

TEST_F(EvaluateTest, EachFieldReadsItsOwnColumn) {
  RowBuilder row;
  row.Tag("TAGCOL")
      .Node("NODECOL")
      .Areas("AREACOL")
      .Priority("HIGH")
      .Description("DESCCOL")
      .Ext1("EXT1COL")
      .Ext2("EXT2COL")
      .DateIn("3/1/2008")
      .DateLast("4/1/2008")
      .TimeIn("10:00:00")
      .TimeLast("11:00:00")
      .Acked(true);
  node::field_block::Init(row.row.fieldBlock);
  for (int i = 0; i < 8; ++i)
    node::field_block::SetText(row.row.fieldBlock, i, "F" + std::to_string(i + 1));
  struct Expect {
    const char* field;
    const char* op;
    const char* value;
  };
  const Expect cases[] = {
      {"ASF_TAGNAME", "=", "TAGCOL"},
      {"ASF_NODE", "IN", "NODECOL"},
      {"ASF_AREA", "IN", "AREACOL"},
      {"ASF_PRIORITY", "=", "HIGH"},
      {"ASF_DESCRIPTION", "CONTAININGONLY", "DESCCOL"},
      {"ASF_ALMEXT1", "CONTAININGONLY", "EXT1COL"},
      {"ASF_ALMEXT2", "CONTAININGONLY", "EXT2COL"},
      {"ASF_TIMEIN", "=", "10:00:00"},
      {"ASF_TIMELAST", "=", "11:00:00"},
      {"ASF_ACK", "=", "Acknowledged"},
      {"ASF_FLEX1", "=", "F1"},
      {"ASF_FLEX5", "=", "F5"},
      {"ASF_FLEX8", "=", "F8"},
  };
  AlarmFilter f;
  for (const Expect& e : cases) {
    FilterTerm t = Term(e.field, e.op, e.value);
    EXPECT_EQ(f.EvaluateTerm(&t, &*row), 1) << e.field;
    FilterTerm wrong = Term(e.field, e.op, "OTHER");
    EXPECT_EQ(f.EvaluateTerm(&wrong, &*row), 0) << e.field;
  }
  FilterTerm unknown = Term("ASF_BOGUS", "=", "x");
  EXPECT_EQ(f.EvaluateTerm(&unknown, &*row), 1);
}

TEST_F(EvaluateTest, DateOrderIsReadOncePerFilterObject) {
  SettingsSandbox box;
  box.WriteFile("win.ini", "[intl]\nsShortDate=M/d/yyyy\nsDate=/\n");
  RowBuilder row;
  row.DateIn("1/3/2008");
  Parsed p(R"(ASF_DATEIN >= "3/1/2008")");
  ASSERT_EQ(p.ok, 1);
  EXPECT_EQ(p.Match(*row), 0);  // 3 January is before 1 March
  box.WriteFile("win.ini", "[intl]\nsShortDate=d/M/yyyy\nsDate=/\n");
  // Same call (same filter object): the order read at the first row holds.
  EXPECT_EQ(p.Match(*row), 0);
  // A new call reads the new order: 1 March is after 3 January.
  Parsed again(R"(ASF_DATEIN >= "3/1/2008")");
  EXPECT_EQ(again.Match(*row), 1);
}

}  // namespace
}  // namespace tolvane::testing
