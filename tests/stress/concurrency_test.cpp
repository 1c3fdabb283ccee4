// Many display clients against one node while the process keeps changing:
// eight threads with their own managers fetch, acknowledge, delete, remove,
// churn handles and fill the field-ID cache, and a simulator raises, changes
// and clears alarms and reloads a node's database. Built to run under
// ThreadSanitizer; the checks at the end need no luck to pass.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "services/zuna.h"
#include "support/manager_fixture.h"
#include "support/manager_peer.h"
#include "tolvane/notice.h"
#include "tolvane/text_field.h"

namespace tolvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = 8;
constexpr int kMaxIterations = 400;
constexpr auto kRunTime = std::chrono::seconds(3);

// Alarms on STABLE are raised before the run and touched only by worker 0,
// which acknowledges the even-numbered ones; nothing else may act on them.
constexpr const char* kStableNode = "STABLE";
constexpr int kStableBlocks = 20;
const std::vector<std::string> kSimNodes = {"SIM1", "SIM2", "SIM3"};
constexpr int kSimBlocks = 30;

const char* const kNotStable = "ASF_NODE NOTIN \"STABLE\"";

// Remove-all meets operator-message rows, whose empty reference it reports
// as a notice; count them instead of printing hundreds of lines.
std::atomic<int> gNotices{0};
void CountNotice(const char*, unsigned int) {
  gNotices.fetch_add(1);
}

std::string TagOf(const std::string& node, int i) {
  return node + "_T" + std::to_string(i);
}

void RaiseAlarm(node::EmbeddedNode& n, const std::string& nodeName, int i, int32_t status,
                bool acked = false) {
  n.database().SetField(nodeName, TagOf(nodeName, i), "B_NALM", acked ? 0 : 1);
  n.database().SetField(nodeName, TagOf(nodeName, i), "B_CUALM", static_cast<int16_t>(status));
  node::AlarmInput in;
  in.node = nodeName;
  in.physicalNode = nodeName;
  in.tag = TagOf(nodeName, i);
  in.blockLetter = 'A';
  in.blockNumber = static_cast<int16_t>(i);
  in.priority = static_cast<int16_t>(3 + i % 7);
  in.statusCode = status;
  in.acknowledged = acked;
  in.description = "STRESS " + std::to_string(i);
  in.areas = {i % 2 ? "NORTH" : "SOUTH"};
  in.value.kind = 1;
  in.value.value.i16 = static_cast<int16_t>(i);
  n.queue().Raise(in);
}

// Raises, changes and clears alarms on the SIM nodes the way a plant would:
// the block's fields first, then the queue.
void Simulate(node::EmbeddedNode& n, std::atomic<bool>& stop, std::atomic<int>& reloads) {
  std::mt19937 rnd(7);
  const int32_t codes[] = {1539, 1796, 1283, 1027};
  while (!stop.load()) {
    const std::string& nodeName = kSimNodes[rnd() % kSimNodes.size()];
    int i = static_cast<int>(rnd() % kSimBlocks);
    switch (rnd() % 8) {
      case 0:
      case 1:
      case 2:
        RaiseAlarm(n, nodeName, i, codes[rnd() % 4]);
        break;
      case 3:
      case 4: {
        int32_t code = codes[rnd() % 4];
        n.database().SetField(nodeName, TagOf(nodeName, i), "B_CUALM", static_cast<int16_t>(code));
        _AlmCanonicalValue v{};
        v.kind = 1;
        v.value.i16 = static_cast<int16_t>(rnd() % 1000);
        n.queue().Update(nodeName, 'A', static_cast<int16_t>(i), code, v);
        break;
      }
      case 5:
      case 6:
        n.database().SetField(nodeName, TagOf(nodeName, i), "B_CUALM", 0);
        n.queue().Clear(nodeName, 'A', static_cast<int16_t>(i));
        break;
      default:
        if (rnd() % 8 == 0) {
          n.database().ReloadNode(nodeName);
          reloads.fetch_add(1);
        }
        break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

// Failures seen on worker threads, reported on the main thread.
class Problems {
 public:
  void Add(const std::string& what) {
    std::lock_guard lock(m_);
    if (list_.size() < 20) list_.push_back(what);
    ++count_;
  }
  std::vector<std::string> list() const {
    std::lock_guard lock(m_);
    return list_;
  }
  std::size_t count() const {
    std::lock_guard lock(m_);
    return count_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::string> list_;
  std::size_t count_ = 0;
};

struct FetchResult {
  short result = -1;
  std::vector<tagAlarmStr> rows;
};

FetchResult FetchRows(CVeltAlmSummMgr& mgr, short handle, const char* filter, long sort,
                      long count = -1) {
  FetchResult r;
  VARIANT v;
  VariantInit(&v);
  std::string f(filter);
  short rows = 0;
  r.result = mgr.FetchAlarmsByRef(&v, count, f.data(), sort, handle, &rows);
  if (v.parray && rows > 0) {
    r.rows.resize(static_cast<std::size_t>(rows));
    std::memcpy(r.rows.data(), v.parray->pvData, r.rows.size() * sizeof(tagAlarmStr));
  }
  VariantClear(&v);
  return r;
}

// A reference of a random alarm that is not on STABLE, or "" when none.
std::string PickReference(CVeltAlmSummMgr& mgr, short handle, std::mt19937& rnd) {
  FetchResult page = FetchRows(mgr, handle, kNotStable, 1);
  std::vector<std::string> refs;
  for (const tagAlarmStr& row : page.rows) {
    if (row.reference[0]) refs.push_back(Ref(row));
  }
  return refs.empty() ? std::string() : refs[rnd() % refs.size()];
}

// One display client: a manager with a handle that it may replace.
struct Client {
  std::unique_ptr<CVeltAlmSummMgr> mgr;
  short handle = kNoHandle;
  void Open(const CVeltAlmSummMgr* copyFrom) {
    mgr = copyFrom ? std::make_unique<CVeltAlmSummMgr>(*copyFrom)
                   : std::make_unique<CVeltAlmSummMgr>();
    handle = mgr->GetAlarmClientHandle();
  }
  void Close() {
    if (mgr) mgr->FreeAlarmClientHandle(handle);
    mgr.reset();
    handle = kNoHandle;
  }
};

void UseFieldCache(CVeltAlmSummMgr& mgr, std::mt19937& rnd) {
  const std::string& nodeName = kSimNodes[rnd() % kSimNodes.size()];
  zunagroup* g = zuna_group_create(1, 0);
  CArray<unsigned int, unsigned int&> entries;
  for (int k = 0; k < 3; ++k) {
    std::string tag = TagOf(nodeName, static_cast<int>(rnd() % kSimBlocks));
    unsigned int e = zuna_group_add(g, nodeName.c_str(), tag.c_str(), "B_NALM", nullptr);
    entries.Add(e);
  }
  mgr.SetPDBSNInfo(g);
  zuna_group_resolve(g);
  zuna_group_execute(g);
  CArray<unsigned int, unsigned int&> again;
  for (std::ptrdiff_t k = 0; k < entries.GetSize(); ++k) again.Add(entries[k]);
  mgr.CacheFieldIDs(g, &entries);
  mgr.CachePDBSNInfo(g, &again);
  VSP vsp{};
  vsp.blockType = 'A';
  std::string node = nodeName, tag = TagOf(nodeName, 1);
  char field[] = "B_NALM";
  mgr.GetVSPFieldInfo(node.data(), tag.data(), field, &vsp);
  zuna_group_free(g);
}

void Work(int id, Clock::time_point deadline, Problems& problems, std::atomic<int>& ops) {
  std::mt19937 rnd(static_cast<unsigned>(100 + id));
  Client clients[2];
  clients[0].Open(nullptr);
  clients[1].Open(clients[0].mgr.get());  // a copy counts as a manager of its own
  const char* filters[] = {"", kNotStable, "ASF_PRIORITY >= \"HIGH\"",
                           "ASF_AREA IN \"NORTH\" AND NOT ASF_ACK = \"Acknowledged\"",
                           "ASF_TAGNAME = \"SIM1_T*\" OR ASF_NODE IN \"SIM2\""};

  for (int it = 0; it < kMaxIterations && Clock::now() < deadline; ++it) {
    Client& c = clients[rnd() % 2];
    if (c.handle == kNoHandle) {
      problems.Add("worker " + std::to_string(id) + ": no client handle");
      break;
    }
    CVeltAlmSummMgr& mgr = *c.mgr;
    const short quiet = static_cast<short>(rnd() % 4 != 0);
    switch (rnd() % 11) {
      case 0:
      case 1: {
        const char* f = filters[rnd() % std::size(filters)];
        long sort = static_cast<long>(rnd() % 15) * (rnd() % 2 ? 1 : -1);
        if (sort == 0) sort = 1;
        FetchResult page = FetchRows(mgr, c.handle, f, sort, rnd() % 2 ? 100 : -1);
        if (page.result != kOk) problems.Add("fetch gave " + std::to_string(page.result));
        break;
      }
      case 2: {
        std::string ref = PickReference(mgr, c.handle, rnd);
        if (!ref.empty()) mgr.AcknowledgeAlarmByRef(c.handle, ref.data(), quiet);
        break;
      }
      case 3: {
        std::string f = kNotStable;
        if (rnd() % 2) f += " AND ASF_PRIORITY >= \"HIGH\"";
        mgr.AcknowledgeAllAlarmsByRef(f.data(), c.handle, quiet);
        break;
      }
      case 4: {
        std::string ref = PickReference(mgr, c.handle, rnd);
        if (!ref.empty()) mgr.ManuallyDeleteAlarmByRef(c.handle, ref.data(), quiet);
        break;
      }
      case 5: {
        char refs[2 * 64] = {};
        std::string a = PickReference(mgr, c.handle, rnd), b = PickReference(mgr, c.handle, rnd);
        if (a.empty() || b.empty()) break;
        std::snprintf(refs, 64, "%s", a.c_str());
        std::snprintf(refs + 64, 64, "%s", b.c_str());
        mgr.RemoveAlarmsByRef(c.handle, refs, 1, 2, quiet);
        break;
      }
      case 6: {
        std::string f = "ASF_NODE IN \"" + kSimNodes[rnd() % kSimNodes.size()] + "\"";
        mgr.RemoveAllAlarmsByRef(c.handle, f.data(), quiet);
        break;
      }
      case 7: {
        std::string ref = PickReference(mgr, c.handle, rnd);
        if (!ref.empty()) mgr.MarkAsAcknowledgedByRef(c.handle, ref.data());
        break;
      }
      case 8:
        UseFieldCache(mgr, rnd);
        break;
      case 9: {
        // Handle churn, and now and then a whole new manager.
        short extra = mgr.GetAlarmClientHandle();
        if (extra != kNoHandle) mgr.FreeAlarmClientHandle(extra);
        if (rnd() % 4 == 0) {
          c.Close();
          c.Open(rnd() % 2 ? nullptr : clients[0].mgr ? clients[0].mgr.get() : nullptr);
        }
        break;
      }
      default: {
        short enabled = 0;
        mgr.ConfigureHorn(static_cast<short>(rnd() % 2));
        mgr.SilenceHorn();
        mgr.AlarmHornEnabled(&enabled);
        if (mgr.GetTotalNumOfAlarms() < 0 || mgr.GetAlarmSequenceNumber() < 0) {
          problems.Add("header read failed");
        }
        break;
      }
    }
    // `mgr` may be gone: the churn above can replace the client's manager.
    if (id == 0 && it % 5 == 0) {
      // The only actor on STABLE: acknowledge the even blocks, again and again.
      for (int i = 0; i < kStableBlocks; i += 2) {
        std::string ref = "A" + std::to_string(i) + kStableNode;
        short r = c.mgr->AcknowledgeAlarmByRef(c.handle, ref.data(), 1);
        if (r != kOk) problems.Add("stable acknowledge gave " + std::to_string(r));
      }
    }
    ops.fetch_add(1);
  }
  clients[0].Close();
  clients[1].Close();
}

TEST(ConcurrencyStress, ManyClientsAgainstAChangingPlantLeaveEverythingConsistent) {
  node::EmbeddedNode n;
  n.SetLocalNames(kLocalNames);
  n.database().AddNode(kStableNode);
  for (int i = 0; i < kStableBlocks; ++i) {
    ASSERT_TRUE(
        n.database().AddBlock(kStableNode, TagOf(kStableNode, i), 'A', static_cast<int16_t>(i)));
    RaiseAlarm(n, kStableNode, i, 1539);
  }
  for (const std::string& s : kSimNodes) {
    n.database().AddNode(s);
    for (int i = 0; i < kSimBlocks; ++i) {
      ASSERT_TRUE(n.database().AddBlock(s, TagOf(s, i), 'A', static_cast<int16_t>(i)));
      if (i % 2) RaiseAlarm(n, s, i, 1539);
    }
  }

  const unsigned int objectsBefore = CVeltAlmSummMgr::m_uiObjectCount;
  const unsigned int handlesBefore = CVeltAlmSummMgr::m_uiClientHandleCount;
  const std::size_t openBefore = n.queue().OpenHandles();

  NoticeHook previousHook = SetNoticeHook(CountNotice);
  std::atomic<bool> stop{false};
  std::atomic<int> reloads{0}, ops{0};
  Problems problems;
  {
    std::thread sim(Simulate, std::ref(n), std::ref(stop), std::ref(reloads));
    std::vector<std::thread> workers;
    const auto deadline = Clock::now() + kRunTime;
    for (int id = 0; id < kWorkers; ++id) {
      workers.emplace_back(Work, id, deadline, std::ref(problems), std::ref(ops));
    }
    for (std::thread& w : workers) w.join();
    stop = true;
    sim.join();
  }

  SetNoticeHook(previousHook);
  for (const std::string& p : problems.list()) ADD_FAILURE() << p;
  EXPECT_EQ(problems.count(), 0u);
  EXPECT_GT(ops.load(), kWorkers * 10) << "the run did too little to mean anything";

  EXPECT_EQ(CVeltAlmSummMgr::m_uiObjectCount, objectsBefore);
  EXPECT_EQ(CVeltAlmSummMgr::m_uiClientHandleCount, handlesBefore);
  EXPECT_EQ(n.queue().OpenHandles(), openBefore);
  EXPECT_EQ(n.database().OpenGroups(), 0u);

  // The queue agrees with itself: header, full fetch and lookups.
  CVeltAlmSummMgr mgr;
  short h = mgr.GetAlarmClientHandle();
  ASSERT_NE(h, kNoHandle);
  FetchResult all = FetchRows(mgr, h, "", 1);
  ASSERT_EQ(all.result, kOk);
  EXPECT_EQ(mgr.GetTotalNumOfAlarms(), static_cast<long>(all.rows.size()));
  EXPECT_EQ(static_cast<std::size_t>(mgr.GetTotalNumOfAlarms()), n.queue().Size());
  for (const tagAlarmStr& row : all.rows) {
    if (!row.reference[0]) continue;  // operator message
    std::string ref = Ref(row);
    SUMQMSG msg{};
    ASSERT_EQ(CVeltAlmSummMgrTestPeer::CorrespondingAlarm(mgr, ref.data(), &msg), 1) << ref;
    EXPECT_EQ(std::string(FieldText(msg.almpak.tagName)), Tag(row)) << ref;
  }

  // STABLE: every alarm still stands; even ones acknowledged in the database
  // and the queue, odd ones in neither.
  int standing = 0;
  for (const SUMQMSG& m : n.queue().Snapshot()) {
    if (FieldText(m.almpak.node) != std::string_view(kStableNode)) continue;
    ++standing;
    std::string tag(FieldText(m.almpak.tagName));
    int i = std::stoi(tag.substr(tag.find("_T") + 2));
    auto nalm = n.database().GetField(kStableNode, tag, "B_NALM");
    ASSERT_TRUE(nalm.has_value()) << tag;
    const bool even = i % 2 == 0;
    EXPECT_EQ(*nalm, even ? 0 : 1) << tag;
    EXPECT_EQ(m.ackFlag != 0, even) << tag;
  }
  EXPECT_EQ(standing, kStableBlocks);
  mgr.FreeAlarmClientHandle(h);
}

// Managers that come and go one at a time per thread, so the last one is
// destroyed (emptying the process-wide field cache and serial map) while
// other threads are filling them.
TEST(ConcurrencyStress, LastManagerGoingAwayWhileOthersFillTheCaches) {
  node::EmbeddedNode n;
  n.SetLocalNames(kLocalNames);
  for (const std::string& s : kSimNodes) {
    n.database().AddNode(s);
    for (int i = 0; i < kSimBlocks; ++i) {
      ASSERT_TRUE(n.database().AddBlock(s, TagOf(s, i), 'A', static_cast<int16_t>(i)));
    }
  }
  const unsigned int objectsBefore = CVeltAlmSummMgr::m_uiObjectCount;
  ASSERT_EQ(objectsBefore, 0u) << "another manager would keep the caches alive";
  std::atomic<int> rounds{0};
  std::vector<std::thread> threads;
  const auto deadline = Clock::now() + std::chrono::seconds(1);
  for (int id = 0; id < 4; ++id) {
    threads.emplace_back([&, id] {
      std::mt19937 rnd(static_cast<unsigned>(id));
      for (int k = 0; k < 300 && Clock::now() < deadline; ++k) {
        CVeltAlmSummMgr mgr;
        UseFieldCache(mgr, rnd);
        rounds.fetch_add(1);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_GT(rounds.load(), 4);
  EXPECT_EQ(CVeltAlmSummMgr::m_uiObjectCount, objectsBefore);
  EXPECT_EQ(n.database().OpenGroups(), 0u);

  // The caches start empty again: nothing cached survives the last manager.
  CVeltAlmSummMgr mgr;
  VSP vsp{};
  vsp.blockType = 'A';
  std::string node = kSimNodes[0], tag = TagOf(kSimNodes[0], 1);
  char field[] = "B_NALM";
  EXPECT_EQ(mgr.GetVSPFieldInfo(node.data(), tag.data(), field, &vsp), 0);
}

}  // namespace
}  // namespace tolvane::testing
