/*
 * twlb_block_source.cpp - zero blocks and pattern blocks: anonymous mappings
 * for large zero blocks, private mappings of a shared template for large
 * pattern blocks, both kept per thread after release for the next block of
 * the same kind and mapped size; the heap for small ones. Under
 * AddressSanitizer a cached block is poisoned, so a use after its release is
 * still reported.
 */
#include "twlb_block_source.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define ZB_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define ZB_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define ZB_POISON(p, n) ((void)(p), (void)(n))
#define ZB_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace {

/* Released mappings kept for reuse, at most this many bytes per thread; a
 * mapping costs address space, and resident memory only for the pages its
 * earlier users wrote. */
constexpr size_t kCacheMaxBytes = size_t{1} << 30;

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t mapped_len(size_t bytes) {
  size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

bool is_mapped(size_t bytes) { return bytes >= TWLB_BLOCK_MAP_MIN; }

/* What a cached block holds: all zero, or the pattern of template t as
 * kind t + 1. */
constexpr int kZeroKind = 0;

struct Cached {
  void *block;
  size_t len;
  int kind;
};

// The thread's released mappings. Plain data without a destructor, so that a
// table destroyed by a static destructor late in the process still finds it
// intact; a thread that ends unmaps its blocks through a key destructor, and
// at process exit the system takes them back.
constexpr int kCacheSlots = 512;

struct Cache {
  Cached blocks[kCacheSlots];
  int count;
  size_t bytes;
  bool registered;
};

__thread Cache t_cache;
pthread_key_t s_cache_key;
pthread_once_t s_cache_key_once = PTHREAD_ONCE_INIT;

void unmap_cached(void *arg) {
  Cache *cache = static_cast<Cache *>(arg);
  for (int i = 0; i < cache->count; i++) {
    ZB_UNPOISON(cache->blocks[i].block, cache->blocks[i].len);
    munmap(cache->blocks[i].block, cache->blocks[i].len);
  }
  cache->count = 0;
  cache->bytes = 0;
}

void make_cache_key() { pthread_key_create(&s_cache_key, unmap_cached); }

void *take_cached(size_t len, int kind) {
  Cache &c = t_cache;
  for (int i = c.count; i-- > 0;) {
    if (c.blocks[i].len != len || c.blocks[i].kind != kind) continue;
    void *block = c.blocks[i].block;
    c.blocks[i] = c.blocks[--c.count];
    c.bytes -= len;
    ZB_UNPOISON(block, len);
    return block;
  }
  return nullptr;
}

bool keep_cached(void *block, size_t len, int kind) {
  Cache &c = t_cache;
  if (c.count == kCacheSlots || c.bytes + len > kCacheMaxBytes) return false;
  if (!c.registered) {
    pthread_once(&s_cache_key_once, make_cache_key);
    pthread_setspecific(s_cache_key, &c);
    c.registered = true;
  }
  c.blocks[c.count++] = {block, len, kind};
  c.bytes += len;
  ZB_POISON(block, len);
  return true;
}

void *map_zero(size_t len) {
  void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void release(void *block, size_t bytes) {
  if (is_mapped(bytes))
    munmap(block, mapped_len(bytes));
  else
    free(block);
}

// Between the two kinds: a new block of the other kind, the kept bytes
// copied, the old block released.
void *move_block(void *block, size_t old_bytes, size_t new_bytes) {
  void *fresh = twlb_zero_block_get(new_bytes);
  if (!fresh) return nullptr;
  memcpy(fresh, block, old_bytes < new_bytes ? old_bytes : new_bytes);
  release(block, old_bytes);
  return fresh;
}

// Writes the pattern over bytes [from, fill) of a block, `from` a multiple
// of the unit: the unit once, then ever larger copies of what is written.
void fill_pattern(char *p, size_t from, const twlb_pattern_t &pat) {
  if (from >= pat.fill_bytes) return;
  memcpy(p + from, pat.unit, pat.unit_len);
  size_t done = from + pat.unit_len;
  while (done < pat.fill_bytes) {
    size_t n = done - from < pat.fill_bytes - done ? done - from
                                                   : pat.fill_bytes - done;
    memcpy(p + done, p + from, n);
    done += n;
  }
}

/* Templates: one shared, read-only-by-convention file of the pattern per
 * pattern and mapped size, made on first demand and kept for the process.
 * A few suffice (a table size or two per kind of table); past the limit
 * blocks are filled by hand. */
constexpr int kMaxTemplates = 16;

struct Template {
  unsigned char unit[TWLB_PATTERN_UNIT_MAX];
  size_t unit_len;
  size_t fill_bytes;
  size_t len;
  int fd;  // -1: the template could not be made; fill by hand
};

Template s_templates[kMaxTemplates];
int s_template_count;
pthread_mutex_t s_template_lock = PTHREAD_MUTEX_INITIALIZER;

bool same_pattern(const Template &t, const twlb_pattern_t &pat, size_t len) {
  return t.len == len && t.fill_bytes == pat.fill_bytes &&
         t.unit_len == pat.unit_len &&
         memcmp(t.unit, pat.unit, t.unit_len) == 0;
}

// The template's file: the pattern written with pwrite from one buffer of
// whole units (no page faults on the file's own pages), zero after it.
int make_template_file(const twlb_pattern_t &pat, size_t len) {
  int fd = memfd_create("twlb_pattern", MFD_CLOEXEC);
  if (fd < 0) return -1;
  size_t chunk = pat.unit_len * 4096;
  char *buf = static_cast<char *>(malloc(chunk));
  bool ok = buf && ftruncate(fd, static_cast<off_t>(len)) == 0;
  if (ok) {
    twlb_pattern_t whole = pat;
    whole.fill_bytes = chunk;
    fill_pattern(buf, 0, whole);
  }
  // The file at offset `at` holds buf[at % chunk]: a short write goes on
  // from where it stopped.
  for (size_t at = 0; ok && at < pat.fill_bytes;) {
    size_t from = at % chunk;
    size_t n = chunk - from;
    if (n > pat.fill_bytes - at) n = pat.fill_bytes - at;
    ssize_t done = pwrite(fd, buf + from, n, static_cast<off_t>(at));
    ok = done > 0;
    if (ok) at += static_cast<size_t>(done);
  }
  free(buf);
  if (!ok) {
    close(fd);
    return -1;
  }
  return fd;
}

// The template of a pattern and mapped size, made when `create` is set; its
// index, or -1 when there is none (or no room for one).
int find_template(const twlb_pattern_t &pat, size_t len, bool create) {
  pthread_mutex_lock(&s_template_lock);
  int found = -1;
  for (int i = 0; i < s_template_count && found < 0; i++)
    if (same_pattern(s_templates[i], pat, len)) found = i;
  if (found < 0 && create && s_template_count < kMaxTemplates) {
    Template &t = s_templates[s_template_count];
    memcpy(t.unit, pat.unit, pat.unit_len);
    t.unit_len = pat.unit_len;
    t.fill_bytes = pat.fill_bytes;
    t.len = len;
    t.fd = make_template_file(pat, len);
    found = s_template_count++;
  }
  pthread_mutex_unlock(&s_template_lock);
  return found;
}

// A block of the pattern made by hand, not from a template.
void *filled_block(const twlb_pattern_t &pat, size_t bytes) {
  char *p = static_cast<char *>(twlb_zero_block_get(bytes));
  if (p) fill_pattern(p, 0, pat);
  return p;
}

}  // namespace

void *twlb_zero_block_get(size_t bytes) {
  if (!is_mapped(bytes)) return calloc(1, bytes);
  size_t len = mapped_len(bytes);
  void *block = take_cached(len, kZeroKind);
  return block ? block : map_zero(len);
}

void *twlb_zero_block_resize(void *block, size_t old_bytes, size_t new_bytes) {
  if (is_mapped(old_bytes) != is_mapped(new_bytes))
    return move_block(block, old_bytes, new_bytes);
  if (!is_mapped(new_bytes)) {
    void *p = realloc(block, new_bytes);
    if (p && new_bytes > old_bytes)
      memset(static_cast<char *>(p) + old_bytes, 0, new_bytes - old_bytes);
    return p;
  }
  size_t old_len = mapped_len(old_bytes), new_len = mapped_len(new_bytes);
  char *p = static_cast<char *>(block);
  if (new_bytes < old_bytes)  // what a later growth uncovers must read zero
    memset(p + new_bytes, 0,
           (old_len < new_len ? old_len : new_len) - new_bytes);
  if (old_len == new_len) return block;
  void *moved = mremap(block, old_len, new_len, MREMAP_MAYMOVE);
  return moved == MAP_FAILED ? nullptr : moved;
}

void twlb_zero_block_put(void *block, size_t bytes) {
  if (!block) return;
  if (!is_mapped(bytes)) {
    free(block);
    return;
  }
  size_t len = mapped_len(bytes);
  if (!keep_cached(block, len, kZeroKind)) munmap(block, len);
}

void twlb_zero_block_clear(void *block, size_t bytes, size_t used) {
  if (!block) return;
  char *p = static_cast<char *>(block);
  uintptr_t page = page_size(), at = reinterpret_cast<uintptr_t>(p);
  // Whole pages past the used bytes, inside the block.
  uintptr_t from = (at + (used < bytes ? used : bytes) + page - 1) / page *
                   page;
  uintptr_t to = (at + bytes) / page * page;
  if (!is_mapped(bytes) || from >= to ||
      madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED) != 0) {
    memset(p, 0, bytes);
    return;
  }
  memset(p, 0, from - at);
  memset(reinterpret_cast<char *>(to), 0, at + bytes - to);
}

void *twlb_pattern_block_get(const twlb_pattern_t *pattern, size_t bytes) {
  if (!is_mapped(bytes)) return filled_block(*pattern, bytes);
  size_t len = mapped_len(bytes);
  int t = find_template(*pattern, len, true);
  if (t < 0) return filled_block(*pattern, bytes);
  if (void *block = take_cached(len, t + 1)) return block;
  if (s_templates[t].fd < 0) return filled_block(*pattern, bytes);
  void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE,
                 s_templates[t].fd, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void *twlb_pattern_block_resize(void *block, size_t old_fill, size_t old_bytes,
                                const twlb_pattern_t *pattern,
                                size_t new_bytes) {
  // Growth is rare (an index past its first size) and each new size would
  // need a template of its own: the new block is filled by hand.
  char *fresh = static_cast<char *>(twlb_zero_block_get(new_bytes));
  if (!fresh) return nullptr;
  size_t kept = old_fill < pattern->fill_bytes ? old_fill : pattern->fill_bytes;
  memcpy(fresh, block, kept);
  fill_pattern(fresh, kept, *pattern);
  release(block, old_bytes);
  return fresh;
}

void twlb_pattern_block_put(void *block, const twlb_pattern_t *pattern,
                            size_t bytes, int restored) {
  if (!block) return;
  if (restored && is_mapped(bytes)) {
    size_t len = mapped_len(bytes);
    int t = find_template(*pattern, len, false);
    if (t >= 0 && keep_cached(block, len, t + 1)) return;
  }
  release(block, bytes);
}
