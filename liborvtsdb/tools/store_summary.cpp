/*
 * store_summary.cpp - `orvtsdb info`, `groups` and `series`: what the store
 * holds, as aligned text for people or as JSON (--format json) for programs.
 * Each command gathers one JSON document and prints it one way or the other,
 * so both forms always carry the same facts.
 */
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <set>

#include "orvtsdb_command.h"
#include "selection.h"
#include "sqlite_stmt.h"
#include "store_schema.h"
#include "store_summary.h"
#include "time_text.h"
#include "value_text.h"

using orvtsdb::Stmt;

namespace orvtsdb_cli {

namespace {

int64_t scalar(sqlite3 *db, const char *sql) {
  Stmt s;
  prepare(db, s, sql);
  return row(db, s) ? s.col_int(0) : 0;
}

Json int_or_null(const Stmt &s, int col) {
  return s.col_null(col) ? Json(nullptr) : Json(s.col_int(col));
}

std::string dash_or(const Json &v) { return v.is_null() ? "-" : std::to_string(v.get<int64_t>()); }

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

void print_info_text(const Json &j) {
  std::printf("store       %s\n", j["store"].get<std::string>().c_str());
  std::printf("bytes       %lld\n", (long long)j["bytes"]);
  std::printf("migrations  %zu\n", j["migrations"].size());
  for (const Json &m : j["migrations"]) {
    std::printf(
        "  #%lld  run %s  start %s  end %s  samples %s..%s  inserts %lld  values %lld"
        "  done %s UTC\n",
        (long long)m["id"], m["run"].get<std::string>().c_str(), dash_or(m["start"]).c_str(),
        dash_or(m["end"]).c_str(), dash_or(m["first_sample"]).c_str(),
        dash_or(m["last_sample"]).c_str(), (long long)m["inserts"], (long long)m["values"],
        m["finished_at"].is_null() ? "-" : utc_text(m["finished_at"]).c_str());
    for (const Json &k : m["kept"])
      std::printf("      kept %lld series of #%lld: %s\n", (long long)k["series"],
                  (long long)k["from_migration"], k["reason"].get<std::string>().c_str());
  }
  if (j["first_time"].is_null()) {
    std::printf("time span   -\n");
  } else {
    int64_t first = j["first_time"], last = j["last_time"];
    std::printf("time span   %lld..%lld (%s .. %s UTC)\n", (long long)first, (long long)last,
                utc_text(first).c_str(), utc_text(last).c_str());
  }
  std::printf("groups      %lld\ngraphs      %lld\n", (long long)j["groups"],
              (long long)j["graphs"]);
  std::printf("series      %lld (%lld ended)\n", (long long)j["series"],
              (long long)j["ended_series"]);
  std::printf("chunks      %lld (%lld bytes of chunk data)\n", (long long)j["chunks"],
              (long long)j["chunk_bytes"]);
  std::printf("samples     %lld\nvalues      %lld\n", (long long)j["samples"],
              (long long)j["values"]);
}

void print_json(const Json &j) { std::printf("%s\n", j.dump(2).c_str()); }

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
  return j;
}

void add_info_command(CLI::App &app) {
  struct Options {
    std::string store, format;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "info", "migrations, time span, counts, bytes used",
                                    o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  cmd->callback([o] {
    Store s(o->store);
    Json j = store_facts(s.db(), s.path());
    o->format == "json" ? print_json(j) : print_info_text(j);
  });
}

void add_groups_command(CLI::App &app) {
  struct Options {
    std::string store, format;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "groups", "metric groups with their graphs and series",
                                    o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  cmd->callback([o] {
    Store st(o->store);
    Stmt s, g;
    prepare(st.db(), s,
            "SELECT gid, name, (SELECT count(*) FROM series WHERE gid = groups.gid), "
            "IFNULL(hierarchy, ''), IFNULL(metric, '') FROM groups ORDER BY gid");
    prepare(st.db(), g, "SELECT IFNULL(name, '') FROM graphs WHERE gid = ?1 ORDER BY idx");
    Json out = Json::array();
    while (row(st.db(), s)) {
      Json graphs = Json::array();
      g.bind(1, s.col_int(0));
      while (row(st.db(), g)) graphs.push_back(g.col_text(0));
      g.reset();
      out.push_back({{"gid", s.col_int(0)},
                     {"name", s.col_text(1)},
                     {"series", s.col_int(2)},
                     {"hierarchy", s.col_text(3)},
                     {"metric", s.col_text(4)},
                     {"graphs", graphs}});
    }
    if (o->format == "json") return print_json(out);
    std::printf("%-6s %-40s %6s %7s  %s\n", "gid", "group", "graphs", "series", "hierarchy");
    for (const Json &r : out)
      std::printf("%-6lld %-40s %6zu %7lld  %s\n", (long long)r["gid"],
                  r["name"].get<std::string>().c_str(), r["graphs"].size(), (long long)r["series"],
                  r["hierarchy"].get<std::string>().c_str());
  });
}

void add_series_command(CLI::App &app) {
  struct Options {
    std::string store, format;
    Selection sel;
  };
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(app, "series", "series with their tag/value lists", o->store);
  add_format_option(*cmd, o->format, {"text", "json"});
  add_selection_options(*cmd, o->sel, true);
  cmd->callback([o] {
    Store st(o->store);
    Stmt s;
    prepare(st.db(), s, "SELECT created, ended FROM series WHERE sid = ?1");
    Json out = Json::array();
    std::vector<std::string> texts;  // the stored identity text, for people
    std::set<int64_t> done;
    for (const SelectedGraph &g : select_samples(st.db(), o->sel).graphs)
      for (const SelectedSeries &ser : *g.series) {
        if (!done.insert(ser.sid).second) continue;
        s.bind(1, ser.sid);
        row(st.db(), s);
        Json tags = Json::object();
        for (const auto &[tag, value] : ser.tags) tags[tag] = value;
        out.push_back({{"sid", ser.sid},
                       {"group", g.group},
                       {"created", int_or_null(s, 0)},
                       {"ended", int_or_null(s, 1)},
                       {"labels", tags}});
        texts.push_back(ser.labels);
        s.reset();
      }
    if (o->format == "json") return print_json(out);
    std::printf("%-8s %-30s %-12s %-12s %s\n", "sid", "group", "created", "ended", "labels");
    for (size_t i = 0; i < out.size(); i++) {
      const Json &r = out[i];
      std::printf("%-8lld %-30s %-12s %-12s %s\n", (long long)r["sid"],
                  r["group"].get<std::string>().c_str(), dash_or(r["created"]).c_str(),
                  dash_or(r["ended"]).c_str(), texts[i].c_str());
    }
  });
}

}  // namespace orvtsdb_cli
