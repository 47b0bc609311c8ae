/*
 * report.cpp - `orvtsdb report`: one HTML file that needs nothing but a
 * browser: the run's summary and one chart per selected graph, grouped by
 * metric group, drawn by the inlined dygraphs.
 *
 * Each chart's points travel as gzip-packed JSON (base64) in a <script>
 * element of its box; the page's script unpacks and draws the charts in view
 * first and the others while the reader looks, so the page opens at once.
 *
 * Thinning: a chart is 640 pixels wide (two side by side on a common screen)
 * and holds at most about kChartCells values, so a chart of many lines gets
 * fewer, wider columns (never fewer than 100); a graph with more time stamps
 * than two per column keeps per column each line's extremes (chart_data.h).
 * That keeps a page of a whole run a few megabytes however long the run.
 *
 * The file is written beside its final name and renamed into place, so a
 * failed report leaves no half page.
 */
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

#include "chart_data.h"
#include "command_kit.h"
#include "progress_line.h"
#include "report_page.h"
#include "selection.h"
#include "store_facts.h"
#include "store_reading.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

constexpr int kMinColumns = 100;
constexpr size_t kChartCells = 16000;

/* Columns of a chart of `lines` lines: one per pixel while two values per
 * column and line fit the chart's budget. */
int chart_columns(size_t lines) {
  size_t fit = kChartCells / (2 * std::max<size_t>(lines, 1));
  return (int)std::clamp<size_t>(fit, kMinColumns, kChartPixels);
}

struct Options {
  std::string store, output = "report.html";
  Selection sel;
};

std::string column_text(int columns) {
  int px = kChartPixels / std::max(columns, 1);
  return px <= 1 ? std::string("pixel column") : "column of " + std::to_string(px) + " pixels";
}

std::string time_cell(const Json &t) { return t.is_null() ? "-" : utc_text(t.get<int64_t>()); }

/* The tag positions whose values differ between the series: what tells the
 * lines of a chart apart. */
std::vector<size_t> varying_tags(const std::vector<SelectedSeries> &series) {
  std::vector<size_t> out;
  size_t n = 0;
  for (const SelectedSeries &s : series) n = std::max(n, s.tags.size());
  for (size_t p = 0; p < n; p++)
    for (const SelectedSeries &s : series)
      if (p >= s.tags.size() || p >= series[0].tags.size() || s.tags[p] != series[0].tags[p]) {
        out.push_back(p);
        break;
      }
  return out;
}

std::string series_label(const SelectedSeries &s, const std::vector<size_t> &varying) {
  std::string label;
  for (size_t p : varying)
    if (p < s.tags.size()) label += (label.empty() ? "" : " > ") + s.tags[p].second;
  if (label.empty() && !s.tags.empty()) label = s.tags.back().second;
  return label;
}

class Report {
 public:
  Report(sqlite3 *db, const Options &o) : db_(db), o_(o), progress_("report") {}

  /* The page's body after the summary; counts charts and missing samples. */
  std::string charts(const Selected &sel) {
    std::string out, group;
    for (size_t i = 0; i < sel.graphs.size(); i++) {
      progress_.update(i, sel.graphs.size());
      const SelectedGraph &g = sel.graphs[i];
      if (g.group != group) {
        out += std::string(group.empty() ? "" : "</div></section>\n") +
               "<section class=\"group\" id=\"group-" + std::to_string(g.gid) + "\"><h2>" +
               html(g.group) + "</h2><div class=\"charts\">\n";
        group = g.group;
        nav_ += "<a href=\"#group-" + std::to_string(g.gid) + "\">" + html(g.group) + "</a> ";
      }
      out += chart(g, i);
    }
    return out + (group.empty() ? "<p>No graph selected.</p>\n" : "</div></section>\n");
  }

  size_t chart_count = 0, samples = 0, missing = 0;
  std::string nav_;

 private:
  std::string chart(const SelectedGraph &g, size_t id) {
    std::vector<size_t> varying = varying_tags(*g.series);
    bool multi = std::max(1, orvtsdb::role_count(g.data_type)) > 1;
    std::map<std::string, int> used;
    ChartBuilder b(chart_columns(g.series->size() * g.roles.size()));
    for (const SelectedSeries &s : *g.series) {
      std::vector<int64_t> times;
      std::vector<std::vector<double>> values(g.roles.size());
      for_each_sample(db_, o_.sel, g, s.sid, [&](int64_t t, const double *v) {
        times.push_back(t);
        for (size_t k = 0; k < g.roles.size(); k++) values[k].push_back(v[g.roles[k]]);
      });
      for (size_t k = 0; k < g.roles.size(); k++) {
        std::string role = role_text(g, g.roles[k]), label = series_label(s, varying);
        if (multi) label += label.empty() ? role : " " + role;
        if (label.empty()) label = "value";
        if (used[label]++) label += " (sid " + std::to_string(s.sid) + ")";
        b.add_line({label, multi && role == "count"}, times, std::move(values[k]));
      }
    }
    ChartData c = b.build();
    chart_count++;
    samples += c.samples;
    missing += c.missing;
    std::string note = count_text((int64_t)c.samples) + " values in " +
                       std::to_string(c.lines.size()) + (c.lines.size() == 1 ? " line" : " lines") +
                       (c.thinned ? ", shown as the smallest and largest value per " +
                                        column_text(c.columns)
                                  : "") +
                       (c.missing ? ", " + count_text((int64_t)c.missing) + " missing" : "");
    return chart_box(id, g.name, g.description, note, c);
  }

  sqlite3 *db_;
  const Options &o_;
  ProgressLine progress_;
};

std::string summary(const Json &f, const Report &r) {
  std::string span = f["first_time"].is_null()
                         ? "-"
                         : time_cell(f["first_time"]) + " .. " + time_cell(f["last_time"]) + " UTC";
  std::string out = "<section id=\"summary\"><h2>Summary</h2><table class=\"facts\">";
  auto fact = [&](const std::string &k, const std::string &v) {
    out += "<tr><th>" + html(k) + "</th><td>" + html(v) + "</td></tr>";
  };
  fact("Store", f["store"]);
  fact("Time span", span);
  fact("Migrations", std::to_string(f["migrations"].size()));
  fact("Groups / graphs / series", count_text(f["groups"]) + " / " + count_text(f["graphs"]) +
                                       " / " + count_text(f["series"]) + " (" +
                                       count_text(f["ended_series"]) + " ended)");
  fact("Samples / values", count_text(f["samples"]) + " / " + count_text(f["values"]));
  fact("Charts", count_text((int64_t)r.chart_count) + " (" + count_text((int64_t)r.samples) +
                     " values, " + count_text((int64_t)r.missing) + " missing)");
  fact("Store size", count_text(f["bytes"]) + " bytes");
  out +=
      "</table><table class=\"migrations\"><tr><th>#</th><th>run</th><th>start</th><th>end</th>"
      "<th>samples</th><th>inserts</th><th>values</th><th>finished</th></tr>";
  for (const Json &m : f["migrations"])
    out += "<tr><td>" + std::to_string((int64_t)m["id"]) + "</td><td>" + html(m["run"]) +
           "</td><td>" + time_cell(m["start"]) + "</td><td>" + time_cell(m["end"]) + "</td><td>" +
           time_cell(m["first_sample"]) + " .. " + time_cell(m["last_sample"]) + "</td><td>" +
           count_text(m["inserts"]) + "</td><td>" + count_text(m["values"]) + "</td><td>" +
           time_cell(m["finished_at"]) + "</td></tr>";
  return out + "</table></section>\n";
}

void make_report(Options &o) {
  Store st(o.store);
  Selected sel = select_samples(st.db(), o.sel);
  Json facts = store_facts(st.db(), st.path());
  Report r(st.db(), o);
  std::string charts = r.charts(sel);
  std::string title = "Run report: " + st.path();
  std::string body = "<header><h1>Run report</h1><p class=\"store\">" + html(st.path()) +
                     "</p><nav>" + r.nav_ +
                     "</nav><p class=\"hint\">Drag across a chart to "
                     "zoom, double-click to zoom out; the boxes below a chart show or hide its "
                     "lines.</p></header>\n" +
                     summary(facts, r) + charts;
  write_page(o.output, title, body);
  std::printf("%s\n", o.output.c_str());
}

}  // namespace

void add_report_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "report", "one self-contained HTML page: the run's summary and a chart per graph",
      o->store);
  cmd->add_option("-o,--output", o->output, "the page to write")->capture_default_str();
  add_selection_options(*cmd, o->sel);
  cmd->callback([o] { make_report(*o); });
}

}  // namespace orvtsdb_cli
