/*
 * chunk_packing.cpp - SQLite's sums for a chunk row's cell, and what is left
 * in the chunks table's last page (see chunk_packing.h).
 */
#include "chunk_packing.h"

#include <vector>

namespace orvtsdb {

namespace {

size_t varint_bytes(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80 && n < 9) v >>= 7, n++;
  return n;
}

/* The bytes of an integer in a record (SQLite's serial types 1 to 9). */
size_t int_body_bytes(int64_t v) {
  if (v == 0 || v == 1) return 0;
  uint64_t u = v < 0 ? ~(uint64_t)v : (uint64_t)v;
  if (u <= 0x7f) return 1;
  if (u <= 0x7fff) return 2;
  if (u <= 0x7fffff) return 3;
  if (u <= 0x7fffffff) return 4;
  if (u <= 0x7fffffffffffULL) return 6;
  return 8;
}

unsigned get_u16(const uint8_t *p) { return (unsigned)p[0] << 8 | p[1]; }
uint32_t get_u32(const uint8_t *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

/* The free bytes of a table leaf page: the gap between its cell pointers
 * and its cells, its free blocks and its fragments. 0 when malformed. */
size_t leaf_free(const uint8_t *page, size_t size) {
  size_t cells = get_u16(page + 3), content = get_u16(page + 5);
  if (content == 0) content = 65536;
  size_t pointers_end = PageFill::LEAF_HEADER_BYTES + 2 * cells;
  if (content < pointers_end || content > size) return 0;
  size_t free = content - pointers_end + page[7];
  // Free blocks lie at rising offsets, each at least 4 bytes long.
  for (size_t at = get_u16(page + 1), blocks = 0; at != 0; at = get_u16(page + at)) {
    if (at + 4 > size || ++blocks > size / 4) return 0;
    free += get_u16(page + at + 2);
  }
  return free <= size ? free : 0;
}

}  // namespace

size_t chunk_row_bytes(const ChunkRowShape &row, int64_t rowid, size_t page_size) {
  size_t header = 0, body = 0;
  for (int64_t v : row.ints) {
    header += 1;
    body += int_body_bytes(v);
  }
  header += varint_bytes(12 + 2 * (uint64_t)row.blob_len);
  body += row.blob_len;
  header += 1;
  body += int_body_bytes(row.row_check);
  header += varint_bytes(header + 1);
  size_t payload = header + body;
  // Larger payloads spill into overflow pages (SQLite's U - 35 for a leaf).
  if (payload + 35 > page_size) return page_size + 1;
  return varint_bytes(payload) + varint_bytes((uint64_t)rowid) + payload + 2;
}

size_t last_leaf_free_bytes(sqlite3 *db, int64_t root, size_t page_size) {
  // Through SQLite's own handle of the file: a descriptor of our own, once
  // closed, would drop every lock the process holds on it (POSIX locks).
  sqlite3_file *file = nullptr;
  if (root < 2 || page_size < 512 ||
      sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK || !file ||
      !file->pMethods)
    return 0;
  std::vector<uint8_t> page(page_size);
  // A table b-tree is a few levels deep; a file claiming more is not followed.
  for (int depth = 0, pgno = (int)root; depth < 16 && pgno > 1; depth++) {
    sqlite3_int64 at = (sqlite3_int64)(pgno - 1) * (sqlite3_int64)page_size;
    if (file->pMethods->xRead(file, page.data(), (int)page_size, at) != SQLITE_OK) return 0;
    if (page[0] == 13) return leaf_free(page.data(), page_size);  // a table leaf
    if (page[0] != 5) return 0;                                   // not a table interior page
    pgno = (int)get_u32(page.data() + 8);
  }
  return 0;
}

}  // namespace orvtsdb
