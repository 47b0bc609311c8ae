// Tracked allocation: guard tag, per-thread statistics, the MEM_STATS line,
// and every fatal path of the core library (each run in a forked child).
#include "twlb_alloc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <functional>
#include <thread>

#include "core_test_util.h"
#include "twlb_get_norm_obj_id.h"
#include "twlb_mem_pool.h"

namespace {

struct Stats {
  unsigned long long allocated, freed;
  unsigned int allocs, frees, periodic_allocated;
  static Stats now() {
    return {g_c_mem_allocated, g_c_mem_freed, g_c_alloc_count, g_c_free_count, g_mem_allocated};
  }
  bool operator==(const Stats &) const = default;
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
  // A zero size yields a null pointer; freeing a null pointer counts nothing.
  p = reinterpret_cast<char *>(&before);
  TWLB_MALLOC(p, 0, "zero");
  EXPECT_EQ(p, nullptr);
  TWLB_FREE(p, "zero", -1);
  EXPECT_TRUE(Stats::now() == freed);
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

// Zeroed blocks below, across and above the size that is mapped rather than
// taken from calloc: zero when obtained, zero where grown, counted exactly as
// the plain operations count, and a released mapped block serves the next
// block of its size already zero.
TEST(TrackedAlloc, ZeroedBlocksAreZeroCountedAsPlainOnesAndReused) {
  struct Case {
    long size, grown;
    bool reused;
  };
  const Case cases[] = {
      {4096, 4096 + 10240, false}, {60000, 60000 + 10240, true}, {1048576, 1048576 + 10240, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.size);
    Stats before = Stats::now();
    char *p = nullptr;
    TWLB_CALLOC(p, c.size, "bigbuf");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::count(p, p + c.size, '\0'), c.size);
    EXPECT_EQ(memcmp(p + c.size, "OMemDbg", 7), 0);
    memset(p, 'x', 100);
    memset(p + c.size - 100, 'y', 100);
    TWLB_REALLOC_ZEROED(p, c.grown, c.size, 0, "bigbuf", -1);
    EXPECT_EQ(p[0], 'x');
    EXPECT_EQ(p[c.size - 1], 'y');
    EXPECT_EQ(std::count(p + c.size, p + c.grown, '\0'), c.grown - c.size);
    EXPECT_EQ(memcmp(p + c.grown, "OMemDbg", 7), 0);
    Stats mid = Stats::now();
    // As for TWLB_REALLOC, a resize leaves the byte totals as they were.
    EXPECT_EQ(mid.allocated - before.allocated, static_cast<unsigned long long>(c.size));
    EXPECT_EQ(mid.allocs - before.allocs, 1u);
    memset(p, 0, 100);
    memset(p + c.size - 100, 0, 100);
    char *old = p;
    TWLB_FREE_ZEROED(p, c.grown, "bigbuf", -1);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(Stats::now().frees - mid.frees, 1u);
    EXPECT_EQ(Stats::now().freed - mid.freed, 1u);
    TWLB_CALLOC(p, c.grown, "bigbuf");
    if (c.reused) {
      EXPECT_EQ(p, old);
    }
    EXPECT_EQ(std::count(p, p + c.grown, '\0'), c.grown);
    TWLB_FREE_ZEROED(p, c.grown, "bigbuf", -1);
  }
  // A thread that ends with released blocks in its keeping gives them back.
  std::thread([] {
    char *p = nullptr;
    TWLB_CALLOC(p, 1048576, "bigbuf");
    TWLB_FREE_ZEROED(p, 1048576, "bigbuf", -1);
  }).join();
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
  vzu_test::TempRun tmp;
  std::string path = tmp.path("lib.log");
  {
    core_test::LogScope on(path, TWLB_LOG_CRITICAL, MEMORY);
    char *p = nullptr;
    TWLB_MALLOC(p, 10, "stats");
    TWLB_FREE(p, "stats", -1);
  }
  std::string log = vzu_test::read_file(path);
  EXPECT_NE(log.find("twlb_alloc_test.cpp|"), std::string::npos);
  EXPECT_NE(log.find("MEM_STATS: Cumulative allocated memory = "), std::string::npos);
  EXPECT_NE(log.find(" MB, Periodic Net allocated memory =  "), std::string::npos);
  EXPECT_EQ(log.find("TWLB_MALLOC'ed"), std::string::npos);  // level 2 off
}

struct FatalCase {
  const char *name;
  bool starved;  // the next tracked allocation fails
  std::function<void()> run;
  std::function<bool(int)> status;
  const char *message;  // regular expression over stderr
};

TEST(TrackedAllocDeath, EveryFatalPathHasItsStatusAndMessage) {
  char *live = nullptr, *p = nullptr;
  TWLB_MALLOC(live, 8, "live");
  NormObjKey key;
  twlb_init_norm_id_table(&key, 16);
  twlb_mp_handler pool;
  twlb_mp_init(&pool, sizeof(node) + 8, 4, 4, 0);
  const testing::ExitedWithCode minus_one(255);
  const std::vector<FatalCase> cases = {
      {"negative size", false, [&] { TWLB_MALLOC(p, -5, "neg"); }, minus_one,
       "\\|neg\\|TWLB: Trying to malloc a negative size \\(-5\\)"},
      {"realloc to zero", false, [&] { TWLB_REALLOC(live, 0, 8, "live", 3); }, minus_one,
       "TWLB: Trying to realloc a negative or 0 size \\(0\\) for index 3"},
      {"out of memory", true, [&] { TWLB_MALLOC(p, 64, "starved"); }, minus_one,
       "TWLB: .*twlb_alloc_test.cpp\\|[0-9]+\\|operator\\(\\)\\| "
       "Out of Memory \\(size = 64\\): starved"},
      {"failed realloc dumps core", true, [&] { TWLB_REALLOC(live, 4096, 8, "live", 7); },
       testing::KilledBySignal(SIGABRT),
       "TWLB: ERROR [0-9]+\\|.*\\| Out of Memory \\(size = 4096\\): live for index 7 err msg"},
      {"released-id node", true, [&] { twlb_add_id_in_free_list(&key, 3); }, minus_one,
       "Out of Memory .*: FreeNormIdList"},
      {"memory pool chunk", true, [&] { twlb_mp_create(&pool); }, testing::ExitedWithCode(1),
       "Out of Memory \\(size = [0-9]+\\): Allocating memory pool"},
  };
  for (const FatalCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          if (c.starved) twlb_alloc_fail_after(1);
          c.run();
        },
        c.status, c.message);
  }
  twlb_mp_destroy(&pool);
  twlb_obj_hash_destroy(&key);
  TWLB_FREE(live, "live", -1);
}

}  // namespace
