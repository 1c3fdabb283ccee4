// Upper-casing and case-blind comparison in the two supported code pages.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tolvane {
namespace {

class CodePageTest : public ::testing::Test {
 protected:
  void TearDown() override { SetAnsiCodePage(1252); }
};

TEST_F(CodePageTest, OnlyTheTwoSupportedPagesCanBeSelected) {
  EXPECT_EQ(GetAnsiCodePage(), 1252u);
  EXPECT_FALSE(SetAnsiCodePage(65001));
  EXPECT_EQ(GetAnsiCodePage(), 1252u);
  EXPECT_TRUE(SetAnsiCodePage(932));
  EXPECT_EQ(GetAnsiCodePage(), 932u);
}

TEST_F(CodePageTest, WesternPageUpperCasesAccentedLetters) {
  // a e-acute y-diaeresis s-caron oe z-caron, then divide sign and sharp s
  std::string text = "ab\xE0\xE9\xFF\x9A\x9C\x9E\xF7\xDFz1";
  EXPECT_EQ(MbsUpper(text), "AB\xC0\xC9\x9F\x8A\x8C\x8E\xF7\xDFZ1");
  char buf[] = "node\xE9";
  MbsUpperInPlace(buf);
  EXPECT_STREQ(buf, "NODE\xC9");
  EXPECT_FALSE(IsLeadByte(0x82));
}

TEST_F(CodePageTest, WesternPageComparesWithoutCase) {
  EXPECT_EQ(MbsICompare("Node1", "NODE1"), 0);
  EXPECT_TRUE(MbsIEqual("caf\xE9", "CAF\xC9"));
  EXPECT_LT(MbsICompare("abc", "ABD"), 0);
  EXPECT_GT(MbsICompare("abd", "ABC"), 0);
  EXPECT_LT(MbsICompare("AB", "abc"), 0);
  EXPECT_GT(MbsICompare("abc", "AB"), 0);
  EXPECT_EQ(MbsICompare("", ""), 0);
  // Byte 0x82 is a quote mark here: the letter after it folds.
  EXPECT_EQ(MbsICompare("\x82"
                        "a",
                        "\x82"
                        "A"),
            0);
}

TEST_F(CodePageTest, DoubleBytePageKnowsItsLeadBytes) {
  SetAnsiCodePage(932);
  for (unsigned c : {0x81u, 0x9Fu, 0xE0u, 0xFCu})
    EXPECT_TRUE(IsLeadByte(static_cast<unsigned char>(c))) << c;
  for (unsigned c : {0x41u, 0x80u, 0xA0u, 0xDFu, 0xFDu})
    EXPECT_FALSE(IsLeadByte(static_cast<unsigned char>(c))) << c;
  EXPECT_EQ(CharLength("\x82\x61"), 2u);
  EXPECT_EQ(CharLength("\x82"), 1u);
  EXPECT_EQ(CharLength("a"), 1u);
}

TEST_F(CodePageTest, DoubleBytePageLeavesDoubleByteCharactersAlone) {
  SetAnsiCodePage(932);
  // A trail byte that looks like 'a' is part of its character.
  EXPECT_EQ(MbsUpper("\x82\x61"
                     "a\xE0\x61"),
            "\x82\x61"
            "A\xE0\x61");
  char buf[] = "x\x82\x61y";
  MbsUpperInPlace(buf);
  EXPECT_STREQ(buf, "X\x82\x61Y");
  // A lead byte cut off at the end is left as it is.
  EXPECT_EQ(MbsUpper("a\x82"), "A\x82");
  // Western accented letters are not letters here.
  EXPECT_EQ(MbsUpper("\xA9"), "\xA9");
}

TEST_F(CodePageTest, DoubleBytePageComparesCharactersAsUnits) {
  SetAnsiCodePage(932);
  EXPECT_NE(MbsICompare("\x82\x61", "\x82\x41"), 0);
  EXPECT_EQ(MbsICompare("\x82\x61node", "\x82\x61NODE"), 0);
  EXPECT_GT(MbsICompare("\x82\x61", "a"), 0);
  EXPECT_LT(MbsICompare("a", "\x82\x61"), 0);
}

TEST_F(CodePageTest, FindSkipsTrailBytes) {
  SetAnsiCodePage(932);
  // 0x5C is '\' and also a common trail byte.
  std::string text =
      "\x83\x5C"
      "a\\b\x83\x5C";
  EXPECT_EQ(MbsFind(text, '\\'), 3u);
  EXPECT_EQ(MbsFindLast(text, '\\'), 3u);
  EXPECT_EQ(MbsFind("\x83\x5C", '\\'), std::string_view::npos);
  SetAnsiCodePage(1252);
  EXPECT_EQ(MbsFind(text, '\\'), 1u);
  EXPECT_EQ(MbsFindLast(text, '\\'), 6u);
}

}  // namespace
}  // namespace tolvane
