// Message boxes reach the host's notice hook and never block.
#include "platform/notice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvane {
namespace {

struct Seen {
  std::string text;
  unsigned int style;
};
std::vector<Seen> g_seen;

void Record(const char* text, unsigned int style) {
  g_seen.push_back({text, style});
}

class NoticeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    previous_ = SetNoticeHook(&Record);
  }
  void TearDown() override { SetNoticeHook(previous_); }
  NoticeHook previous_ = nullptr;
};

TEST_F(NoticeTest, MessageBoxesGoToTheHookAndAnswerOk) {
  EXPECT_EQ(MessageBoxA(GetFocus(), "Invalid handle", nullptr, MB_OK), 1);
  EXPECT_EQ(AfxMessageBox("FLS INTERNAL ERROR: bad key", MB_ICONWARNING), 1);
  EXPECT_EQ(AfxMessageBox("Invalid Handle"), 1);
  ASSERT_EQ(g_seen.size(), 3u);
  EXPECT_EQ(g_seen[0].text, "Invalid handle");
  EXPECT_EQ(g_seen[0].style, MB_OK);
  EXPECT_EQ(g_seen[1].text, "FLS INTERNAL ERROR: bad key");
  EXPECT_EQ(g_seen[1].style, MB_ICONWARNING);
  EXPECT_EQ(g_seen[2].style, MB_OK);
  EXPECT_EQ(GetFocus(), nullptr);
}

TEST_F(NoticeTest, AMissingTextReachesTheHookAsEmptyText) {
  MessageBoxA(nullptr, nullptr, nullptr, MB_OK);
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].text, "");
}

TEST_F(NoticeTest, InstallingReturnsThePreviousHookAndNullRestoresStderr) {
  EXPECT_EQ(SetNoticeHook(nullptr), &Record);
  ::testing::internal::CaptureStderr();
  AfxMessageBox("Invalid handle");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "tolvane: Invalid handle\n");
  EXPECT_TRUE(g_seen.empty());
  NoticeHook stderrHook = SetNoticeHook(&Record);
  EXPECT_NE(stderrHook, nullptr);
  EXPECT_NE(stderrHook, &Record);
}

}  // namespace
}  // namespace tolvane
