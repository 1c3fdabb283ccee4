#include "field/sources.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tolvane::field::ParseFieldDuration;
using tolvane::field::ParseSources;
using tolvane::field::SourceError;
using tolvane::field::SourcesFile;
using tolvane::field::Table;
using tolvane::field::ValueType;
using tolvane::node::FieldCondition;

// The plant of the sources-file documentation, written by hand.
const char* kPlant = R"(
[[mqtt]]
name = "gw1"
url = "mqtt://127.0.0.1:1883"
[[mqtt.point]]
node = "PLANT1"
tag = "FIC101"
description = "FEED FLOW"
areas = ["FEED"]
topic = "plant1/FIC101/pv"
value = "/pv"
hihi = 95.0
hi = 80.0
lo = 20.0
lolo = 5.0
deadband = 1.0
on_delay = "2s"
off_delay = "5s"
priority = { hihi = "CRITICAL", hi = "HIGH", lo = "HIGH", lolo = "CRITICAL" }
stale_after = "10s"
[[modbus]]
name = "plc1"
host = "127.0.0.1"
port = 5020
unit = 1
poll = "500ms"
timeout = "1s"
[[modbus.point]]
node = "PLANT1"
tag = "TI201"
description = "REACTOR TEMPERATURE"
areas = ["REACTOR"]
register = "input:30"
type = "float32"
word_order = "big"
scale = 1.0
offset = 0.0
hi = 150.0
hihi = 180.0
deadband = 2.0
[[modbus.point]]
node = "PLANT1"
tag = "XS301"
description = "PUMP P-301 TRIP"
register = "discrete:12"
alarm_when = true
priority = "HIGH"
)";

TEST(SourcesFile, ReadsAPlantWrittenByHand) {
  SourcesFile f;
  std::vector<SourceError> errors;
  ASSERT_TRUE(ParseSources(kPlant, &f, &errors)) << (errors.empty() ? "" : errors[0].message);
  ASSERT_EQ(f.mqtt.size(), 1u);
  ASSERT_EQ(f.modbus.size(), 1u);
  const auto& m = f.mqtt[0];
  EXPECT_EQ(m.host, "127.0.0.1");
  EXPECT_EQ(m.port, 1883);
  EXPECT_FALSE(m.tls);
  ASSERT_EQ(m.points.size(), 1u);
  const auto& fic = m.points[0];
  EXPECT_EQ(fic.topic, "plant1/FIC101/pv");
  EXPECT_EQ(fic.jsonPointer, "/pv");
  EXPECT_EQ(fic.eval.onDelay, 2s);
  EXPECT_EQ(fic.eval.offDelay, 5s);
  EXPECT_EQ(fic.eval.staleAfter, 10s);
  EXPECT_EQ(fic.eval.priority[static_cast<int>(FieldCondition::kHiHi)], 3);
  EXPECT_EQ(fic.eval.priority[static_cast<int>(FieldCondition::kHi)], 5);
  EXPECT_EQ(fic.eval.letter, 'A');
  EXPECT_EQ(fic.line, 5);
  const auto& plc = f.modbus[0];
  EXPECT_EQ(plc.port, 5020);
  EXPECT_EQ(plc.poll, 500ms);
  ASSERT_EQ(plc.points.size(), 2u);
  EXPECT_EQ(plc.points[0].table, Table::kInput);
  EXPECT_EQ(plc.points[0].address, 30);
  EXPECT_EQ(plc.points[0].type, ValueType::kFloat32);
  EXPECT_TRUE(plc.points[1].eval.digital);
  EXPECT_EQ(plc.points[1].eval.letter, 'D');
  EXPECT_EQ(plc.points[1].type, ValueType::kBool);
  EXPECT_EQ(plc.points[1].eval.priority[static_cast<int>(FieldCondition::kComm)], 5);
}

struct Refusal {
  const char* name;
  const char* text;
  int line;            // of the first error
  const char* reason;  // a part of its message
};

const char* kPoint = "[[mqtt]]\nname = \"gw\"\nurl = \"mqtt://h\"\n[[mqtt.point]]\n";

std::string WithPoint(const std::string& keys) {
  return std::string(kPoint) + "node = \"PLANT1\"\ntag = \"T1\"\ntopic = \"t\"\n" + keys;
}

class SourcesRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SourcesRefusal, SaysWhereAndWhy) {
  const Refusal& r = GetParam();
  SourcesFile f;
  std::vector<SourceError> errors;
  EXPECT_FALSE(ParseSources(r.text, &f, &errors));
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors[0].line, r.line) << errors[0].message;
  EXPECT_NE(errors[0].message.find(r.reason), std::string::npos) << errors[0].message;
  EXPECT_GT(errors[0].column, 0);
}

const std::string kUnknownKey = WithPoint("hi = 80\nhigh_limit = 3\n");
const std::string kOrder = WithPoint("hi = 80\nhihi = 70\n");
const std::string kOrderLow = WithPoint("lolo = 20\nlo = 20\n");
const std::string kTwice =
    WithPoint("") + "[[mqtt.point]]\nnode = \"plant1\"\ntag = \"t1\"\ntopic = \"u\"\n";
const std::string kNoNode = std::string(kPoint) + "tag = \"T1\"\ntopic = \"t\"\n";
const std::string kLongNode =
    std::string(kPoint) + "node = \"PLANTNINE\"\ntag = \"T1\"\ntopic = \"t\"\n";
const std::string kBadPriority = WithPoint("priority = { hihi = \"URGENT\" }\n");
const std::string kBadDuration = WithPoint("on_delay = \"soon\"\n");
const std::string kWildcard =
    std::string(kPoint) + "node = \"P\"\ntag = \"T\"\ntopic = \"a/+/b\"\n";
const std::string kDigitalLimits = WithPoint("alarm_when = true\nhi = 3\n");
const std::string kDeviationAlone = WithPoint("deviation = 3\n");
const std::string kSetpointMissing = WithPoint("deviation = 3\nsetpoint = \"SP9\"\n");
const char* kModbus = "[[modbus]]\nname = \"plc\"\n[[modbus.point]]\nnode = \"P\"\ntag = \"T\"\n";
const std::string kRegisterRange = std::string(kModbus) + "register = \"holding:70000\"\n";
const std::string kRegisterPast =
    std::string(kModbus) + "register = \"holding:65535\"\ntype = \"float32\"\n";
const std::string kRegisterSyntax = std::string(kModbus) + "register = \"h30\"\n";
const std::string kCoilType = std::string(kModbus) + "register = \"coil:3\"\ntype = \"int16\"\n";
const std::string kNoRegister = std::string(kModbus) + "type = \"int16\"\n";
const std::string kBadPort = "[[modbus]]\nname = \"plc\"\nport = 70000\n";
const std::string kTooMany = "[[modbus]]\nname = \"plc\"\nmax_registers = 200\n";
const std::string kBadUrl = "[[mqtt]]\nname = \"gw\"\nurl = \"http://h\"\n";
const std::string kTlsKeys = "[[mqtt]]\nname = \"gw\"\nurl = \"mqtt://h\"\nca = \"ca.pem\"\n";
const std::string kSameName =
    "[[mqtt]]\nname = \"a\"\nurl = \"mqtt://h\"\n[[modbus]]\nname = \"a\"\n";
const std::string kTopKey = "nodes = 3\n";

INSTANTIATE_TEST_SUITE_P(
    Refusals, SourcesRefusal,
    ::testing::Values(
        Refusal{"syntax", "[[mqtt]\nname=1\n", 1, ""},
        Refusal{"unknown key", kUnknownKey.c_str(), 9, "unknown key \"high_limit\""},
        Refusal{"limits out of order", kOrder.c_str(), 9, "limits out of order"},
        Refusal{"equal limits", kOrderLow.c_str(), 9, "limits out of order"},
        Refusal{"two points on one tag", kTwice.c_str(), 8, "two points on one tag"},
        Refusal{"a tag on no node", kNoNode.c_str(), 4, "needs node"},
        Refusal{"node name too long", kLongNode.c_str(), 5, "1 to 8 characters"},
        Refusal{"unknown priority", kBadPriority.c_str(), 8, "unknown priority"},
        Refusal{"bad duration", kBadDuration.c_str(), 8, "duration"},
        Refusal{"wildcard topic", kWildcard.c_str(), 7, "wildcards"},
        Refusal{"digital point with limits", kDigitalLimits.c_str(), 4, "digital"},
        Refusal{"deviation without setpoint", kDeviationAlone.c_str(), 8, "needs setpoint"},
        Refusal{"setpoint on no point", kSetpointMissing.c_str(), 4, "no point"},
        Refusal{"register past 65535", kRegisterRange.c_str(), 6, "out of range"},
        Refusal{"32-bit register past the end", kRegisterPast.c_str(), 6, "out of range"},
        Refusal{"register syntax", kRegisterSyntax.c_str(), 6, "TABLE:ADDRESS"},
        Refusal{"coil of int16", kCoilType.c_str(), 7, "one bit"},
        Refusal{"modbus point without register", kNoRegister.c_str(), 3, "needs register"},
        Refusal{"port out of range", kBadPort.c_str(), 3, "1..65535"},
        Refusal{"too many registers a request", kTooMany.c_str(), 3, "1..125"},
        Refusal{"url scheme", kBadUrl.c_str(), 3, "mqtt://"},
        Refusal{"tls keys on plain mqtt", kTlsKeys.c_str(), 1, "mqtts://"},
        Refusal{"two sources of one name", kSameName.c_str(), 4, "two sources"},
        Refusal{"unknown top-level key", kTopKey.c_str(), 1, "unknown key"}),
    [](const ::testing::TestParamInfo<Refusal>& i) {
      std::string n = i.param.name;
      for (char& c : n) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return n;
    });

TEST(SourcesFile, ReportsEveryErrorNotJustTheFirst) {
  std::string text = WithPoint("hi = 80\nhihi = 70\nbogus = 1\npriority = \"NOPE\"\n");
  SourcesFile f;
  std::vector<SourceError> errors;
  EXPECT_FALSE(ParseSources(text, &f, &errors));
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_LT(errors[0].line, errors[1].line);
  EXPECT_LT(errors[1].line, errors[2].line);
}

TEST(SourcesFile, NodesOfThePlant) {
  SourcesFile f;
  std::vector<SourceError> errors;
  ASSERT_TRUE(ParseSources(kPlant, &f, &errors));
  tolvane::field::CheckNodes(f, {"plant1"}, &errors);
  EXPECT_TRUE(errors.empty());
  tolvane::field::CheckNodes(f, {"PLANT2"}, &errors);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_NE(errors[0].message.find("on no node"), std::string::npos);
}

TEST(SourcesFile, Durations) {
  struct {
    const char* text;
    std::optional<tolvane::node::FieldDuration> want;
  } cases[] = {{"2s", 2s},
               {"500ms", 500ms},
               {"1.5s", 1500ms},
               {"5m", 5min},
               {"1h", 1h},
               {"3", 3s},
               {"", std::nullopt},
               {"-1s", std::nullopt},
               {"2 s", std::nullopt},
               {"1.2.3s", std::nullopt},
               {"9d", std::nullopt},
               {"99999999999999h", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(ParseFieldDuration(c.text), c.want) << c.text;
}

}  // namespace
