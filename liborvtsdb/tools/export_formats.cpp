/*
 * export_formats.cpp - `orvtsdb export`: samples as CSV or as OpenMetrics text.
 *
 * Both walk the same order: group (by name), graph (by position), series,
 * role, time. In OpenMetrics a family is one graph of one group, named
 * "<group>_<graph>" sanitised to [a-zA-Z_:][a-zA-Z0-9_:]* (made unique when two
 * graphs sanitise alike), typed gauge; a series is a vector's tag/value list
 * plus role="..." when the graph's data type has more than one role. So the
 * families never interleave and each series comes in time order, as the
 * format requires; time stamps are seconds, missing samples are left out and
 * "# EOF" ends the text. CSV keeps missing samples with an empty value.
 */
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "chunk_cursor.h"
#include "orvtsdb_command.h"
#include "sqlite_stmt.h"
#include "store_schema.h"

using orvtsdb::Stmt;

namespace orvtsdb_cli {

namespace {

struct Graph {
  int64_t gid;
  int idx, data_type;
  std::string group, name, description;
};

struct Series {
  int64_t sid;
  std::string labels;                                   // the stored identity text
  std::vector<std::pair<std::string, std::string>> tags;
};

bool name_char(char c, bool first, bool colon) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':') ||
         (!first && c >= '0' && c <= '9');
}

std::string sanitise(const std::string &s, bool colon) {
  std::string out;
  for (char c : s) out += name_char(c, out.empty(), colon) ? c : '_';
  if (out.empty() || !name_char(out[0], true, colon)) out.insert(0, "_");
  return out;
}

std::string escape(const std::string &s, bool quote) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '"' && quote) out += "\\\"";
    else out += c;
  }
  return out;
}

std::string csv_field(const std::string &s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

std::string number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.15g", v);  // short when that is exact
  if (std::strtod(buf, nullptr) != v) std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

void check(sqlite3 *db, bool ok, const std::string &err) {
  if (!ok) die(EXIT_FAILURE_OTHER, err.empty() ? sqlite3_errmsg(db) : err);
}

std::vector<Graph> graphs_of(sqlite3 *db, const ExportOptions &o) {
  Stmt s;
  std::string err;
  check(db, s.prepare(db,
      "SELECT g.gid, gr.idx, gr.data_type, g.name, IFNULL(gr.name, ''), "
      "IFNULL(gr.description, '') FROM graphs gr JOIN groups g ON g.gid = gr.gid "
      "WHERE (?1 = '' OR g.name = ?1) AND (?2 = '' OR gr.name = ?2) ORDER BY g.name, gr.idx",
      err), err);
  s.bind(1, o.group);
  s.bind(2, o.graph);
  std::vector<Graph> out;
  while (s.step() == SQLITE_ROW)
    out.push_back({s.col_int(0), (int)s.col_int(1), (int)s.col_int(2), s.col_text(3),
                   s.col_text(4), s.col_text(5)});
  return out;
}

std::vector<Series> series_of(sqlite3 *db, int64_t gid) {
  Stmt s, t;
  std::string err;
  check(db, s.prepare(db, "SELECT sid, labels FROM series WHERE gid = ?1 ORDER BY sid", err) &&
                t.prepare(db, "SELECT tag, value FROM series_labels WHERE sid = ?1 ORDER BY pos",
                          err), err);
  s.bind(1, gid);
  std::vector<Series> out;
  while (s.step() == SQLITE_ROW) {
    out.push_back({s.col_int(0), s.col_text(1), {}});
    t.bind(1, out.back().sid);
    while (t.step() == SQLITE_ROW) out.back().tags.emplace_back(t.col_text(0), t.col_text(1));
    t.reset();
  }
  return out;
}

/* The label set of a series, names sanitised and made unique ("role" kept
 * for the role label). */
std::string label_text(const Series &s, const char *role) {
  std::set<std::string> used = {"role"};
  std::string out;
  for (const auto &[tag, value] : s.tags) {
    std::string name = sanitise(tag, false);
    if (name.rfind("__", 0) == 0) name.insert(0, "l");
    while (!used.insert(name).second) name += "_";
    out += (out.empty() ? "" : ",") + name + "=\"" + escape(value, true) + "\"";
  }
  if (role) out += std::string(out.empty() ? "" : ",") + "role=\"" + role + "\"";
  return out;
}

class Exporter {
 public:
  Exporter(sqlite3 *db, const ExportOptions &o) : db_(db), o_(o), om_(o.format == "openmetrics") {}

  void run() {
    if (!om_) std::printf("group,graph,role,sid,labels,time,value\n");
    for (const Graph &g : graphs_of(db_, o_)) graph(g);
    if (om_) std::printf("# EOF\n");
  }

 private:
  void graph(const Graph &g) {
    int roles = std::max(1, orvtsdb::role_count(g.data_type));
    if (om_) family_header(g);
    for (const Series &s : series_of(db_, g.gid))
      for (int r = 0; r < roles; r++) {
        const char *role = orvtsdb::role_name(g.data_type, r);
        std::string head = om_ ? family_ + "{" + label_text(s, roles > 1 ? role : nullptr) + "} "
                               : csv_field(g.group) + "," + csv_field(g.name) + "," + role + "," +
                                     std::to_string(s.sid) + "," + csv_field(s.labels) + ",";
        samples(g, s.sid, r, head);
      }
  }

  void family_header(const Graph &g) {
    family_ = sanitise(g.group + "_" + g.name, true);
    if (!families_.insert(family_).second) {
      family_ += "_" + std::to_string(g.gid) + "_" + std::to_string(g.idx);
      families_.insert(family_);
    }
    std::string help = g.description.empty() ? g.group + " / " + g.name : g.description;
    std::printf("# TYPE %s gauge\n# HELP %s %s\n", family_.c_str(), family_.c_str(),
                escape(help, false).c_str());
  }

  /* Every sample of role r of one series and graph, in time order. */
  void samples(const Graph &g, int64_t sid, int r, const std::string &head) {
    orvtsdb::ChunkFilter f;
    f.sid = sid;
    f.graph = g.idx;
    f.from = o_.from;
    f.to = o_.to;
    orvtsdb::ChunkCursor c;
    std::string err;
    check(db_, c.open(db_, f, err), err);
    while (c.next(err)) {
      if (r >= c.roles()) continue;
      for (int i = 0; i < c.count(); i++) {
        int64_t t = c.time_of(i);
        double v = c.value(i, r);
        if (t < o_.from || t > o_.to || (om_ && orvtsdb::is_missing(v))) continue;
        std::string value = orvtsdb::is_missing(v) ? "" : number(v);
        if (om_)
          std::printf("%s%s %lld\n", head.c_str(), value.c_str(), (long long)t);
        else
          std::printf("%s%lld,%s\n", head.c_str(), (long long)t, value.c_str());
      }
    }
    check(db_, err.empty(), err);
  }

  sqlite3 *db_;
  const ExportOptions &o_;
  bool om_;
  std::string family_;
  std::set<std::string> families_;
};

}  // namespace

void export_samples(sqlite3 *db, const ExportOptions &opt) { Exporter(db, opt).run(); }

}  // namespace orvtsdb_cli
