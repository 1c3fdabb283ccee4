// Canonical alarm references: only the text the program writes reads back,
// and what reads back names the alarm the library would.
#include "present/reference.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>

namespace tolvane::present {
namespace {

using namespace std::string_view_literals;

TEST(CanonicalReference, ReadsWhatTheProgramWrites) {
  struct Case {
    std::string_view text;
    AlarmRef ref;
  };
  const Case cases[] = {
      {"A12PLANT1", {'A', 12, "PLANT1"}},
      {"A-32768X", {'A', -32768, "X"}},
      {"A32767X", {'A', 32767, "X"}},
      {"A0X", {'A', 0, "X"}},
      {"A-5NODE1", {'A', -5, "NODE1"}},
      {"z7plant1", {'z', 7, "plant1"}},  // case is kept as typed
      {"#1ABCDEFGH", {'#', 1, "ABCDEFGH"}},
      {"11N", {'1', 1, "N"}},  // the letter is one character, whatever it is
      {"-5X", {'-', 5, "X"}},
      {"A5-X", {'A', 5, "-X"}},  // only a digit is read into the number
      {"A1\xc3\x85"
       "BO",
       {'A', 1,
        "\xc3\x85"
        "BO"}},
  };
  for (const Case& c : cases) {
    std::optional<AlarmRef> ref = ParseCanonicalReference(c.text);
    ASSERT_TRUE(ref.has_value()) << c.text;
    EXPECT_EQ(*ref, c.ref) << c.text;
    EXPECT_EQ(FormatReference(*ref), c.text);
  }
}

TEST(CanonicalReference, RefusesWhatTheLibraryWouldReadAsAnotherAlarm) {
  const std::string_view refused[] = {
      "A65548PLANT1",  // 65548 modulo 65536 is 12
      "A32768X",       // one past the 16 bits
      "A-32769X",      //
      "A999999X",      //
      "A+12PLANT1",    // sign the program never writes
      "A012PLANT1",    // leading zero
      "A00X",          //
      "A-0PLANT1",     // negative zero
      "A-X",           // sign without digits
      "APLANT1",       // no number
      "A12",           // no node
      "A12NINECHARS",  // node of 9
      "A1\xc3\x85\xc3\x85\xc3\x85\xc3\x85"
      "X",               // 5 characters but 9 bytes
      "",                //
      "A",               //
      "A 12PLANT1",      // blank where the number goes
      " A12PLANT1",      // blank as the letter
      "A12 PLANT1",      // blank before the node
      "A12PLANT1 junk",  // anything after
      "A12PLANT1 ",      //
      "A12PLANT1\n",     //
      "A12PL\x1b[2JX",   // control character in the node
      "A12PL\xc2\x9bX",  // C1 control as UTF-8
      "A12PL\xffX",      // not UTF-8
      "\x1b"
      "12PLANT1",  // control character as the letter
      "\x7f"
      "12PLANT1",      //
      "A12PLANT\0"sv,  // NUL in the node
  };
  for (std::string_view text : refused) {
    EXPECT_FALSE(ParseCanonicalReference(text).has_value()) << "accepted: " << text;
  }
}

TEST(CanonicalReference, NodeBeginningWithADigitHasNoReference) {
  AlarmRef ref{'A', 12, "7UP"};
  EXPECT_FALSE(IsAddressable(ref));
  // The program's own text for it is the canonical text of another alarm.
  EXPECT_EQ(ParseCanonicalReference(FormatReference(ref)), (AlarmRef{'A', 127, "UP"}));
}

TEST(CanonicalReference, AddressableAlarmsRoundTripAndOthersDoNot) {
  // Node names drawn from ASCII letters and digits, punctuation and a few
  // multibyte characters; letters from the whole byte range.
  const std::string pieces[] = {"A",
                                "Z",
                                "a",
                                "q",
                                "0",
                                "7",
                                "9",
                                "-",
                                "_",
                                "+",
                                ".",
                                "\xc3\xa9",
                                "\xe2\x82\xac",
                                "\xf0\x9f\x98\x80",
                                " ",
                                "\t"};
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<int> number(INT16_MIN, INT16_MAX);
  std::uniform_int_distribution<int> letter(0, 255);
  std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1);
  std::uniform_int_distribution<int> length(1, 6);
  int addressable = 0;
  for (int i = 0; i < 20000; ++i) {
    AlarmRef ref;
    ref.letter = static_cast<char>(letter(rng));
    if (ref.letter == '\0') continue;  // the plant allows anything but NUL
    ref.number = static_cast<int16_t>(number(rng));
    for (int n = length(rng); n > 0; --n) ref.node += pieces[piece(rng)];
    std::string text = FormatReference(ref);
    std::optional<AlarmRef> back = ParseCanonicalReference(text);
    if (IsAddressable(ref)) {
      ++addressable;
      ASSERT_EQ(back, ref) << text;
    } else {
      ASSERT_NE(back, ref) << text;
    }
  }
  EXPECT_GT(addressable, 2000);  // the generator must reach both branches
}

TEST(CanonicalReference, WhatReadsNamesTheAlarmTheLibraryReads) {
  // Random texts near the form: whatever is accepted must come back as the
  // same text and be read by the library's "%c%d%s" as the same three parts.
  const char alphabet[] = "A0123456789-+ xZ\xc3\xa9";
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
  std::uniform_int_distribution<int> length(1, 14);
  int accepted = 0;
  for (int i = 0; i < 200000; ++i) {
    std::string text = "A";
    for (int n = length(rng); n > 0; --n) text += alphabet[pick(rng)];
    std::optional<AlarmRef> ref = ParseCanonicalReference(text);
    if (!ref) continue;
    ++accepted;
    ASSERT_EQ(FormatReference(*ref), text);
    char letter = 0;
    int value = 0;
    char node[64] = {};
    ASSERT_EQ(std::sscanf(text.c_str(), "%c%d%63s", &letter, &value, node), 3) << text;
    EXPECT_EQ(letter, ref->letter);
    EXPECT_EQ(static_cast<int16_t>(value), ref->number) << text;
    EXPECT_EQ(value, ref->number) << text;  // no wrap-around
    EXPECT_EQ(node, ref->node) << text;
  }
  EXPECT_GT(accepted, 1000);
}

}  // namespace
}  // namespace tolvane::present
