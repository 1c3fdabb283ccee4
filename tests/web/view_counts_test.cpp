// Counts kept current from the queue's changes against counts walked
// afresh: random changes of every kind, checked after each one.
#include "web/view_counts.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "node/embedded_node.h"
#include "tolvane/codepage.h"
#include "tolvane/result_codes.h"

namespace tolvane::web::testing {
namespace {

const auto kT0 = node::Clock::from_time_t(1700000000);

std::string Show(const AlarmViewCounts& c) {
  std::string s = "total " + std::to_string(c.total) + " matched " + std::to_string(c.matched) +
                  " alarms " + std::to_string(c.alarms) + " new " +
                  std::to_string(c.unacknowledged) + " messages " + std::to_string(c.messages) +
                  " shelved " + std::to_string(c.shelved) + " by priority";
  for (std::size_t n : c.byPriority) s += " " + std::to_string(n);
  return s;
}

bool Same(const AlarmViewCounts& a, const AlarmViewCounts& b) {
  return a.total == b.total && a.matched == b.matched && a.alarms == b.alarms &&
         a.unacknowledged == b.unacknowledged && a.messages == b.messages &&
         a.shelved == b.shelved && a.byPriority == b.byPriority;
}

AlarmViewCounts Fresh(const char* filter, ViewRecords records) {
  AlarmView view(1, filter);
  view.Select(records);
  AlarmViewCounts c;
  EXPECT_EQ(view.Count(&c), kOk) << filter;
  return c;
}

// One view kept by the library's per-record calls, as a host would keep it.
struct KeptView {
  const char* filter;
  ViewRecords records;
  bool kept;  // the counts may be kept (no term reads anything but the record)
  std::shared_ptr<AlarmView> view = nullptr;
  AlarmViewCounts counts = {};

  void Walk() {
    view = std::make_shared<AlarmView>(1, filter);
    view->Select(records);
    ASSERT_EQ(view->Count(&counts), kOk) << filter;
  }
};

// The changes a plant sees, drawn at random over a few nodes and blocks so
// that the same alarm comes, changes and goes many times.
class Plant {
 public:
  explicit Plant(node::SummaryQueue& q, uint32_t seed) : q_(q), rng_(seed) {}

  // One change; false for a load, which the queue tells no one.
  bool Step(std::string* what) {
    const char* nodes[] = {"PLANT1", "PLANT2", "OTHER"};
    const std::string node = nodes[Pick(3)];
    const char letter = "AB"[Pick(2)];
    const auto number = static_cast<int16_t>(Pick(6));
    *what = node + " " + letter + std::to_string(number) + ": ";
    switch (Pick(10)) {
      case 0:
      case 1:
        *what += "raise (new, or again: priority and state change)";
        q_.Raise(Input(node, letter, number), Next());
        break;
      case 2:
        *what += "update status and value";
        q_.Update(node, letter, number, 1536 + Pick(8), Value(), Next());
        break;
      case 3:
        *what += "acknowledge";
        q_.Acknowledge(node, letter, number);
        break;
      case 4:
        *what += "clear";
        q_.Clear(node, letter, number);
        break;
      case 5:
        *what += "shelve";
        q_.SetSuppressed(node, letter, number, true);
        break;
      case 6:
        *what += "unshelve";
        q_.SetSuppressed(node, letter, number, false);
        break;
      case 7:
        *what += "operator message";
        q_.AddOperatorMessage(Pick(2) ? "pump tripped" : "shift change", node, Next());
        break;
      case 8: {
        // As a station mirrors a node: the record set whole, shelved or not.
        node::SummaryQueue::HeldAlarm held;
        if (!q_.Inspect(q_.IdOf(node, letter, number), &held)) {
          *what += "raise";
          q_.Raise(Input(node, letter, number), Next());
          break;
        }
        *what += "put as another queue holds it";
        held.msg.almpak.priority = static_cast<int16_t>(3 + Pick(7));
        held.msg.ackFlag = static_cast<int16_t>(Pick(2));
        q_.Put(held.msg, held.timeIn, Next(), Pick(3) == 0);
        break;
      }
      default:
        *what += "load (appended, told to no one)";
        q_.Append(Input(node, letter, number), kT0, kT0, Pick(4) == 0);
        return false;
    }
    return true;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  node::Clock::time_point Next() { return kT0 + std::chrono::seconds(++tick_); }
  _AlmCanonicalValue Value() {
    _AlmCanonicalValue v{};
    v.kind = 1;
    v.value.i16 = static_cast<int16_t>(Pick(100));
    return v;
  }
  node::AlarmInput Input(const std::string& node, char letter, int16_t number) {
    node::AlarmInput in;
    in.node = in.physicalNode = node;
    in.tag = "T" + std::string(1, letter) + std::to_string(number);
    in.blockLetter = letter;
    in.blockNumber = number;
    in.priority = static_cast<int16_t>(3 + Pick(7));
    in.statusCode = 1536 + Pick(8);
    in.value = Value();
    in.acknowledged = Pick(3) == 0;
    in.description = Pick(2) ? "pump pressure" : "tank level";
    in.areas = {Pick(2) ? "AREA1" : "AREA2"};
    return in;
  }

  node::SummaryQueue& q_;
  std::mt19937 rng_;
  int tick_ = 0;
};

TEST(LiveViewCounts, KeptCountsEqualAFreshCountAfterEveryChange) {
  const char* const kDate = R"(ASF_DATEIN >= "01/01/2000")";
  std::vector<KeptView> views = {
      {"", ViewRecords::kAll, true},
      {"", ViewRecords::kAlarms, true},
      {"", ViewRecords::kMessages, true},
      {R"(ASF_PRIORITY >= "HIGH")", ViewRecords::kAll, true},
      {R"(ASF_NODE IN "PLANT2")", ViewRecords::kAll, true},
      {R"(ASF_ACK = "Unacknowledged")", ViewRecords::kAll, true},
      {R"(ASF_NODE IN "PLANT1, OTH*" AND ASF_PRIORITY < "MEDIUM")", ViewRecords::kAll, true},
      {R"(NOT ASF_ACK = "Acknowledged" OR ASF_AREA IN "AREA2")", ViewRecords::kAlarms, true},
      {R"(ASF_DESCRIPTION CONTAINING "*pump*")", ViewRecords::kMessages, true},
      {R"(ASF_DESCRIPTION CONTAINING "*pump*" NOR ASF_TIMEIN > "00:00:30")", ViewRecords::kAll,
       true},
      {kDate, ViewRecords::kAll, false},
  };
  for (uint32_t seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    node::EmbeddedNode node;
    node::SummaryQueue& q = node.queue();
    // What the host keeps (every record, by filter) and the library's calls
    // beneath it (narrowed too).
    LiveViewCounts live;
    auto put = [&](const KeptView& v) {
      auto view = std::make_unique<AlarmView>(1, v.filter);
      AlarmViewCounts c;
      ASSERT_EQ(view->Count(&c), kOk);
      live.Put(static_cast<uint32_t>(q.SequenceNumber()), v.filter, std::move(view), c);
    };
    for (KeptView& v : views) {
      v.Walk();
      if (v.records == ViewRecords::kAll) put(v);
    }
    auto apply = q.AddEventListener([&](const node::SummaryQueue::Event& e) {
      for (KeptView& v : views) {
        v.view->Apply({e.before, e.after, e.suppressedBefore, e.suppressedAfter}, &v.counts);
      }
    });
    auto keeper = q.AddEventListener([&](const node::SummaryQueue::Event& e) { live.OnEvent(e); });
    // A second listener removed again: were it still told, every change
    // would count twice.
    auto twice = q.AddEventListener([&](const node::SummaryQueue::Event& e) { live.OnEvent(e); });
    q.RemoveEventListener(twice);
    Plant plant(q, seed);
    int told = 0, loads = 0;
    for (int step = 0; step < 400; ++step) {
      std::string what;
      const auto before = static_cast<uint32_t>(q.SequenceNumber());
      const bool tellsAll = plant.Step(&what);
      SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
      (tellsAll ? told : loads)++;
      const auto seq = static_cast<uint32_t>(q.SequenceNumber());
      const bool changed = seq != before;
      for (KeptView& v : views) {
        SCOPED_TRACE(std::string("filter ") + v.filter);
        const AlarmViewCounts fresh = Fresh(v.filter, v.records);
        EXPECT_EQ(v.view->KeptCountsHold(), v.kept);
        if (v.records == ViewRecords::kAll) {
          AlarmViewCounts kept;
          // After a load, or any change for a filter that reads more than
          // the records, the view is walked again.
          const bool found = live.Find(seq, v.filter, &kept);
          EXPECT_EQ(found, !changed || (tellsAll && v.kept));
          if (found) {
            EXPECT_TRUE(Same(kept, fresh)) << Show(kept) << "\n" << Show(fresh);
          } else {
            put(v);
          }
        }
        if (!tellsAll || !v.kept) {
          v.Walk();  // as a host does after a load
          continue;
        }
        EXPECT_TRUE(Same(v.counts, fresh)) << Show(v.counts) << "\n" << Show(fresh);
      }
      if (::testing::Test::HasFailure()) break;
    }
    q.RemoveEventListener(apply);
    q.RemoveEventListener(keeper);
    // Text compares by the code page: counts kept across a change of it
    // are walked again.
    KeptView& text = views[8];
    text.Walk();
    EXPECT_TRUE(text.view->KeptCountsHold());
    ASSERT_TRUE(SetAnsiCodePage(932));
    EXPECT_FALSE(text.view->KeptCountsHold());
    ASSERT_TRUE(SetAnsiCodePage(1252));
    // The changes drawn reached every kind of count.
    EXPECT_GT(told, 250);
    EXPECT_GT(loads, 20);
    const AlarmViewCounts all = Fresh("", ViewRecords::kAll);
    EXPECT_GT(all.shelved + all.messages + all.unacknowledged, 0u) << Show(all);
  }
}

}  // namespace
}  // namespace tolvane::web::testing
