/*
 * chunk_cursor.h - the read side: stored chunks of one store, decoded, in
 * series, graph and time order, optionally narrowed to a series, a graph, a
 * group or graph name and a time range. Used by the `orvtsdb` command and by
 * the `samples` table.
 *
 * Every chunk's checksum is tested as it is read; a damaged chunk ends the
 * pass with an error naming the store, series, graph and time range.
 */
#ifndef ORVTSDB_CHUNK_CURSOR_H
#define ORVTSDB_CHUNK_CURSOR_H

#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <string>

#include "chunk_codec.h"
#include "sqlite_stmt.h"

namespace orvtsdb {

struct ChunkFilter {
  int64_t sid = -1;        // -1: any series
  int graph = -1;          // graph index in its group, -1: any
  std::string group_name;  // empty: any
  std::string graph_name;  // empty: any
  int64_t from = std::numeric_limits<int64_t>::min();
  int64_t to = std::numeric_limits<int64_t>::max();
};

class ChunkCursor {
 public:
  ChunkCursor() = default;
  ChunkCursor(const ChunkCursor &) = delete;
  ChunkCursor &operator=(const ChunkCursor &) = delete;

  /* Starts a pass over the chunks matching f in the database `schema` of db
   * ("main", or the name of an attached store); false with a reason in err. */
  bool open(sqlite3 *db, const std::string &schema, const ChunkFilter &f, std::string &err);
  /* The same on the main database. */
  bool open(sqlite3 *db, const ChunkFilter &f, std::string &err) {
    return open(db, "main", f, err);
  }
  /* Moves to the next chunk and decodes it. false at the end (err empty) or
   * on a damaged chunk or SQLite error (err says which). */
  bool next(std::string &err);

  int64_t sid() const { return sid_; }
  int graph() const { return (int)graph_; }
  int data_type() const { return (int)data_type_; }
  int64_t start() const { return start_; }
  int64_t step() const { return step_; }
  std::string group_name() const { return stmt_.col_text(6); }
  std::string graph_name() const { return stmt_.col_text(7); }
  std::string labels() const { return stmt_.col_text(8); }
  int64_t stored_count() const { return stmt_.col_int(9); }
  int64_t migration() const { return stmt_.col_int(10); }
  int count() const { return dec_.count(); }
  int roles() const { return dec_.roles(); }
  int64_t time_of(int i) const { return start() + i * step(); }
  /* Value of sample i, role r (the missing marker where nothing was known). */
  double value(int i, int r) const { return dec_.column(r)[i]; }
  /* Every value, role-major: role r of sample i at values()[r * count() + i]. */
  const double *values() const { return dec_.values(); }

 private:
  std::string damage(const std::string &why) const;

  Stmt stmt_;
  // The row's integers, taken once per chunk: a reader asks for them per value.
  int64_t sid_ = 0, graph_ = 0, data_type_ = 0, start_ = 0, step_ = 0;
  ChunkDecoder dec_;
  std::string store_;  // file name of the store read, for messages
};

}  // namespace orvtsdb

#endif
