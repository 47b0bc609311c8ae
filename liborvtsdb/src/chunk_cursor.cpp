/*
 * chunk_cursor.cpp - one SQL pass over the chunks table, decoding as it goes.
 */
#include "chunk_cursor.h"

namespace orvtsdb {

/* Only the conditions in use go into the SQL, so SQLite can seek the
 * chunks_by_series index for a series (and graph) instead of scanning. */
bool ChunkCursor::open(sqlite3 *db, const ChunkFilter &f, std::string &err) {
  std::string sql =
      "SELECT c.sid, c.graph, c.data_type, c.start_time, c.step, c.data, g.name, "
      "IFNULL(gr.name, ''), s.labels "
      "FROM chunks c JOIN series s ON s.sid = c.sid JOIN groups g ON g.gid = s.gid "
      "LEFT JOIN graphs gr ON gr.gid = s.gid AND gr.idx = c.graph "
      "WHERE c.end_time >= ?5 AND c.start_time <= ?6";
  if (f.sid >= 0) sql += " AND c.sid = ?1";
  if (f.graph >= 0) sql += " AND c.graph = ?2";
  if (!f.group_name.empty()) sql += " AND g.name = ?3";
  if (!f.graph_name.empty()) sql += " AND gr.name = ?4";
  sql += " ORDER BY c.sid, c.graph, c.start_time";
  if (!stmt_.prepare(db, sql.c_str(), err)) return false;
  stmt_.bind(1, f.sid);
  stmt_.bind(2, (int64_t)f.graph);
  stmt_.bind(3, f.group_name);
  stmt_.bind(4, f.graph_name);
  stmt_.bind(5, f.from);
  stmt_.bind(6, f.to);
  return true;
}

bool ChunkCursor::next(std::string &err) {
  err.clear();
  int rc = stmt_.step();
  if (rc == SQLITE_DONE) return false;
  if (rc != SQLITE_ROW) {
    err = sqlite3_errmsg(sqlite3_db_handle(stmt_.get()));
    return false;
  }
  if (dec_.decode(stmt_.col_blob(5), stmt_.col_bytes(5), err)) return true;
  err = "chunk of series " + std::to_string(sid()) + " at " + std::to_string(start()) + ": " + err;
  return false;
}

}  // namespace orvtsdb
