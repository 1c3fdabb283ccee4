#include "manager/alarm_reference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tolvane {
namespace {

std::string Written(char letter, int16_t number, const char* node) {
  char buf[kReferenceSize];
  std::memset(buf, 'x', sizeof buf);
  WriteReference(buf, letter, number, node);
  return buf;
}

TEST(AlarmReference, WritesLetterNumberAndNodeWithoutSeparators) {
  EXPECT_EQ(Written('A', 1234, "NODE1"), "A1234NODE1");
  EXPECT_EQ(Written('A', -5, "NODE1"), "A-5NODE1");
}

TEST(AlarmReference, ZeroLetterReadsAsEmptyText) {
  char buf[kReferenceSize];
  WriteReference(buf, '\0', 0, "NODE1");
  EXPECT_EQ(buf[0], '\0');
  AlarmReference ref;
  EXPECT_FALSE(ReadReference(buf, sizeof buf, &ref));
}

TEST(AlarmReference, LongNodeIsCutAtTheFieldWidth) {
  std::string node(100, 'N');
  std::string ref = Written('B', 7, node.c_str());
  EXPECT_EQ(ref.size(), kReferenceSize - 1);
}

TEST(AlarmReference, RoundTripsLetterNumberAndNode) {
  AlarmReference ref;
  ASSERT_TRUE(ReadReference("A1234NODE1", kReferenceSize, &ref));
  EXPECT_EQ(ref.letter, 'A');
  EXPECT_EQ(ref.number, 1234);
  EXPECT_STREQ(ref.node, "NODE1");
  ASSERT_TRUE(ReadReference("A-5NODE1", kReferenceSize, &ref));
  EXPECT_EQ(ref.number, -5);
}

TEST(AlarmReference, NodeNameStartingWithDigitMergesIntoTheNumber) {
  AlarmReference ref;
  ASSERT_TRUE(ReadReference(Written('A', 12, "7UP").c_str(), kReferenceSize, &ref));
  EXPECT_EQ(ref.number, 127);
  EXPECT_STREQ(ref.node, "UP");
}

TEST(AlarmReference, RejectsNodeNamesOfNineOrMoreCharacters) {
  AlarmReference ref;
  EXPECT_TRUE(ReadReference("A1ABCDEFGH", kReferenceSize, &ref));
  EXPECT_FALSE(ReadReference("A1ABCDEFGHI", kReferenceSize, &ref));
}

TEST(AlarmReference, NumbersOutsideSixteenBitsWrap) {
  AlarmReference ref;
  ASSERT_TRUE(ReadReference("A65537N", kReferenceSize, &ref));
  EXPECT_EQ(ref.number, 1);
  ASSERT_TRUE(ReadReference("A40000N", kReferenceSize, &ref));
  EXPECT_EQ(ref.number, static_cast<int16_t>(40000 - 65536));
  ASSERT_TRUE(ReadReference("A99999999999999999999N", kReferenceSize, &ref));  // no overflow trap
}

TEST(AlarmReference, BlanksAreSkippedBeforeNumberAndNodeButNotBeforeTheLetter) {
  AlarmReference ref;
  ASSERT_TRUE(ReadReference("A 12 NODE1 trailing", kReferenceSize, &ref));
  EXPECT_EQ(ref.number, 12);
  EXPECT_STREQ(ref.node, "NODE1");
  ASSERT_TRUE(ReadReference(" 12NODE1", kReferenceSize, &ref));
  EXPECT_EQ(ref.letter, ' ');
}

TEST(AlarmReference, IncompleteReferencesFail) {
  AlarmReference ref;
  for (const char* bad : {"", "A", "A12", "AX", "A-", "A12   "}) {
    EXPECT_FALSE(ReadReference(bad, kReferenceSize, &ref)) << '"' << bad << '"';
  }
  EXPECT_FALSE(ReadReference(nullptr, kReferenceSize, &ref));
}

TEST(AlarmReference, NeverReadsPastTheGivenSize) {
  // No terminator inside the size: the read stops at the boundary.
  char field[6] = {'A', '1', 'N', 'O', 'D', 'E'};
  AlarmReference ref;
  ASSERT_TRUE(ReadReference(field, sizeof field, &ref));
  EXPECT_STREQ(ref.node, "NODE");
}

TEST(AlarmReference, CallerReferenceIsCopiedOnlyUpToItsTerminator) {
  const char* shortRef = "A1N";  // a 4-byte buffer: copying 64 bytes would overrun it
  AlarmReference ref;
  ASSERT_TRUE(ReadCallerReference(shortRef, &ref));
  EXPECT_STREQ(ref.node, "N");
}

}  // namespace
}  // namespace tolvane
