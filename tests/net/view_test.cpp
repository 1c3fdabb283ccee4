// The alarm-state encoding and the station view it feeds, without a server.
#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
}  // namespace tolvane::testing
