// Rows are matched without touching the heap once a filter object has seen
// its first row. Counts every allocation of the process while rows run.
#include <atomic>
#include <cstdlib>
#include <new>

#include "filter_test_env.h"
#include "support/node_config_writer.h"

// Sanitizers bring their own allocator; the count is taken in plain builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TOLVANE_COUNT_ALLOCATIONS 0
#else
#define TOLVANE_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

#if TOLVANE_COUNT_ALLOCATIONS
// The replacements pair malloc with free on purpose; optimised builds would
// otherwise see new paired with free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// Every form goes through malloc/free so that none of them can be mismatched.
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
#endif

namespace tolvane::testing {
namespace {

using AllocationTest = FilterTest;

TEST_F(AllocationTest, MatchingRowsAllocatesNothing) {
  if (!TOLVANE_COUNT_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted here";
  SettingsSandbox box;
  box.WriteFile("win.ini", "[intl]\nsShortDate=M/d/yyyy\nsDate=/\n");
  Parsed p(R"(ASF_TAGNAME = "PUMP*" AND ASF_AREA IN "A1,PLANT*" AND ASF_NODE IN "N1, N2" AND )"
           R"(ASF_PRIORITY >= "HIGH" AND ASF_DATEIN >= "3/1/2008" AND ASF_TIMEIN > "10:00" AND )"
           R"(NOT ASF_ACK = "Acknowledged" AND ASF_DESCRIPTION CONTAINING "*LOW*" AND )"
           R"(ASF_FLEX1 > "5" AND ASF_TAGNAME <> "X1" AND ASF_ALMEXT1 NOTCONTAINING "Q")");
  ASSERT_EQ(p.ok, 1);
  RowBuilder pass, fail;
  pass.Tag("PUMP7")
      .Areas("B2,PLANT3")
      .Node("N2")
      .Priority("HIHI")
      .DateIn("3/15/2008")
      .TimeIn("10:30:00")
      .Acked(false)
      .Description("LEVEL LOW")
      .Ext1("E");
  node::field_block::Init(pass.row.fieldBlock);
  node::field_block::SetInt16(pass.row.fieldBlock, 0, 7);
  fail = pass;
  fail.Priority("LOW");
  EXPECT_EQ(p.Match(*pass), 1);  // the first row prepares the filter
  EXPECT_EQ(p.Match(*fail), 0);

  long before = g_allocations.load();
  int passed = 0;
  for (int i = 0; i < 1000; ++i) passed += p.Match(i % 2 ? *fail : *pass);
  long after = g_allocations.load();
  EXPECT_EQ(passed, 500);
  EXPECT_EQ(after - before, 0);
  // The counter does see the library's allocations: a new call's first row
  // prepares its own filter.
  Parsed again(std::string(R"(ASF_DATEIN >= "3/1/2008")"));
  before = g_allocations.load();
  again.Match(*pass);
  EXPECT_GT(g_allocations.load() - before, 0);
}

}  // namespace
}  // namespace tolvane::testing
