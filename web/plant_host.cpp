#include "web/plant_host.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "node/summary_queue_order.h"
#include "plant/plant_node.h"
#include "plant/simulator.h"
#include "tolvane/result_codes.h"
#include "tolvane/text_field.h"

namespace tolvane::web {
namespace {

// Counts by priority, kept up to date from the queue's change listener:
// counting by fetching would cap at one page (32,767 rows) and cost a
// whole fetch per refresh.
class CountTracker {
 public:
  void Attach(node::SummaryQueue& queue) {
    queue.SetChangeListener([this](uint64_t id) {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      pending_.push_back(id);
    });
  }

  // REQUIRES: the host's lock (one caller at a time).
  AlarmCounts Counts(node::SummaryQueue& queue) {
    std::vector<uint64_t> ids;
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      ids.swap(pending_);
    }
    for (uint64_t id : ids) {
      auto it = held_.find(id);
      if (it != held_.end()) Count(it->second, -1), held_.erase(it);
      node::SummaryQueue::HeldAlarm a;
      if (!queue.Inspect(id, &a)) continue;
      Info info{a.msg.almpak.priority, a.msg.ackFlag != 0, a.suppressed, a.msg.almpak.msgType == 8};
      held_.emplace(id, info);
      Count(info, +1);
    }
    AlarmCounts out;
    for (const plant::PriorityName& p : plant::kPriorities) {
      PriorityCount c;
      c.id = p.id;
      c.name = p.name;
      auto it = byPriority_.find(p.id);
      if (it != byPriority_.end()) {
        c.alarms = static_cast<std::size_t>(it->second.first);
        c.unacknowledged = static_cast<std::size_t>(it->second.second);
      }
      out.byPriority.push_back(c);
    }
    out.alarms = static_cast<std::size_t>(alarms_);
    out.unacknowledged = static_cast<std::size_t>(unacknowledged_);
    out.shelved = static_cast<std::size_t>(shelved_);
    out.messages = static_cast<std::size_t>(messages_);
    return out;
  }

 private:
  struct Info {
    int16_t priority;
    bool acknowledged;
    bool shelved;
    bool message;
  };

  void Count(const Info& i, long d) {
    if (i.message) {
      messages_ += d;
    } else if (i.shelved) {
      shelved_ += d;
    } else {
      alarms_ += d;
      auto& p = byPriority_[i.priority];
      p.first += d;
      if (!i.acknowledged) unacknowledged_ += d, p.second += d;
    }
  }

  std::mutex pendingMutex_;
  std::vector<uint64_t> pending_;
  std::unordered_map<uint64_t, Info> held_;
  std::map<int16_t, std::pair<long, long>> byPriority_;
  long alarms_ = 0, unacknowledged_ = 0, shelved_ = 0, messages_ = 0;
};

class MemoryHost final : public PlantHost, private HostContext {
 public:
  MemoryHost(const plant::Plant& plant, const MemoryHostOptions& options)
      : plant_(plant), options_(options), journal_(plant.log) {}

  ~MemoryHost() override {
    node_.queue().SetChangeListener(nullptr);
    if (handle_ != kNoHandle) mgr_->FreeAlarmClientHandle(handle_);
  }

  bool Start(std::string* err) {
    node_.LoadSettings();
    tracker_.Attach(node_.queue());
    if (!plant::LoadPlant(plant_, node_, err)) return false;
    mgr_ = std::make_unique<CVeltAlmSummMgr>();
    handle_ = mgr_->GetAlarmClientHandle();
    if (handle_ == kNoHandle) {
      *err = "the alarm queue gave no client handle";
      return false;
    }
    if (options_.simulateRate > 0) {
      simulator_ = std::make_unique<plant::Simulator>(node_, plant_, options_.seed);
    }
    return true;
  }

  void Read(const std::function<void(HostContext&)>& fn) override {
    std::lock_guard<std::mutex> lock(mutex_);
    user_.reset();
    fn(*this);
  }

  bool Act(const std::string& user, const std::function<void(HostContext&)>& fn,
           std::string*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    user_ = user;
    fn(*this);
    TakeOperatorMessages(user);
    user_.reset();
    return true;
  }

  uint64_t Version() override {
    // The queue's number in the high half, our own changes in the low one.
    auto seq = static_cast<uint32_t>(node_.queue().SequenceNumber());
    return (static_cast<uint64_t>(seq) << 32) | changes_.load();
  }

  AlarmCounts Counts() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return tracker_.Counts(node_.queue());
  }

  std::vector<ShelvedAlarm> Shelved() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ShelvedAlarm> out;
    for (const auto& [key, s] : shelves_) out.push_back(s);
    std::sort(out.begin(), out.end(),
              [](const ShelvedAlarm& a, const ShelvedAlarm& b) { return a.until < b.until; });
    return out;
  }

  std::vector<plant::PlantLogEntry> Journal(std::size_t limit) override {
    std::lock_guard<std::mutex> lock(mutex_);
    TakeOperatorMessages("");
    std::size_t from = journal_.size() > limit ? journal_.size() - limit : 0;
    return {journal_.begin() + static_cast<std::ptrdiff_t>(from), journal_.end()};
  }

  void Tick(TimePoint now) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = shelves_.begin(); it != shelves_.end();) {
      if (it->second.until > now) {
        ++it;
        continue;
      }
      const ShelvedAlarm& s = it->second;
      node_.queue().SetSuppressed(s.node, s.letter, s.number, false);
      AddJournal(s.node, "Shelve of " + s.tag + " ended", "", now);
      it = shelves_.erase(it);
    }
    if (simulator_) {
      if (lastTick_) {
        simulator_->Advance(std::chrono::duration<double>(now - *lastTick_).count(),
                            options_.simulateRate, now);
      }
      lastTick_ = now;
    }
  }

 private:
  using Key = std::tuple<std::string, char, int16_t>;
  static Key KeyOf(const std::string& node, char letter, int16_t number) {
    return {node::detail::FoldCase(node), letter, number};
  }

  // --- HostContext ---
  CVeltAlmSummMgr& mgr() override { return *mgr_; }
  short handle() override { return handle_; }
  node::EmbeddedNode& node() override { return node_; }

  bool Shelve(const std::string& node, char letter, int16_t number, TimePoint until,
              const std::string& reason) override {
    if (!user_) return false;
    SUMQMSG msg{};
    if (node_.queue().Find(number, letter, node.c_str(), &msg) != 0) return false;
    if (!node_.queue().SetSuppressed(node, letter, number, true)) return false;
    ShelvedAlarm s;
    s.node = std::string(FieldText(msg.almpak.node));
    s.tag = std::string(FieldText(msg.almpak.tagName));
    s.description = std::string(FieldText(msg.almpak.description));
    s.letter = letter;
    s.number = number;
    s.until = until;
    s.reason = reason;
    s.user = *user_;
    shelves_[KeyOf(node, letter, number)] = s;
    AddJournal(s.node, "Shelved " + s.tag + " until " + plant::FormatUtc(until) + ": " + reason,
               *user_, plant::Clock::now());
    return true;
  }

  bool Unshelve(const std::string& node, char letter, int16_t number) override {
    if (!user_) return false;
    auto it = shelves_.find(KeyOf(node, letter, number));
    if (it == shelves_.end()) return false;
    node_.queue().SetSuppressed(it->second.node, letter, number, false);
    AddJournal(it->second.node, "Unshelved " + it->second.tag, *user_, plant::Clock::now());
    shelves_.erase(it);
    return true;
  }

  void Journal(const std::string& node, const std::string& text) override {
    if (user_) AddJournal(node, text, *user_, plant::Clock::now());
  }

  void AddJournal(const std::string& node, const std::string& text, const std::string& user,
                  TimePoint when) {
    journal_.push_back({when, node, text, 0, user, ""});
    ++changes_;
  }

  // Operator messages the library sent since the last look, stamped with
  // the user whose action sent them.
  void TakeOperatorMessages(const std::string& user) {
    std::vector<node::OperatorMessageRecord> all = node_.alarmLibrary().OperatorMessages();
    for (std::size_t i = messagesSeen_; i < all.size(); ++i) {
      journal_.push_back({all[i].time, all[i].node, all[i].text, all[i].flag, user, ""});
      ++changes_;
    }
    messagesSeen_ = all.size();
  }

  std::mutex mutex_;
  node::EmbeddedNode node_;
  plant::Plant plant_;
  MemoryHostOptions options_;
  std::unique_ptr<CVeltAlmSummMgr> mgr_;
  short handle_ = kNoHandle;
  CountTracker tracker_;
  std::unique_ptr<plant::Simulator> simulator_;
  std::optional<TimePoint> lastTick_;
  std::optional<std::string> user_;  // set while an action runs
  std::map<Key, ShelvedAlarm> shelves_;
  std::vector<plant::PlantLogEntry> journal_;
  std::size_t messagesSeen_ = 0;
  std::atomic<uint64_t> changes_{0};
};

}  // namespace

std::unique_ptr<PlantHost> MakeMemoryHost(const plant::Plant& plant,
                                          const MemoryHostOptions& options, std::string* err) {
  auto host = std::make_unique<MemoryHost>(plant, options);
  if (!host->Start(err)) return nullptr;
  return host;
}

}  // namespace tolvane::web
