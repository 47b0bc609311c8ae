// Normalized-ID table: sizing, the hash, lookups and sets, the short-length
// quirk, generated ids, and seeded random runs (one-bucket table included)
// against a reference model of ids, id reuse and names; and the records,
// index and lists every operation leaves behind, read as a caller reads
// them, including the blocks' names and sizes in the allocation map.
#include "twlb_get_norm_obj_id.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core_test_util.h"
#include "twlb_alloc.h"
#include "twlb_mem_map.h"

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

// ---- The state every operation leaves, read through the public records ----

// A bucket record as a new table holds it: zero bytes, str = -1.
NormTable empty_image() {
  NormTable r;
  memset(static_cast<void *>(&r), 0, sizeof r);
  r.str = -1;
  return r;
}

bool is_empty_image(const NormTable &r) {
  NormTable e = empty_image();
  return memcmp(&r, &e, sizeof r) == 0;
}

const uintptr_t kUnset = ~uintptr_t{0};

// What a caller sees in a table.
struct State {
  std::map<std::string, int> keys;     // stored text -> id
  std::map<std::string, int> buckets;  // stored text -> bucket it sits in
  std::map<int, NormTable> emptied;    // bucket -> an emptied record
  std::vector<int> free_ids;           // free list, head to tail
  std::map<int, std::string> names;    // id_name entries that are set
  char unset = '-';                    // other id_name entries: '1' all ones, '0' null, 'x' mixed
  bool pristine = true;                // every other empty record byte for byte as new
};

State read_state(const NormObjKey &k) {
  State st;
  for (int b = 0; b < k.size; b++) {
    const NormTable &r = k.nt[b];
    if (r.str == -1) {
      if (!is_empty_image(r)) st.emptied[b] = r;
      continue;
    }
    for (const NormTable *c = &r; c; c = c->nt_next) {
      std::string text(k.bigbuf.buffer + c->str, size_t(c->len));
      EXPECT_EQ(k.bigbuf.buffer[c->str + c->len], '\0') << text;
      st.keys[text] = c->idx;
      st.buckets[text] = b;
    }
  }
  for (const FreeNormIdList *n = k.free_norm_id_list_head; n; n = n->next_free_id) {
    st.free_ids.push_back(n->free_id);
    if (!n->next_free_id) {
      EXPECT_EQ(n, k.free_norm_id_list_tail);
    }
  }
  if (!k.free_norm_id_list_head) {
    EXPECT_EQ(k.free_norm_id_list_tail, nullptr);
  }
  for (int i = 0; i < k.max_norm_id_size; i++) {
    uintptr_t v = reinterpret_cast<uintptr_t>(k.id_name[i]);
    char kind = v == kUnset ? '1' : v == 0 ? '0' : 's';
    if (kind == 's') {
      st.names[i] = std::string(k.bigbuf.buffer + k.id_name[i]->str, size_t(k.id_name[i]->len));
    } else {
      st.unset = st.unset == '-' || st.unset == kind ? kind : 'x';
    }
  }
  return st;
}

// A state with nothing in it whose unset id_name entries are of one kind.
State unset_as(char kind) {
  State st;
  st.unset = kind;
  return st;
}

int bucket_of(const NormObjKey &k, const std::string &text) {
  return twlb_get_hash_index_ex(text.c_str(), int(text.size()), k.size, k.prime);
}

// Texts that all fall into the same bucket of a table of `size` buckets.
std::vector<std::string> same_bucket(int size, int count) {
  int prime = get_prime(twlb_change_to_2_power_n(size));
  std::map<int, std::vector<std::string>> by_bucket;
  for (int i = 0;; i++) {
    std::string k = "c" + std::to_string(i);
    auto &v = by_bucket[twlb_get_hash_index_ex(k.c_str(), int(k.size()), size, prime)];
    v.push_back(k);
    if (int(v.size()) == count) return v;
  }
}

// One row: the table to make, what to do to it, and what must then hold.
// `run` performs the operations and may fill in expectations that depend on
// the hash (buckets of particular texts).
enum Form { kPlain, kEx, kV2 };
struct StateCase {
  const char *name;
  int size;
  Form form;
  std::function<void(NormObjKey &, State &)> run;
  State want;  // keys, free_ids, names, unset, emptied (by bucket)
  int prev_id;
};

void make(NormObjKey &k, int size, Form form) {
  int rc = form == kPlain ? twlb_init_norm_id_table(&k, size)
           : form == kEx  ? twlb_init_norm_id_table_ex(&k, size)
                          : twlb_init_norm_id_table_v2(&k, size, 4096);
  ASSERT_EQ(rc, 0);
}

void check_state(const StateCase &c) {
  SCOPED_TRACE(c.name);
  NormObjKey k;
  make(k, c.size, c.form);
  State want = c.want;
  c.run(k, want);
  State got = read_state(k);
  EXPECT_EQ(got.keys, want.keys);
  for (const auto &[text, id] : want.keys) {
    // Lookups and the records agree (texts filed whole; see the short row).
    if (want.buckets.count(text) == 0) {
      EXPECT_EQ(twlb_get_norm_id(&k, text.c_str(), int(text.size())), id) << text;
      EXPECT_EQ(got.buckets[text], bucket_of(k, text)) << text;
    } else {
      EXPECT_EQ(got.buckets[text], want.buckets.at(text)) << text;
    }
  }
  EXPECT_EQ(got.emptied.size(), want.emptied.size());
  for (const auto &[b, r] : want.emptied) {
    ASSERT_TRUE(got.emptied.count(b)) << "bucket " << b;
    const NormTable &g = got.emptied[b];
    EXPECT_EQ(g.str, -1);
    EXPECT_EQ(g.len, r.len) << "bucket " << b;
    EXPECT_EQ(g.idx, r.idx) << "bucket " << b;
    EXPECT_EQ(g.data, r.data) << "bucket " << b;
  }
  EXPECT_EQ(got.free_ids, want.free_ids);
  EXPECT_EQ(got.names, want.names);
  EXPECT_EQ(got.unset, want.unset);
  EXPECT_EQ(k.prev_id, c.prev_id);
  EXPECT_EQ(k.head, nullptr);
  twlb_obj_hash_destroy(&k);
  EXPECT_EQ(k.nt, nullptr);
  EXPECT_EQ(k.id_name, nullptr);
  EXPECT_EQ(k.nt_mpool, nullptr);
  EXPECT_EQ(k.free_norm_id_list_head, nullptr);
  EXPECT_EQ(k.prev_id, c.prev_id);  // kept until the storage is initialised again
}

void set(NormObjKey &k, const std::string &text, int id) {
  twlb_set_norm_id(&k, text.c_str(), int(text.size()), id);
}

unsigned named(NormObjKey &k, const std::string &text) {
  return twlb_get_or_set_norm_id(&k, text.c_str(), int(text.size()), nullptr);
}

int del(NormObjKey &k, const std::string &text) {
  int id = -7;
  EXPECT_EQ(twlb_delete_norm_id_ex(&k, text.c_str(), 0, &id), 0) << text;
  return id;
}

// Fills a table, lets it go and makes a new one in the same storage, so that
// the new table gets the blocks the old one released.
void churn(NormObjKey &k, int keys, bool reset) {
  for (int i = 0; i < keys; i++) {
    std::string t = "old" + std::to_string(i);
    if (i % 2)
      named(k, t);
    else
      set(k, t, 3 * i);
    if (i % 5 == 0) del(k, t);
  }
  bool ex = k.id_name != nullptr;
  add_pnt_to_idname(&k, k.max_norm_id_size + 20, k.nt);  // id_name grown (or made)
  if (reset) {
    twlb_obj_hash_reset(&k);
    return;
  }
  int size = k.size;
  twlb_obj_hash_destroy(&k);
  ex ? twlb_init_norm_id_table_ex(&k, size) : twlb_init_norm_id_table(&k, size);
}

// Creation, caller-chosen ids, reset, destroy and a table made again in the
// storage (and the blocks) of a destroyed one.
TEST(DesignedState, TableCreationSetsResetAndDestroy) {
  auto no_ops = [](NormObjKey &, State &) {};
  const std::vector<StateCase> cases = {
      {"new table", 1024, kPlain, no_ops, {}, -1},
      {"new table with id_name", 16384, kEx, no_ops, unset_as('1'), -1},
      {"new table, own arena size",
       64,
       kV2,
       [](NormObjKey &k, State &) { EXPECT_EQ(k.bigbuf.bufsize, 4096); },
       {},
       -1},
      {"new group-sized table", 0x20000, kEx, no_ops, unset_as('1'), -1},
      {"sets, chained and not; an existing text keeps its id", 64, kEx,
       [](NormObjKey &k, State &w) {
         std::vector<std::string> c = same_bucket(64, 3);
         for (int i = 0; i < 3; i++) set(k, c[i], 10 + i);
         set(k, "VuvoRavu", 0);
         set(k, c[1], 99);
         set(k, "VuvoRavu", 50);
         w.keys = {{c[0], 10}, {c[1], 11}, {c[2], 12}, {"VuvoRavu", 0}};
       },
       unset_as('1'), 12},
      {"a shorter length stores the short text under the whole text's bucket",
       1024,
       kPlain,
       [](NormObjKey &k, State &w) {
         EXPECT_EQ(twlb_set_norm_id(&k, "ghijkl", 3, 4), 4u);
         w.keys = {{"ghi", 4}};
         w.buckets = {{"ghi", bucket_of(k, "ghijkl")}};
         EXPECT_EQ(twlb_get_norm_id(&k, "ghi", 3), -2);
         EXPECT_EQ(twlb_get_norm_id(&k, "ghijkl", 3), 4);
       },
       {},
       4},
      {"one bucket: everything chained behind bucket 0",
       1,
       kPlain,
       [](NormObjKey &k, State &w) {
         for (int i = 0; i < 5; i++) set(k, "k" + std::to_string(i), i);
         for (int i = 0; i < 5; i++) w.keys["k" + std::to_string(i)] = i;
       },
       {},
       4},
      {"reset", 16384, kEx, [](NormObjKey &k, State &) { churn(k, 40, true); }, unset_as('0'), -1},
      {"reset after more keys than the table lists", 64, kEx,
       [](NormObjKey &k, State &) { churn(k, 200, true); }, unset_as('0'), -1},
      {"made again after destroy", 16384, kEx, [](NormObjKey &k, State &) { churn(k, 40, false); },
       unset_as('1'), -1},
      {"made again after destroy, more keys than listed", 16384, kEx,
       [](NormObjKey &k, State &) { churn(k, 3000, false); }, unset_as('1'), -1},
      {"made again after destroy, no id_name",
       0x20000,
       kPlain,
       [](NormObjKey &k, State &) { churn(k, 40, false); },
       {},
       -1},
      {"made again, then used", 16384, kEx,
       [](NormObjKey &k, State &w) {
         churn(k, 40, false);
         set(k, "old1", 5);
         w.keys = {{"old1", 5}};
       },
       unset_as('1'), 5},
  };
  for (const StateCase &c : cases) check_state(c);
}

// Generated ids, the id index and its growth, the three ways of deleting,
// the free list and the reuse of released ids.
TEST(DesignedState, GeneratedIdsDeletionAndReuse) {
  const std::vector<StateCase> cases = {
      {"generated ids follow the highest id",
       64,
       kPlain,
       [](NormObjKey &k, State &w) {
         EXPECT_EQ(twlb_get_or_gen_norm_id(&k, "a", 0, nullptr), 0u);
         set(k, "b", 7);
         EXPECT_EQ(twlb_get_or_gen_norm_id(&k, "c", 0, nullptr), 8u);
         w.keys = {{"a", 0}, {"b", 7}, {"c", 8}};
       },
       {},
       8},
      {"get_or_set files each new id in id_name", 64, kEx,
       [](NormObjKey &k, State &w) {
         std::vector<std::string> c = same_bucket(64, 2);
         for (const std::string &t : {c[0], c[1], std::string("x")}) named(k, t);
         w.keys = {{c[0], 0}, {c[1], 1}, {"x", 2}};
         w.names = {{0, c[0]}, {1, c[1]}, {2, "x"}};
       },
       unset_as('1'), 2},
      {"id_name grows 16 entries at a time, the new ones unset", 16, kEx,
       [](NormObjKey &k, State &w) {
         for (int i = 0; i < 17; i++) named(k, "n" + std::to_string(i));
         EXPECT_EQ(k.max_norm_id_size, 32);
         for (int i = 0; i < 17; i++) {
           w.keys["n" + std::to_string(i)] = i;
           w.names[i] = "n" + std::to_string(i);
         }
       },
       unset_as('1'), 16},
      {"no id_name in a plain table",
       64,
       kPlain,
       [](NormObjKey &k, State &w) {
         named(k, "p");
         w.keys = {{"p", 0}};
       },
       {},
       0},
      {"deleting a lone bucket record empties it, its data left",
       64,
       kPlain,
       [](NormObjKey &k, State &w) {
         set(k, "gone", 3);
         long data = k.nt[bucket_of(k, "gone")].data;
         EXPECT_GT(data, 0);
         int b = bucket_of(k, "gone");
         EXPECT_EQ(del(k, "gone"), 3);
         NormTable r = empty_image();
         r.len = r.idx = -1;
         r.data = data;
         w.emptied[b] = r;
         w.free_ids = {3};
       },
       {},
       3},
      {"deleting the head of a chain moves the second record into the bucket", 64, kEx,
       [](NormObjKey &k, State &w) {
         std::vector<std::string> c = same_bucket(64, 3);
         for (const std::string &t : c) named(k, t);
         EXPECT_EQ(del(k, c[0]), 0);
         EXPECT_EQ(k.nt[bucket_of(k, c[1])].idx, 1);
         w.keys = {{c[1], 1}, {c[2], 2}};
         w.names = {{1, c[1]}, {2, c[2]}};  // the moved record found at its new place
         w.free_ids = {0};
       },
       unset_as('1'), 2},
      {"deleting chained records; released ids reused oldest first",
       64,
       kPlain,
       [](NormObjKey &k, State &w) {
         std::vector<std::string> c = same_bucket(64, 3);
         for (int i = 0; i < 3; i++) set(k, c[i], i);
         EXPECT_EQ(del(k, c[2]), 2);
         EXPECT_EQ(del(k, c[1]), 1);
         EXPECT_EQ(twlb_get_set_or_gen_norm_id_ex(&k, "r", 0, nullptr), 2u);
         w.keys = {{c[0], 0}, {"r", 2}};
         w.free_ids = {1};
       },
       {},
       2},
      {"the free list emptied by reuse",
       64,
       kPlain,
       [](NormObjKey &k, State &w) {
         set(k, "a", 0);
         NormTable r = k.nt[bucket_of(k, "a")];
         del(k, "a");
         EXPECT_EQ(twlb_get_set_or_gen_norm_id_ex(&k, "b", 0, nullptr), 0u);
         ASSERT_NE(bucket_of(k, "a"), bucket_of(k, "b"));
         r.len = r.idx = -1;
         w.emptied[bucket_of(k, "a")] = r;
         w.keys = {{"b", 0}};
       },
       {},
       0},
      {"deleting by bucket index",
       64,
       kPlain,
       [](NormObjKey &k, State &w) {
         set(k, "h", 4);
         int b = bucket_of(k, "h");
         EXPECT_EQ(twlb_delete_norm_id(&k, b), 0);
         EXPECT_EQ(twlb_delete_norm_id(&k, b), -1);
         NormTable r = empty_image();
         r.len = r.idx = -1;
         r.data = -1;
         w.emptied[b] = r;
       },
       {},
       4},
      {"reset after deletions", 64, kEx,
       [](NormObjKey &k, State &) {
         for (int i = 0; i < 20; i++) named(k, "d" + std::to_string(i));
         for (int i = 0; i < 20; i += 3) del(k, "d" + std::to_string(i));
         twlb_obj_hash_reset(&k);
       },
       unset_as('0'), -1},
  };
  for (const StateCase &c : cases) check_state(c);
}

// The table's blocks as the tracked allocation records them: names and
// sizes in the allocation map, a guard tag right after each block, the
// counts of the thread's statistics; the same for a table whose blocks were
// recycled from a destroyed one.
TEST(DesignedState, TrackedBlocksKeepTheirNamesAndSizes) {
  struct Case {
    const char *name;
    int size;
    bool recycled;
    int grow_to;  // an id registered past the first id_name size, or -1
  };
  const Case cases[] = {{"new", 16384, false, -1},
                        {"recycled", 16384, true, -1},
                        {"small", 64, false, -1},
                        {"id_name grown", 64, false, 70}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    vzu_test::TempRun tmp;
    ASSERT_EQ(twlb_mem_map_init(), 0);
    NormObjKey k;
    if (c.recycled) {
      twlb_init_norm_id_table_ex(&k, c.size);
      named(k, "x");
      twlb_obj_hash_destroy(&k);
    }
    unsigned before = g_c_alloc_count;
    twlb_init_norm_id_table_ex(&k, c.size);
    EXPECT_EQ(g_c_alloc_count - before, 4u);  // arena, buckets, pool handler, id_name
    if (c.grow_to >= 0) add_pnt_to_idname(&k, c.grow_to, k.nt);
    int entries = c.grow_to >= 0 ? (c.grow_to / 16 + 1) * 16 : c.size;
    EXPECT_EQ(k.max_norm_id_size, entries);
    ASSERT_EQ(twlb_mem_map_dump(tmp.path("map.txt").c_str()), 0);
    std::string map = vzu_test::read_file(tmp.path("map.txt"));
    auto entry = [&](const void *p, size_t bytes, const std::string &alloc_name) {
      char addr[64];
      snprintf(addr, sizeof addr, "|%p|%zu|", p, bytes);
      size_t at = map.find(addr);
      ASSERT_NE(at, std::string::npos) << alloc_name;
      EXPECT_EQ(map.substr(map.find('\n', at) - alloc_name.size(), alloc_name.size()), alloc_name);
      EXPECT_EQ(memcmp(static_cast<const char *>(p) + bytes, "OMemDbg", 7), 0) << alloc_name;
    };
    entry(k.nt, sizeof(NormTable) * size_t(c.size), "NormalTableInit");
    entry(k.id_name, sizeof(NormTable *) * size_t(entries),
          c.grow_to >= 0 ? "key->id_name" : "NormalTableInit.id_name");
    entry(k.nt_mpool, sizeof(twlb_mp_handler), "Normal Table Memory Pool");
    unsigned frees = g_c_free_count;
    twlb_obj_hash_destroy(&k);
    EXPECT_EQ(g_c_free_count - frees, 5u);  // and the pool's one chunk
    ASSERT_EQ(twlb_mem_map_dump(tmp.path("map.txt").c_str()), 0);
    std::string after = vzu_test::read_file(tmp.path("map.txt"));
    EXPECT_EQ(std::count(after.begin(), after.end(), '\n'),
              std::count(map.begin(), map.end(), '\n') - 4);
    twlb_mem_map_free();
  }
}

}  // namespace
