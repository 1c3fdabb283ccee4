// The drivers against real peers on loopback: values raise, change and
// clear alarms; bad payloads, exception replies and peers that go away give
// bad-quality and communication alarms, and recovery brings values back.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "field/field_host.h"
#include "peers.h"
#include "plant/plant_node.h"
#include "plant/plant_store.h"
#include "program_runner.h"

namespace {

using namespace std::chrono;
using tolvane::field::FieldHost;
using tolvane::field::SourcesFile;
using tolvane::testing::Broker;
using tolvane::testing::ModbusServer;
namespace fs = tolvane::node::fieldstatus;
namespace plant = tolvane::plant;

constexpr int kNoAlarm = -100;

std::string TempFile(const std::string& text) {
  static int n = 0;
  auto path = std::filesystem::temp_directory_path() /
              ("tolvane-field-" + std::to_string(::getpid()) + "-" + std::to_string(++n) + ".toml");
  std::ofstream(path) << text;
  return path.string();
}

plant::Plant OneNode() {
  plant::Plant p;
  plant::PlantNode n;
  n.name = "PLANT1";
  n.physical = "PLANT1";
  n.local = true;
  p.nodes.push_back(n);
  return p;
}

// A node fed by the sources of `text`.
class Fed {
 public:
  explicit Fed(const std::string& text) : path_(TempFile(text)), plant_(OneNode()) {
    std::vector<std::string> errors;
    ok_ = tolvane::field::PreparePlant(plant_, path_, "", &file_, &errors);
    for (const auto& e : errors) ADD_FAILURE() << e;
    std::string why;
    ok_ = ok_ && plant::LoadPlant(plant_, node_, &why);
    host_ = std::make_unique<FieldHost>(node_);
    ok_ = ok_ && host_->Configure(file_, plant_, "", &why) && host_->Start(&why);
    EXPECT_TRUE(why.empty()) << why;
  }
  ~Fed() {
    host_.reset();
    std::filesystem::remove(path_);
  }
  bool ok() const { return ok_; }
  FieldHost& host() { return *host_; }
  tolvane::node::EmbeddedNode& node() { return node_; }

  int Status(const std::string& tag) {
    auto b = node_.database().FindBlock("PLANT1", tag);
    if (!b) return -200;
    SUMQMSG msg{};
    if (node_.queue().Find(b->number, b->letter, "PLANT1", &msg) != 0) return kNoAlarm;
    return msg.almpak.statusCode;
  }
  // Pumps until `tag` shows `status`; false after `wait`.
  bool WaitStatus(const std::string& tag, int status, milliseconds wait = seconds(10)) {
    return WaitFor([&] { return Status(tag) == status; }, wait);
  }
  bool WaitFor(const std::function<bool()>& done, milliseconds wait = seconds(10)) {
    auto until = steady_clock::now() + wait;
    while (steady_clock::now() < until) {
      host_->Pump(milliseconds(20));
      if (done()) return true;
    }
    return false;
  }
  bool WaitConnected(milliseconds wait = seconds(15)) {
    return WaitFor([&] { return host_->Status().drivers.at(0).connected; }, wait);
  }

 private:
  std::string path_;
  plant::Plant plant_;
  SourcesFile file_;
  tolvane::node::EmbeddedNode node_;
  std::unique_ptr<FieldHost> host_;
  bool ok_ = false;
};

std::string MqttSources(int port, const std::string& extra = "") {
  std::ostringstream o;
  o << "[[mqtt]]\nname = \"gw1\"\nurl = \"mqtt://127.0.0.1:" << port << "\"\n"
    << "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"FIC101\"\ntopic = \"plant1/FIC101/pv\"\n"
    << "value = \"/pv\"\nhi = 80.0\nlo = 20.0\ndeadband = 1.0\n"
    << "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"TI102\"\ntopic = \"plant1/TI102\"\n"
    << "hi = 100.0\nrange = [0.0, 500.0]\n"
    << extra;
  return o.str();
}

TEST(MqttSource, ValuesRaiseAndReturnBadInputIsBadQuality) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  Fed fed(MqttSources(broker.port()));
  ASSERT_TRUE(fed.ok());
  ASSERT_TRUE(fed.WaitConnected());
  struct {
    const char* topic;
    std::string payload;
    const char* tag;
    int status;
  } steps[] = {
      {"plant1/FIC101/pv", "{\"pv\": 85.5}", "FIC101", fs::kHi},
      {"plant1/FIC101/pv", "{\"pv\": 79.5}", "FIC101", fs::kHi},  // inside the deadband
      {"plant1/FIC101/pv", "{\"pv\": 50}", "FIC101", fs::kOk},    // back, not acknowledged
      {"plant1/FIC101/pv", "{\"pv\": 10}", "FIC101", fs::kLo},
      {"plant1/FIC101/pv", "not json", "FIC101", fs::kBad},
      {"plant1/FIC101/pv", "{\"pv\": \"12\"}", "FIC101", fs::kBad},
      {"plant1/FIC101/pv", "{\"pv\": 50}", "FIC101", fs::kOk},
      {"plant1/TI102", "120", "TI102", fs::kHi},
      {"plant1/TI102", "NaN", "TI102", fs::kBad},
      {"plant1/TI102", "900", "TI102", fs::kRange},  // outside the instrument's range
      {"plant1/TI102", std::string(10000, '7'), "TI102", fs::kBad},  // oversized
      {"plant1/TI102", "1e400", "TI102", fs::kRange},
      {"plant1/TI102", "60", "TI102", fs::kOk},
  };
  for (const auto& s : steps) {
    ASSERT_TRUE(broker.Publish(s.topic, s.payload)) << s.payload.substr(0, 20);
    EXPECT_TRUE(fed.WaitStatus(s.tag, s.status))
        << s.payload.substr(0, 20) << ": got " << fed.Status(s.tag);
  }
  auto st = fed.host().Status();
  EXPECT_EQ(st.drivers.at(0).bad, 6u);
  EXPECT_EQ(st.evaluator.badReadings, 6u);
}

TEST(MqttSource, BrokerGoneIsCommunicationLossAndRecovers) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  int port = broker.port();
  Fed fed(MqttSources(port));
  ASSERT_TRUE(fed.WaitConnected());
  ASSERT_TRUE(broker.Publish("plant1/TI102", "50", true));
  ASSERT_TRUE(fed.WaitFor([&] { return fed.host().Status().good >= 1; }));
  broker.Stop();
  EXPECT_TRUE(fed.WaitStatus("TI102", fs::kComm));
  EXPECT_TRUE(fed.WaitStatus("FIC101", fs::kComm));
  EXPECT_FALSE(fed.host().Status().drivers.at(0).connected);
  // The broker comes back (without the retained value: no persistence).
  ASSERT_TRUE(broker.Start(port));
  ASSERT_TRUE(fed.WaitConnected());
  ASSERT_TRUE(broker.Publish("plant1/TI102", "50"));
  EXPECT_TRUE(fed.WaitStatus("TI102", fs::kOk));
  EXPECT_EQ(fed.Status("FIC101"), fs::kComm);  // no value yet: never shown as good
  auto st = fed.host().Status();
  EXPECT_GE(st.drivers.at(0).losses, 1u);
  EXPECT_GE(st.drivers.at(0).connects, 2u);
}

TEST(MqttSource, NoBrokerAtAllIsCommunicationLoss) {
  int port = tolvane::testing::FreeLoopbackPort();
  Fed fed(MqttSources(port));
  ASSERT_TRUE(fed.ok());
  EXPECT_TRUE(fed.WaitStatus("FIC101", fs::kComm));
  EXPECT_TRUE(fed.WaitStatus("TI102", fs::kComm));
}

TEST(MqttSource, StaleValueIsCommunicationLoss) {
  Broker broker;
  ASSERT_TRUE(broker.Start());
  Fed fed(
      MqttSources(broker.port(),
                  "[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"LI103\"\ntopic = \"plant1/LI103\"\n"
                  "stale_after = \"300ms\"\nhi = 10.0\n"));
  ASSERT_TRUE(fed.WaitConnected());
  ASSERT_TRUE(broker.Publish("plant1/LI103", "5"));
  EXPECT_TRUE(fed.WaitStatus("LI103", fs::kComm));
  ASSERT_TRUE(broker.Publish("plant1/LI103", "5"));
  EXPECT_TRUE(fed.WaitStatus("LI103", fs::kOk));
}

// mqtts with the broker's CA, and a user whose password is in a file; a
// wrong password never connects and says why.
TEST(MqttSource, TlsAndAPasswordFile) {
  tolvane::testing::TempDir dir;
  auto f = [&](const char* name) { return (dir / name).string(); };
  using tolvane::testing::RunToEnd;
  ASSERT_TRUE(RunToEnd({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=test CA", "-keyout", f("ca.key"), "-out", f("ca.pem")}));
  ASSERT_TRUE(RunToEnd({"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                        "-keyout", f("server.key"), "-out", f("server.csr")}));
  std::ofstream(f("san.ext")) << "subjectAltName=IP:127.0.0.1\n";
  ASSERT_TRUE(RunToEnd({"openssl", "x509", "-req", "-in", f("server.csr"), "-CA", f("ca.pem"),
                        "-CAkey", f("ca.key"), "-CAcreateserial", "-days", "2", "-extfile",
                        f("san.ext"), "-out", f("server.pem")}));
  ASSERT_TRUE(RunToEnd({"mosquitto_passwd", "-b", "-c", f("passwd"), "tolvane", "s3cret"}));
  std::ofstream(f("good")) << "s3cret\n";
  std::ofstream(f("bad")) << "guess\n";
  Broker broker;
  ASSERT_TRUE(broker.Start(0, "cafile " + f("ca.pem") + "\ncertfile " + f("server.pem") +
                                  "\nkeyfile " + f("server.key") + "\nallow_anonymous false\n" +
                                  "password_file " + f("passwd") +
                                  // Started by root, mosquitto would drop to a user who
                                  // cannot read the test's private directory.
                                  "\nuser root\n"));
  broker.clientOptions = {"--cafile", f("ca.pem"), "-u", "tolvane", "-P", "s3cret"};
  auto sources = [&](const std::string& password) {
    return "[[mqtt]]\nname = \"gw1\"\nurl = \"mqtts://127.0.0.1:" + std::to_string(broker.port()) +
           "\"\nca = \"" + f("ca.pem") + "\"\nusername = \"tolvane\"\npassword_file = \"" +
           f(password.c_str()) + "\"\n[[mqtt.point]]\nnode = \"PLANT1\"\ntag = \"TI102\"\n" +
           "topic = \"plant1/TI102\"\nhi = 100.0\n";
  };
  {
    Fed fed(sources("good"));
    ASSERT_TRUE(fed.WaitConnected());
    ASSERT_TRUE(broker.Publish("plant1/TI102", "120"));
    EXPECT_TRUE(fed.WaitStatus("TI102", fs::kHi));
  }
  Fed refused(sources("bad"));
  EXPECT_TRUE(refused.WaitStatus("TI102", fs::kComm));
  auto d = refused.host().Status().drivers.at(0);
  EXPECT_FALSE(d.connected);
  EXPECT_EQ(d.connects, 0u);
  EXPECT_FALSE(d.lastError.empty());
}

std::string ModbusSources(int port) {
  std::ostringstream o;
  o << "[[modbus]]\nname = \"plc1\"\nport = " << port << "\npoll = \"100ms\"\ntimeout = \"500ms\"\n"
    << "[[modbus.point]]\nnode = \"PLANT1\"\ntag = \"TI201\"\nregister = \"holding:0\"\n"
    << "type = \"float32\"\nhi = 150.0\nhihi = 180.0\ndeadband = 2.0\n"
    << "[[modbus.point]]\nnode = \"PLANT1\"\ntag = \"PI202\"\nregister = \"input:10\"\n"
    << "type = \"int16\"\nscale = 0.1\nlo = -5.0\n"
    << "[[modbus.point]]\nnode = \"PLANT1\"\ntag = \"XS301\"\nregister = \"discrete:12\"\n"
    << "alarm_when = true\n"
    << "[[modbus.point]]\nnode = \"PLANT1\"\ntag = \"ZZ999\"\nregister = \"holding:5000\"\n";
  return o.str();
}

TEST(ModbusSource, RegistersRaiseAndClearAnExceptionIsADeviceAlarm) {
  ModbusServer server;
  ASSERT_TRUE(server.Start(0, 1000));
  Fed fed(ModbusSources(server.port()));
  ASSERT_TRUE(fed.ok());
  // Past the server's registers: it answers with an exception.
  EXPECT_TRUE(fed.WaitStatus("ZZ999", fs::kDevice));
  struct {
    std::string command;
    const char* tag;
    int status;
  } steps[] = {
      {"float holding 0 160.5", "TI201", fs::kHi},
      {"float holding 0 181", "TI201", fs::kHiHi},
      {"float holding 0 179", "TI201", fs::kHiHi},  // inside the deadband
      {"float holding 0 20", "TI201", fs::kOk},
      {"set input 10 65486", "PI202", fs::kLo},  // -50 * 0.1
      {"set input 10 0", "PI202", fs::kOk},
      {"set discrete 12 1", "XS301", fs::kCos},
      {"set discrete 12 0", "XS301", fs::kOk},
  };
  for (const auto& s : steps) {
    ASSERT_TRUE(server.Command(s.command)) << s.command;
    EXPECT_TRUE(fed.WaitStatus(s.tag, s.status)) << s.command << ": got " << fed.Status(s.tag);
  }
  auto st = fed.host().Status();
  EXPECT_GE(st.drivers.at(0).exceptions, 1u);
  // Three requests a poll: holding 0..1, input 10, discrete 12; 5000 is a fourth.
  EXPECT_EQ(st.drivers.size(), 1u);
}

TEST(ModbusSource, ServerGoneIsCommunicationLossAndRecovers) {
  ModbusServer server;
  ASSERT_TRUE(server.Start(0, 1000));
  int port = server.port();
  Fed fed(ModbusSources(port));
  ASSERT_TRUE(server.Command("float holding 0 20"));
  ASSERT_TRUE(fed.WaitFor([&] { return fed.host().Status().good >= 3; }));
  server.Stop();
  EXPECT_TRUE(fed.WaitStatus("TI201", fs::kComm));
  EXPECT_TRUE(fed.WaitStatus("XS301", fs::kComm));
  ModbusServer again;
  ASSERT_TRUE(again.Start(port, 1000));
  ASSERT_TRUE(again.Command("float holding 0 20"));
  EXPECT_TRUE(fed.WaitStatus("TI201", fs::kOk, seconds(20)));
  EXPECT_TRUE(fed.WaitStatus("XS301", fs::kOk));
  EXPECT_GE(fed.host().Status().drivers.at(0).connects, 2u);
}

TEST(ModbusSource, AServerThatStopsAnsweringTimesOut) {
  ModbusServer server;
  ASSERT_TRUE(server.Start(0, 1000));
  Fed fed(ModbusSources(server.port()));
  ASSERT_TRUE(server.Command("float holding 0 20"));
  ASSERT_TRUE(fed.WaitStatus("TI201", kNoAlarm));
  ASSERT_TRUE(fed.WaitFor([&] { return fed.host().Status().good >= 3; }));
  server.Freeze(true);
  EXPECT_TRUE(fed.WaitStatus("TI201", fs::kComm));
  EXPECT_GE(fed.host().Status().drivers.at(0).timeouts, 1u);
  server.Freeze(false);
  EXPECT_TRUE(fed.WaitStatus("TI201", fs::kOk, seconds(20)));
}

TEST(ModbusSource, AFloodOfTenThousandAlarmsIsWhole) {
  constexpr int kPoints = 10000;
  ModbusServer server;
  ASSERT_TRUE(server.Start(0, kPoints));
  std::ostringstream o;
  o << "[[modbus]]\nname = \"plc1\"\nport = " << server.port()
    << "\npoll = \"200ms\"\ntimeout = \"2s\"\n";
  for (int i = 0; i < kPoints; ++i) {
    o << "[[modbus.point]]\nnode = \"PLANT1\"\ntag = \"T" << i << "\"\nregister = \"holding:" << i
      << "\"\nhi = 100\n";
  }
  Fed fed(o.str());
  ASSERT_TRUE(fed.ok());
  ASSERT_TRUE(fed.WaitFor([&] { return fed.host().Status().good == kPoints; }, seconds(30)));
  EXPECT_EQ(fed.node().queue().Size(), 0u);
  std::string all = "set holding 0";
  for (int i = 0; i < kPoints; ++i) all += " 200";
  ASSERT_TRUE(server.Command(all));
  EXPECT_TRUE(fed.WaitFor([&] { return fed.node().queue().Size() == kPoints; }, seconds(30)));
  EXPECT_EQ(fed.host().Status().evaluator.raised, static_cast<uint64_t>(kPoints));
  EXPECT_EQ(fed.host().Status().inAlarm, static_cast<std::size_t>(kPoints));
}

TEST(FieldStore, ARestartKeepsAlarmStates) {
  auto dir = std::filesystem::temp_directory_path() /
             ("tolvane-field-store-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string db = (dir / "plant.db").string();
  plant::StoreError err;
  ASSERT_TRUE(plant::PlantStore::Create(db, OneNode(), true, &err)) << err.message;
  // Nothing listens on this port: the points are fed by hand here.
  std::string sources = TempFile(MqttSources(tolvane::testing::FreeLoopbackPort()));
  auto run = [&](const std::function<void(tolvane::field::FieldHost&,
                                          tolvane::node::EmbeddedNode&)>& body) {
    auto store = plant::PlantStore::Open(db, &err);
    ASSERT_TRUE(store) << err.message;
    SourcesFile file;
    plant::Plant p;
    std::vector<std::string> errors;
    ASSERT_TRUE(tolvane::field::PrepareStore(*store, sources, "", &file, &p, &errors));
    tolvane::node::EmbeddedNode node;
    ASSERT_TRUE(store->Begin(false, &err) && store->Load(node, plant::Clock::now(), &err) &&
                store->Commit(&err));
    FieldHost host(node);
    std::string why;
    ASSERT_TRUE(host.Configure(file, p, "", &why)) << why;
    body(host, node);
    ASSERT_TRUE(store->Begin(true, &err) && store->Commit(&err)) << err.message;
    store->Detach();
  };
  auto status = [](tolvane::node::EmbeddedNode& node, const char* tag, bool* acked) {
    auto b = node.database().FindBlock("PLANT1", tag);
    SUMQMSG msg{};
    if (!b || node.queue().Find(b->number, b->letter, "PLANT1", &msg) != 0) return kNoAlarm;
    *acked = msg.ackFlag != 0;
    return static_cast<int>(msg.almpak.statusCode);
  };
  auto now = plant::Clock::now();
  run([&](FieldHost& host, tolvane::node::EmbeddedNode& node) {
    host.evaluator()->Value(0, 90, now);   // FIC101 HI
    host.evaluator()->Value(1, 150, now);  // TI102 HI
    host.evaluator()->Value(1, 50, now);   // ... and back, unacknowledged
    node.queue().Acknowledge("PLANT1", 'A', node.database().FindBlock("PLANT1", "FIC101")->number);
  });
  run([&](FieldHost& host, tolvane::node::EmbeddedNode& node) {
    bool acked = false;
    EXPECT_EQ(status(node, "FIC101", &acked), fs::kHi);
    EXPECT_TRUE(acked);
    EXPECT_EQ(status(node, "TI102", &acked), fs::kOk);
    EXPECT_FALSE(acked);
    host.evaluator()->Value(0, 88, now);  // still HI: not raised again
    EXPECT_EQ(host.Status().evaluator.raised, 0u);
    EXPECT_EQ(status(node, "FIC101", &acked), fs::kHi);
    EXPECT_TRUE(acked);
  });
  std::filesystem::remove_all(dir);
  std::filesystem::remove(sources);
}

}  // namespace
