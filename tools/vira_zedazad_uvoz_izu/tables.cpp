/*
 * tables.cpp - the one growth routine behind every array of records the tool
 * builds while reading its input (partitions, versions, groups, graphs,
 * vectors).
 *
 * A table is three things kept by its owner: a base pointer, a row count and
 * a capacity (NULL, 0, 0 when empty). It grows 5 rows at a time, so the base
 * pointer moves: holders keep row indexes, never row pointers. A growth that
 * cannot be done ends the process (exit status -1) after its message; a
 * table that could not grow is unusable and the tool has no clean-up path.
 */
#include <limits.h>
#include <stdint.h>
#include <stdlib.h>

#include "vira_zedazad_uvoz_izu.h"

namespace {

constexpr int kGrowRows = 5;

/* Byte size of `rows` rows of `size` bytes as a 32-bit signed count; a
 * product that does not fit is returned wrapped, as 32-bit arithmetic would
 * give it, and flagged through *fits. */
int table_bytes(int rows, int size, bool *fits) {
  long long bytes = static_cast<long long>(rows) * size;
  *fits = bytes > 0 && bytes <= INT_MAX;
  return static_cast<int>(static_cast<uint32_t>(bytes));
}

}  // namespace

int create_table_entry(int *row_num, int *total, int *max, char **ptr, int size, const char *name) {
  if (*total == *max) {
    bool fits = false;
    int bytes = table_bytes(*max + kGrowRows, size, &fits);
    if (!fits)
      vzu_fatal(stderr, "Trying to realloc a negative or 0 size (%d) for index  %d\n", bytes, -1);
    char *grown = static_cast<char *>(realloc(*ptr, static_cast<size_t>(bytes)));
    if (grown == NULL)
      vzu_fatal(stderr, "Out of Memory (size = %d): %s for index %d\n", bytes, name, -1);
    *ptr = grown;
    *max += kGrowRows;
  }
  *row_num = (*total)++;
  return 0;
}
