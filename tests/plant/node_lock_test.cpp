// One writer per node of a store: the lock a holder keeps while it runs,
// released by the kernel however the holder ends.
#include "plant/node_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace tolvane::plant {
namespace {

using namespace std::chrono_literals;

class NodeLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tolvane-lock-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    store_ = (dir_ / "plant.db").string();
    std::ofstream(store_) << "";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<NodeLock> Take(const std::string& node, std::optional<NodeHolder>* holder,
                                 const std::string& path = {}) {
    std::string err;
    auto l = NodeLock::TryAcquire(path.empty() ? store_ : path, node,
                                  ThisProcess("test", "nats://127.0.0.1:4222"), holder, &err);
    EXPECT_TRUE(l || holder->has_value()) << err;
    return l;
  }

  std::filesystem::path dir_;
  std::string store_;
};

TEST_F(NodeLockTest, OneHolderPerNodeSaysWhoHoldsItAndOtherNodesStayFree) {
  std::optional<NodeHolder> holder;
  auto mine = Take("PLANT1", &holder);
  ASSERT_TRUE(mine);
  // Node names compare without case, and every path to the store is one
  // store: a symlink finds the same lock.
  std::filesystem::create_symlink(store_, dir_ / "link.db");
  for (const auto& [node, path] : std::vector<std::pair<std::string, std::string>>{
           {"PLANT1", store_}, {"plant1", store_}, {"PLANT1", (dir_ / "link.db").string()}}) {
    holder.reset();
    EXPECT_FALSE(Take(node, &holder, path)) << node << " " << path;
    ASSERT_TRUE(holder) << node << " " << path;
    EXPECT_EQ(holder->pid, ::getpid());
    EXPECT_EQ(holder->program, "test");
    EXPECT_EQ(holder->contact, "nats://127.0.0.1:4222");
  }
  auto other = Take("PLANT2", &holder);
  EXPECT_TRUE(other);
  ASSERT_TRUE(HolderOf(store_, "PLANT1"));
  mine.reset();
  // Released and removed: nobody holds it, and no file is left.
  EXPECT_FALSE(HolderOf(store_, "PLANT1"));
  EXPECT_FALSE(std::filesystem::exists(NodeLockPath(store_, "PLANT1")));
  EXPECT_TRUE(Take("PLANT1", &holder));
}

TEST_F(NodeLockTest, AHolderThatDiesReleasesItsNodeHoweverItEnds) {
  for (int sig : {SIGKILL, 0}) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::optional<NodeHolder> h;
      std::string err;
      auto l = NodeLock::TryAcquire(store_, "PLANT1", ThisProcess("child"), &h, &err);
      char c = l ? 1 : 0;
      (void)!::write(ready[1], &c, 1);
      if (sig == 0) ::_exit(0);  // ends without releasing
      ::pause();
      ::_exit(0);
    }
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    ASSERT_EQ(c, 1);
    auto held = HolderOf(store_, "PLANT1");
    if (sig != 0) {
      ASSERT_TRUE(held);
      EXPECT_EQ(held->pid, pid);
      ::kill(pid, sig);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    // The file is still there; the lock is not, and a sweep removes it.
    EXPECT_TRUE(std::filesystem::exists(NodeLockPath(store_, "PLANT1")));
    std::optional<NodeHolder> holder;
    auto other = Take("PLANT2", &holder);
    SweepNodeLocks(store_);
    EXPECT_FALSE(std::filesystem::exists(NodeLockPath(store_, "PLANT1")));
    EXPECT_TRUE(std::filesystem::exists(NodeLockPath(store_, "PLANT2")));  // held: kept
    auto taken = Take("PLANT1", &holder);
    EXPECT_TRUE(taken) << "after signal " << sig;
  }
}

TEST_F(NodeLockTest, AllOrNoneAndAWaitForAHolderThatGoes) {
  std::optional<NodeHolder> holder;
  auto two = Take("PLANT2", &holder);
  ASSERT_TRUE(two);
  std::vector<std::unique_ptr<NodeLock>> locks;
  std::string held, err;
  // Held for a command: waited for up to the time given, then refused.
  EXPECT_FALSE(AcquireAll(store_, {"UTILS", "PLANT2", "PLANT1"}, ThisProcess("test"), 300ms, &locks,
                          &held, &holder, &err));
  EXPECT_EQ(held, "PLANT2");
  EXPECT_TRUE(locks.empty());
  EXPECT_FALSE(HolderOf(store_, "PLANT1"));  // taken before the refusal, given back

  std::thread release([&] {
    std::this_thread::sleep_for(200ms);
    two.reset();
  });
  EXPECT_TRUE(AcquireAll(store_, {"PLANT2", "PLANT1"}, ThisProcess("waiter"), 10s, &locks, &held,
                         &holder, &err))
      << err;
  release.join();
  EXPECT_EQ(locks.size(), 2u);
  locks.clear();

  // Held while its holder runs: not waited for.
  std::string lerr;
  auto daemon =
      NodeLock::TryAcquire(store_, "UTILS", ThisProcess("daemon", "", true), &holder, &lerr);
  ASSERT_TRUE(daemon);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(
      AcquireAll(store_, {"UTILS"}, ThisProcess("test"), 30s, &locks, &held, &holder, &err));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  ASSERT_TRUE(holder);
  EXPECT_TRUE(holder->longLived);
  EXPECT_EQ(holder->program, "daemon");
}

TEST_F(NodeLockTest, APlaceThatCannotTakeTheFileIsAnErrorNotAHolder) {
  std::optional<NodeHolder> holder;
  std::string err;
  auto l = NodeLock::TryAcquire((dir_ / "no-such-dir" / "plant.db").string(), "PLANT1",
                                ThisProcess("test"), &holder, &err);
  EXPECT_FALSE(l);
  EXPECT_FALSE(holder);
  EXPECT_NE(err.find("cannot make the lock file"), std::string::npos) << err;
}

}  // namespace
}  // namespace tolvane::plant
