#include "web/plant_host.h"

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <shared_mutex>

#include <pthread.h>
#include <optional>
#include <utility>

#include "plant/simulator.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"
#include "web/view_counts.h"

namespace tolvane::web {
namespace {

using plant::PlantStore;
using plant::StoreError;

// A reader/writer lock that lets a waiting writer in before readers that
// come after it: page reads come all the time, and an action must not wait
// behind them for ever (glibc's default lets readers in first).
class WriterFirstMutex {
 public:
  WriterFirstMutex() {
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock_, &attr);
    pthread_rwlockattr_destroy(&attr);
  }
  ~WriterFirstMutex() { pthread_rwlock_destroy(&lock_); }
  WriterFirstMutex(const WriterFirstMutex&) = delete;
  WriterFirstMutex& operator=(const WriterFirstMutex&) = delete;
  void lock() { pthread_rwlock_wrlock(&lock_); }
  void unlock() { pthread_rwlock_unlock(&lock_); }
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

// Locks: storeMutex_ is the store's (its connection, transactions and
// what it knows of the node) and orders every change: a change is applied
// to the node and committed before the next begins, so the store commits in
// the order memory changed. nodeMutex_ guards the node, its manager and
// handle: readers share it; a change takes it alone only while it applies
// in memory (or swaps in a reloaded node). Waiting for the store's write
// lock, committing, and reading the store for a reload hold storeMutex_
// only, so page reads and counts never wait on the store.
// Order: storeMutex_, then nodeMutex_, then the small ones.
class StoreHost final : public PlantHost, private HostContext {
 public:
  StoreHost(std::unique_ptr<PlantStore> store, const HostOptions& options)
      : store_(std::move(store)), options_(options) {}

  ~StoreHost() override { Unload(); }

  bool Start(std::string* err) {
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    StoreError e;
    // The simulator takes its blocks from the plant as it is now.
    if (options_.simulateRate > 0 && !store_->Read(&plant_, &e)) {
      *err = e.message;
      return false;
    }
    if (!store_->Begin(false, &e) || !Reload(&e)) {
      *err = e.message;
      return false;
    }
    store_->Rollback();  // the view lives in the node from here on
    // The journal is read on a connection of its own: a reader there never
    // waits for a writer (ours or another program's).
    if (store_->path() != ":memory:") {
      reader_ = PlantStore::Open(store_->path(), &e, PlantStore::OpenFor::kRead);
      if (!reader_) {
        *err = e.message;
        return false;
      }
    }
    RefreshShelved();
    return true;
  }

  void Read(const std::function<void(HostContext&)>& fn) override {
    std::shared_lock<WriterFirstMutex> lock(nodeMutex_);
    Reader reader(*this);
    fn(reader);
  }

  bool Act(const std::string& user, const std::function<void(HostContext&)>& fn,
           std::string* err) override {
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    StoreError e;
    // Another program may hold the write lock for seconds; only actions wait.
    if (!store_->Begin(true, &e)) {
      *err = e.message;
      return false;
    }
    // What this action reads must be what the store holds now.
    if (store_->ChangedElsewhere() && !Reload(&e)) return Fail(e, err);
    {
      std::unique_lock<WriterFirstMutex> lock(nodeMutex_);
      store_->SetUser(user);
      acting_ = true;
      fn(*this);
      acting_ = false;
    }
    if (!TimedCommit(&e)) return Fail(e, err);
    ++changes_;
    // Only a shelve, an unshelve or a reload changes the list (shelved
    // alarms are in no view, so no other action reaches them); walking every
    // alarm the store knows is not free at 100,000.
    if (shelvesStale_) RefreshShelved();
    return true;
  }

  uint64_t Version() override {
    std::shared_lock<WriterFirstMutex> lock(nodeMutex_);
    return VersionLocked();
  }

  short ViewCounts(HostContext&, const std::string& filter, AlarmViewCounts* out) override {
    // Inside Read or Act: nodeMutex_ is held, shared or alone, so the node
    // does not change meanwhile. A filter's view is walked once and its
    // counts kept current from the queue's changes (live_); one reader
    // walks it while others wanting the same counts wait for it instead of
    // walking it again.
    const uint64_t version = ContentLocked();
    const auto sequence = static_cast<uint32_t>(version >> 32);
    if (live_.Find(sequence, filter, out)) return kOk;
    std::promise<Counted> promise;
    {
      std::unique_lock<std::mutex> lock(countsMutex_);
      auto it = counting_.find(filter);
      if (it != counting_.end() && it->second.version == version) {
        std::shared_future<Counted> counted = it->second.result;
        lock.unlock();
        Counted c = counted.get();
        *out = c.counts;
        return c.status;
      }
      counting_[filter] = {version, promise.get_future().share()};
    }
    Counted c;
    std::unique_ptr<AlarmView> view;
    try {
      view = std::make_unique<AlarmView>(1, filter.c_str());
      c.status = view->Count(&c.counts);
    } catch (...) {
      c.status = kFailed;
    }
    // Kept only when nothing changed during the walk.
    if (c.status == kOk && static_cast<uint32_t>(ContentLocked() >> 32) == sequence) {
      live_.Put(sequence, filter, std::move(view), c.counts);
    }
    {
      std::lock_guard<std::mutex> lock(countsMutex_);
      auto it = counting_.find(filter);
      if (it != counting_.end() && it->second.version == version) counting_.erase(it);
    }
    promise.set_value(c);
    *out = c.counts;
    return c.status;
  }

  HostSource Source() override {
    std::shared_lock<WriterFirstMutex> lock(nodeMutex_);
    HostSource s;
    s.kind = options_.demo ? "demo" : "store";
    s.name = options_.demo ? "built-in demo plant" : options_.name;
    s.alarms = node_ ? node_->queue().Size() : 0;
    return s;
  }
  bool HasStore() const override { return true; }

  // As of the last commit or load: never waits for the store.
  std::vector<ShelvedAlarm> Shelved() override {
    std::lock_guard<std::mutex> lock(shelvedMutex_);
    return shelved_;
  }

  std::vector<plant::PlantLogEntry> Journal(std::size_t limit) override {
    std::vector<plant::PlantLogEntry> all;
    StoreError e;
    // A display wants the recent entries; a store keeps years of them.
    auto since = plant::Clock::now() - std::chrono::hours(24 * 7);
    if (reader_) {
      std::lock_guard<std::mutex> lock(readerMutex_);
      if (!reader_->ReadJournal(since, std::nullopt, &all, &e)) return {};
    } else {
      // A store in memory: no other program can hold it, and ours commit quickly.
      std::lock_guard<std::mutex> lock(storeMutex_);
      if (!store_->ReadJournal(since, std::nullopt, &all, &e)) return {};
    }
    std::size_t from = all.size() > limit ? all.size() - limit : 0;
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
  }

  void Tick(TimePoint now) override {
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    StoreError e;
    if (store_->ChangedElsewhere()) {
      if (store_->Begin(false, &e)) {
        if (Reload(&e)) RefreshShelved();
        store_->Rollback();
      }
    }
    bool due = false;
    for (const plant::ShelvedAlarm& s : store_->Shelved()) due = due || s.until <= now;
    double seconds = lastTick_ ? std::chrono::duration<double>(now - *lastTick_).count() : 0;
    lastTick_ = now;
    if (!due && !simulator_) return;
    if (!store_->Begin(true, &e)) return;  // busy elsewhere: next tick
    if (store_->ChangedElsewhere() && !Reload(&e)) {
      store_->Rollback();
      return;
    }
    {
      std::unique_lock<WriterFirstMutex> lock(nodeMutex_);
      store_->SetUser("simulator");
      if (due) store_->EndExpiredShelves(now);
      if (simulator_) simulator_->Advance(seconds, options_.simulateRate, now);
    }
    if (TimedCommit(&e)) {
      ++changes_;
      RefreshShelved();
    } else {
      Fail(e, nullptr);
    }
  }

 private:
  // What a read works with: the node, nothing that changes the store.
  class Reader final : public HostContext {
   public:
    explicit Reader(StoreHost& host) : host_(host) {}
    CVeltAlmSummMgr& mgr() override { return *host_.mgr_; }
    short handle() override { return host_.handle_; }
    QueueBackend& queue() override { return host_.node_->queue(); }
    bool HornSilenced() override { return host_.node_->queue().HornSilenced(); }
    bool Shelve(const std::string&, char, int16_t, TimePoint, const std::string&) override {
      return false;
    }
    bool Unshelve(const std::string&, char, int16_t) override { return false; }
    void Journal(const std::string&, const std::string&) override {}

   private:
    StoreHost& host_;
  };

  // REQUIRES: storeMutex_ and a transaction; not nodeMutex_.
  bool TimedCommit(StoreError* e) {
    if (options_.pause) options_.pause("commit");
    auto begun = std::chrono::steady_clock::now();
    bool ok = store_->Commit(e);
    if (options_.onCommit) {
      options_.onCommit(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(), ok);
    }
    return ok;
  }

  // --- HostContext, for an action (storeMutex_ and nodeMutex_ alone) ---
  CVeltAlmSummMgr& mgr() override { return *mgr_; }
  short handle() override { return handle_; }
  QueueBackend& queue() override { return node_->queue(); }
  bool HornSilenced() override { return node_->queue().HornSilenced(); }

  bool Shelve(const std::string& node, char letter, int16_t number, TimePoint until,
              const std::string& reason) override {
    shelvesStale_ = shelvesStale_ || acting_;
    return acting_ && store_->Shelve(node, letter, number, until, reason, plant::Clock::now());
  }
  bool Unshelve(const std::string& node, char letter, int16_t number) override {
    shelvesStale_ = shelvesStale_ || acting_;
    return acting_ && store_->Unshelve(node, letter, number, plant::Clock::now());
  }
  void Journal(const std::string& node, const std::string& text) override {
    if (acting_) store_->Journal(node, text, plant::Clock::now());
  }

  // What the node holds: the queue's number and the loads.
  // REQUIRES: nodeMutex_, shared or alone.
  uint64_t ContentLocked() {
    auto seq = static_cast<uint32_t>(node_ ? node_->queue().SequenceNumber() : 0);
    return (static_cast<uint64_t>(seq) << 32) | static_cast<uint32_t>(loads_);
  }

  // REQUIRES: nodeMutex_, shared or alone.
  uint64_t VersionLocked() {
    // The queue's number in the high half, our commits and loads in the low one.
    auto seq = static_cast<uint32_t>(node_ ? node_->queue().SequenceNumber() : 0);
    return (static_cast<uint64_t>(seq) << 32) | static_cast<uint32_t>(changes_.load());
  }

  // Drops the transaction; the node may hold changes the store does not,
  // so the store's state is loaded again. REQUIRES: storeMutex_.
  bool Fail(const StoreError& e, std::string* err) {
    if (err) *err = e.message;
    store_->Rollback();
    StoreError again;
    if (store_->Begin(false, &again)) {
      Reload(&again);
      store_->Rollback();
    }
    ++changes_;
    RefreshShelved();
    return false;
  }

  // REQUIRES: nodeMutex_ alone (or no reader can be running).
  void Unload() {
    simulator_.reset();
    if (mgr_ && handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
    mgr_.reset();
    handle_ = kNoHandle;
    if (node_) {
      node_->queue().RemoveEventListener(listening_);
      store_->Detach();
    }
    node_.reset();
    live_.Clear();
  }

  // What a reload took out of service: freed after nodeMutex_ is released.
  // Members go in reverse: the store's old bookkeeping, the simulator,
  // then the node they refer to.
  struct Retired {
    std::unique_ptr<node::EmbeddedNode> node;
    std::unique_ptr<plant::Simulator> simulator;
    std::shared_ptr<PlantStore::FilledLoad> known;
  };

  // The store's plant in a new node beside the old one: the store is read
  // and the new node filled while readers go on with the old node; they
  // wait only while the new one is installed and swapped in, and the old
  // one is freed after. When the store cannot be read or filled, the old
  // node stays and the store still follows it.
  // REQUIRES: storeMutex_ and a transaction; not nodeMutex_.
  bool Reload(StoreError* e) {
    std::shared_ptr<PlantStore::PreparedLoad> prepared =
        store_->PrepareLoad(plant::Clock::now(), e);
    if (options_.pause) options_.pause("reload");
    if (!prepared) return false;
    auto fresh = std::make_unique<node::EmbeddedNode>(node::EmbeddedNode::Installing::kLater);
    fresh->LoadSettings();
    std::shared_ptr<PlantStore::FilledLoad> filled = store_->FillPrepared(*fresh, *prepared, e);
    if (options_.pause) options_.pause("filled");
    if (!filled) return false;
    prepared.reset();
    std::unique_ptr<plant::Simulator> simulator;
    if (options_.simulateRate > 0) {
      simulator = std::make_unique<plant::Simulator>(*fresh, plant_, options_.seed);
    }
    Retired retired;
    std::chrono::steady_clock::time_point locked, unlocked;
    bool ok;
    {
      std::unique_lock<WriterFirstMutex> lock(nodeMutex_);
      locked = std::chrono::steady_clock::now();
      ok = SwapIn(fresh, filled, simulator, &retired, e);
      unlocked = std::chrono::steady_clock::now();
    }
    if (ok && options_.onReload) {
      options_.onReload(std::chrono::duration<double>(unlocked - locked).count());
    }
    return ok;
  }

  // Installs `fresh` in place of node_, with a new manager and handle; the
  // old node and what goes with it into `retired`. False (the old node
  // back in place) when the new node gives no client handle.
  // REQUIRES: storeMutex_, nodeMutex_ alone.
  bool SwapIn(std::unique_ptr<node::EmbeddedNode>& fresh,
              std::shared_ptr<PlantStore::FilledLoad>& filled,
              std::unique_ptr<plant::Simulator>& simulator, Retired* retired, StoreError* e) {
    ++changes_;
    ++loads_;
    shelvesStale_ = true;
    // The old handle is freed while the old node is installed: the manager
    // reaches the queue through the library's slot. The last manager takes
    // the library's field cache with it, so the new one starts empty.
    if (mgr_ && handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
    handle_ = kNoHandle;
    mgr_.reset();
    if (node_) node_->queue().RemoveEventListener(listening_);
    live_.Clear();
    fresh->Install();
    auto mgr = std::make_unique<CVeltAlmSummMgr>();
    const short handle = mgr->GetAlarmClientHandle();
    if (handle == kNoHandle) {
      mgr.reset();
      if (node_) {
        node_->Install();
        Attach();
        mgr_ = std::make_unique<CVeltAlmSummMgr>();
        handle_ = mgr_->GetAlarmClientHandle();
      }
      e->kind = StoreError::Kind::kRefused;
      e->message = "the alarm queue gave no client handle";
      retired->node = std::move(fresh);
      retired->simulator = std::move(simulator);  // it refers to that node
      return false;
    }
    retired->known = store_->Adopt(std::move(filled));
    retired->node = std::move(node_);
    retired->simulator = std::move(simulator_);
    node_ = std::move(fresh);
    simulator_ = std::move(simulator);
    mgr_ = std::move(mgr);
    handle_ = handle;
    // Loading tells no listener; every change from here on is applied.
    Attach();
    if (options_.onNodeLoaded) options_.onNodeLoaded(*node_);
    return true;
  }

  // Follows node_'s changes into the live counts. REQUIRES: nodeMutex_ alone.
  void Attach() {
    listening_ = node_->queue().AddEventListener(
        [this](const node::SummaryQueue::Event& ev) { live_.OnEvent(ev); });
  }

  // REQUIRES: storeMutex_.
  void RefreshShelved() {
    shelvesStale_ = false;
    std::vector<ShelvedAlarm> out;
    for (const plant::ShelvedAlarm& s : store_->Shelved()) {
      const plant::PlantAlarm& a = s.alarm;
      out.push_back(
          {a.node, a.tag, a.description, a.letter, a.number, s.until, a.shelveReason, a.shelvedBy});
    }
    std::lock_guard<std::mutex> lock(shelvedMutex_);
    shelved_ = std::move(out);
  }

  std::mutex storeMutex_;
  WriterFirstMutex nodeMutex_;
  std::unique_ptr<PlantStore> store_;
  HostOptions options_;
  plant::Plant plant_;  // read for the simulator only
  std::unique_ptr<node::EmbeddedNode> node_;
  std::unique_ptr<CVeltAlmSummMgr> mgr_;
  short handle_ = kNoHandle;
  std::unique_ptr<plant::Simulator> simulator_;
  std::optional<TimePoint> lastTick_;
  bool acting_ = false;
  bool shelvesStale_ = false;  // the shelved list may be behind the node (storeMutex_)
  std::atomic<uint64_t> changes_{0};
  uint64_t loads_ = 0;  // under nodeMutex_ alone
  struct Counted {
    short status = kOk;
    AlarmViewCounts counts;
  };
  struct Counting {
    uint64_t version = 0;
    std::shared_future<Counted> result;
  };
  LiveViewCounts live_;  // told by the node's queue, under its lock
  node::SummaryQueue::ListenerToken listening_ = 0;
  std::mutex countsMutex_;
  std::map<std::string, Counting> counting_;  // views being walked now
  std::mutex shelvedMutex_;
  std::vector<ShelvedAlarm> shelved_;
  std::mutex readerMutex_;
  std::unique_ptr<PlantStore> reader_;  // the journal's connection; none in memory
};

}  // namespace

std::unique_ptr<PlantHost> MakeStoreHost(std::unique_ptr<plant::PlantStore> store,
                                         const HostOptions& options, std::string* err) {
  auto host = std::make_unique<StoreHost>(std::move(store), options);
  if (!host->Start(err)) return nullptr;
  return host;
}

}  // namespace tolvane::web
