/*
 * store_reading.cpp - the reading calls of store_reading.h over the store's
 * tables (FORMAT.md) and the chunk cursor.
 */
#include "store_reading.h"

#include "checked_walk.h"
#include "chunk_codec.h"
#include "chunk_cursor.h"
#include "read_connection.h"
#include "run_summary.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_format.h"
#include "store_location.h"
#include "store_schema.h"

namespace orvtsdb {

std::string store_name(sqlite3 *db) {
  const char *file = sqlite3_db_filename(db, "main");
  return file && *file ? file : "the store";
}

namespace {

/* Prepares sql, whose ?1..?4 are a series, a graph and a time window, into s
 * with them bound. */
bool prepare_window(sqlite3 *db, Stmt &s, const char *sql, int64_t sid, int graph, int64_t from,
                    int64_t to, std::string &err) {
  if (!s.prepare(db, sql, err)) return false;
  s.bind(1, sid);
  s.bind(2, (int64_t)graph);
  s.bind(3, from);
  s.bind(4, to);
  return true;
}

std::optional<int64_t> time_or_none(const Stmt &s, int col) {
  return s.col_null(col) ? std::nullopt : std::optional<int64_t>(s.col_int(col));
}

/* The store's format, or 0 (err set) when it cannot be read. */
int format_of(sqlite3 *db, std::string &err) {
  int format = 0;
  return check_format(db, err, &format) ? format : 0;
}

/* Runs sql, each row's first column a fault, while out holds fewer than
 * limit. */
void faults_of(sqlite3 *db, const std::string &sql, size_t limit, std::vector<std::string> &out,
               std::string &err) {
  Stmt s;
  if (!err.empty() || out.size() >= limit || !s.prepare(db, sql.c_str(), err)) return;
  while (out.size() < limit && next_row(db, s, err)) out.push_back(s.col_text(0));
}

/* Each series' labels text against the text its label rows make. */
void label_faults(sqlite3 *db, size_t limit, std::vector<std::string> &out, std::string &err) {
  Stmt s;
  if (!err.empty() || out.size() >= limit ||
      !s.prepare(db,
                 "SELECT se.sid, se.labels, l.pos, l.tag, l.value FROM series se "
                 "LEFT JOIN series_labels l ON l.sid = se.sid ORDER BY se.sid, l.pos",
                 err))
    return;
  int64_t sid = -1;
  std::string labels;
  std::vector<std::pair<std::string, std::string>> tags;
  bool in_order = true;
  auto judge = [&] {
    if (sid >= 0 && (!in_order || labels_text(tags) != labels))
      out.push_back("series " + std::to_string(sid) + ": its labels '" + labels +
                    "' are not those of its label rows");
  };
  while (out.size() < limit && next_row(db, s, err)) {
    if (s.col_int(0) != sid) {
      judge();
      sid = s.col_int(0);
      labels = s.col_text(1);
      tags.clear();
      in_order = true;
    }
    if (s.col_null(2)) continue;
    in_order = in_order && s.col_int(2) == (int64_t)tags.size();
    tags.emplace_back(s.col_text(3), s.col_text(4));
  }
  if (err.empty() && out.size() < limit) judge();
}

}  // namespace

std::vector<std::string> integrity_faults(sqlite3 *db, const std::string &table, std::string &err) {
  std::vector<std::string> out;
  Stmt s;
  std::string sql = "PRAGMA integrity_check";
  if (!table.empty()) sql += "(" + quoted_identifier(table) + ")";
  if (!err.empty() || !s.prepare(db, sql.c_str(), err)) return out;
  std::string where = table.empty() ? "file: " : "table " + table + ": ";
  while (next_row(db, s, err)) {
    // A row may hold several lines, the first naming the database.
    std::string text = s.col_text(0);
    for (size_t at = 0; at <= text.size();) {
      size_t end = std::min(text.find('\n', at), text.size());
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line != "ok" && line.rfind("*** in database ", 0) != 0)
        out.push_back(where + line);
      at = end + 1;
    }
  }
  return out;
}

std::vector<std::string> store_faults(sqlite3 *db, size_t limit, std::string &err, bool indexes) {
  std::vector<std::string> out;
  int format = 0;
  std::string why;
  if (!check_format(db, why, &format)) {
    out.push_back(why);
    return out;
  }
  for (std::string &f : schema_faults(db, format, err))
    if (out.size() < limit) out.push_back(std::move(f));
  // Without its tables (or their checks) nothing more can be judged.
  if (!err.empty() || !out.empty() || format < FIRST_CHECKED_STORE_FORMAT) return out;
  // The readers look names and rows up through these tables' indexes, which
  // no row check covers: SQLite checks them (a few pages; the chunks'
  // index is held against the series' facts instead).
  for (const CheckedTable &t : checked_tables())
    if (indexes && std::string(t.name) != "chunks" && t.since <= format && has_table(db, t.name))
      for (std::string &f : integrity_faults(db, t.name, err))
        if (out.size() < limit) out.push_back(std::move(f));
  for (const CheckedTable &t : checked_tables())
    if (std::string(t.name) != "chunks" && t.since <= format && has_table(db, t.name))
      faults_of(db,
                std::string("SELECT ") + t.key + " || ' does not match its check' FROM " + t.name +
                    " WHERE row_check IS NOT " + t.check("", format),
                limit, out, err);
  label_faults(db, limit, out, err);
  const char *const links[] = {
      "SELECT 'series ' || sid || ' belongs to group ' || gid || ', which does not exist' "
      "FROM series WHERE gid NOT IN (SELECT gid FROM groups)",
      "SELECT 'graph ' || gid || '/' || idx || ' belongs to group ' || gid || ', which does "
      "not exist' FROM graphs WHERE gid NOT IN (SELECT gid FROM groups)",
      "SELECT 'label ' || sid || '/' || pos || ' belongs to series ' || sid || ', which does "
      "not exist' FROM series_labels WHERE sid NOT IN (SELECT sid FROM series)",
      "SELECT 'facts of series ' || f.sid || ', graph ' || f.graph || ' name no graph of "
      "an existing series' FROM series_facts f WHERE NOT EXISTS (SELECT 1 FROM series se "
      "JOIN graphs g ON g.gid = se.gid AND g.idx = f.graph WHERE se.sid = f.sid)",
      "SELECT 'kept series ' || migration || '/' || from_migration || '/' || sid || ' names "
      "a migration or series that does not exist' FROM kept_series WHERE migration NOT IN "
      "(SELECT id FROM migrations) OR from_migration NOT IN (SELECT id FROM migrations) OR "
      "sid NOT IN (SELECT sid FROM series)",
      // Totals: a chunk row no series' facts count (orphan, duplicate,
      // overlapping) or one gone, and the migrations' own totals.
      "SELECT 'the store holds ' || c || ' chunk rows, the facts of its series record ' || f "
      "FROM (SELECT (SELECT count(*) FROM chunks) AS c, "
      "(SELECT IFNULL(sum(chunks), 0) FROM series_facts) AS f) WHERE c <> f",
      "SELECT 'the migrations stored ' || m || ' samples, the facts of the series record ' || "
      "f FROM (SELECT (SELECT IFNULL(sum(stored_samples), 0) FROM migrations WHERE "
      "finished_at IS NOT NULL) AS m, (SELECT IFNULL(sum(samples), 0) FROM series_facts) AS "
      "f) WHERE m <> f"};
  for (const char *sql : links) faults_of(db, sql, limit, out, err);
  const char *const run_links[] = {
      "SELECT 'series ' || sid || ' belongs to run #' || run || ', which does not exist' "
      "FROM series WHERE run NOT IN (SELECT id FROM runs)",
      "SELECT 'label of run #' || run || ' ' || tag || ' belongs to no run' FROM run_labels "
      "WHERE run NOT IN (SELECT id FROM runs)",
      "SELECT 'migration #' || id || ' is of run ' || run || ', which has no row in runs' "
      "FROM migrations WHERE run NOT IN (SELECT run FROM runs)",
      "SELECT 'store_info holds no format row' WHERE NOT EXISTS (SELECT 1 FROM store_info "
      "WHERE key = 'format')"};
  if (format >= STORE_FORMAT)
    for (const char *sql : run_links) faults_of(db, sql, limit, out, err);
  // A run's summary: of a run that exists, with its version row, and as
  // many metrics as that row records.
  const char *const summary_links[] = {
      "SELECT 'summary of run #' || run || ' ' || series || ' [' || metric || '] belongs to no "
      "run' FROM run_summaries WHERE run NOT IN (SELECT id FROM runs)",
      "SELECT 'the summary of run #' || run || ' has no version row' FROM run_summaries GROUP BY "
      "run HAVING sum(series = '' AND metric = '') = 0",
      "SELECT 'the summary of run #' || v.run || ' holds ' || (SELECT count(*) FROM "
      "run_summaries s WHERE s.run = v.run AND s.metric <> '') || ' metrics, its version row "
      "records ' || CAST(v.weight AS INTEGER) FROM run_summaries v WHERE v.series = '' AND "
      "v.metric = '' AND v.weight <> (SELECT count(*) FROM run_summaries s WHERE s.run = v.run "
      "AND s.metric <> '')"};
  // What a reader of the batches refuses: (value, weight) pairs of 8 bytes
  // each, kSummaryBatches at most.
  const std::string batch_bytes =
      "SELECT 'summary of run #' || run || ' ' || series || ' [' || metric || '] holds batches of "
      "' "
      "|| length(batches) || ' bytes' FROM run_summaries WHERE typeof(batches) <> 'blob' OR "
      "length(batches) % 16 <> 0 OR length(batches) > " +
      std::to_string(16 * kSummaryBatches);
  if (has_table(db, "run_summaries")) {
    for (const char *sql : summary_links) faults_of(db, sql, limit, out, err);
    faults_of(db, batch_bytes, limit, out, err);
  }
  return out;
}

bool check_store(sqlite3 *db, std::string &err) {
  std::vector<std::string> faults = store_faults(db, 1, err);
  if (!err.empty())
    err = store_name(db) + ": " + err;
  else if (!faults.empty())
    err = store_name(db) + ": the store is damaged: " + faults[0] +
          " (orvtsdb verify lists every fault)";
  return err.empty();
}

sqlite3 *open_store_for_reading(const std::string &argument, std::string *path, std::string &err) {
  *path = db_path_of_argument(argument);
  return open_for_reading(*path, err);
}

bool series_have_runs(sqlite3 *db, bool *yes, std::string &err) {
  int format = format_of(db, err);
  *yes = format >= STORE_FORMAT;
  return format != 0;
}

namespace {

/* The run number column of series: "run", or 0 in a store without it. */
const char *series_run_column(sqlite3 *db, std::string &err) {
  bool runs = false;
  series_have_runs(db, &runs, err);
  return runs ? "run" : "0";
}

std::string last_part(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  size_t slash = dir.find_last_of('/');
  return slash == std::string::npos ? dir : dir.substr(slash + 1);
}

}  // namespace

bool list_runs(sqlite3 *db, std::vector<RunEntry> &out, std::string &err) {
  bool runs = false;
  if (!series_have_runs(db, &runs, err)) return false;
  // A store without the runs table numbers its runs as the upgrade will.
  std::string sql = std::string(
      runs ? "SELECT r.id, r.run FROM runs r ORDER BY r.id"
           : "SELECT row_number() OVER (ORDER BY min(id)), run FROM migrations "
             "GROUP BY run ORDER BY min(id)");
  Stmt s, m, f;
  if (!s.prepare(db, sql.c_str(), err) ||
      !m.prepare(db,
                 "SELECT IFNULL((SELECT run_dir FROM migrations WHERE run = ?1 ORDER BY id DESC "
                 "LIMIT 1), ''), IFNULL(min(start_time), 0), count(*) FROM migrations "
                 "WHERE run = ?1",
                 err) ||
      !f.prepare(db,
                 "SELECT DISTINCT run_dir FROM migrations WHERE run = ?1 AND run_dir IS NOT NULL "
                 "AND run_dir <> ''",
                 err))
    return false;
  while (next_row(db, s, err)) {
    RunEntry r;
    r.number = s.col_int(0);
    r.id = s.col_text(1);
    m.bind(1, r.id);
    if (!next_row(db, m, err)) return false;
    r.run_dir = m.col_text(0);
    r.name = last_part(r.run_dir);
    r.start_time = m.col_int(1);
    r.migrations = m.col_int(2);
    m.reset();
    f.bind(1, r.id);
    while (next_row(db, f, err)) r.folders.push_back(f.col_text(0));
    if (!err.empty()) return false;
    f.reset();
    out.push_back(std::move(r));
  }
  return err.empty();
}

bool list_groups(sqlite3 *db, std::vector<GroupEntry> &out, std::string &err) {
  Stmt s, g, r;
  if (!s.prepare(db,
                 "SELECT gid, name, (SELECT count(*) FROM series WHERE gid = groups.gid), "
                 "IFNULL(hierarchy, ''), IFNULL(metric, '') FROM groups ORDER BY gid",
                 err) ||
      !g.prepare(db, "SELECT IFNULL(name, '') FROM graphs WHERE gid = ?1 ORDER BY idx", err) ||
      !r.prepare(db,
                 (std::string("SELECT ") + series_run_column(db, err) +
                  ", count(*) FROM series WHERE gid = ?1 GROUP BY 1")
                     .c_str(),
                 err))
    return false;
  while (next_row(db, s, err)) {
    out.push_back(
        {s.col_int(0), s.col_text(1), s.col_text(3), s.col_text(4), s.col_int(2), {}, {}});
    g.bind(1, out.back().gid);
    while (next_row(db, g, err)) out.back().graphs.push_back(g.col_text(0));
    r.bind(1, out.back().gid);
    while (next_row(db, r, err)) out.back().series_of_run[r.col_int(0)] = r.col_int(1);
    if (!err.empty()) return false;
    g.reset();
    r.reset();
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
                 "IFNULL(gr.description, ''), IFNULL(gr.formula, -1) "
                 "FROM graphs gr JOIN groups g ON g.gid = gr.gid "
                 "WHERE (?1 = '' OR g.name = ?1) AND (?2 = '' OR gr.name = ?2) "
                 "ORDER BY g.name, gr.idx",
                 err))
    return false;
  s.bind(1, group);
  s.bind(2, graph);
  while (next_row(db, s, err))
    out.push_back({s.col_int(0), (int)s.col_int(1), (int)s.col_int(2), s.col_text(3), s.col_text(4),
                   s.col_text(5), (int)s.col_int(6)});
  return err.empty();
}

bool list_series(sqlite3 *db, int64_t gid, std::vector<SeriesEntry> &out, std::string &err) {
  Stmt s, t;
  std::string sql = std::string("SELECT sid, labels, created, ended, ") +
                    series_run_column(db, err) + " FROM series WHERE gid = ?1 ORDER BY sid";
  if (!s.prepare(db, sql.c_str(), err) ||
      !t.prepare(db, "SELECT tag, value FROM series_labels WHERE sid = ?1 ORDER BY pos", err))
    return false;
  s.bind(1, gid);
  while (next_row(db, s, err)) {
    out.push_back(
        {s.col_int(0), s.col_text(1), {}, time_or_none(s, 2), time_or_none(s, 3), s.col_int(4)});
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
                 "SELECT id, run, "
                 "IFNULL((SELECT run_dir FROM migrations AS o WHERE o.run = m.run ORDER BY id "
                 "LIMIT 1), ''), "
                 "(SELECT IFNULL(MIN(start_time), 0) FROM migrations AS o WHERE o.run = m.run) "
                 "FROM migrations AS m",
                 err))
    return false;
  while (next_row(db, s, err)) out[s.col_int(0)] = {s.col_text(1), s.col_text(2), s.col_int(3)};
  return err.empty();
}

ChunkWalker::ChunkWalker(sqlite3 *db) : db_(db) {}

ChunkWalker::~ChunkWalker() = default;

bool ChunkWalker::for_each_chunk(int64_t sid, int graph, int64_t from, int64_t to,
                                 const std::function<void(const ChunkView &)> &fn,
                                 std::string &err) {
  if (!walk_) {
    auto walk = std::make_unique<CheckedWalk>(db_);
    if (walk->prepare(err)) walk_ = std::move(walk);
  }
  if (walk_) return walk_->run(sid, graph, from, to, fn, err);
  // Only a store of the older format, without facts, is read without them.
  int format = format_of(db_, err);
  if (format == 0) return false;
  if (format >= FIRST_CHECKED_STORE_FORMAT) {
    err = store_name(db_) + ": " + err;
    return false;
  }
  err.clear();
  ChunkFilter f;
  f.sid = sid;
  f.graph = graph;
  f.from = from;
  f.to = to;
  ChunkCursor c;
  if (!c.open(db_, f, err)) return false;
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

bool ChunkWalker::check_chunk_rows(int64_t sid, int graph, std::string &err) {
  // An empty range: every row is listed and checked, no blob is read.
  return for_each_chunk(
      sid, graph, INT64_MAX, INT64_MIN, [](const ChunkView &) {}, err);
}

bool for_each_chunk(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to,
                    const std::function<void(const ChunkView &)> &fn, std::string &err) {
  return ChunkWalker(db).for_each_chunk(sid, graph, from, to, fn, err);
}

bool check_chunk_rows(sqlite3 *db, int64_t sid, int graph, std::string &err) {
  return ChunkWalker(db).check_chunk_rows(sid, graph, err);
}

bool count_stored_samples(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to,
                          int64_t *count, std::string &err) {
  Stmt s;
  if (!prepare_window(db, s,
                      "SELECT IFNULL(sum(count), 0) FROM chunks WHERE sid = ?1 AND graph = ?2 "
                      "AND end_time >= ?3 AND start_time <= ?4",
                      sid, graph, from, to, err))
    return false;
  *count = next_row(db, s, err) ? s.col_int(0) : 0;
  return err.empty();
}

bool any_stored_sample(sqlite3 *db, int64_t sid, int graph, int64_t from, int64_t to, bool *any,
                       std::string &err) {
  // A chunk overlapping the window may still have no sample time in it (a
  // step longer than the window): its first time at or after the window's
  // start must also be no later than the window's end and its own.
  Stmt s;
  if (!prepare_window(db, s,
                      "SELECT 1 FROM chunks WHERE sid = ?1 AND graph = ?2 AND end_time >= ?3 "
                      "AND start_time <= ?4 AND CASE WHEN count <= 1 OR step <= 0 THEN 1 ELSE "
                      "start_time + (max(?3, start_time) - start_time + step - 1) / step * step "
                      "<= min(?4, end_time) END LIMIT 1",
                      sid, graph, from, to, err))
    return false;
  *any = next_row(db, s, err);
  return err.empty();
}

bool stored_time_span(sqlite3 *db, int64_t *first, int64_t *last, bool *any, std::string &err,
                      const std::vector<int64_t> &runs) {
  int format = format_of(db, err);
  if (format == 0) return false;
  Stmt s;
  // The facts hold each series' span: no pass over the chunks.
  std::string sql = format >= FIRST_CHECKED_STORE_FORMAT
                        ? "SELECT min(first_time), max(last_time), count(*) FROM series_facts"
                        : "SELECT min(start_time), max(end_time), count(*) FROM chunks";
  if (!runs.empty() && format >= STORE_FORMAT) {
    sql += " WHERE sid IN (SELECT sid FROM series WHERE run IN (";
    for (size_t i = 0; i < runs.size(); i++) sql += (i ? "," : "") + std::to_string(runs[i]);
    sql += "))";
  }
  if (!s.prepare(db, sql.c_str(), err)) return false;
  *any = next_row(db, s, err) && s.col_int(2) > 0;
  if (*any) *first = s.col_int(0), *last = s.col_int(1);
  return err.empty();
}

bool graphs_of_runs(sqlite3 *db, const std::vector<int64_t> &runs, std::set<int64_t> &out,
                    std::string &err) {
  std::string sql =
      "SELECT DISTINCT s.gid, f.graph FROM series_facts f JOIN series s ON s.sid = f.sid "
      "WHERE s.run IN (";
  for (size_t i = 0; i < runs.size(); i++) sql += (i ? "," : "") + std::to_string(runs[i]);
  Stmt s;
  if (!s.prepare(db, (sql + ")").c_str(), err)) return false;
  while (next_row(db, s, err)) out.insert(s.col_int(0) << 32 | s.col_int(1));
  return err.empty();
}

int prepare_reading_statement(sqlite3 *db, const char *sql, sqlite3_stmt **out, const char **tail,
                              std::string &err) {
  take_refusal();
  int rc = sqlite3_prepare_v2(db, sql, -1, out, tail);
  std::string refused = rc == SQLITE_OK ? "" : take_refusal();
  if (rc == SQLITE_AUTH) {
    err = "refused " + refused + ": a reader never changes a store";
  } else if (!refused.empty()) {
    // A function refused fails the statement with SQLITE_ERROR.
    err = "refused " + refused;
    rc = SQLITE_AUTH;
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
