/*
 * twlb_block_source.h - where the library's large blocks come from (private
 * to the library; the tracked operations of twlb_alloc.h wrap it).
 *
 * Zero blocks: blocks of at least TWLB_BLOCK_MAP_MIN bytes are mapped
 * anonymously, so the kernel hands out zero pages on first touch and a large
 * table whose buckets are mostly never used costs only the pages it writes.
 *
 * Pattern blocks: a block whose first fill_bytes hold one short unit
 * repeated (an empty table's bucket records, an index of unset entries) and
 * whose other bytes are zero. A large one is a private copy-on-write mapping
 * of a template made once per pattern and size, so it too costs only the
 * pages its user writes, not a pass that writes the pattern everywhere.
 *
 * A released large block that its releaser promises to be back in its
 * initial state (all zero, or the pattern) is kept in a per-thread cache and
 * handed to the next block of the same kind and size: a table rebuilt per
 * partition gets the same, already resident memory. Smaller blocks come from
 * the heap and go back to it.
 */
#ifndef TWLB_BLOCK_SOURCE_H
#define TWLB_BLOCK_SOURCE_H

#include <stddef.h>

#define TWLB_BLOCK_MAP_MIN (64 * 1024)

/* A block of `bytes` zero bytes; NULL when the system has no memory. */
void *twlb_zero_block_get(size_t bytes);
/* Resizes a block of old_bytes to new_bytes keeping min(old, new) bytes;
 * bytes beyond the old size are zero. NULL (old block intact) on failure. */
void *twlb_zero_block_resize(void *block, size_t old_bytes, size_t new_bytes);
/* Takes back a block of `bytes` whose every byte the caller has made zero. */
void twlb_zero_block_put(void *block, size_t bytes);
/* Makes every byte of a zero block of `bytes` zero again, whatever was
 * written where: the first `used` bytes (the pages its user wrote, which stay
 * resident for the next user) are cleared, and the whole pages after them
 * are given back to the system, so that they read zero and cost no memory
 * until written again. */
void twlb_zero_block_clear(void *block, size_t bytes, size_t used);

/* A pattern: `unit_len` bytes (1 to TWLB_PATTERN_UNIT_MAX) repeated over the
 * first `fill_bytes` of a block, a multiple of unit_len. */
#define TWLB_PATTERN_UNIT_MAX 64
typedef struct {
  const void *unit;
  size_t unit_len;
  size_t fill_bytes;
} twlb_pattern_t;

/* A block of `bytes` (>= fill_bytes) holding the pattern, zero after it;
 * NULL when the system has no memory. */
void *twlb_pattern_block_get(const twlb_pattern_t *pattern, size_t bytes);
/* Resizes a pattern block of old_bytes whose pattern covered old_fill bytes
 * to `pattern` and new_bytes: the first min(old_fill, new fill) bytes are
 * kept, the rest of the new fill holds the pattern. NULL (old block intact)
 * on failure. */
void *twlb_pattern_block_resize(void *block, size_t old_fill, size_t old_bytes,
                                const twlb_pattern_t *pattern,
                                size_t new_bytes);
/* Takes back a pattern block. `restored`: the caller has put the pattern
 * back in every byte of the fill it wrote, and zero after it, so the block
 * may serve the next one of that pattern and size as it is. */
void twlb_pattern_block_put(void *block, const twlb_pattern_t *pattern,
                            size_t bytes, int restored);

#endif /* TWLB_BLOCK_SOURCE_H */
