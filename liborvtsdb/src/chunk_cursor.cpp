/*
 * chunk_cursor.cpp - a pass over the chunks of a store, decoding as it goes:
 * through the facts of a store that has them, else one SQL pass.
 */
#include "chunk_cursor.h"

#include "store_checks.h"
#include "store_format.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

/* "schema".table, with the schema name quoted as an SQL identifier. */
std::string table(const std::string &schema, const char *name) {
  return quoted_identifier(schema) + "." + name;
}

/* The conditions of f in use, on columns named by `sid`, `graph` and the
 * group and graph tables g and gr: only those go into the SQL, so SQLite
 * can seek an index for a series (and graph) instead of scanning. */
std::string narrowing(const ChunkFilter &f, const char *sid, const char *graph) {
  std::string sql;
  if (f.sid >= 0) sql += std::string(" AND ") + sid + " = ?1";
  if (f.graph >= 0) sql += std::string(" AND ") + graph + " = ?2";
  if (!f.group_name.empty()) sql += " AND g.name = ?3";
  if (!f.graph_name.empty()) sql += " AND gr.name = ?4";
  return sql;
}

}  // namespace

bool ChunkCursor::open(sqlite3 *db, const std::string &schema, const ChunkFilter &f,
                       std::string &err) {
  const char *file = sqlite3_db_filename(db, schema.c_str());
  store_ = file && *file ? file : schema;
  int format = 0;
  if (!check_format(db, err, &format, schema)) {
    err = store_ + ": " + err;
    return false;
  }
  // A cursor may be opened again (SQLite filters a table's cursor anew for
  // every row of an outer loop): nothing of the pass before stays.
  walk_.reset();
  chunk_ = ChunkView();
  from_ = f.from;
  to_ = f.to;
  std::string sql;
  Stmt *s = &stmt_;
  if (format >= FIRST_CHECKED_STORE_FORMAT) {
    // Every series and graph the facts record; one whose facts row is
    // damaged is read whatever its (unchecked) times say, so the walk
    // names the damage.
    walk_ = std::make_unique<CheckedWalk>(db, schema);
    if (!walk_->prepare(err)) {
      err = store_ + ": " + err;
      return false;
    }
    sql = "SELECT f.sid, f.graph, g.name, IFNULL(gr.name, ''), s.labels, g.gid IS NULL FROM " +
          table(schema, "series_facts") + " f LEFT JOIN " + table(schema, "series") +
          " s ON s.sid = f.sid LEFT JOIN " + table(schema, "groups") +
          " g ON g.gid = s.gid LEFT JOIN " + table(schema, "graphs") +
          " gr ON gr.gid = s.gid AND gr.idx = f.graph WHERE (f.row_check IS NOT " +
          row_check_sql("series_facts", "f.") + " OR (f.last_time >= ?5 AND f.first_time <= ?6))" +
          narrowing(f, "f.sid", "f.graph") + " ORDER BY f.sid, f.graph";
    s = &pairs_;
  } else {
    // The end time of a row without a check is computed from the columns
    // its blob's checksum covers (start, step) and the count held against
    // the blob.
    sql =
        "SELECT c.sid, c.graph, c.data_type, c.start_time, c.step, c.data, g.name, "
        "IFNULL(gr.name, ''), s.labels, c.count, c.migration, c.end_time FROM " +
        table(schema, "chunks") + " c JOIN " + table(schema, "series") +
        " s ON s.sid = c.sid JOIN " + table(schema, "groups") + " g ON g.gid = s.gid LEFT JOIN " +
        table(schema, "graphs") +
        " gr ON gr.gid = s.gid AND gr.idx = c.graph "
        "WHERE c.start_time + (c.count - 1) * c.step >= ?5 AND c.start_time <= ?6" +
        narrowing(f, "c.sid", "c.graph") + " ORDER BY c.sid, c.graph, c.start_time";
  }
  if (!s->prepare(db, sql.c_str(), err)) {
    err = store_ + ": " + err;
    return false;
  }
  s->bind(1, f.sid);
  s->bind(2, (int64_t)f.graph);
  s->bind(3, f.group_name);
  s->bind(4, f.graph_name);
  s->bind(5, f.from);
  s->bind(6, f.to);
  return true;
}

bool ChunkCursor::next(std::string &err) {
  err.clear();
  return walk_ ? next_checked(err) : next_unchecked(err);
}

bool ChunkCursor::next_checked(std::string &err) {
  while (!walk_->next(chunk_, err)) {
    if (!err.empty()) return false;
    int rc = pairs_.step();
    if (rc == SQLITE_DONE) return false;
    if (rc != SQLITE_ROW) {
      err = store_ + ": " + sqlite3_errmsg(sqlite3_db_handle(pairs_.get()));
      return false;
    }
    int64_t sid = pairs_.col_int(0), graph = pairs_.col_int(1);
    if (pairs_.col_int(5) != 0) {
      err = store_ + ": damaged store: the facts of series " + std::to_string(sid) + ", graph " +
            std::to_string(graph) +
            " name a series or group the store does not hold (orvtsdb verify lists the damage)";
      return false;
    }
    group_name_ = pairs_.col_text(2);
    graph_name_ = pairs_.col_text(3);
    labels_ = pairs_.col_text(4);
    if (!walk_->select(sid, (int)graph, from_, to_, err)) return false;
  }
  return true;
}

std::string ChunkCursor::damage(int64_t stored_count, const std::string &why) const {
  int64_t last = start() + (stored_count - 1) * step();
  return store_ + ": damaged chunk of series " + std::to_string(sid()) + " (group '" +
         group_name() + "', " + labels() + "), graph " + std::to_string(graph()) + " '" +
         graph_name() + "', time " + std::to_string(start()) + ".." + std::to_string(last) + ": " +
         why;
}

bool ChunkCursor::next_unchecked(std::string &err) {
  int rc = stmt_.step();
  if (rc == SQLITE_DONE) return false;
  if (rc != SQLITE_ROW) {
    err = store_ + ": " + sqlite3_errmsg(sqlite3_db_handle(stmt_.get()));
    return false;
  }
  // The row's own integers, not narrowed: every bit counts.
  int64_t sid = stmt_.col_int(0), graph = stmt_.col_int(1), data_type = stmt_.col_int(2);
  chunk_.sid = sid;
  chunk_.graph = (int)graph;
  chunk_.data_type = (int)data_type;
  chunk_.start = stmt_.col_int(3);
  chunk_.step = stmt_.col_int(4);
  chunk_.migration = stmt_.col_int(10);
  chunk_.count = 0;
  group_name_ = stmt_.col_text(6);
  graph_name_ = stmt_.col_text(7);
  labels_ = stmt_.col_text(8);
  int64_t stored_count = stmt_.col_int(9), end = 0;
  if (!chunk_end_time(chunk_.start, chunk_.step, stored_count, &end) || end != stmt_.col_int(11)) {
    err = damage(1, "the row's end time does not fit its start, step and count");
    return false;
  }
  uint64_t seed = chunk_seed(sid, graph, data_type, chunk_.start, chunk_.step);
  if (!dec_.decode(seed, stmt_.col_blob(5), stmt_.col_bytes(5), err)) {
    err = damage(stored_count, err);
    return false;
  }
  if (dec_.count() != stored_count) {
    err = damage(stored_count, "the row says " + std::to_string(stored_count) +
                                   " samples, the chunk holds " + std::to_string(dec_.count()));
    return false;
  }
  chunk_.count = dec_.count();
  chunk_.roles = dec_.roles();
  chunk_.values = dec_.values();
  return true;
}

}  // namespace orvtsdb
