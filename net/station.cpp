#include "net/station.h"

#include <algorithm>
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
#include "node/alarm_library.h"
#include "node/process_database.h"
#include "node/summary_queue_message.h"
#include "node/summary_queue_order.h"
#include "services/borvik.h"
#include "tolvane/text_field.h"

namespace tolvane::nats {

using json = nlohmann::json;
using Steady = std::chrono::steady_clock;

namespace {

// How a request to a node came out.
enum class Asked { kOk, kTimeout, kNoResponders, kRefused, kOffline, kBad };

// A refusal stands this long: the station's user does not change meanwhile,
// and a bulk command must not wait for the server once per alarm.
constexpr auto kRefusalKept = std::chrono::seconds(30);
// Clocks of stations and daemons may differ by this much (NTP keeps them
// far closer): a command is judged never done only this long after it
// expired.
constexpr auto kClockMargin = std::chrono::seconds(5);

int64_t EpochMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

struct Station::Impl : QueueBackend, DatabaseBackend, AlarmLibraryBackend {
  StationOptions options;
  std::string url;  // the servers, in the order tried
  node::SummaryQueue viewQueue;
  node::AlarmLibrary flex;  // reads field blocks; sends nothing

  // The connection may be replaced by one to another server; a request
  // holds its own reference.
  mutable std::mutex connM;
  std::shared_ptr<Connection> conn_;
  std::vector<std::shared_ptr<Connection>> retiredConns;

  mutable std::mutex m;
  std::mutex applyM;                               // one change to the view at a time
  std::unique_ptr<Follower> follower;              // the alarm stream
  std::unique_ptr<Follower> nodeFollower;          // the heartbeats
  std::vector<std::unique_ptr<Follower>> retired;  // unsubscribed; freed with the connection
  std::set<unsigned short> handles;
  std::map<std::string, std::set<std::string>> physicalNodes;  // folded physical -> owners
  std::chrono::system_clock::time_point lastChange{};
  Steady::time_point offlineSince{};
  std::atomic<uint64_t> applied{0};
  std::atomic<uint64_t> heldSeq{0};
  std::atomic<uint64_t> rereads{0};  // new followers from every subject's last message
  std::atomic<uint64_t> resumes{0};  // new followers from where a lost one stopped
  std::unordered_map<std::string, uint64_t> appliedSeq;  // subject -> stream sequence; applyM
  std::map<std::string, uint64_t> rejected;              // source node token -> count; m
  std::map<std::string, int> newerSubjects;              // subject -> major; m
  int newestMajor = 0;                                   // m

  struct Beat {
    Steady::time_point at{};
    bool stopped = false;
    uint64_t dropped = 0, unpublished = 0;
    int major = 0, minor = 0;
  };
  std::map<std::string, Beat> beats;  // node token -> last beat; m
  std::set<std::string> nodesSeen;    // node tokens with alarms in the view; m
  std::vector<StreamHealth> streams;  // m
  bool confirmed = false;             // m
  uint64_t deliveredBefore = 0;       // what the server said it delivered, last check
  int behindChecks = 0;               // checks in a row that found the view behind
  uint64_t streamLastBefore = 0;      // the alarm stream's last sequence, last check
  int shortChecks = 0;                // checks in a row that found the view short of it
  uint64_t restartedShortOf = 0;      // the last sequence a new start could not reach
  std::string alarmLeader;            // the alarm stream's leader at the last check
  bool rereadWhenSettled = false;     // the stream was disturbed since the view was read
  int confirmChecks = 0;              // settled checks until the stream is read once more
  std::map<std::string, Steady::time_point> refusedKinds;  // command kind -> when; m

  // --- commands of unknown outcome, checked until resolved ---
  enum class Effect { kAck, kGone, kValue };
  struct Pending {
    std::string key;      // in `pending`: the id, or the id and the entry
    std::string id;       // of the request
    std::string node;     // owner, as the view names it
    std::string subject;  // the alarm it is about; empty: none known
    Effect effect = Effect::kAck;
    std::string tag, field;  // kValue: the entry written
    int16_t value = 0;
    int entry = -1;  // a write's entry in its request
    std::chrono::system_clock::time_point expires{};
    Steady::time_point since{}, lastAsked{};
    CommandOutcome outcome = CommandOutcome::kUnknown;
    Steady::time_point resolvedAt{};
  };
  std::map<std::string, Pending> pending;  // id -> ; m
  std::condition_variable outcomeCv;       // with m
  std::atomic<uint64_t> nextId{1};
  const std::string idPrefix = std::to_string(EpochMs(std::chrono::system_clock::now())) + "-";

  std::atomic<bool> resync{false};
  bool stop = false;
  std::condition_variable cv;
  std::thread keeper;
  std::thread resumer;
  std::mutex followM;  // one new follower at a time
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
    if (resumer.joinable()) resumer.join();
    // The connections close first: no callback runs after that, and the
    // client library re-creates no consumer while the followers are let go.
    conn_.reset();
    retiredConns.clear();
    follower.reset();
    nodeFollower.reset();
    retired.clear();
  }

  std::shared_ptr<Connection> Conn() const {
    std::lock_guard lock(connM);
    return conn_;
  }

  // --- the view, fed from the stream ---

  // Applies one stream message. Two followers may deliver at once while one
  // replaces the other, each in stream order but interleaved: a message older
  // than what the view holds for its subject is stale and changes nothing.
  // A message counts only when its body is about the alarm its subject names:
  // the server lets each node publish on its own subjects only.
  void Apply(const Follower::Delivery& d) {
    std::string_view subject = d.subject;
    std::lock_guard applying(applyM);
    if (d.sequence != 0) {
      uint64_t& last = appliedSeq[std::string(subject)];
      if (d.sequence <= last) return;
      last = d.sequence;
      if (d.sequence > heldSeq) heldSeq = d.sequence;
    }
    std::string owner;
    char letter = 0;
    int16_t number = 0;
    if (!ParseAlarmSubject(subject, &owner, &letter, &number)) {
      Reject(subject, "is not on an alarm's subject");
      return;
    }
    bool changed = false;
    bool wasNewer = false;
    {
      std::lock_guard lock(m);
      wasNewer = newerSubjects.erase(std::string(subject)) != 0;
    }
    if (d.body.empty()) {
      changed = viewQueue.Clear(owner, letter, number);
    } else {
      AlarmState s;
      int major = 0;
      DecodeResult r = DecodeAlarmBody(d.body, &s, &major);
      if (r == DecodeResult::kNewerMajor) {
        ShowNewer(subject, owner, letter, number, major);
        ++applied;
        return;
      }
      if (r != DecodeResult::kOk) {
        Reject(subject, "does not read as an alarm");
        if (wasNewer) viewQueue.Clear(owner, letter, number);
        return;
      }
      std::string named(FieldText(s.msg.almpak.node));
      if (AlarmSubject(named, s.msg.almpak.vsp.blockType, s.msg.almpak.vsp.blockNumber) !=
          subject) {
        Reject(subject, "is about another node's or block's alarm");
        return;
      }
      // A placeholder of a newer format gives way to the real alarm.
      if (wasNewer) viewQueue.Clear(owner, letter, number);
      int32_t before = viewQueue.SequenceNumber();
      viewQueue.Put(s.msg, s.timeIn, s.timeLast, s.suppressed);
      changed = viewQueue.SequenceNumber() != before;
      std::string physical = node::detail::FoldCase(FieldText(s.msg.almpak.physicalNode));
      std::lock_guard lock(m);
      physicalNodes[physical].insert(named);
      nodesSeen.insert(NodeToken(named));
    }
    ++applied;
    if (changed) {
      std::lock_guard lock(m);
      lastChange = std::chrono::system_clock::now();
    }
  }

  // An alarm in a format newer than ours: shown, so that it does not
  // vanish, as an unacknowledged critical alarm that says to upgrade this
  // station. Acknowledging it works: commands name only the block.
  void ShowNewer(std::string_view subject, const std::string& owner, char letter, int16_t number,
                 int major) {
    node::AlarmInput in;
    in.node = in.physicalNode = owner;
    in.tag = "?";
    in.blockLetter = letter;
    in.blockNumber = number;
    in.priority = 3;
    in.description =
        "ALARM IN WIRE FORMAT " + std::to_string(major) + ": UPGRADE THIS STATION TO READ IT";
    SUMQMSG msg = node::detail::BuildMessage(in);
    auto now = std::chrono::system_clock::now();
    node::detail::StampTimes(msg, now, now);
    bool first = false;
    {
      std::lock_guard lock(m);
      first = newerSubjects.empty() && newestMajor < major;
      newerSubjects[std::string(subject)] = major;
      newestMajor = std::max(newestMajor, major);
      nodesSeen.insert(NodeToken(owner));
      physicalNodes[node::detail::FoldCase(owner)].insert(owner);
      lastChange = now;
    }
    // Its last state we could read is no longer its state.
    viewQueue.Clear(owner, letter, number);
    viewQueue.Put(msg, now, now, false);
    if (first) {
      std::fprintf(stderr,
                   "station %s: %.*s is in wire format %d; this station reads up to %d: the "
                   "alarm is shown as unreadable until this station is upgraded\n",
                   options.name.c_str(), static_cast<int>(subject.size()), subject.data(), major,
                   static_cast<int>(kWireMajor));
    }
  }

  // A heartbeat: counts only when it names the node of its subject.
  void ApplyBeat(const Follower::Delivery& d) {
    std::string token(SubjectNodeToken(d.subject, "tolvane.node."));
    try {
      json j = ParseMessageJson(d.body);
      if (token.empty() || NodeToken(j.at("node").get<std::string>()) != token) {
        Reject(d.subject, "is a heartbeat of another node");
        return;
      }
      Beat b;
      // Its age by the server's clock when stored: a beat read at start may
      // be old (a dead daemon's last).
      auto age = std::chrono::system_clock::now() -
                 std::chrono::system_clock::time_point(
                     std::chrono::duration_cast<std::chrono::system_clock::duration>(
                         std::chrono::nanoseconds(d.timeNs)));
      b.at = Steady::now() - std::max(age, std::chrono::system_clock::duration::zero());
      b.stopped = j.value("stopped", false);
      b.dropped = j.value("dropped", uint64_t{0});
      b.unpublished = j.value("unpublished", uint64_t{0});
      if (j.contains("wire") && j["wire"].is_array() && j["wire"].size() == 2) {
        b.major = j["wire"][0].get<int>();
        b.minor = j["wire"][1].get<int>();
      }
      std::lock_guard lock(m);
      beats[token] = b;
    } catch (const std::exception&) {
      Reject(d.subject, "does not read as a heartbeat");
    }
  }

  // Drops a message: counted per source node, said once per source.
  void Reject(std::string_view subject, const char* why) {
    std::string_view rest = subject.substr(std::min(subject.size(), subject.find('.') + 1));
    rest = rest.substr(std::min(rest.size(), rest.find('.') + 1));  // past "tolvane.<kind>."
    std::string source(rest.substr(0, rest.find('.')));
    std::lock_guard lock(m);
    if (rejected[source]++ == 0) {
      std::fprintf(stderr, "station %s: dropped a message on %.*s: it %s (said once per node)\n",
                   options.name.c_str(), static_cast<int>(subject.size()), subject.data(), why);
    }
  }

  bool StaleLocked(const std::string& token) const {
    auto it = beats.find(token);
    if (it == beats.end()) return true;
    return it->second.stopped ||
           Steady::now() - it->second.at > std::chrono::milliseconds(options.staleAfterMs);
  }

  bool Stale(const std::string& node) const {
    std::lock_guard lock(m);
    return StaleLocked(NodeToken(node));
  }

  // Starts (again) following the alarm and node streams: from the last
  // message of every subject, or after `resumeAfter` when a follower that
  // missed nothing lost its consumer.
  bool Follow(std::string* err, uint64_t resumeAfter = 0) {
    std::shared_ptr<Connection> c = Conn();
    Follower::From from;
    if (resumeAfter > 0) {
      from.lastPerSubject = false;
      from.startSequence = resumeAfter + 1;
    }
    auto f = Follower::Start(
        *c, kAlarmStream, kAlarmSubjects, [this](const Follower::Delivery& d) { Apply(d); }, err,
        from);
    if (!f) return false;
    Replace(&follower, std::move(f));
    bool nodes = false;
    {
      std::lock_guard lock(m);
      confirmed = false;
      deliveredBefore = 0;
      nodes = nodeFollower != nullptr;
    }
    if (!nodes) FollowNodes();  // one already there is Keep's to replace
    return true;
  }

  // Daemons before heartbeats made no node stream: the view goes on without
  // it (every node shows as never heard) and follows it once it exists.
  bool FollowNodes() {
    std::shared_ptr<Connection> c = Conn();
    std::string err;
    auto nf = Follower::Start(
        *c, kNodeStream, kNodeSubjects, [this](const Follower::Delivery& d) { ApplyBeat(d); },
        &err);
    if (!nf) return false;
    Replace(&nodeFollower, std::move(nf));
    return true;
  }

  void Replace(std::unique_ptr<Follower>* slot, std::unique_ptr<Follower> fresh) {
    std::unique_ptr<Follower> old;
    {
      std::lock_guard lock(m);
      old = std::move(*slot);
      *slot = std::move(fresh);
    }
    // Stopped outside the lock: its handler may be waiting for it.
    if (old) {
      old->Stop();
      std::lock_guard lock(m);
      retired.push_back(std::move(old));
    }
  }

  // A connection to the same servers with the one we are on tried last:
  // it could not serve JetStream.
  bool MoveServer(std::string* err) {
    std::shared_ptr<Connection> old = Conn();
    std::vector<std::string> urls = SplitUrls(url);
    if (urls.size() < 2) return false;
    std::string here = old ? old->ConnectedUrl() : "";
    auto at = std::find_if(urls.begin(), urls.end(), [&](const std::string& u) {
      return !here.empty() &&
             (u == here || u.find(here) != std::string::npos || here.find(u) != std::string::npos);
    });
    // The server we are on (the first, when unknown) goes last.
    std::rotate(urls.begin(), at == urls.end() ? urls.begin() + 1 : at + 1, urls.end());
    std::string list;
    for (const std::string& u : urls) list += (list.empty() ? "" : ",") + u;
    ConnectOptions co = options.connect;
    co.url = list;
    co.inOrder = true;
    if (co.name.empty()) co.name = "station " + options.name;
    std::shared_ptr<Connection> fresh(Connection::Open(co, err).release());
    if (!fresh) return false;
    Listen(*fresh);
    {
      std::lock_guard lock(connM);
      if (conn_) {
        // Kept until the station goes (followers made on it may still be
        // let go), but no longer heard.
        conn_->SetStateListener(nullptr);
        retiredConns.push_back(conn_);
      }
      conn_ = fresh;
    }
    url = list;
    return true;
  }

  // Back online, the consumers go on where they stopped; Keep checks that
  // nothing was lost on the way and starts again when something was.
  void Listen(Connection& c) {
    c.SetStateListener([this](bool connected) {
      std::lock_guard lock(m);
      if (connected) {
        cv.notify_all();
      } else {
        offlineSince = Steady::now();
      }
    });
  }

  // What the servers say of the streams, and whether the view holds every
  // message the server delivered (a view that cannot confirm it says so).
  void CheckStreams() {
    std::shared_ptr<Connection> c = Conn();
    std::vector<StreamHealth> found;
    jsOptions jo;
    jsOptions_Init(&jo);
    jo.Wait = 1500;
    for (const char* name : {kAlarmStream, kJournalStream, kNodeStream}) {
      StreamHealth h;
      h.name = name;
      jsStreamInfo* si = nullptr;
      jsErrCode jerr = static_cast<jsErrCode>(0);
      if (js_GetStreamInfo(&si, c->js(), name, &jo, &jerr) == NATS_OK && si) {
        h.known = true;
        h.replicas = si->Config ? static_cast<int>(si->Config->Replicas) : 0;
        h.lastSequence = si->State.LastSeq;
        if (si->Cluster) {
          h.leader = si->Cluster->Leader ? si->Cluster->Leader : "";
          h.current = h.leader.empty() ? 0 : 1;
          for (int i = 0; i < si->Cluster->ReplicasLen; ++i) {
            if (si->Cluster->Replicas[i] && si->Cluster->Replicas[i]->Current &&
                !si->Cluster->Replicas[i]->Offline) {
              ++h.current;
            }
            if (si->Cluster->Replicas[i] && si->Cluster->Replicas[i]->Offline) ++h.offline;
            if (si->Cluster->Replicas[i]) h.lag = std::max(h.lag, si->Cluster->Replicas[i]->Lag);
          }
        } else {
          h.current = h.replicas;
        }
        jsStreamInfo_Destroy(si);
      }
      found.push_back(std::move(h));
    }
    Follower* f = nullptr;
    {
      std::lock_guard lock(m);
      f = follower.get();
    }
    uint64_t pendingNow = 0, delivered = 0;
    bool asked = f && f->Check(&pendingNow, &delivered);
    uint64_t held = f ? f->LastSequence() : 0;
    uint64_t streamLast = 0;
    StreamHealth alarms;
    for (const StreamHealth& h : found) {
      if (h.name == kAlarmStream) alarms = h;
    }
    if (alarms.known) streamLast = alarms.lastSequence;
    bool behind = false;
    {
      std::lock_guard lock(m);
      streams = std::move(found);
      // A replica that was cut off (a stopped or lost server, a new leader)
      // catches up, and a consumer reading from it has been seen to skip a
      // message in the catch-up with nothing missing in its own numbering.
      // So after such a disturbance the view is read afresh once every
      // replica is current again.
      bool disturbed = !alarms.known || alarms.offline > 0 ||
                       (!alarmLeader.empty() && alarms.leader != alarmLeader);
      bool settled = alarms.known && alarms.current >= alarms.replicas && alarms.lag == 0;
      if (alarms.known) alarmLeader = alarms.leader;
      // A replica says it is current before it has filled the holes of its
      // catch-up: the stream is read once more two settled checks later.
      if (disturbed) {
        rereadWhenSettled = true;
        confirmChecks = 0;
      } else if (rereadWhenSettled && settled) {
        rereadWhenSettled = false;
        confirmChecks = 2;
        behind = true;
      } else if (confirmChecks > 0 && settled && --confirmChecks == 0) {
        behind = true;
      }
      // The server delivered up to `delivered` before the last check: by now
      // we must hold it. Twice in a row: once may be messages on their way.
      bool lagging = asked && held < deliveredBefore && f && f->CaughtUp();
      behindChecks = lagging ? behindChecks + 1 : 0;
      if (behindChecks >= 2) {
        behindChecks = 0;
        behind = true;
      }
      // The follower's filter is the whole stream: with nothing pending it
      // must hold the stream's last message as of the check before. A
      // consumer whose server lost its place says "nothing pending" short
      // of it. Messages removed at the stream's end (tombstones aged out)
      // can leave that sequence out of reach: one new start per such
      // sequence, never a loop.
      bool shortOfStream = asked && pendingNow == 0 && f && f->CaughtUp() &&
                           held < streamLastBefore && streamLastBefore != restartedShortOf;
      shortChecks = shortOfStream ? shortChecks + 1 : 0;
      if (shortChecks >= 2) {
        shortChecks = 0;
        restartedShortOf = streamLastBefore;
        behind = true;
      }
      confirmed = asked && pendingNow == 0 && held >= deliveredBefore && !shortOfStream;
      streamLastBefore = streamLast;
      deliveredBefore = asked ? delivered : 0;
    }
    if (behind) resync = true;
  }

  // Starts following again when the server lost our consumer, a follower
  // missed messages, or the view fell behind: applying what the view already
  // holds changes nothing. Checks the streams and the commands of unknown
  // outcome.
  void Keep() {
    std::unique_lock lock(m);
    // The first check at once: it is the baseline a leader change is seen
    // against, and one made later could miss a change after the first read.
    Steady::time_point lastCheck = Steady::now() - std::chrono::seconds(3);
    int failures = 0;
    while (!stop) {
      cv.wait_for(lock, std::chrono::milliseconds(250));
      if (stop) break;
      std::shared_ptr<Connection> c = Conn();
      // A view found behind reads the stream afresh; a follower that missed
      // messages or lost its consumer (its server gone or stalled: no
      // heartbeats, no answers) is replaced by one that goes on from before
      // the first message it missed.
      bool reread = resync.exchange(false);
      Follower* f = follower.get();
      bool resume = f && f->MissedHeartbeats();
      if (c->Connected() && Steady::now() - lastCheck > std::chrono::seconds(2)) {
        lastCheck = Steady::now();
        Follower* nf = nodeFollower.get();
        lock.unlock();
        if (!f) {
          reread = true;
        } else if (f->Broken() || !f->Alive()) {
          resume = true;
        }
        bool nodesLost = !nf || nf->Broken() || !nf->Alive() || nf->MissedHeartbeats();
        // No node stream yet (older daemons): tried at every check.
        if (nodesLost) FollowNodes();
        CheckStreams();
        reread = reread || resync.exchange(false);
        lock.lock();
      }
      if (!pending.empty()) {
        lock.unlock();
        ResolvePending();
        lock.lock();
      }
      if (!reread && !resume) continue;
      if (!c->Connected()) {
        // A lost follower says so again at the next turn.
        if (reread) resync = true;
        continue;
      }
      lock.unlock();
      uint64_t resumeAfter = !reread && f ? f->ResumeAfter() : 0;
      std::string err;
      bool ok = Refollow(reread ? nullptr : f, resumeAfter, &err);
      // Connected but no JetStream through this server: try the next one.
      if (!ok && ++failures >= 3 && MoveServer(&err)) failures = 0;
      if (ok) failures = 0;
      lock.lock();
      // A failed resume is tried again while the old follower stays lost.
      if (!ok && resumeAfter == 0) resync = true;
    }
  }

  // Replaces the alarm follower: `lost`, unless another turn replaced it
  // already (nullptr: whichever follows now, the view is read afresh).
  bool Refollow(Follower* lost, uint64_t resumeAfter, std::string* err, bool counted = true) {
    std::lock_guard one(followM);
    if (lost) {
      std::lock_guard lock(m);
      if (follower.get() != lost) return true;
    }
    if (!Follow(err, resumeAfter)) return false;
    if (!counted) return true;
    ++(resumeAfter > 0 ? resumes : rereads);
    if (resumeAfter > 0) {
      // The new consumer may read from a replica still catching up, which
      // can skip a message with no gap in its numbering: the stream is read
      // afresh once it settles, as after any disturbance.
      {
        std::lock_guard lock(m);
        rereadWhenSettled = true;
        confirmChecks = 0;
      }
      std::fprintf(stderr,
                   "station %s: its follower's consumer was lost or missed messages; going on "
                   "after stream sequence %llu\n",
                   options.name.c_str(), static_cast<unsigned long long>(resumeAfter));
    } else {
      std::fprintf(stderr, "station %s: reading the alarm stream afresh\n", options.name.c_str());
    }
    return true;
  }

  // Replaced here at once, apart from Keep's turn (which may be waiting on
  // questions to a lost server): a follower whose server fell silent (no
  // heartbeats), and one that read the last message of every subject and
  // caught up. The server works out what such a consumer has pending over
  // every subject of the stream at each message, which at 100,000 subjects
  // delayed every change by a tenth of a second or more; a consumer from a
  // sequence on does not.
  void ResumeLost() {
    std::unique_lock lock(m);
    while (!stop) {
      cv.wait_for(lock, std::chrono::milliseconds(250));
      Follower* f = follower.get();
      if (stop || !f) continue;
      bool lost = f->MissedHeartbeats();
      bool handOver = !lost && f->LastPerSubject() && f->CaughtUp() && f->LastSequence() > 0;
      if (!lost && !handOver) continue;
      std::shared_ptr<Connection> c = Conn();
      if (!c || !c->Connected()) continue;
      lock.unlock();
      std::string err;
      // Failed: tried again next turn.
      if (lost || !f->Broken()) Refollow(f, f->ResumeAfter(), &err, lost);
      lock.lock();
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

  std::string NewId() { return options.name + "-" + idPrefix + std::to_string(nextId++); }

  // Sends a request to `node`'s daemon. The request gets an id and the time
  // it expires: a daemon never starts a command after that, so a command not
  // done by then never will be. The answer counts only when it is about the
  // node asked.
  Asked Ask(const std::string& node, const std::string& kind, json req, json* reply,
            std::string* id = nullptr, std::chrono::system_clock::time_point* expires = nullptr) {
    {
      std::lock_guard lock(m);
      auto it = refusedKinds.find(kind);
      if (it != refusedKinds.end() && Steady::now() - it->second < kRefusalKept) {
        return Asked::kRefused;
      }
    }
    std::string myId = NewId();
    auto until =
        std::chrono::system_clock::now() + std::chrono::milliseconds(options.requestTimeoutMs);
    req["id"] = myId;
    req["expires"] = EpochMs(until);
    if (id) *id = myId;
    if (expires) *expires = until;
    std::shared_ptr<Connection> c = Conn();
    std::string body;
    std::string subject = CommandSubject(node, kind);
    RequestResult r = c->Request(subject, req.dump(), options.requestTimeoutMs, &body);
    switch (r) {
      case RequestResult::kOk:
        break;
      case RequestResult::kTimeout:
        return Asked::kTimeout;
      case RequestResult::kNoResponders:
        return Asked::kNoResponders;
      case RequestResult::kRefused: {
        std::lock_guard lock(m);
        refusedKinds[kind] = Steady::now();
        return Asked::kRefused;
      }
      case RequestResult::kOffline:
        return Asked::kOffline;
    }
    try {
      *reply = ParseMessageJson(body);
    } catch (const std::exception&) {
      Reject(subject, "was answered with something that does not read");
      return Asked::kBad;
    }
    // Daemons before the heartbeat did not name themselves.
    if (reply->contains("node") &&
        (!(*reply)["node"].is_string() || (*reply)["node"].get<std::string>() != NodeToken(node))) {
      Reject(subject, "was answered on behalf of another node");
      return Asked::kBad;
    }
    return Asked::kOk;
  }

  short QueueFailure(Asked a, const std::string& node) {
    switch (a) {
      case Asked::kRefused:
        return kQueueRefused;
      case Asked::kBad:
        return kQueueBadReply;
      default:
        return Stale(node) ? kQueueNodeStale : kQueueUnreachable;
    }
  }

  short EntryFailure(Asked a, const std::string& node) {
    switch (a) {
      case Asked::kRefused:
        return netstatus::kRefused;
      case Asked::kBad:
        return netstatus::kBadReply;
      default:
        return Stale(node) ? netstatus::kNodeStale : netstatus::kNodeUnreachable;
    }
  }

  void AddPending(Pending p) {
    p.since = Steady::now();
    if (p.key.empty()) p.key = p.id;
    std::lock_guard lock(m);
    pending[p.key] = std::move(p);
    cv.notify_all();
  }

  // The view's evidence: true when it shows what the command meant to do.
  bool ShownDone(const Pending& p) {
    std::string owner;
    char letter = 0;
    int16_t number = 0;
    SUMQMSG msg{};
    if (p.effect == Effect::kValue) return false;
    if (!ParseAlarmSubject(p.subject, &owner, &letter, &number)) return false;
    bool there = viewQueue.Find(number, letter, p.node.c_str(), &msg) == 0;
    // Gone is done for both: an alarm that left has nothing to acknowledge.
    return !there || (p.effect == Effect::kAck && msg.ackFlag != 0);
  }

  // Asks the owning node what became of the command: definite once the
  // command expired, since the node never starts one after that.
  std::optional<CommandOutcome> AskNode(const Pending& p) {
    json req{{"ids", json::array({p.id})}};
    if (!p.subject.empty()) req["subjects"] = json::array({p.subject});
    json reply;
    if (Ask(p.node, "state", req, &reply) != Asked::kOk) return std::nullopt;
    try {
      json recorded =
          reply.contains("ids") && reply["ids"].contains(p.id) ? reply["ids"][p.id] : json();
      std::string said = recorded.is_object() ? recorded.value("state", std::string()) : "";
      if (said == "done" && p.entry >= 0 && recorded.contains("entries") &&
          p.entry < static_cast<int>(recorded["entries"].size())) {
        return recorded["entries"][p.entry].get<int>() == 0 ? CommandOutcome::kDone
                                                            : CommandOutcome::kFailed;
      }
      if (said == "done") return CommandOutcome::kDone;
      if (said == "failed" || said == "expired") return CommandOutcome::kFailed;
      if (said == "running") return std::nullopt;
      // Not known to the daemon (never received, or it restarted): the
      // node's own state decides for alarms; otherwise never done.
      if (!p.subject.empty()) {
        bool there = false, acked = false;
        for (const auto& a : reply.at("alarms")) {
          if (a.at("subject").get<std::string>() != p.subject) continue;
          there = true;
          acked = a.at("ack").get<int>() != 0;
        }
        if (!there || (p.effect == Effect::kAck && acked)) return CommandOutcome::kDone;
      }
      if (std::chrono::system_clock::now() < p.expires + kClockMargin) return std::nullopt;
      return CommandOutcome::kFailed;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  }

  void ResolvePending() {
    std::vector<Pending> open;
    {
      std::lock_guard lock(m);
      for (auto it = pending.begin(); it != pending.end();) {
        // Resolved ones are kept a while for WaitOutcome.
        if (it->second.outcome != CommandOutcome::kUnknown &&
            Steady::now() - it->second.resolvedAt > std::chrono::minutes(2)) {
          it = pending.erase(it);
          continue;
        }
        if (it->second.outcome == CommandOutcome::kUnknown &&
            Steady::now() - it->second.since < std::chrono::milliseconds(options.outcomeCheckMs)) {
          open.push_back(it->second);
        }
        ++it;
      }
    }
    for (Pending& p : open) {
      std::optional<CommandOutcome> o;
      if (ShownDone(p)) {
        o = CommandOutcome::kDone;
      } else if (std::chrono::system_clock::now() > p.expires &&
                 Steady::now() - p.lastAsked > std::chrono::seconds(1)) {
        {
          std::lock_guard lock(m);
          pending[p.key].lastAsked = Steady::now();
        }
        o = AskNode(p);
      }
      if (!o) continue;
      std::lock_guard lock(m);
      Pending& q = pending[p.key];
      q.outcome = *o;
      q.resolvedAt = Steady::now();
      outcomeCv.notify_all();
    }
  }

  std::optional<CommandOutcome> WaitOutcome(const std::string& node, char letter, int16_t number,
                                            int timeoutMs) {
    std::string subject = AlarmSubject(node, letter, number);
    auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m);
    for (;;) {
      const Pending* last = nullptr;
      for (const auto& [id, p] : pending) {
        if (p.subject == subject && (!last || p.since >= last->since)) last = &p;
      }
      if (!last) return std::nullopt;
      if (last->outcome != CommandOutcome::kUnknown) return last->outcome;
      if (outcomeCv.wait_until(lock, deadline) == std::cv_status::timeout) {
        return CommandOutcome::kUnknown;
      }
    }
  }

  bool WaitOutcomes(int timeoutMs) {
    auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock lock(m);
    return outcomeCv.wait_until(lock, deadline, [&] {
      for (const auto& [id, p] : pending) {
        if (p.outcome == CommandOutcome::kUnknown &&
            Steady::now() - p.since < std::chrono::milliseconds(options.outcomeCheckMs)) {
          return false;
        }
      }
      return true;
    });
  }

  short MarkAcknowledged(short number, char letter, const char* node,
                         unsigned short handle) override {
    try {
      if (!node) return node::kQueueBadArgument;
      if (!HasHandle(handle)) return node::kQueueNoHandle;
      SUMQMSG msg;
      if (short s = viewQueue.Find(number, letter, node, &msg)) return s;
      std::string owner(FieldText(msg.almpak.node));
      json req{{"node", owner}, {"letter", static_cast<unsigned char>(letter)}, {"number", number}};
      json reply;
      Pending p;
      p.node = owner;
      p.subject = AlarmSubject(owner, letter, number);
      p.effect = Effect::kAck;
      Asked a = Ask(owner, "ack", req, &reply, &p.id, &p.expires);
      if (a == Asked::kTimeout) {
        AddPending(std::move(p));
        return kQueueUnknown;
      }
      if (a != Asked::kOk) return QueueFailure(a, owner);
      auto st = reply.at("status").get<short>();
      if (st != 0) return st;
      // Shown at once; the stream brings the same state.
      viewQueue.Acknowledge(owner, letter, number);
      if (!reply.value("confirmed", true)) {
        AddPending(std::move(p));
        return kQueueUnknown;
      }
      return 0;
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
        json reply;
        Pending p;
        p.node = owner;
        p.subject = AlarmSubject(owner, letter, number);
        p.effect = Effect::kGone;
        Asked a = Ask(owner, "delete", req, &reply, &p.id, &p.expires);
        if (a == Asked::kTimeout) {
          AddPending(std::move(p));
          last = kQueueUnknown;
          continue;
        }
        if (a != Asked::kOk) {
          if (last != kQueueUnknown) last = QueueFailure(a, owner);
          continue;
        }
        auto st = reply.at("status").get<short>();
        if (st == 0) {
          viewQueue.DeleteByPhysicalNode(sort, number, letter, physicalNode, handle);
          if (!reply.value("confirmed", true)) {
            AddPending(std::move(p));
            return kQueueUnknown;
          }
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
      json reply;
      Asked a = Ask(target, "opmsg", req, &reply);
      if (a == Asked::kTimeout) return kQueueUnknown;
      if (a != Asked::kOk) return QueueFailure(a, target);
      // Journalled in the node's store; the journal stream takes it later
      // when it could not at once.
      return reply.at("status").get<short>();
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
        Asked asked = Asked::kTimeout;
        std::optional<GroupReply> reply;
        bool confirmed = true;
        std::string id;
        std::chrono::system_clock::time_point expires{};
      };
      std::map<std::string, Outcome> outcomes;
      for (auto& [token, r] : requests) outcomes[token];
      auto run = [&](const std::string& token) {
        const GroupRequest& r = requests[token];
        Outcome& o = outcomes[token];
        json reply;
        o.asked = Ask(r.entries.front().node, writes ? "write" : "read", GroupRequestToJson(r),
                      &reply, &o.id, &o.expires);
        if (o.asked != Asked::kOk) return;
        try {
          GroupReply parsed = GroupReplyFromJson(reply);
          if (parsed.entries.size() == r.entries.size()) o.reply = std::move(parsed);
          o.confirmed = reply.value("confirmed", true);
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
      std::vector<Pending> checks;
      {
        std::lock_guard lock(gm);
        Group* g = FindGroup(group);
        if (!g) return node::dbstatus::kBadGroup;
        for (auto& [token, o] : outcomes) {
          const std::vector<std::size_t>& idx = members[token];
          bool unknown = writes && (o.asked == Asked::kTimeout || (o.reply && !o.confirmed));
          for (std::size_t k = 0; k < idx.size() && idx[k] < g->entries.size(); ++k) {
            Entry& e = g->entries[idx[k]];
            if (!o.reply) {
              e.status = o.asked == Asked::kOk ? netstatus::kBadReply
                         : unknown             ? netstatus::kUnknownOutcome
                                               : EntryFailure(o.asked, e.node);
              e.value.reset();
            } else {
              const GroupEntryResult& res = o.reply->entries[k];
              e.status = res.status;
              e.value = res.value;
              if (res.vsp) e.vsp = res.vsp;
              // Daemons before this one said "not confirmed" per entry.
              if (e.status == netstatus::kNotConfirmed || (unknown && e.status == 0 && e.put)) {
                e.status = netstatus::kUnknownOutcome;
              }
            }
            if (e.status == netstatus::kUnknownOutcome && e.put) {
              checks.push_back(WriteCheck(o.id, o.expires, e));
              checks.back().entry = static_cast<int>(k);
            }
          }
          if (o.reply) g->serials[token] = o.reply->serial;
        }
      }
      for (Pending& p : checks) AddPending(std::move(p));
      std::lock_guard lock(gm);
      Group* g = FindGroup(group);
      if (!g) return node::dbstatus::kBadGroup;
      for (const Entry& e : g->entries) {
        if (e.status != 0) return e.status;
      }
      return 0;
    } catch (...) {
      return netstatus::kBadReply;
    }
  }

  // The check of a write whose outcome is unknown: what the view shows for
  // an acknowledge (B_NALM 0) or a delete (B_DALM 1) of the tag's alarm;
  // for any write, what the node says became of the request.
  Pending WriteCheck(const std::string& id, std::chrono::system_clock::time_point expires,
                     const Entry& e) {
    Pending p;
    p.id = id;
    p.node = e.node;
    p.expires = expires;
    p.tag = e.tag;
    p.field = e.field;
    p.value = *e.put;
    p.effect = Effect::kValue;
    SUMQMSG msg{};
    if (viewQueue.FindByTagname(e.node.c_str(), e.tag.c_str(), &msg) == 0) {
      std::string owner(FieldText(msg.almpak.node));
      if (e.field == "B_NALM" && *e.put == 0) {
        p.effect = Effect::kAck;
      } else if (e.field == "B_DALM" && *e.put == 1) {
        p.effect = Effect::kGone;
      }
      if (p.effect != Effect::kValue) {
        p.node = owner;
        p.subject = AlarmSubject(owner, msg.almpak.vsp.blockType, msg.almpak.vsp.blockNumber);
      }
    }
    // Several entries of one request share its id: each its own check.
    p.key = id + "#" + e.tag + "." + e.field;
    return p;
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
  impl->url = options.connect.url;
  ConnectOptions co = options.connect;
  if (co.name.empty()) co.name = "station " + options.name;
  std::shared_ptr<Connection> c(Connection::Open(co, err).release());
  if (!c) return nullptr;
  impl->conn_ = c;
  Impl* raw = impl.get();
  impl->Listen(*c);
  // The streams may not exist yet when no daemon has started; a server
  // that cannot serve JetStream is left for the next.
  Steady::time_point deadline = Steady::now() + std::chrono::milliseconds(options.startTimeoutMs);
  std::string why;
  int failures = 0;
  while (!impl->Follow(&why)) {
    if (Steady::now() > deadline) {
      if (err) *err = why;
      return nullptr;
    }
    if (++failures % 2 == 0) {
      std::string moveWhy;
      impl->MoveServer(&moveWhy);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  impl->keeper = std::thread([raw] { raw->Keep(); });
  impl->resumer = std::thread([raw] { raw->ResumeLost(); });
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

node::SummaryQueue::ListenerToken Station::AddViewListener(
    node::SummaryQueue::EventListener listener) {
  return impl_->viewQueue.AddEventListener(std::move(listener));
}

void Station::RemoveViewListener(node::SummaryQueue::ListenerToken token) {
  impl_->viewQueue.RemoveEventListener(token);
}

StationStatus Station::Status() const {
  StationStatus s;
  std::shared_ptr<Connection> c = impl_->Conn();
  s.connected = c->Connected();
  s.server = c->ConnectedUrl();
  s.alarms = impl_->viewQueue.Size();
  s.sequence = impl_->viewQueue.SequenceNumber();
  s.applied = impl_->applied;
  s.heldSequence = impl_->heldSeq;
  s.rereads = impl_->rereads;
  s.resumes = impl_->resumes;
  std::lock_guard lock(impl_->m);
  s.complete = impl_->follower && impl_->follower->CaughtUp();
  s.confirmed = s.complete && impl_->confirmed;
  s.rereadDue = impl_->rereadWhenSettled || impl_->confirmChecks > 0;
  s.lag = impl_->follower ? impl_->follower->Lag() : 0;
  s.lastChange = impl_->lastChange;
  s.rejectedBySource = impl_->rejected;
  for (const auto& [source, n] : impl_->rejected) s.rejected += n;
  s.newerFormat = impl_->newerSubjects.size();
  s.newestMajor = impl_->newestMajor;
  for (const auto& [id, p] : impl_->pending) {
    if (p.outcome == CommandOutcome::kUnknown) ++s.unknownOutcomes;
  }
  std::set<std::string> names = impl_->nodesSeen;
  for (const auto& [token, b] : impl_->beats) names.insert(token);
  for (const std::string& token : names) {
    NodeLiveness n;
    n.node = token;
    n.stale = impl_->StaleLocked(token);
    auto it = impl_->beats.find(token);
    if (it != impl_->beats.end()) {
      const Impl::Beat& b = it->second;
      n.stopped = b.stopped;
      n.ageMs = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - b.at).count();
      n.dropped = b.dropped;
      n.unpublished = b.unpublished;
      n.wireMajor = b.major;
      n.wireMinor = b.minor;
    }
    s.nodes.push_back(n);
  }
  s.streams = impl_->streams;
  s.offlineSince = impl_->offlineSince;
  return s;
}

bool Station::NodeAlive(const std::string& node) const {
  return !impl_->Stale(node);
}

std::optional<CommandOutcome> Station::WaitOutcome(const std::string& node, char letter,
                                                   int16_t number, int timeoutMs) {
  return impl_->WaitOutcome(node, letter, number, timeoutMs);
}

bool Station::WaitOutcomes(int timeoutMs) {
  return impl_->WaitOutcomes(timeoutMs);
}

bool Station::ReadJournal(std::optional<std::chrono::system_clock::time_point> since,
                          std::optional<std::chrono::system_clock::time_point> until,
                          std::vector<JournalEntry>* out, std::string* err) {
  using SysClock = std::chrono::system_clock;
  std::mutex jm;
  std::vector<JournalEntry> got;
  Follower::From from;
  from.lastPerSubject = false;
  if (since) {
    from.sinceNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(since->time_since_epoch()).count();
  }
  std::shared_ptr<Connection> c = impl_->Conn();
  auto f = Follower::Start(
      *c, kJournalStream, kJournalSubjects,
      [&](const Follower::Delivery& d) {
        std::string token(SubjectNodeToken(d.subject, "tolvane.journal."));
        try {
          json j = ParseMessageJson(d.body);
          JournalEntry e;
          e.node = j.at("node").get<std::string>();
          if (token.empty() || NodeToken(e.node) != token) {
            impl_->Reject(d.subject, "is a journal entry of another node");
            return;
          }
          e.text = j.at("text").get<std::string>();
          e.station = j.value("station", std::string());
          e.flag = j.value("flag", 0);
          e.time = SysClock::time_point(std::chrono::duration_cast<SysClock::duration>(
              std::chrono::milliseconds(j.value("time", int64_t{0}))));
          if (until && e.time >= *until) return;
          std::lock_guard lock(jm);
          got.push_back(std::move(e));
        } catch (const std::exception&) {
          impl_->Reject(d.subject, "does not read as a journal entry");
        }
      },
      err, from);
  if (!f) return false;
  if (!f->WaitCaughtUp(30000)) {
    if (err) *err = "timed out reading the journal stream";
    return false;
  }
  f->Stop();
  std::lock_guard lock(jm);
  std::stable_sort(got.begin(), got.end(),
                   [](const JournalEntry& a, const JournalEntry& b) { return a.time < b.time; });
  *out = std::move(got);
  return true;
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
