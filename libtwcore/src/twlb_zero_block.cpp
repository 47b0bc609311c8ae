/*
 * twlb_zero_block.cpp - zeroed blocks: anonymous mappings for large ones,
 * kept per thread after release for the next block of the same mapped size;
 * calloc for small ones. Under AddressSanitizer a cached block is poisoned,
 * so a use after its release is still reported.
 */
#include "twlb_zero_block.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

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

// The thread's released mappings; unmapped when the thread ends.
struct Cache {
  std::vector<Cached> blocks;
  size_t bytes = 0;
  ~Cache() {
    for (const Cached &c : blocks) {
      ZB_UNPOISON(c.block, c.len);
      munmap(c.block, c.len);
    }
  }
  void *take(size_t len) {
    for (size_t i = blocks.size(); i-- > 0;) {
      if (blocks[i].len != len) continue;
      void *block = blocks[i].block;
      blocks[i] = blocks.back();
      blocks.pop_back();
      bytes -= len;
      ZB_UNPOISON(block, len);
      return block;
    }
    return nullptr;
  }
  bool keep(void *block, size_t len) {
    if (bytes + len > kCacheMaxBytes) return false;
    blocks.push_back({block, len});
    bytes += len;
    ZB_POISON(block, len);
    return true;
  }
};

thread_local Cache t_cache;

void *map_zero(size_t len) {
  void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
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
  void *block = t_cache.take(len);
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
    memset(p + new_bytes, 0, (old_len < new_len ? old_len : new_len) - new_bytes);
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
  if (!t_cache.keep(block, len)) munmap(block, len);
}
