#include "nodeconfig/node_config.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/node_config_writer.h"
#include "text/text_env.h"
#include "tolvane/result_codes.h"

namespace tolvane {
namespace {

using testing::NodeConfigWriter;
using testing::TextEnv;

constexpr int16_t kSummaryOption = 2;

class NodeConfig : public ::testing::Test {
 protected:
  void SetUp() override { env.box.SetNodeConfigSetting(env.box.dir() + "/node1"); }

  // Writes node1.VARN.
  void Write(const NodeConfigWriter& w, std::size_t keep = SIZE_MAX) {
    w.Write(env.box.Path("node1.VARN"), keep);
  }

  // Five services (printers 1-4 and the summary service) in file order.
  static NodeConfigWriter FiveServices(int16_t version, int16_t summaryOptions, int32_t mask) {
    NodeConfigWriter w(version);
    for (int16_t m : {1, 2, 4, 8}) w.Service(m, 132, "P" + std::to_string(m));
    w.Service(16, summaryOptions, "SUMMARY");
    w.ServicesMask(mask);
    return w;
  }

  short Flag(short* rc = nullptr) {
    short flag = 7;
    short r = read_summary_option(&flag);
    if (rc) *rc = r;
    return flag;
  }

  TextEnv env;
};

TEST_F(NodeConfig, SummaryOptionNeedsTheOptionBitAndTheServicesMaskBit) {
  struct Case {
    int16_t version, options;
    int32_t mask;
    short expected;
  };
  for (Case c : {Case{10, kSummaryOption, 0x1F, 1}, Case{10, kSummaryOption, 0x0F, 0},
                 Case{10, 0x7FFD, 0x1F, 0}, Case{10, kSummaryOption | 0x80, 0x10, 1},
                 Case{9, kSummaryOption, 0x1F, 1}, Case{9, kSummaryOption, 0x0F, 0},
                 Case{9, 0, 0x1F, 0}, Case{11, kSummaryOption, 0x10, 1}}) {
    SCOPED_TRACE(::testing::Message()
                 << "version " << c.version << " options " << c.options << " mask " << c.mask);
    Write(FiveServices(c.version, c.options, c.mask));
    short rc = -1;
    EXPECT_EQ(Flag(&rc), c.expected);
    EXPECT_EQ(rc, kOk);
  }
}

TEST_F(NodeConfig, AnOldFileWithFourServicesHasTheDefaultSummarySlot) {
  NodeConfigWriter w(9);
  for (int16_t m : {1, 2, 4, 8}) w.Service(m, kSummaryOption);
  w.ServicesMask(0x1F);
  Write(w);
  EXPECT_EQ(Flag(), 0) << "the summary slot's default options are 0";

  NodeConfigWriter w10(10);
  for (int16_t m : {1, 2, 4, 8}) w10.Service(m, kSummaryOption);
  w10.ServicesMask(0x1F);
  Write(w10);
  EXPECT_EQ(Flag(), 0) << "an unsupplied slot is empty";
}

TEST_F(NodeConfig, OldFilesAreConvertedWithEveryDefault) {
  NodeConfigWriter w(9);
  std::size_t r0 = w.Service(1, 77, "FIRSTPRN");
  w.Service(2, 78, "SECONDPRN");
  // Record 0's first layout: its own 8 entries and order.
  auto& rec = w.Record(r0);
  for (int i = 0; i < 8; ++i) {
    NodeConfigWriter::PutInt16(rec, 91 + 6 * i, 1);
    NodeConfigWriter::PutInt16(rec, 91 + 6 * i + 2, static_cast<int16_t>(100 + i));
    NodeConfigWriter::PutInt16(rec, 91 + 6 * i + 4, 9);
    NodeConfigWriter::PutInt16(rec, 91 + 48 + 2 * i, static_cast<int16_t>(7 - i));
  }
  NodeConfigWriter::PutInt16(rec, 91 + 64, 5);  // its last int16
  NodeConfigWriter::PutInt16(rec, 223, 1234);   // the record's last int16
  auto& t = w.Trailer();
  w.ServicesMask(0x13);
  NodeConfigWriter::PutInt32(t, 48, 0x01020304);
  NodeConfigWriter::PutInt16(t, 52 + 64, 3);  // trailer layout's last int16
  NodeConfigWriter::PutInt16(t, 118, 118);
  NodeConfigWriter::PutInt32(t, 120, 120120);
  NodeConfigWriter::PutInt16(t, 124, 124);
  NodeConfigWriter::PutInt16(t, 146 + 2, 64);  // embedded record's mask
  t[371] = 0xAB;
  NodeConfigWriter::PutInt16(t, 529, 529);
  Write(w);

  AlarmServicesConfig cfg;
  ASSERT_EQ(read_alarm_services(&cfg), kOk);

  // Slots read from the file keep their fields; the layout grows to 18.
  const AlarmServiceRecord& s0 = cfg.slots[0];
  EXPECT_EQ(+s0.length, 385);
  EXPECT_EQ(+s0.options, 77);
  EXPECT_EQ(+s0.queueSize, 50);
  EXPECT_STREQ(s0.name, "FIRSTPRN");
  EXPECT_EQ(+s0.layoutA.entries[7].column, 107);
  EXPECT_EQ(+s0.layoutA.order[0], 7);
  EXPECT_EQ(+s0.layoutA.last, 5);
  EXPECT_EQ(+s0.layoutA.entries[8].shown, 0);
  EXPECT_EQ(+s0.layoutA.entries[8].column, 132);
  EXPECT_EQ(+s0.layoutA.entries[17].column, 371);
  EXPECT_EQ(+s0.layoutA.order[8], -1);
  EXPECT_EQ(+s0.layoutA.order[17], -1);
  EXPECT_EQ(+s0.tail, 1234);
  EXPECT_STREQ(cfg.slots[1].name, "SECONDPRN");

  // Slots the file does not supply keep the defaults.
  for (int i = 2; i < 8; ++i) {
    SCOPED_TRACE(i);
    const AlarmServiceRecord& s = cfg.slots[i];
    EXPECT_EQ(+s.length, 385);
    EXPECT_EQ(+s.serviceMask, 1 << i);
    EXPECT_EQ(+s.options, i == 4 ? 0 : 132);
    EXPECT_EQ(+s.queueSize, i == 4 ? 200 : 100);
    EXPECT_EQ(+s.tail, 132);
    EXPECT_EQ(+s.layoutA.entries[0].column, 11);
    EXPECT_EQ(+s.layoutA.entries[7].width, 39);
    EXPECT_EQ(+s.layoutA.order[0], 1);
    EXPECT_EQ(+s.layoutA.order[7], 7);
    EXPECT_EQ(+s.layoutA.last, 1);
    EXPECT_EQ(+s.layoutB.last, 0) << "carried from the cleared structure";
  }
  EXPECT_STREQ(cfg.slots[2].name, "PRINTER_2");
  EXPECT_STREQ(cfg.slots[3].name, "PRINTER_3");
  EXPECT_STREQ(cfg.slots[4].name, "");
  EXPECT_STREQ(cfg.slots[3].title, "Alarm Printer 4");
  EXPECT_STREQ(cfg.slots[4].title, "Alarm Summary Service");
  EXPECT_STREQ(cfg.slots[7].title, "Alarm ODBC Service");

  const AlarmSectionTrailer& tr = cfg.trailer;
  EXPECT_EQ(+tr.length, 771);
  EXPECT_EQ(+tr.servicesMask, 0x13);
  EXPECT_EQ(+tr.field48, 0x01020304);
  EXPECT_EQ(+tr.layout.last, 3);
  EXPECT_EQ(+tr.layout.order[17], -1);
  EXPECT_EQ(+tr.fieldAfterLayout, 118);
  EXPECT_EQ(+tr.fieldAfterLayout2, 120120);
  EXPECT_EQ(+tr.embeddedHead, 124);
  EXPECT_EQ(+tr.embedded.length, 385);
  EXPECT_EQ(+tr.embedded.serviceMask, 64);
  EXPECT_EQ(+tr.areaAfterRecord[0], 0xAB);
  EXPECT_EQ(+tr.end, 529);
}

TEST_F(NodeConfig, PrinterQueueNamesComeFromTheVarnErrorCatalogue) {
  env.WriteNls("VARNERROR.DLL", "100=LINEPRINTERQUEUE_WITH_A_LONG_NAME\n");
  NodeConfigWriter w(9);
  w.ServicesMask(0);
  Write(w);
  AlarmServicesConfig cfg;
  ASSERT_EQ(read_alarm_services(&cfg), kOk);
  // The base name is read into 32 bytes, the name cut to 32 characters.
  EXPECT_STREQ(cfg.slots[0].name, "LINEPRINTERQUEUE_WITH_A_LONG_NA_");
  EXPECT_EQ(std::strlen(cfg.slots[3].name), 32u);
  EXPECT_STREQ(cfg.slots[5].name, "");
}

TEST_F(NodeConfig, MissingAndShortFiles) {
  short rc = 0;
  EXPECT_EQ(Flag(&rc), 0);
  EXPECT_EQ(rc, kConfigNotFound) << "no node1.VARN yet";

  NodeConfigWriter w = FiveServices(10, kSummaryOption, 0x1F);
  std::size_t full = w.Bytes().size();
  for (std::size_t keep : {std::size_t{0}, std::size_t{3}, std::size_t{30}, std::size_t{65},
                           std::size_t{64 + 2 + 385 + 100}, full - 1}) {
    SCOPED_TRACE(keep);
    Write(w, keep);
    EXPECT_EQ(Flag(&rc), 0);
    EXPECT_EQ(rc, kShortRead);
  }
  Write(FiveServices(9, kSummaryOption, 0x1F), 64 + 2 + 5 * 225 + 530);
  EXPECT_EQ(Flag(&rc), 0);
  EXPECT_EQ(rc, kShortRead);

  Write(w);
  EXPECT_EQ(Flag(&rc), 1);
  EXPECT_EQ(rc, kOk);

  env.box.WriteRegistry("");
  EXPECT_EQ(Flag(&rc), 0);
  EXPECT_EQ(rc, kConfigNotFound) << "no VARNFILE setting";
}

TEST_F(NodeConfig, ARecordLongerThanTheMaximumIsCutAndTheNextFoundAfterIt) {
  for (int16_t version : {10, 9}) {
    SCOPED_TRACE(version);
    NodeConfigWriter w = FiveServices(version, kSummaryOption, 0x1F);
    w.Resize(0, w.RecordSize() + 100);
    w.Resize(4, w.RecordSize() + 3);
    Write(w);
    AlarmServicesConfig cfg;
    ASSERT_EQ(read_alarm_services(&cfg), kOk);
    EXPECT_EQ(+cfg.slots[0].serviceMask, 1);
    EXPECT_EQ(+cfg.slots[1].serviceMask, 2);
    EXPECT_STREQ(cfg.slots[1].name, "P2");
    EXPECT_EQ(+cfg.slots[4].options, kSummaryOption);
    EXPECT_EQ(+cfg.trailer.servicesMask, 0x1F);
    if (version == 10) {
      EXPECT_EQ(+cfg.slots[0].length, static_cast<int16_t>(385 + 100)) << "as the file says";
      EXPECT_NE(+cfg.slots[1].length, 0x5A5A) << "nothing past a slot";
    }
  }
}

TEST_F(NodeConfig, CountsAboveEightFillEightSlotsAndStillFindTheTrailer) {
  NodeConfigWriter w(10);
  for (int i = 0; i < 8; ++i) w.Service(static_cast<int16_t>(1 << i), i == 4 ? kSummaryOption : 0);
  w.Service(256, kSummaryOption, "NINTH");
  w.Service(512, kSummaryOption, "TENTH");
  w.ServicesMask(0x3FF);
  Write(w);
  AlarmServicesConfig cfg;
  ASSERT_EQ(read_alarm_services(&cfg), kOk);
  EXPECT_EQ(+cfg.slots[7].serviceMask, 128);
  EXPECT_EQ(+cfg.trailer.servicesMask, 0x3FF);
  EXPECT_EQ(+cfg.trailer.length, 771);
  EXPECT_EQ(Flag(), 1);
}

TEST_F(NodeConfig, ANegativeCountReadsNoRecords) {
  NodeConfigWriter w(10);
  w.Count(-5);
  w.ServicesMask(0x10);
  Write(w);
  AlarmServicesConfig cfg;
  ASSERT_EQ(read_alarm_services(&cfg), kOk);
  EXPECT_EQ(+cfg.trailer.servicesMask, 0x10);
  for (const AlarmServiceRecord& s : cfg.slots) EXPECT_EQ(+s.length, 0);
  EXPECT_EQ(Flag(), 0);
}

TEST_F(NodeConfig, EachReadStartsFromAClearedStructure) {
  Write(FiveServices(10, kSummaryOption, 0x1F));
  ASSERT_EQ(Flag(), 1);
  EXPECT_EQ(+LastAlarmServices().slots[4].options, kSummaryOption);
  NodeConfigWriter w(10);
  w.Service(1, 0);
  w.ServicesMask(0x1F);
  Write(w);
  EXPECT_EQ(Flag(), 0) << "the earlier file's summary slot must not survive";
  EXPECT_EQ(+LastAlarmServices().slots[4].length, 0);
}

TEST_F(NodeConfig, ConcurrentQueriesAllGetTheFilesAnswer) {
  Write(FiveServices(10, kSummaryOption, 0x1F));
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        short flag = 0;
        if (read_summary_option(&flag) != kOk || flag != 1) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  AlarmServicesConfig last = LastAlarmServices();
  EXPECT_STREQ(last.slots[4].name, "SUMMARY");
  EXPECT_EQ(+last.trailer.servicesMask, 0x1F);
}

TEST(NodeConfigPath, TheSettingGetsVarnUnlessItHasAnExtension) {
  testing::SettingsSandbox box;
  char path[260];
  box.SetNodeConfigSetting("C:\\Config\\NODE1");
  ASSERT_EQ(node_config_path(path, sizeof path), kOk);
  EXPECT_STREQ(path, "C:\\Config\\NODE1.VARN");
  box.SetNodeConfigSetting("C:\\Config\\NODE1.CFG");
  ASSERT_EQ(node_config_path(path, sizeof path), kOk);
  EXPECT_STREQ(path, "C:\\Config\\NODE1.CFG");
  EXPECT_EQ(node_config_path(path, 10), kConfigNotFound);
  EXPECT_EQ(open_node_config(), nullptr);
}

TEST(ConfigRecord, ReadsUpToTheLengthOrTheMaximum) {
  testing::SettingsSandbox box;
  box.WriteFile("r.bin", std::string("\x06\x00"
                                     "ABCD"
                                     "\x40\x00"
                                     "xy",
                                     10));
  std::FILE* f = std::fopen(box.Path("r.bin").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[16];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(read_config_record(f, buf, 0, 16), kOk);
  EXPECT_EQ(std::string(buf + 2, 6), "ABCD##");
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(read_config_record(f, buf, 0, 3), kOk);
  EXPECT_EQ(std::string(buf, 4), std::string("\x06\x00"
                                             "A#",
                                             4));
  EXPECT_EQ(read_config_record(f, buf, 6, 16), kShortRead) << "length 64, 4 bytes left";
  EXPECT_EQ(read_config_record(f, buf, 8, 16), kShortRead) << "fewer than 4 bytes";
  EXPECT_EQ(read_config_record(f, buf, -1, 16), kShortRead);
  EXPECT_EQ(read_config_record(nullptr, buf, 0, 16), kShortRead);
  std::fclose(f);
}

}  // namespace
}  // namespace tolvane
