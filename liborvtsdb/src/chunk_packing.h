/*
 * chunk_packing.h - chunk rows laid out so that they fill the chunks table's
 * pages.
 *
 * SQLite appends rows of rising rowid to the table's last leaf page while a
 * row's cell fits in what is left of it, and starts a new page with the first
 * one that does not: rows of several hundred bytes to a few kilobytes, in the
 * order they close, leave a few percent of every page unused. The migration
 * inserts its chunks a batch at a time, and the batch's rows go in largest
 * first where they fit in what is left of the last page; a new page starts
 * only when no row of the batch fits. The pages of the chunks table are then
 * all but full. Readers go by series and time, never by rowid, so the order
 * costs nothing.
 *
 * PageFill follows the last leaf page with SQLite's own sums (a cell is the
 * payload's and rowid's varints and the record; it and its 2-byte pointer
 * must fit in the page's free bytes). If it starts from a wrong guess of what
 * is left, rows are stored all the same; only pages are less full.
 */
#ifndef ORVTSDB_CHUNK_PACKING_H
#define ORVTSDB_CHUNK_PACKING_H

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>

namespace orvtsdb {

/* The ten columns of a chunk row, as SQLite records them. */
struct ChunkRowShape {
  int64_t ints[8];  // sid, graph, data_type, start_time, step, count, end_time, migration
  size_t blob_len;
  int64_t row_check;
};

/* The bytes a chunk row with `rowid` takes in a table leaf page: its cell
 * and the cell's pointer. Rows too large to stay in one page are not
 * packed: the result is then larger than any page. */
size_t chunk_row_bytes(const ChunkRowShape &row, int64_t rowid, size_t page_size);

/* Bytes left in the last leaf page of the table whose root page is `root`,
 * read from the database file itself (through SQLite's own handle of it):
 * valid while the caller holds the write lock and has not yet changed that
 * table. 0 when it cannot tell. */
size_t last_leaf_free_bytes(sqlite3 *db, int64_t root, size_t page_size);

class PageFill {
 public:
  /* Follows a page of `page_size` bytes with `free_bytes` left. */
  void start(size_t page_size, size_t free_bytes) {
    page_size_ = page_size;
    free_ = free_bytes;
  }
  size_t left() const { return free_; }
  /* A row of `bytes` (chunk_row_bytes) goes in: into this page when it fits,
   * else into a new one. */
  void add(size_t bytes) {
    if (bytes <= free_) {
      free_ -= bytes;
    } else {
      size_t empty = page_size_ > LEAF_HEADER_BYTES ? page_size_ - LEAF_HEADER_BYTES : 0;
      free_ = bytes <= empty ? empty - bytes : 0;
    }
  }

  static constexpr size_t LEAF_HEADER_BYTES = 8;

 private:
  size_t page_size_ = 0, free_ = 0;
};

}  // namespace orvtsdb

#endif
