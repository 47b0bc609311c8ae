/*
 * chunk_cursor.cpp - one SQL pass over the chunks table, decoding as it goes.
 */
#include "chunk_cursor.h"

namespace orvtsdb {

bool ChunkCursor::open(sqlite3 *db, const ChunkFilter &f, std::string &err) {
  static const char *const SQL =
      "SELECT c.sid, c.graph, c.data_type, c.start_time, c.step, c.data, g.name, "
      "IFNULL(gr.name, ''), s.labels "
      "FROM chunks c JOIN series s ON s.sid = c.sid JOIN groups g ON g.gid = s.gid "
      "LEFT JOIN graphs gr ON gr.gid = s.gid AND gr.idx = c.graph "
      "WHERE (?1 < 0 OR c.sid = ?1) AND (?2 < 0 OR c.graph = ?2) "
      "AND (?3 = '' OR g.name = ?3) AND (?4 = '' OR gr.name = ?4) "
      "AND c.end_time >= ?5 AND c.start_time <= ?6 "
      "ORDER BY c.sid, c.graph, c.start_time";
  if (!stmt_.prepare(db, SQL, err)) return false;
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
