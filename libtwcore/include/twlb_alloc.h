/*
 * twlb_alloc.h - tracked allocation for the library's own heap blocks.
 *
 * TWLB_MALLOC / TWLB_REALLOC / TWLB_FREE name each block, capture the call
 * site, put the 7-byte guard tag "OMemDbg" right after the block (every
 * block carries size + g_alloc_extra_size + 8 bytes), keep per-thread
 * statistics, trace a MEM_STATS line and report the block to the thread's
 * allocation map. They never return an error: an invalid size or exhausted
 * memory prints a fixed message and ends the process (exit(-1); abort() for a
 * failed reallocation). Statistics are per thread, so no locking.
 */
#ifndef TWLB_ALLOC_H
#define TWLB_ALLOC_H

#include <stddef.h>

/* Per-thread storage class of the library's statistics and map state. In
 * C++ the GNU __thread form: these are all constant-initialised plain data,
 * and unlike thread_local it needs no per-access wrapper call. */
#ifdef __cplusplus
#define TWLB_THREAD_LOCAL __thread
extern "C" {
#else
#define TWLB_THREAD_LOCAL _Thread_local
#endif

#define TWLB_GUARD_TAG "OMemDbg"
#define TWLB_GUARD_TAG_LEN 7
#define TWLB_GUARD_SPACE 8

/* Per-thread statistics; cumulative (g_c_) and periodic counters move
 * together and only grow. The shared-memory ones are never changed here. */
extern TWLB_THREAD_LOCAL unsigned long long g_c_mem_allocated;
extern TWLB_THREAD_LOCAL unsigned int g_mem_allocated;
extern TWLB_THREAD_LOCAL unsigned long long g_c_mem_freed;
extern TWLB_THREAD_LOCAL unsigned int g_mem_freed;
extern TWLB_THREAD_LOCAL unsigned int g_c_alloc_count;
extern TWLB_THREAD_LOCAL unsigned int g_alloc_count;
extern TWLB_THREAD_LOCAL unsigned int g_c_free_count;
extern TWLB_THREAD_LOCAL unsigned int g_free_count;
extern TWLB_THREAD_LOCAL unsigned long long g_c_shared_mem_allocated;
extern TWLB_THREAD_LOCAL unsigned int g_shared_mem_allocated;
extern TWLB_THREAD_LOCAL unsigned int g_c_shared_mem_alloc_count;
extern TWLB_THREAD_LOCAL unsigned int g_shared_mem_alloc_count;
/* Extra bytes between every block and its guard tag; 0. */
extern TWLB_THREAD_LOCAL int g_alloc_extra_size;

/* The size counted for a block: `size` itself; mem is not examined. */
size_t twlb_get_mem_chunk_size(void *mem, size_t size);

/* The three tracked operations. `pptr` is the address of the caller's
 * pointer, which they fill, replace or null. Size 0 to twlb_malloc_ex yields
 * NULL without counting anything; a NULL pointer to twlb_realloc_ex behaves
 * as twlb_malloc_ex; a NULL pointer to twlb_free_ex does nothing. */
void twlb_malloc_ex(void *pptr, long size, const char *name, const char *file,
                    int line, const char *func);
/* Zeroed blocks: the same steps, traces and statistics as the three
 * operations above, but the memory comes zero, large blocks as untouched
 * pages, and goes back for reuse by the thread's next zeroed block of that
 * size. twlb_calloc_ex obtains one (every byte zero);
 * twlb_realloc_zeroed_ex resizes one of cur_size bytes (old_size is only
 * traced, as in twlb_realloc_ex), the added bytes zero;
 * twlb_free_zeroed_ex releases one of `size` bytes after its user has
 * cleared every byte it wrote. A zeroed block is resized and released only
 * by these two. */
void twlb_calloc_ex(void *pptr, long size, const char *name, const char *file,
                    int line, const char *func);
void twlb_realloc_zeroed_ex(void *pptr, long new_size, long cur_size,
                            long old_size, const char *name, int index,
                            const char *file, int line, const char *func);
void twlb_free_zeroed_ex(void *pptr, long size, const char *name, int index,
                         const char *file, int line, const char *func);
/* Pattern blocks: the same steps, traces and statistics again, for a block
 * whose `size` bytes start as the unit_len bytes at `unit` repeated (size a
 * multiple of unit_len): an empty table's records. Large ones cost only the
 * pages their user writes. twlb_realloc_pattern_ex keeps the first
 * min(cur_size, new_size) bytes, the added ones hold the pattern;
 * twlb_free_pattern_ex releases one of `size` bytes, `restored` nonzero when
 * its user has put the pattern back wherever it wrote, so that the block can
 * serve the thread's next one of that pattern and size as it is. A pattern
 * block is resized and released only by these two, with its own unit. */
void twlb_alloc_pattern_ex(void *pptr, long size, const void *unit,
                           long unit_len, const char *name, const char *file,
                           int line, const char *func);
void twlb_realloc_pattern_ex(void *pptr, long new_size, long cur_size,
                             long old_size, const void *unit, long unit_len,
                             const char *name, int index, const char *file,
                             int line, const char *func);
void twlb_free_pattern_ex(void *pptr, long size, const void *unit,
                          long unit_len, int restored, const char *name,
                          int index, const char *file, int line,
                          const char *func);
void twlb_realloc_ex(void *pptr, long new_size, long old_size, const char *name,
                     int index, const char *file, int line, const char *func);
void twlb_free_ex(void *pptr, const char *name, int index, const char *file,
                  int line, const char *func);

#define TWLB_MALLOC(ptr, size, name) \
  twlb_malloc_ex(&(ptr), (long)(size), (name), __FILE__, __LINE__, __func__)
#define TWLB_CALLOC(ptr, size, name) \
  twlb_calloc_ex(&(ptr), (long)(size), (name), __FILE__, __LINE__, __func__)
#define TWLB_REALLOC(ptr, new_size, old_size, name, index)                     \
  twlb_realloc_ex(&(ptr), (long)(new_size), (long)(old_size), (name), (index), \
                  __FILE__, __LINE__, __func__)
#define TWLB_FREE(ptr, name, index) \
  twlb_free_ex(&(ptr), (name), (index), __FILE__, __LINE__, __func__)
#define TWLB_REALLOC_ZEROED(ptr, new_size, cur_size, old_size, name, index) \
  twlb_realloc_zeroed_ex(&(ptr), (long)(new_size), (long)(cur_size),        \
                         (long)(old_size), (name), (index), __FILE__,       \
                         __LINE__, __func__)
#define TWLB_REALLOC_PATTERN(ptr, new_size, cur_size, old_size, unit,         \
                             unit_len, name, index)                           \
  twlb_realloc_pattern_ex(&(ptr), (long)(new_size), (long)(cur_size),         \
                          (long)(old_size), (unit), (long)(unit_len), (name), \
                          (index), __FILE__, __LINE__, __func__)
#define TWLB_FREE_PATTERN(ptr, size, unit, unit_len, restored, name, index) \
  twlb_free_pattern_ex(&(ptr), (long)(size), (unit), (long)(unit_len),      \
                       (restored), (name), (index), __FILE__, __LINE__,     \
                       __func__)
#define TWLB_FREE_ZEROED(ptr, size, name, index)                       \
  twlb_free_zeroed_ex(&(ptr), (long)(size), (name), (index), __FILE__, \
                      __LINE__, __func__)

/* The out-of-memory end of every library allocation that cannot fail
 * softly: prints "TWLB: <file>|<line>|<func>| Out of Memory (size = <size>):
 * <name> \n" on stderr and exits with status -1. Never returns. */
void twlb_out_of_memory(const char *file, int line, const char *func, long size,
                        const char *name) __attribute__((noreturn));

/* malloc for the library's untracked blocks (pool chunks, released-id list
 * nodes): not counted, no guard tag, but subject to twlb_alloc_fail_after. */
void *twlb_sys_malloc(size_t size);

/* Failure injection for tests: the n-th system allocation of this thread
 * made by the library from now on (tracked or through twlb_sys_malloc)
 * fails (n <= 0: none). */
void twlb_alloc_fail_after(int n);

#ifdef __cplusplus
}
#endif

#endif /* TWLB_ALLOC_H */
