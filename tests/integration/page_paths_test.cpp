// The embedded queue shows its records in place; a queue without that
// capability is read through Get and FreeList. Both must give the same
// pages, byte for byte, and bulk operations must act alike.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "services/queue_backend.h"
#include "support/manager_fixture.h"

namespace tolvane::testing {
namespace {

using namespace std::chrono_literals;

// An outside queue: the same alarms, only the defined calls.
class CopyingQueue final : public QueueBackend {
 public:
  explicit CopyingQueue(node::SummaryQueue& q) : q_(q) {}
  short Open(unsigned short* h, unsigned char* f) override { return q_.Open(h, f); }
  short Close(unsigned short h) override { return q_.Close(h); }
  short HornEnable() override { return q_.HornEnable(); }
  short HornDisable() override { return q_.HornDisable(); }
  short HornSquelch() override { return q_.HornSquelch(); }
  short GetHeader(SUMQHDR* hdr) override { return q_.GetHeader(hdr); }
  short Home(const SORT_CNTL& s, unsigned short h) override { return q_.Home(s, h); }
  short End(const SORT_CNTL& s, unsigned short h) override { return q_.End(s, h); }
  short NextPage(const SORT_CNTL& s, int c, unsigned short h) override {
    return q_.NextPage(s, c, h);
  }
  short PrevPage(const SORT_CNTL& s, int c, unsigned short h) override {
    return q_.PrevPage(s, c, h);
  }
  short Get(const SORT_CNTL& s, unsigned short c, unsigned short h, SUMQMSG** list,
            unsigned short* n) override {
    ++gets;
    return q_.Get(s, c, h, list, n);
  }
  void FreeList(SUMQMSG* list) override { q_.FreeList(list); }
  short Find(short n, char l, const char* node, SUMQMSG* m) override {
    return q_.Find(n, l, node, m);
  }
  short FindVisible(short n, char l, const char* node, SUMQMSG* m) override {
    return q_.FindVisible(n, l, node, m);
  }
  short FindByTagname(const char* node, const char* tag, SUMQMSG* m) override {
    return q_.FindByTagname(node, tag, m);
  }
  short MarkAcknowledged(short n, char l, const char* node, unsigned short h) override {
    return q_.MarkAcknowledged(n, l, node, h);
  }
  short DeleteByPhysicalNode(const SORT_CNTL& s, short n, char l, const char* p,
                             unsigned short h) override {
    return q_.DeleteByPhysicalNode(s, n, l, p, h);
  }
  int gets = 0;

 private:
  node::SummaryQueue& q_;
};

const char* const kFilters[] = {
    "",
    R"(ASF_TAGNAME = "T*1" AND ASF_PRIORITY >= "HIGH")",
    (R"(ASF_TAGNAME = "t*" AND ASF_PRIORITY >= "HIGH" AND ASF_DATEIN >= "01/01/2020" AND )"
     R"(ASF_DESCRIPTION CONTAINING "*high*" AND NOT ASF_ACK = "Acknowledged")"),
    R"(ASF_NODE IN "plant1, OTH*" OR ASF_AREA NOT IN "AREA2,\"AREA 3\"")",
    R"(ASF_DESCRIPTION NOTCONTAINING "low" NOR ASF_PRIORITY < "MEDIUM")",
    R"(ASF_DESCRIPTION CONTAININGONLY "LEVEL HIGH 7" OR ASF_ACK = "Unacknowledged")",
    R"(ASF_ALMEXT1 CONTAINING "EXT" OR ASF_TIMEIN < "12:00:00" AND ASF_DATELAST <> "1/1/2000")",
    R"(ASF_PRIORITY = "high" OR ASF_PRIORITY <> "LOW" AND ASF_TAGNAME <> "T1?")",
    R"(ASF_FLEX1 = "" OR ASF_AREA IN "*2")",
    R"(ASF_TAGNAME = "T1" )",  // does not parse
};

class PagePathsTest : public ManagerFixture {
 protected:
  void Fill() {
    const auto t0 = node::Clock::from_time_t(1700000000);
    const char* nodes[] = {"PLANT1", "PLANT1A", "OTHER", "plant1"};
    for (int i = 0; i < 60; ++i) {
      AlarmSpec s;
      s.node = nodes[i % 4];
      s.tag = (i % 3 ? "T" : "t") + std::to_string(i);
      s.number = static_cast<int16_t>(i);
      s.priority = static_cast<int16_t>(3 + i % 7);
      s.acknowledged = i % 5 == 0;
      s.description = (i % 2 ? "Level high " : "LEVEL LOW ") + std::to_string(i % 9);
      s.areas = {"AREA" + std::to_string(i % 4), i % 3 ? "AREA 3" : "ALL"};
      s.value = static_cast<int16_t>(i * 7 % 50);
      s.when = t0 + std::chrono::seconds((i * 7919) % 86400);
      Raise(s);
    }
    node::AlarmInput ext;
    ext.node = ext.physicalNode = "OTHER";
    ext.tag = "EXTTAG";
    ext.blockNumber = 900;
    ext.ext1 = "EXT ONE";
    ext.ext2 = "ext two";
    queue().Raise(ext, t0 + 5s);
    node::AlarmInput block = ext;
    block.tag = "BLOCKTAG";
    block.blockNumber = 901;
    block.extKind = 1;
    for (std::size_t i = 0; i < block.fieldBlock.size(); ++i) block.fieldBlock[i] = uint8_t(i * 3);
    queue().Raise(block, t0 + 6s);
    queue().AddOperatorMessage("Operator note", "PLANT1", t0 + 7s);
    queue().SetSuppressed("PLANT1", 'A', 4, true);
  }

  // The queue's alarms byte for byte; operator messages, stamped with the
  // time they were sent, by their text.
  void Record(std::vector<unsigned char>* out) {
    for (const SUMQMSG& m : queue().Snapshot()) {
      auto* b = reinterpret_cast<const unsigned char*>(&m);
      if (m.almpak.msgType == 8) {
        out->insert(out->end(), b + offsetof(SUMQMSG, almpak) + offsetof(_ALMPAK, description),
                    b + offsetof(SUMQMSG, almpak) + offsetof(_ALMPAK, description) + 133);
      } else {
        out->insert(out->end(), b, b + sizeof m);
      }
    }
  }

  // Every byte a caller sees of a fetch.
  static std::vector<unsigned char> Bytes(const Page& p) {
    std::vector<unsigned char> out(reinterpret_cast<const unsigned char*>(p.data.data()),
                                   reinterpret_cast<const unsigned char*>(p.data.data()) +
                                       p.data.size() * sizeof(tagAlarmStr));
    out.insert(out.end(), p.rest.begin(), p.rest.end());
    return out;
  }
};

TEST_F(PagePathsTest, InPlaceAndCopiedPagesAreTheSameInEveryOrderWithEveryFilter) {
  Fill();
  CopyingQueue outside(queue());
  int compared = 0;
  for (long sort = -13; sort <= 13; ++sort) {
    for (const char* filter : kFilters) {
      for (long count : {-1L, 7L}) {
        InstallQueueBackend(&queue());
        Page inPlace = Fetch(filter, sort, count);
        InstallQueueBackend(&outside);
        Page copied = Fetch(filter, sort, count);
        InstallQueueBackend(&queue());
        SCOPED_TRACE(std::string(filter) + " sort " + std::to_string(sort) + " count " +
                     std::to_string(count));
        ASSERT_EQ(inPlace.result, copied.result);
        ASSERT_EQ(inPlace.rows, copied.rows);
        ASSERT_EQ(inPlace.vt, copied.vt);
        ASSERT_EQ(inPlace.arrayBytes, copied.arrayBytes);
        ASSERT_EQ(Bytes(inPlace), Bytes(copied));
        compared += inPlace.rows > 0;
      }
    }
  }
  EXPECT_GT(outside.gets, 0);
  EXPECT_GT(compared, 200);  // the filters keep rows, so rows were compared
}

TEST_F(PagePathsTest, AFailingGetFailsBothPathsAlike) {
  Fill();
  CopyingQueue outside(queue());
  for (QueueBackend* backend : std::array<QueueBackend*, 2>{&queue(), &outside}) {
    InstallQueueBackend(backend);
    queue().faults().Inject("sumqGet", 9, 1);
    short rows = 5;
    VARIANT v;
    VariantInit(&v);
    char filter[] = "";
    EXPECT_EQ(mgr_->FetchAlarmsByRef(&v, -1, filter, 1, handle_, &rows), kFailed);
    EXPECT_EQ(rows, 5);
    EXPECT_EQ(v.parray, nullptr);
    queue().faults().Inject("sumqGet", 9, 1);
    char all[] = "";
    EXPECT_EQ(mgr_->AcknowledgeAllAlarmsByRef(all, handle_, 1), 9);
  }
  InstallQueueBackend(&queue());
}

// What acknowledge-all and remove-all leave behind, run on a fresh plant.
struct BulkOutcome {
  short ackResult = 0, removeResult = 0;
  std::vector<std::string> messages;
  std::vector<unsigned char> queueAfterAck, queueAfterRemove;
};

TEST_F(PagePathsTest, BulkOperationsActAlikeOnBothPaths) {
  auto run = [this](bool inPlace, const char* filter) {
    TearDown();
    SetUp();
    Fill();
    CopyingQueue outside(queue());
    if (!inPlace) InstallQueueBackend(&outside);
    BulkOutcome out;
    std::string f(filter);
    out.ackResult = mgr_->AcknowledgeAllAlarmsByRef(f.data(), handle_, 0);
    Record(&out.queueAfterAck);
    out.removeResult = mgr_->RemoveAllAlarmsByRef(handle_, f.data(), 0);
    Record(&out.queueAfterRemove);
    for (const auto& m : node_->alarmLibrary().OperatorMessages()) {
      out.messages.push_back(m.text + "|" + m.node + "|" + std::to_string(m.flag));
    }
    InstallQueueBackend(&queue());
    return out;
  };
  std::size_t sent = 0;
  for (const char* filter : {kFilters[0], kFilters[1], kFilters[3], kFilters[5]}) {
    SCOPED_TRACE(filter);
    BulkOutcome a = run(true, filter), b = run(false, filter);
    EXPECT_EQ(a.ackResult, b.ackResult);
    EXPECT_EQ(a.removeResult, b.removeResult);
    sent += a.messages.size();
    EXPECT_EQ(a.messages, b.messages);
    EXPECT_EQ(a.queueAfterAck, b.queueAfterAck);
    EXPECT_EQ(a.queueAfterRemove, b.queueAfterRemove);
  }
  EXPECT_GT(sent, 0u);  // acknowledges were announced, so their messages were compared
}

}  // namespace
}  // namespace tolvane::testing
