/*
 * twlb_alloc.cpp - tracked allocation: guard tag, per-thread statistics, the
 * MEM_STATS trace, reports to the allocation map, and the single place where
 * an allocation failure or an invalid size ends the process.
 */
#include "twlb_alloc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "twlb_block_source.h"
#include "twlb_log.h"
#include "twlb_mem_map.h"
#include "twlb_util.h"

extern "C" {
TWLB_THREAD_LOCAL unsigned long long g_c_mem_allocated = 0;
TWLB_THREAD_LOCAL unsigned int g_mem_allocated = 0;
TWLB_THREAD_LOCAL unsigned long long g_c_mem_freed = 0;
TWLB_THREAD_LOCAL unsigned int g_mem_freed = 0;
TWLB_THREAD_LOCAL unsigned int g_c_alloc_count = 0;
TWLB_THREAD_LOCAL unsigned int g_alloc_count = 0;
TWLB_THREAD_LOCAL unsigned int g_c_free_count = 0;
TWLB_THREAD_LOCAL unsigned int g_free_count = 0;
TWLB_THREAD_LOCAL unsigned long long g_c_shared_mem_allocated = 0;
TWLB_THREAD_LOCAL unsigned int g_shared_mem_allocated = 0;
TWLB_THREAD_LOCAL unsigned int g_c_shared_mem_alloc_count = 0;
TWLB_THREAD_LOCAL unsigned int g_shared_mem_alloc_count = 0;
TWLB_THREAD_LOCAL int g_alloc_extra_size = 0;
}

namespace {

constexpr double kMb = 1048576.0;

thread_local int t_fail_countdown = 0;

// The one way a tracked operation ends the process: message on stderr, then
// exit(-1), or abort() where a core dump is wanted (failed reallocation).
[[noreturn]] __attribute__((format(printf, 2, 3))) void die(bool abort_process,
                                                            const char *format,
                                                            ...) {
  va_list ap;
  va_start(ap, format);
  vfprintf(stderr, format, ap);
  va_end(ap);
  fflush(stderr);
  if (abort_process) abort();
  exit(-1);
}

// True when the injected failure is due now.
bool injected_failure() {
  return t_fail_countdown > 0 && --t_fail_countdown == 0;
}

void *system_malloc(size_t n) {
  return injected_failure() ? nullptr : malloc(n);
}

/* Where a block's memory comes from and goes back to: the heap, the zero
 * blocks or the pattern blocks (twlb_block_source.h). `size` is a zero or
 * pattern block's current size, `pattern` a pattern block's unit. */
struct Source {
  enum Kind { kHeap, kZero, kPattern } kind;
  long size;
  const void *unit;
  long unit_len;
  bool restored;  // release: the pattern is back, the block can be kept
};

constexpr Source kHeapSource = {Source::kHeap, 0, nullptr, 0, false};

twlb_pattern_t pattern_of(const Source &src, long size) {
  return {src.unit, static_cast<size_t>(src.unit_len),
          static_cast<size_t>(size)};
}

void *system_realloc(void *p, size_t n) {
  return injected_failure() ? nullptr : realloc(p, n);
}

size_t block_bytes(long size) {
  return static_cast<size_t>(size) + static_cast<size_t>(g_alloc_extra_size) +
         TWLB_GUARD_SPACE;
}

void write_guard_tag(void *p, long size) {
  memcpy(static_cast<char *>(p) + size + g_alloc_extra_size, TWLB_GUARD_TAG,
         TWLB_GUARD_TAG_LEN);
}

// A zeroed block holds nothing but zeros once its user cleared what it wrote
// and the tag is gone too.
void clear_guard_tag(void *p, long size) {
  memset(static_cast<char *>(p) + size + g_alloc_extra_size, 0,
         TWLB_GUARD_TAG_LEN);
}

void read_ptr(void *pptr, void **out) { memcpy(out, pptr, sizeof *out); }
void write_ptr(void *pptr, void *value) { memcpy(pptr, &value, sizeof value); }

void trace_mem_stats(const char *file, int line, const char *func) {
  TWLB_TRACE_AT(
      TWLB_LOG_CRITICAL, MEMORY, file, line, func,
      "MEM_STATS: Cumulative allocated memory = %'.3f MB, periodic "
      "allocated memory = %'.3f MB, Cumulative freed memory = %'.3f MB, "
      "periodic freed memory = %'.3f MB, Cumulative Net allocated "
      "memory =  %'.3f MB, Periodic Net allocated memory =  %'.3f MB",
      static_cast<double>(g_c_mem_allocated) / kMb,
      static_cast<double>(g_mem_allocated) / kMb,
      static_cast<double>(g_c_mem_freed) / kMb,
      static_cast<double>(g_mem_freed) / kMb,
      static_cast<double>(g_c_mem_allocated - g_c_mem_freed) / kMb,
      static_cast<double>(
          static_cast<unsigned int>(g_mem_allocated - g_mem_freed)) /
          kMb);
}

void count_allocated(size_t chunk, unsigned int count) {
  g_c_mem_allocated += chunk;
  g_mem_allocated += static_cast<unsigned int>(chunk);
  g_c_alloc_count += count;
  g_alloc_count += count;
}

}  // namespace

extern "C" {

size_t twlb_get_mem_chunk_size(void *, size_t size) { return size; }

void twlb_out_of_memory(const char *file, int line, const char *func, long size,
                        const char *name) {
  die(false, "TWLB: %s|%d|%s| Out of Memory (size = %d): %s \n", file, line,
      func, static_cast<int>(size), name);
}

void twlb_alloc_fail_after(int n) { t_fail_countdown = n; }

void *twlb_sys_malloc(size_t size) { return system_malloc(size); }

namespace {

void *system_obtain(const Source &src, long size) {
  if (injected_failure()) return nullptr;
  switch (src.kind) {
    case Source::kZero: return twlb_zero_block_get(block_bytes(size));
    case Source::kPattern: {
      twlb_pattern_t pattern = pattern_of(src, size);
      return twlb_pattern_block_get(&pattern, block_bytes(size));
    }
    default: return malloc(block_bytes(size));
  }
}

/* TWLB_MALLOC, TWLB_CALLOC and twlb_alloc_pattern_ex: the same steps and
 * the same accounting, the memory from `src`. */
void tracked_alloc(void *pptr, long size, const char *name, const char *file,
                   int line, const char *func, const Source &src) {
  TWLB_TRACE_AT(TWLB_LOG_MAJOR, MEMORY, file, line, func, "size = %ld", size);
  if (size < 0)
    die(false, "%s|%d|%s|%s|TWLB: Trying to malloc a negative size (%ld)\n",
        file, line, func, name, size);
  if (size == 0) {
    TWLB_TRACE_AT(TWLB_LOG_MAJOR, MEMORY, file, line, func,
                  "TWLB: Trying to malloc a 0 size\n");
    write_ptr(pptr, nullptr);
    return;
  }
  void *p = system_obtain(src, size);
  if (!p) twlb_out_of_memory(file, line, func, size, name);
  write_ptr(pptr, p);
  size_t chunk = twlb_get_mem_chunk_size(p, static_cast<size_t>(size));
  write_guard_tag(p, size);
  TWLB_TRACE_AT(
      TWLB_LOG_MAJOR, MEMORY, file, line, func,
      "TWLB_MALLOC'ed (%s) done. ptr = %p, size = %ld, allocated size "
      "= %ld",
      name, p, size + g_alloc_extra_size, static_cast<long>(chunk));
  count_allocated(chunk, 1);
  trace_mem_stats(file, line, func);
  twlb_mem_map_add(p, static_cast<size_t>(size + g_alloc_extra_size), name,
                   file, line, func);
}

}  // namespace

void twlb_malloc_ex(void *pptr, long size, const char *name, const char *file,
                    int line, const char *func) {
  tracked_alloc(pptr, size, name, file, line, func, kHeapSource);
}

void twlb_calloc_ex(void *pptr, long size, const char *name, const char *file,
                    int line, const char *func) {
  tracked_alloc(pptr, size, name, file, line, func,
                {Source::kZero, size, nullptr, 0, false});
}

void twlb_alloc_pattern_ex(void *pptr, long size, const void *unit,
                           long unit_len, const char *name, const char *file,
                           int line, const char *func) {
  tracked_alloc(pptr, size, name, file, line, func,
                {Source::kPattern, size, unit, unit_len, false});
}

namespace {

/* TWLB_REALLOC, TWLB_REALLOC_ZEROED and TWLB_REALLOC_PATTERN: the same
 * steps and accounting. For a zero or pattern block the old tag is cleared
 * and the added bytes come zero, or hold the pattern. */
void tracked_realloc(void *pptr, long new_size, long old_size, const char *name,
                     int index, const char *file, int line, const char *func,
                     const Source &src) {
  void *p;
  read_ptr(pptr, &p);
  TWLB_TRACE_AT(TWLB_LOG_MAJOR, MEMORY, file, line, func,
                "buf = %p, size = %ld, old_size = %ld, exit = %d", p, new_size,
                old_size, 1);
  if (!p) {
    tracked_alloc(pptr, new_size, name, file, line, func, src);
    return;
  }
  if (new_size <= 0)
    die(false,
        "%s|%d|%s|%s|TWLB: Trying to realloc a negative or 0 size (%ld) for "
        "index %d\n",
        file, line, func, name, new_size, index);
  size_t old_chunk = twlb_get_mem_chunk_size(p, static_cast<size_t>(new_size));
  TWLB_TRACE_AT(
      TWLB_LOG_MAJOR, MEMORY, file, line, func,
      "MY_FREE'ed (%s) done. ptr = $%p$, size = %ld, old_alloced_size "
      "= %ld for index %d",
      name, p, old_size, static_cast<long>(old_chunk), index);
  twlb_mem_map_remove(p);
  void *np;
  if (src.kind == Source::kHeap) {
    np = system_realloc(p, block_bytes(new_size));
  } else if (src.kind == Source::kZero) {
    clear_guard_tag(p, src.size);
    np = injected_failure() ? nullptr
                            : twlb_zero_block_resize(p, block_bytes(src.size),
                                                     block_bytes(new_size));
  } else {
    clear_guard_tag(p, src.size);
    twlb_pattern_t pattern = pattern_of(src, new_size);
    np = injected_failure()
             ? nullptr
             : twlb_pattern_block_resize(p, static_cast<size_t>(src.size),
                                         block_bytes(src.size), &pattern,
                                         block_bytes(new_size));
  }
  if (!np) {
    int err = errno;
    die(true,
        "TWLB: ERROR %d|%s|%d|%s| Out of Memory (size = %d): %s for index %d "
        "err msg %s\n",
        err, file, line, func, static_cast<int>(new_size), name, index,
        twlb_strerror(err));
  }
  // The caller's pointer is replaced before the map hears of the new block:
  // the map's own array is resized this way and the map writes into it.
  write_ptr(pptr, np);
  size_t new_chunk = twlb_get_mem_chunk_size(np, static_cast<size_t>(new_size));
  write_guard_tag(np, new_size);
  TWLB_TRACE_AT(TWLB_LOG_MAJOR, MEMORY, file, line, func,
                "TWLB_MALLOC'ed (%s) done. ptr = $%p$, size = %ld, "
                "new_alloced_size = %ld for index %d",
                name, np, new_size + g_alloc_extra_size,
                static_cast<long>(new_chunk), index);
  count_allocated(new_chunk - old_chunk, 0);
  trace_mem_stats(file, line, func);
  twlb_mem_map_add(np, static_cast<size_t>(new_size + g_alloc_extra_size), name,
                   file, line, func);
}

/* TWLB_FREE, TWLB_FREE_ZEROED and TWLB_FREE_PATTERN: the same steps and
 * accounting; a zero or pattern block goes back to its source. */
void tracked_free(void *pptr, const char *name, int index, const char *file,
                  int line, const char *func, const Source &src) {
  void *p;
  read_ptr(pptr, &p);
  if (!p) return;
  size_t chunk = twlb_get_mem_chunk_size(p, 1);
  g_c_mem_freed += chunk;
  g_mem_freed += static_cast<unsigned int>(chunk);
  g_c_free_count++;
  g_free_count++;
  trace_mem_stats(file, line, func);
  twlb_mem_map_remove(p);
  TWLB_TRACE_AT(TWLB_LOG_MAJOR, MEMORY, file, line, func,
                "TWLB_FREE'ed (%s) Freed. ptr = $%p$ for index %d, "
                "allocated_size = %ld",
                name, p, index, static_cast<long>(chunk));
  if (src.kind == Source::kHeap) {
    free(p);
  } else if (src.kind == Source::kZero) {
    clear_guard_tag(p, src.size);
    twlb_zero_block_put(p, block_bytes(src.size));
  } else {
    clear_guard_tag(p, src.size);
    twlb_pattern_t pattern = pattern_of(src, src.size);
    twlb_pattern_block_put(p, &pattern, block_bytes(src.size), src.restored);
  }
  write_ptr(pptr, nullptr);
}

}  // namespace

void twlb_realloc_ex(void *pptr, long new_size, long old_size, const char *name,
                     int index, const char *file, int line, const char *func) {
  tracked_realloc(pptr, new_size, old_size, name, index, file, line, func,
                  kHeapSource);
}

void twlb_realloc_zeroed_ex(void *pptr, long new_size, long cur_size,
                            long old_size, const char *name, int index,
                            const char *file, int line, const char *func) {
  tracked_realloc(pptr, new_size, old_size, name, index, file, line, func,
                  {Source::kZero, cur_size, nullptr, 0, false});
}

void twlb_realloc_pattern_ex(void *pptr, long new_size, long cur_size,
                             long old_size, const void *unit, long unit_len,
                             const char *name, int index, const char *file,
                             int line, const char *func) {
  tracked_realloc(pptr, new_size, old_size, name, index, file, line, func,
                  {Source::kPattern, cur_size, unit, unit_len, false});
}

void twlb_free_zeroed_ex(void *pptr, long size, const char *name, int index,
                         const char *file, int line, const char *func) {
  tracked_free(pptr, name, index, file, line, func,
               {Source::kZero, size, nullptr, 0, false});
}

void twlb_free_pattern_ex(void *pptr, long size, const void *unit,
                          long unit_len, int restored, const char *name,
                          int index, const char *file, int line,
                          const char *func) {
  tracked_free(pptr, name, index, file, line, func,
               {Source::kPattern, size, unit, unit_len, restored != 0});
}

void twlb_free_ex(void *pptr, const char *name, int index, const char *file,
                  int line, const char *func) {
  tracked_free(pptr, name, index, file, line, func, kHeapSource);
}

}  // extern "C"
