#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "services/queue_backend.h"
#include "services/zuna.h"
#include "support/backend_guard.h"
#include "support/recording_database.h"

namespace {

using tolvane::DatabaseBackend;
using tolvane::kServiceDown;
using tolvane::testing::RecordingDatabase;
using Guard = tolvane::testing::BackendGuard<DatabaseBackend, &tolvane::InstallDatabaseBackend>;

// A group pointer that no backend handed out.
zunagroup* const kForeignGroup = reinterpret_cast<zunagroup*>(uintptr_t{0x1230});

struct Outputs {
  char node[9];
  char tag[31];
  char field[20];
  VSP vsp;
  Outputs() {
    std::memset(node, 'n', sizeof node);
    std::memset(tag, 't', sizeof tag);
    std::memset(field, 'f', sizeof field);
    std::memset(&vsp, 0x5A, sizeof vsp);
  }
  bool Cleared() const {
    static const char zeros[31] = {};
    return std::memcmp(node, zeros, sizeof node) == 0 && std::memcmp(tag, zeros, sizeof tag) == 0 &&
           std::memcmp(field, zeros, sizeof field) == 0 &&
           std::memcmp(&vsp, zeros, sizeof vsp) == 0;
  }
};

// Every call on `g` fails like a service that is down.
void ExpectAllCallsFail(zunagroup* g) {
  VSP vsp{};
  EXPECT_EQ(zuna_group_add(g, "PLANT1", "FIC101", "B_NALM", nullptr), kZunaNoEntry);
  EXPECT_EQ(zuna_group_add(g, "PLANT1", "FIC101", "B_NALM", &vsp), kZunaNoEntry);
  zuna_serial_set(g, "PLANT1", 7);
  zuna_group_set_option(g, 0xFFFF);
  zuna_group_resolve(g);
  zuna_group_read(g);
  zuna_group_write(g);
  EXPECT_EQ(zuna_group_execute(g), kServiceDown);
  EXPECT_EQ(zuna_entry_status(g, 0), kServiceDown);
  EXPECT_EQ(zuna_entry_put(g, 0, 0), kServiceDown);
  short value = 77;
  EXPECT_EQ(zuna_entry_get(g, 0, &value), kServiceDown);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(zuna_entry_get(g, 0, nullptr), kServiceDown);
  Outputs out;
  zuna_entry_info(g, 0, out.node, out.tag, out.field, &out.vsp);
  EXPECT_TRUE(out.Cleared());
  zuna_entry_info(g, 0, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(zuna_serial_count(g), 0);
  uint32_t serials[1] = {42};
  char names[1][9] = {"KEEP"};
  zuna_serial_list(g, serials, names);
  EXPECT_EQ(serials[0], 42u);
  EXPECT_STREQ(names[0], "KEEP");
  zuna_group_free(g);
}

TEST(ZunaShim, WithoutBackendNoGroupIsMadeAndEveryCallFailsSafely) {
  ASSERT_EQ(tolvane::InstalledDatabaseBackend(), nullptr);
  EXPECT_EQ(zuna_group_create(1, 0), nullptr);
  ExpectAllCallsFail(nullptr);
  ExpectAllCallsFail(kForeignGroup);
}

TEST(ZunaShim, NullGroupOrNullNameNeverReachesTheBackend) {
  RecordingDatabase db;
  Guard guard(&db);
  ExpectAllCallsFail(nullptr);
  zunagroup* g = zuna_group_create(1, 0);
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(zuna_group_add(g, nullptr, "FIC101", "B_NALM", nullptr), kZunaNoEntry);
  EXPECT_EQ(zuna_group_add(g, "PLANT1", nullptr, "B_NALM", nullptr), kZunaNoEntry);
  EXPECT_EQ(zuna_group_add(g, "PLANT1", "FIC101", nullptr, nullptr), kZunaNoEntry);
  zuna_serial_set(g, nullptr, 3);
  zuna_serial_list(g, nullptr, nullptr);
  zuna_group_free(g);
  EXPECT_EQ(db.Calls(), (std::vector<std::string>{"group_create(1,0)", "group_free(G1)"}));
}

TEST(ZunaShim, ForwardsCallsAndAnswersUnchanged) {
  RecordingDatabase db;
  db.SetStatuses("FIC101", "B_NALM", tolvane::testing::DbStep::kWrite, {1713});
  db.SetValues("FIC101", "B_CUALM", {267});
  db.SetPutStatus("", "B_DALM", 9);
  db.SetSerials({{"PLANT1", 7}, {"PLANT2", 9}});
  Guard guard(&db);

  zunagroup* g = zuna_group_create(1, 0);
  ASSERT_NE(g, nullptr);
  VSP given{};
  given.blockType = 'A';
  EXPECT_EQ(zuna_group_add(g, "PLANT1", "FIC101", "B_NALM", nullptr), 0u);
  EXPECT_EQ(zuna_group_add(g, "PLANT1", "FIC101", "B_CUALM", &given), 1u);
  EXPECT_EQ(zuna_group_add(g, "PLANT1", "FIC101", "B_DALM", nullptr), 2u);
  zuna_serial_set(g, "PLANT1", 7);
  zuna_group_set_option(g, 0x8000DBBB);
  zuna_group_read(g);
  zuna_group_write(g);
  EXPECT_EQ(zuna_group_execute(g), 0);
  EXPECT_EQ(zuna_entry_status(g, 0), 1713);
  short value = 0;
  EXPECT_EQ(zuna_entry_get(g, 1, &value), 0);
  EXPECT_EQ(value, 267);
  EXPECT_EQ(zuna_entry_put(g, 2, 1), 9);
  ASSERT_EQ(zuna_serial_count(g), 2);
  uint32_t serials[2] = {};
  char names[2][9] = {};
  zuna_serial_list(g, serials, names);
  EXPECT_EQ(serials[1], 9u);
  EXPECT_STREQ(names[1], "PLANT2");
  Outputs out;
  zuna_entry_info(g, 1, out.node, out.tag, out.field, &out.vsp);
  EXPECT_STREQ(out.node, "PLANT1");
  EXPECT_STREQ(out.field, "B_CUALM");
  EXPECT_EQ(out.vsp.blockType, 'A');
  zuna_group_free(g);

  EXPECT_EQ(db.Calls(), (std::vector<std::string>{
                            "group_create(1,0)",
                            "group_add(G1,PLANT1,FIC101,B_NALM,null)",
                            "group_add(G1,PLANT1,FIC101,B_CUALM,vsp)",
                            "group_add(G1,PLANT1,FIC101,B_DALM,null)",
                            "serial_set(G1,PLANT1,7)",
                            "set_option(G1,0x8000DBBB)",
                            "read(G1)",
                            "write(G1)",
                            "execute(G1)",
                            "entry_status(G1,0)",
                            "entry_get(G1,1)",
                            "entry_put(G1,2,1)",
                            "serial_count(G1)",
                            "serial_list(G1)",
                            "entry_info(G1,1)",
                            "group_free(G1)",
                        }));
  EXPECT_EQ(db.OpenGroups(), 0u);
}

// Misbehaving backends: the shim must contain what they do.
class ThrowingDatabase : public DatabaseBackend {
 public:
  [[noreturn]] static void Fail() { throw std::runtime_error("database gone"); }
  zunagroup* GroupCreate(int, int) override { Fail(); }
  void GroupFree(zunagroup*) override { Fail(); }
  unsigned int GroupAdd(zunagroup*, const char*, const char*, const char*, const VSP*) override {
    Fail();
  }
  void EntryInfo(zunagroup*, unsigned int, char* node, char*, char*, VSP* vsp) override {
    if (node) std::memset(node, 'x', 9);  // half-written, unterminated
    if (vsp) std::memset(vsp, 0x11, sizeof *vsp);
    Fail();
  }
  unsigned short SerialCount(zunagroup*) override { Fail(); }
  void SerialList(zunagroup*, uint32_t*, char (*)[9]) override { Fail(); }
  void SerialSet(zunagroup*, const char*, uint32_t) override { Fail(); }
  void SetOption(zunagroup*, uint32_t) override { Fail(); }
  void Resolve(zunagroup*) override { Fail(); }
  void Read(zunagroup*) override { Fail(); }
  void Write(zunagroup*) override { Fail(); }
  short Execute(zunagroup*) override { Fail(); }
  short EntryStatus(zunagroup*, unsigned int) override { Fail(); }
  short EntryGet(zunagroup*, unsigned int, short* value) override {
    *value = 5;
    Fail();
  }
  short EntryPut(zunagroup*, unsigned int, short) override { Fail(); }
};

TEST(ZunaShim, ExceptionsFromTheBackendBecomeServiceDownFailures) {
  ThrowingDatabase db;
  Guard guard(&db);
  EXPECT_EQ(zuna_group_create(1, 0), nullptr);
  ExpectAllCallsFail(kForeignGroup);
}

// Writes names that fill their fields completely and answers a get with a
// value but a failing status.
class SloppyDatabase : public RecordingDatabase {
 public:
  void EntryInfo(zunagroup*, unsigned int, char* node, char* tag, char* field, VSP*) override {
    if (node) std::memset(node, 'N', 9);
    if (tag) std::memset(tag, 'T', 31);
    if (field) std::memset(field, 'F', 20);
  }
  short EntryGet(zunagroup*, unsigned int, short* value) override {
    *value = 1234;
    return 17;
  }
};

TEST(ZunaShim, NamesAreAlwaysTerminatedAndFailedGetsYieldZero) {
  SloppyDatabase db;
  Guard guard(&db);
  zunagroup* g = zuna_group_create(1, 0);
  Outputs out;
  zuna_entry_info(g, 0, out.node, out.tag, out.field, &out.vsp);
  EXPECT_EQ(std::string(out.node), std::string(8, 'N'));
  EXPECT_EQ(std::string(out.tag), std::string(30, 'T'));
  EXPECT_EQ(std::string(out.field), std::string(19, 'F'));
  // The backend left the address alone: nothing from before survives.
  VSP zero{};
  EXPECT_EQ(std::memcmp(&out.vsp, &zero, sizeof zero), 0);
  short value = 3;
  EXPECT_EQ(zuna_entry_get(g, 0, &value), 17);
  EXPECT_EQ(value, 0);
  zuna_group_free(g);
}

}  // namespace

namespace {

// Manager tests lean on the double's script; a wrong answer there would
// make them pass or fail for the wrong reason.
TEST(RecordingDatabase, ScriptsMatchExactTagFirstAndRepeatTheirLastElement) {
  using tolvane::testing::DbStep;
  RecordingDatabase db;
  db.FailAdd("B_DALM");
  db.FailAdd("B_CV", "TIC200");
  db.SetStatuses("", "B_NALM", DbStep::kRead, {0, 4});
  db.SetStatuses("FIC101", "B_NALM", DbStep::kRead, {8});
  db.SetValues("", "B_NALM", {1, 0});
  VSP scripted{};
  scripted.blockNumber = 12;
  db.SetInfoVsp("TIC200", "B_NALM", scripted);
  Guard guard(&db);

  zunagroup* g = zuna_group_create(1, 0);
  EXPECT_EQ(zuna_group_add(g, "P", "FIC101", "B_DALM", nullptr), kZunaNoEntry);
  EXPECT_EQ(zuna_group_add(g, "P", "TIC200", "B_CV", nullptr), kZunaNoEntry);
  EXPECT_EQ(zuna_group_add(g, "P", "FIC101", "B_CV", nullptr), 0u);
  unsigned int fic = zuna_group_add(g, "P", "FIC101", "B_NALM", nullptr);
  unsigned int tic = zuna_group_add(g, "P", "TIC200", "B_NALM", nullptr);
  short value = -1;
  std::vector<short> ticStatus, ticValue;
  for (int i = 0; i < 3; ++i) {
    zuna_group_read(g);
    zuna_group_execute(g);
    EXPECT_EQ(zuna_entry_status(g, fic), 8);
    ticStatus.push_back(zuna_entry_status(g, tic));
    zuna_entry_get(g, tic, &value);
    ticValue.push_back(value);
  }
  EXPECT_EQ(ticStatus, (std::vector<short>{0, 4, 4}));
  // FIC101's reads took the first values of the shared sequence.
  EXPECT_EQ(ticValue, (std::vector<short>{0, 0, 0}));
  VSP info{};
  zuna_entry_info(g, tic, nullptr, nullptr, nullptr, &info);
  EXPECT_EQ(info.blockNumber, 12);
  zuna_group_free(g);
  EXPECT_EQ(db.Adds().size(), 5u);
  EXPECT_EQ(db.CallsStartingWith("group_add").size(), 5u);
  EXPECT_EQ(db.OpenGroups(), 0u);
}

}  // namespace
