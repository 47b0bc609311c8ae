/*
 * store_facts.cpp - the facts of a store that `info` shows and the report
 * summarises: its migrations, time span, counts and bytes.
 */
#include "store_facts.h"

#include <sys/stat.h>

#include "command_kit.h"
#include "store_reading.h"

namespace orvtsdb_cli {

namespace {

Json time_or_null(const std::optional<int64_t> &t) { return t ? Json(*t) : Json(); }

Json migrations(const std::vector<orvtsdb::MigrationEntry> &entries) {
  Json out = Json::array();
  for (const orvtsdb::MigrationEntry &m : entries) {
    Json kept = Json::array();
    for (const auto &k : m.kept)
      kept.push_back(
          {{"from_migration", k.from_migration}, {"reason", k.reason}, {"series", k.series}});
    out.push_back({{"id", m.id},
                   {"run", m.run},
                   {"start", time_or_null(m.start)},
                   {"end", time_or_null(m.end)},
                   {"first_sample", time_or_null(m.first_sample)},
                   {"last_sample", time_or_null(m.last_sample)},
                   {"inserts", m.inserts},
                   {"values", m.values},
                   {"started_at", time_or_null(m.started_at)},
                   {"finished_at", time_or_null(m.finished_at)},
                   {"kept", std::move(kept)}});
  }
  return out;
}

}  // namespace

Json store_facts(sqlite3 *db, const std::string &path) {
  orvtsdb::StoreTotals t;
  std::string err;
  if (!orvtsdb::store_totals(db, t, err)) die(EXIT_FAILURE_OTHER, err);
  struct stat st {};
  ::stat(path.c_str(), &st);
  return {{"store", path},
          {"bytes", (int64_t)st.st_size},
          {"migrations", migrations(t.migrations)},
          {"first_time", time_or_null(t.first_time)},
          {"last_time", time_or_null(t.last_time)},
          {"groups", t.groups},
          {"graphs", t.graphs},
          {"series", t.series},
          {"ended_series", t.ended_series},
          {"chunks", t.chunks},
          {"chunk_bytes", t.chunk_bytes},
          {"samples", t.samples},
          {"values", t.values}};
}

}  // namespace orvtsdb_cli
