/*
 * verify.cpp - `orvtsdb verify`: is everything in the store what was
 * written?
 *
 * Three passes, each fault one line on standard output:
 *   1. SQLite's integrity check of the file (pages, indexes);
 *   2. every chunk row: decoded (checksum bound to its row), its sample count
 *      and end time as the row says, its graph known to its series' group
 *      and its role count that of its data type;
 *   3. every migration's stored_samples against the chunks it still owns, so
 *      a lost or extra chunk row shows.
 * A summary line follows; the exit status is 0 only when nothing was found.
 */
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "chunk_codec.h"
#include "command_kit.h"
#include "sqlite_stmt.h"
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

/* Steps s; true on a row, false at the end; an SQLite error is a fault. */
bool row(sqlite3 *db, Stmt &s, Faults &f) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) f.add(std::string("SQLite: ") + sqlite3_errmsg(db));
  return false;
}

void check_file(sqlite3 *db, Faults &f) {
  Stmt s;
  prepare(db, s, "PRAGMA integrity_check");
  while (row(db, s, f))
    if (s.col_text(0) != "ok") f.add("file: " + s.col_text(0));
}

/* One chunk row: rowid, sid, graph, data_type, start, step, count,
 * end_time, data, whether its graph is one of its series' group. */
std::string chunk_fault(const Stmt &s, orvtsdb::ChunkDecoder &dec) {
  int64_t start = s.col_int(4), step = s.col_int(5), count = s.col_int(6);
  std::string err;
  if (!dec.decode(orvtsdb::chunk_seed(s.col_int(1), s.col_int(2), s.col_int(3), start, step),
                  s.col_blob(8), s.col_bytes(8), err))
    return err;
  if (dec.count() != count) return "the row says " + std::to_string(count) + " samples";
  if (step <= 0 || s.col_int(7) != start + (count - 1) * step) return "end time does not fit";
  if (dec.roles() != orvtsdb::role_count((int)s.col_int(3)))
    return "role count does not fit its data type";
  if (s.col_int(9) == 0) return "graph not in its series' group";
  return "";
}

long check_chunks(sqlite3 *db, Faults &f) {
  Stmt s;
  prepare(db, s,
          "SELECT c.rowid, c.sid, c.graph, c.data_type, c.start_time, c.step, c.count, "
          "c.end_time, c.data, EXISTS(SELECT 1 FROM series se JOIN graphs g "
          "ON g.gid = se.gid AND g.idx = c.graph WHERE se.sid = c.sid) FROM chunks c "
          "ORDER BY c.sid, c.graph, c.start_time");
  orvtsdb::ChunkDecoder dec;
  long n = 0;
  for (; row(db, s, f); n++) {
    std::string why = chunk_fault(s, dec);
    if (!why.empty())
      f.add("chunk " + std::to_string(s.col_int(0)) + " of series " + std::to_string(s.col_int(1)) +
            ", graph " + std::to_string(s.col_int(2)) + ", time " + std::to_string(s.col_int(4)) +
            ".." + std::to_string(s.col_int(7)) + ": " + why);
  }
  return n;
}

long check_migrations(sqlite3 *db, Faults &f) {
  Stmt s;
  prepare(db, s,
          "SELECT m.id, IFNULL(m.stored_samples, -1), (SELECT IFNULL(sum(count), 0) FROM "
          "chunks WHERE migration = m.id) FROM migrations m WHERE m.finished_at IS NOT NULL "
          "ORDER BY m.id");
  long n = 0;
  for (; row(db, s, f); n++)
    if (s.col_int(1) != s.col_int(2))
      f.add("migration #" + std::to_string(s.col_int(0)) + " stored " +
            std::to_string(s.col_int(1)) + " samples, its chunks hold " +
            std::to_string(s.col_int(2)));
  return n;
}

/* Runs the three passes; returns the exit status (0 only when nothing is
 * wrong). */
int verify_store(sqlite3 *db, const std::string &path) {
  Faults f;
  check_file(db, f);
  long chunks = check_chunks(db, f);
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
      app, "verify", "checks the file, every chunk and every migration's count; exit 1 on a fault",
      *store);
  cmd->callback([store] {
    int status;
    {
      Store st(*store);
      status = verify_store(st.db(), st.path());
    }
    if (status != 0) {
      std::fflush(stdout);
      std::exit(status);
    }
  });
}

}  // namespace orvtsdb_cli
