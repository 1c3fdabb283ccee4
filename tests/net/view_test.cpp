// The alarm-state encoding and the station view it feeds, without a server.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "net/connection.h"
#include "net/protocol.h"
#include "node/summary_queue.h"
#include "node/summary_queue_message.h"

namespace tolvane::testing {
namespace {

using nats::AlarmState;

AlarmState Sample() {
  node::AlarmInput in;
  in.node = in.physicalNode = "PLANT1";
  in.tag = "FIC101";
  in.blockLetter = 'A';
  in.blockNumber = 7;
  in.priority = 5;
  in.statusCode = 1539;
  in.description = "FEED FLOW HIGH";
  in.areas = {"FEED", "REACTOR"};
  AlarmState s;
  s.msg = node::detail::BuildMessage(in);
  s.timeIn = nats::Clock::now() - std::chrono::minutes(5);
  s.timeLast = nats::Clock::now();
  node::detail::StampTimes(s.msg, s.timeIn, s.timeLast);
  return s;
}

TEST(AlarmEncoding, RoundTripsEveryByteAndIsFarSmallerThanTheRecord) {
  AlarmState s = Sample();
  s.suppressed = true;
  // A record that ends in data and has bytes everywhere still comes back whole.
  auto* raw = reinterpret_cast<unsigned char*>(&s.msg);
  raw[sizeof(SUMQMSG) - 1] = 0x5A;
  raw[sizeof(SUMQMSG) / 2] = 0x01;
  std::string body = nats::EncodeAlarm(s);
  EXPECT_LT(body.size(), sizeof(SUMQMSG) / 3);
  auto back = nats::DecodeAlarm(body);
  ASSERT_TRUE(back);
  EXPECT_EQ(std::memcmp(&back->msg, &s.msg, sizeof(SUMQMSG)), 0);
  EXPECT_EQ(back->timeIn, s.timeIn);
  EXPECT_EQ(back->timeLast, s.timeLast);
  EXPECT_TRUE(back->suppressed);
}

TEST(AlarmEncoding, RefusesBodiesThatDoNotRead) {
  std::string body = nats::EncodeAlarm(Sample());
  EXPECT_FALSE(nats::DecodeAlarm(body.substr(0, body.size() - 1)));  // short
  EXPECT_FALSE(nats::DecodeAlarm(body.substr(0, 10)));
  std::string bad = body;
  bad[0] = 9;  // unknown version
  EXPECT_FALSE(nats::DecodeAlarm(bad));
  std::string overlong = body;
  overlong += std::string("\xff\xff\x00\x00", 4);  // a zero run past the record
  EXPECT_FALSE(nats::DecodeAlarm(overlong));
}

// Every version a station may meet: the older major and later minors read
// as they are; a later major is told apart from a body that does not read.
TEST(AlarmEncoding, ReadsEveryVersionItKnowsAndTellsANewerOneFromGarbage) {
  AlarmState s = Sample();
  struct Case {
    std::string body;
    nats::DecodeResult result;
    int major;
  };
  std::string v2 = nats::EncodeAlarm(s);
  std::string later = v2;
  later[2] = static_cast<char>(nats::kWireMajor + 1);
  const Case cases[] = {
      {v2, nats::DecodeResult::kOk, nats::kWireMajor},
      {nats::EncodeAlarmAs(s, 1, 0), nats::DecodeResult::kOk, 1},
      {nats::EncodeAlarmAs(s, nats::kWireMajor, 7, std::string(40, '\x5a')),
       nats::DecodeResult::kOk, nats::kWireMajor},
      {later, nats::DecodeResult::kNewerMajor, nats::kWireMajor + 1},
      {nats::EncodeAlarmAs(s, 9, 0, "whatever it holds"), nats::DecodeResult::kNewerMajor, 9},
      {"\x7fjunk", nats::DecodeResult::kUnreadable, 0},
      {"TV", nats::DecodeResult::kUnreadable, 0},
      {v2.substr(0, 20), nats::DecodeResult::kUnreadable, nats::kWireMajor},
      {std::string("\x01") + std::string(30, '\0'), nats::DecodeResult::kUnreadable, 1},
  };
  for (const Case& c : cases) {
    AlarmState out;
    int major = 0;
    EXPECT_EQ(nats::DecodeAlarmBody(c.body, &out, &major), c.result) << c.body.size();
    if (c.major) {
      EXPECT_EQ(major, c.major);
    }
    if (c.result == nats::DecodeResult::kOk) {
      EXPECT_EQ(std::memcmp(&out.msg, &s.msg, sizeof(SUMQMSG)), 0);
      EXPECT_EQ(out.timeLast, s.timeLast);
    }
  }
}

TEST(Subjects, AnAlarmSubjectNamesOneBlockOrNone) {
  struct Case {
    std::string subject;
    bool names;
    std::string node;
    char letter;
    int16_t number;
  };
  const Case cases[] = {
      {"tolvane.alarm.PLANT1.A7", true, "PLANT1", 'A', 7},
      {"tolvane.alarm.A%2EB.D-3", true, "A.B", 'D', -3},
      {"tolvane.alarm.N.%2E1", true, "N", '.', 1},
      {"tolvane.alarm.PLANT1.A07", false, "", 0, 0},     // not the subject we make
      {"tolvane.alarm.plant1.A7", false, "", 0, 0},      // nor this
      {"tolvane.alarm.PLANT1.A99999", false, "", 0, 0},  // past 16 bits
      {"tolvane.alarm.PLANT1.A", false, "", 0, 0},
      {"tolvane.alarm.PLANT1", false, "", 0, 0},
      {"tolvane.node.PLANT1", false, "", 0, 0},
  };
  for (const Case& c : cases) {
    std::string node;
    char letter = 0;
    int16_t number = 0;
    EXPECT_EQ(nats::ParseAlarmSubject(c.subject, &node, &letter, &number), c.names) << c.subject;
    if (!c.names) continue;
    EXPECT_EQ(node, c.node);
    EXPECT_EQ(letter, c.letter);
    EXPECT_EQ(number, c.number);
  }
}

TEST(Subjects, NoNodeNameReachesIntoAnotherNodesSubjects) {
  EXPECT_EQ(nats::AlarmSubject("plant1", 'A', 7), "tolvane.alarm.PLANT1.A7");
  EXPECT_EQ(nats::AlarmSubject("PLANT1", 'D', -3), "tolvane.alarm.PLANT1.D-3");
  EXPECT_EQ(nats::NodeToken("A.B"), "A%2EB");
  EXPECT_EQ(nats::NodeToken("*"), "%2A");
  EXPECT_EQ(nats::NodeToken(">"), "%3E");
  EXPECT_EQ(nats::NodeToken(""), "%00");
  EXPECT_EQ(nats::AlarmSubject("N", '.', 1), "tolvane.alarm.N.%2E1");
  EXPECT_EQ(nats::CommandSubject("utils", "ack"), "tolvane.cmd.UTILS.ack");
}

TEST(StationView, PutChangesInPlaceKeepsCursorsAndSoundsTheHornOnlyForNews) {
  node::SummaryQueue q;
  AlarmState a = Sample();
  AlarmState b = Sample();
  b.msg.almpak.vsp.blockNumber = 8;
  b.timeIn += std::chrono::seconds(1);
  ASSERT_TRUE(q.Put(a.msg, a.timeIn, a.timeLast, false));
  ASSERT_TRUE(q.Put(b.msg, b.timeIn, b.timeLast, false));
  EXPECT_EQ(q.Size(), 2u);
  unsigned short h = 0;
  ASSERT_EQ(q.Open(&h, nullptr), 0);
  SORT_CNTL sort{};
  ASSERT_EQ(q.Home(sort, h), 0);
  ASSERT_EQ(q.NextPage(sort, 1, h), 0);  // on b

  // The same state again changes nothing, not even the sequence number.
  int32_t seq = q.SequenceNumber();
  ASSERT_TRUE(q.Put(b.msg, b.timeIn, b.timeLast, false));
  EXPECT_EQ(q.SequenceNumber(), seq);

  // An acknowledge arrives: in place, the cursor stays on b.
  q.HornSquelch();
  b.msg.ackFlag = 1;
  ASSERT_TRUE(q.Put(b.msg, b.timeIn, b.timeLast, false));
  EXPECT_NE(q.SequenceNumber(), seq);
  EXPECT_EQ(q.Size(), 2u);
  EXPECT_TRUE(q.HornSilenced());
  SUMQMSG* list = nullptr;
  unsigned short n = 0;
  ASSERT_EQ(q.Get(sort, 1, h, &list, &n), 0);
  ASSERT_EQ(n, 1);
  int16_t number = list[0].almpak.vsp.blockNumber;
  int ack = list[0].ackFlag;
  EXPECT_EQ(number, 8);
  EXPECT_EQ(ack, 1);
  q.FreeList(list);

  // It comes back unacknowledged with a new change: the horn sounds again.
  b.msg.ackFlag = 0;
  b.timeLast += std::chrono::seconds(5);
  ASSERT_TRUE(q.Put(b.msg, b.timeIn, b.timeLast, false));
  EXPECT_FALSE(q.HornSilenced());

  // Shelved from the stream: out of the view, still held.
  ASSERT_TRUE(q.Put(b.msg, b.timeIn, b.timeLast, true));
  SUMQMSG found{};
  EXPECT_EQ(q.FindVisible(8, 'A', "PLANT1", &found), node::kQueueNoAlarm);
  EXPECT_EQ(q.Find(8, 'A', "PLANT1", &found), 0);
  EXPECT_EQ(q.Size(), 2u);
}

// Programs take credentials from a file only its owner can read, or from
// the environment; never a password on their command line.
TEST(Credentials, FromAFileOrTheEnvironmentNeverTheCommandLine) {
  auto dir =
      std::filesystem::temp_directory_path() / ("tolvane-cred-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&](const std::string& name, const std::string& text, std::filesystem::perms p) {
    std::ofstream(dir / name) << text;
    std::filesystem::permissions(dir / name, p);
    return (dir / name).string();
  };
  using P = std::filesystem::perms;
  std::string good = write("good", "operator:secret\n", P::owner_read | P::owner_write);
  std::string open = write("open", "operator:secret\n", P::owner_read | P::others_read);
  std::string bare = write("bare", "no colon here\n", P::owner_read);
  struct Case {
    std::string given;
    const char* env;  // nullptr: unset
    bool ok;
    std::string want;  // the credentials, or a piece of the refusal
  };
  const Case cases[] = {
      {good, nullptr, true, "operator:secret"},
      {"operator:secret", nullptr, false, "shows in ps"},
      {open, nullptr, false, "chmod 600"},
      {bare, nullptr, false, "user:password"},
      {(dir / "missing").string(), nullptr, false, "cannot read"},
      {"", "viewer:pw", true, "viewer:pw"},
      {"", good.c_str(), true, "operator:secret"},
      {"", nullptr, true, ""},
      {"/etc/tolvane/station.creds", nullptr, true, "/etc/tolvane/station.creds"},
  };
  for (const Case& c : cases) {
    if (c.env) {
      ::setenv(nats::kCredentialsVariable, c.env, 1);
    } else {
      ::unsetenv(nats::kCredentialsVariable);
    }
    std::string out, err;
    EXPECT_EQ(nats::ReadCredentials(c.given, &out, &err), c.ok) << c.given << ": " << err;
    if (c.ok) {
      EXPECT_EQ(out, c.want) << c.given;
    } else {
      EXPECT_NE(err.find(c.want), std::string::npos) << c.given << ": " << err;
    }
  }
  ::unsetenv(nats::kCredentialsVariable);
  EXPECT_EQ(nats::CredentialsUser("node-PLANT1:pw"), "node-PLANT1");
  EXPECT_EQ(nats::CredentialsUser("x.creds"), "");
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tolvane::testing
