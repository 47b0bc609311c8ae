/*
 * twlb_get_norm_obj_id.cpp - the normalized-ID table.
 *
 * Bucket records live in the `nt` array; a bucket's second and later records
 * are pool slots chained through nt_next. Key texts and 8-byte data items
 * are appended to the table's arena and referred to by offset, so arena
 * growth never invalidates a record. Lookups test the length before
 * comparing bytes and touch one bucket record plus one arena text when the
 * bucket holds a single key; the bucket comes from the hash by a
 * multiply-based remainder instead of a division. Ids are caller-chosen
 * (set) or prev_id + 1 (gen); deleted ids queue on a FIFO free list that one
 * operation reuses. No lock: one thread at a time per table.
 *
 * Empty buckets cost nothing although every record of an empty table reads
 * str = -1 and every unset id_name entry all ones: both arrays are pattern
 * blocks (twlb_alloc.h) whose pages hold that state before anyone writes
 * them. What a table wrote - which bucket records, how far into id_name -
 * is kept in a registry private to this file, keyed by the bucket array, so
 * that reset and destroy restore those records alone and a destroyed
 * table's blocks go back whole to serve the next table of the same size
 * (each group's vector table is rebuilt per partition) without a pass over
 * them. The registry is the table's bookkeeping, not part of its records.
 */
#include "twlb_get_norm_obj_id.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "twlb_alloc.h"
#include "twlb_log.h"

namespace {

constexpr int kPoolFirstSlots = 64;
constexpr int kPoolMoreSlots = 16;
constexpr int kIdNameGrowth = 16;
constexpr int kMaxTableSize = 1 << 30;
constexpr unsigned int kBadInput = 0xFFFFFFFFu;
constexpr long kEmpty = -1;
constexpr uint64_t kFnvBasis = 0x811C9DC5ULL;
constexpr uint64_t kFnvPrime = 16777619ULL;
// Past this many written bucket records per 16 buckets the list stops and
// reset/destroy restore the whole array: the list stays small.
constexpr int kWrittenListDivisor = 16;

// An empty bucket record, the unit of a new bucket array.
constexpr NormTable kEmptyRecord = {nullptr, nullptr, 0, kEmpty,
                                    0,       0,       0, nullptr};
// An unset id_name entry: all bits set.
const uintptr_t kUnsetEntry = ~uintptr_t{0};

NormTable *unset_marker() { return reinterpret_cast<NormTable *>(kUnsetEntry); }

size_t bucket_bytes(int size) {
  return sizeof(NormTable) * static_cast<size_t>(size);
}

size_t id_name_bytes(int entries) {
  return sizeof(NormTable *) * static_cast<size_t>(entries);
}

/* What a table has written since its creation or last reset. */
struct Book {
  std::vector<int> written;     // bucket records, each listed once
  bool all_written = false;     // too many to list: restore every record
  int id_name_used = 0;         // id_name entries [0, used) may be set
  bool id_name_unset = true;    // id_name is all ones outside those entries
  std::vector<uint64_t> pages;  // bit per page of the bucket array: written
};

// The unit of `pages`: a memory page, or a part of one where pages are
// larger (which costs nothing but a few reads of pages already mapped).
constexpr size_t kPageBytes = 4096;

/* The books of all live tables, keyed by bucket array (which, unlike the
 * NormObjKey, never moves: callers keep tables in rows they reallocate).
 * Never destroyed, so that a table released by a static destructor late in
 * the process still finds it; the lock covers tables of different threads. */
struct Registry {
  std::mutex lock;
  std::unordered_map<const NormTable *, Book> books;
};

Registry &registry() {
  static Registry *r = new Registry;
  return *r;
}

// Runs f on the book of key's table (made on first use).
template <class F>
void with_book(const NormObjKey *key, F f) {
  Registry &r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  f(r.books[key->nt]);
}

/* Lookups read their table's book without the lock through the thread's
 * last book found: a book stays where it is in the registry until its table
 * is destroyed, and every removal counts in s_removals, so the remembered
 * book is still the table's when no removal happened since it was found (a
 * table is used by one thread at a time, so no removal of its own book can
 * happen while it is being read). */
std::atomic<uint64_t> s_removals{0};

struct LastBook {
  const NormTable *nt;
  const Book *book;
  uint64_t removals;
};
__thread LastBook t_last_book;

// The book of key's table for reading, or null when it has none.
const Book *find_book(const NormObjKey *key) {
  uint64_t removals = s_removals.load(std::memory_order_acquire);
  LastBook &last = t_last_book;
  if (last.book && last.nt == key->nt && last.removals == removals)
    return last.book;
  Registry &r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.books.find(key->nt);
  if (it == r.books.end()) return nullptr;
  last = {key->nt, &it->second, removals};
  return &it->second;
}

// The book of key's table, removed from the registry.
Book take_book(const NormObjKey *key) {
  Registry &r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.books.find(key->nt);
  if (it == r.books.end()) return Book{};
  Book book = std::move(it->second);
  r.books.erase(it);
  s_removals.fetch_add(1, std::memory_order_release);
  return book;
}

// Marks the pages bucket record b lies on as written.
void note_pages(Book &book, int b) {
  size_t first = static_cast<size_t>(b) * sizeof(NormTable) / kPageBytes;
  size_t last = ((static_cast<size_t>(b) + 1) * sizeof(NormTable) - 1) /
                kPageBytes;
  if (book.pages.size() <= last / 64) book.pages.resize(last / 64 + 1);
  for (size_t p = first; p <= last; p++)
    book.pages[p / 64] |= uint64_t{1} << (p % 64);
}

bool pages_written(const Book &book, int b) {
  size_t first = static_cast<size_t>(b) * sizeof(NormTable) / kPageBytes;
  size_t last = ((static_cast<size_t>(b) + 1) * sizeof(NormTable) - 1) /
                kPageBytes;
  for (size_t p = first; p <= last; p++)
    if (p / 64 < book.pages.size() && (book.pages[p / 64] >> (p % 64) & 1) != 0)
      return true;
  return false;
}

// False when bucket record b lies on pages that no write of this table has
// touched since its array was obtained or reset: the record is then empty
// and a lookup need not read it. Reading it would map the page in, and a
// first read of a page of the array's template maps its neighbours too, so
// a table whose lookups mostly miss would soon count every page of its
// array as resident.
bool may_hold_key(const NormObjKey *key, int b) {
  const Book *book = find_book(key);
  return !book || pages_written(*book, b);
}

// Notes that bucket record b, untouched until now, is being written.
void note_bucket(Book &book, int b, int size) {
  note_pages(book, b);
  if (book.all_written) return;
  if (book.written.size() >= static_cast<size_t>(size / kWrittenListDivisor)) {
    book.all_written = true;
    book.written = std::vector<int>();
    return;
  }
  book.written.push_back(b);
}

// Byte for byte, padding included, as a new array holds it.
void put_empty(NormTable *rec) {
  memcpy(static_cast<void *>(rec), &kEmptyRecord, sizeof kEmptyRecord);
}

// Puts every bucket record written since creation or reset back to empty.
void restore_buckets(NormObjKey *key, Book &book) {
  if (book.all_written) {
    for (int i = 0; i < key->size; i++) put_empty(key->nt + i);
  } else {
    for (int b : book.written) put_empty(key->nt + b);
  }
  book.written.clear();
  book.all_written = false;
  book.pages.clear();
}

// Makes the id_name entries that may have been set unset again; false when
// id_name holds something else (nulls since a reset) and cannot be reused.
bool restore_id_name(NormObjKey *key, const Book &book) {
  if (!book.id_name_unset) return false;
  memset(static_cast<void *>(key->id_name), 0xFF,
         id_name_bytes(book.id_name_used));
  return true;
}

// The largest prime not above 2^k, k = 0..30 (get_prime of every size).
constexpr int kPrimes[31] = {
    1,         2,         3,         7,        13,       31,       61,
    127,       251,       509,       1021,     2039,     4093,     8191,
    16381,     32749,     65521,     131071,   262139,   524287,   1048573,
    2097143,   4194301,   8388593,   16777213, 33554393, 67108859, 134217689,
    268435399, 536870909, 1073741789};

using u128 = unsigned __int128;

// 2^128 / d + 1 (0 for d = 1): with it, h % d is two multiplications (exact
// for every 64-bit h and 32-bit d).
constexpr u128 remainder_inverse(uint64_t d) { return ~u128{0} / d + 1; }

struct Divisors {
  u128 inv[31];
  constexpr Divisors() : inv() {
    for (int k = 0; k < 31; k++)
      inv[k] = remainder_inverse(static_cast<uint64_t>(kPrimes[k]));
  }
};
constexpr Divisors kDivisors;

inline uint64_t remainder(uint64_t h, const NormObjKey *key) {
  uint64_t d = static_cast<uint64_t>(key->prime);
  unsigned size = static_cast<unsigned>(key->size);
  int k = __builtin_ctz(size);
  if ((size & (size - 1)) != 0 || k > 30 || kPrimes[k] != key->prime)
    return h % d;  // a table whose fields were set by hand
  u128 low = kDivisors.inv[k] * h;
  u128 bottom = (static_cast<u128>(static_cast<uint64_t>(low)) * d) >> 64;
  u128 top = static_cast<u128>(static_cast<uint64_t>(low >> 64)) * d;
  return static_cast<uint64_t>((bottom + top) >> 64);
}

// FNV-1a over the bytes up to the terminating zero, kept in 64 bits. The
// zero byte is found first with strlen (word-wide), so the multiply chain
// runs as a counted loop without a per-byte end test: the same value, in
// about two thirds of the time. *whole is set when the text is at least len
// bytes long (no zero byte among the first len).
inline uint64_t fnv_to_zero(const char *str, int len, bool *whole) {
  const auto *p = reinterpret_cast<const unsigned char *>(str);
  size_t n = strlen(str);
  *whole = n >= static_cast<size_t>(len);
  uint64_t h = kFnvBasis;
#pragma GCC unroll 4
  for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * kFnvPrime;
  return h;
}

inline int hash_index(const char *str, int len, int size, int prime,
                      bool *whole) {
  if (!str || len < 1 || size < 1 || prime < 1) return -1;
  return static_cast<int>(fnv_to_zero(str, len, whole) %
                          static_cast<uint64_t>(prime));
}

// A table's bucket for str; -1 as hash_index.
inline int table_bucket(const NormObjKey *key, const char *str, int len,
                        bool *whole) {
  if (!str || len < 1 || key->size < 1 || key->prime < 1) return -1;
  return static_cast<int>(remainder(fnv_to_zero(str, len, whole), key));
}

inline bool bucket_empty(const NormTable *rec) { return rec->str == kEmpty; }

// Same length and the same first len bytes, compared as strncmp does. When
// the given text has no zero byte among those len bytes, strncmp and memcmp
// agree, and memcmp is the cheaper of the two.
inline bool record_matches(const NormObjKey *key, const NormTable *rec,
                           const char *str, int len, bool whole) {
  if (rec->len != len) return false;
  const char *stored = key->bigbuf.buffer + rec->str;
  size_t n = static_cast<size_t>(len);
  return whole ? memcmp(stored, str, n) == 0 : strncmp(stored, str, n) == 0;
}

// An id_name entry with no record: all ones (unset) or null (after a reset).
bool is_unset(const NormTable *entry) {
  return !entry || reinterpret_cast<uintptr_t>(entry) == kUnsetEntry;
}

// Where a key stands in its bucket: the matching record (or null), the
// record before it, the chain's last record and how many records precede.
struct Probe {
  int bucket = -1;
  NormTable *found = nullptr;
  NormTable *before = nullptr;
  NormTable *last = nullptr;
  int count = 0;
};

// Hashes and walks the bucket; false when the hash cannot be computed.
bool probe(NormObjKey *key, const char *str, int len, Probe *p) {
  bool whole = false;
  p->bucket = table_bucket(key, str, len, &whole);
  if (p->bucket < 0) return false;
  if (!may_hold_key(key, p->bucket)) return true;
  NormTable *rec = key->nt + p->bucket;
  if (bucket_empty(rec)) return true;
  for (; rec; rec = rec->nt_next) {
    if (record_matches(key, rec, str, len, whole)) {
      p->found = rec;
      return true;
    }
    p->before = rec;
    p->last = rec;
    p->count++;
  }
  return true;
}

// Files a new key in its bucket with id `id`; the record, or null when the
// table has no pool for a chained record. flag_new as the gen operations
// report it: 1 for an empty bucket record, else the records already there.
NormTable *place_new(NormObjKey *key, const Probe &p, const char *str, int len,
                     int id, int *flag_new) {
  NormTable *rec;
  if (!p.last) {
    rec = key->nt + p.bucket;
    // A record never written since creation or reset joins the list; one
    // on a page never written is such a record, found without reading it.
    with_book(key, [&](Book &book) {
      if (!pages_written(book, p.bucket) || rec->len == 0)
        note_bucket(book, p.bucket, key->size);
    });
  } else {
    rec = static_cast<NormTable *>(twlb_mp_get_slot(key->nt_mpool));
    if (!rec) return nullptr;
    rec->nt_next = nullptr;
    p.last->nt_next = rec;
  }
  rec->str = twlb_bigbuf_copy_into_bigbuf(&key->bigbuf, const_cast<char *>(str),
                                          len);
  rec->len = len;
  rec->idx = id;
  if (flag_new) *flag_new = p.last ? p.count : 1;
  return rec;
}

// A new key with the next generated id. Generated records are marked as
// having no data item, so a recycled slot never shows an earlier one.
NormTable *gen_new(NormObjKey *key, const Probe &p, const char *str, int len,
                   int *flag_new) {
  NormTable *rec = place_new(key, p, str, len, key->prev_id + 1, flag_new);
  if (!rec) return nullptr;
  key->prev_id++;
  rec->data = kEmpty;
  return rec;
}

bool bad_text(const char *str) { return !str || !*str; }

int text_len(const char *str, int len) {
  return len == 0 ? static_cast<int>(strlen(str)) : len;
}

void set_flag(int *flag_new, int value) {
  if (flag_new) *flag_new = value;
}

// The id_name entry of id when it points at rec, else null.
NormTable **id_name_slot(NormObjKey *key, int id, const NormTable *rec) {
  if (!key->id_name || id < 0 || id >= key->max_norm_id_size) return nullptr;
  return key->id_name[id] == rec ? &key->id_name[id] : nullptr;
}

// Removes rec (found behind `before`, or the bucket record) from bucket b.
// Deletion keeps id_name truthful: the deleted id's entry is cleared and a
// record moved into its bucket record is re-pointed there.
void unlink_record(NormObjKey *key, int bucket, NormTable *before,
                   NormTable *rec) {
  if (NormTable **entry = id_name_slot(key, rec->idx, rec))
    *entry = unset_marker();
  if (before) {
    before->nt_next = rec->nt_next;
    twlb_mp_free_slot(key->nt_mpool, rec);
    return;
  }
  NormTable *next = key->nt[bucket].nt_next;
  if (!next) {
    rec->str = rec->len = rec->idx = -1;  // its data is left as it was
    return;
  }
  NormTable **moved = id_name_slot(key, next->idx, next);
  *rec = *next;  // the pool header fields come along and mean nothing here
  if (moved) *moved = rec;
  twlb_mp_free_slot(key->nt_mpool, next);
}

void release_free_list(NormObjKey *key, const char *name) {
  FreeNormIdList *node = key->free_norm_id_list_head;
  while (node) {
    FreeNormIdList *next = node->next_free_id;
    TWLB_FREE(node, name, -1);
    node = next;
  }
  key->free_norm_id_list_head = nullptr;
  key->free_norm_id_list_tail = nullptr;
}

// The oldest released id, removed from the free list.
int pop_free_id(NormObjKey *key) {
  FreeNormIdList *head = key->free_norm_id_list_head;
  int id = head->free_id;
  key->free_norm_id_list_head = head->next_free_id;
  if (!key->free_norm_id_list_head) key->free_norm_id_list_tail = nullptr;
  TWLB_FREE(head, "free_norm_id_list", -1);
  return id;
}

bool make_pool(NormObjKey *key, const char *caller) {
  twlb_malloc_ex(&key->nt_mpool, sizeof(twlb_mp_handler),
                 "Normal Table Memory Pool", __FILE__, __LINE__, caller);
  memset(static_cast<void *>(key->nt_mpool), 0, sizeof(twlb_mp_handler));
  return twlb_mp_init(key->nt_mpool, sizeof(NormTable), kPoolFirstSlots,
                      kPoolMoreSlots, 0) == 0 &&
         twlb_mp_create(key->nt_mpool) == 0;
}

// The base initialisation shared by the three initialisers; `caller` names
// the public entry point in traces and allocation records. A negative
// big_buf_size asks for the default 1 MB arena.
int init_table(NormObjKey *key, int size, int big_buf_size,
               const char *caller) {
  TWLB_TRACE_AT(TWLB_LOG_MAJOR, MISC, __FILE__, __LINE__, caller,
                "Method called");
  if (!key) return -1;
  memset(static_cast<void *>(key), 0, sizeof *key);
  key->size = twlb_change_to_2_power_n(size);
  key->prime = get_prime(key->size);
  key->prev_id = -1;
  int rc = big_buf_size < 0 ? twlb_bigbuf_init(&key->bigbuf)
                            : twlb_bigbuf_init_ex(&key->bigbuf, big_buf_size);
  if (rc < 0) return -1;
  // Every bucket record empty (all zero, str = -1) without a pass over the
  // array: the block's pages hold that state until they are written.
  twlb_alloc_pattern_ex(&key->nt, static_cast<long>(bucket_bytes(key->size)),
                        &kEmptyRecord, sizeof kEmptyRecord, "NormalTableInit",
                        __FILE__, __LINE__, caller);
  with_book(key, [](Book &) {});  // a new, empty book: nothing written yet
  if (!make_pool(key, caller)) {
    TWLB_TRACE_AT(TWLB_LOG_MAJOR, MISC, __FILE__, __LINE__, caller,
                  "Error: Unable to create NT_MPOOL");
    twlb_free_ex(&key->nt_mpool, "Freeing NT_MPOOL", -1, __FILE__, __LINE__,
                 caller);
    return -1;
  }
  key->free_norm_id_list_head = nullptr;
  key->free_norm_id_list_tail = nullptr;
  return 0;
}

}  // namespace

extern "C" {

int twlb_change_to_2_power_n(int value) {
  if (value > 0 && (value & (value - 1)) == 0) return value;
  int p = 1;
  while (p < value && p < kMaxTableSize) p <<= 1;  // larger is out of range
  return p;
}

int get_prime(int n) {
  for (int v = n; v > 1; v--) {
    bool prime = true;
    for (int d = 2; d <= v / d; d++)
      if (v % d == 0) {
        prime = false;
        break;
      }
    if (prime) return v;
  }
  return 1;
}

int twlb_init_norm_id_table(NormObjKey *key, int size) {
  return init_table(key, size, -1, __func__);
}

int twlb_init_norm_id_table_v2(NormObjKey *key, int size, int big_buf_size) {
  return init_table(key, size, big_buf_size > 0 ? big_buf_size : 0, __func__);
}

int twlb_init_norm_id_table_ex(NormObjKey *key, int size) {
  if (!key) return -1;
  init_table(key, size, -1, "twlb_init_norm_id_table");
  // Every entry unset (all ones), again without a pass over the array.
  twlb_alloc_pattern_ex(
      &key->id_name, static_cast<long>(id_name_bytes(key->size)), &kUnsetEntry,
      sizeof kUnsetEntry, "NormalTableInit.id_name", __FILE__, __LINE__,
      __func__);
  key->max_norm_id_size = key->size;
  return 0;
}

int twlb_obj_hash_destroy(NormObjKey *key) {
  TWLB_TRACE(TWLB_LOG_MAJOR, MISC, "Method called");
  if (!key) return 0;
  if (key->nt_mpool) {
    twlb_mp_destroy(key->nt_mpool);
    TWLB_FREE(key->nt_mpool, "Memory pool", -1);
  }
  twlb_bigbuf_free(&key->bigbuf);
  // Both arrays go back in their empty state, restored where written, so
  // the next table of the same size takes them as they are.
  Book book = take_book(key);
  if (key->nt) restore_buckets(key, book);
  TWLB_FREE_PATTERN(key->nt, bucket_bytes(key->size), &kEmptyRecord,
                    sizeof kEmptyRecord, 1, "Normalization table creation", -1);
  int unset = key->id_name && restore_id_name(key, book);
  TWLB_FREE_PATTERN(key->id_name, id_name_bytes(key->max_norm_id_size),
                    &kUnsetEntry, sizeof kUnsetEntry, unset, "key->id_name",
                    -1);
  release_free_list(key, "free_tmp");
  TWLB_TRACE(TWLB_LOG_MAJOR, MISC, "Method exiting");
  return 0;
}

int twlb_obj_hash_reset(NormObjKey *key) {
  TWLB_TRACE(TWLB_LOG_MAJOR, MISC, "Method called, key = %p",
             static_cast<void *>(key));
  if (!key || !key->nt) return 0;
  twlb_mp_free_all_slots(key->nt_mpool);
  // Every bucket record empty again; id_name entries null (not registered),
  // which no longer matches the unset state its block started in.
  with_book(key, [&](Book &book) {
    restore_buckets(key, book);
    if (key->id_name) {
      memset(static_cast<void *>(key->id_name), 0,
             id_name_bytes(key->max_norm_id_size));
      book.id_name_unset = false;
      book.id_name_used = 0;
    }
  });
  key->prev_id = -1;
  twlb_bigbuf_clear_used(&key->bigbuf);
  release_free_list(key, "free_norm_id_list");
  return 0;
}

int twlb_get_hash_index_ex(const char *str, int len, int size, int prime) {
  bool whole;
  return hash_index(str, len, size, prime, &whole);
}

int twlb_get_norm_id(NormObjKey *key, const char *in_str, int in_strlen) {
  if (!key || !key->nt || !in_str || in_strlen == 0 || !*in_str) return -1;
  bool whole;
  int bucket = table_bucket(key, in_str, in_strlen, &whole);
  if (bucket < 0 || !may_hold_key(key, bucket)) return -2;
  const NormTable *rec = key->nt + bucket;
  if (bucket_empty(rec)) return -2;
  do {
    if (record_matches(key, rec, in_str, in_strlen, whole)) return rec->idx;
    rec = rec->nt_next;
  } while (rec);
  return -2;
}

int twlb_get_norm_id_hash_data_ex(NormObjKey *key, const char *in_str,
                                  int in_strlen, int *hs, NormTableData *data) {
  if (!key || !key->nt || !hs || !in_str || in_strlen == 0 || !*in_str)
    return -1;
  if (data) memset(static_cast<void *>(data), 0, sizeof *data);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) return -2;
  *hs = p.bucket;
  if (!p.found) return -2;
  if (data && p.found->data > 0)
    memcpy(static_cast<void *>(data), key->bigbuf.buffer + p.found->data,
           sizeof *data);
  return p.found->idx;
}

int twlb_get_norm_id_hash_data(NormObjKey *key, const char *in_str,
                               int in_strlen, int *hs, int *value) {
  NormTableData item;
  memset(static_cast<void *>(&item), 0, sizeof item);
  int ret = twlb_get_norm_id_hash_data_ex(key, in_str, in_strlen, hs, &item);
  if (value) *value = item.val_int;
  return ret;
}

unsigned int twlb_set_norm_id(NormObjKey *key, const char *in_str,
                              int in_strlen, int normid) {
  return twlb_set_norm_id_and_data(key, in_str, in_strlen, normid, 0);
}

unsigned int twlb_set_norm_id_and_data(NormObjKey *key, const char *in_str,
                                       int in_strlen, int normid, char data) {
  NormTableData item;
  memset(static_cast<void *>(&item), 0, sizeof item);
  item.val_int = data;
  return twlb_set_norm_id_and_data_ex(key, in_str, in_strlen, normid, &item);
}

unsigned int twlb_set_norm_id_and_data_ex(NormObjKey *key, const char *in_str,
                                          int in_strlen, int normid,
                                          NormTableData *data) {
  if (!key || !key->nt || bad_text(in_str)) return 0;
  in_strlen = text_len(in_str, in_strlen);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) {
    fprintf(stderr,
            "Error: Obtained hash index '%d' for string '%s' is not correct. "
            "Hence returning.",
            p.bucket, in_str);
    return 0;
  }
  if (p.found) return static_cast<unsigned int>(p.found->idx);
  NormTable *rec = place_new(key, p, in_str, in_strlen, normid, nullptr);
  if (!rec) return 0;
  if (normid > key->prev_id) key->prev_id = normid;
  rec->data = data ? twlb_bigbuf_copy_into_bigbuf(
                         &key->bigbuf, reinterpret_cast<char *>(data),
                         sizeof *data)
                   : kEmpty;
  return static_cast<unsigned int>(normid);
}

void twlb_set_start_norm_id(NormObjKey *key, int start_normid) {
  if (key && start_normid > key->prev_id) key->prev_id = start_normid;
}

unsigned int twlb_get_or_gen_norm_id(NormObjKey *key, const char *in_str,
                                     int in_strlen, int *flag_new) {
  if (!key || !key->nt || bad_text(in_str)) return kBadInput;
  set_flag(flag_new, 0);
  in_strlen = text_len(in_str, in_strlen);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) return 0;
  if (p.found) return static_cast<unsigned int>(p.found->idx);
  NormTable *rec = gen_new(key, p, in_str, in_strlen, flag_new);
  return rec ? static_cast<unsigned int>(rec->idx) : kBadInput;
}

unsigned int twlb_get_or_gen_norm_id_ex(NormObjKey *key, const char *in_str,
                                        int in_strlen, int *flag_new, int *hs) {
  if (!key || !key->nt || bad_text(in_str) || in_strlen == 0) return kBadInput;
  set_flag(flag_new, 0);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) return kBadInput;
  if (p.found) return static_cast<unsigned int>(p.found->idx);
  NormTable *rec = gen_new(key, p, in_str, in_strlen, flag_new);
  if (!rec) return kBadInput;
  if (!p.last && hs) *hs = p.bucket;
  return static_cast<unsigned int>(rec->idx);
}

unsigned int twlb_get_or_set_norm_id(NormObjKey *key, const char *in_str,
                                     int in_strlen, int *flag_new) {
  set_flag(flag_new, 0);
  TWLB_TRACE(TWLB_LOG_MAJOR, MISC,
             "Method called key = %p, in_str = %s in_strlen = %d ",
             static_cast<void *>(key), in_str ? in_str : "(null)", in_strlen);
  if (!key || !key->nt || bad_text(in_str) || in_strlen == 0) return kBadInput;
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) return 0;
  if (p.found) return static_cast<unsigned int>(p.found->idx);
  NormTable *rec = gen_new(key, p, in_str, in_strlen, flag_new);
  if (!rec) return kBadInput;
  if (key->id_name) add_pnt_to_idname(key, rec->idx, rec);
  return static_cast<unsigned int>(rec->idx);
}

unsigned int twlb_get_set_or_gen_norm_id(NormObjKey *key, const char *in_str,
                                         int in_strlen, int *flag_new,
                                         int normid) {
  if (!key || !key->nt || bad_text(in_str)) return kBadInput;
  set_flag(flag_new, 0);
  in_strlen = text_len(in_str, in_strlen);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) return 0;
  if (p.found) return static_cast<unsigned int>(p.found->idx);
  if (normid != -1) {
    set_flag(flag_new, 1);
    return twlb_set_norm_id(key, in_str, in_strlen, normid);
  }
  NormTable *rec = gen_new(key, p, in_str, in_strlen, flag_new);
  return rec ? static_cast<unsigned int>(rec->idx) : kBadInput;
}

unsigned int twlb_get_set_or_gen_norm_id_ex(NormObjKey *key, const char *in_str,
                                            int in_strlen, int *flag_new) {
  if (!key || !key->nt || bad_text(in_str)) return kBadInput;
  set_flag(flag_new, 0);
  in_strlen = text_len(in_str, in_strlen);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p)) return 0;
  if (p.found) return static_cast<unsigned int>(p.found->idx);
  if (key->free_norm_id_list_head) {
    set_flag(flag_new, p.last ? p.count : 1);
    int id = key->free_norm_id_list_head->free_id;
    unsigned int ret = twlb_set_norm_id(key, in_str, in_strlen, id);
    pop_free_id(key);
    return ret;
  }
  NormTable *rec = gen_new(key, p, in_str, in_strlen, flag_new);
  return rec ? static_cast<unsigned int>(rec->idx) : kBadInput;
}

char *twlb_get_norm_table_data(NormObjKey *key, int norm_id) {
  TWLB_TRACE(TWLB_LOG_MAJOR, MISC, "Method called key = %p, norm_id = %d",
             static_cast<void *>(key), norm_id);
  if (!key || norm_id < 0) return const_cast<char *>("InvalidInput");
  if (!key->id_name || norm_id >= key->max_norm_id_size)
    return const_cast<char *>("NormIdNameNotFound");
  const NormTable *rec = key->id_name[norm_id];
  if (!rec || is_unset(rec)) return const_cast<char *>("NormIdNameNotFound");
  return key->bigbuf.buffer + rec->str;
}

int twlb_delete_norm_id_ex(NormObjKey *key, const char *in_str, int in_strlen,
                           int *norm_id) {
  if (!key || !key->nt || bad_text(in_str)) return -1;
  in_strlen = text_len(in_str, in_strlen);
  Probe p;
  if (!probe(key, in_str, in_strlen, &p) || !p.found) return -1;
  twlb_add_id_in_free_list(key, p.found->idx);
  if (norm_id) *norm_id = p.found->idx;
  unlink_record(key, p.bucket, p.before, p.found);
  return 0;
}

int twlb_delete_norm_id(NormObjKey *key, int hash) {
  if (!key || !key->nt || hash < 0 || hash >= key->size) return -1;
  NormTable *rec = key->nt + hash;
  if (bucket_empty(rec)) return -1;
  rec->str = rec->data = kEmpty;
  rec->idx = rec->len = -1;
  return 0;
}

void twlb_add_id_in_free_list(NormObjKey *key, int data) {
  if (!key) return;
  // Straight from malloc; running out is as fatal as in a tracked allocation.
  auto *node = static_cast<FreeNormIdList *>(
      twlb_sys_malloc(sizeof(FreeNormIdList)));
  if (!node)
    twlb_out_of_memory(__FILE__, __LINE__, __func__,
                       static_cast<long>(sizeof(FreeNormIdList)),
                       "FreeNormIdList");
  node->free_id = data;
  node->next_free_id = nullptr;
  if (key->free_norm_id_list_tail)
    key->free_norm_id_list_tail->next_free_id = node;
  else
    key->free_norm_id_list_head = node;
  key->free_norm_id_list_tail = node;
}

void add_pnt_to_idname(NormObjKey *key, int norm_id, NormTable *p_nt) {
  TWLB_TRACE(TWLB_LOG_MAJOR, MISC,
             "Method called, key = %p, norm_id = %d, p_nt = %p, "
             "max_norm_id_size = %d",
             static_cast<void *>(key), norm_id, static_cast<void *>(p_nt),
             key ? key->max_norm_id_size : 0);
  if (!key || norm_id < 0) return;
  while (norm_id >= key->max_norm_id_size) {
    int old = key->max_norm_id_size;
    int grown = old + kIdNameGrowth;
    // The added entries come unset (all ones).
    TWLB_REALLOC_PATTERN(key->id_name, id_name_bytes(grown), id_name_bytes(old),
                         id_name_bytes(old), &kUnsetEntry, sizeof kUnsetEntry,
                         "key->id_name", -1);
    key->max_norm_id_size = grown;
  }
  with_book(key, [&](Book &book) {
    if (norm_id >= book.id_name_used) book.id_name_used = norm_id + 1;
  });
  key->id_name[norm_id] = p_nt;
}

}  // extern "C"
