/*
 * chunk_cursor.cpp - one SQL pass over the chunks table, decoding as it goes.
 */
#include "chunk_cursor.h"

#include "store_schema.h"

namespace orvtsdb {

namespace {

/* "schema".table, with the schema name quoted as an SQL identifier. */
std::string table(const std::string &schema, const char *name) {
  return quoted_identifier(schema) + "." + name;
}

}  // namespace

/* Only the conditions in use go into the SQL, so SQLite can seek the
 * chunks_by_series index for a series (and graph) instead of scanning. */
bool ChunkCursor::open(sqlite3 *db, const std::string &schema, const ChunkFilter &f,
                       std::string &err) {
  std::string sql =
      "SELECT c.sid, c.graph, c.data_type, c.start_time, c.step, c.data, g.name, "
      "IFNULL(gr.name, ''), s.labels, c.count, c.migration "
      "FROM " +
      table(schema, "chunks") + " c JOIN " + table(schema, "series") + " s ON s.sid = c.sid JOIN " +
      table(schema, "groups") +
      " g ON g.gid = s.gid "
      "LEFT JOIN " +
      table(schema, "graphs") +
      " gr ON gr.gid = s.gid AND gr.idx = c.graph "
      "WHERE c.end_time >= ?5 AND c.start_time <= ?6";
  if (f.sid >= 0) sql += " AND c.sid = ?1";
  if (f.graph >= 0) sql += " AND c.graph = ?2";
  if (!f.group_name.empty()) sql += " AND g.name = ?3";
  if (!f.graph_name.empty()) sql += " AND gr.name = ?4";
  sql += " ORDER BY c.sid, c.graph, c.start_time";
  const char *file = sqlite3_db_filename(db, schema.c_str());
  store_ = file && *file ? file : schema;
  // The store db opened was checked then; an attached one is read only in
  // a format this library reads, as any store.
  if (sqlite3_stricmp(schema.c_str(), "main") != 0 && !check_format(db, err, nullptr, schema)) {
    err = store_ + ": " + err;
    return false;
  }
  if (!stmt_.prepare(db, sql.c_str(), err)) {
    err = store_ + ": " + err;
    return false;
  }
  stmt_.bind(1, f.sid);
  stmt_.bind(2, (int64_t)f.graph);
  stmt_.bind(3, f.group_name);
  stmt_.bind(4, f.graph_name);
  stmt_.bind(5, f.from);
  stmt_.bind(6, f.to);
  return true;
}

std::string ChunkCursor::damage(const std::string &why) const {
  int64_t last = start() + (stored_count() - 1) * step();
  return store_ + ": damaged chunk of series " + std::to_string(sid()) + " (group '" +
         group_name() + "', " + labels() + "), graph " + std::to_string(graph()) + " '" +
         graph_name() + "', time " + std::to_string(start()) + ".." + std::to_string(last) + ": " +
         why;
}

bool ChunkCursor::next(std::string &err) {
  err.clear();
  int rc = stmt_.step();
  if (rc == SQLITE_DONE) return false;
  if (rc != SQLITE_ROW) {
    err = store_ + ": " + sqlite3_errmsg(sqlite3_db_handle(stmt_.get()));
    return false;
  }
  sid_ = stmt_.col_int(0);
  graph_ = stmt_.col_int(1);
  data_type_ = stmt_.col_int(2);
  start_ = stmt_.col_int(3);
  step_ = stmt_.col_int(4);
  // The row's own integers, not the narrowed accessors: every bit counts.
  uint64_t seed = chunk_seed(sid_, graph_, data_type_, start_, step_);
  if (!dec_.decode(seed, stmt_.col_blob(5), stmt_.col_bytes(5), err)) {
    err = damage(err);
    return false;
  }
  if (dec_.count() == stored_count()) return true;
  err = damage("the row says " + std::to_string(stored_count()) + " samples, the chunk holds " +
               std::to_string(dec_.count()));
  return false;
}

}  // namespace orvtsdb
