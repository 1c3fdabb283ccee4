#include "manager/template_format.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvane {
namespace {

TEST(FillTemplate, SubstitutesPlaceholdersInOrder) {
  EXPECT_EQ(FillTemplate("Alarm %s on %s removed", {"N1", "T1"}, 132), "Alarm N1 on T1 removed");
}

TEST(FillTemplate, MissingArgumentsBecomeEmptyAndOtherPercentsStay) {
  EXPECT_EQ(FillTemplate("%s %s %d %n %%", {"A"}, 132), "A  %d %n %%");
  EXPECT_EQ(FillTemplate("%s", {nullptr}, 132), "");
  EXPECT_EQ(FillTemplate("100%", {}, 132), "100%");
}

TEST(FillTemplate, CutsAtTheLimit) {
  std::string longArg(300, 'x');
  std::string out = FillTemplate("Tag %s acknowledged", {longArg.c_str()}, 132);
  EXPECT_EQ(out.size(), 132u);
  EXPECT_EQ(out.substr(0, 4), "Tag ");
}

}  // namespace
}  // namespace tolvane
