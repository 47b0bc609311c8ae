// Normalized-ID table: sizing, the hash, lookups and sets, the short-length
// quirk, one-bucket tables, generated ids, deletion and id reuse, reverse
// lookup, reset/destroy, and a seeded random run against a reference model.
#include "twlb_get_norm_obj_id.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

constexpr unsigned int kBad = 0xFFFFFFFFu;

class Table {
 public:
  explicit Table(int size, bool with_id_name = false) {
    if (with_id_name)
      twlb_init_norm_id_table_ex(&key, size);
    else
      twlb_init_norm_id_table(&key, size);
  }
  ~Table() { twlb_obj_hash_destroy(&key); }
  Table(const Table &) = delete;
  Table &operator=(const Table &) = delete;
  int get(const std::string &s) {
    return twlb_get_norm_id(&key, s.c_str(), static_cast<int>(s.size()));
  }
  unsigned set(const std::string &s, int id) {
    return twlb_set_norm_id(&key, s.c_str(), static_cast<int>(s.size()), id);
  }
  int del(const std::string &s) {
    int id = -7;
    int rc = twlb_delete_norm_id_ex(&key, s.c_str(), 0, &id);
    return rc == 0 ? id : rc;
  }
  int bucket(const std::string &s) {
    return twlb_get_hash_index_ex(s.c_str(), 1, key.size, key.prime);
  }
  // Keys that all fall into bucket b.
  std::vector<std::string> colliding(int b, int count) {
    std::vector<std::string> out;
    for (int i = 0; static_cast<int>(out.size()) < count; i++)
      if (bucket("k" + std::to_string(i)) == b)
        out.push_back("k" + std::to_string(i));
    return out;
  }
  NormObjKey key;
};

TEST(Sizing, PowerOfTwoAndPrimePairs) {
  const std::vector<std::pair<int, std::pair<int, int>>> cases = {
      {0x20000, {131072, 131071}},
      {16384, {16384, 16381}},
      {10240, {16384, 16381}},
      {1024, {1024, 1021}},
      {100, {128, 127}},
      {64, {64, 61}},
      {1, {1, 1}},
      {0, {1, 1}},
      {-4, {1, 1}}};
  for (const auto &[request, expect] : cases) {
    int size = twlb_change_to_2_power_n(request);
    EXPECT_EQ(size, expect.first) << request;
    EXPECT_EQ(get_prime(size), expect.second) << request;
  }
}

TEST(Hash, WideFnvModuloPrime) {
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 3, 131072, 131071), 84423);
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 3, 16384, 16381), 14222);
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 3, 1024, 1021), 759);
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 1, 1024, 1021), 759);  // to the NUL
  EXPECT_EQ(twlb_get_hash_index_ex("\xff", 1, 1024, 1021),
            static_cast<int>(((0x811C9DC5ULL ^ 0xFF) * 16777619ULL) % 1021));
  EXPECT_EQ(twlb_get_hash_index_ex(nullptr, 3, 8, 7), -1);
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 0, 8, 7), -1);
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 3, 0, 7), -1);
  EXPECT_EQ(twlb_get_hash_index_ex("abc", 3, 8, 0), -1);
}

TEST(Lookup, FreshTableSetAndGet) {
  Table t(0x20000);
  EXPECT_EQ(t.get("VuvoRavu"), -2);
  EXPECT_EQ(t.set("VuvoRavu", 0), 0u);
  EXPECT_EQ(t.get("VuvoRavu"), 0);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "VuvoRavu", 0), -1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "", 1), -1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, nullptr, 1), -1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "VuvoRavu", -1), -2);
}

TEST(Set, ExistingKeyKeepsItsIdAndPrevId) {
  Table t(64);
  EXPECT_EQ(t.set("g", 5), 5u);
  EXPECT_EQ(t.set("g", 9), 5u);
  EXPECT_EQ(t.key.prev_id, 5);
  EXPECT_EQ(t.set("h", 2), 2u);
  EXPECT_EQ(t.key.prev_id, 5);  // a lower id does not move prev_id
  EXPECT_EQ(twlb_set_norm_id(&t.key, "len0", 0, 3), 3u);  // strlen
  EXPECT_EQ(t.get("len0"), 3);
  EXPECT_EQ(twlb_set_norm_id(&t.key, "", 0, 1), 0u);
  testing::internal::CaptureStderr();
  EXPECT_EQ(twlb_set_norm_id(&t.key, "neg", -1, 1), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Obtained hash index '-1' for string 'neg' is not correct. "
            "Hence returning.");
}

TEST(Set, DataItemsTravelWithTheKey) {
  Table t(64);
  twlb_set_norm_id_and_data(&t.key, "neg", 3, 4, -5);
  int hs = -1, value = 99;
  EXPECT_EQ(twlb_get_norm_id_hash_data(&t.key, "neg", 3, &hs, &value), 4);
  EXPECT_EQ(value, -5);
  EXPECT_EQ(hs, t.bucket("neg"));
  NormTableData d;
  d.val_double = 2.5;
  twlb_set_norm_id_and_data_ex(&t.key, "dbl", 3, 6, &d);
  NormTableData out;
  EXPECT_EQ(twlb_get_norm_id_hash_data_ex(&t.key, "dbl", 3, &hs, &out), 6);
  EXPECT_EQ(out.val_double, 2.5);
  twlb_set_norm_id_and_data_ex(&t.key, "none", 4, 7, nullptr);
  out.val_long = 1;
  EXPECT_EQ(twlb_get_norm_id_hash_data_ex(&t.key, "none", 4, &hs, &out), 7);
  EXPECT_EQ(out.val_long, 0);
  EXPECT_EQ(twlb_get_norm_id_hash_data(&t.key, "zzz", 3, &hs, &value), -2);
  EXPECT_EQ(value, 0);
}

TEST(Lookup, ShorterLengthIsStoredShortButHashedWhole) {
  Table t(1024);
  EXPECT_EQ(twlb_set_norm_id(&t.key, "ghijkl", 3, 1), 1u);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "ghi", 3), -2);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "ghijkl", 3), 1);
  EXPECT_EQ(twlb_get_norm_id(&t.key, "ghijkl", 6), -2);
}

TEST(OneBucket, EverythingChainsBehindBucketZeroAndStillWorks) {
  for (int request : {1, 0, -3}) {
    Table t(request);
    ASSERT_EQ(t.key.prime, 1);
    for (int i = 0; i < 200; i++) t.set("key" + std::to_string(i), i);
    for (int i = 0; i < 200; i++)
      EXPECT_EQ(t.get("key" + std::to_string(i)), i);
    EXPECT_EQ(t.del("key0"), 0);
    EXPECT_EQ(t.del("key100"), 100);
    EXPECT_EQ(t.get("key0"), -2);
    EXPECT_EQ(t.get("key1"), 1);
    EXPECT_EQ(t.get("key199"), 199);
  }
}

TEST(Lifecycle, DestroyThenInitialiseAgainGivesAWorkingTable) {
  NormObjKey key;
  for (int round = 0; round < 3; round++) {
    twlb_init_norm_id_table_ex(&key, 16384);
    EXPECT_EQ(twlb_get_norm_id(&key, "v", 1), -2);
    EXPECT_EQ(twlb_set_norm_id(&key, "v", 1, round),
              static_cast<unsigned>(round));
    EXPECT_EQ(twlb_get_norm_id(&key, "v", 1), round);
    twlb_obj_hash_destroy(&key);
    EXPECT_EQ(key.nt, nullptr);
    EXPECT_EQ(key.nt_mpool, nullptr);
    EXPECT_EQ(key.bigbuf.buffer, nullptr);
  }
  EXPECT_EQ(twlb_init_norm_id_table(nullptr, 8), -1);
  EXPECT_EQ(twlb_init_norm_id_table_ex(nullptr, 8), -1);
}

TEST(Lifecycle, ResetEmptiesButKeepsAllocations) {
  Table t(1, true);
  for (int i = 0; i < 5; i++)
    twlb_get_or_set_norm_id(&t.key, ("r" + std::to_string(i)).c_str(), 2,
                            nullptr);
  t.del("r1");
  NormTable *buckets = t.key.nt;
  twlb_obj_hash_reset(&t.key);
  EXPECT_EQ(t.key.nt, buckets);
  EXPECT_EQ(t.key.prev_id, -1);
  EXPECT_EQ(t.key.bigbuf.offset, 0);
  EXPECT_EQ(t.key.free_norm_id_list_head, nullptr);
  EXPECT_EQ(t.key.nt_mpool->busy_head, nullptr);
  EXPECT_EQ(t.get("r0"), -2);
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 0), "NormIdNameNotFound");
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "again", 0, nullptr), 0u);
}

TEST(InitV2, ArenaOfTheGivenSize) {
  NormObjKey key;
  EXPECT_EQ(twlb_init_norm_id_table_v2(&key, 8, 4096), 0);
  EXPECT_EQ(key.bigbuf.bufsize, 4096);
  twlb_obj_hash_destroy(&key);
  EXPECT_EQ(twlb_init_norm_id_table_v2(&key, 8, 0), -1);
  twlb_obj_hash_destroy(&key);
}

TEST(GeneratedIds, ContinueAfterTheHighestId) {
  Table t(64);
  int flag = -1;
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "first", 0, &flag), 0u);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "first", 0, &flag), 0u);
  EXPECT_EQ(flag, 0);
  t.set("seven", 7);
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "next", 0, &flag), 8u);
  twlb_set_start_norm_id(&t.key, 20);
  twlb_set_start_norm_id(&t.key, 3);
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "later", 0, &flag), 21u);
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, nullptr, 0, &flag), kBad);
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "neg", -2, &flag), 0u);
}

TEST(GeneratedIds, FlagCountsRecordsAlreadyInTheBucket) {
  Table t(8);
  std::vector<std::string> keys = t.colliding(3, 3);
  int flag = -1, hs = -1;
  EXPECT_EQ(twlb_get_or_gen_norm_id_ex(&t.key, keys[0].c_str(), 2, &flag, &hs),
            0u);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(hs, 3);
  hs = -1;
  twlb_get_or_gen_norm_id_ex(&t.key, keys[1].c_str(),
                             static_cast<int>(keys[1].size()), &flag, &hs);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(hs, -1);  // only an empty bucket record reports its bucket
  twlb_get_or_gen_norm_id_ex(&t.key, keys[2].c_str(),
                             static_cast<int>(keys[2].size()), &flag, &hs);
  EXPECT_EQ(flag, 2);
  EXPECT_EQ(twlb_get_or_gen_norm_id_ex(&t.key, "x", 0, &flag, &hs), kBad);
  EXPECT_EQ(twlb_get_or_gen_norm_id_ex(&t.key, "x", -1, &flag, &hs), kBad);
}

TEST(GeneratedIds, GetOrSetKeepsTheReverseIndex) {
  Table t(16, true);
  int flag = 0;
  for (unsigned i = 0; i < 3; i++) {
    std::string s = "text" + std::to_string(i);
    EXPECT_EQ(twlb_get_or_set_norm_id(&t.key, s.c_str(), 5, &flag), i);
    EXPECT_NE(flag, 0);
  }
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 1), "text1");
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 3), "NormIdNameNotFound");
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, -1), "InvalidInput");
  EXPECT_STREQ(twlb_get_norm_table_data(nullptr, 0), "InvalidInput");
  EXPECT_EQ(twlb_get_or_set_norm_id(&t.key, "abc", 0, &flag), kBad);
  // Ids past the first 16 entries grow the index 16 at a time.
  for (int i = 3; i < 40; i++)
    twlb_get_or_set_norm_id(&t.key, ("g" + std::to_string(i)).c_str(), 3,
                            &flag);
  EXPECT_EQ(t.key.max_norm_id_size, 48);
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 39), "g39");
  Table plain(16);
  twlb_get_or_set_norm_id(&plain.key, "p", 1, &flag);
  EXPECT_STREQ(twlb_get_norm_table_data(&plain.key, 0), "NormIdNameNotFound");
}

TEST(GeneratedIds, SetOrGenPlacesAChosenIdOrGenerates) {
  Table t(64);
  int flag = 0;
  EXPECT_EQ(twlb_get_set_or_gen_norm_id(&t.key, "a", 0, &flag, 10), 10u);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(twlb_get_set_or_gen_norm_id(&t.key, "b", 0, &flag, -1), 11u);
  EXPECT_EQ(twlb_get_set_or_gen_norm_id(&t.key, "a", 0, &flag, 3), 10u);
  EXPECT_EQ(flag, 0);
}

TEST(Deletion, BucketRecordWithSuccessorsTakesTheSecondRecord) {
  Table t(8, true);
  std::vector<std::string> keys = t.colliding(5, 3);
  for (const auto &k : keys)
    twlb_get_or_set_norm_id(&t.key, k.c_str(), static_cast<int>(k.size()),
                            nullptr);
  NormTable *second = t.key.nt[5].nt_next;
  EXPECT_EQ(t.del(keys[0]), 0);
  EXPECT_EQ(t.key.nt[5].idx, 1);  // the second record's content moved in
  EXPECT_EQ(t.get(keys[0]), -2);
  EXPECT_EQ(t.get(keys[1]), 1);
  EXPECT_EQ(t.get(keys[2]), 2);
  EXPECT_EQ(t.key.free_norm_id_list_tail->free_id, 0);
  EXPECT_EQ(t.key.nt_mpool->free_tail, reinterpret_cast<node *>(second));
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 1), keys[1].c_str());
  EXPECT_STREQ(twlb_get_norm_table_data(&t.key, 0), "NormIdNameNotFound");
  int flag = 0;
  EXPECT_EQ(twlb_get_set_or_gen_norm_id_ex(&t.key, "new", 0, &flag), 0u);
  EXPECT_EQ(t.key.free_norm_id_list_head, nullptr);
  EXPECT_EQ(t.key.free_norm_id_list_tail, nullptr);
}

TEST(Deletion, LoneBucketRecordAndChainedRecords) {
  Table t(8);
  std::vector<std::string> keys = t.colliding(2, 3);
  for (int i = 0; i < 3; i++) t.set(keys[i], i);
  EXPECT_EQ(t.del(keys[1]), 1);  // middle of the chain
  EXPECT_EQ(t.get(keys[2]), 2);
  EXPECT_EQ(t.del(keys[2]), 2);  // chain tail
  EXPECT_EQ(t.del(keys[0]), 0);  // bucket record, now alone
  EXPECT_EQ(t.key.nt[2].str, -1);
  EXPECT_EQ(t.del(keys[0]), -1);
  EXPECT_EQ(t.key.nt_mpool->busy_head, nullptr);
  EXPECT_EQ(twlb_delete_norm_id_ex(&t.key, "", 0, nullptr), -1);
}

TEST(Deletion, ReleasedIdsAreReusedOldestFirst) {
  Table t(64);
  for (int i = 0; i < 6; i++) t.set("id" + std::to_string(i), i);
  t.del("id4");
  t.del("id1");
  t.del("id3");
  int flag = 0;
  std::vector<unsigned> reused;
  for (const char *s : {"x", "y", "z", "w"})
    reused.push_back(twlb_get_set_or_gen_norm_id_ex(&t.key, s, 0, &flag));
  EXPECT_EQ(reused, (std::vector<unsigned>{4, 1, 3, 6}));
  // Other generators never consume the list.
  t.del("x");
  EXPECT_EQ(twlb_get_or_gen_norm_id(&t.key, "v", 0, &flag), 7u);
  EXPECT_EQ(t.key.free_norm_id_list_head->free_id, 4);
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

// Seeded random inserts, deletions and lookups compared with a reference map.
TEST(RandomRun, AgreesWithAReferenceMap) {
  Table t(16);
  std::unordered_map<std::string, int> model;
  std::mt19937 rng(12345);
  int next_id = 0;
  for (int step = 0; step < 20000; step++) {
    std::string k = "key" + std::to_string(rng() % 400);
    int flag = 0;
    switch (rng() % 3) {
      case 0: {
        unsigned id = twlb_get_or_gen_norm_id(&t.key, k.c_str(), 0, &flag);
        if (!model.count(k)) model[k] = next_id++;
        ASSERT_EQ(static_cast<int>(id), model[k]);
        break;
      }
      case 1: {
        int id = t.del(k);
        ASSERT_EQ(id, model.count(k) ? model[k] : -1);
        model.erase(k);
        break;
      }
      default:
        ASSERT_EQ(t.get(k), model.count(k) ? model[k] : -2);
    }
  }
  for (const auto &[k, id] : model) EXPECT_EQ(t.get(k), id);
}

}  // namespace
