// Whole-queue views: rows as the fetch builds them, pages by place that hold
// while alarms come and go, exact counts and bulk actions past the 16-bit
// reach of the defined calls.
#include "tolvane/alarm_view.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "services/queue_backend.h"
#include "support/manager_fixture.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

const auto kT0 = node::Clock::from_time_t(1700000000);

// An outside queue that has only the defined calls: it cannot walk.
class NoWalkQueue final : public QueueBackend {
 public:
  explicit NoWalkQueue(node::SummaryQueue& q) : q_(q) {}
  short Open(unsigned short* h, unsigned char* f) override { return q_.Open(h, f); }
  short Close(unsigned short h) override { return q_.Close(h); }
  short HornEnable() override { return 0; }
  short HornDisable() override { return 0; }
  short HornSquelch() override { return 0; }
  short GetHeader(SUMQHDR* hdr) override { return q_.GetHeader(hdr); }
  short Home(const SORT_CNTL& s, unsigned short h) override { return q_.Home(s, h); }
  short End(const SORT_CNTL& s, unsigned short h) override { return q_.End(s, h); }
  short NextPage(const SORT_CNTL& s, int c, unsigned short h) override {
    return q_.NextPage(s, c, h);
  }
  short PrevPage(const SORT_CNTL& s, int c, unsigned short h) override {
    return q_.PrevPage(s, c, h);
  }
  short Get(const SORT_CNTL& s, unsigned short c, unsigned short h, SUMQMSG** list,
            unsigned short* n) override {
    return q_.Get(s, c, h, list, n);
  }
  void FreeList(SUMQMSG* list) override { q_.FreeList(list); }
  short Find(short n, char l, const char* node, SUMQMSG* m) override {
    return q_.Find(n, l, node, m);
  }
  short FindVisible(short n, char l, const char* node, SUMQMSG* m) override {
    return q_.FindVisible(n, l, node, m);
  }
  short FindByTagname(const char* node, const char* tag, SUMQMSG* m) override {
    return q_.FindByTagname(node, tag, m);
  }
  short MarkAcknowledged(short n, char l, const char* node, unsigned short h) override {
    return q_.MarkAcknowledged(n, l, node, h);
  }
  short DeleteByPhysicalNode(const SORT_CNTL& s, short n, char l, const char* p,
                             unsigned short h) override {
    return q_.DeleteByPhysicalNode(s, n, l, p, h);
  }

 private:
  node::SummaryQueue& q_;
};

const char* const kFilters[] = {
    "",
    R"(ASF_TAGNAME = "T*1" AND ASF_PRIORITY >= "HIGH")",
    R"(ASF_NODE IN "plant1, OTH*" OR ASF_AREA IN "AREA2")",
    R"(ASF_DESCRIPTION NOTCONTAINING "low" NOR ASF_PRIORITY < "MEDIUM")",
    R"(ASF_PRIORITY = "CRITICAL" AND ASF_ACK = "Unacknowledged")",
};

std::vector<unsigned char> Bytes(const std::vector<tagAlarmStr>& rows) {
  const auto* b = reinterpret_cast<const unsigned char*>(rows.data());
  return {b, b + rows.size() * sizeof(tagAlarmStr)};
}

class AlarmViewTest : public ManagerFixture {
 protected:
  // n alarms over `nodes` nodes: priority 3 + i % 7 (CRITICAL when i % 7 is
  // 0), acknowledged when i % 5 is 0, time in spread over a day.
  void Fill(int n, int nodes = 4) {
    const char* names[] = {"PLANT1", "PLANT2", "OTHER", "UTILS"};
    for (int i = 0; i < n; ++i) {
      AlarmSpec s;
      s.node = names[i % nodes];
      s.tag = (i % 3 ? "T" : "t") + std::to_string(i);
      s.letter = static_cast<char>('A' + i / 60000);
      s.number = static_cast<int16_t>(i % 60000 / nodes);
      s.priority = static_cast<int16_t>(3 + i % 7);
      s.acknowledged = i % 5 == 0;
      s.description = (i % 2 ? "Level high " : "LEVEL LOW ") + std::to_string(i % 9);
      s.areas = {"AREA" + std::to_string(i % 4), i % 3 ? "AREA 3" : "ALL"};
      s.value = static_cast<int16_t>(i * 7 % 50);
      s.when = kT0 + std::chrono::seconds((i * 7919) % 86400);
      Raise(s);
    }
  }

  // Every page of n rows from the first on, joined.
  std::vector<tagAlarmStr> Forward(AlarmView& view, std::size_t n) {
    std::vector<tagAlarmStr> all;
    AlarmViewPage page;
    EXPECT_EQ(view.First(n, &page), kOk);
    EXPECT_TRUE(page.atStart);
    for (int guard = 0; guard < 100000; ++guard) {
      all.insert(all.end(), page.rows.begin(), page.rows.end());
      if (page.atEnd) break;
      std::string last = page.last;
      EXPECT_EQ(view.After(last, n, &page), kOk);
    }
    return all;
  }
};

TEST_F(AlarmViewTest, RowsAreTheFetchsRowsInEverySortOrderForwardAndBack) {
  Fill(90);
  queue().AddOperatorMessage("Operator note", "PLANT1", kT0 + 7s);
  queue().SetSuppressed("PLANT1", 'A', 4, true);
  int compared = 0;
  for (long sort = -13; sort <= 13; ++sort) {
    if (sort == 0) continue;
    for (const char* filter : kFilters) {
      SCOPED_TRACE(std::string(filter) + " sort " + std::to_string(sort));
      Page fetched = Fetch(filter, sort, -1);
      ASSERT_EQ(fetched.result, kOk);
      AlarmView view(sort, filter);
      ASSERT_EQ(view.Check(), kOk);
      for (std::size_t n : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
        ASSERT_EQ(Bytes(Forward(view, n)), Bytes(fetched.data)) << "pages of " << n;
      }
      // From the end back: the same rows.
      std::vector<tagAlarmStr> back;
      AlarmViewPage page;
      ASSERT_EQ(view.Last(6, &page), kOk);
      EXPECT_TRUE(page.atEnd);
      for (;;) {
        back.insert(back.begin(), page.rows.begin(), page.rows.end());
        if (page.atStart) break;
        ASSERT_EQ(view.Before(std::string(page.first), 6, &page), kOk);
      }
      ASSERT_EQ(Bytes(back), Bytes(fetched.data));
      compared += fetched.rows > 0;
    }
  }
  EXPECT_GT(compared, 100);
  AlarmView bad(1, R"(ASF_TAGNAME = "T1" )");
  AlarmViewPage page;
  EXPECT_EQ(bad.Check(), kBadFilter);
  EXPECT_EQ(bad.First(5, &page), kBadFilter);
}

TEST_F(AlarmViewTest, ANarrowedViewHoldsOnlyAlarmsOrOnlyMessagesInTheSameOrder) {
  Fill(60);
  for (int i = 0; i < 4; ++i) {
    queue().AddOperatorMessage("Shift note " + std::to_string(i), "PLANT1", kT0 + i * 5000s);
  }
  for (long sort : {1L, -5L}) {
    SCOPED_TRACE(sort);
    AlarmView all(sort, "");
    std::vector<tagAlarmStr> every = Forward(all, 7);
    auto rowsOf = [](const std::vector<tagAlarmStr>& rows) {
      std::multiset<std::string> set;
      for (const tagAlarmStr& r : rows) set.emplace(reinterpret_cast<const char*>(&r), sizeof r);
      return set;
    };
    std::multiset<std::string> joined;
    for (ViewRecords which : {ViewRecords::kAlarms, ViewRecords::kMessages}) {
      const bool messages = which == ViewRecords::kMessages;
      AlarmView narrow(sort, "");
      narrow.Select(which);
      AlarmViewCounts c;
      ASSERT_EQ(narrow.Count(&c), kOk);
      std::vector<tagAlarmStr> rows = Forward(narrow, 7);
      EXPECT_EQ(c.matched, rows.size());
      EXPECT_EQ(messages ? c.alarms : c.messages, 0u);
      EXPECT_EQ(rows.size(), messages ? 4u : 60u);
      joined.merge(rowsOf(rows));
    }
    // Together they are the whole view: each row is of one kind only.
    EXPECT_EQ(joined, rowsOf(every));
  }
}

TEST_F(AlarmViewTest, CountsAndPagesReachPastTheDefinedReach) {
  // More alarms than a 16-bit read holds; the critical ones sit all through
  // every order. Truth by construction: i % 7 == 0 is CRITICAL.
  const int n = 70000;
  Fill(n);
  queue().SetSuppressed("PLANT1", 'A', 0, true);  // i == 0: critical, acknowledged
  std::size_t critical = 0, criticalNew = 0;
  for (int i = 1; i < n; ++i) {
    if (i % 7 == 0) {
      ++critical;
      criticalNew += i % 5 != 0;
    }
  }
  for (long sort : {1L, -1L, 2L, 3L, -3L, 5L, 12L}) {
    SCOPED_TRACE(sort);
    AlarmView view(sort, R"(ASF_PRIORITY = "CRITICAL")");
    AlarmViewCounts c;
    ASSERT_EQ(view.Count(&c), kOk);
    EXPECT_EQ(c.total, std::size_t(n - 1));
    EXPECT_EQ(c.matched, critical);
    EXPECT_EQ(c.alarms, critical);
    EXPECT_EQ(c.unacknowledged, criticalNew);
    EXPECT_EQ(c.byPriority[3], critical);
    EXPECT_EQ(c.shelved, 1u);
    std::vector<tagAlarmStr> rows = Forward(view, 2000);
    ASSERT_EQ(rows.size(), critical);
    std::set<std::string> refs;
    for (const tagAlarmStr& r : rows) refs.insert(Ref(r));
    EXPECT_EQ(refs.size(), critical);  // none twice
  }
  AlarmView all(1, "");
  AlarmViewCounts c;
  ASSERT_EQ(all.Count(&c), kOk);
  EXPECT_EQ(c.matched, std::size_t(n - 1));
  AlarmViewPage page;
  ASSERT_EQ(all.Page(69990 / 10, 10, &page), kOk);  // past 65,535
  EXPECT_EQ(page.rows.size(), 9u);
  EXPECT_TRUE(page.atEnd);
  EXPECT_FALSE(page.atStart);

  // The page that holds a reference: found by its place in the order.
  Page firstHundred = Fetch("", -1, 100);
  const tagAlarmStr target = firstHundred.data[57];
  std::size_t number = 0, row = 0;
  AlarmView newest(-1, "");
  ASSERT_EQ(newest.PageHolding(target.reference, 25, &page, &number, &row), kOk);
  EXPECT_EQ(number, 2u);
  EXPECT_EQ(row, 7u);
  EXPECT_EQ(Ref(page.rows[row]), Ref(target));
  std::string lower = Ref(target);
  for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  lower[0] = target.reference[0];  // the letter is exact; the node name is not
  EXPECT_EQ(newest.PageHolding(lower.c_str(), 25, &page, &number, &row), kOk);
  EXPECT_EQ(newest.PageHolding("Z1NOWHERE", 25, &page, &number, &row), kNotInView);
  // After a reference: the rows that follow it, whether it passes the
  // filter or not.
  std::string place;
  ASSERT_EQ(newest.PlaceOf(target.reference, &place), kOk);
  ASSERT_EQ(newest.After(place, 3, &page), kOk);
  ASSERT_EQ(page.rows.size(), 3u);
  EXPECT_EQ(Ref(page.rows[0]), Ref(firstHundred.data[58]));
  AlarmView newestCritical(-1, R"(ASF_PRIORITY = "CRITICAL")");
  ASSERT_EQ(newestCritical.PlaceOf(target.reference, &place), kOk);
  ASSERT_EQ(newestCritical.After(place, 1, &page), kOk);
  for (std::size_t i = 58; i < firstHundred.data.size(); ++i) {
    if (std::string(firstHundred.data[i].priority, 8) == "CRITICAL") {
      EXPECT_EQ(Ref(page.rows[0]), Ref(firstHundred.data[i]));
      break;
    }
  }
  EXPECT_EQ(newest.PlaceOf("Z1NOWHERE", &place), kNotInView);
}

TEST_F(AlarmViewTest, PagesByPlaceNeitherRepeatNorSkipWhileAlarmsComeAndGo) {
  Fill(600);
  std::mt19937 random(7);
  for (long sort : {1L, -1L, 2L, -5L, 8L}) {
    SCOPED_TRACE(sort);
    AlarmView view(sort, R"(ASF_PRIORITY >= "HIGH")");
    AlarmViewPage page;
    ASSERT_EQ(view.First(25, &page), kOk);
    std::vector<std::string> seen;
    std::set<std::string> cleared, raised;
    int extra = 0;
    for (;;) {
      for (const tagAlarmStr& r : page.rows) seen.push_back(Ref(r));
      if (page.atEnd) break;
      // Between pages: clear a few alarms, raise new ones, acknowledge some.
      for (int k = 0; k < 3; ++k) {
        std::vector<SUMQMSG> all = queue().Snapshot();
        const SUMQMSG& m = all[random() % all.size()];
        std::string node(FieldText(m.almpak.node));
        cleared.insert(std::string(1, m.almpak.vsp.blockType) +
                       std::to_string(m.almpak.vsp.blockNumber) + node);
        queue().Clear(node, m.almpak.vsp.blockType, m.almpak.vsp.blockNumber);
        AlarmSpec s;
        s.node = "NEWNODE";
        s.tag = "N" + std::to_string(extra);
        s.number = static_cast<int16_t>(extra++);
        s.priority = 3;
        s.when = kT0 + std::chrono::seconds(random() % 86400);
        Raise(s);
        raised.insert("A" + std::to_string(s.number) + "NEWNODE");
      }
      ASSERT_EQ(view.After(std::string(page.last), 25, &page), kOk);
    }
    std::set<std::string> unique(seen.begin(), seen.end());
    EXPECT_EQ(unique.size(), seen.size()) << "a row came twice";
    // Every alarm that stood all along and passes the filter was met.
    for (const tagAlarmStr& r : Fetch(R"(ASF_PRIORITY >= "HIGH")", sort, -1).data) {
      std::string ref = Ref(r);
      if (raised.count(ref) || cleared.count(ref)) continue;
      EXPECT_TRUE(unique.count(ref)) << ref << " was skipped";
    }
    TearDown();
    SetUp();
    Fill(600);
  }
}

TEST_F(AlarmViewTest, PlacesOfAnotherOrderOrDamagedAreRefusedAndAQueueThatCannotWalkSaysSo) {
  Fill(30);
  AlarmView byTime(1, ""), byPriority(2, "");
  AlarmViewPage page;
  ASSERT_EQ(byTime.First(5, &page), kOk);
  std::string place = page.last;
  EXPECT_EQ(byPriority.After(place, 5, &page), kBadViewPlace);
  for (std::string damaged : {std::string("x"), place.substr(0, place.size() / 2),
                              place + "junk", std::string()}) {
    EXPECT_NE(byTime.After(damaged, 5, &page), kOk);
    EXPECT_TRUE(page.rows.empty());
  }
  NoWalkQueue outside(queue());
  InstallQueueBackend(&outside);
  AlarmViewCounts c;
  EXPECT_EQ(byTime.Count(&c), kViewUnavailable);
  EXPECT_EQ(byTime.First(5, &page), kViewUnavailable);
  EXPECT_TRUE(page.rows.empty());
  BulkOutcome out;
  char filter[] = "";
  EXPECT_EQ(AcknowledgeAllInView(*mgr_, handle_, filter, 1, &out), kViewUnavailable);
  InstallQueueBackend(&queue());
  EXPECT_EQ(AlarmCount(), 30u);
}

// On a queue the defined calls reach whole, the whole-view actions leave the
// queue and the operator messages exactly as the defined ones do.
TEST_F(AlarmViewTest, BulkActionsActAsTheDefinedOnesWithinTheirReach) {
  struct Outcome {
    short ack, remove;
    std::vector<std::string> messages;
    std::vector<std::string> afterAck, afterRemove;
  };
  auto run = [this](bool whole, const char* filter) {
    TearDown();
    SetUp();
    Fill(120);
    // Some alarms are back to normal: acknowledge deletes them.
    for (int i = 0; i < 120; i += 11) {
      db().SetField(i % 4 == 1 ? "PLANT2" : "PLANT1", "T" + std::to_string(i), "B_CUALM", 0);
    }
    Outcome o;
    std::string f(filter);
    BulkOutcome out;
    o.ack = whole ? AcknowledgeAllInView(*mgr_, handle_, f.c_str(), 0, &out)
                  : mgr_->AcknowledgeAllAlarmsByRef(f.data(), handle_, 0);
    for (const tagAlarmStr& r : Fetch("", 1, -1).data) o.afterAck.push_back(Ref(r) + r.ack);
    o.remove = whole ? RemoveAllInView(*mgr_, handle_, f.c_str(), 0, &out)
                     : mgr_->RemoveAllAlarmsByRef(handle_, f.data(), 0);
    for (const tagAlarmStr& r : Fetch("", 1, -1).data) o.afterRemove.push_back(Ref(r));
    for (const auto& m : node_->alarmLibrary().OperatorMessages()) {
      o.messages.push_back(m.text + "|" + m.node + "|" + std::to_string(m.flag));
    }
    return o;
  };
  for (const char* filter : {kFilters[0], kFilters[1], kFilters[2], kFilters[4]}) {
    SCOPED_TRACE(filter);
    Outcome whole = run(true, filter), defined = run(false, filter);
    EXPECT_EQ(whole.ack, defined.ack);
    EXPECT_EQ(whole.remove, defined.remove);
    EXPECT_EQ(whole.afterAck, defined.afterAck);
    EXPECT_EQ(whole.afterRemove, defined.afterRemove);
    EXPECT_EQ(whole.messages, defined.messages);
  }
}

TEST_F(AlarmViewTest, BulkActionsReachEveryAlarmPastTheDefinedReachAndSayWhatTheyDid) {
  const int n = 70000;
  Fill(n, 2);
  std::size_t selected = 0;
  for (int i = 0; i < n; ++i) selected += i % 7 == 0 && i % 5 != 0;
  BulkOutcome out;
  const char* filter = R"(ASF_PRIORITY = "CRITICAL")";
  ASSERT_EQ(AcknowledgeAllInView(*mgr_, handle_, filter, 0, &out), kOk);
  EXPECT_EQ(out.selected, selected);
  EXPECT_EQ(out.done, selected);
  AlarmView view(1, R"(ASF_PRIORITY = "CRITICAL" AND ASF_ACK = "Unacknowledged")");
  AlarmViewCounts c;
  ASSERT_EQ(view.Count(&c), kOk);
  EXPECT_EQ(c.matched, 0u);
  // One operator message per node batch, as the defined acknowledge sends.
  EXPECT_EQ(node_->alarmLibrary().OperatorMessages().size(), 2u);
  // Again: nothing is new, and that is success.
  ASSERT_EQ(AcknowledgeAllInView(*mgr_, handle_, filter, 1, &out), kOk);
  EXPECT_EQ(out.selected, 0u);

  ASSERT_EQ(RemoveAllInView(*mgr_, handle_, R"(ASF_NODE IN "PLANT2")", 1, &out), kOk);
  EXPECT_EQ(out.selected, std::size_t(n / 2));
  EXPECT_EQ(out.done, out.selected);
  AlarmView rest(1, "");
  ASSERT_EQ(rest.Count(&c), kOk);
  EXPECT_EQ(c.total, std::size_t(n / 2) + 2);  // and the two operator messages

  // A write that fails for one alarm is a failure, with the rest done.
  db().InjectEntryFault("PLANT1", "t6", "B_NALM", 1700, node::Step::kWrite);
  ASSERT_NE(AcknowledgeAllInView(*mgr_, handle_, "", 1, &out), kOk);
  EXPECT_EQ(out.done + 1, out.selected);
  EXPECT_EQ(out.status, 1700);
}

}  // namespace
}  // namespace tolvane::testing
