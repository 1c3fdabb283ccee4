// The process-wide caches under concurrent first use, and their rules for
// loading again.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "filter/matchers.h"
#include "filter_test_env.h"

namespace tolvane::testing {
namespace {

// Resource strings that count loads per id and take a moment over each, so
// that threads arriving together overlap inside the first load.
class SlowCountingResources : public ResourceBackend {
 public:
  bool LoadString(const char* module, unsigned int id, std::string* text) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    {
      std::lock_guard lock(m_);
      ++loads_[id];
    }
    return inner_.LoadString(module, id, text);
  }
  int Loads(unsigned int id) {
    std::lock_guard lock(m_);
    return loads_[id];
  }

 private:
  node::ResourceStrings inner_;
  std::mutex m_;
  std::map<unsigned int, int> loads_;
};

class CountingNodeServices : public NodeServicesBackend {
 public:
  short GetLocalNode(std::string* n) override { return Slow(n, "LOCAL1"); }
  short GetLocalAlias1(std::string* n) override { return Slow(n, "ALIAS1"); }
  short GetLocalAlias2(std::string* n) override { return Slow(n, "ALIAS2"); }
  std::atomic<int> calls{0};

 private:
  short Slow(std::string* out, const char* name) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ++calls;
    *out = name;
    return 0;
  }
};

class CachesTest : public FilterTest {
 protected:
  // Runs `body` on many threads released at the same instant; returns how
  // many of them saw a wrong result.
  template <class Body>
  int RaceOnFirstUse(Body body) {
    constexpr int kThreads = 12;
    std::atomic<bool> go{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        if (!body()) ++wrong;
      });
    }
    go = true;
    for (auto& t : threads) t.join();
    return wrong.load();
  }
};

TEST_F(CachesTest, ConcurrentFirstUseLoadsEachCacheOnceAndEveryoneSeesIt) {
  SlowCountingResources slow;
  CountingNodeServices names;
  InstallResourceBackend(&slow);
  InstallNodeServicesBackend(&names);

  int wrong = RaceOnFirstUse([&] {
    FilterTerm pri = Term("ASF_PRIORITY", ">=", "HIGH");
    FilterTerm ack = Term("ASF_ACK", "=", "Unacknowledged");
    FilterTerm text = Term("ASF_DESCRIPTION", "CONTAINING", "LOW");
    FilterTerm area = Term("ASF_AREA", "IN", "A1");
    FilterTerm nodeTerm = Term("ASF_NODE", "IN", "LOCAL1");
    return filter::IsFilterOperator("NOTIN") && filter::MatchPriority(&pri, "HIHI") == 1 &&
           filter::MatchPriority(&pri, "LOW") == 0 && filter::MatchAck(&ack, "0") == 1 &&
           filter::MatchText(&text, "LEVEL LOW") == 1 && filter::MatchArea(&area, "ALL") == 1 &&
           filter::MatchNode(&nodeTerm, "ALIAS2") == 1;
  });
  EXPECT_EQ(wrong, 0);
  // Filled once each: priority names, acknowledge words, and the word lists
  // that are retried only while empty.
  for (unsigned int id : {11u, 12u, 13u, 14u, 15u, 16u, 17u, 18u, 19u}) {
    EXPECT_EQ(slow.Loads(id), 1) << id;
  }
  EXPECT_EQ(slow.Loads(7), 1);   // operator words
  EXPECT_EQ(slow.Loads(10), 2);  // operator words and the text matcher's words
  EXPECT_EQ(slow.Loads(6), 3);   // operator words, area word, node word
  EXPECT_EQ(names.calls.load(), 3);
  InstallResourceBackend(&resources);
  InstallNodeServicesBackend(&services);
}

TEST_F(CachesTest, WordListsAreLoadedAgainWhileEmptyThenKept) {
  resources.RemoveModule(node::kTolvaneResModule);
  FilterTerm area = Term("ASF_AREA", "IN", "A1");
  FilterTerm text = Term("ASF_DESCRIPTION", "CONTAINING", "LOW");
  EXPECT_FALSE(filter::IsFilterOperator("IN"));
  EXPECT_EQ(filter::MatchArea(&area, "A1"), 0);  // no membership word: "not in"
  EXPECT_EQ(filter::MatchText(&text, "LOW"), 0);
  std::size_t before = resources.LoadCount();
  EXPECT_FALSE(filter::IsFilterOperator("IN"));
  EXPECT_GT(resources.LoadCount(), before);  // tried again

  resources.Reset();
  EXPECT_TRUE(filter::IsFilterOperator("IN"));
  EXPECT_EQ(filter::MatchArea(&area, "A1"), 1);
  EXPECT_EQ(filter::MatchText(&text, "LOW"), 1);
  before = resources.LoadCount();
  resources.RemoveModule(node::kTolvaneResModule);
  EXPECT_TRUE(filter::IsFilterOperator("IN"));
  EXPECT_EQ(filter::MatchArea(&area, "A1"), 1);
  EXPECT_EQ(filter::MatchText(&text, "LOW"), 1);
  EXPECT_EQ(resources.LoadCount(), before);  // nothing loaded again
}

TEST_F(CachesTest, PriorityNamesAreLoadedOnceEvenWhenTheLoadsFail) {
  resources.faults().Inject("LoadStringA", 1);
  FilterTerm pri = Term("ASF_PRIORITY", ">=", "HIGH");
  EXPECT_EQ(filter::MatchPriority(&pri, "HIGH"), 0);  // every name came back empty
  resources.faults().ClearAll();
  EXPECT_EQ(filter::MatchPriority(&pri, "HIGH"), 0);
}

}  // namespace
}  // namespace tolvane::testing
