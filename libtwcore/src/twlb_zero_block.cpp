/*
 * twlb_zero_block.cpp - zeroed blocks: anonymous mappings for large ones,
 * kept per thread after release for the next block of the same mapped size;
 * calloc for small ones. Under AddressSanitizer a cached block is poisoned,
 * so a use after its release is still reported.
 */
#include "twlb_zero_block.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

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

bool is_mapped(size_t bytes) { return bytes >= TWLB_ZERO_BLOCK_MAP_MIN; }

struct Cached {
  void *block;
  size_t len;
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

void *take_cached(size_t len) {
  Cache &c = t_cache;
  for (int i = c.count; i-- > 0;) {
    if (c.blocks[i].len != len) continue;
    void *block = c.blocks[i].block;
    c.blocks[i] = c.blocks[--c.count];
    c.bytes -= len;
    ZB_UNPOISON(block, len);
    return block;
  }
  return nullptr;
}

bool keep_cached(void *block, size_t len) {
  Cache &c = t_cache;
  if (c.count == kCacheSlots || c.bytes + len > kCacheMaxBytes) return false;
  if (!c.registered) {
    pthread_once(&s_cache_key_once, make_cache_key);
    pthread_setspecific(s_cache_key, &c);
    c.registered = true;
  }
  c.blocks[c.count++] = {block, len};
  c.bytes += len;
  ZB_POISON(block, len);
  return true;
}

void *map_zero(size_t len) {
  void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

// Between the two kinds: a new block of the other kind, the kept bytes
// copied, the old block released.
void *move_block(void *block, size_t old_bytes, size_t new_bytes) {
  void *fresh = twlb_zero_block_get(new_bytes);
  if (!fresh) return nullptr;
  memcpy(fresh, block, old_bytes < new_bytes ? old_bytes : new_bytes);
  if (is_mapped(old_bytes))
    munmap(block, mapped_len(old_bytes));
  else
    free(block);
  return fresh;
}

}  // namespace

void *twlb_zero_block_get(size_t bytes) {
  if (!is_mapped(bytes)) return calloc(1, bytes);
  size_t len = mapped_len(bytes);
  void *block = take_cached(len);
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
  if (!keep_cached(block, len)) munmap(block, len);
}
