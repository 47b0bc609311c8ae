// Normalized-ID table: sizing, the hash, lookups and sets, the short-length
// quirk, generated ids, reset/destroy, and seeded random runs (one-bucket
// table included) against a reference model of ids, id reuse and names.
#include "twlb_get_norm_obj_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr unsigned int kBad = 0xFFFFFFFFu;

class Table {
 public:
  explicit Table(int size, bool with_id_name = false) {
    with_id_name ? twlb_init_norm_id_table_ex(&key, size) : twlb_init_norm_id_table(&key, size);
  }
  ~Table() { twlb_obj_hash_destroy(&key); }
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;
  int get(const std::string &s) { return twlb_get_norm_id(&key, s.c_str(), int(s.size())); }
  unsigned set(const std::string &s, int id) {
    return twlb_set_norm_id(&key, s.c_str(), int(s.size()), id);
  }
  unsigned gen(const char *s) { return twlb_get_or_gen_norm_id(&key, s, 0, &flag); }
  int del(const std::string &s) {  // the deleted id, or -1
    int id = -7;
    return twlb_delete_norm_id_ex(&key, s.c_str(), 0, &id) == 0 ? id : -1;
  }
  // Keys that all fall into bucket b.
  std::vector<std::string> colliding(int b, int count) {
    std::vector<std::string> out;
    for (int i = 0; int(out.size()) < count; i++) {
      std::string k = "k" + std::to_string(i);
      if (twlb_get_hash_index_ex(k.c_str(), 1, key.size, key.prime) == b) out.push_back(k);
    }
    return out;
  }
  NormObjKey key;
  int flag = -1;
};

TEST(Sizing, PowerOfTwoAndPrimePairs) {
  const std::vector<std::vector<int>> cases = {// request, size, prime
                                               {0x20000, 131072, 131071},
                                               {16384, 16384, 16381},
                                               {10240, 16384, 16381},
                                               {1024, 1024, 1021},
                                               {100, 128, 127},
                                               {64, 64, 61},
                                               {1, 1, 1},
                                               {0, 1, 1},
                                               {-4, 1, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c[0]);
    EXPECT_EQ(twlb_change_to_2_power_n(c[0]), c[1]);
    EXPECT_EQ(get_prime(c[1]), c[2]);
  }
}

TEST(Lookup, GetAndSetIncludingBadInputAndTheShortLengthQuirk) {
  Table t(0x20000);
  EXPECT_EQ(t.get("VuvoRavu"), -2);
  EXPECT_EQ(t.set("VuvoRavu", 0), 0u);
  EXPECT_EQ(t.get("VuvoRavu"), 0);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "VuvoRavu", 0), -1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "", 1), -1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, nullptr, 1), -1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "VuvoRavu", -1), -2);
  // A shorter length stores the short text but hashes the whole one.
  EXPECT_EQ(twlb_set_norm_id(&t.key, "ghijkl", 3, 1), 1u);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "ghi", 3), -2);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "ghijkl", 3), 1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "ghijkl", 6), -2);
  EXPECT_EQ(twlb_delete_norm_id_ex(&t.key, "", 0, nullptr), -1);
  // Names: only tables made with _ex keep them, and only get_or_set files them.
  Table named(16, true);
  twlb_get_or_set_norm_id(&t.key, "p", 1, nullptr);
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 0), "NormIdNameNotFound");
  EXPECT_EQ(twlb_get_or_set_norm_id(&named.key, "t0", 2, nullptr), 0u);
  EXPECT_STREQ(twlb_get_norm_table_data(&named.key, 1), "NormIdNameNotFound");
  EXPECT_STREQ(twlb_get_norm_table_data(&named.key, -1), "InvalidInput");
  EXPECT_STREQ(twlb_get_norm_table_data(nullptr, 0), "InvalidInput");
  EXPECT_EQ(twlb_get_or_set_norm_id(&named.key, "abc", 0, nullptr), kBad);
}

TEST(Set, ExistingKeyKeepsItsIdAndPrevId) {
  Table t(64);
  EXPECT_EQ(t.set("g", 5), 5u);
  EXPECT_EQ(t.set("g", 9), 5u);
  EXPECT_EQ(t.set("h", 2), 2u);
  EXPECT_EQ(t.gen("i"), 6u);  // neither the kept id nor a lower one moves prev_id
  EXPECT_EQ(twlb_set_norm_id(&t.key, "len0", 0, 3), 3u);  // strlen
  EXPECT_EQ(t.get("len0"), 3);
  EXPECT_EQ(twlb_set_norm_id(&t.key, "", 0, 1), 0u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(twlb_set_norm_id(&t.key, "neg", -1, 1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Obtained hash index '-1' for string 'neg' is not correct. Hence returning.");
}

TEST(Set, DataItemsTravelWithTheKey) {
  Table t(64);
  twlb_set_norm_id_and_data(&t.key, "neg", 3, 4, -5);
  int hs = -1, value = 99;
  EXPECT_EQ(twlb_get_norm_id_hash_data(&t.key, "neg", 3, &hs, &value), 4);
  EXPECT_EQ(value, -5);
  EXPECT_EQ(hs, twlb_get_hash_index_ex("neg", 1, t.key.size, t.key.prime));
  NormTableData d, out;
  d.val_double = 2.5;
  twlb_set_norm_id_and_data_ex(&t.key, "dbl", 3, 6, &d);
  EXPECT_EQ(twlb_get_norm_id_hash_data_ex(&t.key, "dbl", 3, &hs, &out), 6);
  EXPECT_EQ(out.val_double, 2.5);
  twlb_set_norm_id_and_data_ex(&t.key, "none", 4, 7, nullptr);
  out.val_long = 1;
  EXPECT_EQ(twlb_get_norm_id_hash_data_ex(&t.key, "none", 4, &hs, &out), 7);
  EXPECT_EQ(out.val_long, 0);
  EXPECT_EQ(twlb_get_norm_id_hash_data(&t.key, "zzz", 3, &hs, &value), -2);
  EXPECT_EQ(value, 0);
}

TEST(Lifecycle, DestroyClearsTheHandleForAFreshInitialisation) {
  NormObjKey key;
  twlb_init_norm_id_table_ex(&key, 16384);
  EXPECT_EQ(twlb_set_norm_id(&key, "v", 1, 4), 4u);
  twlb_obj_hash_destroy(&key);
  EXPECT_EQ(key.nt, nullptr);
  EXPECT_EQ(key.nt_mpool, nullptr);
  EXPECT_EQ(key.bigbuf.buffer, nullptr);
  EXPECT_EQ(twlb_init_norm_id_table_v2(&key, 8, 4096), 0);  // arena of the given size
  EXPECT_EQ(key.bigbuf.bufsize, 4096);
  EXPECT_EQ(twlb_get_norm_id(&key, "v", 1), -2);
  EXPECT_EQ(twlb_set_norm_id(&key, "w", 1, 2), 2u);
  EXPECT_EQ(twlb_get_norm_id(&key, "w", 1), 2);
  twlb_obj_hash_destroy(&key);
  EXPECT_EQ(twlb_init_norm_id_table_v2(&key, 8, 0), -1);
  twlb_obj_hash_destroy(&key);
  EXPECT_EQ(twlb_init_norm_id_table(nullptr, 8), -1);
  EXPECT_EQ(twlb_init_norm_id_table_ex(nullptr, 8), -1);
}

bool all_zero(const void *p, size_t n) {
  const char *c = static_cast<const char *>(p);
  return std::all_of(c, c + n, [](char b) { return b == 0; });
}

// Reset and a destroy followed by a new table of the same size both leave the
// bucket array, the arena and id_name entirely zero, whether the table kept a
// list of the records it wrote or wrote too many and clears everything; a
// rebuilt table gets its blocks back and works.
TEST(Lifecycle, EmptiedTablesAreAllZeroAndRebuildsReuseTheirBlocks) {
  struct Case {
    int size, keys;
    bool reset;
  };
  const Case cases[] = {{16384, 40, true},    {16384, 40, false}, {16384, 3000, true},
                        {16384, 3000, false}, {64, 200, true},    {64, 200, false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << " " << c.keys << (c.reset ? " reset" : ""));
    NormObjKey key;
    twlb_init_norm_id_table_ex(&key, c.size);
    for (int i = 0; i < c.keys; i++) {
      std::string k = "Tier>host" + std::to_string(i);
      if (i % 3 == 0)
        twlb_get_or_set_norm_id(&key, k.c_str(), int(k.size()), nullptr);
      else
        twlb_set_norm_id(&key, k.c_str(), int(k.size()), i);
      if (i % 7 == 0) twlb_delete_norm_id_ex(&key, k.c_str(), 0, nullptr);
    }
    NormTable *buckets = key.nt;
    char *arena = key.bigbuf.buffer;
    long arena_size = key.bigbuf.bufsize;
    if (c.reset) {
      twlb_obj_hash_reset(&key);
      EXPECT_EQ(key.nt, buckets);
    } else {
      twlb_obj_hash_destroy(&key);
      twlb_init_norm_id_table_ex(&key, c.size);
      if (c.size == 16384) {
        EXPECT_EQ(key.nt, buckets);  // large enough to be kept for reuse
      }
      EXPECT_EQ(key.bigbuf.buffer, arena);
    }
    EXPECT_TRUE(all_zero(key.nt, sizeof(NormTable) * size_t(key.size)));
    EXPECT_TRUE(all_zero(key.bigbuf.buffer, size_t(arena_size)));
    EXPECT_TRUE(all_zero(key.id_name, sizeof(NormTable *) * size_t(key.max_norm_id_size)));
    EXPECT_EQ(key.prev_id, -1);
    EXPECT_EQ(key.free_norm_id_list_head, nullptr);
    EXPECT_EQ(key.nt_mpool->busy_head, nullptr);
    EXPECT_EQ(twlb_get_norm_id(&key, "Tier>host1", 10), -2);
    EXPECT_EQ(twlb_set_norm_id(&key, "Tier>host1", 10, 5), 5u);
    EXPECT_EQ(twlb_get_norm_id(&key, "Tier>host1", 10), 5);
    twlb_obj_hash_destroy(&key);
  }
}

// FNV-1a in 64-bit arithmetic over every byte up to the zero, done plainly.
int reference_bucket(const std::string &text, int prime) {
  uint64_t h = 0x811C9DC5ULL;
  for (unsigned char b : text) h = (h ^ b) * 16777619ULL;
  return int(h % uint64_t(prime));
}

// The hash runs to the zero byte whatever length is given, and the table
// finds buckets without a division: both must agree with the plain
// definition for every table size and any text.
TEST(Hash, TableBucketsAgreeWithThePlainDefinition) {
  std::mt19937 rng(99);
  for (int size : {1, 2, 64, 1024, 16384, 0x20000}) {
    SCOPED_TRACE(size);
    Table t(size);
    for (int i = 0; i < 2000; i++) {
      std::string k(1 + rng() % 40, ' ');
      for (char &ch : k) ch = static_cast<char>(1 + rng() % 255);
      int len = 1 + int(rng() % (k.size() + 3));
      int expect = reference_bucket(k, t.key.prime);
      ASSERT_EQ(twlb_get_hash_index_ex(k.c_str(), len, t.key.size, t.key.prime), expect);
      int hs = -1;
      twlb_get_norm_id_hash_data(&t.key, k.c_str(), int(k.size()), &hs, nullptr);
      ASSERT_EQ(hs, expect);
    }
  }
  for (auto [text, len, size, prime] : std::vector<std::tuple<const char *, int, int, int>>{
           {nullptr, 3, 8, 7}, {"abc", 0, 8, 7}, {"abc", 3, 0, 7}, {"abc", 3, 8, 0}})
    EXPECT_EQ(twlb_get_hash_index_ex(text, len, size, prime), -1);
}

TEST(GeneratedIds, ContinueAfterTheHighestIdAndLeaveReleasedIdsAlone) {
  Table t(64);
  EXPECT_EQ(t.gen("first"), 0u);
  EXPECT_EQ(t.flag, 1);
  EXPECT_EQ(t.gen("first"), 0u);
  EXPECT_EQ(t.flag, 0);
  t.set("seven", 7);
  EXPECT_EQ(t.gen("next"), 8u);
  twlb_set_start_norm_id(&t.key, 20);
  twlb_set_start_norm_id(&t.key, 3);
  EXPECT_EQ(t.gen("later"), 21u);
  EXPECT_EQ(t.gen(nullptr), kBad);
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "neg", -2, &t.flag), 0u);
  EXPECT_EQ(twlb_get_set_or_gen_norm_id(&t.key, "a", 0, &t.flag, 30), 30u);  // chosen id
  EXPECT_EQ(t.flag, 1);
  EXPECT_EQ(twlb_get_set_or_gen_norm_id(&t.key, "a", 0, &t.flag, 3), 30u);
  EXPECT_EQ(t.flag, 0);
  // Only get_set_or_gen_ex takes a released id; the others go on counting.
  t.del("next");
  EXPECT_EQ(t.gen("v"), 31u);
  EXPECT_EQ(twlb_get_set_or_gen_norm_id(&t.key, "w", 0, &t.flag, -1), 32u);
  EXPECT_EQ(twlb_get_set_or_gen_norm_id_ex(&t.key, "x", 0, &t.flag), 8u);
}

TEST(GeneratedIds, FlagCountsRecordsAlreadyInTheBucket) {
  Table t(8);
  std::vector<std::string> keys = t.colliding(3, 3);
  int flag = -1, hs = -1;
  EXPECT_EQ(twlb_get_or_gen_norm_id_ex(&t.key, keys[0].c_str(), 2, &flag, &hs), 0u);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(hs, 3);
  hs = -1;
  twlb_get_or_gen_norm_id_ex(&t.key, keys[1].c_str(), int(keys[1].size()), &flag, &hs);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(hs, -1);  // only an empty bucket record reports its bucket
  twlb_get_or_gen_norm_id_ex(&t.key, keys[2].c_str(), int(keys[2].size()), &flag, &hs);
  EXPECT_EQ(flag, 2);
  EXPECT_EQ(twlb_get_or_gen_norm_id_ex(&t.key, "x", 0, &flag, &hs), kBad);
  EXPECT_EQ(twlb_get_or_gen_norm_id_ex(&t.key, "x", -1, &flag, &hs), kBad);
}

TEST(Deletion, ByBucketIndexEmptiesOnlyTheBucketRecord) {
  Table t(8);
  std::vector<std::string> keys = t.colliding(4, 2);
  t.set(keys[0], 0);
  t.set(keys[1], 1);
  EXPECT_EQ(twlb_delete_norm_id(&t.key, 4), 0);
  EXPECT_EQ(twlb_delete_norm_id(&t.key, 4), -1);
  EXPECT_EQ(t.get(keys[1]), -2);  // lookups stop at an empty bucket record
}

// Seeded random inserts (named, or reusing released ids oldest first),
// deletions and lookups compared with a reference model.
TEST(RandomRun, AgreesWithAReferenceModel) {
  for (int size : {16, 1}) {
    SCOPED_TRACE(size);
    Table t(size, true);
    if (size == 1) {
      ASSERT_EQ(t.key.prime, 1);  // everything chains behind bucket 0
    }
    struct Entry {
      int id;
      bool named;
    };
    std::map<std::string, Entry> model;
    std::deque<int> released;
    std::mt19937 rng(12345);
    int next_id = 0;
    for (int step = 0; step < 20000; step++) {
      std::string k = "key" + std::to_string(rng() % 400);
      bool known = model.count(k);
      switch (rng() % 4) {
        case 0:
          if (!known) model[k] = {next_id++, true};
          ASSERT_EQ(int(twlb_get_or_set_norm_id(&t.key, k.c_str(), int(k.size()), nullptr)),
                    model[k].id);
          break;
        case 1:
          if (!known && released.empty()) {
            model[k] = {next_id++, false};
          } else if (!known) {
            model[k] = {released.front(), false};
            released.pop_front();
          }
          ASSERT_EQ(int(twlb_get_set_or_gen_norm_id_ex(&t.key, k.c_str(), 0, nullptr)),
                    model[k].id);
          break;
        case 2:
          ASSERT_EQ(t.del(k), known ? model[k].id : -1);
          if (!known) break;
          ASSERT_STREQ(twlb_get_norm_table_data(&t.key, model[k].id), "NormIdNameNotFound");
          released.push_back(model[k].id);
          model.erase(k);
          break;
        default:
          ASSERT_EQ(t.get(k), known ? model[k].id : -2);
          if (known && model[k].named) {
            ASSERT_STREQ(twlb_get_norm_table_data(&t.key, model[k].id), k.c_str());
          }
      }
    }
    for (const auto &[k, e] : model) EXPECT_EQ(t.del(k), e.id);
    EXPECT_EQ(t.key.nt_mpool->busy_head, nullptr);
  }
}

}  // namespace
