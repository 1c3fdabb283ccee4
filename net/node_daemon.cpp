#include "net/node_daemon.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/follower.h"
#include "net/message_json.h"
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

bool IsInboxSubject(std::string_view subject) {
  // "_INBOX." or a user's own "_INBOX_<user>."
  return subject.starts_with("_INBOX.") || subject.starts_with("_INBOX_");
}

bool EnsureStreams(Connection& conn, const StreamOptions& options, std::string* err,
                   bool* refused) {
  if (refused) *refused = false;
  jsOptions jo;
  jsOptions_Init(&jo);
  jo.Wait = 3000;
  auto ensure = [&](const char* name, const char* subjects, int64_t maxAgeNs, bool lastOnly) {
    jsStreamInfo* si = nullptr;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    if (js_GetStreamInfo(&si, conn.js(), name, &jo, &jerr) == NATS_OK) {
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
    cfg.Replicas = options.replicas;
    if (lastOnly) cfg.MaxMsgsPerSubject = 1;
    cfg.MaxAge = maxAgeNs;
    auto since = std::chrono::steady_clock::now();
    natsStatus s = js_AddStream(&si, conn.js(), &cfg, &jo, &jerr);
    if (s == NATS_OK) {
      jsStreamInfo_Destroy(si);
      return true;
    }
    // Another daemon or the admin made it meanwhile.
    if (js_GetStreamInfo(&si, conn.js(), name, &jo, &jerr) == NATS_OK) {
      jsStreamInfo_Destroy(si);
      return true;
    }
    std::string create = std::string("$JS.API.STREAM.CREATE.") + name;
    // A refusal shows only as the server's error, maybe after our timeout.
    for (int i = 0; i < 10 && !conn.RefusedSince(create, since); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (conn.RefusedSince(create, since)) {
      if (refused) *refused = true;
      if (err) *err = std::string("stream ") + name + " is missing and only an admin may make it";
      return false;
    }
    if (err) *err = std::string("cannot make stream ") + name + ": " + StatusText(s) + LastError(conn);
    return false;
  };
  auto ns = [](auto d) { return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count(); };
  return ensure(kAlarmStream, kAlarmSubjects, 0, true) &&
         ensure(kJournalStream, kJournalSubjects, ns(options.journalAge), false) &&
         ensure(kNodeStream, kNodeSubjects, ns(options.nodeAge), true);
}

bool AgeTombstones(Connection& conn, const std::string& filter, std::chrono::seconds age,
                   std::size_t* purged, std::string* err) {
  *purged = 0;
  struct Tombstone {
    std::string subject;
    uint64_t sequence;
  };
  std::vector<Tombstone> old;
  std::mutex m;
  int64_t cutoff =
      std::chrono::duration_cast<std::chrono::nanoseconds>((Clock::now() - age).time_since_epoch())
          .count();
  auto f = Follower::Start(
      conn, kAlarmStream, filter,
      [&](const Follower::Delivery& d) {
        if (!d.body.empty() || d.timeNs >= cutoff) return;
        std::lock_guard lock(m);
        old.push_back({std::string(d.subject), d.sequence});
      },
      err);
  if (!f) return false;
  if (!f->WaitCaughtUp(120000)) {
    if (err) *err = "timed out reading the alarm stream";
    return false;
  }
  f->Stop();
  std::lock_guard lock(m);
  for (const Tombstone& t : old) {
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Stream.Purge.Subject = t.subject.c_str();
    // Up to and with the tombstone: a newer state of the subject stays.
    jo.Stream.Purge.Sequence = t.sequence + 1;
    jsErrCode jerr = static_cast<jsErrCode>(0);
    natsStatus s = js_PurgeStream(conn.js(), kAlarmStream, &jo, &jerr);
    if (s != NATS_OK) {
      if (err) *err = "cannot purge " + t.subject + ": " + StatusText(s);
      return false;
    }
    ++*purged;
  }
  return true;
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
  const int64_t startedNs = NowNs();

  // --- publishing: ids the queue reported, published in id order ---
  std::mutex pm;
  std::condition_variable pcv;
  std::set<uint64_t> dirty;
  uint64_t generation = 0;              // changes reported so far
  uint64_t published = 0;               // generation whose changes are all stored
  std::map<uint64_t, BlockId> blockOf;  // ids published, for their tombstones
  // What the stream held at start, by subject: what equals it is not sent.
  std::unordered_map<std::string, std::size_t> heldAtStart;
  bool stop = false;
  std::thread publisher;
  std::thread beater;
  std::atomic<bool> batchFailed{false};
  std::atomic<uint64_t> storedCount{0}, commandCount{0}, retryCount{0}, droppedCount{0},
      skippedCount{0};
  std::mutex dropM;
  std::set<std::string> droppedSaid;  // reasons logged once

  std::vector<natsSubscription*> subs;
  static constexpr std::size_t kBatch = 1024;
  static constexpr std::size_t kOneByOne = 8;

  // What became of recent commands, by the id their station gave them:
  // {"state": "running" | "done" | "failed" | "expired", "entries": [...]}.
  std::mutex idM;
  std::unordered_map<std::string, json> outcomes;
  std::deque<std::string> outcomeOrder;
  static constexpr std::size_t kOutcomesKept = 8192;

  void Record(const std::string& id, json outcome) {
    if (id.empty()) return;
    std::lock_guard lock(idM);
    auto [it, fresh] = outcomes.insert_or_assign(id, std::move(outcome));
    if (!fresh) return;
    outcomeOrder.push_back(id);
    while (outcomeOrder.size() > kOutcomesKept) {
      outcomes.erase(outcomeOrder.front());
      outcomeOrder.pop_front();
    }
  }

  json Recorded(const json& ids) {
    json out = json::object();
    std::lock_guard lock(idM);
    for (const auto& id : ids) {
      auto it = outcomes.find(id.get<std::string>());
      if (it != outcomes.end()) out[it->first] = it->second;
    }
    return out;
  }

  Impl(Connection& c, node::EmbeddedNode& n, DaemonOptions o, std::mutex& w)
      : conn(c), node(n), options(std::move(o)), work(w) {}

  static int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
  }

  void MarkDirty(uint64_t id) {
    std::lock_guard lock(pm);
    dirty.insert(id);
    ++generation;
    pcv.notify_all();
  }

  static void OnPubError(jsCtx*, jsPubAckErr*, void* self) {
    static_cast<Impl*>(self)->batchFailed = true;
  }

  // True (and forgotten) when the stream held exactly `body` on `subject`
  // at start.
  bool HeldAsIs(const std::string& subject, const std::string& body) {
    std::lock_guard lock(pm);
    auto it = heldAtStart.find(subject);
    if (it == heldAtStart.end()) return false;
    bool same = it->second == std::hash<std::string>{}(body);
    heldAtStart.erase(it);
    return same;
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
      {
        std::lock_guard lock(pm);
        blockOf[id] = BlockId{n, p.vsp.blockType, p.vsp.blockNumber};
      }
      AlarmState s{held.msg, held.timeIn, held.timeLast, held.suppressed};
      *body = EncodeAlarm(s);
      if (HeldAsIs(*subject, *body)) {
        ++skippedCount;
        return false;
      }
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
      bool all;  // the batch holds every change reported up to `gen`
      {
        std::unique_lock lock(pm);
        pcv.wait(lock, [&] { return stop || !dirty.empty(); });
        if (stop) break;
        // Bounded, so that a batch is confirmed in time even at start on a
        // large node: a batch not confirmed is sent again whole.
        auto end = dirty.begin();
        for (std::size_t n = 0; end != dirty.end() && n < kBatch; ++n) ++end;
        batch.insert(dirty.begin(), end);
        dirty.erase(dirty.begin(), end);
        all = dirty.empty();
        gen = generation;
      }
      batchFailed = false;
      auto taken = std::chrono::steady_clock::now();
      std::vector<uint64_t> gone;
      bool sendFailed = false;
      uint64_t sent = 0;
      jsPubOptions po;
      jsPubOptions_Init(&po);
      po.MaxWait = 5000;
      // A command's few changes each wait for their own acknowledgement
      // (the client's wait for a whole asynchronous batch polls, adding
      // milliseconds); many are sent at once and waited for together.
      bool one = batch.size() <= kOneByOne;
      for (uint64_t id : batch) {
        std::string subject, body;
        if (!Prepare(id, &subject, &body)) continue;
        if (body.empty()) gone.push_back(id);
        jsErrCode jerr = static_cast<jsErrCode>(0);
        natsStatus ps = one ? js_Publish(nullptr, js, subject.c_str(), body.data(),
                                         static_cast<int>(body.size()), &po, &jerr)
                            : js_PublishAsync(js, subject.c_str(), body.data(),
                                              static_cast<int>(body.size()), nullptr);
        if (ps != NATS_OK) {
          sendFailed = true;
          break;
        }
        ++sent;
      }
      natsStatus s = sendFailed ? NATS_ERR : one ? NATS_OK : js_PublishAsyncComplete(js, &po);
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
      if (options.onPublished && sent > 0) {
        options.onPublished(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - taken).count(), sent);
      }
      std::lock_guard lock(pm);
      for (uint64_t id : gone) blockOf.erase(id);
      if (all) published = std::max(published, gen);
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

  std::size_t Unpublished() {
    std::lock_guard lock(pm);
    return dirty.size();
  }

  // --- heartbeat ---

  std::string Beat(bool stopped) {
    DaemonCounters c{storedCount.load(), commandCount.load(), retryCount.load(),
                     droppedCount.load(), skippedCount.load(), 0};
    json j{{"node", options.node},
           {"wire", {kWireMajor, kWireMinor}},
           {"started", startedNs},
           {"time", NowNs()},
           {"interval", options.heartbeatMs},
           {"published", c.published},
           {"commands", c.commands},
           {"dropped", c.dropped},
           {"unpublished", Unpublished()}};
    if (stopped) j["stopped"] = true;
    return j.dump();
  }

  bool PublishBeat(bool stopped) {
    std::string body = Beat(stopped);
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MaxWait = std::max(500, options.heartbeatMs);
    jsErrCode jerr = static_cast<jsErrCode>(0);
    return js_Publish(nullptr, conn.js(), NodeSubject(options.node).c_str(), body.data(),
                      static_cast<int>(body.size()), &po, &jerr) == NATS_OK;
  }

  void Beating() {
    std::unique_lock lock(pm);
    while (!stop) {
      lock.unlock();
      PublishBeat(false);
      lock.lock();
      pcv.wait_for(lock, std::chrono::milliseconds(options.heartbeatMs), [&] { return stop; });
    }
  }

  // --- startup ---

  // What the stream holds of this node: subject -> hash of the body; live
  // subjects only.
  bool StreamHolds(std::unordered_map<std::string, std::size_t>* out, std::string* err) {
    std::mutex m;
    auto f = Follower::Start(
        conn, kAlarmStream, NodeAlarmFilter(options.node),
        [&](const Follower::Delivery& d) {
          std::lock_guard lock(m);
          if (d.body.empty()) {
            out->erase(std::string(d.subject));
          } else {
            (*out)[std::string(d.subject)] = std::hash<std::string_view>{}(d.body);
          }
        },
        err);
    if (!f) return false;
    if (!f->WaitCaughtUp(120000)) {
      if (err) *err = "timed out reading the alarm stream";
      return false;
    }
    f->Stop();
    return true;
  }

  bool Stopping() { return options.stopRequested && options.stopRequested(); }

  bool WaitForStreams(std::string* err) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool said = false;
    for (;;) {
      bool refused = false;
      if (EnsureStreams(conn, options.streams, err, &refused)) return true;
      if (Stopping()) return false;
      if (refused) {
        // Only an admin makes the streams: wait for them as long as it takes.
        if (!said) {
          std::fprintf(stderr,
                       "tolvane-node %s: %s; waiting (an admin makes the streams with "
                       "tolvane-node --make-streams)\n",
                       options.node.c_str(), err ? err->c_str() : "");
          said = true;
        }
      } else if (std::chrono::steady_clock::now() > until) {
        // A new cluster elects its JetStream leader first; past that, a fault.
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
  }

  bool Start(std::string* err) {
    if (!WaitForStreams(err)) return false;
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
    std::unordered_map<std::string, std::size_t> inStream;
    if (!StreamHolds(&inStream, err)) return false;
    std::set<std::string> gone;
    for (const auto& [subject, hash] : inStream) gone.insert(subject);
    {
      std::lock_guard lock(work);
      for (const SUMQMSG& m : node.queue().Snapshot()) {
        const _ALMPAK& p = m.almpak;
        if (p.msgType == 8) continue;
        std::string n(FieldText(p.node));
        if (!SameNode(n, options.node)) continue;
        gone.erase(AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber));
        if (uint64_t id = node.queue().IdOf(n, p.vsp.blockType, p.vsp.blockNumber)) MarkDirty(id);
      }
    }
    // Alarms the node no longer has: tombstones, before any new state.
    for (const std::string& subject : gone) {
      inStream.erase(subject);
      jsErrCode jerr = static_cast<jsErrCode>(0);
      natsStatus s = js_Publish(nullptr, conn.js(), subject.c_str(), "", 0, nullptr, &jerr);
      if (s != NATS_OK) {
        if (err) *err = "cannot clear " + subject + ": " + StatusText(s);
        return false;
      }
    }
    {
      std::lock_guard lock(pm);
      heldAtStart = std::move(inStream);
    }
    publisher = std::thread([this] { Run(); });
    // As long as it takes while the stream takes them; a stream that takes
    // nothing for a minute is a fault.
    uint64_t target = Generation();
    uint64_t stored = storedCount;
    auto lastProgress = std::chrono::steady_clock::now();
    while (!WaitFor(target, 5000)) {
      if (storedCount != stored || skippedCount != 0) {
        stored = storedCount;
        lastProgress = std::chrono::steady_clock::now();
      }
      if (Stopping() ||
          std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(60)) {
        if (err) *err = "timed out publishing the node's alarms";
        return false;
      }
    }
    {
      std::lock_guard lock(pm);
      heldAtStart.clear();
    }
    if (!PublishBeat(false)) {
      if (err) *err = "cannot publish the heartbeat on " + NodeSubject(options.node);
      return false;
    }
    beater = std::thread([this] { Beating(); });
    return true;
  }

  void Stop() {
    for (natsSubscription* s : subs) {
      natsSubscription_Unsubscribe(s);
      natsSubscription_Destroy(s);
    }
    bool wasRunning = !subs.empty();
    subs.clear();
    {
      std::lock_guard lock(pm);
      stop = true;
      pcv.notify_all();
    }
    if (beater.joinable()) beater.join();
    if (publisher.joinable()) publisher.join();
    // Stations see at once that this node is no longer served.
    if (wasRunning && conn.Connected()) PublishBeat(true);
    if (handle != 0) node.queue().SetChangeListener(previousListener);
  }

  // --- requests ---

  // Drops a message on our command subjects that is not a request to us:
  // counted, said once per reason.
  void Drop(const std::string& subject, const char* reason, const std::string& detail = {}) {
    ++droppedCount;
    std::lock_guard lock(dropM);
    if (droppedSaid.insert(subject + reason).second) {
      std::fprintf(stderr, "tolvane-node %s: dropped a message on %s: %s%s (said once)\n",
                   options.node.c_str(), subject.c_str(), reason, detail.c_str());
    }
  }

  static void OnRequest(natsConnection* nc, natsSubscription* sub, natsMsg* msg, void* self) {
    auto* d = static_cast<Impl*>(self);
    // Ours, not the message's: a stream consumer delivers with the subject
    // the message was stored under.
    const char* served = natsSubscription_GetSubject(sub);
    std::string subject = served ? served : natsMsg_GetSubject(msg);
    const char* reply = natsMsg_GetReply(msg);
    // A command counts only as a request answered to the asker's inbox:
    // what a stream consumer delivers here (its reply is the stream's) or
    // an answer someone pointed at us is not one.
    if (!reply || !IsInboxSubject(reply)) {
      d->Drop(subject, "it was not a request",
              std::string(" (stored as ") + natsMsg_GetSubject(msg) +
                  (reply ? ", reply to " + std::string(reply).substr(0, 8) + "...)"
                         : ", no reply subject)"));
      natsMsg_Destroy(msg);
      return;
    }
    std::string kind = subject.substr(subject.rfind('.') + 1);
    std::string body(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    json answer;
    try {
      json req = ParseMessageJson(body);
      std::string id = req.value("id", std::string());
      int64_t expires = req.value("expires", int64_t{0});
      bool changes = kind != "read" && kind != "state";
      if (changes && expires != 0 &&
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
                  .count() > expires) {
        // The station has stopped waiting and will take it as not done:
        // never started late.
        d->Record(id, json{{"state", "expired"}});
        answer = json{{"status", kQueueUnreachable}, {"expired", true}};
      } else {
        if (changes) d->Record(id, json{{"state", "running"}});
        answer = d->Handle(kind, req);
        if (changes) d->Record(id, Impl::OutcomeOf(answer));
      }
    } catch (const std::exception&) {
      d->Drop(subject, "its body does not read as a request");
      answer = json{{"status", kQueueBadReply}};
    }
    // Stations take an answer only from the node they asked.
    answer["node"] = NodeToken(d->options.node);
    std::string text = answer.dump();
    natsConnection_Publish(nc, reply, text.data(), static_cast<int>(text.size()));
    ++d->commandCount;
    natsMsg_Destroy(msg);
  }

  // What an answer says became of a command, for stations that did not get it.
  static json OutcomeOf(const json& answer) {
    json o{{"state", answer.value("status", -1) == 0 ? "done" : "failed"}};
    if (answer.contains("entries")) {
      json entries = json::array();
      for (const auto& e : answer["entries"]) entries.push_back(GroupEntryStatus(e));
      o["entries"] = std::move(entries);
      // A group is done when its writes were committed, whatever its reads said.
      if (answer.value("status", -1) != netstatus::kNodeUnreachable) o["state"] = "done";
    }
    return o;
  }

  enum class Outcome { kConfirmed, kCommitted, kFailed };

  // Runs a change under the work lock and persists it, then waits until it
  // is in the stream: kCommitted when the stream did not confirm in time
  // (it will: publishing retries until it does).
  template <class F>
  Outcome Change(F&& f) {
    {
      std::lock_guard lock(work);
      f();
      if (persist && !persist()) return Outcome::kFailed;
    }
    auto committed = std::chrono::steady_clock::now();
    bool confirmed = WaitFor(Generation(), options.confirmTimeoutMs);
    if (options.onConfirm) {
      options.onConfirm(
          std::chrono::duration<double>(std::chrono::steady_clock::now() - committed).count(),
          confirmed);
    }
    return confirmed ? Outcome::kConfirmed : Outcome::kCommitted;
  }

  static json Answer(short status, Outcome o) {
    if (o == Outcome::kFailed) return json{{"status", kQueueUnreachable}};
    json j{{"status", status}};
    if (o == Outcome::kCommitted) j["confirmed"] = false;
    return j;
  }

  json Handle(const std::string& kind, const json& req) {
    if (kind == "ack") {
      std::string n = req.at("node").get<std::string>();
      char letter = static_cast<char>(req.at("letter").get<int>());
      auto number = req.at("number").get<int16_t>();
      if (!SameNode(n, options.node)) return json{{"status", node::kQueueNoAlarm}};
      short st = 0;
      Outcome o =
          Change([&] { st = node.queue().MarkAcknowledged(number, letter, n.c_str(), handle); });
      return Answer(st, o);
    }
    if (kind == "delete") {
      std::string physical = req.at("physical").get<std::string>();
      char letter = static_cast<char>(req.at("letter").get<int>());
      auto number = req.at("number").get<int16_t>();
      SORT_CNTL sort{};
      sort.key = req.value("key", 0);
      sort.direction = req.value("direction", 0);
      short st = 0;
      Outcome o = Change([&] {
        st = node.queue().DeleteByPhysicalNode(sort, number, letter, physical.c_str(), handle);
      });
      return Answer(st, o);
    }
    if (kind == "opmsg") {
      std::string text = req.at("text").get<std::string>();
      // Journalled under this node: the journal subject is ours alone.
      json entry{{"node", options.node},
                 {"text", text},
                 {"flag", req.value("flag", 0)},
                 {"station", req.value("station", std::string())},
                 {"time", std::chrono::duration_cast<std::chrono::milliseconds>(
                              Clock::now().time_since_epoch())
                              .count()}};
      std::string body = entry.dump();
      {
        std::lock_guard lock(work);
        if (journalHook) journalHook(options.node, text);
        if (persist && !persist()) return json{{"status", kQueueUnreachable}};
      }
      jsPubOptions po;
      jsPubOptions_Init(&po);
      po.MaxWait = options.confirmTimeoutMs;
      jsErrCode jerr = static_cast<jsErrCode>(0);
      natsStatus s = js_Publish(nullptr, conn.js(), JournalSubject(options.node).c_str(),
                                body.data(), static_cast<int>(body.size()), &po, &jerr);
      // Journalled in the store already; the stream may have taken it.
      return s == NATS_OK ? json{{"status", 0}} : json{{"status", 0}, {"confirmed", false}};
    }
    if (kind == "read" || kind == "write") return RunGroup(req, kind == "write");
    if (kind == "state") return State(req);
    return json{{"status", kQueueBadReply}};
  }

  // The node's alarms as it holds them, by subject, one page at a time:
  // {"after": subject} continues after that subject; {"subjects": [...]}
  // asks for those alone. A page stays well under the server's message
  // limit.
  json State(const json& req) {
    static constexpr std::size_t kPageBytes = 256 * 1024;
    std::string after = req.value("after", std::string());
    std::set<std::string> only;
    if (req.contains("subjects")) {
      for (const auto& sj : req.at("subjects")) only.insert(sj.get<std::string>());
    }
    std::map<std::string, json> bySubject;
    {
      std::lock_guard lock(work);
      std::vector<SUMQMSG> msgs = node.queue().Snapshot();
      std::vector<Clock::time_point> last = node.queue().SnapshotTimesLast();
      for (std::size_t i = 0; i < msgs.size() && i < last.size(); ++i) {
        const SUMQMSG& m = msgs[i];
        const _ALMPAK& p = m.almpak;
        std::string n(FieldText(p.node));
        if (p.msgType == 8 || !SameNode(n, options.node)) continue;
        std::string subject = AlarmSubject(n, p.vsp.blockType, p.vsp.blockNumber);
        if (!after.empty() && subject <= after) continue;
        if (!only.empty() && !only.count(subject)) continue;
        int64_t ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(last[i].time_since_epoch())
                .count();
        // Copies: the records are packed, json would bind references.
        int ack = m.ackFlag;
        int32_t status = p.statusCode;
        bySubject.emplace(
            subject, json{{"subject", subject}, {"ack", ack}, {"status", status}, {"last", ns}});
      }
    }
    json alarms = json::array();
    std::size_t bytes = 0;
    std::string next;
    for (auto& [subject, a] : bySubject) {
      if (bytes > kPageBytes) {
        next = alarms.back().at("subject").get<std::string>();
        break;
      }
      bytes += a.dump().size() + 1;
      alarms.push_back(std::move(a));
    }
    json out{{"status", 0}, {"alarms", std::move(alarms)}};
    if (!next.empty()) out["next"] = next;
    if (req.contains("ids")) out["ids"] = Recorded(req.at("ids"));
    return out;
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
    Outcome o = Change([&] {
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
    if (o == Outcome::kFailed && wrote) {
      // Not committed: nothing is reported done.
      for (auto& e : r.entries) {
        if (e.status == 0) e.status = netstatus::kNodeUnreachable;
      }
      r.status = netstatus::kNodeUnreachable;
    }
    json out = GroupReplyToJson(r);
    if (o == Outcome::kCommitted && wrote) out["confirmed"] = false;
    return out;
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
                        impl_->retryCount.load(), impl_->droppedCount.load(),
                        impl_->skippedCount.load(), impl_->Unpublished()};
}

}  // namespace tolvane::nats
