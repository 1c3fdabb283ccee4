// What the filter parser accepts, the expression it writes, and the
// diagnostic that explains a rejection.
#include <random>

#include "filter_test_env.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/filter_diagnostic.h"
#include "tolvane/result_codes.h"

namespace tolvane::testing {
namespace {

using ParseTest = FilterTest;

struct Case {
  const char* filter;
  int ok;
  const char* expression;  // when ok
};

TEST_F(ParseTest, AcceptsAndRejectsAsTheGrammarSays) {
  const Case cases[] = {
      {R"(ASF_TAGNAME = "T1")", 1, "0"},
      {R"(ASF_TAGNAME = "T1" )", 0, nullptr},  // white space after the last value
      {R"(asf_tagname = "T1")", 0, nullptr},   // field names are upper case only
      {"ASF_TAGNAME\t=\t\"T1\"", 0, nullptr},  // only the space separates tokens
      {R"(ASF_TAGNAME = "T1" and ASF_NODE = "N1")", 1, "0*1"},
      {R"(ASF_TAGNAME = "T1" And ASF_NODE = "N1")", 1, "0*1"},
      {R"(ASF_TAGNAME = "T1" OR ASF_NODE = "N1" nor ASF_ACK = "Acknowledged")", 1, "0+1-2"},
      {R"((ASF_TAGNAME = "T1"))", 1, "(0)"},
      {R"((ASF_TAGNAME = "T1")", 0, nullptr},  // unbalanced
      {R"(ASF_TAGNAME = "T1") OR (ASF_TAGNAME = "T2")", 1, "0)+(1"},
      {R"((ASF_TAGNAME = ""))", 1, "(0)"},  // empty value closed by ')'
      {R"(ASF_TAGNAME = "")", 0, nullptr},
      {R"(ASF_TAGNAME = "T1" ASF_PRIORITY = "HIGH")", 1, "01"},
      {R"(AND ASF_TAGNAME = "T1")", 1, "*0"},
      {R"((ASF_TAGNAME = "T1" ))", 0, nullptr},  // a lone ')' cannot end the text
      {R"((ASF_TAGNAME = "T1" ) OR ASF_TAGNAME = "T2")", 1, "(0)+1"},
      {R"~(ASF_TAGNAME = "PUMP(A)")~", 0, nullptr},  // '(' inside a value
      {R"(NOT(ASF_TAGNAME = "T1"))", 1, "!(0)"},
      {R"(((ASF_TAGNAME = "A" OR ASF_TAGNAME = "B") AND NOT ASF_NODE = "N"))", 1, "((0+1)*!2)"},
      {R"(ASF_DESCRIPTION CONTAINING "LEVEL LOW")", 1, "0"},
      {R"(ASF_NODE IN "N1,N2")", 1, "0"},
      {R"(ASF_AREA NOTIN "A1")", 1, "0"},
      {R"(ASF_TAGNAME containing "x")", 0, nullptr},  // operator words are exact
      {R"(ASF_TAGNAME == "x")", 0, nullptr},
      {R"(ASF_TAGNAME = "T1)", 0, nullptr},  // no closing quote
      {R"(ASF_TAGNAME = T1)", 0, nullptr},
      {R"(ASF_TAGNAME = "T1" AND)", 0, nullptr},
      {"   ", 0, nullptr},
      {"", 0, nullptr},
  };
  for (const Case& c : cases) {
    Parsed p(c.filter);
    EXPECT_EQ(p.ok, c.ok) << c.filter;
    if (c.ok) {
      EXPECT_EQ(p.Expr(), c.expression) << c.filter;
    } else {
      EXPECT_EQ(p.expression[0], '\0') << c.filter;
    }
  }
}

TEST_F(ParseTest, TermsHoldFieldOperatorAndUnquotedValue) {
  Parsed p(R"~(ASF_DESCRIPTION CONTAINING "Level low" OR ((ASF_TAGNAME <> "a)b"))~");
  ASSERT_EQ(p.ok, 1);
  ASSERT_EQ(p.f.GetCount(), 2);
  EXPECT_STREQ(p.f.GetAt(0)->field, "ASF_DESCRIPTION");
  EXPECT_STREQ(p.f.GetAt(0)->op, "CONTAINING");
  EXPECT_STREQ(p.f.GetAt(0)->value, "Level low");
  // A ')' inside the quotes moves the run of closing parentheses: one ')' is
  // taken off the end, the inner one stays in the value.
  EXPECT_STREQ(p.f.GetAt(1)->value, "a)b");
  EXPECT_EQ(p.Expr(), "0+((1)");
}

TEST_F(ParseTest, ValueLimitIs511CharactersOnEveryPath) {
  std::string v511(511, 'x'), v512(512, 'x');
  EXPECT_EQ(Parsed("ASF_TAGNAME = \"" + v511 + "\"").ok, 1);
  EXPECT_EQ(Parsed("ASF_TAGNAME = \"" + v512 + "\"").ok, 0);
  EXPECT_EQ(Parsed("(ASF_TAGNAME = \"" + v511 + "\")").ok, 1);
  EXPECT_EQ(Parsed("(ASF_TAGNAME = \"" + v512 + "\")").ok, 0);
  Parsed p("ASF_TAGNAME = \"" + v511 + "\"");
  EXPECT_EQ(std::string(p.f.GetAt(0)->value), v511);
}

TEST_F(ParseTest, FailureKeepsEarlierTermsAndANewParseStartsOver) {
  AlarmFilter f;
  char expr[64];
  EXPECT_EQ(f.ParseFilter(R"(ASF_TAGNAME = "T1" AND ASF_NODE junk "x")", expr, sizeof expr), 0);
  EXPECT_EQ(f.GetCount(), 2);
  EXPECT_EQ(expr[0], '\0');
  EXPECT_EQ(f.ParseFilter(R"(ASF_NODE = "N1")", expr, sizeof expr), 1);
  EXPECT_EQ(f.GetCount(), 1);
  EXPECT_STREQ(expr, "0");
  f.RemoveAll();
  EXPECT_EQ(f.GetCount(), 0);
}

TEST_F(ParseTest, NeverWritesPastASmallExpressionBuffer) {
  const char* filter = R"(ASF_TAGNAME = "A" AND ASF_TAGNAME = "B" AND ASF_TAGNAME = "C")";
  char buf[8];
  std::memset(buf, '#', sizeof buf);
  AlarmFilter f;
  EXPECT_EQ(f.ParseFilter(filter, buf, 3), 0);  // "0*1*2" does not fit in 3 bytes
  EXPECT_EQ(buf[0], '\0');
  for (int i = 3; i < 8; ++i) EXPECT_EQ(buf[i], '#');
  EXPECT_EQ(f.ParseFilter(filter, buf, 6), 1);
  EXPECT_STREQ(buf, "0*1*2");
  EXPECT_EQ(f.ParseFilter(filter, nullptr, 6), 0);
  EXPECT_EQ(f.ParseFilter(nullptr, buf, 6), 0);
}

TEST_F(ParseTest, OperatorWordsNeedTheResourceModuleAndAreLoadedOnceItIsThere) {
  InstallResourceBackend(nullptr);
  EXPECT_EQ(Parsed(R"(ASF_NODE IN "N1")").ok, 0);
  // No word loaded: an empty operator is no operator either.
  EXPECT_EQ(Parsed(R"(ASF_NODE  "N1")").ok, 0);
  EXPECT_EQ(Parsed(R"(ASF_NODE = "N1")").ok, 1);
  InstallResourceBackend(&resources);
  EXPECT_EQ(Parsed(R"(ASF_NODE IN "N1")").ok, 1);
  resources.SetString(node::kTolvaneResModule, 6, "DANS");
  EXPECT_EQ(Parsed(R"(ASF_NODE DANS "N1")").ok, 0);  // kept from the first load
}

TEST_F(ParseTest, ValidateFilterStringTakesEmptyAsNoFilter) {
  CVeltAlmSummMgr mgr;
  char empty[] = "";
  char good[] = R"(ASF_PRIORITY >= "HIGH")";
  char bad[] = R"(ASF_PRIORITY >= HIGH)";
  char blank[] = " ";
  EXPECT_EQ(mgr.ValidateFilterString(empty), kOk);
  EXPECT_EQ(mgr.ValidateFilterString(good), kOk);
  EXPECT_EQ(mgr.ValidateFilterString(bad), kBadFilter);
  EXPECT_EQ(mgr.ValidateFilterString(blank), kBadFilter);
}

TEST_F(ParseTest, ExplainNamesTheFirstProblem) {
  struct Expect {
    const char* filter;
    const char* reason;
    int position;
    const char* token;
  };
  const Expect cases[] = {
      {"", "empty filter", 0, ""},
      {R"((ASF_TAGNAME = "T1")", "unbalanced parentheses", 0, ""},
      {R"(ASF_TAGNAME = "T1" OR FOO = "x")", "expected a field name", 22, "FOO"},
      {R"(ASF_TAGNAME == "T1")", "unknown operator", 12, "=="},
      {R"(ASF_TAGNAME = T1 AND)", "expected a quoted value", 14, "T1"},
      {R"~(ASF_TAGNAME = "PUMP(A)")~", "parenthesis inside a value", 23, ""},
      {R"(ASF_TAGNAME = "T1)", "missing closing quote", 14, ""},
      {R"(ASF_TAGNAME = "")", "empty value", 14, ""},
      {R"(ASF_TAGNAME = "T1" )", "white space after the last value", 19, ""},
      {R"(ASF_TAGNAME = "T1" AND)", "text after the last value", 19, "AND"},
      {R"(ASF_TAGNAME =)", "incomplete comparison", 12, "="},
  };
  for (const Expect& e : cases) {
    FilterExplanation x = ExplainFilter(e.filter);
    EXPECT_EQ(x.accepted, 0) << e.filter;
    EXPECT_STREQ(x.reason, e.reason) << e.filter;
    EXPECT_EQ(x.position, e.position) << e.filter;
    EXPECT_STREQ(x.token, e.token) << e.filter;
  }
  std::string longValue = "ASF_TAGNAME = \"" + std::string(600, 'v') + "\"";
  FilterExplanation x = ExplainFilter(longValue.c_str());
  EXPECT_STREQ(x.reason, "value too long");
  EXPECT_EQ(std::strlen(x.token), 63u);
  x = ExplainFilter(R"(ASF_TAGNAME = "T1")");
  EXPECT_EQ(x.accepted, 1);
  EXPECT_EQ(x.position, -1);
  EXPECT_STREQ(x.reason, "ok");
}

// Random filters from the language's pieces, spaced in various ways and
// sometimes damaged: the diagnostic and the parser must always agree.
TEST_F(ParseTest, ExplainAgreesWithTheParserOnManyInputs) {
  const std::vector<std::string> pieces = {"ASF_TAGNAME",
                                           "ASF_NODE",
                                           "ASF_PRIORITY",
                                           "asf_area",
                                           "=",
                                           "<>",
                                           ">=",
                                           "IN",
                                           "NOTIN",
                                           "CONTAINING",
                                           "AND",
                                           "or",
                                           "NOT",
                                           "NOR",
                                           "(",
                                           ")",
                                           "\"T1\"",
                                           "\"\"",
                                           "\"a b\"",
                                           "\"P(1)\"",
                                           "\"x)\"",
                                           "\"",
                                           "((ASF_TAGNAME",
                                           "\"v\")",
                                           "NOT(",
                                           "junk"};
  const std::vector<std::string> gaps = {" ", " ", " ", "", "  ", "\t"};
  std::mt19937 rng(20240601);
  int accepted = 0, rejected = 0;
  for (int i = 0; i < 4000; ++i) {
    std::string filter;
    if (i % 3 == 0) {
      // A well-formed chain, then maybe one character changed.
      int n = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < n; ++k) {
        if (k) filter += (rng() % 2) ? " AND " : " OR ";
        filter += R"(ASF_TAGNAME = "T)" + std::to_string(k) + "\"";
      }
      if (rng() % 2) filter[rng() % filter.size()] = "( )\"x"[rng() % 5];
    } else {
      int n = 1 + static_cast<int>(rng() % 9);
      for (int k = 0; k < n; ++k) {
        if (k) filter += gaps[rng() % gaps.size()];
        filter += pieces[rng() % pieces.size()];
      }
    }
    Parsed p(filter);
    FilterExplanation x = ExplainFilter(filter.c_str());
    ASSERT_EQ(x.accepted, p.ok) << filter;
    ASSERT_NE(x.reason, nullptr);
    (p.ok ? accepted : rejected)++;
  }
  // Both outcomes must be well represented for the agreement to mean much.
  EXPECT_GT(accepted, 500);
  EXPECT_GT(rejected, 500);
}

}  // namespace
}  // namespace tolvane::testing
