// The embedded summary queue as the manager drives it: handles, sorted views,
// cursors, paging, lookups, the header and fault injection.
#include "node/summary_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tolvane/quorlen.h"
#include "tolvane/text_field.h"

namespace tolvane::node {
namespace {

using std::chrono::seconds;

const Clock::time_point kT0 = Clock::from_time_t(1700000000);

SORT_CNTL Sort(int key, bool descending = false) {
  SORT_CNTL s{};
  s.key = static_cast<uint8_t>(key);
  s.direction = descending ? 1 : 0;
  return s;
}

AlarmInput Alarm(const std::string& tag, const std::string& node = "NODE1", char letter = 'A',
                 int16_t number = 1) {
  AlarmInput a;
  a.node = a.physicalNode = node;
  a.tag = tag;
  a.blockLetter = letter;
  a.blockNumber = number;
  return a;
}

std::string Tag(const SUMQMSG& m) {
  return std::string(FieldText(m.almpak.tagName));
}

class QueueTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(q.Open(&h, nullptr), 0); }

  // Raises `a` at kT0 + `at` seconds, giving each alarm its own block.
  void RaiseAt(AlarmInput a, int at) {
    if (a.blockNumber == 1) a.blockNumber = static_cast<int16_t>(++blocks);
    q.Raise(a, kT0 + seconds(at));
  }

  // Messages of the view from the cursor (count 0: all).
  std::vector<SUMQMSG> GetFromCursor(SORT_CNTL s, unsigned short count = 0,
                                     short* status = nullptr) {
    SUMQMSG* list = nullptr;
    unsigned short n = 0;
    short rc = q.Get(s, count, h, &list, &n);
    if (status) *status = rc;
    std::vector<SUMQMSG> out(list, list + n);
    q.FreeList(list);
    return out;
  }

  std::vector<std::string> Tags(SORT_CNTL s) {
    EXPECT_EQ(q.Home(s, h), 0);
    std::vector<std::string> out;
    for (const SUMQMSG& m : GetFromCursor(s)) out.push_back(Tag(m));
    return out;
  }

  std::string TagAtCursor(SORT_CNTL s) {
    auto one = GetFromCursor(s, 1);
    return one.empty() ? std::string() : Tag(one[0]);
  }

  SummaryQueue q;
  unsigned short h = 0;
  int blocks = 100;
};

// --- client handles ---

TEST_F(QueueTest, HandlesAreDistinctNeverThirtyTwoAndLimitedToSixtyFour) {
  std::vector<unsigned short> open{h};
  for (std::size_t i = 1; i < kMaxClients; ++i) {
    unsigned short x = 0;
    ASSERT_EQ(q.Open(&x, nullptr), 0);
    open.push_back(x);
  }
  unsigned short refused = 0;
  EXPECT_NE(q.Open(&refused, nullptr), 0);
  std::sort(open.begin(), open.end());
  EXPECT_EQ(std::adjacent_find(open.begin(), open.end()), open.end());
  EXPECT_EQ(std::count(open.begin(), open.end(), 32), 0);
  EXPECT_EQ(std::count(open.begin(), open.end(), 0), 0);

  ASSERT_EQ(q.Close(open[5]), 0);
  unsigned short again = 0;
  EXPECT_EQ(q.Open(&again, nullptr), 0);
  EXPECT_EQ(q.OpenHandles(), kMaxClients);
}

TEST_F(QueueTest, HandleNumbersCycleWithoutEverIssuingThirtyTwo) {
  for (int i = 0; i < 40000; ++i) {
    unsigned short x = 0;
    ASSERT_EQ(q.Open(&x, nullptr), 0);
    ASSERT_NE(x, 32);
    ASSERT_NE(x, h);
    ASSERT_EQ(q.Close(x), 0);
  }
}

TEST_F(QueueTest, CloseOfUnknownOrClosedHandleFailsAndClosedHandleIsRefused) {
  EXPECT_NE(q.Close(999), 0);
  ASSERT_EQ(q.Close(h), 0);
  EXPECT_NE(q.Close(h), 0);
  EXPECT_NE(q.Home(Sort(0), h), 0);
  SUMQMSG* list = nullptr;
  unsigned short n = 0;
  EXPECT_NE(q.Get(Sort(0), 0, h, &list, &n), 0);
  EXPECT_EQ(list, nullptr);
}

// --- sort keys ---

struct KeyCase {
  int key;
  std::vector<std::string> ascending;
};

class SortKeyTest : public QueueTest, public ::testing::WithParamInterface<KeyCase> {
 protected:
  // One scene for all keys: each alarm differs in every sortable field, and
  // no field's order is the raising order.
  void SetUp() override {
    QueueTest::SetUp();
    AlarmInput a = Alarm("delta", "NODEB", 'B', 7);
    a.physicalNode = "phys2";
    a.priority = 3;  // CRITICAL
    a.statusCode = 1796;
    a.msgType = 2;
    a.description = "pump trip";
    a.areas = {"WEST", "B"};
    a.value.kind = 1;
    a.value.value.i16 = 40;
    a.ext1 = "m";
    q.Raise(a, kT0 + seconds(30));

    AlarmInput b = Alarm("Alpha", "nodea", 'A', 9);
    b.physicalNode = "PHYS3";
    b.priority = 9;  // INFO
    b.statusCode = 1539;
    b.msgType = 1;
    b.description = "Zone fire";
    b.areas = {"west", "A"};
    b.value.kind = 8;
    b.value.value.f32 = -2.5f;
    b.ext1 = "Z";
    q.Raise(b, kT0 + seconds(10));

    AlarmInput c = Alarm("charlie", "NODEA", 'A', -3);
    c.physicalNode = "phys1";
    c.priority = 8;  // LOLO
    c.statusCode = 0;
    c.msgType = 4;
    c.description = "Boiler";
    c.areas = {"EAST"};
    c.value.kind = 1;
    c.value.textFlag = 1;
    std::strcpy(c.value.text, "OPEN");
    c.ext1 = "a";
    q.Raise(c, kT0 + seconds(20));

    AlarmInput d = Alarm("Bravo", "NODEB", 'A', 7);
    d.physicalNode = "Phys0";
    d.priority = 5;  // HIGH
    d.statusCode = 2185;
    d.msgType = 3;
    d.description = "cooling";
    d.areas = {"NORTH"};
    d.value.kind = 6;
    d.value.value.i32 = 100000;
    d.ext1 = "";
    q.Raise(d, kT0 + seconds(0));

    // Last changes: charlie, delta, Bravo, Alpha.
    q.Update("NODEA", 'A', 9, 1539, b.value, kT0 + seconds(90));
    q.Update("NODEB", 'A', 7, 2185, d.value, kT0 + seconds(80));
    q.Update("NODEB", 'B', 7, 1796, a.value, kT0 + seconds(70));
    q.Update("NODEA", 'A', -3, 0, c.value, kT0 + seconds(60));
    // Acknowledged: Alpha and delta.
    q.Acknowledge("nodea", 'A', 9);
    q.Acknowledge("NODEB", 'B', 7);
  }
};

TEST_P(SortKeyTest, OrdersAscendingAndExactlyReversedDescending) {
  const KeyCase& c = GetParam();
  EXPECT_EQ(Tags(Sort(c.key)), c.ascending);
  std::vector<std::string> reversed(c.ascending.rbegin(), c.ascending.rend());
  EXPECT_EQ(Tags(Sort(c.key, true)), reversed);
}

INSTANTIATE_TEST_SUITE_P(
    AllKeys, SortKeyTest,
    ::testing::Values(
        KeyCase{0, {"Bravo", "Alpha", "charlie", "delta"}},   // time in
        KeyCase{1, {"charlie", "delta", "Bravo", "Alpha"}},   // last change
        KeyCase{2, {"Alpha", "charlie", "Bravo", "delta"}},   // INFO, LOLO, HIGH, CRITICAL
        KeyCase{3, {"Alpha", "Bravo", "charlie", "delta"}},   // tag, no case
        KeyCase{4, {"Alpha", "charlie", "Bravo", "delta"}},   // node, then tag
        KeyCase{5, {"Bravo", "charlie", "delta", "Alpha"}},   // physical node, no case
        KeyCase{6, {"charlie", "Bravo", "delta", "Alpha"}},   // node by bytes, then time in
        KeyCase{7, {"charlie", "Alpha", "delta", "Bravo"}},   // status code
        KeyCase{8, {"Bravo", "charlie", "Alpha", "delta"}},   // unacknowledged first
        KeyCase{9, {"Alpha", "delta", "Bravo", "charlie"}},   // message type
        KeyCase{10, {"charlie", "Bravo", "delta", "Alpha"}},  // description, no case
        KeyCase{11, {"charlie", "Bravo", "Alpha", "delta"}},  // areas, area by area
        KeyCase{12, {"charlie", "Alpha", "Bravo", "delta"}},  // node, letter, number
        KeyCase{13, {"Alpha", "delta", "Bravo", "charlie"}},  // numbers, then texts
        KeyCase{14, {"Bravo", "charlie", "delta", "Alpha"}},  // extension text
        KeyCase{15, {"Bravo", "Alpha", "charlie", "delta"}},  // unknown: time in
        KeyCase{200, {"Bravo", "Alpha", "charlie", "delta"}}),
    [](const ::testing::TestParamInfo<KeyCase>& info) {
      return "Key" + std::to_string(info.param.key);
    });

TEST_F(QueueTest, TimeOrderFollowsTheClockNotTheDateText) {
  // "01/01/2024" sorts before "12/31/2023" as text.
  std::tm dec{};
  dec.tm_year = 123, dec.tm_mon = 11, dec.tm_mday = 31, dec.tm_hour = 12, dec.tm_isdst = -1;
  std::tm jan{};
  jan.tm_year = 124, jan.tm_mon = 0, jan.tm_mday = 1, jan.tm_hour = 12, jan.tm_isdst = -1;
  q.Raise(Alarm("NEWYEAR", "N", 'A', 2), Clock::from_time_t(std::mktime(&jan)));
  q.Raise(Alarm("OLDYEAR", "N", 'A', 3), Clock::from_time_t(std::mktime(&dec)));
  // Same second, different sub-second: still ordered.
  q.Raise(Alarm("LATER", "N", 'A', 4),
          Clock::from_time_t(std::mktime(&jan)) + std::chrono::milliseconds(5));
  EXPECT_EQ(Tags(Sort(0)), (std::vector<std::string>{"OLDYEAR", "NEWYEAR", "LATER"}));
}

TEST_F(QueueTest, EqualKeysKeepRaisingOrderInBothDirections) {
  for (int i = 0; i < 5; ++i) RaiseAt(Alarm("T" + std::to_string(i)), 7);
  EXPECT_EQ(Tags(Sort(0)), (std::vector<std::string>{"T0", "T1", "T2", "T3", "T4"}));
  EXPECT_EQ(Tags(Sort(0, true)), (std::vector<std::string>{"T4", "T3", "T2", "T1", "T0"}));
}

TEST_F(QueueTest, NodeKeyKeepsEachNodesAlarmsTogetherInTimeOrder) {
  const char* nodes[] = {"N2", "N1", "n1", "N2", "N1", "n1"};
  for (int i = 0; i < 6; ++i) RaiseAt(Alarm("T" + std::to_string(i), nodes[i]), i);
  auto view = Tags(Sort(6));
  EXPECT_EQ(view, (std::vector<std::string>{"T1", "T4", "T0", "T3", "T2", "T5"}));
}

// --- cursors and paging ---

class PagingTest : public QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    for (int i = 0; i < 6; ++i) RaiseAt(Alarm(std::string(1, static_cast<char>('A' + i))), i);
  }
};

TEST_F(PagingTest, HomeAndEndPlaceTheCursorOnTheFirstAndLastOfTheView) {
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "A");
  ASSERT_EQ(q.End(Sort(0), h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "F");
  ASSERT_EQ(q.Home(Sort(0, true), h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0, true)), "F");
  ASSERT_EQ(q.End(Sort(0, true), h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0, true)), "A");
}

TEST_F(PagingTest, PagesMoveByCountAndFailWithoutMovingPastEitherEnd) {
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  EXPECT_EQ(q.NextPage(Sort(0), 2, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "C");
  EXPECT_EQ(q.NextPage(Sort(0), 3, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "F");
  EXPECT_NE(q.NextPage(Sort(0), 1, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "F");
  EXPECT_EQ(q.PrevPage(Sort(0), 4, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "B");
  EXPECT_NE(q.PrevPage(Sort(0), 2, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "B");
  EXPECT_EQ(q.PrevPage(Sort(0), 1, h), 0);
  EXPECT_EQ(q.NextPage(Sort(0), 0, h), 0);
  EXPECT_EQ(q.PrevPage(Sort(0), 0, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "A");
  EXPECT_NE(q.NextPage(Sort(0), -1, h), 0);
}

TEST_F(PagingTest, DescendingPagesWalkTheReversedView) {
  ASSERT_EQ(q.Home(Sort(0, true), h), 0);
  EXPECT_EQ(q.NextPage(Sort(0, true), 2, h), 0);
  auto page = GetFromCursor(Sort(0, true), 10);
  ASSERT_EQ(page.size(), 4u);
  EXPECT_EQ(Tag(page[0]), "D");
  EXPECT_EQ(Tag(page[3]), "A");
}

TEST_F(PagingTest, GetReturnsUpToCountFromTheCursorAndAllForZero) {
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  ASSERT_EQ(q.NextPage(Sort(0), 1, h), 0);
  EXPECT_EQ(GetFromCursor(Sort(0), 2).size(), 2u);
  EXPECT_EQ(GetFromCursor(Sort(0), 0).size(), 5u);
  auto more = GetFromCursor(Sort(0), 500);
  ASSERT_EQ(more.size(), 5u);
  EXPECT_EQ(Tag(more.front()), "B");
  EXPECT_EQ(Tag(more.back()), "F");
  // Get reads; it does not move the cursor.
  EXPECT_EQ(TagAtCursor(Sort(0)), "B");
}

TEST_F(QueueTest, EmptyViewGivesNoListButSuccessAndTheManagersFallbacksEndOnHome) {
  short status = -1;
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  EXPECT_NE(q.NextPage(Sort(0), 0, h), 0);
  ASSERT_EQ(q.End(Sort(0), h), 0);
  EXPECT_NE(q.PrevPage(Sort(0), 0, h), 0);
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  EXPECT_TRUE(GetFromCursor(Sort(0), 0, &status).empty());
  EXPECT_EQ(status, 0);
  // A home taken on an empty view finds what arrives later.
  RaiseAt(Alarm("LATE"), 1);
  EXPECT_EQ(q.NextPage(Sort(0), 0, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "LATE");
}

TEST_F(PagingTest, CursorStaysOnItsAlarmWhenOthersArriveOrLeave) {
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  ASSERT_EQ(q.NextPage(Sort(0), 2, h), 0);  // C
  RaiseAt(Alarm("EARLY"), -5);
  EXPECT_TRUE(q.Clear("NODE1", 'A', 101));  // A
  EXPECT_EQ(TagAtCursor(Sort(0)), "C");
  EXPECT_EQ(q.PrevPage(Sort(0), 2, h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "EARLY");
}

TEST_F(PagingTest, CursorOnARemovedAlarmMovesToTheNextInItsOrder) {
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  ASSERT_EQ(q.NextPage(Sort(0), 2, h), 0);  // C
  EXPECT_TRUE(q.Clear("NODE1", 'A', 103));
  EXPECT_EQ(TagAtCursor(Sort(0)), "D");

  unsigned short h2 = 0;
  ASSERT_EQ(q.Open(&h2, nullptr), 0);
  ASSERT_EQ(q.Home(Sort(0, true), h2), 0);
  ASSERT_EQ(q.NextPage(Sort(0, true), 1, h2), 0);  // E, descending
  SUMQMSG msg{};
  ASSERT_EQ(q.Find(105, 'A', "NODE1", &msg), 0);
  ASSERT_EQ(q.DeleteByPhysicalNode(Sort(0), 105, 'A', "NODE1", h), 0);
  SUMQMSG* list = nullptr;
  unsigned short n = 0;
  ASSERT_EQ(q.Get(Sort(0, true), 1, h2, &list, &n), 0);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(Tag(list[0]), "D");
  q.FreeList(list);
}

TEST_F(PagingTest, CursorOnTheLastAlarmRemovedIsOffTheViewUntilRepositioned) {
  ASSERT_EQ(q.End(Sort(0), h), 0);
  EXPECT_TRUE(q.Clear("NODE1", 'A', 106));
  EXPECT_NE(q.NextPage(Sort(0), 0, h), 0);
  short status = -1;
  EXPECT_TRUE(GetFromCursor(Sort(0), 0, &status).empty());
  EXPECT_EQ(status, 0);
  ASSERT_EQ(q.End(Sort(0), h), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "E");
}

TEST_F(PagingTest, CursorFollowsItsAlarmWhenAnUpdateMovesIt) {
  ASSERT_EQ(q.Home(Sort(1), h), 0);  // last change: A first
  ASSERT_TRUE(q.Update("NODE1", 'A', 101, 5, _AlmCanonicalValue{}, kT0 + seconds(100)));
  EXPECT_EQ(TagAtCursor(Sort(1)), "A");
  EXPECT_NE(q.NextPage(Sort(1), 1, h), 0);  // A is now last
}

TEST_F(PagingTest, CursorsOfDifferentHandlesAreIndependent) {
  unsigned short h2 = 0;
  ASSERT_EQ(q.Open(&h2, nullptr), 0);
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  ASSERT_EQ(q.End(Sort(0), h2), 0);
  EXPECT_EQ(TagAtCursor(Sort(0)), "A");
  SUMQMSG* list = nullptr;
  unsigned short n = 0;
  ASSERT_EQ(q.Get(Sort(0), 1, h2, &list, &n), 0);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(Tag(list[0]), "F");
  q.FreeList(list);
}

TEST_F(PagingTest, ShelvedAlarmsLeaveEveryViewButStayInTheQueue) {
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  ASSERT_EQ(q.NextPage(Sort(0), 1, h), 0);  // B
  ASSERT_TRUE(q.SetSuppressed("NODE1", 'A', 102, true));
  EXPECT_EQ(TagAtCursor(Sort(0)), "C");
  EXPECT_EQ(Tags(Sort(0)), (std::vector<std::string>{"A", "C", "D", "E", "F"}));
  SUMQMSG msg{};
  EXPECT_EQ(q.Find(102, 'A', "NODE1", &msg), 0);
  EXPECT_NE(q.FindVisible(102, 'A', "NODE1", &msg), 0);
  EXPECT_EQ(q.Size(), 6u);
  ASSERT_TRUE(q.SetSuppressed("NODE1", 'A', 102, false));
  EXPECT_EQ(Tags(Sort(0)).size(), 6u);
  EXPECT_EQ(q.FindVisible(102, 'A', "NODE1", &msg), 0);
}

TEST_F(QueueTest, GetOfAllIsCappedAtWhatASixteenBitCountHolds) {
  for (int i = 0; i < 65600; ++i) {
    q.Raise(Alarm("T", "N", 'A', static_cast<int16_t>(i - 32768)), kT0 + seconds(i));
  }
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  SUMQMSG* list = nullptr;
  unsigned short n = 0;
  ASSERT_EQ(q.Get(Sort(0), 0, h, &list, &n), 0);
  EXPECT_EQ(n, 65535);
  EXPECT_EQ(+list[65534].almpak.vsp.blockNumber, 65534 - 32768);
  q.FreeList(list);
}

// --- lookups, acknowledge, delete ---

class LookupTest : public QueueTest {
 protected:
  void SetUp() override {
    QueueTest::SetUp();
    q.SetLocalNames({"LOCAL", "ALIAS1", "ALIAS2"});
    AlarmInput a = Alarm("FIC101", "Plant1", 'A', 12);
    a.physicalNode = "Scada1";
    q.Raise(a, kT0);
    q.Raise(Alarm("LIC7", "alias2", 'D', -4), kT0 + seconds(1));
    q.Raise(Alarm("TIC9", "LOCAL", 'A', 5), kT0 + seconds(2));
  }
};

TEST_F(LookupTest, FindComparesNodeNamesWithoutCaseAndTheLetterExactly) {
  SUMQMSG msg{};
  ASSERT_EQ(q.Find(12, 'A', "PLANT1", &msg), 0);
  EXPECT_EQ(Tag(msg), "FIC101");
  EXPECT_EQ(q.FindVisible(12, 'A', "plant1", &msg), 0);
  EXPECT_NE(q.Find(12, 'a', "PLANT1", &msg), 0);
  EXPECT_NE(q.Find(13, 'A', "PLANT1", &msg), 0);
  EXPECT_NE(q.Find(12, 'A', "PLANT", &msg), 0);
  EXPECT_NE(q.Find(12, 'A', "PLANT12", &msg), 0);
}

TEST_F(LookupTest, LocalNameAndAliasesFindAlarmsStoredUnderAnyOfThem) {
  SUMQMSG msg{};
  for (const char* name : {"LOCAL", "local", "ALIAS1", "Alias2"}) {
    ASSERT_EQ(q.Find(-4, 'D', name, &msg), 0) << name;
    EXPECT_EQ(Tag(msg), "LIC7");
    ASSERT_EQ(q.FindVisible(5, 'A', name, &msg), 0) << name;
    EXPECT_EQ(Tag(msg), "TIC9");
  }
  EXPECT_NE(q.Find(-4, 'D', "PLANT1", &msg), 0);
  // Without local names, a name finds only its own alarms.
  q.SetLocalNames({});
  EXPECT_NE(q.Find(-4, 'D', "LOCAL", &msg), 0);
  EXPECT_EQ(q.Find(-4, 'D', "ALIAS2", &msg), 0);
}

TEST_F(LookupTest, FindByTagnameIgnoresCaseOfTagAndNode) {
  SUMQMSG msg{};
  ASSERT_EQ(q.FindByTagname("plant1", "fic101", &msg), 0);
  EXPECT_EQ(msg.almpak.vsp.blockType, 'A');
  EXPECT_EQ(+msg.almpak.vsp.blockNumber, 12);
  EXPECT_EQ(q.FindByTagname("ALIAS1", "lic7", &msg), 0);
  EXPECT_NE(q.FindByTagname("PLANT1", "LIC7", &msg), 0);
  EXPECT_NE(q.FindByTagname("PLANT1", "FIC10", &msg), 0);
}

TEST_F(LookupTest, MissingAlarmLeavesTheCallersMessageAlone) {
  SUMQMSG msg;
  std::memset(&msg, 0x5A, sizeof msg);
  EXPECT_NE(q.Find(99, 'A', "PLANT1", &msg), 0);
  EXPECT_NE(q.FindByTagname("PLANT1", "NOPE", &msg), 0);
  EXPECT_EQ(msg.almpak.node[0], 0x5A);
}

TEST_F(LookupTest, MarkAcknowledgedSetsTheFlagThroughAnOpenHandleOnly) {
  SUMQMSG msg{};
  EXPECT_NE(q.MarkAcknowledged(12, 'A', "PLANT1", 999), 0);
  ASSERT_EQ(q.MarkAcknowledged(12, 'A', "plant1", h), 0);
  ASSERT_EQ(q.Find(12, 'A', "PLANT1", &msg), 0);
  EXPECT_NE(+msg.ackFlag, 0);
  EXPECT_NE(q.MarkAcknowledged(77, 'A', "PLANT1", h), 0);
}

TEST_F(LookupTest, DeleteByPhysicalNodeMatchesThePhysicalNameNotTheDatabaseNode) {
  EXPECT_NE(q.DeleteByPhysicalNode(Sort(0), 12, 'A', "PLANT1", h), 0);
  EXPECT_NE(q.DeleteByPhysicalNode(Sort(0), 12, 'A', "SCADA1", 999), 0);
  EXPECT_EQ(q.Size(), 3u);
  ASSERT_EQ(q.DeleteByPhysicalNode(Sort(0), 12, 'A', "scada1", h), 0);
  EXPECT_EQ(q.Size(), 2u);
  SUMQMSG msg{};
  EXPECT_NE(q.Find(12, 'A', "PLANT1", &msg), 0);
  EXPECT_NE(q.DeleteByPhysicalNode(Sort(0), 12, 'A', "SCADA1", h), 0);
}

TEST_F(QueueTest, DeleteByPhysicalNodeTakesTheFirstMatchInTheGivenOrder) {
  // Two databases behind one physical node, each with block A12.
  AlarmInput older = Alarm("OLDER", "DB1", 'A', 12);
  AlarmInput newer = Alarm("NEWER", "DB2", 'A', 12);
  older.physicalNode = newer.physicalNode = "SCADA";
  q.Raise(older, kT0);
  q.Raise(newer, kT0 + seconds(1));
  ASSERT_EQ(q.DeleteByPhysicalNode(Sort(0, true), 12, 'A', "SCADA", h), 0);
  EXPECT_EQ(Tags(Sort(0)), std::vector<std::string>{"OLDER"});
}

TEST_F(QueueTest, RaisingAStandingBlockUpdatesItInPlace) {
  AlarmInput a = Alarm("FIC1", "N1", 'A', 3);
  a.statusCode = 1539;
  q.Raise(a, kT0);
  ASSERT_TRUE(q.Acknowledge("n1", 'A', 3));
  a.statusCode = 1796;
  a.priority = 4;
  q.Raise(a, kT0 + seconds(5));
  ASSERT_EQ(q.Size(), 1u);
  SUMQMSG msg{};
  ASSERT_EQ(q.Find(3, 'A', "N1", &msg), 0);
  EXPECT_EQ(+msg.almpak.statusCode, 1796);
  EXPECT_EQ(+msg.almpak.priority, 4);
  EXPECT_EQ(+msg.ackFlag, 0);
  auto times = q.SnapshotTimesIn();
  auto lasts = q.SnapshotTimesLast();
  EXPECT_EQ(times.at(0), kT0);
  EXPECT_EQ(lasts.at(0), kT0 + seconds(5));
  EXPECT_NE(std::string(msg.timeIn), std::string(msg.timeLast));
}

TEST_F(QueueTest, HostCallsOnAMissingBlockReportFalse) {
  EXPECT_FALSE(q.Update("N", 'A', 1, 0, _AlmCanonicalValue{}));
  EXPECT_FALSE(q.Clear("N", 'A', 1));
  EXPECT_FALSE(q.Acknowledge("N", 'A', 1));
  EXPECT_FALSE(q.SetSuppressed("N", 'A', 1, true));
}

// --- header, horn, sequence number ---

TEST_F(QueueTest, SequenceNumberChangesOnEveryChangeAndOnlyThen) {
  SUMQHDR hdr{};
  auto seq = [&] {
    EXPECT_EQ(q.GetHeader(&hdr), 0);
    return hdr.sequenceNumber;
  };
  int32_t last = seq();
  auto changed = [&](const char* what) {
    int32_t now = seq();
    EXPECT_NE(now, last) << what;
    last = now;
  };
  q.Raise(Alarm("A", "N", 'A', 1), kT0);
  changed("raise");
  q.Raise(Alarm("A", "N", 'A', 1), kT0 + seconds(1));
  changed("raise again");
  q.Update("N", 'A', 1, 3, _AlmCanonicalValue{});
  changed("update");
  q.Acknowledge("N", 'A', 1);
  changed("acknowledge");
  q.Raise(Alarm("A", "N", 'A', 1), kT0 + seconds(2));
  ASSERT_EQ(q.MarkAcknowledged(1, 'A', "N", h), 0);
  changed("mark acknowledged");
  q.SetSuppressed("N", 'A', 1, true);
  changed("shelve");
  q.SetSuppressed("N", 'A', 1, false);
  changed("unshelve");
  q.AddOperatorMessage("OPERATOR DID IT", "N");
  changed("operator message");
  ASSERT_EQ(q.DeleteByPhysicalNode(Sort(0), 1, 'A', "N", h), 0);
  changed("delete");
  q.Raise(Alarm("B", "N", 'A', 2), kT0);
  q.Clear("N", 'A', 2);
  changed("clear");
  q.Restore(q.Snapshot(), q.SnapshotTimesIn(), q.SnapshotTimesLast());
  changed("restore");

  // Reading, positioning and the horn are not changes of the queue.
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  q.HornDisable();
  q.HornSquelch();
  EXPECT_EQ(seq(), last);
  EXPECT_EQ(q.SequenceNumber(), last);
}

TEST_F(QueueTest, HeaderCarriesTotalAndHornFlag) {
  SUMQHDR hdr;
  std::memset(&hdr, 0xFF, sizeof hdr);
  ASSERT_EQ(q.GetHeader(&hdr), 0);
  EXPECT_EQ(+hdr.totalAlarms, 0);
  EXPECT_NE(+hdr.hornEnabled, 0);
  EXPECT_EQ(hdr.reserved3[0], 0);
  q.Raise(Alarm("A", "N", 'A', 1));
  q.Raise(Alarm("B", "N", 'A', 2));
  ASSERT_EQ(q.HornDisable(), 0);
  ASSERT_EQ(q.GetHeader(&hdr), 0);
  EXPECT_EQ(+hdr.totalAlarms, 2);
  EXPECT_EQ(+hdr.hornEnabled, 0);
  ASSERT_EQ(q.HornEnable(), 0);
  ASSERT_EQ(q.GetHeader(&hdr), 0);
  EXPECT_NE(+hdr.hornEnabled, 0);
}

TEST_F(QueueTest, SquelchSilencesTheHornUntilTheNextAlarm) {
  ASSERT_EQ(q.HornSquelch(), 0);
  EXPECT_TRUE(q.HornSilenced());
  q.AddOperatorMessage("NOTE", "N");
  EXPECT_TRUE(q.HornSilenced());
  q.Raise(Alarm("A"));
  EXPECT_FALSE(q.HornSilenced());
  EXPECT_TRUE(q.HornEnabled());
}

// --- messages ---

TEST_F(QueueTest, MessagesCarryBoundedTextsBlockAddressAndTimes) {
  AlarmInput a = Alarm(std::string(40, 'T'), "NODENAME12", 'K', -1234);
  a.physicalNode = "PHYSICAL99";
  a.description = std::string(200, 'D');
  for (int i = 0; i < 20; ++i) a.areas.push_back(std::string(40, static_cast<char>('a' + i)));
  a.ext1 = std::string(100, 'x');
  a.value.kind = 1;
  a.value.textFlag = 1;
  std::memset(a.value.text, 'V', sizeof a.value.text);
  a.priority = 4;
  a.statusCode = 1796;
  std::tm tm{};
  tm.tm_year = 124, tm.tm_mon = 1, tm.tm_mday = 29, tm.tm_hour = 7, tm.tm_min = 5, tm.tm_sec = 9;
  tm.tm_isdst = -1;
  q.Raise(a, Clock::from_time_t(std::mktime(&tm)));

  ASSERT_EQ(q.Home(Sort(0), h), 0);
  auto all = GetFromCursor(Sort(0));
  ASSERT_EQ(all.size(), 1u);
  const SUMQMSG& m = all[0];
  EXPECT_EQ(FieldText(m.almpak.tagName).size(), 30u);
  EXPECT_EQ(std::string(FieldText(m.almpak.node)), "NODENAME");
  EXPECT_EQ(std::string(FieldText(m.almpak.physicalNode)), "PHYSICAL");
  EXPECT_EQ(FieldText(m.almpak.description).size(), 132u);
  EXPECT_EQ(+m.almpak.areaCount, 15u);
  EXPECT_EQ(std::string(FieldText(m.almpak.areas[14])), std::string(29, 'o'));
  EXPECT_EQ(FieldText(m.almpak.ext.ext1).size(), 80u);
  EXPECT_EQ(FieldText(m.almpak.value.text).size(), 79u);
  EXPECT_EQ(m.almpak.vsp.blockType, 'K');
  EXPECT_EQ(+m.almpak.vsp.blockNumber, -1234);
  EXPECT_EQ(+m.almpak.priority, 4);
  EXPECT_EQ(+m.almpak.statusCode, 1796);
  EXPECT_EQ(std::string(m.dateIn), "02/29/2024");
  EXPECT_EQ(std::string(m.timeIn), "07:05:09");
  EXPECT_EQ(std::string(m.dateLast), "02/29/2024");
  EXPECT_EQ(std::string(m.timeLast), "07:05:09");
  EXPECT_EQ(+m.ackFlag, 0);
}

TEST_F(QueueTest, FieldBlockIsCopiedWithItsKindWord) {
  AlarmInput a = Alarm("FLEX");
  a.extKind = 1;
  for (std::size_t i = 0; i < a.fieldBlock.size(); ++i) a.fieldBlock[i] = static_cast<uint8_t>(i);
  q.Raise(a);
  SUMQMSG msg{};
  ASSERT_EQ(q.Find(1, 'A', "NODE1", &msg), 0);
  EXPECT_EQ(+msg.almpak.ext.extKind, 1);
  EXPECT_EQ(msg.almpak.fieldBlock[2], 2);
  EXPECT_EQ(msg.almpak.fieldBlock[169], 169);
}

TEST_F(QueueTest, OperatorMessagesHaveTypeEightNoBlockAndAreNotFoundAsBlocks) {
  q.AddOperatorMessage("ACK ALL BY OPER1", "N1", kT0);
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  auto all = GetFromCursor(Sort(0));
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(+all[0].almpak.msgType, 8);
  EXPECT_EQ(all[0].almpak.vsp.blockType, 0);
  EXPECT_EQ(std::string(FieldText(all[0].almpak.description)), "ACK ALL BY OPER1");
  SUMQMSG msg{};
  EXPECT_NE(q.Find(0, '\0', "N1", &msg), 0);
  EXPECT_NE(q.FindByTagname("N1", "", &msg), 0);
}

TEST_F(QueueTest, RestoreMakesForeignMessagesSafeAndReadsTheirTimes) {
  SUMQMSG bad;
  std::memset(&bad, 'X', sizeof bad);
  bad.almpak.msgType = 1;
  bad.almpak.areaCount = 1000;
  bad.almpak.ext.extKind = 0;
  std::strcpy(bad.dateIn, "03/04/2024");
  std::strcpy(bad.timeIn, "10:00:00");
  SUMQMSG early = bad;
  std::strcpy(early.dateIn, "03/04/2023");
  early.almpak.vsp.blockNumber = 2;
  q.Restore({bad, early}, {}, {});
  ASSERT_EQ(q.Size(), 2u);
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  auto all = GetFromCursor(Sort(0));
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(std::string(all[0].dateIn), "03/04/2023");
  for (const SUMQMSG& m : all) {
    EXPECT_EQ(+m.almpak.areaCount, 15u);
    EXPECT_EQ(FieldText(m.almpak.tagName).size(), 30u);
    EXPECT_EQ(FieldText(m.almpak.node).size(), 8u);
    EXPECT_EQ(FieldText(m.almpak.ext.ext2).size(), 80u);
    EXPECT_EQ(FieldText(m.timeLast).size(), 19u);
  }
}

TEST_F(QueueTest, SnapshotAndRestoreRoundTripInTimeOrder) {
  RaiseAt(Alarm("SECOND"), 20);
  RaiseAt(Alarm("FIRST"), 10);
  q.Update("NODE1", 'A', 101, 7, _AlmCanonicalValue{}, kT0 + seconds(50));
  SummaryQueue copy;
  copy.Restore(q.Snapshot(), q.SnapshotTimesIn(), q.SnapshotTimesLast());
  auto snap = copy.Snapshot();
  ASSERT_EQ(snap.size(), 2u);
  EXPECT_EQ(Tag(snap[0]), "FIRST");
  EXPECT_EQ(copy.SnapshotTimesLast()[1], kT0 + seconds(50));
  EXPECT_EQ(std::memcmp(&snap[1], &q.Snapshot()[1], sizeof(SUMQMSG)), 0);
}

// --- fault injection ---

TEST_F(QueueTest, InjectedFaultsReturnTheirStatusAndChangeNothing) {
  q.Raise(Alarm("A", "N", 'A', 1), kT0);
  ASSERT_EQ(q.Home(Sort(0), h), 0);
  const int32_t seq = q.SequenceNumber();
  const short kFault = 77;
  for (const char* call :
       {"sumqOpen", "sumqClose", "sumqHornEnable", "sumqHornDisable", "sumqHornSquelch",
        "sumqGethdr", "sumqHome", "sumqEnd", "sumqNextp", "sumqPrevp", "sumqGet", "sumqFind",
        "sumqFindVisibleAlarm", "sumqFindByTagname", "sumqMarkAsAcknowledged",
        "SumqDeleteAlarmByPhysicalNodeName"}) {
    q.faults().Inject(call, kFault);
  }
  unsigned short x = 0;
  SUMQHDR hdr{};
  SUMQMSG msg{};
  SUMQMSG* list = nullptr;
  unsigned short n = 9;
  q.HornSquelch();
  EXPECT_EQ(q.Open(&x, nullptr), kFault);
  EXPECT_EQ(q.Close(h), kFault);
  EXPECT_EQ(q.HornEnable(), kFault);
  EXPECT_EQ(q.HornDisable(), kFault);
  EXPECT_EQ(q.HornSquelch(), kFault);
  EXPECT_EQ(q.GetHeader(&hdr), kFault);
  EXPECT_EQ(q.Home(Sort(0), h), kFault);
  EXPECT_EQ(q.End(Sort(0), h), kFault);
  EXPECT_EQ(q.NextPage(Sort(0), 0, h), kFault);
  EXPECT_EQ(q.PrevPage(Sort(0), 0, h), kFault);
  EXPECT_EQ(q.Get(Sort(0), 0, h, &list, &n), kFault);
  EXPECT_EQ(q.Find(1, 'A', "N", &msg), kFault);
  EXPECT_EQ(q.FindVisible(1, 'A', "N", &msg), kFault);
  EXPECT_EQ(q.FindByTagname("N", "A", &msg), kFault);
  EXPECT_EQ(q.MarkAcknowledged(1, 'A', "N", h), kFault);
  EXPECT_EQ(q.DeleteByPhysicalNode(Sort(0), 1, 'A', "N", h), kFault);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(q.OpenHandles(), 1u);
  EXPECT_EQ(q.Size(), 1u);
  EXPECT_EQ(q.SequenceNumber(), seq);
  EXPECT_TRUE(q.HornEnabled());
  EXPECT_FALSE(q.HornSilenced());

  q.faults().ClearAll();
  ASSERT_EQ(q.Find(1, 'A', "N", &msg), 0);
  EXPECT_EQ(+msg.ackFlag, 0);
}

TEST_F(QueueTest, AFaultForTheNextCallsOnlyPassesAfterwards) {
  q.faults().Inject("sumqHome", 5, 2);
  EXPECT_EQ(q.Home(Sort(0), h), 5);
  EXPECT_EQ(q.Home(Sort(0), h), 5);
  EXPECT_EQ(q.Home(Sort(0), h), 0);
}

TEST_F(QueueTest, ClientObjectReportsTheServiceStatus) {
  InstallQueueBackend(&q);
  CQuorlen client;
  ERROR_REC err{};
  q.faults().Inject("sumqGethdr", 9);
  SUMQHDR hdr{};
  client.sumqGethdr(&err, &hdr);
  EXPECT_EQ(err.status, 9);
  q.faults().Inject("sumqGet", 3);
  SUMQMSG* list = reinterpret_cast<SUMQMSG*>(1);
  SORT_CNTL s = Sort(0);
  EXPECT_EQ(client.sumqGet(&err, &list, 0, nullptr, &s, h, nullptr, nullptr, 1), 0);
  EXPECT_EQ(err.status, 3);
  EXPECT_EQ(list, nullptr);
  InstallQueueBackend(nullptr);
  client.sumqGethdr(&err, &hdr);
  EXPECT_EQ(err.status, kServiceDown);
}

// --- threads ---

TEST(QueueThreads, PagingWhileOthersRaiseAndClearSeesOrderedConsistentLists) {
  SummaryQueue q;
  constexpr int kPerWriter = 2000;
  std::atomic<bool> writing{true};
  std::atomic<int> pages{0};
  // Writer w owns block numbers w*10000 .. ; time in follows the number, so
  // the key-0 view is ordered by number.
  auto writer = [&](int w) {
    for (int i = 0; i < kPerWriter; ++i) {
      int16_t number = static_cast<int16_t>(w * 10000 + i);
      q.Raise(Alarm("T", "N", 'A', number), kT0 + seconds(number));
      if (i % 2 == 1) {
        EXPECT_TRUE(q.Clear("N", 'A', static_cast<int16_t>(number - 1)));
      }
    }
  };
  auto pager = [&](bool descending) {
    unsigned short h = 0;
    ASSERT_EQ(q.Open(&h, nullptr), 0);
    SORT_CNTL s = Sort(0, descending);
    while (writing.load()) {
      if (q.Home(s, h) != 0) continue;
      q.NextPage(s, 3, h);
      SUMQMSG* list = nullptr;
      unsigned short n = 0;
      ASSERT_EQ(q.Get(s, 0, h, &list, &n), 0);
      EXPECT_LE(n, 2 * kPerWriter);
      for (unsigned short i = 1; i < n; ++i) {
        int16_t a = list[i - 1].almpak.vsp.blockNumber, b = list[i].almpak.vsp.blockNumber;
        ASSERT_TRUE(descending ? a > b : a < b) << a << " then " << b;
      }
      q.FreeList(list);
      pages.fetch_add(1);
    }
    EXPECT_EQ(q.Close(h), 0);
  };
  std::thread p1(pager, false), p2(pager, true);
  std::thread w1(writer, 0), w2(writer, 1);
  w1.join();
  w2.join();
  writing = false;
  p1.join();
  p2.join();
  EXPECT_GT(pages.load(), 0);
  EXPECT_EQ(q.Size(), static_cast<std::size_t>(kPerWriter));  // every other alarm cleared
  SUMQHDR hdr{};
  ASSERT_EQ(q.GetHeader(&hdr), 0);
  EXPECT_EQ(+hdr.totalAlarms, kPerWriter);
  EXPECT_EQ(q.OpenHandles(), 0u);
}

}  // namespace
}  // namespace tolvane::node
