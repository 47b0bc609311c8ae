/*
 * store_summary.cpp - `orvtsdb info`, `groups`, `series` and `sql`: what the
 * store holds, as aligned text for people (sql: "|"-separated rows with a
 * header line, NULL as an empty field).
 */
#include <sys/stat.h>

#include <cstdio>
#include <ctime>

#include "orvtsdb_command.h"
#include "sqlite_stmt.h"
#include "store_schema.h"

using orvtsdb::Stmt;

namespace orvtsdb_cli {

namespace {

void prepare(sqlite3 *db, Stmt &s, const char *sql) {
  std::string err;
  if (!s.prepare(db, sql, err)) die(EXIT_FAILURE_OTHER, err);
}

/* Steps a statement; SQLITE_ROW or false at the end; dies on an error. */
bool row(sqlite3 *db, Stmt &s) {
  int rc = s.step();
  if (rc == SQLITE_ROW) return true;
  if (rc != SQLITE_DONE) die(EXIT_FAILURE_OTHER, sqlite3_errmsg(db));
  return false;
}

int64_t scalar(sqlite3 *db, const char *sql) {
  Stmt s;
  prepare(db, s, sql);
  return row(db, s) ? s.col_int(0) : 0;
}

std::string utc(int64_t t) {
  time_t tt = (time_t)t;
  struct tm tm;
  char buf[32];
  if (!gmtime_r(&tt, &tm) || !strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm)) return "?";
  return buf;
}

std::string time_or_dash(const Stmt &s, int col) {
  return s.col_null(col) ? "-" : std::to_string(s.col_int(col));
}

void print_migrations(sqlite3 *db) {
  Stmt s;
  prepare(db, s,
          "SELECT id, run, start_time, end_time, first_sample, last_sample, inserts, "
          "value_count, finished_at FROM migrations ORDER BY id");
  while (row(db, s))
    std::printf("  #%lld  run %s  start %s  end %s  samples %s..%s  inserts %lld  values %lld"
                "  done %s UTC\n",
                (long long)s.col_int(0), s.col_text(1).c_str(), time_or_dash(s, 2).c_str(),
                time_or_dash(s, 3).c_str(), time_or_dash(s, 4).c_str(),
                time_or_dash(s, 5).c_str(), (long long)s.col_int(6), (long long)s.col_int(7),
                utc(s.col_int(8)).c_str());
}

/* Samples (series x graph x time) and values (x roles) of all chunks. */
void count_samples(sqlite3 *db, int64_t &samples, int64_t &values) {
  Stmt s;
  prepare(db, s, "SELECT data_type, sum(count) FROM chunks GROUP BY data_type");
  samples = values = 0;
  while (row(db, s)) {
    samples += s.col_int(1);
    values += s.col_int(1) * orvtsdb::role_count((int)s.col_int(0));
  }
}

}  // namespace

void print_info(sqlite3 *db, const std::string &path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  int64_t samples, values;
  count_samples(db, samples, values);
  std::printf("store       %s\n", path.c_str());
  std::printf("bytes       %lld\n", (long long)st.st_size);
  std::printf("migrations  %lld\n", (long long)scalar(db, "SELECT count(*) FROM migrations"));
  print_migrations(db);
  if (samples > 0) {
    int64_t first = scalar(db, "SELECT min(start_time) FROM chunks");
    int64_t last = scalar(db, "SELECT max(end_time) FROM chunks");
    std::printf("time span   %lld..%lld (%s .. %s UTC)\n", (long long)first, (long long)last,
                utc(first).c_str(), utc(last).c_str());
  } else {
    std::printf("time span   -\n");
  }
  std::printf("groups      %lld\n", (long long)scalar(db, "SELECT count(*) FROM groups"));
  std::printf("graphs      %lld\n", (long long)scalar(db, "SELECT count(*) FROM graphs"));
  std::printf("series      %lld (%lld ended)\n",
              (long long)scalar(db, "SELECT count(*) FROM series"),
              (long long)scalar(db, "SELECT count(*) FROM series WHERE ended IS NOT NULL"));
  std::printf("chunks      %lld (%lld bytes of chunk data)\n",
              (long long)scalar(db, "SELECT count(*) FROM chunks"),
              (long long)scalar(db, "SELECT IFNULL(sum(length(data)), 0) FROM chunks"));
  std::printf("samples     %lld\n", (long long)samples);
  std::printf("values      %lld\n", (long long)values);
}

void print_groups(sqlite3 *db) {
  Stmt s;
  prepare(db, s,
          "SELECT g.gid, g.name, (SELECT count(*) FROM graphs WHERE gid = g.gid), "
          "(SELECT count(*) FROM series WHERE gid = g.gid), IFNULL(g.hierarchy, '') "
          "FROM groups g ORDER BY g.gid");
  std::printf("%-6s %-40s %6s %7s  %s\n", "gid", "group", "graphs", "series", "hierarchy");
  while (row(db, s))
    std::printf("%-6lld %-40s %6lld %7lld  %s\n", (long long)s.col_int(0),
                s.col_text(1).c_str(), (long long)s.col_int(2), (long long)s.col_int(3),
                s.col_text(4).c_str());
}

void print_series(sqlite3 *db, const std::string &group) {
  Stmt s;
  prepare(db, s,
          "SELECT s.sid, g.name, s.labels, s.created, s.ended FROM series s "
          "JOIN groups g ON g.gid = s.gid WHERE ?1 = '' OR g.name = ?1 ORDER BY s.sid");
  s.bind(1, group);
  std::printf("%-8s %-30s %-12s %-12s %s\n", "sid", "group", "created", "ended", "labels");
  while (row(db, s))
    std::printf("%-8lld %-30s %-12s %-12s %s\n", (long long)s.col_int(0), s.col_text(1).c_str(),
                time_or_dash(s, 3).c_str(), time_or_dash(s, 4).c_str(), s.col_text(2).c_str());
}

void run_sql(sqlite3 *db, const std::string &sql) {
  const char *tail = sql.c_str();
  while (*tail) {
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, tail, -1, &raw, &tail) != SQLITE_OK)
      die(EXIT_FAILURE_OTHER, std::string("sql: ") + sqlite3_errmsg(db));
    if (!raw) continue;  // blank or comment
    int n = sqlite3_column_count(raw);
    for (int i = 0; i < n; i++) std::printf("%s%s", i ? "|" : "", sqlite3_column_name(raw, i));
    if (n) std::printf("\n");
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
      for (int i = 0; i < n; i++) {
        const unsigned char *t = sqlite3_column_text(raw, i);
        std::printf("%s%s", i ? "|" : "", t ? reinterpret_cast<const char *>(t) : "");
      }
      std::printf("\n");
    }
    std::string err = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
    sqlite3_finalize(raw);
    if (!err.empty()) die(EXIT_FAILURE_OTHER, "sql: " + err);
  }
}

}  // namespace orvtsdb_cli
