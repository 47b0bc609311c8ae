/*
 * store_totals.cpp - store_totals() of store_reading.h: the migrations, time
 * span, counts and bytes of a store, from its tables.
 */
#include <algorithm>

#include "orvtsdb_data_roles.h"
#include "sqlite_stmt.h"
#include "store_reading.h"
#include "store_schema.h"

namespace orvtsdb {

namespace {

/* Runs one statement, row by row, into fn; false with SQLite's reason. */
template <class Fn>
bool each_row(sqlite3 *db, const char *sql, std::string &err, Fn fn) {
  Stmt s;
  if (!s.prepare(db, sql, err)) return false;
  int rc;
  while ((rc = s.step()) == SQLITE_ROW) fn(s);
  if (rc == SQLITE_DONE) return true;
  err = sqlite3_errmsg(db);
  return false;
}

/* The first column of the first row of sql (0 without a row). */
bool scalar(sqlite3 *db, const char *sql, int64_t *out, std::string &err) {
  *out = 0;
  return each_row(db, sql, err, [&](const Stmt &s) { *out = s.col_int(0); });
}

std::optional<int64_t> time_or_none(const Stmt &s, int col) {
  return s.col_null(col) ? std::nullopt : std::optional<int64_t>(s.col_int(col));
}

bool migrations(sqlite3 *db, std::vector<MigrationEntry> &out, std::string &err) {
  if (!each_row(db,
                "SELECT id, run, start_time, end_time, first_sample, last_sample, inserts, "
                "value_count, started_at, finished_at FROM migrations ORDER BY id",
                err, [&](const Stmt &s) {
                  MigrationEntry m;
                  m.id = s.col_int(0);
                  m.run = s.col_text(1);
                  m.start = time_or_none(s, 2);
                  m.end = time_or_none(s, 3);
                  m.first_sample = time_or_none(s, 4);
                  m.last_sample = time_or_none(s, 5);
                  m.inserts = s.col_int(6);
                  m.values = s.col_int(7);
                  m.started_at = time_or_none(s, 8);
                  m.finished_at = time_or_none(s, 9);
                  out.push_back(std::move(m));
                }))
    return false;
  // What each re-migration left of earlier migrations' series, and why
  // (stores of earlier versions have no such table).
  int64_t has_kept = 0;
  if (!scalar(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'kept_series'", &has_kept, err))
    return false;
  return has_kept == 0 ||
         each_row(db,
                  "SELECT migration, from_migration, reason, count(*) FROM kept_series GROUP BY "
                  "migration, from_migration, reason ORDER BY migration, from_migration, reason",
                  err, [&](const Stmt &s) {
                    for (MigrationEntry &m : out)
                      if (m.id == s.col_int(0))
                        m.kept.push_back({s.col_int(1), s.col_text(2), s.col_int(3)});
                  });
}

std::string time_text(const std::optional<int64_t> &t) { return t ? std::to_string(*t) : "null"; }

/* The counts and span taken from the chunk rows against the facts of the
 * series (the store has them): "" when they agree, else what differs.
 * rows_sum: the chunk rows' checks summed modulo 2^64, as the facts sum
 * them: a row read other than it was written (a damaged length in its
 * record shifts what follows) reads another check. */
bool facts_differ(sqlite3 *db, const StoreTotals &t, uint64_t rows_sum, std::string *what,
                  std::string &err) {
  uint64_t facts_sum = 0;
  auto differs = [&](const char *name, const std::string &rows, const std::string &facts) {
    if (what->empty() && rows != facts)
      *what = std::string("its chunk rows give ") + name + " " + rows +
              ", the facts of its series record " + facts;
  };
  if (!each_row(db,
                "SELECT IFNULL(sum(chunks), 0), IFNULL(sum(samples), 0), "
                "IFNULL(sum(value_count), 0), min(first_time), max(last_time) FROM series_facts",
                err,
                [&](const Stmt &s) {
                  differs("chunks", std::to_string(t.chunks), std::to_string(s.col_int(0)));
                  differs("samples", std::to_string(t.samples), std::to_string(s.col_int(1)));
                  differs("values", std::to_string(t.values), std::to_string(s.col_int(2)));
                  differs("first_time", time_text(t.first_time), time_text(time_or_none(s, 3)));
                  differs("last_time", time_text(t.last_time), time_text(time_or_none(s, 4)));
                }) ||
      !each_row(db, "SELECT rows_sum FROM series_facts", err,
                [&](const Stmt &s) { facts_sum += (uint64_t)s.col_int(0); }))
    return false;
  differs("checks summing to", std::to_string(rows_sum), std::to_string(facts_sum));
  return true;
}

}  // namespace

bool store_totals(sqlite3 *db, StoreTotals &t, std::string &err) {
  t = StoreTotals{};
  // A store of the format before the checks has neither the rows' checks
  // nor the facts: nothing to hold its totals against.
  bool facts = has_table(db, "series_facts");
  uint64_t rows_sum = 0;
  std::string differs;  // what shows the store damaged
  // Every chunk row's part in one pass: a store of many runs has many rows.
  bool ok = each_row(
                db,
                facts ? "SELECT data_type, count, start_time, end_time, row_check, "
                        "length(data) FROM chunks"
                      : "SELECT data_type, count, start_time, end_time, 0, length(data) "
                        "FROM chunks",
                err,
                [&](const Stmt &s) {
                  int64_t count = s.col_int(1), first = s.col_int(2), last = s.col_int(3);
                  bool integers = s.col_is_int(0) && s.col_is_int(1) && s.col_is_int(2) &&
                                  s.col_is_int(3) && s.col_is_int(4);
                  if (!integers && differs.empty())
                    differs = "a chunk row holds a field that is not an integer";
                  t.first_time = t.first_time ? std::min(*t.first_time, first) : first;
                  t.last_time = t.last_time ? std::max(*t.last_time, last) : last;
                  t.chunks++;
                  int64_t values = 0;
                  if ((__builtin_add_overflow(t.samples, count, &t.samples) ||
                       __builtin_mul_overflow(count, orv_role_count((int)s.col_int(0)), &values) ||
                       __builtin_add_overflow(t.values, values, &t.values)) &&
                      differs.empty())
                    differs = "its chunk rows' sample counts add up past 2^63";
                  rows_sum += (uint64_t)s.col_int(4);
                  t.chunk_bytes += s.col_int(5);
                }) &&
            migrations(db, t.migrations, err) &&
            scalar(db, "SELECT count(*) FROM groups", &t.groups, err) &&
            scalar(db, "SELECT count(*) FROM graphs", &t.graphs, err) &&
            scalar(db, "SELECT count(*) FROM series", &t.series, err) &&
            scalar(db, "SELECT count(*) FROM series WHERE ended IS NOT NULL", &t.ended_series, err);
  if (t.samples == 0) t.first_time = t.last_time = std::nullopt;  // rows without a sample
  if (ok && differs.empty() && facts) ok = facts_differ(db, t, rows_sum, &differs, err);
  if (ok && differs.empty()) return true;
  err = store_name(db) + ": " +
        (differs.empty()
             ? err
             : "the store is damaged: " + differs + " (orvtsdb verify lists the damage)");
  return false;
}

}  // namespace orvtsdb
