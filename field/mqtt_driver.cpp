#include "field/mqtt_driver.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>

namespace tolvane::field {
namespace {

using node::Clock;
using node::FieldQuality;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string ReadSecret(const std::string& path, bool* ok) {
  std::ifstream in(path);
  std::string line;
  *ok = static_cast<bool>(std::getline(in, line));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  return line;
}

}  // namespace

MqttDriver::MqttDriver(const MqttSource& source, std::size_t first, Inbox& inbox)
    : source_(source), first_(first), inbox_(inbox) {
  for (std::size_t i = 0; i < source_.points.size(); ++i) {
    byTopic_[source_.points[i].topic].push_back(i);
  }
}

MqttDriver::~MqttDriver() {
  Stop();
}

bool MqttDriver::Start(std::string* err) {
  InitLibrary();
  std::string id = source_.clientId.empty()
                       ? "tolvane-" + source_.name + "-" + std::to_string(::getpid())
                       : source_.clientId;
  mosq_ = mosquitto_new(id.c_str(), true, this);
  if (!mosq_) {
    *err = "mqtt " + source_.name + ": cannot make a client";
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (source_.tls) {
    int rc = mosquitto_tls_set(mosq_, source_.ca.empty() ? nullptr : source_.ca.c_str(), nullptr,
                               source_.cert.empty() ? nullptr : source_.cert.c_str(),
                               source_.key.empty() ? nullptr : source_.key.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *err = "mqtt " + source_.name + ": TLS files: " + mosquitto_strerror(rc);
      return false;
    }
  }
  if (!source_.username.empty()) {
    bool ok = true;
    std::string password;
    if (!source_.passwordFile.empty()) {
      password = ReadSecret(source_.passwordFile, &ok);
      if (!ok) {
        *err = "mqtt " + source_.name + ": cannot read " + source_.passwordFile;
        return false;
      }
    }
    mosquitto_username_pw_set(mosq_, source_.username.c_str(),
                              source_.passwordFile.empty() ? nullptr : password.c_str());
  }
  mosquitto_connect_callback_set(
      mosq_, [](mosquitto*, void* self, int rc) { static_cast<MqttDriver*>(self)->OnConnect(rc); });
  mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<MqttDriver*>(self)->OnMessage(m);
  });
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
  return true;
}

void MqttDriver::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (mosq_) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
  }
}

void MqttDriver::AllLost(const std::string& why) {
  SetError(why);
  std::vector<Sample> lost;
  auto now = Clock::now();
  for (std::size_t i = 0; i < source_.points.size(); ++i) {
    lost.push_back({first_ + i, {FieldQuality::kComm, 0}, now});
  }
  inbox_.PushAll(lost);
}

// Runs the client on this thread: connecting, reading and reconnecting are
// ours to pace, so a stop is never stuck behind the library's back-off.
void MqttDriver::Run() {
  using namespace std::chrono;
  milliseconds backoff(250);
  bool reported = false;  // this outage's communication loss is told
  bool everConnected = false;
  auto outageStart = steady_clock::now();
  // A broker never reached is told after a short grace, so that a start
  // does not flash communication alarms while it connects.
  auto graceOver = [&] {
    if (!reported && steady_clock::now() - outageStart > seconds(2)) {
      ++counters_.losses;
      AllLost(lastError().empty() ? "no connection" : lastError());
      reported = true;
    }
  };
  while (!stop_) {
    int rc = everConnected
                 ? mosquitto_reconnect(mosq_)
                 : mosquitto_connect(mosq_, source_.host.c_str(), source_.port, source_.keepalive);
    if (rc == MOSQ_ERR_SUCCESS) {
      everConnected = true;
      // Read until the link fails or we stop; the connect callback marks it up.
      while (!stop_ && rc == MOSQ_ERR_SUCCESS) rc = mosquitto_loop(mosq_, 50, 1);
      if (stop_) {
        mosquitto_disconnect(mosq_);
        mosquitto_loop(mosq_, 10, 1);
        break;
      }
    }
    std::string why = rc == MOSQ_ERR_ERRNO ? std::string(strerror(errno)) : mosquitto_strerror(rc);
    SetError(why);
    if (connected_.exchange(false)) {
      // A broker that goes away: at once.
      ++counters_.losses;
      AllLost(why);
      reported = true;
      backoff = milliseconds(250);
    }
    graceOver();
    for (auto until = steady_clock::now() + backoff; !stop_ && steady_clock::now() < until;) {
      std::this_thread::sleep_for(milliseconds(20));
      graceOver();
    }
    backoff = std::min(backoff * 2, milliseconds(10000));
  }
  connected_ = false;
}

std::string MqttDriver::lastError() const {
  std::lock_guard lock(errorMutex_);
  return lastError_;
}

void MqttDriver::SetError(const std::string& why) {
  std::lock_guard lock(errorMutex_);
  lastError_ = why;
}

void MqttDriver::OnConnect(int rc) {
  if (rc != 0) {
    std::lock_guard lock(errorMutex_);
    lastError_ = mosquitto_connack_string(rc);
    return;
  }
  connected_ = true;
  ++counters_.connects;
  SetError("");
  for (const auto& [topic, points] : byTopic_) {
    mosquitto_subscribe(mosq_, nullptr, topic.c_str(), source_.qos);
  }
}

void MqttDriver::OnMessage(const mosquitto_message* msg) {
  if (!msg || !msg->topic) return;
  auto it = byTopic_.find(msg->topic);
  if (it == byTopic_.end()) return;
  auto now = Clock::now();
  std::string_view payload(
      static_cast<const char*>(msg->payload),
      msg->payload ? static_cast<std::size_t>(std::max(0, msg->payloadlen)) : 0);
  std::vector<Sample> out;
  for (std::size_t i : it->second) {
    Reading r = ReadPayload(payload, source_.points[i], source_.maxPayload);
    ++counters_.readings;
    if (r.quality != FieldQuality::kGood) ++counters_.bad;
    out.push_back({first_ + i, r, now});
  }
  inbox_.PushAll(out);
}

DriverStatus MqttDriver::Status() const {
  DriverStatus s;
  s.kind = "mqtt";
  s.name = source_.name;
  s.peer = source_.host + ":" + std::to_string(source_.port);
  s.connected = connected_;
  {
    std::lock_guard lock(errorMutex_);
    s.lastError = lastError_;
  }
  CopyCounters(counters_, &s);
  return s;
}

}  // namespace tolvane::field
