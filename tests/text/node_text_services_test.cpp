// The embedded node's text services: file parsing, catalogue handles, number
// format, node variables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "node/node_variables.h"
#include "node/number_format.h"
#include "node/text_catalogue.h"
#include "services/lexmon.h"
#include "services/mardex.h"
#include "services/ulvoran.h"
#include "support/backend_guard.h"
#include "support/node_config_writer.h"

namespace tolvane::node {
namespace {

using testing::SettingsSandbox;

TEST(NumberedTextFile, ParsesNumbersTextsQuotesAndComments) {
  SettingsSandbox box;
  box.WriteFile("t.DLL",
                "# comment\r\n"
                "; another\n"
                "  12 = twelve  \r\n"
                "0x704=hex\n"
                "-3=negative\n"
                "5=\"  padded  \"\n"
                "5=second five loses\n"
                "6=a = b\n"
                "7=\n"
                "x=not a number\n"
                "8 no equals sign\n"
                "99999999999=too big\n"
                "9=\"\n");
  auto texts = ReadNumberedTexts(box.Path("t.DLL"));
  ASSERT_TRUE(texts);
  EXPECT_EQ(*texts, (NumberedTexts{{12, "twelve"},
                                   {0x704, "hex"},
                                   {-3, "negative"},
                                   {5, "  padded  "},
                                   {6, "a = b"},
                                   {9, "\""}}));
  EXPECT_FALSE(ReadNumberedTexts(box.Path("missing.DLL")));
}

TEST(NumberedTextFile, InternedTextsKeepTheirAddress) {
  const char* a = InternText("abc");
  for (int i = 0; i < 1000; ++i) InternText("filler " + std::to_string(i));
  EXPECT_EQ(InternText("abc"), a);
  EXPECT_STREQ(a, "abc");
}

TEST(TextCatalogueService, HandlesModuleNamesAndInjectedFaults) {
  SettingsSandbox box;
  box.WriteFile("CAT.DLL", "1=one\n");
  TextCatalogue cat;
  testing::BackendGuard<TextCatalogueBackend, InstallTextCatalogueBackend> guard(&cat);
  std::string path = box.dir() + "\\CAT.DLL";  // Windows separator as the library composes it
  int a = -1, b = -1;
  ASSERT_EQ(ulv_txtopen(path.c_str(), &a), 1);
  ASSERT_EQ(ulv_txtopen(path.c_str(), &b), 1);
  EXPECT_NE(a, b);
  char buf[8];
  EXPECT_EQ(ulv_getModuleName(&a, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "CAT.DLL");
  EXPECT_EQ(ulv_getModuleName(&a, buf, 4), 1);
  EXPECT_STREQ(buf, "CAT");
  EXPECT_EQ(ulv_txtget(&a, 1, buf, 3), 1);
  EXPECT_STREQ(buf, "on");
  EXPECT_EQ(ulv_txtget(&a, 2, buf, sizeof buf), 0);

  cat.faults().Inject("ulv_txtget", 5, 1);
  EXPECT_EQ(ulv_txtget(&a, 1, buf, sizeof buf), 0);
  EXPECT_EQ(ulv_txtget(&a, 1, buf, sizeof buf), 1);
  cat.faults().Inject("ulv_txtopen", 5);
  int c = -1;
  EXPECT_EQ(ulv_txtopen(path.c_str(), &c), 0);
  EXPECT_EQ(c, -1);
  cat.faults().ClearAll();

  EXPECT_EQ(ulv_txtclose(&a), 1);
  EXPECT_EQ(ulv_txtget(&a, 1, buf, sizeof buf), 0) << "closed";
  EXPECT_EQ(ulv_getModuleName(&a, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(cat.OpenCount(), 1u);
  EXPECT_EQ(ulv_txtclose(&b), 1);
  EXPECT_EQ(ulv_txtopen((box.dir() + "/NONE.DLL").c_str(), &c), 0);
}

TEST(TextCatalogueService, WithoutABackendEveryCallFails) {
  int h = 3;
  char buf[8] = "xyz";
  EXPECT_EQ(ulv_txtopen("/tmp/anything", &h), 0);
  EXPECT_EQ(h, 3);
  EXPECT_EQ(ulv_txtget(&h, 1, buf, sizeof buf), 0);
  EXPECT_EQ(ulv_getModuleName(&h, buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ulv_txtclose(&h), 0);
  DictEntry entries[2] = {{1, "keep", 1}, {0, "", -1}};
  EXPECT_EQ(ulv_overlay_dct(entries, "/tmp/x"), 0);
  EXPECT_STREQ(entries[0].text, "keep");
}

TEST(NodeVariableService, ComesFromTheNodesSettingsNotTheEnvironment) {
  ::setenv("NLSPATH", "/from/the/environment", 1);
  EXPECT_EQ(mardex_getvar("NLSPATH"), nullptr) << "no node, no variables";

  SettingsSandbox box;
  box.WriteFile("node.ini", "[variables]\nNLSPATH = /node/nls\nOTHER=1\n[number]\ndecimal=,\n");
  NodeVariables vars;
  EXPECT_TRUE(vars.LoadSettings());
  testing::BackendGuard<NodeVariablesBackend, InstallNodeVariablesBackend> guard(&vars);
  ASSERT_NE(mardex_getvar("NLSPATH"), nullptr);
  EXPECT_STREQ(mardex_getvar("nlspath"), "/node/nls");
  vars.Unset("NLSPATH");
  EXPECT_EQ(mardex_getvar("NLSPATH"), nullptr);
  vars.Set("NLSPATH", "/set/by/host");
  EXPECT_STREQ(mardex_getvar("NLSPATH"), "/set/by/host");
  vars.faults().Inject("mardex_getvar", 1);
  EXPECT_EQ(mardex_getvar("NLSPATH"), nullptr);
  EXPECT_FALSE(vars.LoadFile(box.Path("missing.ini")));

  NumberFormat format;
  EXPECT_TRUE(format.LoadFile(box.Path("node.ini")));
  EXPECT_EQ(format.DecimalSeparator(), ',');
  ::unsetenv("NLSPATH");
}

TEST(NumberFormatService, FixedThenScientificWithinTheRoom) {
  EXPECT_EQ(NumberFormat::Format(12.5, 3, 15, '.'), "12.500");
  EXPECT_EQ(NumberFormat::Format(0.0004, 3, 15, '.'), "0.000");
  EXPECT_EQ(NumberFormat::Format(1e20, 3, 15, '.'), "1.000e+20");
  EXPECT_EQ(NumberFormat::Format(-1e20, 3, 8, '.'), "-1.0e+20");
  EXPECT_EQ(NumberFormat::Format(-1e20, 3, 6, '.'), "-1e+20");
  EXPECT_EQ(NumberFormat::Format(-1e20, 3, 4, '.'), "-1e+") << "cut only when nothing fits";
  EXPECT_EQ(NumberFormat::Format(-12.5, 0, 15, ','), "-12");
  EXPECT_EQ(NumberFormat::Format(-1.0 / 0.0, 3, 15, '.'), "-Inf");

  NumberFormat format('.');
  testing::BackendGuard<NumberFormatBackend, InstallNumberFormatBackend> guard(&format);
  char buf[16];
  EXPECT_EQ(lexmon_format_real(3.14159, 3, 15, buf), 0);
  EXPECT_STREQ(buf, "3.142");
  EXPECT_EQ(lexmon_format_real(123456789012.0, 3, 15, buf), 0);
  EXPECT_STREQ(buf, "1.235e+11");
  format.faults().Inject("lexmon_format_real", 7, 1);
  EXPECT_EQ(lexmon_format_real(1.0, 3, 15, buf), 7);
  EXPECT_STREQ(buf, "");
}

}  // namespace
}  // namespace tolvane::node
