// Wildcard matching against a direct transcription of the recursive rules,
// and hostile patterns that must finish quickly.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>

#include "filter/matchers.h"
#include "platform/codepage.h"
#include "tolvane/codepage.h"

namespace tolvane::filter {
namespace {

// The rules as written, exponential on purpose; only for short inputs.
bool Reference(const char* t, const char* p) {
  if (*p == '*') {
    const char* q = p + 1;
    while (*q == '*') ++q;
    if (*q == '\0') return true;
  }
  if (*t == '\0' && *p == '\0') return true;
  if (*t == '\0' || *p == '\0') return false;
  std::size_t tl = (IsLeadByte(static_cast<unsigned char>(*t)) && t[1]) ? 2 : 1;
  std::size_t pl = (IsLeadByte(static_cast<unsigned char>(*p)) && p[1]) ? 2 : 1;
  if ((tl == pl && std::string_view(t, tl) == std::string_view(p, pl)) || (pl == 1 && *p == '?')) {
    return Reference(t + tl, p + pl);
  }
  if (pl == 1 && *p == '*') return Reference(t, p + 1) || Reference(t + tl, p);
  return false;
}

bool Matches(const std::string& text, const std::string& pattern) {
  return WildcardMatch(text.c_str(), pattern.c_str()) == 0;
}

TEST(WildcardTest, Basics) {
  EXPECT_TRUE(Matches("", "*"));
  EXPECT_TRUE(Matches("", "***"));
  EXPECT_FALSE(Matches("", "?"));
  EXPECT_TRUE(Matches("", ""));
  EXPECT_FALSE(Matches("A", ""));
  EXPECT_TRUE(Matches("PUMP12", "PUMP*"));
  EXPECT_TRUE(Matches("PUMP", "PU?P"));
  EXPECT_FALSE(Matches("PUMPS", "PU?P"));
  EXPECT_TRUE(Matches("LEVEL LOW ALARM", "*LOW*"));
  EXPECT_FALSE(Matches("LEVEL LOW ALARM", "LOW*"));  // the whole text must match
  EXPECT_FALSE(Matches("pump", "PUMP"));             // exact case
  EXPECT_TRUE(Matches("ABCBC", "*BC"));
  EXPECT_FALSE(Matches("AB", "A*C*"));
}

TEST(WildcardTest, AStarInTheTextIsTakenAsALiteralByAPatternStar) {
  // The pattern's '*' meets the text's '*' as an equal character and may not
  // absorb it, so "*b" does not match "*ab".
  EXPECT_FALSE(Matches("*ab", "*b"));
  EXPECT_TRUE(Matches("*ab", "*ab"));
  EXPECT_TRUE(Matches("x*y", "x*"));
  EXPECT_FALSE(Matches("a*cb", "*a*b"));
}

TEST(WildcardTest, AgreesWithTheRulesOnRandomInputs) {
  std::mt19937 rng(7);
  const char textChars[] = "ab*?";
  const char patternChars[] = "ab*?";
  for (int i = 0; i < 20000; ++i) {
    std::string t, p;
    for (int n = static_cast<int>(rng() % 8); n > 0; --n) t += textChars[rng() % 4];
    for (int n = static_cast<int>(rng() % 7); n > 0; --n) p += patternChars[rng() % 4];
    ASSERT_EQ(Matches(t, p), Reference(t.c_str(), p.c_str())) << "'" << t << "' '" << p << "'";
  }
}

TEST(WildcardTest, DoubleByteCharactersAreOneCharacter) {
  ASSERT_TRUE(SetAnsiCodePage(932));
  // 0x82 0xA0 is one character; '?' takes both bytes.
  const std::string kana = "\x82\xA0";
  EXPECT_TRUE(Matches("A" + kana + "B", "A?B"));
  EXPECT_FALSE(Matches("A" + kana + "B", "A??B"));
  EXPECT_TRUE(Matches(kana + kana, "*" + kana));
  std::mt19937 rng(11);
  const std::string pieces[] = {"a", "*", "?", kana, "\x82\x2A"};
  for (int i = 0; i < 5000; ++i) {
    std::string t, p;
    for (int n = static_cast<int>(rng() % 6); n > 0; --n) t += pieces[rng() % 5];
    for (int n = static_cast<int>(rng() % 5); n > 0; --n) p += pieces[rng() % 5];
    ASSERT_EQ(Matches(t, p), Reference(t.c_str(), p.c_str()));
  }
  SetAnsiCodePage(1252);
}

TEST(WildcardTest, HostilePatternsFinishQuickly) {
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "*a";
  std::string text(5000, 'a');
  text += 'b';
  std::string starry = std::string(2000, '*') + "a" + std::string(2000, '*') + "b";
  std::string textWithStars = std::string(3000, 'a') + "*" + std::string(3000, 'a');

  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Matches(text, pattern));
  EXPECT_TRUE(Matches(text, pattern + "b"));
  EXPECT_FALSE(Matches(text, starry + "c"));
  EXPECT_FALSE(Matches(textWithStars, pattern + "b"));
  EXPECT_TRUE(Matches(textWithStars, "*a*a"));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(2));
}

}  // namespace
}  // namespace tolvane::filter
