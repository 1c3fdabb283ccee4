// Numbers of dictionary and catalogue lines: a number whose digits carry a
// second minus sign used to be negated past the range of long long (caught
// by the undefined-behaviour sanitizer build).
#include <gtest/gtest.h>

#include <climits>

#include "node/text_catalogue.h"
#include "support/node_config_writer.h"

namespace tolvane::node {
namespace {

using testing::SettingsSandbox;

TEST(DictionaryNumberRegression, SignedExtremesAreReadOrSkippedSafely) {
  SettingsSandbox box;
  box.WriteFile("n.DLL",
                "--9223372036854775808=overflow\n"
                "-2147483648=lowest\n"
                "2147483647=highest\n"
                "-2147483649=below\n"
                "1=one\n");
  auto texts = ReadNumberedTexts(box.Path("n.DLL"));
  ASSERT_TRUE(texts);
  EXPECT_EQ(*texts, (NumberedTexts{{INT_MIN, "lowest"}, {INT_MAX, "highest"}, {1, "one"}}));
}

}  // namespace
}  // namespace tolvane::node
