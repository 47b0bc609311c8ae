/*
 * chunk_cursor.h - the read side: stored chunks of one store, decoded, in
 * series, graph and time order, optionally narrowed to a series, a graph, a
 * group or graph name and a time range. Used by the `samples` table, by the
 * readers of a store older than the facts, and by the benchmarks.
 *
 * A store with facts is read series and graph by series and graph through
 * CheckedWalk: each one's chunk rows are held against its facts before a
 * chunk of it is decoded, so an altered or missing row is an error, never a
 * gap. An older store's rows carry no checks; its rows are read as they
 * are, each chunk's checksum tested and its end time held against its
 * start, step and count. A damaged chunk ends the pass with an error naming
 * the store, series, graph and time range.
 */
#ifndef ORVTSDB_CHUNK_CURSOR_H
#define ORVTSDB_CHUNK_CURSOR_H

#include <sqlite3.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "checked_walk.h"
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

  int64_t sid() const { return chunk_.sid; }
  int graph() const { return chunk_.graph; }
  int data_type() const { return chunk_.data_type; }
  int64_t start() const { return chunk_.start; }
  int64_t step() const { return chunk_.step; }
  const std::string &group_name() const { return group_name_; }
  const std::string &graph_name() const { return graph_name_; }
  const std::string &labels() const { return labels_; }
  int64_t migration() const { return chunk_.migration; }
  int count() const { return chunk_.count; }
  int roles() const { return chunk_.roles; }
  int64_t time_of(int i) const { return start() + i * step(); }
  /* Value of sample i, role r (the missing marker where nothing was known). */
  double value(int i, int r) const { return chunk_.values[(size_t)r * count() + i]; }
  /* Every value, role-major: role r of sample i at values()[r * count() + i]. */
  const double *values() const { return chunk_.values; }

 private:
  bool next_checked(std::string &err);
  bool next_unchecked(std::string &err);
  std::string damage(int64_t stored_count, const std::string &why) const;

  // A store with facts: its series and graphs, and the walk of the one read.
  std::unique_ptr<CheckedWalk> walk_;
  Stmt pairs_;
  int64_t from_ = 0, to_ = 0;
  // An older store: its chunk rows, decoded here.
  Stmt stmt_;
  ChunkDecoder dec_;
  // The chunk read, and the names of its series and graph.
  ChunkView chunk_;
  std::string group_name_, graph_name_, labels_;
  std::string store_;  // file name of the store read, for messages
};

}  // namespace orvtsdb

#endif
