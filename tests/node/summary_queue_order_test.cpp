// The queue's views and lookups against the plain comparison and a plain
// search, over random alarms whose texts share long prefixes, differ only in
// case or high bytes, and whose times tie: the compact keys a view is sorted
// and searched on must never order two alarms otherwise than Before does,
// whether the view was built in one sort or kept up change by change.
#include "node/summary_queue_order.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "node/summary_queue.h"
#include "tolvane/text_field.h"

namespace tolvane::node {
namespace {

using std::chrono::seconds;

const Clock::time_point kT0 = Clock::from_time_t(1700000000);

class RandomAlarms {
 public:
  explicit RandomAlarms(unsigned seed) : rng_(seed) {}

  // A text of up to `max` bytes from few stems, so that many share long
  // prefixes; random case, sometimes a lead byte of a double-byte code page.
  std::string Text(std::size_t max) {
    static const char* kStems[] = {"",
                                   "A",
                                   "TEMPERATURE HIGH ON UNIT ",
                                   "temperature high on unit 1",
                                   "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmnopqrstuvwxyz",
                                   "\x81\x40\x82\xa0 tank",
                                   "LEVEL"};
    std::string s = kStems[Pick(std::size(kStems))];
    for (std::size_t n = Pick(4); n > 0; --n) s += static_cast<char>("aZ9 \x81~"[Pick(6)]);
    for (char& c : s) {
      if (Pick(4) == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (s.size() > max) s.resize(max);
    return s;
  }

  AlarmInput Alarm(int16_t number) {
    static const char* kNodes[] = {"N1", "n1", "NODE2", "node2", "ABCDEFGH", "abcdefgh", ""};
    AlarmInput a;
    a.node = kNodes[Pick(std::size(kNodes))];
    a.physicalNode = kNodes[Pick(std::size(kNodes))];
    a.tag = Text(30);
    a.blockLetter = "ABa"[Pick(3)];
    a.blockNumber = number;
    a.priority = static_cast<int16_t>(Pick(10));  // 0..2 are outside the table
    a.msgType = static_cast<int32_t>(Pick(4)) - 1;
    a.statusCode = static_cast<int32_t>(Pick(5)) - 2;
    a.description = Text(132);
    for (std::size_t n = Pick(4); n > 0; --n) a.areas.push_back(Text(29));
    a.acknowledged = Pick(2) == 0;
    a.value = Value();
    a.extKind = static_cast<int16_t>(Pick(3) == 0 ? 1 : 0);
    a.ext1 = Text(80);
    a.ext2 = Text(80);
    a.fieldBlock[3] = static_cast<uint8_t>(Pick(256));
    return a;
  }

  _AlmCanonicalValue Value() {
    _AlmCanonicalValue v{};
    v.kind = static_cast<int32_t>(Pick(11));  // 0 and 10: kinds without a value
    switch (Pick(6)) {
      case 0:
        v.textFlag = 1;
        SetFieldText(v.text, Text(79));
        break;
      case 1:
        v.kind = 8;
        v.value.f32 = Pick(2) ? -0.0f : 0.0f;
        break;
      case 2:
        v.kind = 9;
        v.value.f32 = std::numeric_limits<float>::quiet_NaN();
        break;
      default:
        v.value.i32 = static_cast<int32_t>(Pick(7)) - 3;
    }
    return v;
  }

  // Few distinct times, so that many alarms tie on them.
  Clock::time_point Time() { return kT0 + seconds(Pick(20)); }

  std::size_t Pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
  }

 private:
  std::mt19937 rng_;
};

SORT_CNTL Sort(int key, bool descending) {
  SORT_CNTL s{};
  s.key = static_cast<uint8_t>(key);
  s.direction = descending ? 1 : 0;
  return s;
}

class OrderFuzz : public ::testing::TestWithParam<unsigned> {
 protected:
  // The alarm behind a listed message: every alarm has a block of its own.
  detail::StoredAlarm Held(const SUMQMSG& m) {
    const _ALMPAK& p = m.almpak;
    uint64_t id = q.IdOf(std::string(FieldText(p.node)), p.vsp.blockType, p.vsp.blockNumber);
    SummaryQueue::HeldAlarm h;
    EXPECT_TRUE(q.Inspect(id, &h));
    detail::StoredAlarm a;
    a.id = h.id;
    a.msg = h.msg;
    a.timeIn = h.timeIn;
    a.timeLast = h.timeLast;
    a.suppressed = h.suppressed;
    return a;
  }

  void ExpectEveryViewOrdered(const char* when) {
    std::size_t visible = 0;
    for (const auto& [number, shelved] : live) visible += shelved ? 0 : 1;
    for (int key = 0; key < kSortKeys; ++key) {
      for (bool descending : {false, true}) {
        SORT_CNTL s = Sort(key, descending);
        ASSERT_EQ(q.Home(s, h), 0);
        SUMQMSG* list = nullptr;
        unsigned short n = 0;
        ASSERT_EQ(q.Get(s, 0, h, &list, &n), 0);
        EXPECT_EQ(n, visible) << when << ", key " << key;
        std::vector<detail::StoredAlarm> got;
        for (unsigned short i = 0; i < n; ++i) got.push_back(Held(list[i]));
        q.FreeList(list);
        for (std::size_t i = 1; i < got.size(); ++i) {
          const detail::StoredAlarm& first = descending ? got[i] : got[i - 1];
          const detail::StoredAlarm& second = descending ? got[i - 1] : got[i];
          ASSERT_TRUE(detail::Before(key, first, second))
              << when << ", key " << key << (descending ? " descending" : "") << ", at " << i;
        }
        // Stepping from the first alarm reaches the same alarms.
        if (n > 1) {
          ASSERT_EQ(q.Home(s, h), 0);
          ASSERT_EQ(q.NextPage(s, n - 1, h), 0);
          ASSERT_EQ(q.Get(s, 1, h, &list, &n), 0);
          ASSERT_EQ(n, 1);
          EXPECT_EQ(Held(list[0]).id, got.back().id) << when << ", key " << key;
          q.FreeList(list);
        }
      }
    }
  }

  // Finds and acknowledges through the hash lookups, against the alarms the
  // test itself knows of.
  void ExpectLookupsFindEveryAlarm() {
    for (const auto& [number, input] : inputs) {
      SUMQMSG m{};
      std::string node = input.node;
      for (char& c : node) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      ASSERT_EQ(q.Find(number, input.blockLetter, node.c_str(), &m), 0) << number;
      EXPECT_EQ(m.almpak.vsp.blockNumber, number);
      ASSERT_EQ(q.FindByTagname(node.c_str(), input.tag.c_str(), &m), 0) << number;
      EXPECT_EQ(0, detail::CompareNoCase(FieldText(m.almpak.tagName), input.tag));
    }
  }

  SummaryQueue q;
  unsigned short h = 0;
  std::map<int16_t, bool> live;  // block number -> shelved
  std::map<int16_t, AlarmInput> inputs;
};

TEST_P(OrderFuzz, ViewsBuiltAtOnceOrKeptUpAgreeWithBefore) {
  RandomAlarms r(GetParam());
  ASSERT_EQ(q.Open(&h, nullptr), 0);
  int16_t next = 0;
  auto raise = [&] {
    AlarmInput a = r.Alarm(next);
    // Tags unique whatever their case, so FindByTagname has one answer.
    a.tag = a.tag.substr(0, 24) + "#" + std::to_string(next);
    q.Raise(a, r.Time());
    live[next] = false;
    inputs[next] = a;
    ++next;
  };
  for (int i = 0; i < 300; ++i) raise();
  ExpectEveryViewOrdered("built in one sort");
  ExpectLookupsFindEveryAlarm();

  // Every view now live: changes of every kind keep them up.
  for (int step = 0; step < 600; ++step) {
    auto it = live.begin();
    std::advance(it, static_cast<long>(r.Pick(live.size())));
    const AlarmInput& in = inputs[it->first];
    switch (r.Pick(6)) {
      case 0:
        raise();
        break;
      case 1:
        ASSERT_TRUE(q.Update(in.node, in.blockLetter, it->first, static_cast<int32_t>(r.Pick(4)),
                             r.Value(), r.Time()));
        break;
      case 2: {
        AlarmInput again = r.Alarm(it->first);
        again.node = in.node;
        again.blockLetter = in.blockLetter;
        again.tag = in.tag;
        q.Raise(again, r.Time());
        inputs[it->first] = again;
        it->second = false;
        ASSERT_TRUE(q.SetSuppressed(again.node, again.blockLetter, it->first, false));
        break;
      }
      case 3:
        ASSERT_TRUE(q.Acknowledge(in.node, in.blockLetter, it->first));
        break;
      case 4:
        it->second = !it->second;
        ASSERT_TRUE(q.SetSuppressed(in.node, in.blockLetter, it->first, it->second));
        break;
      case 5:
        if (live.size() > 50) {
          ASSERT_TRUE(q.Clear(in.node, in.blockLetter, it->first));
          inputs.erase(it->first);
          live.erase(it);
        }
        break;
    }
  }
  ExpectEveryViewOrdered("kept up");
  ExpectLookupsFindEveryAlarm();

  // A restored queue builds its views again from the same alarms.
  q.Restore(q.Snapshot(), q.SnapshotTimesIn(), q.SnapshotTimesLast());
  for (auto& [number, shelved] : live) shelved = false;  // a message does not carry the shelf
  ExpectEveryViewOrdered("restored");
}

INSTANTIATE_TEST_SUITE_P(Seeds, OrderFuzz, ::testing::Values(1u, 2u, 3u, 4u));

}  // namespace
}  // namespace tolvane::node
