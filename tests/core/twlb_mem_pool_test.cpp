// Memory pool: chunk sizes under a maximum, the three reuse orders, list
// invariants in both directions, and two threads sharing a locking pool (which
// also unlinks busy slots from the middle). The out-of-memory exit is with the
// other fatal paths in twlb_alloc_test.cpp.
#include "twlb_mem_pool.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "twlb_util.h"

namespace {

struct Slot {
  node header;
  long payload;
};
using Slots = std::vector<void *>;

// Walks a list checking both directions; returns its slots head to tail.
Slots list_of(node *head, node *tail) {
  Slots out;
  node *prev = nullptr;
  for (node *n = head; n; prev = n, n = n->next) {
    EXPECT_EQ(n->prev, prev);
    out.push_back(n);
  }
  EXPECT_EQ(prev, tail);
  return out;
}
Slots free_list(twlb_mp_handler &p) { return list_of(p.free_head, p.free_tail); }
Slots busy_list(twlb_mp_handler &p) { return list_of(p.busy_head, p.busy_tail); }

class MemPoolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(twlb_mp_init(&pool_, sizeof(Slot), 4, 2, 0), 0); }
  void TearDown() override { twlb_mp_destroy(&pool_); }
  void *get() { return twlb_mp_get_slot(&pool_); }
  Slots get4() { return {get(), get(), get(), get()}; }
  twlb_mp_handler pool_;
};

/* A chunk whose size passes an int is refused as the size 0 or less it
 * wraps to, without undefined arithmetic on the way. */
TEST(MemPoolMax, AChunkBeyondAnIntIsRefused) {
  twlb_mp_handler pool;
  ASSERT_EQ(twlb_mp_init(&pool, 1 << 20, 4096, 4, 0), 0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(twlb_mp_create(&pool), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Trying to malloc a negative size memory size = 0 \n");
  twlb_mp_destroy(&pool);
}

TEST(MemPoolMax, ChunksShrinkToTheMaximumThenStop) {
  twlb_mp_handler pool;
  twlb_mp_init(&pool, sizeof(Slot), 64, 16, 0);
  twlb_mp_set_max(&pool, 100);
  std::vector<size_t> sizes;
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(twlb_mp_create(&pool), 0);
    sizes.push_back(free_list(pool).size());
    while (pool.free_head) twlb_mp_get_slot(&pool);
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{64, 16, 16, 4}));
  EXPECT_EQ(twlb_mp_create(&pool), -1);
  EXPECT_STREQ(twlb_get_error(), "Memory pool max limit reached");
  EXPECT_EQ(twlb_mp_get_slot(&pool), nullptr);
  EXPECT_EQ(busy_list(pool).size(), 100u);
  twlb_mp_destroy(&pool);
}

TEST_F(MemPoolTest, FreeSlotReusesLastFreeSlotExReusesFirst) {
  Slots s = get4();
  twlb_mp_free_slot(&pool_, s[2]);
  twlb_mp_free_slot(&pool_, s[3]);  // free list [S3, S4], S1 and S2 busy
  twlb_mp_free_slot(&pool_, s[0]);
  twlb_mp_free_slot(&pool_, s[1]);
  EXPECT_EQ(free_list(pool_), (Slots{s[2], s[3], s[0], s[1]}));
  EXPECT_EQ(get4(), (Slots{s[2], s[3], s[0], s[1]}));
  // Same start again, given back with the _ex form.
  twlb_mp_free_slot(&pool_, s[2]);
  twlb_mp_free_slot(&pool_, s[3]);
  twlb_mp_free_slot_ex(&pool_, s[0]);
  twlb_mp_free_slot_ex(&pool_, s[1]);
  EXPECT_EQ(get4(), (Slots{s[1], s[0], s[2], s[3]}));
}

TEST_F(MemPoolTest, FreeAllKeepsBusyOrderAtTheFreeTail) {
  void *a = get(), *b = get(), *c = get();
  twlb_mp_free_all_slots(&pool_);
  Slots free = free_list(pool_);
  ASSERT_EQ(free.size(), 4u);
  EXPECT_EQ(Slots(free.end() - 3, free.end()), (Slots{a, b, c}));
  EXPECT_TRUE(busy_list(pool_).empty());
}

TEST_F(MemPoolTest, BusyHeadTakenAndGivenBackIsNextOut) {
  void *a = get();
  get();
  EXPECT_EQ(twlb_mp_check_busy_head(&pool_), a);
  EXPECT_EQ(twlb_mp_get_busy_head(&pool_), a);
  EXPECT_EQ(busy_list(pool_).size(), 1u);
  twlb_mp_free_busy_head(&pool_, a);
  EXPECT_EQ(get(), a);
}

TEST(MemPoolThreads, TwoThreadsShareALockingPool) {
  twlb_mp_handler pool;
  twlb_mp_init(&pool, sizeof(Slot), 8, 8, 1);
  auto hammer = [&pool](long tag) {
    std::vector<Slot *> mine;
    for (int round = 0; round < 20000; round++) {
      auto *s = static_cast<Slot *>(twlb_mp_get_slot(&pool));
      ASSERT_NE(s, nullptr);
      s->payload = tag;
      mine.push_back(s);
      if (mine.size() > 16 || round % 3 == 0) {
        auto middle = mine.begin() + static_cast<long>(mine.size() / 2);
        Slot *back = *middle;
        ASSERT_EQ(back->payload, tag);  // nobody else was handed my slot
        mine.erase(middle);
        (round % 2 ? twlb_mp_free_slot : twlb_mp_free_slot_ex)(&pool, back);
      }
    }
    for (Slot *s : mine) twlb_mp_free_slot(&pool, s);
  };
  std::thread t1(hammer, 1), t2(hammer, 2);
  t1.join();
  t2.join();
  EXPECT_TRUE(busy_list(pool).empty());
  EXPECT_EQ(free_list(pool).size(), static_cast<size_t>(8 * pool.num_malloced_slot));
  twlb_mp_destroy(&pool);
}

}  // namespace
