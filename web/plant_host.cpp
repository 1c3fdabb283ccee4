#include "web/plant_host.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>

#include "plant/simulator.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane::web {
namespace {

using plant::PlantStore;
using plant::StoreError;

class StoreHost final : public PlantHost, private HostContext {
 public:
  StoreHost(std::unique_ptr<PlantStore> store, const HostOptions& options)
      : store_(std::move(store)), options_(options) {}

  ~StoreHost() override { Unload(); }

  bool Start(std::string* err) {
    StoreError e;
    // The simulator takes its blocks from the plant as it is now.
    if (options_.simulateRate > 0 && !store_->Read(&plant_, &e)) {
      *err = e.message;
      return false;
    }
    if (!store_->Begin(false, &e) || !LoadNode(&e)) {
      *err = e.message;
      return false;
    }
    store_->Rollback();  // the view lives in the node from here on
    return true;
  }

  void Read(const std::function<void(HostContext&)>& fn) override {
    std::lock_guard<std::mutex> lock(mutex_);
    acting_ = false;
    fn(*this);
  }

  // Waiting for the store's write lock (another program may hold it for
  // seconds) holds only storeMutex_: page reads go on meanwhile.
  bool Act(const std::string& user, const std::function<void(HostContext&)>& fn,
           std::string* err) override {
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    StoreError e;
    if (!store_->Begin(true, &e)) {
      *err = e.message;
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    // What this action reads must be what the store holds now.
    if (store_->ChangedElsewhere() && !LoadNode(&e)) return Fail(e, err);
    store_->SetUser(user);
    acting_ = true;
    fn(*this);
    acting_ = false;
    if (!TimedCommit(&e)) return Fail(e, err);
    ++changes_;
    return true;
  }

  uint64_t Version() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return VersionLocked();
  }

  short ViewCounts(HostContext&, const std::string& filter, AlarmViewCounts* out) override {
    // Called under mutex_ (inside Read or Act).
    return counts_.Get(VersionLocked(), filter, out);
  }

  HostSource Source() override {
    std::lock_guard<std::mutex> lock(mutex_);
    HostSource s;
    s.kind = options_.demo ? "demo" : "store";
    s.name = options_.demo ? "built-in demo plant" : options_.name;
    s.alarms = node_->queue().Size();
    return s;
  }
  bool HasStore() const override { return true; }

  std::vector<ShelvedAlarm> Shelved() override {
    std::lock_guard<std::mutex> lock(storeMutex_);
    std::vector<ShelvedAlarm> out;
    for (const plant::ShelvedAlarm& s : store_->Shelved()) {
      const plant::PlantAlarm& a = s.alarm;
      out.push_back(
          {a.node, a.tag, a.description, a.letter, a.number, s.until, a.shelveReason, a.shelvedBy});
    }
    return out;
  }

  std::vector<plant::PlantLogEntry> Journal(std::size_t limit) override {
    std::lock_guard<std::mutex> lock(storeMutex_);
    std::vector<plant::PlantLogEntry> all;
    StoreError e;
    // A display wants the recent entries; a store keeps years of them.
    auto since = plant::Clock::now() - std::chrono::hours(24 * 7);
    if (!store_->ReadJournal(since, std::nullopt, &all, &e)) return {};
    std::size_t from = all.size() > limit ? all.size() - limit : 0;
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
  }

  void Tick(TimePoint now) override {
    std::lock_guard<std::mutex> storeLock(storeMutex_);
    StoreError e;
    if (store_->ChangedElsewhere()) {
      if (store_->Begin(false, &e)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (LoadNode(&e)) ++changes_;
        store_->Rollback();
      }
    }
    bool due = false;
    for (const plant::ShelvedAlarm& s : store_->Shelved()) due = due || s.until <= now;
    double seconds = lastTick_ ? std::chrono::duration<double>(now - *lastTick_).count() : 0;
    lastTick_ = now;
    if (!due && !simulator_) return;
    if (!store_->Begin(true, &e)) return;  // busy elsewhere: next tick
    std::lock_guard<std::mutex> lock(mutex_);
    if (store_->ChangedElsewhere() && !LoadNode(&e)) {
      store_->Rollback();
      return;
    }
    store_->SetUser("simulator");
    if (due) store_->EndExpiredShelves(now);
    if (simulator_) simulator_->Advance(seconds, options_.simulateRate, now);
    if (TimedCommit(&e)) {
      ++changes_;
    } else {
      Fail(e, nullptr);
    }
  }

 private:
  bool TimedCommit(StoreError* e) {
    auto begun = std::chrono::steady_clock::now();
    bool ok = store_->Commit(e);
    if (options_.onCommit) {
      options_.onCommit(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count(), ok);
    }
    return ok;
  }

  // --- HostContext ---
  CVeltAlmSummMgr& mgr() override { return *mgr_; }
  short handle() override { return handle_; }
  QueueBackend& queue() override { return node_->queue(); }
  bool HornSilenced() override { return node_->queue().HornSilenced(); }

  bool Shelve(const std::string& node, char letter, int16_t number, TimePoint until,
              const std::string& reason) override {
    return acting_ && store_->Shelve(node, letter, number, until, reason, plant::Clock::now());
  }
  bool Unshelve(const std::string& node, char letter, int16_t number) override {
    return acting_ && store_->Unshelve(node, letter, number, plant::Clock::now());
  }
  void Journal(const std::string& node, const std::string& text) override {
    if (acting_) store_->Journal(node, text, plant::Clock::now());
  }

  uint64_t VersionLocked() {
    // The queue's number in the high half, our commits and loads in the low one.
    auto seq = static_cast<uint32_t>(node_->queue().SequenceNumber());
    return (static_cast<uint64_t>(seq) << 32) | static_cast<uint32_t>(changes_);
  }

  // Drops the transaction; the node may hold changes the store does not,
  // so the store's state is loaded again.
  bool Fail(const StoreError& e, std::string* err) {
    if (err) *err = e.message;
    store_->Rollback();
    StoreError again;
    if (store_->Begin(false, &again)) {
      LoadNode(&again);
      store_->Rollback();
    }
    ++changes_;
    return false;
  }

  void Unload() {
    simulator_.reset();
    if (mgr_ && handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
    mgr_.reset();
    handle_ = kNoHandle;
    if (node_) store_->Detach();
    node_.reset();
  }

  // A fresh node holding the store's plant (one node per process: the old
  // one goes first). REQUIRES: a transaction.
  bool LoadNode(StoreError* e) {
    Unload();
    node_ = std::make_unique<node::EmbeddedNode>();
    node_->LoadSettings();
    if (!store_->Load(*node_, plant::Clock::now(), e)) return false;
    mgr_ = std::make_unique<CVeltAlmSummMgr>();
    handle_ = mgr_->GetAlarmClientHandle();
    if (handle_ == kNoHandle) {
      e->kind = StoreError::Kind::kRefused;
      e->message = "the alarm queue gave no client handle";
      return false;
    }
    if (options_.simulateRate > 0) {
      simulator_ = std::make_unique<plant::Simulator>(*node_, plant_, options_.seed);
    }
    counts_.Clear();
    return true;
  }

  // Lock order: storeMutex_ (the store and its transactions), then mutex_
  // (the node, the manager and what is counted from them).
  std::mutex storeMutex_;
  std::mutex mutex_;
  std::unique_ptr<PlantStore> store_;
  HostOptions options_;
  plant::Plant plant_;  // read for the simulator only
  std::unique_ptr<node::EmbeddedNode> node_;
  std::unique_ptr<CVeltAlmSummMgr> mgr_;
  short handle_ = kNoHandle;
  std::unique_ptr<plant::Simulator> simulator_;
  std::optional<TimePoint> lastTick_;
  bool acting_ = false;
  uint64_t changes_ = 0;
  ViewCountCache counts_;
};

}  // namespace

short ViewCountCache::Get(uint64_t version, const std::string& filter, AlarmViewCounts* out) {
  if (version_ != version) {
    counts_.clear();
    version_ = version;
  }
  auto it = counts_.find(filter);
  if (it != counts_.end()) {
    *out = it->second;
    return kOk;
  }
  AlarmView view(1, filter.c_str());
  short s = view.Count(out);
  if (s != kOk) return s;
  // Many viewers with many filters: bounded, emptied when full.
  if (counts_.size() >= kMaxViews) counts_.clear();
  counts_.emplace(filter, *out);
  return kOk;
}

std::unique_ptr<PlantHost> MakeStoreHost(std::unique_ptr<plant::PlantStore> store,
                                         const HostOptions& options, std::string* err) {
  auto host = std::make_unique<StoreHost>(std::move(store), options);
  if (!host->Start(err)) return nullptr;
  return host;
}

}  // namespace tolvane::web
