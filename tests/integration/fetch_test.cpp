// Fetching pages of rows through the manager from the embedded node.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>

#include "support/manager_fixture.h"
#include "support/manager_peer.h"
#include "support/row_bytes.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

class FetchTest : public ManagerFixture {};

TEST_F(FetchTest, InvalidHandleTouchesNothing) {
  VARIANT v;
  VariantInit(&v);
  v.vt = 99;
  short rows = 7;
  char filter[] = "";
  EXPECT_EQ(mgr_->FetchAlarmsByRef(&v, 10, filter, 1, kNoHandle, &rows), kFailed);
  EXPECT_EQ(v.vt, 99);
  EXPECT_EQ(rows, 7);
}

TEST_F(FetchTest, CountZeroMakesNoQueueCall) {
  Raise({.tag = "FIC101"});
  queue().faults().Inject("sumqHome", 9);
  queue().faults().Inject("sumqGet", 9);
  Page p = Fetch("", 1, 0);
  EXPECT_EQ(p.result, kOk);
  EXPECT_EQ(p.rows, 0);
  EXPECT_FALSE(p.gotArray);
  EXPECT_EQ(Fetch("", 1, 5).result, kFailed);  // the same faults do fail a real fetch
}

TEST_F(FetchTest, EmptyQueueGivesAZeroLengthArray) {
  Page p = Fetch();
  EXPECT_EQ(p.result, kOk);
  EXPECT_EQ(p.rows, 0);
  EXPECT_TRUE(p.gotArray);
  EXPECT_EQ(p.arrayBytes, 0u);
  EXPECT_EQ(p.vt, VT_UI1);  // the tag callers rely on, not VT_ARRAY|VT_UI1
}

TEST_F(FetchTest, CountLimitsThePageAndMinusOneFetchesAll) {
  for (int i = 0; i < 25; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  Page some = Fetch("", 1, 10);
  EXPECT_EQ(some.rows, 10);
  EXPECT_EQ(some.arrayBytes, 10 * sizeof(tagAlarmStr));
  Page all = Fetch("", 1, -1);
  EXPECT_EQ(all.rows, 25);
  Page more = Fetch("", 1, 1000);
  EXPECT_EQ(more.rows, 25);
}

TEST_F(FetchTest, FilterThatMatchesNothingLeavesAZeroArray) {
  for (int i = 0; i < 4; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  Page p = Fetch("ASF_TAGNAME = \"NOPE\"");
  EXPECT_EQ(p.result, kOk);
  EXPECT_EQ(p.rows, 0);
  EXPECT_EQ(p.arrayBytes, 4 * sizeof(tagAlarmStr));
  EXPECT_TRUE(std::all_of(p.rest.begin(), p.rest.end(), [](unsigned char b) { return b == 0; }));
}

TEST_F(FetchTest, BadFilterGives2841AndAnAllZeroArray) {
  for (int i = 0; i < 3; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  Page p = Fetch("ASF_TAGNAME = \"T1\" ");
  EXPECT_EQ(p.result, kBadFilter);
  EXPECT_EQ(p.rows, 0);
  EXPECT_EQ(p.arrayBytes, 3 * sizeof(tagAlarmStr));
  EXPECT_TRUE(std::all_of(p.rest.begin(), p.rest.end(), [](unsigned char b) { return b == 0; }));
}

TEST_F(FetchTest, FilteredRowsArePackedFromTheStart) {
  for (int i = 0; i < 6; ++i) {
    Raise({.tag = (i % 2 ? "PUMP" : "VALVE") + std::to_string(i), .number = int16_t(i)});
  }
  Page p = Fetch("ASF_TAGNAME = \"PUMP*\"");
  ASSERT_EQ(p.rows, 3);
  for (const tagAlarmStr& r : p.data) EXPECT_EQ(Tag(r).substr(0, 4), "PUMP");
  EXPECT_EQ(p.rest.size(), 3 * sizeof(tagAlarmStr));
  EXPECT_TRUE(std::all_of(p.rest.begin(), p.rest.end(), [](unsigned char b) { return b == 0; }));
}

TEST_F(FetchTest, RowFieldsSitAtTheirOffsets) {
  Raise({.node = "PLANT2",
         .physicalNode = "PHYS2",
         .tag = "FIC101",
         .letter = 'B',
         .number = -5,
         .priority = 3,
         .statusCode = 1796,
         .acknowledged = true,
         .description = "FEED FLOW HIGH HIGH",
         .areas = {"AREA1", "UTILITIES"},
         .value = -42});
  Page p = Fetch();
  ASSERT_EQ(p.rows, 1);
  const tagAlarmStr& row = p.data[0];
  const void* base = &row;
  EXPECT_EQ(TextAt(base, 0, 1), "1");
  EXPECT_EQ(TextAt(base, 1, 64), "B-5PLANT2");
  EXPECT_EQ(TextAt(base, 65, 465), "AREA1,UTILITIES");
  EXPECT_EQ(TextAt(base, 610, 9), "PLANT2");
  EXPECT_EQ(TextAt(base, 619, 31), "FIC101");
  EXPECT_EQ(TextAt(base, 650, 20), "CRITICAL");
  EXPECT_EQ(TextAt(base, 670, 133), "HIHI");
  EXPECT_EQ(TextAt(base, 803, 133), "FEED FLOW HIGH HIGH");
  EXPECT_EQ(TextAt(base, 936, 28), "-42");
  EXPECT_FALSE(TextAt(base, 530, 20).empty());  // date in, as the queue wrote it
  EXPECT_FALSE(TextAt(base, 570, 20).empty());  // time in
  EXPECT_EQ(row.vsp.blockType, 'B');
  EXPECT_EQ(row.vsp.blockNumber, -5);
  EXPECT_EQ(int32_t{row.statusCode}, 1796);  // by value: the field is packed
}

TEST_F(FetchTest, UnknownPriorityAndStatusShowPlaceholdersAndNoStatusLeavesItEmpty) {
  Raise({.tag = "T1", .number = 1, .priority = 0, .statusCode = 5});
  Raise({.tag = "T2", .number = 2, .statusCode = -1});
  Page p = Fetch("", 1);
  ASSERT_EQ(p.rows, 2);
  EXPECT_EQ(TextAt(&p.data[0], 650, 20), "*?*");
  EXPECT_EQ(TextAt(&p.data[0], 670, 133), "*?*");
  EXPECT_EQ(TextAt(&p.data[1], 670, 133), "");
}

TEST_F(FetchTest, OperatorMessageRowsHaveAnEmptyReferenceAndNoAddress) {
  Raise({.tag = "T1"});
  queue().AddOperatorMessage("SHIFT HANDOVER", "PLANT1");
  Page p = Fetch();
  ASSERT_EQ(p.rows, 2);
  int opmsgs = 0;
  for (const tagAlarmStr& r : p.data) {
    if (r.reference[0] != '\0') continue;
    ++opmsgs;
    EXPECT_EQ(r.vsp.blockType, 0);
    EXPECT_EQ(r.vsp.blockNumber, 0);
    EXPECT_EQ(r.statusCode, 0);
  }
  EXPECT_EQ(opmsgs, 1);
}

TEST_F(FetchTest, SortCodeThreeOrdersByPriorityBothWays) {
  const int16_t priorities[] = {7, 3, 9, 5, 4};  // LOW CRITICAL INFO HIGH HIHI
  for (int i = 0; i < 5; ++i) {
    Raise({.tag = "T" + std::to_string(i), .number = int16_t(i), .priority = priorities[i]});
  }
  auto names = [](const Page& p) {
    std::vector<std::string> v;
    for (const auto& r : p.data) v.push_back(TextAt(&r, 650, 20));
    return v;
  };
  std::vector<std::string> up = {"INFO", "LOW", "HIGH", "HIHI", "CRITICAL"};
  EXPECT_EQ(names(Fetch("", 3)), up);
  std::reverse(up.begin(), up.end());
  EXPECT_EQ(names(Fetch("", -3)), up);
}

TEST_F(FetchTest, OutOfRangeSortCodesFallBackToTimeIn) {
  auto t0 = node::Clock::now() - 1h;
  Raise({.tag = "LATE", .number = 1, .when = t0 + 20min});
  Raise({.tag = "EARLY", .number = 2, .when = t0});
  for (long code : {0L, 14L, -14L}) {
    Page p = Fetch("", code);
    ASSERT_EQ(p.rows, 2) << code;
    std::string first = Tag(p.data[0]);
    // Zero and negative codes sort descending, positive ascending.
    EXPECT_EQ(first, code > 0 ? "EARLY" : "LATE") << code;
  }
}

TEST_F(FetchTest, SeveralHundredAlarmsPageInEveryOrderAndReferencesReadBack) {
  const char* nodes[] = {"PLANT1", "PLANT2", "NORTH7"};
  auto t0 = node::Clock::now() - 10h;
  for (int i = 0; i < 300; ++i) {
    Raise({.node = nodes[i % 3],
           .tag = "TAG" + std::to_string(1000 + i),
           .letter = char('A' + i % 5),
           .number = int16_t(i),
           .priority = int16_t(3 + i % 7),
           .acknowledged = i % 4 == 0,
           .when = t0 + std::chrono::seconds(i * 37 % 300)});
  }
  for (long code : {1L, -1L, 2L, -2L, 3L, -3L, 5L, -5L, 13L}) {
    Page p = Fetch("", code);
    ASSERT_EQ(p.rows, 300) << code;
    std::set<std::string> refs;
    for (const tagAlarmStr& r : p.data) refs.insert(Ref(r));
    EXPECT_EQ(refs.size(), 300u) << code;
  }
  // Every reference names its own alarm.
  Page p = Fetch("ASF_NODE IN \"PLANT2,NORTH7\" AND ASF_ACK = \"Unacknowledged\"", 5);
  ASSERT_GT(p.rows, 0);
  for (tagAlarmStr& r : p.data) {
    std::string node(r.node);
    EXPECT_TRUE(node == "PLANT2" || node == "NORTH7");
    EXPECT_EQ(r.ack[0], '0');
    SUMQMSG msg;
    ASSERT_EQ(CVeltAlmSummMgrTestPeer::CorrespondingAlarm(*mgr_, r.reference, &msg), 1) << Ref(r);
    EXPECT_EQ(std::string(msg.almpak.tagName), Tag(r));
  }
  // Sort code 5 (key 6) keeps each node's rows together.
  std::vector<std::string> order;
  for (const tagAlarmStr& r : p.data) {
    if (order.empty() || order.back() != r.node) order.push_back(r.node);
  }
  EXPECT_EQ(order.size(), 2u);
}

TEST_F(FetchTest, PagesComeFromTheFirstAlarmEveryTime) {
  for (int i = 0; i < 30; ++i) Raise({.tag = "T" + std::to_string(i), .number = int16_t(i)});
  Page a = Fetch("", 1, 10);
  Page b = Fetch("", 1, 10);
  ASSERT_EQ(a.rows, 10);
  ASSERT_EQ(b.rows, 10);
  EXPECT_EQ(Ref(a.data[0]), Ref(b.data[0]));
}

TEST_F(FetchTest, QueueGetFailureGives100) {
  Raise({.tag = "T1"});
  queue().faults().Inject("sumqGet", 5, 1);
  EXPECT_EQ(Fetch().result, kFailed);
  EXPECT_EQ(Fetch().result, kOk);
}

TEST_F(FetchTest, PositioningFailuresAreAbsorbed) {
  Raise({.tag = "T1"});
  queue().faults().Inject("sumqNextp", 4, 1);
  queue().faults().Inject("sumqPrevp", 4, 1);
  Page p = Fetch();
  EXPECT_EQ(p.result, kOk);
  EXPECT_EQ(p.rows, 1);
}

TEST_F(FetchTest, AlarmHandleCarriesTheAliasForTheLocalNodeInAnyCase) {
  Raise({.node = "PLANT1", .tag = "FIC101", .letter = 'A', .number = 12});
  Raise({.node = "OTHER", .tag = "TIC200", .letter = 'C', .number = 3});
  char ref[64];
  char tag[] = "FIC101";
  for (const char* name : {"PLANT1", "plant1", "Plant1"}) {
    std::string n(name);
    std::memset(ref, 'x', sizeof ref);
    ASSERT_EQ(mgr_->GetAlarmHandle(handle_, n.data(), tag, ref), kOk) << name;
    EXPECT_STREQ(ref, "A12PLANT1B") << name;
  }
  char other[] = "other";
  char tag2[] = "TIC200";
  ASSERT_EQ(mgr_->GetAlarmHandle(handle_, other, tag2, ref), kOk);
  EXPECT_STREQ(ref, "C3other");  // the caller's text, in the caller's case
}

TEST_F(FetchTest, AlarmHandleFailures) {
  char ref[64] = "untouched";
  char node[] = "PLANT1";
  char tag[] = "NOSUCH";
  EXPECT_EQ(mgr_->GetAlarmHandle(kNoHandle, node, tag, ref), kFailed);
  EXPECT_STREQ(ref, "untouched");
  EXPECT_EQ(mgr_->GetAlarmHandle(handle_, node, tag, ref), kNoAlarmForTag);
  EXPECT_STREQ(ref, "");
}

TEST_F(FetchTest, CorrespondingAlarmRejectsLongNodeNamesAndUnknownAlarms) {
  Raise({.node = "PLANT1", .tag = "T1", .letter = 'A', .number = 7});
  SUMQMSG msg;
  char good[64] = "A7PLANT1";
  char aliased[64] = "A7PLANT1A";
  char longName[64] = "A7PLANT1XYZ";
  char unknown[64] = "A8PLANT1";
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::CorrespondingAlarm(*mgr_, good, &msg), 1);
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::CorrespondingAlarm(*mgr_, aliased, &msg), 1);
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::CorrespondingAlarm(*mgr_, longName, &msg), 0);
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::CorrespondingAlarm(*mgr_, unknown, &msg), 0);
}

TEST_F(FetchTest, ValueTextAndRemoveNulls) {
  _AlmCanonicalValue v{};
  v.textFlag = 1;
  std::strcpy(v.text, "ABCDEF");
  char out[4];
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::ValueText(*mgr_, &v, out, sizeof out), 0u);
  EXPECT_STREQ(out, "ABC");

  tagAlarmStr row{};
  CVeltAlmSummMgrTestPeer::RemoveNulls(*mgr_, &row, 1);
  EXPECT_EQ(row.reference[0], ' ');
  EXPECT_EQ(row.ext1[0], ' ');
  EXPECT_EQ(row.ext2[0], '\0');  // left alone unless the flag is 0
  EXPECT_EQ(row.ack[0], '\0');
  CVeltAlmSummMgrTestPeer::RemoveNulls(*mgr_, &row, 0);
  EXPECT_EQ(row.ext2[0], ' ');
}

TEST_F(FetchTest, ABigViewKeepsTheFirstRowsAndAFilterStillSeesPastThem) {
  // One more alarm than a page keeps, then a few that only a filter picks out.
  constexpr int kAlarms = 32767 + 5;
  const auto t0 = node::Clock::from_time_t(1700000000);
  for (int i = 0; i < kAlarms; ++i) {
    node::AlarmInput in;
    in.node = in.physicalNode = "PLANT1";
    in.tag = (i >= 32767 ? "LATE" : "T") + std::to_string(i);
    in.blockNumber = static_cast<int16_t>(i);
    in.statusCode = -1;
    queue().Raise(in, t0 + std::chrono::seconds(i));
  }
  for (long count : {-1L, 40000L, 65536L}) {
    Page all = Fetch("", 1, count);
    ASSERT_EQ(all.result, kOk) << count;
    ASSERT_EQ(all.rows, 32767) << count;
    EXPECT_EQ(all.arrayBytes, 32767 * sizeof(tagAlarmStr)) << count;  // no all-zero tail
    EXPECT_EQ(Tag(all.data.front()), "T0");
    EXPECT_EQ(Tag(all.data.back()), "T32766");
  }
  Page newest = Fetch("", -1);  // descending: the late ones come first
  ASSERT_EQ(newest.rows, 32767);
  EXPECT_EQ(Tag(newest.data.front()), "LATE" + std::to_string(kAlarms - 1));

  Page late = Fetch("ASF_TAGNAME = \"LATE*\"");
  ASSERT_EQ(late.result, kOk);
  ASSERT_EQ(late.rows, 5);
  EXPECT_EQ(late.arrayBytes, kAlarms * sizeof(tagAlarmStr));
  EXPECT_EQ(Tag(late.data.front()), "LATE32767");

  // The bulk operations read the view the same way: one unfiltered call takes
  // the first 32767 and leaves the rest.
  char none[] = "";
  EXPECT_EQ(mgr_->RemoveAllAlarmsByRef(handle_, none, 1), kOk);
  Page left = Fetch();
  ASSERT_EQ(left.rows, 5);
  EXPECT_EQ(Tag(left.data.front()), "LATE32767");
}

TEST_F(FetchTest, MoreMessagesThanASixteenBitCountStillYieldRows) {
  // 40000 messages: the conversion keeps the first 32767 instead of none.
  std::vector<SUMQMSG> list(40000);
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::memset(&list[i], 0, sizeof list[i]);
    list[i].almpak.msgType = 1;
    list[i].almpak.vsp.blockType = 'A';
    list[i].almpak.vsp.blockNumber = static_cast<int16_t>(i);
    std::strcpy(list[i].almpak.node, "N");
    list[i].almpak.statusCode = -1;
  }
  std::vector<tagAlarmStr> rows(32767);
  short count = 0;
  EXPECT_EQ(CVeltAlmSummMgrTestPeer::ConvertRows(*mgr_, list.data(), rows.data(),
                                                 static_cast<short>(list.size()), &count, ""),
            1);
  EXPECT_EQ(count, 32767);
}

}  // namespace
}  // namespace tolvane::testing
