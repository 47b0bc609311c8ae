// Tracked allocation: guard tag, per-thread statistics, the MEM_STATS line,
// and every fatal path (run in a forked child).
#include "twlb_alloc.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <thread>

#include "core_test_util.h"
#include "twlb_get_norm_obj_id.h"

namespace {

struct Stats {
  unsigned long long allocated, freed;
  unsigned int allocs, frees, periodic_allocated;
  static Stats now() {
    return {g_c_mem_allocated, g_c_mem_freed, g_c_alloc_count, g_c_free_count,
            g_mem_allocated};
  }
};

TEST(TrackedAlloc, BlockCarriesGuardTagAndCountsItsSize) {
  Stats before = Stats::now();
  char *p = nullptr;
  TWLB_MALLOC(p, 96, "NormalTableInit");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memcmp(p + 96, "OMemDbg", 7), 0);
  Stats after = Stats::now();
  EXPECT_EQ(after.allocated - before.allocated, 96u);
  EXPECT_EQ(after.periodic_allocated - before.periodic_allocated, 96u);
  EXPECT_EQ(after.allocs - before.allocs, 1u);
  TWLB_FREE(p, "NormalTableInit", -1);
  EXPECT_EQ(p, nullptr);
  Stats freed = Stats::now();
  EXPECT_EQ(freed.freed - after.freed, 1u);  // a release counts 1 byte
  EXPECT_EQ(freed.frees - after.frees, 1u);
}

TEST(TrackedAlloc, ZeroSizeAndNullPointersChangeNothing) {
  Stats before = Stats::now();
  char *p = reinterpret_cast<char *>(&before);
  TWLB_MALLOC(p, 0, "zero");
  EXPECT_EQ(p, nullptr);
  TWLB_FREE(p, "zero", -1);
  Stats after = Stats::now();
  EXPECT_EQ(after.allocated, before.allocated);
  EXPECT_EQ(after.allocs, before.allocs);
  EXPECT_EQ(after.frees, before.frees);
}

TEST(TrackedAlloc, ReallocOfNullAllocatesAndResizeKeepsTotals) {
  Stats before = Stats::now();
  char *p = nullptr;
  TWLB_REALLOC(p, 1048576, 0, "bigbuf", -1);
  ASSERT_NE(p, nullptr);
  Stats mid = Stats::now();
  EXPECT_EQ(mid.allocs - before.allocs, 1u);
  EXPECT_EQ(mid.allocated - before.allocated, 1048576u);
  p[0] = 'k';
  TWLB_REALLOC(p, 1048576 + 10240, 1048576, "bigbuf", -1);
  EXPECT_EQ(p[0], 'k');
  EXPECT_EQ(memcmp(p + 1048576 + 10240, "OMemDbg", 7), 0);
  Stats after = Stats::now();
  EXPECT_EQ(after.allocated, mid.allocated);
  EXPECT_EQ(after.allocs, mid.allocs);
  TWLB_FREE(p, "bigbuf", -1);
}

TEST(TrackedAlloc, StatisticsArePerThread) {
  unsigned long long other_thread = 0;
  Stats before = Stats::now();
  std::thread t([&] {
    char *p = nullptr;
    TWLB_MALLOC(p, 1000, "thread");
    other_thread = g_c_mem_allocated;
    TWLB_FREE(p, "thread", -1);
  });
  t.join();
  EXPECT_EQ(other_thread, 1000u);
  EXPECT_EQ(Stats::now().allocated, before.allocated);
}

TEST(TrackedAlloc, MemStatsLineGoesToTheLibraryLog) {
  core_test::TempDir tmp;
  std::string path = tmp.path("lib.log");
  {
    core_test::LogScope on(path, TWLB_LOG_CRITICAL, MEMORY);
    char *p = nullptr;
    TWLB_MALLOC(p, 10, "stats");
    TWLB_FREE(p, "stats", -1);
  }
  std::string log = core_test::read_file(path);
  EXPECT_NE(log.find("twlb_alloc_test.cpp|"), std::string::npos);
  EXPECT_NE(log.find("MEM_STATS: Cumulative allocated memory = "),
            std::string::npos);
  EXPECT_NE(log.find(" MB, Periodic Net allocated memory =  "),
            std::string::npos);
  EXPECT_EQ(log.find("TWLB_MALLOC'ed"), std::string::npos);  // level 2 off
}

using TrackedAllocDeath = ::testing::Test;

TEST(TrackedAllocDeath, NegativeSizeExits) {
  char *p = nullptr;
  EXPECT_EXIT(TWLB_MALLOC(p, -5, "neg"), ::testing::ExitedWithCode(255),
              "\\|neg\\|TWLB: Trying to malloc a negative size \\(-5\\)");
}

TEST(TrackedAllocDeath, ReallocToZeroExits) {
  char *p = nullptr;
  TWLB_MALLOC(p, 8, "live");
  EXPECT_EXIT(TWLB_REALLOC(p, 0, 8, "live", 3), ::testing::ExitedWithCode(255),
              "TWLB: Trying to realloc a negative or 0 size \\(0\\) for index "
              "3");
  TWLB_FREE(p, "live", -1);
}

TEST(TrackedAllocDeath, OutOfMemoryExits) {
  char *p = nullptr;
  EXPECT_EXIT(
      {
        twlb_alloc_fail_after(1);
        TWLB_MALLOC(p, 64, "starved");
      },
      ::testing::ExitedWithCode(255),
      "TWLB: .*twlb_alloc_test.cpp\\|[0-9]+\\|TestBody\\| Out of Memory "
      "\\(size = 64\\): starved");
}

TEST(TrackedAllocDeath, FailedReallocAborts) {
  char *p = nullptr;
  TWLB_MALLOC(p, 8, "grow");
  EXPECT_EXIT(
      {
        twlb_alloc_fail_after(1);
        TWLB_REALLOC(p, 4096, 8, "grow", 7);
      },
      ::testing::KilledBySignal(SIGABRT),
      "TWLB: ERROR [0-9]+\\|.*\\| Out of Memory \\(size = 4096\\): grow for "
      "index 7 err msg");
  TWLB_FREE(p, "grow", -1);
}

TEST(TrackedAllocDeath, ReleasedIdNodeOutOfMemoryExits) {
  NormObjKey key;
  twlb_init_norm_id_table(&key, 16);
  EXPECT_EXIT(
      {
        twlb_alloc_fail_after(1);
        twlb_add_id_in_free_list(&key, 3);
      },
      ::testing::ExitedWithCode(255), "Out of Memory .*: FreeNormIdList");
  twlb_obj_hash_destroy(&key);
}

}  // namespace
