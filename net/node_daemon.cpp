#include "net/node_daemon.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "net/follower.h"
#include "net/protocol.h"
#include "net/wire_json.h"
#include "node/summary_queue_message.h"
#include "tolvane/text_field.h"

namespace tolvane::nats {

using json = nlohmann::json;

namespace {

bool SameNode(std::string_view a, std::string_view b) {
  return NodeToken(a) == NodeToken(b);
}

struct BlockId {
  std::string node;
  char letter;
  int16_t number;
};

}  // namespace

bool EnsureStreams(jsCtx* js, int replicas, std::chrono::hours journalAge, std::string* err) {
  auto ensure = [&](const char* name, const char* subjects, bool lastOnly) {
    jsStreamInfo* si = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&si, js, name, nullptr, &jerr) == NATS_OK) {
      jsStreamInfo_Destroy(si);
      return true;
    }
    jsStreamConfig cfg;
    jsStreamConfig_Init(&cfg);
    cfg.Name = name;
    const char* subj[] = {subjects};
    cfg.Subjects = subj;
    cfg.SubjectsLen = 1;
    cfg.Storage = js_FileStorage;
    cfg.Replicas = replicas;
    if (lastOnly) {
      cfg.MaxMsgsPerSubject = 1;
    } else {
      cfg.MaxAge = std::chrono::duration_cast<std::chrono::nanoseconds>(journalAge).count();
    }
    natsStatus s = js_AddStream(&si, js, &cfg, nullptr, &jerr);
    if (s == NATS_OK) {
      jsStreamInfo_Destroy(si);
      return true;
    }
    // Another daemon made it meanwhile.
    if (js_GetStreamInfo(&si, js, name, nullptr, &jerr) == NATS_OK) {
      jsStreamInfo_Destroy(si);
      return true;
    }
    if (err) *err = std::string("cannot make stream ") + name + ": " + StatusText(s);
    return false;
  };
  return ensure(kAlarmStream, kAlarmSubjects, true) &&
         ensure(kJournalStream, kJournalSubjects, false);
}

struct NodeDaemon::Impl {
  Connection& conn;
  node::EmbeddedNode& node;
  DaemonOptions options;
  std::mutex& work;
  std::function<bool()> persist;
  std::function<void(const std::string&, const std::string&)> journalHook;
  unsigned short handle = 0;
  node::SummaryQueue::ChangeListener previousListener;

  // --- publishing: ids the queue reported, published in id order ---
  std::mutex pm;
  std::condition_variable pcv;
  std::set<uint64_t> dirty;
  uint64_t generation = 0;              // changes reported so far
  uint64_t published = 0;               // generation whose changes are all stored
  std::map<uint64_t, BlockId> blockOf;  // ids published, for their tombstones
  bool stop = false;
  std::thread publisher;
  std::atomic<bool> batchFailed{false};
  std::atomic<uint64_t> storedCount{0}, commandCount{0}, retryCount{0};

  std::vector<natsSubscription*> subs;

  Impl(Connection& c, node::EmbeddedNode& n, DaemonOptions o, std::mutex& w)
      : conn(c), node(n), options(std::move(o)), work(w) {}

  void MarkDirty(uint64_t id) {
    std::lock_guard lock(pm);
    dirty.insert(id);
    ++generation;
    pcv.notify_all();
  }

  static void OnPubError(jsCtx*, jsPubAckErr*, void* self) {
    static_cast<Impl*>(self)->batchFailed = true;
  }

  // The body for `id` and its subject; false when nothing is to be sent.
  bool Prepare(uint64_t id, std::string* subject, std::string* body) {
    node::SummaryQueue::HeldAlarm held;
    if (node.queue().Inspect(id, &held)) {
      const _ALMPAK& p = held.msg.almpak;
      if (p.msgType == 8) return false;
      std::string n(FieldText(p.node));
      if (!SameNode(n, options.node)) return false;
      // Only the oldest alarm of a block stands for it.
      if (node.queue().IdOf(n, p.vsp.blockType, p.vsp.blockNumber) != id) return false;
      *subject = AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber);
      std::lock_guard lock(pm);
      blockOf[id] = BlockId{n, p.vsp.blockType, p.vsp.blockNumber};
      AlarmState s{held.msg, held.timeIn, held.timeLast, held.suppressed};
      *body = EncodeAlarm(s);
      return true;
    }
    BlockId b;
    {
      std::lock_guard lock(pm);
      auto it = blockOf.find(id);
      if (it == blockOf.end()) return false;
      b = it->second;
    }
    *subject = AlarmSubject(b.node, b.letter, b.number);
    // Another alarm of the block may still stand: it takes the subject.
    uint64_t other = node.queue().IdOf(b.node, b.letter, b.number);
    if (other != 0 && other != id) {
      MarkDirty(other);
      return false;
    }
    body->clear();
    return true;
  }

  void Run() {
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.PublishAsync.MaxPending = 4096;
    jo.PublishAsync.ErrHandler = &Impl::OnPubError;
    jo.PublishAsync.ErrHandlerClosure = this;
    jsCtx* js = nullptr;
    if (natsConnection_JetStream(&js, conn.nc(), &jo) != NATS_OK) return;
    for (;;) {
      std::set<uint64_t> batch;
      uint64_t gen;
      {
        std::unique_lock lock(pm);
        pcv.wait(lock, [&] { return stop || !dirty.empty(); });
        if (stop) break;
        batch.swap(dirty);
        gen = generation;
      }
      batchFailed = false;
      std::vector<uint64_t> gone;
      bool sendFailed = false;
      uint64_t sent = 0;
      for (uint64_t id : batch) {
        std::string subject, body;
        if (!Prepare(id, &subject, &body)) continue;
        if (body.empty()) gone.push_back(id);
        if (js_PublishAsync(js, subject.c_str(), body.data(), static_cast<int>(body.size()),
                            nullptr) != NATS_OK) {
          sendFailed = true;
          break;
        }
        ++sent;
      }
      jsPubOptions po;
      jsPubOptions_Init(&po);
      po.MaxWait = 5000;
      natsStatus s = sendFailed ? NATS_ERR : js_PublishAsyncComplete(js, &po);
      if (s != NATS_OK || batchFailed) {
        natsMsgList stale{};
        if (js_PublishAsyncGetPendingList(&stale, js) == NATS_OK) natsMsgList_Destroy(&stale);
        ++retryCount;
        std::unique_lock lock(pm);
        dirty.insert(batch.begin(), batch.end());
        pcv.wait_for(lock, std::chrono::milliseconds(200), [&] { return stop; });
        continue;
      }
      storedCount += sent;
      std::lock_guard lock(pm);
      for (uint64_t id : gone) blockOf.erase(id);
      published = std::max(published, gen);
      pcv.notify_all();
    }
    jsCtx_Destroy(js);
  }

  uint64_t Generation() {
    std::lock_guard lock(pm);
    return generation;
  }

  bool WaitFor(uint64_t gen, int timeoutMs) {
    std::unique_lock lock(pm);
    return pcv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return published >= gen; });
  }

  // --- startup ---

  // Subjects of this node that hold a live alarm in the stream.
  bool StreamSubjects(std::set<std::string>* out, std::string* err) {
    std::mutex m;
    auto f = Follower::Start(
        conn, kAlarmStream, NodeAlarmFilter(options.node),
        [&](std::string_view subject, std::string_view body, uint64_t) {
          std::lock_guard lock(m);
          if (body.empty()) {
            out->erase(std::string(subject));
          } else {
            out->insert(std::string(subject));
          }
        },
        err);
    if (!f) return false;
    if (!f->WaitCaughtUp(30000)) {
      if (err) *err = "timed out reading the alarm stream";
      return false;
    }
    return true;
  }

  bool Start(std::string* err) {
    // A new cluster elects its JetStream leader first.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!EnsureStreams(conn.js(), options.replicas, options.journalAge, err)) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    node.queue().Open(&handle, nullptr);
    // The plant store may follow the queue too.
    previousListener = node.queue().CurrentChangeListener();
    node.queue().SetChangeListener([this, prev = previousListener](uint64_t id) {
      if (prev) prev(id);
      MarkDirty(id);
    });
    for (const char* kind : {"ack", "delete", "opmsg", "read", "write", "state"}) {
      natsSubscription* sub = nullptr;
      std::string subject = CommandSubject(options.node, kind);
      natsStatus s =
          natsConnection_Subscribe(&sub, conn.nc(), subject.c_str(), &Impl::OnRequest, this);
      if (s != NATS_OK) {
        if (err) *err = "cannot serve " + subject + ": " + StatusText(s);
        return false;
      }
      subs.push_back(sub);
    }
    // A refused subscription shows only as an error from the server.
    natsConnection_FlushTimeout(conn.nc(), 2000);
    auto since = std::chrono::steady_clock::now() - std::chrono::seconds(5);
    for (int i = 0; i < 10; ++i) {
      // The client keeps only the server's latest error text: ask for every one.
      for (const char* kind : {"ack", "delete", "opmsg", "read", "write", "state"}) {
        std::string subject = CommandSubject(options.node, kind);
        if (conn.RefusedSince(subject, since)) {
          if (err) *err = "the server refuses this daemon " + subject;
          return false;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::set<std::string> inStream;
    if (!StreamSubjects(&inStream, err)) return false;
    {
      std::lock_guard lock(work);
      for (const SUMQMSG& m : node.queue().Snapshot()) {
        const _ALMPAK& p = m.almpak;
        if (p.msgType == 8) continue;
        std::string n(FieldText(p.node));
        if (!SameNode(n, options.node)) continue;
        inStream.erase(AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber));
        if (uint64_t id = node.queue().IdOf(n, p.vsp.blockType, p.vsp.blockNumber)) MarkDirty(id);
      }
    }
    // Alarms the node no longer has: tombstones, before any new state.
    for (const std::string& subject : inStream) {
      jsErrCode jerr = static_cast<jsErrCode>(0);
      natsStatus s = js_Publish(nullptr, conn.js(), subject.c_str(), "", 0, nullptr, &jerr);
      if (s != NATS_OK) {
        if (err) *err = "cannot clear " + subject + ": " + StatusText(s);
        return false;
      }
    }
    publisher = std::thread([this] { Run(); });
    if (!WaitFor(Generation(), 60000)) {
      if (err) *err = "timed out publishing the node's alarms";
      return false;
    }
    return true;
  }

  void Stop() {
    for (natsSubscription* s : subs) {
      natsSubscription_Unsubscribe(s);
      natsSubscription_Destroy(s);
    }
    subs.clear();
    {
      std::lock_guard lock(pm);
      stop = true;
      pcv.notify_all();
    }
    if (publisher.joinable()) publisher.join();
    if (handle != 0) node.queue().SetChangeListener(previousListener);
  }

  // --- requests ---

  static void OnRequest(natsConnection* nc, natsSubscription*, natsMsg* msg, void* self) {
    auto* d = static_cast<Impl*>(self);
    std::string subject = natsMsg_GetSubject(msg);
    std::string kind = subject.substr(subject.rfind('.') + 1);
    std::string body(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    std::string answer;
    try {
      answer = d->Handle(kind, json::parse(body)).dump();
    } catch (const std::exception&) {
      answer = json{{"status", kQueueBadReply}}.dump();
    }
    if (const char* reply = natsMsg_GetReply(msg)) {
      natsConnection_Publish(nc, reply, answer.data(), static_cast<int>(answer.size()));
    }
    ++d->commandCount;
    natsMsg_Destroy(msg);
  }

  // Runs a change under the work lock, persists it and waits until it is
  // in the stream. False when it could not be confirmed.
  template <class F>
  bool Change(F&& f) {
    {
      std::lock_guard lock(work);
      f();
      if (persist && !persist()) return false;
    }
    return WaitFor(Generation(), options.confirmTimeoutMs);
  }

  json Handle(const std::string& kind, const json& req) {
    if (kind == "ack") {
      std::string n = req.at("node").get<std::string>();
      char letter = static_cast<char>(req.at("letter").get<int>());
      auto number = req.at("number").get<int16_t>();
      if (!SameNode(n, options.node)) return json{{"status", node::kQueueNoAlarm}};
      short st = 0;
      bool ok =
          Change([&] { st = node.queue().MarkAcknowledged(number, letter, n.c_str(), handle); });
      return json{{"status", ok ? st : kQueueUnreachable}};
    }
    if (kind == "delete") {
      std::string physical = req.at("physical").get<std::string>();
      char letter = static_cast<char>(req.at("letter").get<int>());
      auto number = req.at("number").get<int16_t>();
      SORT_CNTL sort{};
      sort.key = req.value("key", 0);
      sort.direction = req.value("direction", 0);
      short st = 0;
      bool ok = Change([&] {
        st = node.queue().DeleteByPhysicalNode(sort, number, letter, physical.c_str(), handle);
      });
      return json{{"status", ok ? st : kQueueUnreachable}};
    }
    if (kind == "opmsg") {
      std::string text = req.at("text").get<std::string>();
      std::string n = req.value("node", std::string());
      json entry{{"node", n},
                 {"text", text},
                 {"flag", req.value("flag", 0)},
                 {"station", req.value("station", std::string())},
                 {"time", std::chrono::duration_cast<std::chrono::milliseconds>(
                              Clock::now().time_since_epoch())
                              .count()}};
      std::string body = entry.dump();
      {
        std::lock_guard lock(work);
        if (journalHook) journalHook(n, text);
        if (persist && !persist()) return json{{"status", kQueueUnreachable}};
      }
      jsErrCode jerr = static_cast<jsErrCode>(0);
      natsStatus s = js_Publish(nullptr, conn.js(), JournalSubject(options.node).c_str(),
                                body.data(), static_cast<int>(body.size()), nullptr, &jerr);
      return json{{"status", s == NATS_OK ? 0 : kQueueUnreachable}};
    }
    if (kind == "read" || kind == "write") return RunGroup(req, kind == "write");
    if (kind == "state") return State();
    return json{{"status", kQueueBadReply}};
  }

  // The node's alarms as it holds them: what every station must end up with.
  json State() {
    json alarms = json::array();
    std::lock_guard lock(work);
    std::vector<SUMQMSG> msgs = node.queue().Snapshot();
    std::vector<Clock::time_point> last = node.queue().SnapshotTimesLast();
    for (std::size_t i = 0; i < msgs.size() && i < last.size(); ++i) {
      const SUMQMSG& m = msgs[i];
      const _ALMPAK& p = m.almpak;
      std::string n(FieldText(p.node));
      if (p.msgType == 8 || !SameNode(n, options.node)) continue;
      int64_t ns =
          std::chrono::duration_cast<std::chrono::nanoseconds>(last[i].time_since_epoch()).count();
      // Copies: the records are packed, json would bind references.
      int ack = m.ackFlag;
      int32_t status = p.statusCode;
      alarms.push_back(json{{"subject", AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber)},
                            {"ack", ack},
                            {"status", status},
                            {"last", ns}});
    }
    return json{{"status", 0}, {"alarms", std::move(alarms)}};
  }

  json RunGroup(const json& req, bool mayWrite) {
    GroupRequest g = GroupRequestFromJson(req);
    GroupReply r;
    r.entries.resize(g.entries.size());
    bool wrote = false;
    for (char step : g.steps) {
      if (step == 'w') wrote = true;
    }
    if (wrote && !mayWrite) {
      r.status = netstatus::kRefused;
      for (auto& e : r.entries) e.status = netstatus::kRefused;
      return GroupReplyToJson(r);
    }
    bool ok = Change([&] {
      node::ProcessDatabase& db = node.database();
      zunagroup* grp = db.GroupCreate(0, 0);
      std::vector<unsigned int> handles;
      for (const GroupEntry& e : g.entries) {
        if (!SameNode(e.node, options.node)) {
          handles.push_back(kZunaNoEntry);
          continue;
        }
        handles.push_back(db.GroupAdd(grp, e.node.c_str(), e.tag.c_str(), e.field.c_str(),
                                      e.vsp ? &*e.vsp : nullptr));
        if (handles.back() != kZunaNoEntry && e.put) db.EntryPut(grp, handles.back(), *e.put);
      }
      for (const auto& [n, serial] : g.serials) db.SerialSet(grp, n.c_str(), serial);
      for (char step : g.steps) {
        if (step == 'R') db.Resolve(grp);
        if (step == 'r') db.Read(grp);
        if (step == 'w') db.Write(grp);
      }
      r.status = db.Execute(grp);
      for (std::size_t i = 0; i < handles.size(); ++i) {
        GroupEntryResult& out = r.entries[i];
        if (handles[i] == kZunaNoEntry) {
          out.status = node::dbstatus::kUnknownNode;
          if (r.status == 0) r.status = out.status;
          continue;
        }
        out.status = db.EntryStatus(grp, handles[i]);
        short v = 0;
        if (db.EntryGet(grp, handles[i], &v) == 0) out.value = v;
        VSP vsp{};
        db.EntryInfo(grp, handles[i], nullptr, nullptr, nullptr, &vsp);
        VSP none{};
        if (std::memcmp(&vsp, &none, sizeof vsp) != 0) out.vsp = vsp;
      }
      r.serial = db.NodeSerial(options.node);
      db.GroupFree(grp);
    });
    if (!ok && wrote) {
      // Done on the node but not confirmed in the stream: never report success.
      for (auto& e : r.entries) {
        if (e.status == 0) e.status = netstatus::kNotConfirmed;
      }
      r.status = netstatus::kNotConfirmed;
    }
    return GroupReplyToJson(r);
  }
};

NodeDaemon::NodeDaemon(Connection& conn, node::EmbeddedNode& node, DaemonOptions options)
    : impl_(std::make_unique<Impl>(conn, node, std::move(options), work_)) {}

NodeDaemon::~NodeDaemon() {
  Stop();
}

bool NodeDaemon::Start(std::string* err) {
  return impl_->Start(err);
}

void NodeDaemon::Stop() {
  impl_->Stop();
}

void NodeDaemon::SetPersist(std::function<bool()> persist) {
  std::lock_guard lock(work_);
  impl_->persist = std::move(persist);
}

void NodeDaemon::SetJournalHook(std::function<void(const std::string&, const std::string&)> hook) {
  std::lock_guard lock(work_);
  impl_->journalHook = std::move(hook);
}

bool NodeDaemon::WaitPublished(int timeoutMs) {
  return impl_->WaitFor(impl_->Generation(), timeoutMs);
}

DaemonCounters NodeDaemon::Counters() const {
  return DaemonCounters{impl_->storedCount.load(), impl_->commandCount.load(),
                        impl_->retryCount.load()};
}

}  // namespace tolvane::nats
