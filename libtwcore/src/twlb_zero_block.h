/*
 * twlb_zero_block.h - where the library's zeroed blocks come from (private
 * to the library; the tracked operations of twlb_alloc.h wrap it).
 *
 * Blocks of at least TWLB_ZERO_BLOCK_MAP_MIN bytes are mapped anonymously:
 * the kernel hands out zero pages on first touch, so a large table whose
 * buckets are mostly never used costs only the pages it writes. A released
 * block of that kind is promised zero again by its releaser and kept in a
 * per-thread cache, so the next block of the same size (a table rebuilt per
 * partition) is the same, already resident memory rather than a new mapping
 * faulted in again. Smaller blocks come from calloc and go back to free.
 */
#ifndef TWLB_ZERO_BLOCK_H
#define TWLB_ZERO_BLOCK_H

#include <stddef.h>

#define TWLB_ZERO_BLOCK_MAP_MIN (64 * 1024)

/* A block of `bytes` zero bytes; NULL when the system has no memory. */
void *twlb_zero_block_get(size_t bytes);
/* Resizes a block of old_bytes to new_bytes keeping min(old, new) bytes;
 * bytes beyond the old size are zero. NULL (old block intact) on failure. */
void *twlb_zero_block_resize(void *block, size_t old_bytes, size_t new_bytes);
/* Takes back a block of `bytes` whose every byte the caller has made zero. */
void twlb_zero_block_put(void *block, size_t bytes);

#endif /* TWLB_ZERO_BLOCK_H */
