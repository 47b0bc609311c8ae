/*
 * samples_scan.h - the rows of a plain scan of the `samples` table, for a
 * reader that prints them faster than SQLite's machine hands them over.
 *
 * `select * from samples` runs SQLite's machine for every row: a callback
 * per column and the value fetched back, most of the time spent. When a
 * statement does nothing but walk one `samples` table from its first row to
 * its last and return some of its columns as they are, the rows after the
 * one a step returned, up to the end of that row's chunk, can be read from
 * the table's cursor directly; the statement's next step then moves the
 * cursor on to the next chunk as it would have. Every fault, limit and
 * snapshot stays with SQLite's steps, one per chunk.
 */
#ifndef ORVTSDB_SAMPLES_SCAN_H
#define ORVTSDB_SAMPLES_SCAN_H

#include <sqlite3.h>

#include <cstdint>
#include <vector>

namespace orvtsdb {

/* One cell of a `samples` row, as the table hands it to SQLite. */
struct SamplesCell {
  enum Kind { NUL, INTEGER, REAL, TEXT } kind = NUL;
  int64_t integer = 0;
  double real = 0;  // never a NaN: SQLite keeps a NaN as NULL
  const char *text = nullptr;
  int length = 0;  // bytes of text
  // The text is the table's own and never changes while the connection is
  // open: the same pointer is the same text.
  bool lasting = false;
  bool terminated = false;  // a NUL follows the text and none is inside
};

/* The cursor of a `samples` scan (defined with the table). */
struct SamplesScan;

/* The scan statement s runs, when s is plain: one `samples` table read
 * from its first row to its last, no constraint, order, limit, join or
 * expression, each result column one of the table's (its index in the
 * table, in result order, into `columns`). Null otherwise. Call it after a
 * step of s returned SQLITE_ROW; the scan lives until s is reset or
 * finalized. */
SamplesScan *plain_samples_scan(sqlite3 *db, sqlite3_stmt *s, std::vector<int> &columns);

/* Moves to the next row when it is in the chunk of the current one; false
 * at the chunk's last row, where the cursor stays (the statement's next
 * step moves it on). */
bool next_in_chunk(SamplesScan *scan);

/* Column `column` (its index in the table) of the current row. */
SamplesCell samples_cell(const SamplesScan *scan, int column);

/* What a column's cell changes with along a scan: the chunk (sid, the
 * names, graph, labels), the chunk and the role (role), the sample (time)
 * or every row (value, reading). */
enum class SamplesVaries { CHUNK, ROLE, SAMPLE, ROW };
SamplesVaries samples_column_varies(int column);

/* The number of the chunk the scan is in (a new one with every chunk) and
 * the role of the current row (from 0). */
uint64_t scan_chunk_number(const SamplesScan *scan);
int scan_role(const SamplesScan *scan);

}  // namespace orvtsdb

#endif
