/*
 * verify.cpp - `orvtsdb verify`: is everything in the store what was
 * written, and does it hold everything a reader relies on?
 *
 * Passes, each fault one line on standard output:
 *   1. SQLite's integrity check of the file (pages, indexes);
 *   2. the format, the tables, columns and indexes against those the library
 *      makes, every row's check outside the chunks, each series' labels
 *      against its label rows, the links between the tables and the totals
 *      (store_faults of store_reading.h, which every reader runs too);
 *   3. every chunk row: its check, its blob decoded (checksum bound to its
 *      row), its sample count and end time as the row says, its series and
 *      graph known, its migration recorded, its role count that of its data
 *      type, and no two rows of a series and graph sharing a time;
 *   4. the facts of every series and graph against its chunk rows;
 *   5. every migration's stored_samples against the chunks it still owns.
 * A store of the older format (before the row checks) gets passes 1, 2, 3
 * and 5 without the checks it does not have, and a note line saying so:
 * not a fault, as it was written correctly by its version; a migration into
 * it adds them. A summary line follows; the exit status is 0 only when
 * nothing was found.
 */
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include "chunk_codec.h"
#include "command_kit.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_format.h"
#include "store_reading.h"
#include "store_schema.h"

using orvtsdb::Stmt;

namespace orvtsdb_cli {

namespace {

/* Fault lines beyond this many are counted, not printed. */
constexpr long MAX_FAULT_LINES = 100;

struct Faults {
  long count = 0;
  void add(const std::string &what) {
    if (++count <= MAX_FAULT_LINES) std::printf("fault: %s\n", what.c_str());
  }
};

/* Prepares sql; an SQLite error (a table gone) is a fault. */
bool prep(sqlite3 *db, Stmt &s, const std::string &sql, Faults &f) {
  std::string err;
  if (s.prepare(db, sql.c_str(), err)) return true;
  f.add("SQLite: " + err);
  return false;
}

/* Steps s; true on a row, false at the end; an SQLite error is a fault. */
bool row(sqlite3 *db, Stmt &s, Faults &f) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) f.add(std::string("SQLite: ") + sqlite3_errmsg(db));
  return false;
}

void check_file(sqlite3 *db, Faults &f) {
  Stmt s;
  if (!prep(db, s, "PRAGMA integrity_check", f)) return;
  while (row(db, s, f))
    if (s.col_text(0) != "ok") f.add("file: " + s.col_text(0));
}

void check_metadata(sqlite3 *db, Faults &f) {
  std::string err;
  for (const std::string &fault : orvtsdb::store_faults(db, MAX_FAULT_LINES + 1, err)) f.add(fault);
  if (!err.empty()) f.add("SQLite: " + err);
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
std::string chunk_fault(const Stmt &s, orvtsdb::ChunkDecoder &dec, bool checked) {
  int64_t start = s.col_int(START), step = s.col_int(STEP), count = s.col_int(COUNT);
  if (checked && s.col_int(CHECK_HOLDS) == 0) return "the row does not match its check";
  std::string err;
  if (!dec.decode(
          orvtsdb::chunk_seed(s.col_int(SID), s.col_int(GRAPH), s.col_int(TYPE), start, step),
          s.col_blob(DATA), s.col_bytes(DATA), err))
    return err;
  if (dec.count() != count) return "the row says " + std::to_string(count) + " samples";
  if (step <= 0 || s.col_int(END) != start + (count - 1) * step) return "end time does not fit";
  if (dec.roles() != orvtsdb::role_count((int)s.col_int(TYPE)))
    return "role count does not fit its data type";
  if (s.col_int(IN_GROUP) == 0) return "no series of that id has a graph of that position";
  if (s.col_int(KNOWN_MIG) == 0)
    return "written by migration #" + std::to_string(s.col_int(MIGRATION)) +
           ", which is not recorded";
  return "";
}

/* Facts gathered from the chunk rows, by (sid, graph). */
using Gathered = std::map<std::pair<int64_t, int>, orvtsdb::SeriesFacts>;

long check_chunks(sqlite3 *db, bool checked, Gathered &gathered, Faults &f) {
  Stmt s;
  std::string sql =
      "SELECT c.rowid, c.sid, c.graph, c.data_type, c.start_time, c.step, c.count, "
      "c.end_time, c.data, EXISTS(SELECT 1 FROM series se JOIN graphs g "
      "ON g.gid = se.gid AND g.idx = c.graph WHERE se.sid = c.sid), c.migration, "
      "EXISTS(SELECT 1 FROM migrations WHERE id = c.migration)";
  sql += checked ? ", c.row_check, c.row_check IS " + orvtsdb::row_check_sql("chunks", "c.")
                 : ", 0, 1";
  sql += " FROM chunks c ORDER BY c.sid, c.graph, c.start_time";
  if (!prep(db, s, sql, f)) return 0;
  orvtsdb::ChunkDecoder dec;
  long n = 0;
  std::pair<int64_t, int> prev{-1, -1};
  int64_t prev_end = 0;
  for (; row(db, s, f); n++) {
    std::pair<int64_t, int> place{s.col_int(SID), (int)s.col_int(GRAPH)};
    std::string why = chunk_fault(s, dec, checked);
    if (why.empty() && place == prev && s.col_int(START) <= prev_end)
      why = "it shares times with the chunk before it (to " + std::to_string(prev_end) + ")";
    if (!why.empty())
      f.add("chunk " + std::to_string(s.col_int(ROWID)) + " of series " +
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
void check_facts(sqlite3 *db, Gathered &gathered, Faults &f) {
  Stmt s;
  if (!prep(db, s,
            "SELECT sid, graph, chunks, first_time, last_time, samples, value_count, rows_sum "
            "FROM series_facts ORDER BY sid, graph",
            f))
    return;
  auto fault = [&](const std::pair<int64_t, int> &p, const std::string &what) {
    f.add("facts of series " + std::to_string(p.first) + ", graph " + std::to_string(p.second) +
          ": " + what);
  };
  while (row(db, s, f)) {
    std::pair<int64_t, int> place{s.col_int(0), (int)s.col_int(1)};
    orvtsdb::SeriesFacts recorded{s.col_int(2), s.col_int(3), s.col_int(4),
                                  s.col_int(5), s.col_int(6), (uint64_t)s.col_int(7)};
    auto it = gathered.find(place);
    std::string d =
        (it == gathered.end() ? orvtsdb::SeriesFacts{} : it->second).differences(recorded);
    if (!d.empty()) fault(place, "the chunk rows give " + d);
    if (it != gathered.end()) gathered.erase(it);
  }
  for (const auto &[place, found] : gathered)
    fault(place, "none recorded for its " + std::to_string(found.chunks) + " chunk rows");
}

long check_migrations(sqlite3 *db, Faults &f) {
  Stmt s;
  if (!prep(db, s,
            "SELECT m.id, IFNULL(m.stored_samples, -1), (SELECT IFNULL(sum(count), 0) FROM "
            "chunks WHERE migration = m.id) FROM migrations m WHERE m.finished_at IS NOT NULL "
            "ORDER BY m.id",
            f))
    return 0;
  long n = 0;
  for (; row(db, s, f); n++)
    if (s.col_int(1) != s.col_int(2))
      f.add("migration #" + std::to_string(s.col_int(0)) + " stored " +
            std::to_string(s.col_int(1)) + " samples, its chunks hold " +
            std::to_string(s.col_int(2)));
  return n;
}

/* Runs the passes; returns the exit status (0 only when nothing is
 * wrong). */
int verify_store(sqlite3 *db, const std::string &path) {
  Faults f;
  int format = 0;
  std::string err;
  orvtsdb::check_format(db, err, &format);
  bool checked = format >= orvtsdb::FIRST_CHECKED_STORE_FORMAT;
  if (!checked)
    std::printf(
        "note: store format %d predates the row checks and the series' facts: its chunks are "
        "checked, its names, labels and chunk rows cannot be; the next migration into it adds "
        "them\n",
        format);
  check_file(db, f);
  check_metadata(db, f);
  Gathered gathered;
  long chunks = check_chunks(db, checked, gathered, f);
  if (checked) check_facts(db, gathered, f);
  long migrations = check_migrations(db, f);
  if (f.count > MAX_FAULT_LINES)
    std::printf("fault: ... and %ld more\n", f.count - MAX_FAULT_LINES);
  std::printf("%s: %ld chunks and %ld migrations checked, %ld fault%s\n", path.c_str(), chunks,
              migrations, f.count, f.count == 1 ? "" : "s");
  return f.count == 0 ? 0 : EXIT_FAILURE_OTHER;
}

}  // namespace

void add_verify_command(CLI::App &app) {
  auto store = std::make_shared<std::string>();
  CLI::App *cmd = add_store_command(
      app, "verify",
      "checks the file, the tables, every row's check, every chunk, the series' facts and "
      "every migration's count; exit 1 on a fault",
      *store);
  cmd->callback([store] {
    int status;
    {
      Store st(*store, false);
      status = verify_store(st.db(), st.path());
    }
    if (status != 0) {
      std::fflush(stdout);
      std::exit(status);
    }
  });
}

}  // namespace orvtsdb_cli
