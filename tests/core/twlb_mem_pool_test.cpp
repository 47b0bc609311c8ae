// Memory pool: defaults, chunk sizes under a maximum, the three reuse
// orders, list invariants, and two threads sharing a locking pool.
#include "twlb_mem_pool.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "twlb_alloc.h"
#include "twlb_util.h"

namespace {

struct Slot {
  node header;
  long payload;
};

// Walks a list checking both directions; returns its slots head to tail.
std::vector<node *> list_of(node *head, node *tail) {
  std::vector<node *> out;
  node *prev = nullptr;
  for (node *n = head; n; prev = n, n = n->next) {
    EXPECT_EQ(n->prev, prev);
    out.push_back(n);
  }
  EXPECT_EQ(prev, tail);
  return out;
}

class MemPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(twlb_mp_init(&pool_, sizeof(Slot), 4, 2, 0), 0);
  }
  void TearDown() override { twlb_mp_destroy(&pool_); }
  void *get() { return twlb_mp_get_slot(&pool_); }
  std::vector<node *> free_list() {
    return list_of(pool_.free_head, pool_.free_tail);
  }
  std::vector<node *> busy_list() {
    return list_of(pool_.busy_head, pool_.busy_tail);
  }
  twlb_mp_handler pool_;
};

TEST(MemPoolInit, DefaultsAndZeroSlotSize) {
  twlb_mp_handler pool;
  EXPECT_EQ(twlb_mp_init(&pool, 0, 5, 5, 1), 1);
  EXPECT_EQ(pool.slot_size, 0);
  EXPECT_EQ(twlb_mp_create(&pool), 1);
  EXPECT_EQ(twlb_mp_create(nullptr), 1);
  EXPECT_EQ(twlb_mp_init(&pool, sizeof(Slot), 0, -3, 7), 0);
  EXPECT_EQ(pool.num_slots_init, 10);
  EXPECT_EQ(pool.num_slots_increment, 10);
  EXPECT_EQ(pool.handler_flag, 0);
  EXPECT_STREQ(mpool_errstr(2), "Error: Memory allocation failure");
  for (int code : {0, 1, 5})
    EXPECT_STREQ(mpool_errstr(code), "Unknown Error Type");
}

TEST(MemPoolMax, ChunksShrinkToTheMaximumThenStop) {
  twlb_mp_handler pool;
  twlb_mp_init(&pool, sizeof(Slot), 64, 16, 0);
  twlb_mp_set_max(&pool, 100);
  std::vector<size_t> sizes;
  for (int i = 0; i < 4; i++) {
    ASSERT_EQ(twlb_mp_create(&pool), 0);
    sizes.push_back(list_of(pool.free_head, pool.free_tail).size());
    while (pool.free_head) twlb_mp_get_slot(&pool);
  }
  EXPECT_EQ(sizes, (std::vector<size_t>{64, 16, 16, 4}));
  EXPECT_EQ(twlb_mp_create(&pool), -1);
  EXPECT_STREQ(twlb_get_error(), "Memory pool max limit reached");
  EXPECT_EQ(twlb_mp_get_slot(&pool), nullptr);
  EXPECT_EQ(list_of(pool.busy_head, pool.busy_tail).size(), 100u);
  twlb_mp_destroy(&pool);
}

TEST_F(MemPoolTest, FreeSlotReusesLastFreeSlotExReusesFirst) {
  void *s1 = get(), *s2 = get();
  void *s3 = get(), *s4 = get();
  twlb_mp_free_slot(&pool_, s3);
  twlb_mp_free_slot(&pool_, s4);  // free list [S3, S4], S1 and S2 busy
  twlb_mp_free_slot(&pool_, s1);
  twlb_mp_free_slot(&pool_, s2);
  EXPECT_EQ(
      free_list(),
      (std::vector<node *>{static_cast<node *>(s3), static_cast<node *>(s4),
                           static_cast<node *>(s1), static_cast<node *>(s2)}));
  std::vector<void *> order{get(), get(), get(), get()};
  EXPECT_EQ(order, (std::vector<void *>{s3, s4, s1, s2}));
  // Same start again, given back with the _ex form.
  twlb_mp_free_slot(&pool_, s3);
  twlb_mp_free_slot(&pool_, s4);
  twlb_mp_free_slot_ex(&pool_, s1);
  twlb_mp_free_slot_ex(&pool_, s2);
  std::vector<void *> ex_order{get(), get(), get(), get()};
  EXPECT_EQ(ex_order, (std::vector<void *>{s2, s1, s3, s4}));
}

TEST_F(MemPoolTest, BusyListUnlinksAnywhere) {
  void *a = get(), *b = get(), *c = get();
  twlb_mp_free_slot(&pool_, b);
  EXPECT_EQ(busy_list(), (std::vector<node *>{static_cast<node *>(a),
                                              static_cast<node *>(c)}));
  twlb_mp_free_slot(&pool_, c);
  twlb_mp_free_slot(&pool_, a);
  EXPECT_EQ(pool_.busy_head, nullptr);
  EXPECT_EQ(pool_.busy_tail, nullptr);
  twlb_mp_free_slot(&pool_, nullptr);
}

TEST_F(MemPoolTest, FreeAllKeepsBusyOrderAtTheFreeTail) {
  void *a = get(), *b = get(), *c = get();
  twlb_mp_free_all_slots(&pool_);
  std::vector<node *> free = free_list();
  ASSERT_EQ(free.size(), 4u);
  EXPECT_EQ(std::vector<node *>(free.end() - 3, free.end()),
            (std::vector<node *>{static_cast<node *>(a), static_cast<node *>(b),
                                 static_cast<node *>(c)}));
  EXPECT_TRUE(busy_list().empty());
}

TEST_F(MemPoolTest, BusyHeadTakenAndGivenBackIsNextOut) {
  void *a = get();
  get();
  EXPECT_EQ(twlb_mp_check_busy_head(&pool_), a);
  EXPECT_EQ(twlb_mp_get_busy_head(&pool_), a);
  EXPECT_EQ(busy_list().size(), 1u);
  twlb_mp_free_busy_head(&pool_, a);
  EXPECT_EQ(get(), a);
}

TEST_F(MemPoolTest, NewChunksFollowWhenTheFreeListRunsOutAndStartBitIsSet) {
  std::set<void *> seen;
  for (int i = 0; i < 9; i++) seen.insert(get());
  EXPECT_EQ(seen.size(), 9u);
  EXPECT_EQ(pool_.num_malloced_slot, 4);  // 4 + 2 + 2 + 2 slots
  int starts = 0;
  for (node *n : busy_list()) starts += n->slot_status & 1;
  EXPECT_EQ(starts, 4);
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
        Slot *back = mine[mine.size() / 2];
        ASSERT_EQ(back->payload, tag);  // nobody else was handed my slot
        mine.erase(mine.begin() + static_cast<long>(mine.size() / 2));
        if (round % 2)
          twlb_mp_free_slot(&pool, back);
        else
          twlb_mp_free_slot_ex(&pool, back);
      }
    }
    for (Slot *s : mine) twlb_mp_free_slot(&pool, s);
  };
  std::thread t1(hammer, 1), t2(hammer, 2);
  t1.join();
  t2.join();
  EXPECT_TRUE(list_of(pool.busy_head, pool.busy_tail).empty());
  size_t slots = list_of(pool.free_head, pool.free_tail).size();
  EXPECT_EQ(slots, static_cast<size_t>(8 * pool.num_malloced_slot));
  twlb_mp_destroy(&pool);
}

TEST(MemPoolDeath, ChunkOutOfMemoryExitsWithStatusOne) {
  twlb_mp_handler pool;
  twlb_mp_init(&pool, sizeof(Slot), 4, 4, 0);
  EXPECT_EXIT(
      {
        twlb_alloc_fail_after(1);
        twlb_mp_create(&pool);
      },
      ::testing::ExitedWithCode(1),
      "Out of Memory \\(size = [0-9]+\\): Allocating memory pool");
}

}  // namespace
