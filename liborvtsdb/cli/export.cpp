/*
 * export.cpp - `orvtsdb export`: the selected samples as CSV, as
 * OpenMetrics text or as JSON.
 *
 * All three walk the same order: group (by name), graph (by position),
 * series, role, time; each series of a graph is read once and then written
 * role by role.
 *
 * CSV: header "group,graph,role,sid,<one column per tag>,time,value", tag
 * columns in the order they first appear, a field empty where a series has
 * no such tag and where a sample is missing; fields quoted as RFC 4180 says,
 * lines ended by LF (as Unix tools expect; readers of RFC 4180 accept it).
 *
 * OpenMetrics: a family is one graph of one group, named "<group>_<graph>"
 * sanitised to [a-zA-Z_:][a-zA-Z0-9_:]* (made unique when two graphs
 * sanitise alike), typed gauge; a series is a vector's tag/value list plus
 * role="..." when the graph's data type has more than one role. Families
 * never interleave and each series comes in time order, as the format
 * requires; time stamps are seconds, missing samples are left out and
 * "# EOF" ends the text.
 *
 * JSON: an array with one object per series, graph and role:
 * {"group","graph","role","sid","labels":{tag: value},"points":[[time, value]]},
 * value null for a missing sample.
 *
 * A line on standard error ends the export: the samples and values written
 * (as `info` counts them), the series, and the span of their times.
 *
 * JSON lines (jsonl): the same objects, one a line and nothing around them,
 * so a reader takes one series at a time instead of parsing the whole
 * export as one document.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <set>

#include "command_kit.h"
#include "progress_line.h"
#include "remote/remote_write_labels.h"
#include "selection.h"
#include "store_reading.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

using orvtsdb::sanitise;

namespace {

struct Options {
  std::string store, format;
  Selection sel;
};

/* The samples of one series in one graph: times and one column per role. */
struct Samples {
  std::vector<int64_t> times;
  std::vector<std::vector<double>> roles;
};

std::string escape(const std::string &text, bool quote) {
  std::string out;
  for (char c : shown_text(text)) {  // the text format is UTF-8 only
    if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '"' && quote)
      out += "\\\"";
    else
      out += c;
  }
  return out;
}

/* The OpenMetrics label set of a series, names sanitised and made unique
 * ("role" kept for the role label). */
std::string label_text(const SelectedSeries &s, const char *role) {
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
  Exporter(sqlite3 *db, Options &o) : db_(db), o_(o), progress_("export") {}

  void run() {
    Selected sel = select_samples(db_, o_.sel);
    if (o_.format == "csv") csv_header(sel);
    if (o_.format == "json") out_.text() += "[";
    for (size_t i = 0; i < sel.graphs.size(); i++) {
      progress_.update(i, sel.graphs.size());
      graph(sel.graphs[i]);
    }
    if (o_.format == "json") out_.text() += first_ ? "]\n" : "\n]\n";
    if (o_.format == "openmetrics") out_.text() += "# EOF\n";
    out_.flush();
    std::fprintf(stderr, "export: %lld samples (%lld values) of %zu series, %s\n",
                 (long long)samples_, (long long)values_, series_.size(),
                 time_range_text(first_time_, last_time_).c_str());
  }

 private:
  void csv_header(const Selected &sel) {
    out_.text() += "group,graph,role,sid";
    for (const SelectedGraph &g : sel.graphs)
      for (const SelectedSeries &s : *g.series)
        for (const auto &tv : s.tags)
          if (std::find(tags_.begin(), tags_.end(), tv.first) == tags_.end()) {
            tags_.push_back(tv.first);
            out_.text() += "," + csv_field(tv.first);
          }
    out_.text() += ",time,value\n";
  }

  void graph(const SelectedGraph &g) {
    if (o_.format == "openmetrics") family_header(g);
    for (const SelectedSeries &s : *g.series) {
      Samples smp = read(g, s.sid);
      for (int r : g.roles) {
        if (o_.format == "csv") csv(g, s, r, smp);
        if (o_.format == "openmetrics") openmetrics(g, s, r, smp);
        if (o_.format == "json" || o_.format == "jsonl") json(g, s, r, smp);
      }
    }
  }

  Samples read(const SelectedGraph &g, int64_t sid) {
    Samples smp;
    smp.roles.resize(g.roles.size());
    for_each_sample(db_, o_.sel, g, sid, [&](int64_t t, const double *v) {
      smp.times.push_back(t);
      for (size_t k = 0; k < g.roles.size(); k++) smp.roles[k].push_back(v[g.roles[k]]);
    });
    if (!smp.times.empty()) {
      series_.insert(sid);
      first_time_ = std::min(first_time_, smp.times.front());
      last_time_ = std::max(last_time_, smp.times.back());
      samples_ += (int64_t)smp.times.size();
      values_ += (int64_t)(smp.times.size() * g.roles.size());
    }
    return smp;
  }

  const std::vector<double> &column(const SelectedGraph &g, int r, const Samples &smp) {
    return smp.roles[std::find(g.roles.begin(), g.roles.end(), r) - g.roles.begin()];
  }

  void csv(const SelectedGraph &g, const SelectedSeries &s, int r, const Samples &smp) {
    std::string head = csv_field(g.group) + "," + csv_field(g.name) + "," + role_text(g, r) + "," +
                       std::to_string(s.sid);
    for (const std::string &tag : tags_) {
      head += ",";
      for (const auto &tv : s.tags)
        if (tv.first == tag) {
          head += csv_field(tv.second);
          break;
        }
    }
    head += ",";
    const std::vector<double> &v = column(g, r, smp);
    for (size_t i = 0; i < v.size(); i++) {
      std::string &t = out_.text();
      t += head;
      t += std::to_string(smp.times[i]);
      t += ',';
      if (!orvtsdb::is_missing(v[i])) append_number(t, v[i]);
      t += '\n';
      out_.maybe_flush();
    }
  }

  void family_header(const SelectedGraph &g) {
    family_ = sanitise(g.group + "_" + g.name, true);
    if (!families_.insert(family_).second) {
      family_ += "_" + std::to_string(g.gid) + "_" + std::to_string(g.idx);
      families_.insert(family_);
    }
    std::string help = g.description.empty() ? g.group + " / " + g.name : g.description;
    out_.text() += "# TYPE " + family_ + " gauge\n# HELP " + family_ + " " + escape(help, false) +
                   "\n";
  }

  void openmetrics(const SelectedGraph &g, const SelectedSeries &s, int r, const Samples &smp) {
    bool multi = std::max(1, orvtsdb::role_count(g.data_type)) > 1;
    std::string head = family_ + "{" + label_text(s, multi ? role_text(g, r) : nullptr) + "} ";
    const std::vector<double> &v = column(g, r, smp);
    for (size_t i = 0; i < v.size(); i++) {
      if (orvtsdb::is_missing(v[i])) continue;
      std::string &t = out_.text();
      t += head;
      append_number(t, v[i]);
      t += ' ';
      t += std::to_string(smp.times[i]);
      t += '\n';
      out_.maybe_flush();
    }
  }

  void json(const SelectedGraph &g, const SelectedSeries &s, int r, const Samples &smp) {
    Json labels = Json::object();
    for (const auto &[tag, value] : s.tags) labels[tag] = value;
    Json points = Json::array();
    const std::vector<double> &v = column(g, r, smp);
    for (size_t i = 0; i < v.size(); i++) points.push_back({smp.times[i], json_value(v[i])});
    Json j = {{"group", g.group}, {"graph", g.name},  {"role", role_text(g, r)},
              {"sid", s.sid},     {"labels", labels}, {"points", std::move(points)}};
    if (o_.format == "jsonl")
      out_.text() += json_dump(j) + "\n";
    else
      out_.text() += (first_ ? "\n" : ",\n") + json_dump(j);
    first_ = false;
    out_.maybe_flush();
  }

  sqlite3 *db_;
  Options &o_;
  ProgressLine progress_;
  OutBuffer out_;
  std::vector<std::string> tags_;
  std::string family_;
  std::set<std::string> families_;
  bool first_ = true;
  // What was read, for the closing line (select_samples made sure of a sample).
  std::set<int64_t> series_;
  int64_t samples_ = 0, values_ = 0;
  int64_t first_time_ = INT64_MAX, last_time_ = INT64_MIN;
};

}  // namespace

void add_export_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "export",
      "selected samples to standard output, one line per series, graph, role "
      "and time stamp",
      o->store);
  cmd->add_option("--format", o->format,
                  "csv, openmetrics, json (one document) or jsonl (one series a line)")
      ->required()
      ->check(CLI::IsMember({"csv", "openmetrics", "json", "jsonl"}));
  add_selection_options(*cmd, o->sel);
  cmd->callback([o] {
    Store st(o->store);
    Exporter(st.db(), *o).run();
  });
}

}  // namespace orvtsdb_cli
