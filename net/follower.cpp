#include "net/follower.h"

#include <algorithm>
#include <thread>

namespace tolvane::nats {

std::unique_ptr<Follower> Follower::Start(Connection& conn, const std::string& stream,
                                          const std::string& filter, Handler handler,
                                          std::string* err, From from) {
  std::unique_ptr<Follower> f(new Follower());
  f->handler_ = std::move(handler);
  jsSubOptions so;
  jsSubOptions_Init(&so);
  so.Stream = stream.c_str();
  so.Ordered = true;
  if (from.lastPerSubject) {
    so.Config.DeliverPolicy = js_DeliverLastPerSubject;
  } else if (from.sinceNs > 0) {
    so.Config.DeliverPolicy = js_DeliverByStartTime;
    so.Config.OptStartTime = from.sinceNs;
  } else {
    so.Config.DeliverPolicy = js_DeliverAll;
  }
  so.Config.Heartbeat = 1'000'000'000;  // 1 s: a lost consumer is noticed soon
  jsErrCode jerr = static_cast<jsErrCode>(0);
  natsStatus s = js_Subscribe(&f->sub_, conn.js(), filter.c_str(), &Follower::OnMessage, f.get(),
                              nullptr, &so, &jerr);
  if (s != NATS_OK) {
    if (err) {
      *err = "cannot follow " + filter + ": " + StatusText(s);
      const char* last = nullptr;
      natsConnection_GetLastError(conn.nc(), &last);
      if (last && *last) *err += " (" + std::string(last) + ")";
    }
    return nullptr;
  }
  natsSubscription_SetPendingLimits(f->sub_, -1, -1);
  jsConsumerInfo* ci = nullptr;
  s = natsSubscription_GetConsumerInfo(&ci, f->sub_, nullptr, &jerr);
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
  if (sub_) natsSubscription_Unsubscribe(sub_);
  while (inHandler_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool Follower::Alive() const {
  jsConsumerInfo* ci = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  natsStatus s = natsSubscription_GetConsumerInfo(&ci, sub_, nullptr, &jerr);
  if (ci) jsConsumerInfo_Destroy(ci);
  // Only a definite "no such consumer" counts: a slow server is not a lost one.
  return !(s == NATS_NOT_FOUND || jerr == JSConsumerNotFoundErr);
}

bool Follower::Check(uint64_t* pending, uint64_t* delivered) const {
  jsConsumerInfo* ci = nullptr;
  jsErrCode jerr = static_cast<jsErrCode>(0);
  if (natsSubscription_GetConsumerInfo(&ci, sub_, nullptr, &jerr) != NATS_OK || !ci) return false;
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
  if (natsMsg_GetMetaData(&meta, msg) == NATS_OK) {
    d.pending = meta->NumPending;
    d.sequence = meta->Sequence.Stream;
    d.timeNs = meta->Timestamp;
    jsMsgMetaData_Destroy(meta);
  }
  d.subject = natsMsg_GetSubject(msg);
  d.body =
      std::string_view(natsMsg_GetData(msg), static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
  f->handler_(d);
  uint64_t pending = d.pending;
  natsMsg_Destroy(msg);
  std::lock_guard lock(f->m_);
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

uint64_t Follower::Received() const {
  std::lock_guard lock(m_);
  return received_;
}

}  // namespace tolvane::nats
