/*
 * user_sql_limits.cpp - the limits of SQL a person gives (orvtsdb sql), on a
 * connection from open_store_for_reading: its time (a progress handler
 * against a deadline), the longest value it may make and the memory SQLite
 * may use, the reason a statement stopped, and the end of the opening
 * snapshot so that each statement reads one of its own. Declared in
 * internal/store_reading.h.
 */
#include <algorithm>
#include <chrono>
#include <cstdio>

#include "read_connection.h"
#include "store_reading.h"

namespace orvtsdb {

namespace {

/* When the SQL of this thread's reading connection must stop, and whether
 * it was stopped for it. */
thread_local std::chrono::steady_clock::time_point sql_deadline;
thread_local bool sql_stopped = false;

int past_deadline(void *) {
  sql_stopped = sql_stopped || std::chrono::steady_clock::now() >= sql_deadline;
  return sql_stopped ? 1 : 0;
}

std::string mib_text(int64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

}  // namespace

bool end_snapshot(sqlite3 *db, std::string &err) {
  if (sqlite3_get_autocommit(db) ||
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK)
    return true;
  err = store_name(db) + ": " + sqlite3_errmsg(db);
  return false;
}

void limit_user_sql(sqlite3 *db, const UserSqlLimits &limits) {
  // Beyond a century a time limit is none; in nanoseconds it would overflow
  // the clock and stop the SQL at once.
  double seconds = std::min(limits.timeout_s, 100 * 365.25 * 86400);
  sql_deadline = std::chrono::steady_clock::now() +
                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                     std::chrono::duration<double>(seconds));
  sql_stopped = false;
  // Checked every few thousand steps of SQLite's machine: microseconds apart.
  sqlite3_progress_handler(db, 4096, past_deadline, nullptr);
  sqlite3_limit(db, SQLITE_LIMIT_LENGTH, limits.value_bytes);
  sqlite3_soft_heap_limit64(limits.heap_bytes / 4);
  sqlite3_hard_heap_limit64(limits.heap_bytes);
}

std::chrono::steady_clock::time_point user_sql_deadline() { return sql_deadline; }

std::string stopped_text(const UserSqlLimits &limits) {
  char text[96];
  std::snprintf(text, sizeof text, "stopped after %g s, the time the SQL may take (--timeout)",
                limits.timeout_s);
  return text;
}

std::string user_sql_failure(sqlite3 *db, int rc, const UserSqlLimits &limits) {
  switch (rc & 0xff) {
    case SQLITE_INTERRUPT:
      if (sql_stopped) return stopped_text(limits);
      break;
    case SQLITE_TOOBIG:
      return "a value would be longer than " + mib_text(limits.value_bytes) +
             ", the longest a query may make";
    case SQLITE_NOMEM:
      return "the query needs more than " + mib_text(limits.heap_bytes) +
             " of memory, the most a query may use";
    case SQLITE_BUSY: return busy_text();
  }
  return sqlite3_errmsg(db);
}

}  // namespace orvtsdb
