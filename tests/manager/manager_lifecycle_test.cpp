// The manager spine against the embedded queue: object count and the shared
// maps, client handles, horn and header, the object-count report and the
// sort-code table.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "manager/field_cache.h"
#include "node/object_registry.h"
#include "node/summary_queue.h"
#include "tolvane/CVeltAlmSummMgr.h"
#include "tolvane/app.h"
#include "tolvane/result_codes.h"

// Reaches the manager's private members (declared a friend).
class CVeltAlmSummMgrTestPeer {
 public:
  static SORT_CNTL SortCondition(long code, uint8_t initialKey = 0xEE) {
    CVeltAlmSummMgr mgr;
    SORT_CNTL s{};
    s.key = initialKey;
    s.direction = 0xEE;
    s.reserved[0] = s.reserved[1] = 0xAB;
    mgr.GetSortCondition(&s, code);
    return s;
  }
};

namespace {

using tolvane::kFailed;
using tolvane::kNoHandle;
using tolvane::kOk;
using tolvane::node::SummaryQueue;

unsigned int ObjectCount() {
  return CVeltAlmSummMgr::m_uiObjectCount;
}
unsigned int HandleCount() {
  return CVeltAlmSummMgr::m_uiClientHandleCount;
}

bool SerialMapExists() {
  tolvane::ManagerShared& shared = tolvane::Shared();
  tolvane::CSingleLock hold(shared.lock);
  return shared.serialMap != nullptr;
}

class ManagerTest : public ::testing::Test {
 protected:
  void SetUp() override { tolvane::InstallQueueBackend(&queue); }
  void TearDown() override { tolvane::InstallQueueBackend(nullptr); }

  SummaryQueue queue;
};

// --- object count and the shared maps ---

TEST_F(ManagerTest, CopiesCountAsLiveManagersAndAssignmentChangesNothing) {
  const unsigned int base = ObjectCount();
  {
    CVeltAlmSummMgr a;
    EXPECT_EQ(ObjectCount(), base + 1);
    {
      CVeltAlmSummMgr b(a);
      EXPECT_EQ(ObjectCount(), base + 2);
      CVeltAlmSummMgr c;
      c = a;
      EXPECT_EQ(ObjectCount(), base + 3);
    }
    EXPECT_EQ(ObjectCount(), base + 1);
  }
  EXPECT_EQ(ObjectCount(), base);
}

TEST_F(ManagerTest, LastManagerEmptiesTheCachesAndTheNextOneStartsAFreshSerialMap) {
  ASSERT_EQ(ObjectCount(), 0u) << "another test left a manager alive";
  tolvane::ManagerShared& shared = tolvane::Shared();
  auto first = std::make_unique<CVeltAlmSummMgr>();
  auto second = std::make_unique<CVeltAlmSummMgr>();
  {
    tolvane::CSingleLock hold(shared.lock);
    ASSERT_NE(shared.serialMap, nullptr);
    (*shared.serialMap)["NODE1"] = 42;
    shared.fieldMap.SetAt(tolvane::FieldKey("NODE1", 'A', "B_NALM"), tolvane::CVsp(VSP{}));
  }
  // Two live, one destroyed: both maps stay.
  second.reset();
  {
    tolvane::CSingleLock hold(shared.lock);
    ASSERT_NE(shared.serialMap, nullptr);
    EXPECT_EQ(shared.serialMap->count("NODE1"), 1u);
    EXPECT_EQ(shared.fieldMap.GetCount(), 1u);
  }
  first.reset();
  EXPECT_FALSE(SerialMapExists());
  {
    tolvane::CSingleLock hold(shared.lock);
    EXPECT_EQ(shared.fieldMap.GetCount(), 0u);
  }
  CVeltAlmSummMgr again;
  tolvane::CSingleLock hold(shared.lock);
  ASSERT_NE(shared.serialMap, nullptr);
  EXPECT_TRUE(shared.serialMap->empty());
}

// --- client handles ---

TEST_F(ManagerTest, HandlesComeFromTheQueueAndGoBackToIt) {
  CVeltAlmSummMgr mgr;
  const unsigned int base = HandleCount();
  short a = mgr.GetAlarmClientHandle();
  short b = mgr.GetAlarmClientHandle();
  ASSERT_NE(a, kNoHandle);
  ASSERT_NE(b, kNoHandle);
  EXPECT_NE(a, b);
  EXPECT_EQ(queue.OpenHandles(), 2u);
  EXPECT_EQ(HandleCount(), base + 2);
  EXPECT_EQ(mgr.FreeAlarmClientHandle(a), kOk);
  EXPECT_EQ(queue.OpenHandles(), 1u);
  EXPECT_EQ(HandleCount(), base + 1);
  // The queue no longer knows it: 100, and the count still drops.
  EXPECT_EQ(mgr.FreeAlarmClientHandle(a), kFailed);
  EXPECT_EQ(HandleCount(), base);
  EXPECT_EQ(mgr.FreeAlarmClientHandle(b), kOk);
  EXPECT_EQ(HandleCount(), base - 1);
  CVeltAlmSummMgr::m_uiClientHandleCount = base;
}

TEST_F(ManagerTest, FreeingTheNoHandleValueFailsWithoutTouchingCountOrQueue) {
  CVeltAlmSummMgr mgr;
  short h = mgr.GetAlarmClientHandle();
  const unsigned int base = HandleCount();
  queue.faults().Inject("sumqClose", 9);  // would show if the queue were asked
  EXPECT_EQ(mgr.FreeAlarmClientHandle(kNoHandle), kFailed);
  EXPECT_EQ(HandleCount(), base);
  EXPECT_EQ(queue.OpenHandles(), 1u);
  queue.faults().ClearAll();
  EXPECT_EQ(mgr.FreeAlarmClientHandle(h), kOk);
}

TEST_F(ManagerTest, RefusedOpenGivesNoHandleButStillCountsTheCall) {
  CVeltAlmSummMgr mgr;
  const unsigned int base = HandleCount();
  queue.faults().Inject("sumqOpen", 3, 1);
  EXPECT_EQ(mgr.GetAlarmClientHandle(), kNoHandle);
  EXPECT_EQ(HandleCount(), base + 1);
  EXPECT_EQ(queue.OpenHandles(), 0u);

  // A full queue refuses too.
  std::vector<short> held;
  for (std::size_t i = 0; i < tolvane::node::kMaxClients; ++i) {
    held.push_back(mgr.GetAlarmClientHandle());
    ASSERT_NE(held.back(), kNoHandle);
  }
  EXPECT_EQ(mgr.GetAlarmClientHandle(), kNoHandle);
  for (short h : held) EXPECT_EQ(mgr.FreeAlarmClientHandle(h), kOk);
  EXPECT_EQ(HandleCount(), base + 2);
  CVeltAlmSummMgr::m_uiClientHandleCount = base;
}

TEST_F(ManagerTest, WithoutAQueueServiceHandlesAreRefused) {
  tolvane::InstallQueueBackend(nullptr);
  CVeltAlmSummMgr mgr;
  const unsigned int base = HandleCount();
  EXPECT_EQ(mgr.GetAlarmClientHandle(), kNoHandle);
  EXPECT_EQ(mgr.FreeAlarmClientHandle(5), kFailed);
  EXPECT_EQ(HandleCount(), base);
}

// --- horn and header ---

TEST_F(ManagerTest, HornIsEnabledDisabledAndSilencedThroughTheQueue) {
  CVeltAlmSummMgr mgr;
  short enabled = -1;
  EXPECT_EQ(mgr.ConfigureHorn(0), kOk);
  EXPECT_EQ(mgr.AlarmHornEnabled(&enabled), kOk);
  EXPECT_EQ(enabled, 0);
  EXPECT_FALSE(queue.HornEnabled());
  EXPECT_EQ(mgr.ConfigureHorn(7), kOk);
  EXPECT_EQ(mgr.AlarmHornEnabled(&enabled), kOk);
  EXPECT_EQ(enabled, 1);
  EXPECT_EQ(mgr.SilenceHorn(), kOk);
  EXPECT_TRUE(queue.HornSilenced());
}

TEST_F(ManagerTest, FailingHornCallsGiveOneHundredAndReportTheHornOff) {
  CVeltAlmSummMgr mgr;
  short enabled = 1;
  queue.faults().Inject("sumqGethdr", 4);
  EXPECT_EQ(mgr.AlarmHornEnabled(&enabled), kFailed);
  EXPECT_EQ(enabled, 0);
  queue.faults().Inject("sumqHornEnable", 4);
  queue.faults().Inject("sumqHornDisable", 4);
  queue.faults().Inject("sumqHornSquelch", 4);
  EXPECT_EQ(mgr.ConfigureHorn(1), kFailed);
  EXPECT_EQ(mgr.ConfigureHorn(0), kFailed);
  EXPECT_EQ(mgr.SilenceHorn(), kFailed);
  EXPECT_TRUE(queue.HornEnabled());
  EXPECT_FALSE(queue.HornSilenced());

  tolvane::InstallQueueBackend(nullptr);
  enabled = 1;
  EXPECT_EQ(mgr.AlarmHornEnabled(&enabled), kFailed);
  EXPECT_EQ(enabled, 0);
  EXPECT_EQ(mgr.ConfigureHorn(1), kFailed);
}

TEST_F(ManagerTest, TotalAndSequenceNumberComeFromTheHeaderAndMinusOneOnFailure) {
  CVeltAlmSummMgr mgr;
  EXPECT_EQ(mgr.GetTotalNumOfAlarms(), 0);
  long seq0 = mgr.GetAlarmSequenceNumber();
  // 100 alarms: a total that must not read as a failure.
  for (int i = 0; i < 100; ++i) {
    tolvane::node::AlarmInput a;
    a.node = a.physicalNode = "N1";
    a.tag = "T" + std::to_string(i);
    a.blockNumber = static_cast<int16_t>(i);
    queue.Raise(a);
  }
  EXPECT_EQ(mgr.GetTotalNumOfAlarms(), 100);
  long seq1 = mgr.GetAlarmSequenceNumber();
  EXPECT_NE(seq1, seq0);
  EXPECT_EQ(seq1, queue.SequenceNumber());
  queue.faults().Inject("sumqGethdr", 2);
  EXPECT_EQ(mgr.GetTotalNumOfAlarms(), -1);
  EXPECT_EQ(mgr.GetAlarmSequenceNumber(), -1);
}

// --- the object-count report ---

TEST_F(ManagerTest, ObjectCountReportNamesBothCountersWithTheirValues) {
  tolvane::node::ObjectRegistry registry;
  tolvane::InstallObjectRegistryBackend(&registry);
  ASSERT_TRUE(TolvaneApp().RegisterReporting());
  {
    CVeltAlmSummMgr a, b;
    short h = a.GetAlarmClientHandle();
    auto counts = registry.Collect();
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0].module, "Tolvane.dll");
    EXPECT_EQ(counts[0].name, "CVeltAlmSummMgr.m_uiObjectCount");
    EXPECT_EQ(counts[0].value, ObjectCount());
    EXPECT_EQ(counts[1].module, "Tolvane.dll");
    EXPECT_EQ(counts[1].name, "CVeltAlmSummMgr.m_uiClientHandleCount");
    EXPECT_EQ(counts[1].value, HandleCount());
    a.FreeAlarmClientHandle(h);
  }
  EXPECT_EQ(TolvaneApp().UnregisterReporting(), 0);
  EXPECT_TRUE(registry.Collect().empty());
  tolvane::InstallObjectRegistryBackend(nullptr);
  EXPECT_FALSE(TolvaneApp().RegisterReporting());
  EXPECT_EQ(TolvaneApp().UnregisterReporting(), 0);
}

// --- sort codes ---

TEST(SortConditionTest, MagnitudePicksTheKeyAndSignTheDirection) {
  const int keys[14] = {-1, 0, 1, 2, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  for (long code = 1; code <= 13; ++code) {
    SORT_CNTL up = CVeltAlmSummMgrTestPeer::SortCondition(code);
    SORT_CNTL down = CVeltAlmSummMgrTestPeer::SortCondition(-code);
    EXPECT_EQ(up.key, keys[code]) << code;
    EXPECT_EQ(up.direction, 0) << code;
    EXPECT_EQ(down.key, keys[code]) << -code;
    EXPECT_EQ(down.direction, 1) << -code;
    EXPECT_EQ(up.reserved[0], 0xAB);
    EXPECT_EQ(up.reserved[1], 0xAB);
  }
}

TEST(SortConditionTest, ZeroAndOutOfRangeCodesSetNoKey) {
  for (long code : {0L, 14L, -14L, 1000L, -1000L}) {
    SORT_CNTL s = CVeltAlmSummMgrTestPeer::SortCondition(code, 0x5C);
    EXPECT_EQ(s.key, 0x5C) << code;
    EXPECT_EQ(s.direction, code > 0 ? 0 : 1) << code;
  }
}

// --- concurrency ---

TEST_F(ManagerTest, ConcurrentManagersAndHandlesKeepBothCountsRight) {
  const unsigned int objects = ObjectCount();
  const unsigned int handles = HandleCount();
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 300; ++i) {
        CVeltAlmSummMgr mgr;
        CVeltAlmSummMgr copy(mgr);
        short h = copy.GetAlarmClientHandle();
        if (h == kNoHandle) {
          refused.fetch_add(1);
          continue;
        }
        short enabled = 0;
        mgr.AlarmHornEnabled(&enabled);
        EXPECT_EQ(mgr.FreeAlarmClientHandle(h), kOk);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(ObjectCount(), objects);
  EXPECT_EQ(HandleCount(), handles);
  EXPECT_EQ(queue.OpenHandles(), 0u);
}

}  // namespace
