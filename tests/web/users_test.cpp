// The users file: hashes that verify, names and roles, replacing a user,
// a file others cannot read.
#include "web/users.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

namespace tolvane::web {
namespace {

class UsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tolvane-users-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    path_ = dir_ + "/users";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  bool Add(const std::string& name, Role role, const std::string& pw) {
    return AddUser(path_, name, role, pw, &err_, HashCost::kMinimal);
  }
  std::string dir_, path_, err_;
};

TEST_F(UsersTest, AddedUsersVerifyTheirPasswordOnlyAndReplaceKeepsTheOthers) {
  ASSERT_TRUE(Add("olga", Role::kOperator, "first-password")) << err_;
  ASSERT_TRUE(Add("vic", Role::kViewer, "viewer-password")) << err_;
  ASSERT_TRUE(Add("olga", Role::kViewer, "second-password")) << err_;
  std::vector<User> users;
  ASSERT_TRUE(LoadUsers(path_, &users, &err_)) << err_;
  ASSERT_EQ(users.size(), 2u);
  const User& vic = users[0];
  const User& olga = users[1];
  EXPECT_EQ(olga.name, "olga");
  EXPECT_EQ(olga.role, Role::kViewer);
  EXPECT_TRUE(VerifyPassword(&olga, "second-password"));
  EXPECT_FALSE(VerifyPassword(&olga, "first-password"));
  EXPECT_TRUE(VerifyPassword(&vic, "viewer-password"));
  EXPECT_FALSE(VerifyPassword(nullptr, "viewer-password"));
  EXPECT_EQ(olga.hash.find("viewer-password"), std::string::npos);

  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(UsersTest, BadNamesShortPasswordsAndBrokenLinesAreRefused) {
  EXPECT_FALSE(Add("", Role::kOperator, "long-enough"));
  EXPECT_FALSE(Add("a:b", Role::kOperator, "long-enough"));
  EXPECT_FALSE(Add(std::string(33, 'a'), Role::kOperator, "long-enough"));
  EXPECT_FALSE(Add("olga", Role::kOperator, "short"));
  EXPECT_FALSE(std::filesystem::exists(path_));

  ASSERT_TRUE(Add("olga", Role::kOperator, "long-enough")) << err_;
  std::ofstream(path_, std::ios::app) << "mallory:admin:$argon2id$x\n";
  std::vector<User> users;
  EXPECT_FALSE(LoadUsers(path_, &users, &err_));
  EXPECT_NE(err_.find(":3:"), std::string::npos) << err_;  // the comment, olga, then this
  EXPECT_FALSE(ParseRole("admin"));
}

}  // namespace
}  // namespace tolvane::web
