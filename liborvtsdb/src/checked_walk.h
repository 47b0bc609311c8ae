/*
 * checked_walk.h - the chunk rows of one series and graph, held against the
 * series' recorded facts before a blob of them is decoded.
 *
 * select() lists the rows of a series and graph without their blobs (but
 * those of the rows inside the time window asked for), tests each row's
 * check, that its end time fits its start, step and count, that no two
 * overlap, and that together they add up to the series' facts (count, span,
 * samples, values, the sum of their checks). A row whose sid, graph or time
 * was altered no longer adds up, so a damaged series is an error naming the
 * store, series, graph and time range before anything of it is shown, never
 * a gap. next() then decodes the selected chunks one at a time, each blob's
 * checksum bound to its row.
 *
 * One walk serves any number of series: a wide store has thousands, and the
 * statements and the decoder are worth keeping. Both statements read within
 * the connection's snapshot, so the facts and the rows are of one store.
 */
#ifndef ORVTSDB_CHECKED_WALK_H
#define ORVTSDB_CHECKED_WALK_H

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "chunk_codec.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_reading.h"

namespace orvtsdb {

class CheckedWalk {
 public:
  /* A walk over the store `schema` of db: "main", or an attached store. */
  explicit CheckedWalk(sqlite3 *db, std::string schema = "main");
  CheckedWalk(const CheckedWalk &) = delete;
  CheckedWalk &operator=(const CheckedWalk &) = delete;

  /* Prepares the statements; false (err set) on a store without facts. */
  bool prepare(std::string &err);
  /* Lists and holds the rows of series sid and graph `graph` as above,
   * keeping the blobs of those that overlap [from, to]. */
  bool select(int64_t sid, int graph, int64_t from, int64_t to, std::string &err);
  /* Decodes the next selected chunk into v, valid until the next call:
   * false at the end (err empty) or on a damaged blob. */
  bool next(ChunkView &v, std::string &err);
  /* select, then fn for every chunk in time order. */
  bool run(int64_t sid, int graph, int64_t from, int64_t to,
           const std::function<void(const ChunkView &)> &fn, std::string &err);

  /* The file the walk reads, for messages. */
  const std::string &store() const { return store_; }
  /* "series 5 (group 'G', tag=value), graph 1 'name'", for messages: as
   * the tables say, which may be what is damaged. */
  std::string place(int64_t sid, int graph) const;

 private:
  struct Row {
    int64_t start, step, end, migration;
    int data_type, count;
    bool in_range;
    size_t blob_at, blob_len;  // in blobs_
  };

  bool unread(std::string &err) const;
  bool damage(int64_t first, int64_t last, const std::string &why, std::string &err) const;
  bool read_facts(std::string &err);
  bool list_rows(int64_t from, int64_t to, std::string &err);
  bool hold_against_facts(std::string &err);
  std::string table(const char *name) const;

  sqlite3 *db_;
  std::string schema_, store_;
  int64_t sid_ = 0;
  int graph_ = 0;
  Stmt facts_stmt_, rows_stmt_;
  std::vector<Row> rows_;
  size_t next_row_ = 0;  // of rows_, for next()
  std::string blobs_;    // the blobs of the rows in the range, one after the other
  SeriesFacts found_, recorded_;
  ChunkDecoder dec_;
};

}  // namespace orvtsdb

#endif
