// A NUL byte in a dictionary file or catalogue line ends that line's text:
// a text that began with one used to be installed as an empty C string,
// which ends a dictionary table early and hides every entry after it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "node/text_catalogue.h"
#include "services/ulvoran.h"
#include "support/backend_guard.h"
#include "support/node_config_writer.h"

namespace tolvane::node {
namespace {

using testing::SettingsSandbox;

TEST(DictionaryNulRegression, TextStartingWithNulKeepsTheTableWhole) {
  SettingsSandbox box;
  static const char kFile[] = "3=\0\0later\n-7=LOWER\n5=ab\0cd\n0=\"x\0\"\n";
  box.WriteFile("t.DLL", std::string(kFile, sizeof kFile - 1));
  TextCatalogue cat;
  testing::BackendGuard<TextCatalogueBackend, InstallTextCatalogueBackend> guard(&cat);

  DictTableStorage<5> table{
      {-1, "t t", 0},
      {{6, "CRIT", 3}, {6, "LOW", -7}, {6, "FIVE", 5}, {0, "ZERO", 0}, {0, "", -1}}};
  ASSERT_NE(ulv_overlay_dct(table.header.Entries(), box.Path("t.DLL").c_str()), 0);
  EXPECT_STREQ(table.entries[0].text, "CRIT");  // nothing before the NUL: built-in stays
  EXPECT_STREQ(table.entries[1].text, "LOWER");
  EXPECT_STREQ(table.entries[2].text, "ab");
  EXPECT_STREQ(table.entries[3].text, "\"x");  // the closing quote was past the NUL
  EXPECT_EQ(table.entries[4].id, -1);

  int handle = 0;
  ASSERT_NE(ulv_txtopen(box.Path("t.DLL").c_str(), &handle), 0);
  char text[16];
  EXPECT_EQ(ulv_txtget(&handle, 3, text, sizeof text), 0);
  ASSERT_NE(ulv_txtget(&handle, 5, text, sizeof text), 0);
  EXPECT_STREQ(text, "ab");
  ulv_txtclose(&handle);
}

}  // namespace
}  // namespace tolvane::node
