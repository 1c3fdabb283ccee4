#include "web/station_host.h"

#include <mutex>

#include "tolvane/alarm_view.h"
#include "tolvane/result_codes.h"
#include "web/view_counts.h"

namespace tolvane::web {
namespace {

class StationHost final : public PlantHost, private HostContext {
 public:
  StationHost(const node::SummaryQueue& view, std::function<HostSource()> status,
              ViewChanges changes)
      : view_(view), status_(std::move(status)), viewChanges_(std::move(changes)) {}
  ~StationHost() override {
    if (listening_ != 0 && viewChanges_.remove) viewChanges_.remove(listening_);
    if (handle_ != kNoHandle) mgr_.FreeAlarmClientHandle(handle_);
  }

  bool Start(std::string* err) {
    if (viewChanges_.add) {
      listening_ = viewChanges_.add([this](const node::SummaryQueue::Event& e) { live_.OnEvent(e); });
    }
    handle_ = mgr_.GetAlarmClientHandle();
    if (handle_ == kNoHandle || InstalledQueueBackend() == nullptr) {
      *err = "the station gave no client handle";
      return false;
    }
    return true;
  }

  void Read(const std::function<void(HostContext&)>& fn) override {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(*this);
  }

  // The nodes keep what changes; a node that does not answer makes the
  // library's call fail, and the API says so.
  bool Act(const std::string&, const std::function<void(HostContext&)>& fn, std::string*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    fn(*this);
    ++changes_;
    return true;
  }

  uint64_t Version() override {
    std::lock_guard<std::mutex> lock(mutex_);
    return VersionLocked();
  }

  // Counts are the view's alone: kept at its sequence number, walked again
  // when a change came while they were counted (the stream feeds the view
  // on its own thread).
  short ViewCounts(HostContext&, const std::string& filter, AlarmViewCounts* out) override {
    const auto sequence = static_cast<uint32_t>(view_.SequenceNumber());
    if (live_.Find(sequence, filter, out)) return kOk;
    auto view = std::make_unique<AlarmView>(1, filter.c_str());
    short s = view->Count(out);
    if (s != kOk) return s;
    if (static_cast<uint32_t>(view_.SequenceNumber()) == sequence) {
      live_.Put(sequence, filter, std::move(view), *out);
    }
    return kOk;
  }

  std::vector<ShelvedAlarm> Shelved() override { return {}; }
  std::vector<plant::PlantLogEntry> Journal(std::size_t) override { return {}; }
  HostSource Source() override { return status_(); }
  bool HasStore() const override { return false; }

  // A change of connection is a change of what the pages show.
  void Tick(TimePoint) override {
    HostSource s = status_();
    std::lock_guard<std::mutex> lock(mutex_);
    if (s.connected != connected_ || s.complete != complete_ || s.staleNodes != stale_) {
      connected_ = s.connected;
      complete_ = s.complete;
      stale_ = s.staleNodes;
      ++changes_;
    }
    // While offline the age shown grows: one change a second.
    if (!s.connected) {
      auto second = static_cast<uint64_t>(s.offlineSeconds);
      if (second != offlineSecond_) offlineSecond_ = second, ++changes_;
    }
  }

 private:
  CVeltAlmSummMgr& mgr() override { return mgr_; }
  short handle() override { return handle_; }
  QueueBackend& queue() override { return *InstalledQueueBackend(); }
  bool HornSilenced() override { return view_.HornSilenced(); }
  bool Shelve(const std::string&, char, int16_t, TimePoint, const std::string&) override {
    return false;
  }
  bool Unshelve(const std::string&, char, int16_t) override { return false; }
  void Journal(const std::string&, const std::string&) override {}

  uint64_t VersionLocked() {
    auto seq = static_cast<uint32_t>(view_.SequenceNumber());
    return (static_cast<uint64_t>(seq) << 32) | static_cast<uint32_t>(changes_);
  }

  std::mutex mutex_;
  const node::SummaryQueue& view_;
  std::function<HostSource()> status_;
  CVeltAlmSummMgr mgr_;
  short handle_ = kNoHandle;
  uint64_t changes_ = 0;
  bool connected_ = true, complete_ = true;
  uint64_t offlineSecond_ = 0;
  std::vector<std::pair<std::string, long>> stale_;
  ViewChanges viewChanges_;
  node::SummaryQueue::ListenerToken listening_ = 0;
  LiveViewCounts live_;
};

}  // namespace

std::unique_ptr<PlantHost> MakeStationHost(const node::SummaryQueue& view,
                                           std::function<HostSource()> status, std::string* err,
                                           ViewChanges changes) {
  auto host = std::make_unique<StationHost>(view, std::move(status), std::move(changes));
  if (!host->Start(err)) return nullptr;
  return host;
}

}  // namespace tolvane::web
