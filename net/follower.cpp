#include "net/follower.h"

#include <algorithm>
#include <thread>
#include <unordered_map>

namespace tolvane::nats {

namespace {

// A subject under the connection's own inbox prefix, unique to this process.
std::string NewInbox(const std::string& prefix) {
  natsInbox* inbox = nullptr;
  natsInbox_Create(&inbox);
  std::string unique = inbox ? inbox : "";
  natsInbox_Destroy(inbox);
  // The library's inbox is "_INBOX.<id>": only the id is ours to reuse.
  std::size_t dot = unique.rfind('.');
  return prefix + "." + (dot == std::string::npos ? unique : unique.substr(dot + 1));
}

// Subscriptions whose missed heartbeats a follower wants to hear of. Keyed
// by the library's handle, removed before the handle is destroyed.
std::mutex watchedM;
std::unordered_map<natsSubscription*, std::atomic<bool>*> watched;

void Watch(natsSubscription* sub, std::atomic<bool>* flag) {
  std::lock_guard lock(watchedM);
  watched[sub] = flag;
}

void Unwatch(natsSubscription* sub) {
  std::lock_guard lock(watchedM);
  watched.erase(sub);
}

}  // namespace

void NoteMissedHeartbeats(natsSubscription* sub) {
  std::lock_guard lock(watchedM);
  auto it = watched.find(sub);
  if (it != watched.end()) it->second->store(true);
}

std::unique_ptr<Follower> Follower::Start(Connection& conn, const std::string& stream,
                                          const std::string& filter, Handler handler,
                                          std::string* err, From from) {
  std::unique_ptr<Follower> f(new Follower());
  f->handler_ = std::move(handler);
  f->nc_ = conn.nc();
  f->js_ = conn.js();
  f->stream_ = stream;
  f->inboxPrefix_ = conn.inboxPrefix();
  const std::string deliver = NewInbox(conn.inboxPrefix());
  jsConsumerConfig cc;
  jsConsumerConfig_Init(&cc);
  f->lastPerSubject_ = from.lastPerSubject;
  if (from.lastPerSubject) {
    cc.DeliverPolicy = js_DeliverLastPerSubject;
  } else if (from.startSequence > 0) {
    cc.DeliverPolicy = js_DeliverByStartSequence;
    cc.OptStartSeq = from.startSequence;
    // What came before the start is held already.
    f->lastSequence_ = from.startSequence - 1;
  } else if (from.sinceNs > 0) {
    cc.DeliverPolicy = js_DeliverByStartTime;
    cc.OptStartTime = from.sinceNs;
  } else {
    cc.DeliverPolicy = js_DeliverAll;
  }
  cc.AckPolicy = js_AckNone;
  cc.FilterSubject = filter.c_str();
  cc.DeliverSubject = deliver.c_str();
  cc.FlowControl = true;
  cc.Heartbeat = 1'000'000'000;  // 1 s: a gap or a lost consumer is noticed soon
  // Ours alone and cheap to make again: one replica in memory, gone 10 s
  // after nobody listens (a station that died, or one we let go of).
  cc.MemoryStorage = true;
  cc.Replicas = 1;
  cc.InactiveThreshold = 10'000'000'000;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  // Short: a lost server may have held the cluster's metadata, and the
  // caller tries again sooner than the library's 5 s default would.
  jsOptions jo;
  jsOptions_Init(&jo);
  jo.Wait = 2500;
  jsConsumerInfo* made = nullptr;
  natsStatus s = js_AddConsumer(&made, conn.js(), stream.c_str(), &cc, &jo, &jerr);
  if (s != NATS_OK || !made || !made->Name) {
    if (made) jsConsumerInfo_Destroy(made);
    if (err) {
      *err = "cannot follow " + filter + ": " + StatusText(s) + LastError(conn);
    }
    return nullptr;
  }
  f->consumer_ = made->Name;
  jsConsumerInfo_Destroy(made);
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Stream = stream.c_str();
  so.Consumer = f->consumer_.c_str();
  // Binding checks what is asked against what the consumer is.
  so.Config.MemoryStorage = true;
  so.Config.Replicas = 1;
  s = js_Subscribe(&f->sub_, conn.js(), filter.c_str(), &Follower::OnMessage, f.get(), nullptr, &so,
                   &jerr);
  if (s != NATS_OK) {
    if (err) {
      *err = "cannot follow " + filter + ": " + StatusText(s) + LastError(conn);
    }
    f->sub_ = nullptr;
    f->stopped_ = true;
    f->DeleteConsumer();
    return nullptr;
  }
  natsSubscription_SetPendingLimits(f->sub_, -1, -1);
  Watch(f->sub_, &f->missed_);
  jsConsumerInfo* ci = nullptr;
  s = js_GetConsumerInfo(&ci, f->js_, stream.c_str(), f->consumer_.c_str(), nullptr, &jerr);
  std::lock_guard lock(f->m_);
  if (s == NATS_OK && ci) {
    if (ci->NumPending == 0 && f->received_ >= ci->Delivered.Consumer) f->caughtUp_ = true;
    if (!f->caughtUp_) f->lag_ = ci->NumPending;
    jsConsumerInfo_Destroy(ci);
  }
  f->cv_.notify_all();
  return f;
}

Follower::~Follower() {
  Stop();
  if (sub_) natsSubscription_Destroy(sub_);
}

void Follower::Stop() {
  if (stopped_.exchange(true)) return;
  if (sub_) {
    Unwatch(sub_);
    natsSubscription_Unsubscribe(sub_);
  }
  while (inHandler_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  DeleteConsumer();
}

// Asks the server to let the consumer go without waiting for its answer: a
// stalled server must not hold the station up, and the consumer goes by
// itself once nobody listens.
void Follower::DeleteConsumer() {
  if (consumer_.empty() || !nc_ || deleted_.exchange(true)) return;
  const std::string subject = "$JS.API.CONSUMER.DELETE." + stream_ + "." + consumer_;
  natsConnection_PublishRequest(nc_, subject.c_str(), NewInbox(inboxPrefix_).c_str(), nullptr, 0);
}

namespace {

// Questions to the consumer's server: short, so that a stalled one is
// noticed at the station's next check rather than after the default wait.
jsOptions ShortWait() {
  jsOptions jo;
  jsOptions_Init(&jo);
  jo.Wait = 1500;
  return jo;
}

}  // namespace

bool Follower::Alive() const {
  jsConsumerInfo* ci = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  jsOptions jo = ShortWait();
  natsStatus s = js_GetConsumerInfo(&ci, js_, stream_.c_str(), consumer_.c_str(), &jo, &jerr);
  if (ci) jsConsumerInfo_Destroy(ci);
  if (s == NATS_OK) {
    unanswered_ = 0;
    return true;
  }
  if (s == NATS_NOT_FOUND || jerr == JSConsumerNotFoundErr) return false;
  // One slow answer is a busy server, not a lost consumer.
  return ++unanswered_ < 3;
}

bool Follower::Broken() const {
  jsConsumerSequenceMismatch csm;
  // Heartbeats carry the server's last consumer sequence: the library
  // keeps a mismatch it saw for us to ask.
  if (sub_ && natsSubscription_GetSequenceMismatch(&csm, sub_) == NATS_OK) return true;
  std::lock_guard lock(m_);
  return gap_;
}

bool Follower::Check(uint64_t* pending, uint64_t* delivered) const {
  jsConsumerInfo* ci = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  jsOptions jo = ShortWait();
  if (js_GetConsumerInfo(&ci, js_, stream_.c_str(), consumer_.c_str(), &jo, &jerr) != NATS_OK ||
      !ci) {
    return false;
  }
  *pending = ci->NumPending;
  *delivered = ci->Delivered.Stream;
  jsConsumerInfo_Destroy(ci);
  return true;
}

void Follower::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* self) {
  auto* f = static_cast<Follower*>(self);
  ++f->inHandler_;
  if (f->stopped_) {
    natsMsg_Destroy(msg);
    --f->inHandler_;
    return;
  }
  jsMsgMetaData* meta = nullptr;
  Delivery d;
  uint64_t consumerSequence = 0;
  if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
    d.pending = meta->NumPending;
    d.sequence = meta->Sequence.Stream;
    d.timeNs = meta->Timestamp;
    consumerSequence = meta->Sequence.Consumer;
    jsMsgMetaData_Destroy(meta);
  }
  d.subject = natsMsg_GetSubject(msg);
  d.body =
      std::string_view(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  f->handler_(d);
  uint64_t pending = d.pending;
  natsMsg_Destroy(msg);
  std::lock_guard lock(f->m_);
  // Without acks nothing is sent again: a skipped number is a lost message.
  if (consumerSequence != 0 && consumerSequence != f->lastConsumerSequence_ + 1 && !f->gap_) {
    f->gap_ = true;
    f->beforeGap_ = f->lastSequence_;
  }
  if (consumerSequence != 0) f->lastConsumerSequence_ = consumerSequence;
  ++f->received_;
  f->lastSequence_ = std::max(f->lastSequence_, d.sequence);
  f->lag_ = pending;
  if (pending == 0 && !f->caughtUp_) {
    f->caughtUp_ = true;
    f->cv_.notify_all();
  }
  --f->inHandler_;
}

bool Follower::CaughtUp() const {
  std::lock_guard lock(m_);
  return caughtUp_;
}

bool Follower::WaitCaughtUp(int timeoutMs) {
  std::unique_lock lock(m_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return caughtUp_; });
}

uint64_t Follower::Lag() const {
  std::lock_guard lock(m_);
  return lag_;
}

uint64_t Follower::LastSequence() const {
  std::lock_guard lock(m_);
  return lastSequence_;
}

uint64_t Follower::ResumeAfter() const {
  std::lock_guard lock(m_);
  return gap_ ? beforeGap_ : lastSequence_;
}

uint64_t Follower::Received() const {
  std::lock_guard lock(m_);
  return received_;
}

}  // namespace tolvane::nats
