#include "net/station.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/follower.h"
#include "net/protocol.h"
#include "net/wire_json.h"
#include "node/alarm_library.h"
#include "node/process_database.h"
#include "node/summary_queue_order.h"
#include "services/borvik.h"
#include "tolvane/text_field.h"

namespace tolvane::nats {

using json = nlohmann::json;
using Steady = std::chrono::steady_clock;

namespace {

short QueueStatusOf(RequestResult r) {
  return r == RequestResult::kRefused ? kQueueRefused : kQueueUnreachable;
}

short EntryStatusOf(RequestResult r) {
  return r == RequestResult::kRefused ? netstatus::kRefused : netstatus::kNodeUnreachable;
}

}  // namespace

struct Station::Impl : QueueBackend, DatabaseBackend, AlarmLibraryBackend {
  StationOptions options;
  std::unique_ptr<Connection> conn;
  node::SummaryQueue viewQueue;
  node::AlarmLibrary flex;  // reads field blocks; sends nothing

  mutable std::mutex m;
  std::mutex applyM;  // one change to the view at a time
  std::unique_ptr<Follower> follower;
  std::vector<std::unique_ptr<Follower>> retired;  // unsubscribed; freed with the connection
  std::set<unsigned short> handles;
  std::map<std::string, std::set<std::string>> physicalNodes;  // folded physical -> owners
  std::chrono::system_clock::time_point lastChange{};
  Steady::time_point offlineSince{};
  std::atomic<uint64_t> applied{0};
  std::unordered_map<std::string, uint64_t> appliedSeq;  // subject -> stream sequence; applyM
  std::map<std::string, uint64_t> rejected;               // source node token -> count; m
  std::atomic<bool> resync{false};
  bool stop = false;
  std::condition_variable cv;
  std::thread keeper;
  bool installed = false;

  // --- database groups ---
  struct Entry {
    std::string node, tag, field;
    std::optional<VSP> vsp;
    std::optional<int16_t> put;
    short status = node::dbstatus::kNotExecuted;
    std::optional<int16_t> value;
  };
  struct Group {
    std::vector<Entry> entries;
    std::string steps;
    std::map<std::string, uint32_t> serialsSet;  // node token -> serial
    std::map<std::string, uint32_t> serials;     // node token -> serial last answered
  };
  std::mutex gm;
  std::map<zunagroup*, std::unique_ptr<Group>> groups;

  ~Impl() override {
    {
      std::lock_guard lock(m);
      stop = true;
      cv.notify_all();
    }
    if (keeper.joinable()) keeper.join();
    follower.reset();
    conn.reset();  // no callback runs after this
    retired.clear();
  }

  // --- the view, fed from the stream ---

  // Applies one stream message. Two followers may deliver at once while one
  // replaces the other, each in stream order but interleaved: a message older
  // than what the view holds for its subject is stale and changes nothing.
  // A message counts only when its body is about the alarm its subject names:
  // the server lets each node publish on its own subjects only.
  void Apply(std::string_view subject, std::string_view body, uint64_t sequence) {
    std::lock_guard applying(applyM);
    if (sequence != 0) {
      uint64_t& last = appliedSeq[std::string(subject)];
      if (sequence <= last) return;
      last = sequence;
    }
    bool changed = false;
    if (body.empty()) {
      // Tombstone: the subject names the block.
      std::string_view rest = subject.substr(std::strlen("tolvane.alarm."));
      std::size_t dot = rest.find('.');
      if (dot == std::string_view::npos || dot + 2 > rest.size()) return;
      std::string nodeName = Unescape(rest.substr(0, dot));
      std::string_view blk = rest.substr(dot + 1);
      char letter;
      std::size_t at;
      if (blk[0] == '%' && blk.size() >= 4) {
        letter = static_cast<char>(std::stoi(std::string(blk.substr(1, 2)), nullptr, 16));
        at = 3;
      } else {
        letter = blk[0];
        at = 1;
      }
      auto number = static_cast<int16_t>(std::atoi(std::string(blk.substr(at)).c_str()));
      changed = viewQueue.Clear(nodeName, letter, number);
    } else {
      std::optional<AlarmState> s = DecodeAlarm(body);
      if (!s) {
        Reject(subject, "does not read as an alarm");
        return;
      }
      std::string owner(FieldText(s->msg.almpak.node));
      if (AlarmSubject(owner, s->msg.almpak.vsp.blockType, s->msg.almpak.vsp.blockNumber) !=
          subject) {
        Reject(subject, "is about another node's or block's alarm");
        return;
      }
      int32_t before = viewQueue.SequenceNumber();
      viewQueue.Put(s->msg, s->timeIn, s->timeLast, s->suppressed);
      changed = viewQueue.SequenceNumber() != before;
      std::string physical = node::detail::FoldCase(FieldText(s->msg.almpak.physicalNode));
      std::lock_guard lock(m);
      physicalNodes[physical].insert(owner);
    }
    ++applied;
    if (changed) {
      std::lock_guard lock(m);
      lastChange = std::chrono::system_clock::now();
    }
  }

  // Drops a message: counted per source node, said once per source.
  void Reject(std::string_view subject, const char* why) {
    std::string_view rest = subject.substr(std::min(subject.size(), std::strlen("tolvane.alarm.")));
    std::string source(rest.substr(0, rest.find('.')));
    std::lock_guard lock(m);
    if (rejected[source]++ == 0) {
      std::fprintf(stderr, "station %s: dropped a message on %.*s: it %s (said once per node)\n",
                   options.name.c_str(), static_cast<int>(subject.size()), subject.data(), why);
    }
  }

  static std::string Unescape(std::string_view token) {
    std::string out;
    for (std::size_t i = 0; i < token.size(); ++i) {
      if (token[i] == '%' && i + 2 < token.size()) {
        out += static_cast<char>(std::stoi(std::string(token.substr(i + 1, 2)), nullptr, 16));
        i += 2;
      } else {
        out += token[i];
      }
    }
    return out;
  }

  bool Follow(std::string* err) {
    auto f = Follower::Start(
        *conn, kAlarmStream, kAlarmSubjects,
        [this](std::string_view subject, std::string_view body, uint64_t sequence) {
          Apply(subject, body, sequence);
        },
        err);
    if (!f) return false;
    std::unique_ptr<Follower> old;
    {
      std::lock_guard lock(m);
      old = std::move(follower);
      follower = std::move(f);
    }
    // Stopped outside the lock: its handler may be waiting for it.
    if (old) {
      old->Stop();
      std::lock_guard lock(m);
      retired.push_back(std::move(old));
    }
    return true;
  }

  // Starts following again from the last message of every subject when the
  // connection comes back or the server lost our consumer: applying what
  // the view already holds changes nothing.
  void Keep() {
    std::unique_lock lock(m);
    Steady::time_point lastCheck = Steady::now();
    while (!stop) {
      cv.wait_for(lock, std::chrono::milliseconds(250));
      if (stop) break;
      bool again = resync.exchange(false);
      if (!again && conn->Connected() && Steady::now() - lastCheck > std::chrono::seconds(3)) {
        lastCheck = Steady::now();
        Follower* f = follower.get();
        lock.unlock();
        again = !f || !f->Alive();
        lock.lock();
      }
      if (!again || !conn->Connected()) {
        if (again) resync = true;
        continue;
      }
      lock.unlock();
      std::string err;
      bool ok = Follow(&err);
      lock.lock();
      if (!ok) resync = true;
    }
  }

  // --- QueueBackend: reads are local ---

  short Open(unsigned short* handle, unsigned char* flag) override {
    short s = viewQueue.Open(handle, flag);
    if (s == 0) {
      std::lock_guard lock(m);
      handles.insert(*handle);
    }
    return s;
  }
  short Close(unsigned short handle) override {
    {
      std::lock_guard lock(m);
      handles.erase(handle);
    }
    return viewQueue.Close(handle);
  }
  short HornEnable() override { return viewQueue.HornEnable(); }
  short HornDisable() override { return viewQueue.HornDisable(); }
  short HornSquelch() override { return viewQueue.HornSquelch(); }
  short GetHeader(SUMQHDR* hdr) override { return viewQueue.GetHeader(hdr); }
  short Home(const SORT_CNTL& sort, unsigned short handle) override {
    return viewQueue.Home(sort, handle);
  }
  short End(const SORT_CNTL& sort, unsigned short handle) override {
    return viewQueue.End(sort, handle);
  }
  short NextPage(const SORT_CNTL& sort, int count, unsigned short handle) override {
    return viewQueue.NextPage(sort, count, handle);
  }
  short PrevPage(const SORT_CNTL& sort, int count, unsigned short handle) override {
    return viewQueue.PrevPage(sort, count, handle);
  }
  short Get(const SORT_CNTL& sort, unsigned short count, unsigned short handle, SUMQMSG** list,
            unsigned short* n) override {
    return viewQueue.Get(sort, count, handle, list, n);
  }
  void FreeList(SUMQMSG* list) override { viewQueue.FreeList(list); }
  // Pages are read in place from the view, as on the embedded node.
  bool CanVisit() const override { return viewQueue.CanVisit(); }
  short Visit(const SORT_CNTL& sort, unsigned short count, unsigned short handle,
              QueueRecordVisitor& visitor) override {
    return viewQueue.Visit(sort, count, handle, visitor);
  }
  bool CanWalk() const override { return viewQueue.CanWalk(); }
  short Walk(const SORT_CNTL& sort, const std::string& after, bool backward,
             QueueViewWalker& walker) override {
    return viewQueue.Walk(sort, after, backward, walker);
  }
  short WalkShelved(QueueViewWalker& walker) override { return viewQueue.WalkShelved(walker); }
  short Find(short number, char letter, const char* node, SUMQMSG* msg) override {
    return viewQueue.Find(number, letter, node, msg);
  }
  short FindVisible(short number, char letter, const char* node, SUMQMSG* msg) override {
    return viewQueue.FindVisible(number, letter, node, msg);
  }
  short FindByTagname(const char* node, const char* tag, SUMQMSG* msg) override {
    return viewQueue.FindByTagname(node, tag, msg);
  }

  bool HasHandle(unsigned short handle) {
    std::lock_guard lock(m);
    return handles.count(handle) != 0;
  }

  // --- commands go to the owning node ---

  short MarkAcknowledged(short number, char letter, const char* node,
                         unsigned short handle) override {
    try {
      if (!node) return node::kQueueBadArgument;
      if (!HasHandle(handle)) return node::kQueueNoHandle;
      SUMQMSG msg;
      if (short s = viewQueue.Find(number, letter, node, &msg)) return s;
      std::string owner(FieldText(msg.almpak.node));
      json req{{"node", owner}, {"letter", static_cast<unsigned char>(letter)}, {"number", number}};
      std::string reply;
      RequestResult r =
          conn->Request(CommandSubject(owner, "ack"), req.dump(), options.requestTimeoutMs, &reply);
      if (r != RequestResult::kOk) return QueueStatusOf(r);
      auto st = json::parse(reply).at("status").get<short>();
      // Shown at once; the stream brings the same state.
      if (st == 0) viewQueue.Acknowledge(owner, letter, number);
      return st;
    } catch (...) {
      return kQueueBadReply;
    }
  }

  short DeleteByPhysicalNode(const SORT_CNTL& sort, short number, char letter,
                             const char* physicalNode, unsigned short handle) override {
    try {
      if (!physicalNode) return node::kQueueBadArgument;
      if (!HasHandle(handle)) return node::kQueueNoHandle;
      std::set<std::string> owners;
      {
        std::lock_guard lock(m);
        auto it = physicalNodes.find(node::detail::FoldCase(physicalNode));
        if (it != physicalNodes.end()) owners = it->second;
      }
      if (owners.empty()) return node::kQueueNoAlarm;
      int key = sort.key, direction = sort.direction;  // packed record: no references
      json req{{"physical", physicalNode},
               {"letter", static_cast<unsigned char>(letter)},
               {"number", number},
               {"key", key},
               {"direction", direction}};
      short last = node::kQueueNoAlarm;
      for (const std::string& owner : owners) {
        std::string reply;
        RequestResult r = conn->Request(CommandSubject(owner, "delete"), req.dump(),
                                        options.requestTimeoutMs, &reply);
        if (r != RequestResult::kOk) {
          last = QueueStatusOf(r);
          continue;
        }
        auto st = json::parse(reply).at("status").get<short>();
        if (st == 0) {
          viewQueue.DeleteByPhysicalNode(sort, number, letter, physicalNode, handle);
          return 0;
        }
        if (last == node::kQueueNoAlarm) last = st;
      }
      return last;
    } catch (...) {
      return kQueueBadReply;
    }
  }

  // --- AlarmLibraryBackend ---

  short SendOperatorMessage(const char* text, const char* nodeName, int flag) override {
    try {
      if (!text) return node::kQueueBadArgument;
      std::string target = nodeName ? nodeName : "";
      if (target.empty()) {
        std::lock_guard lock(m);
        for (const auto& [phys, owners] : physicalNodes) {
          if (!owners.empty()) {
            target = *owners.begin();
            break;
          }
        }
      }
      if (target.empty()) return kQueueUnreachable;
      json req{{"text", text},
               {"node", nodeName ? nodeName : ""},
               {"flag", flag},
               {"station", options.name}};
      std::string reply;
      RequestResult r = conn->Request(CommandSubject(target, "opmsg"), req.dump(),
                                      options.requestTimeoutMs, &reply);
      if (r != RequestResult::kOk) return QueueStatusOf(r);
      return json::parse(reply).at("status").get<short>();
    } catch (...) {
      return kQueueBadReply;
    }
  }
  short GetFlexValue(const void* block, short index, char* valueBuffer, short* type, short* extra1,
                     short* extra2) override {
    return flex.GetFlexValue(block, index, valueBuffer, type, extra1, extra2);
  }

  // --- DatabaseBackend ---

  Group* FindGroup(zunagroup* g) {
    auto it = groups.find(g);
    return it == groups.end() ? nullptr : it->second.get();
  }

  zunagroup* GroupCreate(int, int) override {
    try {
      auto g = std::make_unique<Group>();
      auto* token = reinterpret_cast<zunagroup*>(g.get());
      std::lock_guard lock(gm);
      groups.emplace(token, std::move(g));
      return token;
    } catch (...) {
      return nullptr;
    }
  }
  void GroupFree(zunagroup* group) override {
    std::lock_guard lock(gm);
    groups.erase(group);
  }
  unsigned int GroupAdd(zunagroup* group, const char* node, const char* tag, const char* field,
                        const VSP* vsp) override {
    try {
      if (!node || !tag || !field || !*node || std::strlen(node) > 8) return kZunaNoEntry;
      if (node::FieldIndex(field) < 0) return kZunaNoEntry;
      std::lock_guard lock(gm);
      Group* g = FindGroup(group);
      if (!g || g->entries.size() >= kZunaNoEntry - 1) return kZunaNoEntry;
      Entry e;
      e.node = node;
      e.tag = tag;
      e.field = field;
      if (vsp) e.vsp = *vsp;
      g->entries.push_back(std::move(e));
      return static_cast<unsigned int>(g->entries.size() - 1);
    } catch (...) {
      return kZunaNoEntry;
    }
  }
  Entry* FindEntry(zunagroup* group, unsigned int entry, short* why) {
    Group* g = FindGroup(group);
    if (!g) {
      *why = node::dbstatus::kBadGroup;
      return nullptr;
    }
    if (entry >= g->entries.size()) {
      *why = node::dbstatus::kBadEntry;
      return nullptr;
    }
    return &g->entries[entry];
  }
  void EntryInfo(zunagroup* group, unsigned int entry, char* node, char* tag, char* field,
                 VSP* vsp) override {
    std::lock_guard lock(gm);
    short why = 0;
    Entry* e = FindEntry(group, entry, &why);
    if (node) SetFieldTextPadded(node, 9, e ? e->node : std::string());
    if (tag) SetFieldTextPadded(tag, 31, e ? e->tag : std::string());
    if (field) SetFieldTextPadded(field, 20, e ? e->field : std::string());
    if (vsp) *vsp = (e && e->vsp) ? *e->vsp : VSP{};
  }
  // The distinct nodes of a group, in order of first entry.
  static std::vector<std::string> NodesOf(const Group& g) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    for (const Entry& e : g.entries) {
      if (seen.insert(NodeToken(e.node)).second) out.push_back(e.node);
    }
    return out;
  }
  unsigned short SerialCount(zunagroup* group) override {
    std::lock_guard lock(gm);
    Group* g = FindGroup(group);
    return g ? static_cast<unsigned short>(std::min<std::size_t>(NodesOf(*g).size(), 0xFFFF)) : 0;
  }
  void SerialList(zunagroup* group, uint32_t* serials, char (*names)[9]) override {
    std::lock_guard lock(gm);
    Group* g = FindGroup(group);
    if (!g) return;
    std::vector<std::string> nodes = NodesOf(*g);
    for (std::size_t i = 0; i < nodes.size() && i < 0xFFFF; ++i) {
      if (serials) {
        auto it = g->serials.find(NodeToken(nodes[i]));
        serials[i] = it == g->serials.end() ? 0 : it->second;
      }
      if (names) SetFieldTextPadded(names[i], 9, nodes[i]);
    }
  }
  void SerialSet(zunagroup* group, const char* node, uint32_t serial) override {
    if (!node) return;
    std::lock_guard lock(gm);
    if (Group* g = FindGroup(group)) g->serialsSet[NodeToken(node)] = serial;
  }
  void SetOption(zunagroup*, uint32_t) override {}
  void AddStep(zunagroup* group, char step) {
    std::lock_guard lock(gm);
    if (Group* g = FindGroup(group)) g->steps += step;
  }
  void Resolve(zunagroup* group) override { AddStep(group, 'R'); }
  void Read(zunagroup* group) override { AddStep(group, 'r'); }
  void Write(zunagroup* group) override { AddStep(group, 'w'); }

  short Execute(zunagroup* group) override {
    try {
      // One request per node, all at once; the group is copied so that no
      // lock is held while waiting.
      std::map<std::string, GroupRequest> requests;
      std::map<std::string, std::vector<std::size_t>> members;
      std::string steps;
      {
        std::lock_guard lock(gm);
        Group* g = FindGroup(group);
        if (!g) return node::dbstatus::kBadGroup;
        if (g->steps.empty()) return node::dbstatus::kNoRequest;
        steps.swap(g->steps);
        for (std::size_t i = 0; i < g->entries.size(); ++i) {
          const Entry& e = g->entries[i];
          std::string token = NodeToken(e.node);
          GroupRequest& r = requests[token];
          r.steps = steps;
          r.entries.push_back(GroupEntry{e.node, e.tag, e.field, e.vsp, e.put});
          auto s = g->serialsSet.find(token);
          if (s != g->serialsSet.end()) r.serials[e.node] = s->second;
          members[token].push_back(i);
        }
      }
      bool writes = steps.find('w') != std::string::npos;
      struct Outcome {
        RequestResult result = RequestResult::kTimeout;
        std::optional<GroupReply> reply;
      };
      std::map<std::string, Outcome> outcomes;
      for (auto& [token, r] : requests) outcomes[token];
      auto run = [&](const std::string& token) {
        const GroupRequest& r = requests[token];
        std::string body;
        Outcome& o = outcomes[token];
        o.result = conn->Request(CommandSubject(r.entries.front().node, writes ? "write" : "read"),
                                 GroupRequestToJson(r).dump(), options.requestTimeoutMs, &body);
        if (o.result != RequestResult::kOk) return;
        try {
          GroupReply reply = GroupReplyFromJson(json::parse(body));
          if (reply.entries.size() == r.entries.size()) o.reply = std::move(reply);
        } catch (...) {
        }
      };
      if (requests.size() == 1) {
        run(requests.begin()->first);
      } else {
        std::vector<std::thread> threads;
        for (auto& [token, r] : requests) threads.emplace_back(run, token);
        for (auto& t : threads) t.join();
      }
      std::lock_guard lock(gm);
      Group* g = FindGroup(group);
      if (!g) return node::dbstatus::kBadGroup;
      for (auto& [token, o] : outcomes) {
        const std::vector<std::size_t>& idx = members[token];
        for (std::size_t k = 0; k < idx.size() && idx[k] < g->entries.size(); ++k) {
          Entry& e = g->entries[idx[k]];
          if (!o.reply) {
            e.status =
                o.result == RequestResult::kOk ? netstatus::kBadReply : EntryStatusOf(o.result);
            e.value.reset();
            continue;
          }
          const GroupEntryResult& res = o.reply->entries[k];
          e.status = res.status;
          e.value = res.value;
          if (res.vsp) e.vsp = res.vsp;
        }
        if (o.reply) g->serials[token] = o.reply->serial;
      }
      for (const Entry& e : g->entries) {
        if (e.status != 0) return e.status;
      }
      return 0;
    } catch (...) {
      return netstatus::kBadReply;
    }
  }
  short EntryStatus(zunagroup* group, unsigned int entry) override {
    std::lock_guard lock(gm);
    short why = 0;
    Entry* e = FindEntry(group, entry, &why);
    return e ? e->status : why;
  }
  short EntryGet(zunagroup* group, unsigned int entry, short* value) override {
    if (value) *value = 0;
    std::lock_guard lock(gm);
    short why = 0;
    Entry* e = FindEntry(group, entry, &why);
    if (!e) return why;
    if (!e->value) return node::dbstatus::kNoValue;
    if (value) *value = *e->value;
    return 0;
  }
  short EntryPut(zunagroup* group, unsigned int entry, short value) override {
    std::lock_guard lock(gm);
    short why = 0;
    Entry* e = FindEntry(group, entry, &why);
    if (!e) return why;
    e->put = value;
    return 0;
  }
};

Station::Station(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Station::~Station() {
  if (impl_->installed) {
    if (InstalledQueueBackend() == impl_.get()) InstallQueueBackend(nullptr);
    if (InstalledDatabaseBackend() == impl_.get()) InstallDatabaseBackend(nullptr);
    InstallAlarmLibraryBackend(nullptr);
  }
}

std::unique_ptr<Station> Station::Connect(const StationOptions& options, std::string* err) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  ConnectOptions co = options.connect;
  if (co.name.empty()) co.name = "station " + options.name;
  impl->conn = Connection::Open(co, err);
  if (!impl->conn) return nullptr;
  Impl* raw = impl.get();
  impl->conn->SetStateListener([raw](bool connected) {
    std::lock_guard lock(raw->m);
    if (connected) {
      raw->resync = true;
      raw->cv.notify_all();
    } else {
      raw->offlineSince = Steady::now();
    }
  });
  // The stream may not exist yet when no node daemon has started.
  Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(options.startTimeoutMs);
  std::string why;
  while (!impl->Follow(&why)) {
    if (Steady::now() > deadline) {
      if (err) *err = why;
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  impl->keeper = std::thread([raw] { raw->Keep(); });
  std::unique_ptr<Station> s(new Station(std::move(impl)));
  int left = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count());
  if (!s->WaitCurrent(std::max(left, 0))) {
    if (err) *err = "the alarm view did not complete in time";
    return nullptr;
  }
  return s;
}

void Station::Install() {
  InstallQueueBackend(impl_.get());
  InstallDatabaseBackend(impl_.get());
  InstallAlarmLibraryBackend(impl_.get());
  impl_->installed = true;
}

QueueBackend& Station::queue() {
  return *impl_;
}

DatabaseBackend& Station::database() {
  return *impl_;
}

AlarmLibraryBackend& Station::alarmLibrary() {
  return *impl_;
}

const node::SummaryQueue& Station::view() const {
  return impl_->viewQueue;
}

StationStatus Station::Status() const {
  StationStatus s;
  s.connected = impl_->conn->Connected();
  s.alarms = impl_->viewQueue.Size();
  s.sequence = impl_->viewQueue.SequenceNumber();
  s.applied = impl_->applied;
  std::lock_guard lock(impl_->m);
  s.complete = impl_->follower && impl_->follower->CaughtUp();
  s.lag = impl_->follower ? impl_->follower->Lag() : 0;
  s.lastChange = impl_->lastChange;
  for (const auto& [source, n] : impl_->rejected) s.rejected += n;
  s.offlineSince = impl_->offlineSince;
  return s;
}

bool Station::WaitCurrent(int timeoutMs) {
  Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    StationStatus s = Status();
    if (s.connected && s.complete && !impl_->resync) return true;
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::unique_ptr<Station> ConnectStation(const std::string& url, const std::string& name,
                                        const std::string& credentials, int timeoutMs,
                                        std::string* err) {
  StationOptions o;
  o.connect.url = url;
  o.connect.credentials = credentials;
  o.name = name;
  o.startTimeoutMs = timeoutMs;
  auto s = Station::Connect(o, err);
  if (s) s->Install();
  return s;
}

std::unique_ptr<Station> InstallBackends(const std::string& url, const std::string& station,
                                         const std::string& credentials, std::string* err) {
  return ConnectStation(url, station, credentials, 30000, err);
}

}  // namespace tolvane::nats
