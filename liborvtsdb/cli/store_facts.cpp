/*
 * store_facts.cpp - the facts of a store that `info` shows and the report
 * summarises: its migrations, time span, counts and bytes.
 */
#include "store_facts.h"

#include <sys/stat.h>

#include "command_kit.h"
#include "sqlite_stmt.h"
#include "store_reading.h"

using orvtsdb::Stmt;

namespace orvtsdb_cli {

namespace {

int64_t scalar(sqlite3 *db, const char *sql) {
  Stmt s;
  prepare(db, s, sql);
  return row(db, s) ? s.col_int(0) : 0;
}

Json migrations(sqlite3 *db) {
  Stmt s;
  prepare(db, s,
          "SELECT id, run, start_time, end_time, first_sample, last_sample, inserts, "
          "value_count, started_at, finished_at FROM migrations ORDER BY id");
  Json out = Json::array();
  while (row(db, s))
    out.push_back({{"id", s.col_int(0)},
                   {"run", s.col_text(1)},
                   {"start", int_or_null(s, 2)},
                   {"end", int_or_null(s, 3)},
                   {"first_sample", int_or_null(s, 4)},
                   {"last_sample", int_or_null(s, 5)},
                   {"inserts", s.col_int(6)},
                   {"values", s.col_int(7)},
                   {"started_at", int_or_null(s, 8)},
                   {"finished_at", int_or_null(s, 9)},
                   {"kept", Json::array()}});
  // What each re-migration left of earlier migrations' series, and why
  // (stores of earlier versions have no such table).
  if (scalar(db, "SELECT count(*) FROM sqlite_master WHERE name = 'kept_series'") == 0) return out;
  prepare(db, s,
          "SELECT migration, from_migration, reason, count(*) FROM kept_series "
          "GROUP BY migration, from_migration, reason ORDER BY migration, from_migration, reason");
  while (row(db, s))
    for (Json &m : out)
      if (m["id"] == s.col_int(0))
        m["kept"].push_back({{"from_migration", s.col_int(1)},
                             {"reason", s.col_text(2)},
                             {"series", s.col_int(3)}});
  return out;
}

/* The counts and span taken from the chunk rows, held against the facts of
 * the series (a store of the older format has none): a damaged row field
 * must not show as a count. */
void check_against_facts(sqlite3 *db, const std::string &path, const Json &j) {
  if (scalar(db, "SELECT count(*) FROM sqlite_schema WHERE name = 'series_facts'") == 0) return;
  Stmt s;
  prepare(db, s,
          "SELECT IFNULL(sum(chunks), 0), IFNULL(sum(samples), 0), IFNULL(sum(value_count), 0), "
          "min(first_time), max(last_time) FROM series_facts");
  row(db, s);
  Json facts = {{"chunks", s.col_int(0)},
                {"samples", s.col_int(1)},
                {"values", s.col_int(2)},
                {"first_time", int_or_null(s, 3)},
                {"last_time", int_or_null(s, 4)}};
  for (const auto &[what, recorded] : facts.items())
    if (j[what] != recorded)
      die(EXIT_FAILURE_OTHER, path + ": the store is damaged: its chunk rows give " + what + " " +
                                  j[what].dump() + ", the facts of its series record " +
                                  recorded.dump() + " (orvtsdb verify lists the damage)");
}

}  // namespace

Json store_facts(sqlite3 *db, const std::string &path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  Stmt s;
  prepare(db, s, "SELECT data_type, sum(count) FROM chunks GROUP BY data_type");
  int64_t samples = 0, values = 0;
  while (row(db, s)) {
    samples += s.col_int(1);
    values += s.col_int(1) * orvtsdb::role_count((int)s.col_int(0));
  }
  Json j = {{"store", path}, {"bytes", (int64_t)st.st_size}, {"migrations", migrations(db)}};
  j["first_time"] = samples ? Json(scalar(db, "SELECT min(start_time) FROM chunks")) : Json();
  j["last_time"] = samples ? Json(scalar(db, "SELECT max(end_time) FROM chunks")) : Json();
  j["groups"] = scalar(db, "SELECT count(*) FROM groups");
  j["graphs"] = scalar(db, "SELECT count(*) FROM graphs");
  j["series"] = scalar(db, "SELECT count(*) FROM series");
  j["ended_series"] = scalar(db, "SELECT count(*) FROM series WHERE ended IS NOT NULL");
  j["chunks"] = scalar(db, "SELECT count(*) FROM chunks");
  j["chunk_bytes"] = scalar(db, "SELECT IFNULL(sum(length(data)), 0) FROM chunks");
  j["samples"] = samples;
  j["values"] = values;
  check_against_facts(db, path, j);
  return j;
}

}  // namespace orvtsdb_cli
