// The prepared comparisons (filter/prepared_terms.cpp) against the plain
// matchers, over random terms and rows: a filter matched the fast way and
// the same filter text walked term by term through the plain matchers must
// agree on every row, in a single-byte code page and in 932, whose lead
// bytes make the following byte part of one character (never upper-cased,
// never a wildcard on its own).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "filter_test_env.h"
#include "support/filter_oracle.h"
#include "tolvane/codepage.h"

namespace tolvane::testing {
namespace {

class PreparedTermsTest : public FilterTest {
 protected:
  void TearDown() override {
    SetAnsiCodePage(1252);
    FilterTest::TearDown();
  }

  std::size_t Pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  }

  // Short texts over few characters, so that random values and columns meet:
  // both cases, wildcards, list commas and blanks, double-byte characters
  // whose trail byte is a letter, '*' or '?', and single-byte katakana.
  std::string Text(std::size_t max, bool pattern) {
    static const char* kPieces[] = {"a",    "B",    "t",        "T",        "1",        "0",
                                    " ",    ",",    "\x81\x61", "\x82\x2a", "\x83\x3f", "\x9f\x41",
                                    "\xb1", "\xdf", "LOW",      "high",     "tic",      "TIC"};
    static const char* kPatternOnly[] = {"*", "?", "*", ", "};
    std::string s;
    for (std::size_t n = Pick(max + 1); n > 0; --n) {
      s += pattern && Pick(4) == 0 ? kPatternOnly[Pick(std::size(kPatternOnly))]
                                   : kPieces[Pick(std::size(kPieces))];
    }
    return s;
  }

  std::string Value(const std::string& field) {
    static const char* kPriorities[] = {"HIGH", "high", "LOW", "CRITICAL", "INFO", "HiHi", "bogus"};
    static const char* kAcks[] = {"Acknowledged", "unacknowledged", "ACK", ""};
    static const char* kDates[] = {"1/2/2008", "12/31/08", "2/1/2008", "1/2", "x"};
    static const char* kTimes[] = {"10:00:00", "9:5", "23:59:59", "10:00", "x"};
    std::string v;
    if (field == "ASF_PRIORITY") {
      v = kPriorities[Pick(std::size(kPriorities))];
    } else if (field == "ASF_ACK") {
      v = kAcks[Pick(std::size(kAcks))];
    } else if (field == "ASF_DATEIN") {
      v = kDates[Pick(std::size(kDates))];
    } else if (field == "ASF_TIMEIN") {
      v = kTimes[Pick(std::size(kTimes))];
    } else if (field == "ASF_NODE") {
      v = Pick(3) == 0 ? "LOCAL1, n1" : Text(3, true) + "," + Text(3, true);
    } else {
      v = Text(5, true);
    }
    return v.empty() ? "x" : v;  // an empty value does not parse
  }

  std::string Term() {
    static const char* kFields[] = {"ASF_TAGNAME", "ASF_DESCRIPTION", "ASF_ALMEXT1",  "ASF_ALMEXT2",
                                    "ASF_NODE",    "ASF_AREA",        "ASF_PRIORITY", "ASF_ACK",
                                    "ASF_DATEIN",  "ASF_TIMEIN",      "ASF_FLEX1"};
    static const char* kOps[] = {"=",
                                 "<>",
                                 ">",
                                 ">=",
                                 "<",
                                 "<=",
                                 "IN",
                                 "NOTIN",
                                 "CONTAINING",
                                 "NOTCONTAINING",
                                 "CONTAININGONLY",
                                 "in",
                                 "containing",
                                 "notin"};
    std::string field = kFields[Pick(std::size(kFields))];
    return field + " " + kOps[Pick(std::size(kOps))] + " \"" + Value(field) + "\"";
  }

  RowBuilder Row() {
    static const char* kPriorities[] = {"HIGH", "LOW", "CRITICAL", "INFO", "", "high"};
    static const char* kDates[] = {"1/2/2008", "12/31/2008", "02/01/08", ""};
    static const char* kTimes[] = {"10:00:00", "09:05:00", "23:59:59", ""};
    static const char* kNodes[] = {"N1", "n1", "LOCAL1", "ALIAS2", "T", "\x81\x61"};
    RowBuilder r;
    r.Tag(Text(4, false))
        .Description(Text(6, false))
        .Ext1(Text(4, false))
        .Ext2(Text(4, false))
        .Node(kNodes[Pick(std::size(kNodes))])
        .Areas(Text(3, false))
        .Priority(kPriorities[Pick(std::size(kPriorities))])
        .DateIn(kDates[Pick(std::size(kDates))])
        .TimeIn(kTimes[Pick(std::size(kTimes))])
        .Acked(Pick(2) == 0);
    node::field_block::Init(r.row.fieldBlock);
    node::field_block::SetText(r.row.fieldBlock, 0, Text(3, false));
    return r;
  }

  // Random filters of one to three terms over random rows: MatchFilter (the
  // prepared path) against the plain matchers term by term. Each side parses
  // its own copy, since the plain matchers rewrite a term on its first row.
  void Compare(unsigned codePage) {
    ASSERT_TRUE(SetAnsiCodePage(codePage));
    int passes = 0, fails = 0;
    for (int i = 0; i < 3000; ++i) {
      std::string text = Term();
      for (std::size_t n = Pick(3); n > 0; --n) text += (Pick(2) ? " AND " : " OR ") + Term();
      Parsed fast(text), plain(text);
      ASSERT_EQ(fast.ok, plain.ok) << text;
      if (!fast.ok) continue;
      for (int k = 0; k < 8; ++k) {
        RowBuilder row = Row();
        RowBuilder copy = row;
        int got = fast.Match(*row);
        ASSERT_EQ(got, MatchByComparingEverything(plain.f, plain.expression.data(), &*copy))
            << "code page " << codePage << ": " << text << " | tag '" << row.row.tagName
            << "' desc '" << row.row.description << "' node '" << row.row.node << "' areas '"
            << row.row.areas << "'";
        (got ? passes : fails)++;
      }
    }
    EXPECT_GT(passes, 2000);
    EXPECT_GT(fails, 2000);
  }

  std::mt19937 rng{20261208};
};

TEST_F(PreparedTermsTest, AgreeWithThePlainMatchersInASingleByteCodePage) {
  Compare(1252);
}

TEST_F(PreparedTermsTest, AgreeWithThePlainMatchersInCodePage932) {
  Compare(932);
}

}  // namespace
}  // namespace tolvane::testing
