/*
 * store_audit.cpp - audit_store() of store_reading.h: every check of a
 * store, for `orvtsdb verify`.
 *
 * Passes, each fault one line:
 *   1. SQLite's integrity check of the file (pages, indexes);
 *   2. the format, the tables, columns and indexes against those the library
 *      makes, every row's check outside the chunks, each series' labels
 *      against its label rows, the links between the tables and the totals
 *      (store_faults, which every reader runs too);
 *   3. every chunk row: its check, its blob decoded (checksum bound to its
 *      row), its sample count and end time as the row says, its series and
 *      graph known, its migration recorded, its role count that of its data
 *      type, and no two rows of a series and graph sharing a time;
 *   4. the facts of every series and graph against its chunk rows;
 *   5. every migration's stored_samples against the chunks it still owns.
 * A store of the older format (before the row checks) gets passes 1, 2, 3
 * and 5 without the checks it does not have. An SQLite error (a table gone)
 * is a fault of the pass it stops.
 */
#include <map>
#include <string>

#include "chunk_codec.h"
#include "orvtsdb_data_roles.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_format.h"
#include "store_reading.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

using FaultFn = std::function<void(const std::string &)>;

/* Prepares sql; an SQLite error is a fault. */
bool prep(sqlite3 *db, Stmt &s, const std::string &sql, const FaultFn &fault) {
  std::string err;
  if (s.prepare(db, sql.c_str(), err)) return true;
  fault("SQLite: " + err);
  return false;
}

/* Steps s; true on a row, false at the end; an SQLite error is a fault. */
bool row(sqlite3 *db, Stmt &s, const FaultFn &fault) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) fault(std::string("SQLite: ") + sqlite3_errmsg(db));
  return false;
}

void check_file(sqlite3 *db, const FaultFn &fault) {
  std::string err;
  for (const std::string &f : integrity_faults(db, "", err)) fault(f);
  if (!err.empty()) fault("SQLite: " + err);
}

void check_metadata(sqlite3 *db, size_t limit, const FaultFn &fault) {
  std::string err;
  // The file's integrity check (check_file) has covered the indexes.
  for (const std::string &f : store_faults(db, limit, err, false)) fault(f);
  if (!err.empty()) fault("SQLite: " + err);
}

/* Columns of the chunk pass. */
enum {
  ROWID,
  SID,
  GRAPH,
  TYPE,
  START,
  STEP,
  COUNT,
  END,
  DATA,
  IN_GROUP,
  MIGRATION,
  KNOWN_MIG,
  ROW_CHECK,
  CHECK_HOLDS
};

/* What is wrong with one chunk row on its own ("" when nothing). */
std::string chunk_fault(const Stmt &s, ChunkDecoder &dec, bool checked) {
  int64_t start = s.col_int(START), step = s.col_int(STEP), count = s.col_int(COUNT);
  if (checked && s.col_int(CHECK_HOLDS) == 0) return "the row does not match its check";
  std::string err;
  if (!dec.decode(chunk_seed(s.col_int(SID), s.col_int(GRAPH), s.col_int(TYPE), start, step),
                  s.col_blob(DATA), s.col_bytes(DATA), err))
    return err;
  if (dec.count() != count) return "the row says " + std::to_string(count) + " samples";
  int64_t end = 0;
  if (!chunk_end_time(start, step, count, &end) || s.col_int(END) != end)
    return "end time does not fit";
  if (dec.roles() != orv_role_count((int)s.col_int(TYPE)))
    return "role count does not fit its data type";
  if (s.col_int(IN_GROUP) == 0) return "no series of that id has a graph of that position";
  if (s.col_int(KNOWN_MIG) == 0)
    return "written by migration #" + std::to_string(s.col_int(MIGRATION)) +
           ", which is not recorded";
  return "";
}

/* Facts gathered from the chunk rows, by (sid, graph). */
using Gathered = std::map<std::pair<int64_t, int>, SeriesFacts>;

int64_t check_chunks(sqlite3 *db, bool checked, Gathered &gathered, const FaultFn &fault) {
  Stmt s;
  std::string sql =
      "SELECT c.rowid, c.sid, c.graph, c.data_type, c.start_time, c.step, c.count, "
      "c.end_time, c.data, EXISTS(SELECT 1 FROM series se JOIN graphs g "
      "ON g.gid = se.gid AND g.idx = c.graph WHERE se.sid = c.sid), c.migration, "
      "EXISTS(SELECT 1 FROM migrations WHERE id = c.migration)";
  sql += checked ? ", c.row_check, c.row_check IS " + row_check_sql("chunks", "c.") : ", 0, 1";
  sql += " FROM chunks c ORDER BY c.sid, c.graph, c.start_time";
  if (!prep(db, s, sql, fault)) return 0;
  ChunkDecoder dec;
  int64_t n = 0;
  std::pair<int64_t, int> prev{-1, -1};
  int64_t prev_end = 0;
  for (; row(db, s, fault); n++) {
    std::pair<int64_t, int> place{s.col_int(SID), (int)s.col_int(GRAPH)};
    std::string why = chunk_fault(s, dec, checked);
    if (why.empty() && place == prev && s.col_int(START) <= prev_end)
      why = "it shares times with the chunk before it (to " + std::to_string(prev_end) + ")";
    if (!why.empty())
      fault("chunk " + std::to_string(s.col_int(ROWID)) + " of series " +
            std::to_string(place.first) + ", graph " + std::to_string(place.second) + ", time " +
            std::to_string(s.col_int(START)) + ".." + std::to_string(s.col_int(END)) + ": " + why);
    if (place != prev || s.col_int(END) > prev_end) prev_end = s.col_int(END);
    prev = place;
    gathered[place].add(s.col_int(START), s.col_int(END), s.col_int(COUNT), (int)s.col_int(TYPE),
                        s.col_int(ROW_CHECK));
  }
  return n;
}

/* The recorded facts against those gathered from the rows. */
void check_facts(sqlite3 *db, Gathered &gathered, const FaultFn &fault) {
  Stmt s;
  if (!prep(db, s,
            "SELECT sid, graph, chunks, first_time, last_time, samples, value_count, rows_sum "
            "FROM series_facts ORDER BY sid, graph",
            fault))
    return;
  auto facts_fault = [&](const std::pair<int64_t, int> &p, const std::string &what) {
    fault("facts of series " + std::to_string(p.first) + ", graph " + std::to_string(p.second) +
          ": " + what);
  };
  while (row(db, s, fault)) {
    std::pair<int64_t, int> place{s.col_int(0), (int)s.col_int(1)};
    SeriesFacts recorded{s.col_int(2), s.col_int(3), s.col_int(4),
                         s.col_int(5), s.col_int(6), (uint64_t)s.col_int(7)};
    auto it = gathered.find(place);
    std::string d = (it == gathered.end() ? SeriesFacts{} : it->second).differences(recorded);
    if (!d.empty()) facts_fault(place, "the chunk rows give " + d);
    if (it != gathered.end()) gathered.erase(it);
  }
  for (const auto &[place, found] : gathered)
    facts_fault(place, "none recorded for its " + std::to_string(found.chunks) + " chunk rows");
}

int64_t check_migrations(sqlite3 *db, const FaultFn &fault) {
  Stmt s;
  if (!prep(db, s,
            // One pass over the chunks for every migration's sum: chunks has
            // no index by migration, so a sum per migration would read them
            // all once a migration.
            "SELECT m.id, IFNULL(m.stored_samples, -1), IFNULL(c.samples, 0) FROM migrations m "
            "LEFT JOIN (SELECT migration, sum(count) AS samples FROM chunks GROUP BY migration) "
            "c ON c.migration = m.id WHERE m.finished_at IS NOT NULL ORDER BY m.id",
            fault))
    return 0;
  int64_t n = 0;
  for (; row(db, s, fault); n++)
    if (s.col_int(1) != s.col_int(2))
      fault("migration #" + std::to_string(s.col_int(0)) + " stored " +
            std::to_string(s.col_int(1)) + " samples, its chunks hold " +
            std::to_string(s.col_int(2)));
  return n;
}

}  // namespace

StoreAudit audit_store(sqlite3 *db, size_t limit,
                       const std::function<void(const std::string &)> &fault) {
  StoreAudit a;
  std::string err;
  check_format(db, err, &a.format);
  a.row_checks = a.format >= FIRST_CHECKED_STORE_FORMAT;
  check_file(db, fault);
  check_metadata(db, limit, fault);
  Gathered gathered;
  a.chunks = check_chunks(db, a.row_checks, gathered, fault);
  if (a.row_checks) check_facts(db, gathered, fault);
  a.migrations = check_migrations(db, fault);
  return a;
}

}  // namespace orvtsdb
