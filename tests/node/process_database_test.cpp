#include "node/process_database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "node/summary_queue.h"
#include "services/zuna.h"
#include "support/backend_guard.h"

namespace {

using tolvane::DatabaseBackend;
using tolvane::node::AlarmInput;
using tolvane::node::ProcessDatabase;
using tolvane::node::Step;
using tolvane::node::SummaryQueue;
namespace st = tolvane::node::dbstatus;
using Guard = tolvane::testing::BackendGuard<DatabaseBackend, &tolvane::InstallDatabaseBackend>;

// A group that frees itself.
struct Group {
  zunagroup* g = zuna_group_create(1, 0);
  ~Group() { zuna_group_free(g); }
  unsigned int Add(const char* node, const char* tag, const char* field, const VSP* vsp = nullptr) {
    return zuna_group_add(g, node, tag, field, vsp);
  }
  short Resolve() {
    zuna_group_resolve(g);
    return zuna_group_execute(g);
  }
  short Read() {
    zuna_group_read(g);
    return zuna_group_execute(g);
  }
  short Write() {
    zuna_group_write(g);
    return zuna_group_execute(g);
  }
  short Status(unsigned int e) { return zuna_entry_status(g, e); }
  short Get(unsigned int e) {
    short v = -999;
    short s = zuna_entry_get(g, e, &v);
    return s == 0 ? v : static_cast<short>(-1000 - s);
  }
  VSP Vsp(unsigned int e) {
    VSP v{};
    zuna_entry_info(g, e, nullptr, nullptr, nullptr, &v);
    return v;
  }
};

class ProcessDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.AddNode("PLANT1"));
    ASSERT_TRUE(db.AddNode("Plant2"));
    ASSERT_TRUE(db.AddBlock("PLANT1", "FIC101", 'A', 12));
    ASSERT_TRUE(db.AddBlock("PLANT1", "TIC200", 'B', 7));
    ASSERT_TRUE(db.AddBlock("PLANT2", "FIC101", 'A', 12));
    ASSERT_TRUE(db.SetField("PLANT1", "FIC101", "B_NALM", 1));
    ASSERT_TRUE(db.SetField("PLANT1", "FIC101", "B_CUALM", 260));
  }

  void RaiseAlarm(const std::string& node, const std::string& tag, char letter, int16_t number) {
    AlarmInput in;
    in.physicalNode = node;
    in.node = node;
    in.tag = tag;
    in.blockLetter = letter;
    in.blockNumber = number;
    queue.Raise(in);
  }
  // The queue's acknowledge flag of a block's alarm, or -1 when none stands.
  int QueueAck(const char* node, char letter, int16_t number) {
    SUMQMSG msg{};
    if (queue.Find(number, letter, node, &msg) != 0) return -1;
    return msg.ackFlag != 0;
  }

  SummaryQueue queue;
  ProcessDatabase db{&queue};
  Guard guard{&db};
};

TEST_F(ProcessDatabaseTest, HostApiRejectsBadOrDuplicateNamesAndAddresses) {
  EXPECT_FALSE(db.AddNode(""));
  EXPECT_FALSE(db.AddNode("NINECHARS"));
  EXPECT_FALSE(db.AddNode("plant1"));  // names compare without case
  EXPECT_FALSE(db.AddNode("PLANT3", db.NodeSerial("PLANT1")));
  EXPECT_TRUE(db.AddNode("PLANT3", 500));
  EXPECT_EQ(db.NodeSerial("plant3"), 500u);
  EXPECT_EQ(db.NodeSerial("NOPE"), 0u);

  EXPECT_FALSE(db.AddBlock("NOPE", "X1", 'A', 1));
  EXPECT_FALSE(db.AddBlock("PLANT1", "fic101", 'C', 1));  // tag taken
  EXPECT_FALSE(db.AddBlock("PLANT1", "NEW1", 'A', 12));   // address taken
  EXPECT_FALSE(db.AddBlock("PLANT1", "NEW1", '\0', 1));
  EXPECT_FALSE(db.AddBlock("PLANT1", std::string(31, 'T'), 'C', 1));
  EXPECT_FALSE(db.AddBlock("PLANT1", "", 'C', 1));
  EXPECT_TRUE(db.AddBlock("PLANT1", std::string(30, 'T'), 'C', 1));

  EXPECT_FALSE(db.SetField("PLANT1", "FIC101", "B_NOPE", 1));
  EXPECT_FALSE(db.SetField("PLANT1", "NOPE", "B_NALM", 1));
  EXPECT_FALSE(db.GetField("PLANT9", "FIC101", "B_NALM").has_value());
  EXPECT_EQ(db.GetField("plant1", "fic101", "b_cualm"), 260);

  auto at = db.FindBlockAt("PLANT1", 'B', 7);
  ASSERT_TRUE(at.has_value());
  EXPECT_EQ(at->tag, "TIC200");
  EXPECT_FALSE(db.FindBlockAt("PLANT1", 'B', 8).has_value());

  auto blocks = db.Blocks();
  ASSERT_EQ(blocks.size(), 4u);
  EXPECT_EQ(blocks[0].node + "/" + blocks[0].tag, "PLANT1/FIC101");
  EXPECT_EQ(blocks[3].node + "/" + blocks[3].tag, "Plant2/FIC101");
  EXPECT_EQ(blocks[0].fields[tolvane::node::FieldIndex("B_CUALM")], 260);

  // Every node has its own serial, so an address never fits another node.
  auto nodes = db.Nodes();
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_NE(nodes[0].serial, nodes[1].serial);
  uint32_t before = db.NodeSerial("PLANT1");
  uint32_t after = db.ReloadNode("plant1");
  EXPECT_NE(after, before);
  EXPECT_EQ(db.NodeSerial("PLANT1"), after);
  EXPECT_EQ(db.ReloadNode("NOPE"), 0u);
}

TEST_F(ProcessDatabaseTest, AddRefusesUnknownNodeOrFieldButAcceptsUnknownTagUntilResolve) {
  Group g;
  EXPECT_EQ(g.Add("PLANT9", "FIC101", "B_NALM"), kZunaNoEntry);
  EXPECT_EQ(g.Add("PLANT1", "FIC101", "B_NOPE"), kZunaNoEntry);
  EXPECT_EQ(g.Add("PLANT1", "NOSUCH", "B_NALM"), 0u);
  EXPECT_EQ(g.Add("plant1", "fic101", "b_nalm"), 1u);
  // A tag longer than any block's must not be cut down to a real one.
  EXPECT_EQ(g.Add("PLANT1", "FIC101XXXXXXXXXXXXXXXXXXXXXXXXXXXX", "B_NALM"), 2u);

  EXPECT_EQ(g.Status(1), st::kNotExecuted);
  EXPECT_EQ(g.Resolve(), st::kUnknownTag);
  EXPECT_EQ(g.Status(0), st::kUnknownTag);
  EXPECT_EQ(g.Status(1), 0);
  EXPECT_EQ(g.Status(2), st::kUnknownTag);
  EXPECT_EQ(g.Read(), st::kNotResolved);
  EXPECT_EQ(g.Status(0), st::kNotResolved);
  EXPECT_EQ(g.Get(1), 1);
  EXPECT_EQ(g.Get(0), -1000 - st::kNoValue);
  EXPECT_EQ(g.Status(3), st::kBadEntry);
}

TEST_F(ProcessDatabaseTest, ResolveGivesTheDocumentedAddressLayout) {
  Group g;
  unsigned int nalm = g.Add("PLANT1", "TIC200", "B_NALM");
  unsigned int cualm = g.Add("PLANT1", "TIC200", "B_CUALM");
  unsigned int other = g.Add("PLANT2", "FIC101", "B_NALM");
  EXPECT_EQ(g.Vsp(nalm).fieldAttr, 0);  // no address before resolve
  ASSERT_EQ(g.Resolve(), 0);

  VSP a = g.Vsp(nalm);
  unsigned char bytes[10];
  std::memcpy(bytes, &a, sizeof bytes);
  uint32_t serial = db.NodeSerial("PLANT1");
  EXPECT_EQ(bytes[1], 'B');
  EXPECT_EQ(bytes[2] | (bytes[3] << 8), 7);
  EXPECT_EQ(bytes[6] | (bytes[7] << 8), 1);  // second block of the node
  EXPECT_EQ(static_cast<uint32_t>(bytes[4] | (bytes[5] << 8) | (bytes[8] << 16) | (bytes[9] << 24)),
            serial);

  // Same block, other field: only the field byte differs.
  VSP b = g.Vsp(cualm);
  EXPECT_NE(a.fieldAttr, b.fieldAttr);
  b.fieldAttr = a.fieldAttr;
  EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
  // Same tag and block on another node: the field part differs.
  VSP c = g.Vsp(other);
  EXPECT_EQ(c.blockType, 'A');
  EXPECT_NE(c.fieldWord1 | (uint32_t{c.fieldWord2} << 16),
            a.fieldWord1 | (uint32_t{a.fieldWord2} << 16));

  auto host = db.AddressOf("PLANT1", "TIC200", "B_NALM");
  ASSERT_TRUE(host.has_value());
  EXPECT_EQ(std::memcmp(&*host, &a, sizeof a), 0);

  char node[9], tag[31], field[20];
  zuna_entry_info(g.g, cualm, node, tag, field, nullptr);
  EXPECT_STREQ(node, "PLANT1");
  EXPECT_STREQ(tag, "TIC200");
  EXPECT_STREQ(field, "B_CUALM");
}

TEST_F(ProcessDatabaseTest, ReadWriteAndExecuteWorkPerEntry) {
  Group g;
  unsigned int cv = g.Add("PLANT1", "TIC200", "B_CV");
  unsigned int pri = g.Add("PLANT1", "TIC200", "B_PRI");
  unsigned int cualm = g.Add("PLANT1", "FIC101", "B_CUALM");
  EXPECT_EQ(zuna_group_execute(g.g), st::kNoRequest);
  ASSERT_EQ(g.Resolve(), 0);

  ASSERT_EQ(db.SetField("PLANT1", "TIC200", "B_CV", -42), true);
  ASSERT_EQ(g.Read(), 0);
  EXPECT_EQ(g.Get(cv), -42);
  EXPECT_EQ(g.Get(cualm), 260);

  // Only entries with a put value can be written; the rest fail alone.
  EXPECT_EQ(zuna_entry_put(g.g, cv, 99), 0);
  EXPECT_EQ(zuna_entry_put(g.g, cualm, 0), 0);
  EXPECT_NE(g.Write(), 0);
  EXPECT_EQ(g.Status(cv), 0);
  EXPECT_EQ(g.Status(pri), st::kNothingPut);
  EXPECT_EQ(g.Status(cualm), st::kReadOnlyField);
  EXPECT_EQ(db.GetField("PLANT1", "TIC200", "B_CV"), 99);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_CUALM"), 260);

  // A freed group's pointer is dead for good, even after new groups.
  zunagroup* dead = zuna_group_create(1, 0);
  zuna_group_free(dead);
  Group fresh;
  EXPECT_NE(fresh.g, dead);
  EXPECT_EQ(zuna_entry_status(dead, 0), st::kBadGroup);
  EXPECT_EQ(zuna_group_add(dead, "PLANT1", "FIC101", "B_NALM", nullptr), kZunaNoEntry);
  EXPECT_EQ(db.OpenGroups(), 2u);
}

TEST_F(ProcessDatabaseTest, GivenAddressSkipsResolveAndCountersShowIt) {
  VSP cached = *db.AddressOf("PLANT1", "TIC200", "B_CV");
  db.ResetCounters();
  Group g;
  unsigned int e = g.Add("PLANT1", "TIC200", "B_CV", &cached);
  ASSERT_EQ(zuna_entry_put(g.g, e, 5), 0);
  ASSERT_EQ(g.Write(), 0);
  ASSERT_EQ(g.Read(), 0);
  EXPECT_EQ(g.Get(e), 5);
  auto c = db.Counters();
  EXPECT_EQ(c.resolves, 0u);
  EXPECT_EQ(c.nameLookups, 0u);
  EXPECT_EQ(c.writes, 1u);
  EXPECT_EQ(c.reads, 1u);
  EXPECT_EQ(c.executes, 2u);
  Group byName;
  byName.Add("PLANT1", "TIC200", "B_CV");
  byName.Add("PLANT1", "TIC200", "B_PRI");
  ASSERT_EQ(byName.Resolve(), 0);
  EXPECT_EQ(db.Counters().resolves, 1u);
  EXPECT_EQ(db.Counters().nameLookups, 2u);
}

TEST_F(ProcessDatabaseTest, StaleOrForeignAddressFailsWithoutTouchingAnyField) {
  VSP nalm = *db.AddressOf("PLANT1", "FIC101", "B_NALM");
  VSP cualm = *db.AddressOf("PLANT1", "FIC101", "B_CUALM");
  VSP tic = *db.AddressOf("PLANT1", "TIC200", "B_NALM");
  ASSERT_TRUE(db.SetField("PLANT1", "TIC200", "B_NALM", 1));
  ASSERT_TRUE(db.SetField("PLANT2", "FIC101", "B_NALM", 1));
  {
    Group g;
    unsigned int fieldMismatch = g.Add("PLANT1", "FIC101", "B_NALM", &cualm);
    unsigned int blockMismatch = g.Add("PLANT1", "FIC101", "B_NALM", &tic);
    unsigned int otherNode = g.Add("PLANT2", "FIC101", "B_NALM", &nalm);
    VSP garbage{};
    unsigned int zero = g.Add("PLANT1", "FIC101", "B_NALM", &garbage);
    for (unsigned int e : {fieldMismatch, blockMismatch, otherNode, zero}) {
      zuna_entry_put(g.g, e, 0);
    }
    g.Write();
    EXPECT_EQ(g.Status(fieldMismatch), st::kBadAddress);
    EXPECT_EQ(g.Status(blockMismatch), st::kBadAddress);
    EXPECT_EQ(g.Status(otherNode), st::kStaleAddress);
    EXPECT_NE(g.Status(zero), 0);
  }
  {
    Group g;
    unsigned int e = g.Add("PLANT1", "FIC101", "B_NALM", &nalm);
    ASSERT_EQ(g.Read(), 0);
    EXPECT_EQ(g.Get(e), 1);
    db.ReloadNode("PLANT1");
    zuna_entry_put(g.g, e, 0);
    EXPECT_EQ(g.Write(), st::kStaleAddress);
    EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 1);
    // The failure handed out the current address, for the caller to cache ...
    VSP current = *db.AddressOf("PLANT1", "FIC101", "B_NALM");
    VSP refreshed = g.Vsp(e);
    EXPECT_EQ(std::memcmp(&refreshed, &current, sizeof current), 0);
    // ... with which the step then works.
    ASSERT_EQ(g.Read(), 0);
    EXPECT_EQ(g.Get(e), 1);
    // A failed read drops the value of the earlier one.
    db.ReloadNode("PLANT1");
    EXPECT_EQ(g.Read(), st::kStaleAddress);
    EXPECT_EQ(g.Get(e), -1000 - st::kNoValue);
  }
  {
    // Claiming the current serial does not make an old address good.
    Group g;
    unsigned int e = g.Add("PLANT1", "FIC101", "B_NALM", &nalm);
    zuna_serial_set(g.g, "PLANT1", db.NodeSerial("PLANT1"));
    zuna_entry_put(g.g, e, 0);
    EXPECT_EQ(g.Write(), st::kStaleAddress);
    Group r;
    r.Add("PLANT1", "FIC101", "B_NALM", &nalm);
    EXPECT_EQ(r.Resolve(), st::kStaleAddress);
  }
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 1);
  EXPECT_EQ(db.GetField("PLANT1", "TIC200", "B_NALM"), 1);
  EXPECT_EQ(db.GetField("PLANT2", "FIC101", "B_NALM"), 1);
}

TEST_F(ProcessDatabaseTest, OutdatedSerialFromCallerReResolvesByName) {
  uint32_t old = db.NodeSerial("PLANT1");
  VSP nalm = *db.AddressOf("PLANT1", "FIC101", "B_NALM");
  uint32_t now = db.ReloadNode("PLANT1");
  Group g;
  unsigned int e = g.Add("PLANT1", "FIC101", "B_NALM", &nalm);
  zuna_serial_set(g.g, "PLANT2", 1);  // other nodes do not matter
  zuna_serial_set(g.g, "plant1", old);
  zuna_entry_put(g.g, e, 0);
  EXPECT_EQ(g.Write(), 0);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 0);
  // The entry now holds the current address, ready to be cached again.
  VSP fresh = g.Vsp(e);
  EXPECT_EQ(fresh.fieldWord1 | (uint32_t{fresh.fieldWord2} << 16), now);
  VSP current = *db.AddressOf("PLANT1", "FIC101", "B_NALM");
  EXPECT_EQ(std::memcmp(&fresh, &current, sizeof fresh), 0);
}

TEST_F(ProcessDatabaseTest, SerialListNamesEachNodeOfTheGroupOnceWithItsSerial) {
  Group g;
  g.Add("PLANT1", "FIC101", "B_NALM");
  g.Add("plant2", "FIC101", "B_NALM");
  g.Add("PLANT1", "TIC200", "B_NALM");
  ASSERT_EQ(zuna_serial_count(g.g), 2);
  uint32_t serials[2] = {};
  char names[2][9];
  std::memset(names, 'x', sizeof names);
  zuna_serial_list(g.g, serials, names);
  EXPECT_STREQ(names[0], "PLANT1");
  EXPECT_STREQ(names[1], "Plant2");  // as the database knows it
  EXPECT_EQ(serials[0], db.NodeSerial("PLANT1"));
  EXPECT_EQ(serials[1], db.NodeSerial("PLANT2"));
  uint32_t reloaded = db.ReloadNode("PLANT2");
  zuna_serial_list(g.g, serials, names);
  EXPECT_EQ(serials[1], reloaded);

  Group empty;
  EXPECT_EQ(zuna_serial_count(empty.g), 0);
  zuna_group_set_option(g.g, 0xFFFF);
  zuna_group_set_option(empty.g, 0x8000DBBB);
  EXPECT_EQ(db.LastOption(), 0x8000DBBBu);
}

TEST_F(ProcessDatabaseTest, AlarmFieldWritesReachTheQueue) {
  RaiseAlarm("PLANT1", "FIC101", 'A', 12);
  RaiseAlarm("PLANT1", "TIC200", 'B', 7);
  ASSERT_EQ(QueueAck("PLANT1", 'A', 12), 0);

  // Acknowledge: B_NALM <- 0 marks only that block's alarm.
  {
    Group g;
    unsigned int e = g.Add("PLANT1", "FIC101", "B_NALM");
    ASSERT_EQ(g.Resolve(), 0);
    ASSERT_EQ(zuna_entry_put(g.g, e, 0), 0);
    EXPECT_EQ(g.Write(), 0);
  }
  EXPECT_EQ(QueueAck("PLANT1", 'A', 12), 1);
  EXPECT_EQ(QueueAck("PLANT1", 'B', 7), 0);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 0);

  // Delete: B_DALM <- 1 removes the alarm; a second delete finds nothing.
  ASSERT_TRUE(db.SetField("PLANT1", "TIC200", "B_NALM", 1));
  for (short expected : {short{0}, st::kNothingToDelete}) {
    Group g;
    unsigned int e = g.Add("PLANT1", "TIC200", "B_DALM");
    ASSERT_EQ(g.Resolve(), 0);
    ASSERT_EQ(zuna_entry_put(g.g, e, 1), 0);
    g.Write();
    EXPECT_EQ(g.Status(e), expected);
  }
  EXPECT_EQ(QueueAck("PLANT1", 'B', 7), -1);
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_EQ(db.GetField("PLANT1", "TIC200", "B_NALM"), 0);
  EXPECT_EQ(db.GetField("PLANT1", "TIC200", "B_DALM"), 0);  // a command, not a setting

  // Other values are no delete; the same node name on another database
  // is another alarm.
  RaiseAlarm("PLANT2", "FIC101", 'A', 12);
  {
    Group g;
    unsigned int zero = g.Add("PLANT1", "FIC101", "B_DALM");
    unsigned int other = g.Add("PLANT2", "FIC101", "B_DALM");
    ASSERT_EQ(g.Resolve(), 0);
    zuna_entry_put(g.g, zero, 0);
    zuna_entry_put(g.g, other, 1);
    EXPECT_EQ(g.Write(), 0);
  }
  EXPECT_EQ(QueueAck("PLANT1", 'A', 12), 1);
  EXPECT_EQ(QueueAck("PLANT2", 'A', 12), -1);

  // B_CUALM follows what the host (the process) says.
  {
    Group g;
    unsigned int e = g.Add("PLANT1", "FIC101", "B_CUALM");
    ASSERT_EQ(g.Resolve(), 0);
    ASSERT_EQ(g.Read(), 0);
    EXPECT_EQ(g.Get(e), 260);
    db.SetField("PLANT1", "FIC101", "B_CUALM", 0);
    ASSERT_EQ(g.Read(), 0);
    EXPECT_EQ(g.Get(e), 0);
  }
}

TEST_F(ProcessDatabaseTest, DeleteWithoutQueueHasNothingToDelete) {
  db.AttachQueue(nullptr);
  RaiseAlarm("PLANT1", "FIC101", 'A', 12);
  Group g;
  unsigned int e = g.Add("PLANT1", "FIC101", "B_DALM");
  g.Resolve();
  zuna_entry_put(g.g, e, 1);
  EXPECT_EQ(g.Write(), st::kNothingToDelete);
  EXPECT_EQ(queue.Size(), 1u);
}

TEST_F(ProcessDatabaseTest, CallFaultsFailTheNamedCallOnly) {
  auto& f = db.faults();
  f.Inject("zuna_group_create", 5, 1);
  EXPECT_EQ(zuna_group_create(1, 0), nullptr);

  Group g;
  f.Inject("zuna_group_add", 5, 1);
  EXPECT_EQ(g.Add("PLANT1", "FIC101", "B_NALM"), kZunaNoEntry);
  unsigned int e = g.Add("PLANT1", "FIC101", "B_NALM");
  ASSERT_EQ(e, 0u);
  f.Inject("zuna_group_resolve", 21, 1);
  EXPECT_EQ(g.Resolve(), 21);
  EXPECT_EQ(g.Status(e), 21);
  ASSERT_EQ(g.Resolve(), 0);

  f.Inject("zuna_group_read", 22, 1);
  EXPECT_EQ(g.Read(), 22);
  EXPECT_EQ(g.Get(e), -1000 - st::kNoValue);
  f.Inject("zuna_entry_get", 23, 1);
  ASSERT_EQ(g.Read(), 0);
  EXPECT_EQ(g.Get(e), -1000 - 23);
  f.Inject("zuna_entry_status", 24, 1);
  EXPECT_EQ(g.Status(e), 24);
  EXPECT_EQ(g.Status(e), 0);

  f.Inject("zuna_entry_put", 25, 1);
  EXPECT_EQ(zuna_entry_put(g.g, e, 0), 25);
  EXPECT_EQ(g.Write(), st::kNothingPut);
  zuna_entry_put(g.g, e, 0);
  f.Inject("zuna_group_execute", 26, 1);
  zuna_group_write(g.g);
  EXPECT_EQ(zuna_group_execute(g.g), 26);
  EXPECT_EQ(g.Status(e), 26);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 1);
  f.Inject("zuna_group_write", 27, 1);
  EXPECT_EQ(g.Write(), 27);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 1);
  EXPECT_EQ(g.Write(), 0);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 0);

  f.Inject("zuna_serial_count", 28);
  EXPECT_EQ(zuna_serial_count(g.g), 0);
  f.ClearAll();
  EXPECT_EQ(zuna_serial_count(g.g), 1);
}

TEST_F(ProcessDatabaseTest, EntryFaultsHitMatchingEntriesAndStepsOnly) {
  ASSERT_TRUE(db.SetField("PLANT1", "TIC200", "B_NALM", 1));
  db.InjectEntryFault("plant1", "FIC101", "b_nalm", 30, Step::kWrite, 1);
  db.InjectEntryFault("PLANT1", "", "B_CUALM", 31, Step::kRead);
  Group g;
  unsigned int fic = g.Add("PLANT1", "FIC101", "B_NALM");
  unsigned int tic = g.Add("PLANT1", "TIC200", "B_NALM");
  unsigned int cu = g.Add("PLANT1", "TIC200", "B_CUALM");
  unsigned int cu2 = g.Add("PLANT2", "FIC101", "B_CUALM");
  ASSERT_EQ(g.Resolve(), 0);
  g.Read();
  EXPECT_EQ(g.Status(fic), 0);
  EXPECT_EQ(g.Status(cu), 31);
  EXPECT_EQ(g.Status(cu2), 0);
  zuna_entry_put(g.g, fic, 0);
  zuna_entry_put(g.g, tic, 0);
  EXPECT_EQ(g.Write(), 30);
  EXPECT_EQ(g.Status(fic), 30);
  EXPECT_EQ(g.Status(tic), 0);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 1);
  EXPECT_EQ(db.GetField("PLANT1", "TIC200", "B_NALM"), 0);
  // The write fault was for one step only.
  g.Write();
  EXPECT_EQ(g.Status(fic), 0);
  EXPECT_EQ(db.GetField("PLANT1", "FIC101", "B_NALM"), 0);
  db.ClearEntryFaults();
  g.Read();
  EXPECT_EQ(g.Status(cu), 0);
}

TEST_F(ProcessDatabaseTest, ConcurrentGroupsLoseNoWriteAndSurviveReloads) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::vector<std::string> tags;
  for (int t = 0; t < kThreads; ++t) {
    tags.push_back("CNT" + std::to_string(t));
    ASSERT_TRUE(db.AddBlock("PLANT1", tags.back(), 'C', static_cast<int16_t>(t)));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> unexpected{0};
  std::thread reloader([&] {
    while (!stop.load()) {
      db.ReloadNode("PLANT1");
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      for (int done = 0; done < kRounds;) {
        Group g;
        unsigned int e = g.Add("PLANT1", tags[t].c_str(), "B_CV");
        if (g.Resolve() != 0 || g.Read() != 0) continue;  // reloaded meanwhile
        short v = g.Get(e);
        zuna_entry_put(g.g, e, static_cast<short>(v + 1));
        short s = g.Write();
        if (s == 0) {
          ++done;
        } else if (s != st::kStaleAddress) {
          ++unexpected;
        }
      }
    });
  }
  for (auto& w : workers) w.join();
  stop = true;
  reloader.join();
  EXPECT_EQ(unexpected.load(), 0);
  for (const std::string& tag : tags) EXPECT_EQ(db.GetField("PLANT1", tag, "B_CV"), kRounds);
  EXPECT_EQ(db.OpenGroups(), 0u);
}

}  // namespace
