/*
 * store_reading.cpp - the reading calls of store_reading.h over the store's
 * tables (FORMAT.md) and the chunk cursor.
 */
#include "store_reading.h"

#include "chunk_cursor.h"
#include "read_connection.h"
#include "sqlite_stmt.h"
#include "store_location.h"

namespace orvtsdb {

namespace {

/* Steps s: true on a row; false at the end, or on an error (err set). */
bool next_row(sqlite3 *db, Stmt &s, std::string &err) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) err = sqlite3_errmsg(db);
  return false;
}

std::optional<int64_t> time_or_none(const Stmt &s, int col) {
  return s.col_null(col) ? std::nullopt : std::optional<int64_t>(s.col_int(col));
}

}  // namespace

sqlite3 *open_store_for_reading(const std::string &argument, std::string *path, std::string &err) {
  *path = db_path_of_argument(argument);
  return open_for_reading(*path, err);
}

bool list_groups(sqlite3 *db, std::vector<GroupEntry> &out, std::string &err) {
  Stmt s, g;
  if (!s.prepare(db,
                 "SELECT gid, name, (SELECT count(*) FROM series WHERE gid = groups.gid), "
                 "IFNULL(hierarchy, ''), IFNULL(metric, '') FROM groups ORDER BY gid",
                 err) ||
      !g.prepare(db, "SELECT IFNULL(name, '') FROM graphs WHERE gid = ?1 ORDER BY idx", err))
    return false;
  while (next_row(db, s, err)) {
    out.push_back({s.col_int(0), s.col_text(1), s.col_text(3), s.col_text(4), s.col_int(2), {}});
    g.bind(1, out.back().gid);
    while (next_row(db, g, err)) out.back().graphs.push_back(g.col_text(0));
    if (!err.empty()) return false;
    g.reset();
  }
  return err.empty();
}

bool find_group(sqlite3 *db, const std::string &name, bool *exists, std::string &err) {
  Stmt s;
  if (!s.prepare(db, "SELECT 1 FROM groups WHERE name = ?1", err)) return false;
  s.bind(1, name);
  *exists = next_row(db, s, err);
  return err.empty();
}

bool list_graphs(sqlite3 *db, const std::string &group, const std::string &graph,
                 std::vector<GraphEntry> &out, std::string &err) {
  Stmt s;
  if (!s.prepare(db,
                 "SELECT g.gid, gr.idx, gr.data_type, g.name, IFNULL(gr.name, ''), "
                 "IFNULL(gr.description, '') FROM graphs gr JOIN groups g ON g.gid = gr.gid "
                 "WHERE (?1 = '' OR g.name = ?1) AND (?2 = '' OR gr.name = ?2) "
                 "ORDER BY g.name, gr.idx",
                 err))
    return false;
  s.bind(1, group);
  s.bind(2, graph);
  while (next_row(db, s, err))
    out.push_back({s.col_int(0), (int)s.col_int(1), (int)s.col_int(2), s.col_text(3), s.col_text(4),
                   s.col_text(5)});
  return err.empty();
}

bool list_series(sqlite3 *db, int64_t gid, std::vector<SeriesEntry> &out, std::string &err) {
  Stmt s, t;
  if (!s.prepare(db, "SELECT sid, labels, created, ended FROM series WHERE gid = ?1 ORDER BY sid",
                 err) ||
      !t.prepare(db, "SELECT tag, value FROM series_labels WHERE sid = ?1 ORDER BY pos", err))
    return false;
  s.bind(1, gid);
  while (next_row(db, s, err)) {
    out.push_back({s.col_int(0), s.col_text(1), {}, time_or_none(s, 2), time_or_none(s, 3)});
    t.bind(1, out.back().sid);
    while (next_row(db, t, err)) out.back().tags.emplace_back(t.col_text(0), t.col_text(1));
    if (!err.empty()) return false;
    t.reset();
  }
  return err.empty();
}

bool list_migration_runs(sqlite3 *db, std::map<int64_t, MigrationRun> &out, std::string &err) {
  Stmt s;
  if (!s.prepare(db,
                 "SELECT id, run, IFNULL(run_dir, ''), "
                 "(SELECT IFNULL(MIN(start_time), 0) FROM migrations AS o WHERE o.run = m.run) "
                 "FROM migrations AS m",
                 err))
    return false;
  while (next_row(db, s, err)) out[s.col_int(0)] = {s.col_text(1), s.col_text(2), s.col_int(3)};
  return err.empty();
}

bool for_each_chunk(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to,
                    const std::function<void(const ChunkView &)> &fn, std::string &err) {
  ChunkFilter f;
  f.sid = sid;
  f.graph = graph;
  f.from = from;
  f.to = to;
  ChunkCursor c;
  if (!c.open(db, f, err)) return false;
  while (c.next(err)) {
    ChunkView v;
    v.sid = c.sid();
    v.start = c.start();
    v.step = c.step();
    v.migration = c.migration();
    v.graph = c.graph();
    v.data_type = c.data_type();
    v.count = c.count();
    v.roles = c.roles();
    v.values = c.values();
    fn(v);
  }
  return err.empty();
}

bool count_stored_samples(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to,
                          int64_t *count, std::string &err) {
  Stmt s;
  if (!s.prepare(db,
                 "SELECT IFNULL(sum(count), 0) FROM chunks WHERE sid = ?1 AND graph = ?2 "
                 "AND end_time >= ?3 AND start_time <= ?4",
                 err))
    return false;
  s.bind(1, sid);
  s.bind(2, (int64_t)graph);
  s.bind(3, from);
  s.bind(4, to);
  *count = next_row(db, s, err) ? s.col_int(0) : 0;
  return err.empty();
}

bool stored_time_span(sqlite3 *db, int64_t *first, int64_t *last, bool *any, std::string &err) {
  Stmt s;
  if (!s.prepare(db, "SELECT min(start_time), max(end_time), count(*) FROM chunks", err))
    return false;
  *any = next_row(db, s, err) && s.col_int(2) > 0;
  if (*any) *first = s.col_int(0), *last = s.col_int(1);
  return err.empty();
}

int prepare_reading_statement(sqlite3 *db, const char *sql, sqlite3_stmt **out, const char **tail,
                              std::string &err) {
  take_refusal();
  int rc = sqlite3_prepare_v2(db, sql, -1, out, tail);
  if (rc == SQLITE_AUTH) {
    err = "refused " + take_refusal() + ": a reader never changes a store";
  } else if (rc != SQLITE_OK) {
    err = sqlite3_errmsg(db);
  } else if (*out && !sqlite3_stmt_readonly(*out)) {
    // What the authorizer has no code for (VACUUM INTO writes a new file).
    std::string text = sqlite3_sql(*out);
    sqlite3_finalize(*out);
    *out = nullptr;
    err = "refused '" + text.substr(0, 60) + "': a reader never changes a store";
    rc = SQLITE_AUTH;
  }
  return rc;
}

}  // namespace orvtsdb
