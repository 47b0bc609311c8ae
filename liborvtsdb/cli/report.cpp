/*
 * report.cpp - `orvtsdb report`: one HTML file that needs nothing but a
 * browser. What an analyst opens it for comes first: the run (number, work
 * folder, start, duration, partitions, and the window and selection when
 * the page covers less than the whole run), the verdict (total throughput,
 * peak users, error rate where the run counts errors, and each target of
 * --targets met or missed), a table per transaction (count, rate over the
 * window's duration, count-weighted mean and percentiles of the interval
 * averages, max), worst first, then the same for graphs that count errors or
 * failures when the run has any. The page defines each column. The charts follow, one per selected graph: transactions, then the
 * users and throughput, then servers and hosts, then the rest, as the stored
 * group names and hierarchies say; a table of contents stays at the side.
 *
 * Each chart's points travel as gzip-packed JSON (base64) in <script>
 * elements of its box; the page's script draws a chart when it comes into
 * view. A chart shows its ten top lines at first (the rest one click away in
 * a searchable legend). Its first view is thinned to the extremes of each
 * line per pixel column (chart_data.h); the page also carries every stored
 * sample in time slices, which the script swaps in for the window a reader
 * zooms into, so a zoom shows full resolution.
 *
 * The file is written beside its final name and renamed into place, so a
 * failed report leaves no half page.
 */
#include <dirent.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include "chart_data.h"
#include "command_line.h"
#include "graph_places.h"
#include "interval_values.h"
#include "orvtsdb.h"
#include "orvtsdb_data_roles.h"
#include "orvtsdb_data_types.h"
#include "output_file.h"
#include "progress_line.h"
#include "report_page.h"
#include "run_folder.h"
#include "run_statistics.h"
#include "selection.h"
#include "store_facts.h"
#include "store_reading.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

using orvtsdb::counts_errors;
using orvtsdb::kLoad;
using orvtsdb::kPlaceTitle;
using orvtsdb::kTransactions;
using orvtsdb::mentions;
using orvtsdb::Place;
using orvtsdb::place_of;

namespace {

constexpr int kMinColumns = 100;
constexpr size_t kChartCells = 16000;
/* Every sample of thinned charts (for zooming) may add this share of the
 * thinned charts' own bytes to the page, or kDetailFloor bytes when that is
 * more; charts get theirs in page order while it lasts, so the transactions
 * first. A page of a whole long run cannot carry all its samples (the
 * medium sample run's are some 70 MB packed). */
constexpr double kDetailShare = 0.4;
constexpr double kDetailFloor = 2e6;
/* Cells per time slice of the samples: a zoom unpacks only the slices of
 * its window. */
constexpr size_t kSliceCells = 20000;

/* Columns of a chart of `lines` lines: one per pixel while two values per
 * column and line fit the chart's budget. */
int chart_columns(size_t lines) {
  size_t fit = kChartCells / (2 * std::max<size_t>(lines, 1));
  return (int)std::clamp<size_t>(fit, kMinColumns, kChartPixels);
}

struct Options {
  std::string store, output = "report.html", targets;
  Selection sel;
};

/* One line of --targets: "Login p95 < 2.5s". */
struct Target {
  std::string line, transaction, stat, op;
  double value = 0;
  std::string unit;  // "s", "ms" or "" (the graph's own unit)
};

const char *const kTargetStats = "mean|p50|p90|p95|p99|max|rate|count";

/* Whether `unit` as a target gives it fits statistic `stat`: s or ms for a
 * time (mean, pNN, max), /s for rate, none for count; or none at all. */
bool unit_fits(const std::string &stat, const std::string &unit) {
  if (unit.empty()) return true;
  if (stat == "rate") return unit == "/s";
  return stat != "count" && unit != "/s";
}

/* Reads the targets file: one target a line, blank lines and # comments
 * skipped. A line it cannot read, or whose unit does not fit its statistic,
 * is a usage error naming it. */
std::vector<Target> read_targets(const std::string &path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    die(EXIT_FAILURE_OTHER, "cannot read " + path + ": it is a folder");
  std::ifstream in(path);
  if (!in) die(EXIT_FAILURE_OTHER, "cannot read " + path + ": " + std::strerror(errno));
  static const std::regex re(std::string("^\\s*(.+?)\\s+(") + kTargetStats +
                             ")\\s*(<=|<|>=|>)\\s*([0-9]*\\.?[0-9]+)\\s*(ms|s|/s)?\\s*$");
  std::vector<Target> out;
  std::string line;
  for (int n = 1; std::getline(in, line); n++) {
    if (line.find_first_not_of(" \t\r") == std::string::npos ||
        line[line.find_first_not_of(" \t")] == '#')
      continue;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::smatch m;
    if (!std::regex_match(line, m, re))
      die(EXIT_USAGE, path + ":" + std::to_string(n) + ": '" + line +
                          "' is no target such as 'Login p95 < 2.5s' (statistics: " + kTargetStats +
                          ")");
    if (!unit_fits(m[2], m[5]))
      die(EXIT_USAGE,
          path + ":" + std::to_string(n) + ": '" + line + "' gives " + m[2].str() + " in " +
              m[5].str() +
              ": mean, p50, p90, p95, p99 and max take s or ms, rate /s, count no unit");
    out.push_back({line, m[1], m[2], m[3], std::stod(m[4]), m[5] == "/s" ? "" : m[5].str()});
  }
  if (in.bad()) die(EXIT_FAILURE_OTHER, "cannot read " + path + ": " + std::strerror(errno));
  return out;
}

std::string column_text(int columns) {
  int px = kChartPixels / std::max(columns, 1);
  return px <= 1 ? std::string("pixel column") : "column of " + std::to_string(px) + " pixels";
}

std::string time_cell(const Json &t) { return t.is_null() ? "-" : utc_text(t.get<int64_t>()); }

/* Sets the roles a reader shows as absent (interval_values.h: the avg,
 * min, max and spread of an interval in which nothing finished) to the
 * missing marker, so the chart leaves them out. */
void leave_out_absent_roles(int data_type, double *v) {
  for (int r = 0; r < orv_role_count(data_type); r++)
    if (orvtsdb::reads_as_absent(data_type, r, v)) v[r] = TSDB_MISSING_VALUE;
}

/* The unit a graph's name ends with: "(ms)" gives "ms", "(Pct)" "%"; ""
 * without one. */
std::string unit_of(const std::string &name) {
  size_t open = name.rfind('('), close = name.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) return "";
  std::string unit = name.substr(open + 1, close - open - 1);
  return unit == "Pct" ? "%" : unit;
}

/* The y axis title of a graph: its unit ("ms", "per second"), else its
 * name (short enough to fit beside the chart). */
std::string axis_title(const std::string &name) {
  if (std::string unit = unit_of(name); !unit.empty()) return unit;
  if (name.find("/Sec") != std::string::npos) return "per second";
  if (name.find("/Min") != std::string::npos) return "per minute";
  if (name.size() <= 30) return name;
  size_t cut = 28;
  while (cut > 0 && ((unsigned char)name[cut] & 0xC0) == 0x80) cut--;  // not inside a character
  return name.substr(0, cut) + "...";
}

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

/* One row of a first-screen table: a series of a graph and what the run
 * says of it. count and rate only for a times graph. */
struct VerdictRow {
  std::string label, line;  // the series, and its line in the chart
  double count = 0, rate = 0;
  double by_time = 0;  // not a times graph: the sum of its values times their steps
  bool timed = false;  // rate measured: the page covers some time (Report::charts sets it)
  MetricStats stats;
};

/* A first-screen table: the series of one graph. */
struct VerdictTable {
  std::string title, unit;
  bool times = false;
  double rate_unit = 0;  // SelectedGraph's
  size_t chart = 0;
  std::vector<VerdictRow> rows;
};

/* What one series of a graph says, read in the same pass as its chart:
 * weighted by count for a times graph (an interval without count has no
 * response time), every interval alike otherwise. */
class SeriesTally {
 public:
  explicit SeriesTally(bool times) : times_(times) {}
  /* step: the seconds the sample covers. */
  void add(int64_t t, int64_t step, const double *v) {
    if (times_) {
      if (orvtsdb::is_missing(v[0]) || orvtsdb::is_missing(v[3])) return;
      count_ += v[3];
      series_.add(t, v[0], v[3], orvtsdb::is_missing(v[2]) ? v[0] : v[2]);
    } else if (!orvtsdb::is_missing(v[0])) {
      series_.add(t, v[0], 1, v[0]);
      by_time_ += v[0] * (double)step;
    }
  }
  VerdictRow row(const std::string &label, const std::string &line) const {
    VerdictRow r;
    r.label = label, r.line = line;
    r.stats = series_.stats();
    r.by_time = by_time_;
    if (times_) r.count = count_;
    return r;
  }

 private:
  bool times_;
  double by_time_ = 0;  // sum of value x step
  MetricSeries series_;
  double count_ = 0;
};

/* The users graph's peak: the largest sum over its series at one time. */
struct PeakUsers {
  std::string graph;
  std::map<int64_t, double> total;
  double peak() const {
    double p = 0;
    for (const auto &[t, v] : total) p = std::max(p, v);
    return p;
  }
};

class Report {
 public:
  Report(sqlite3 *db, const Options &o) : db_(db), o_(o), progress_("report") {}

  /* The charts, in the order of their places; fills the tables of the
   * first screen and the table of contents on the way, and the window its
   * samples cover, the rates of the tables over it. */
  std::string charts(std::vector<SelectedGraph> graphs) {
    std::vector<orvtsdb::GroupEntry> groups;
    std::string err;
    if (!orvtsdb::list_groups(db_, groups, err)) die_reading(db_, err);
    std::map<int64_t, Place> place;
    for (const orvtsdb::GroupEntry &g : groups) place[g.gid] = place_of(g);
    std::stable_sort(graphs.begin(), graphs.end(),
                     [&](const SelectedGraph &a, const SelectedGraph &b) {
                       return std::pair(place[a.gid], a.gid) < std::pair(place[b.gid], b.gid);
                     });
    std::set<int64_t> table_groups;  // transaction groups that have their table
    std::vector<Built> built(graphs.size());
    std::vector<size_t> group_starts;  // charts that open a group's section
    int64_t group = -1;
    int shown_place = -1;
    for (size_t i = 0; i < graphs.size(); i++) {
      progress_.update(i, graphs.size());
      const SelectedGraph &g = graphs[i];
      if (g.gid != group) {
        group_starts.push_back(i);
        if (place[g.gid] != shown_place) {
          shown_place = place[g.gid];
          toc_ += std::string(toc_.empty() ? "" : "</ul>") + "<h4>" + kPlaceTitle[shown_place] +
                  "</h4><ul>";
        }
        std::string anchor = "group-" + std::to_string(g.gid);
        built[i].head = "<section class=\"group\" id=\"" + anchor + "\" data-place=\"" +
                        kPlaceTitle[place[g.gid]] + "\"><h2>" + html(g.group) +
                        "</h2><div class=\"charts\">\n";
        toc_ += "<li><a href=\"#" + anchor + "\">" + html(g.group) + "</a></li>";
        group = g.gid;
      }
      // A transaction group's first times graph, and any graph of errors or
      // failures, get a table on the first screen.
      VerdictTable *table = nullptr;
      bool first_times = place[g.gid] == kTransactions && orv_is_times(g.data_type) &&
                         table_groups.insert(g.gid).second;
      if (first_times || counts_errors(g.group, g.name)) {
        VerdictTable &t = (first_times ? verdicts_ : problems_).emplace_back();
        t.title = g.group + " / " + g.name;
        t.unit = unit_of(g.name);
        t.times = orv_is_times(g.data_type);
        t.rate_unit = g.rate_unit;
        t.chart = i;
        table = &t;
      }
      bool users = users_.graph.empty() && place[g.gid] == kLoad && !orv_is_times(g.data_type) &&
                   mentions(g.group + ">" + g.name, {"user"});
      if (users) users_.graph = g.group + " / " + g.name;
      built[i] = chart(g, i, table, users ? &users_ : nullptr, false, std::move(built[i].head));
    }
    if (group != -1) toc_ += "</ul>";
    set_rates();
    add_detail(graphs, built);
    std::string out;
    for (size_t i = 0; i < built.size(); i++) {
      if (i && std::count(group_starts.begin(), group_starts.end(), i)) out += "</div></section>\n";
      out += built[i].head + built[i].box;
    }
    return out + (group == -1 ? "<p>No graph selected.</p>\n" : "</div></section>\n");
  }

  /* The window the charts' samples cover: from the first stamp to the end
   * of the last interval of any series (covered_seconds, as compare counts
   * a series' time), in whole seconds as the page states it; the same for
   * every transaction. */
  bool has_window() const { return covered_from_ != INT64_MAX; }
  int64_t window_from() const { return covered_from_; }
  int64_t window_seconds() const {
    return has_window() ? std::llround(covered_end_ - (double)covered_from_) : 0;
  }

  size_t chart_count = 0, samples = 0, missing = 0, thinned = 0, detailed = 0;
  std::string toc_;
  std::vector<VerdictTable> verdicts_, problems_;
  PeakUsers users_;

 private:
  /* One chart's part of the page, and what its every sample would cost. */
  struct Built {
    std::string head, box;  // head: the group's section opening before it
    double detail_bytes = 0;
    bool thinned = false;
  };

  /* Each row's rate over the window of the samples read. */
  void set_rates() {
    double seconds = (double)window_seconds();
    for (auto *tables : {&verdicts_, &problems_})
      for (VerdictTable &t : *tables)
        for (VerdictRow &row : t.rows) {
          row.timed = seconds > 0;
          row.rate = row.timed ? row.count / seconds : 0;
        }
  }

  /* Gives thinned charts their every sample, in page order, while the
   * share of the page allows; each is read again. */
  void add_detail(const std::vector<SelectedGraph> &graphs, std::vector<Built> &built) {
    double budget = 0;
    for (const Built &b : built)
      if (b.thinned) budget += kDetailShare * (double)b.box.size();
    budget = std::max(budget, kDetailFloor);
    for (size_t i = 0; i < built.size(); i++) {
      if (!built[i].thinned || built[i].detail_bytes > budget) continue;
      budget -= built[i].detail_bytes;
      built[i] = chart(graphs[i], i, nullptr, nullptr, true, std::move(built[i].head));
      detailed++;
    }
  }

  Built chart(const SelectedGraph &g, size_t id, VerdictTable *table, PeakUsers *users, bool detail,
              std::string head) {
    std::vector<size_t> varying = varying_tags(*g.series);
    bool multi = std::max(1, orv_role_count(g.data_type)) > 1;
    bool times = orv_is_times(g.data_type);
    std::map<std::string, int> used;
    ChartBuilder b(chart_columns(g.series->size() * g.roles.size()), true);
    size_t without_count = 0, stored_missing = 0;
    for (const SelectedSeries &s : *g.series) {
      std::vector<int64_t> times_of;
      std::vector<std::vector<double>> values(g.roles.size());
      SeriesTally tally(times);
      int64_t first = 0, last = 0, last_step = 0;
      size_t n = 0;
      double v[ORV_MAX_ELEMENTS_PER_GRAPH];
      int roles = std::clamp(orv_role_count(g.data_type), 1, ORV_MAX_ELEMENTS_PER_GRAPH);
      for_each_sample(db_, o_.sel, g, s.sid, [&](int64_t t, int64_t step, const double *stored) {
        std::copy(stored, stored + roles, v);
        if (n++ == 0) first = t;
        last = t, last_step = step;
        if (table) tally.add(t, step, v);
        if (users && !orvtsdb::is_missing(v[0])) users->total[t] += v[0];
        for (int r : g.roles) stored_missing += orvtsdb::is_missing(v[r]);
        bool had = times && !orvtsdb::is_missing(v[0]);
        leave_out_absent_roles(g.data_type, v);
        without_count += had && orvtsdb::is_missing(v[0]);
        times_of.push_back(t);
        for (size_t k = 0; k < g.roles.size(); k++) values[k].push_back(v[g.roles[k]]);
      });
      std::string first_line;
      for (size_t k = 0; k < g.roles.size(); k++) {
        std::string role = role_text(g, g.roles[k]), label = series_label(s, varying);
        if (multi) label += label.empty() ? role : " " + role;
        if (label.empty()) label = "value";
        if (used[label]++) label += " (sid " + std::to_string(s.sid) + ")";
        if (first_line.empty()) first_line = label;
        bool count = multi && role == "count";
        b.add_line({label, count, count || (role != "avg" && role != "value")}, times_of,
                   std::move(values[k]));
      }
      if (table) table->rows.push_back(tally.row(series_label(s, varying), first_line));
      if (n && !detail) {
        covered_from_ = std::min(covered_from_, first);
        covered_end_ = std::max(
            covered_end_, (double)first + orvtsdb::covered_seconds(first, last, n, last_step));
      }
    }
    ChartData c = b.build();
    c.ylabel = axis_title(g.name);
    c.y2label = "count per interval";
    if (detail) c.slices = b.slices(c, kSliceCells);
    c.missing = stored_missing;  // the builder counts the intervals without transactions too
    if (!detail) {
      chart_count++;
      thinned += c.thinned;
      samples += c.samples;
      missing += c.missing;
    }
    std::string note = count_text((int64_t)c.samples) + " values in " +
                       std::to_string(c.lines.size()) + (c.lines.size() == 1 ? " line" : " lines") +
                       (c.thinned
                            ? ", first shown as the smallest and largest value per " +
                                  column_text(c.columns) +
                                  (detail ? "; zooming in shows every sample of the main lines"
                                          : "; the page has no room for every sample of this chart")
                            : "") +
                       (c.missing ? ", " + count_text((int64_t)c.missing) + " missing" : "") +
                       (without_count ? ", " + count_text((int64_t)without_count) +
                                            " intervals without transactions (no time shown)"
                                      : "");
    Built out;
    out.head = std::move(head);
    out.box = chart_box(id, g.name, g.description, note, c);
    out.thinned = c.thinned;
    size_t cells = c.times.size() * c.lines.size();
    out.detail_bytes = cells ? (double)b.slice_cells(c) * (double)out.box.size() / (double)cells
                             : 0;
    return out;
  }

  sqlite3 *db_;
  const Options &o_;
  int64_t covered_from_ = INT64_MAX;  // window_from()
  double covered_end_ = std::numeric_limits<double>::lowest();
  ProgressLine progress_;
};

std::string num_cell(double v, const char *format = "%.1f") {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return "<td data-v=\"" + number_text(v) + "\">" + buf + "</td>";
}

/* A cell of a value the window does not give (no interval with a value,
 * no duration to divide by): "-", sorted below every number. */
const char *const kNoValueCell = "<td data-v=\"\">-</td>";

/* A first-screen table, worst first (the highest 95th percentile of the
 * interval averages); each row links to its line in the chart. */
std::string verdict_table(VerdictTable t) {
  std::stable_sort(t.rows.begin(), t.rows.end(), [](const VerdictRow &a, const VerdictRow &b) {
    return a.stats.p95 > b.stats.p95;
  });
  std::string u = t.unit.empty() ? "" : " (" + html(t.unit) + ")";
  std::string out = "<h3>" + html(t.title) +
                    "</h3><table class=\"verdict sortable\" data-chart=\"" +
                    std::to_string(t.chart) + "\"><thead><tr><th>series</th>" +
                    (t.times ? "<th>count</th><th>rate (/s)</th>" : "<th>intervals</th>") +
                    "<th>mean" + u + "</th><th>p90" + u + "</th><th>p95" + u + "</th><th>p99" + u +
                    "</th><th>max" + u + "</th></tr></thead><tbody>";
  for (const VerdictRow &r : t.rows) {
    out += "<tr><td data-v=\"" + html(r.label) + "\"><a href=\"#chart-" + std::to_string(t.chart) +
           "\" data-chart=\"" + std::to_string(t.chart) + "\" data-line=\"" + html(r.line) + "\">" +
           html(r.label.empty() ? "value" : r.label) + "</a></td>";
    if (t.times)
      out += num_cell(r.count, "%.0f") + (r.timed ? num_cell(r.rate, "%.3f") : kNoValueCell);
    else
      out += num_cell((double)r.stats.intervals, "%.0f");
    const MetricStats &s = r.stats;
    for (double v : {s.mean, s.p90, s.p95, s.p99, s.max})
      out += s.intervals ? num_cell(v, "%.2f") : kNoValueCell;
    out += "</tr>";
  }
  return out + "</tbody></table>\n";
}

/* The run's number and work folder from its folder ".../logs/TR<n>". */
struct RunPlace {
  std::string folder, number, work;
};

RunPlace run_place(const std::string &store_path, const Json &facts, sqlite3 *db,
                   const std::vector<orvtsdb::RunEntry> &read) {
  RunPlace p;
  std::map<int64_t, orvtsdb::MigrationRun> runs;
  std::string err;
  if (read.size() == 1) {
    p.folder = read[0].run_dir;
  } else {
    if (!orvtsdb::list_migration_runs(db, runs, err)) die_reading(db, err);
    if (!runs.empty()) p.folder = runs.rbegin()->second.run_dir;
  }
  if (p.folder.empty()) p.folder = orvtsdb::run_dir_of_store(store_path);
  while (p.folder.size() > 1 && p.folder.back() == '/') p.folder.pop_back();
  orvtsdb::RunFolder parts = orvtsdb::run_folder_of(p.folder);
  p.number = parts.number.empty() ? parts.name : parts.number;
  p.work = parts.work;
  if (p.number.empty() && !facts["migrations"].empty())
    p.number = facts["migrations"].back()["run"].get<std::string>();
  return p;
}

/* Partition folders of the run folder: the recorded ones hold a graph
 * definition file ("testrun.gdf"; the folders a migration adds, named by
 * its wall clock, hold only "subjects"), named by their start in the local
 * time of the machine that recorded the run, whose zone the store does not
 * know. Counted when that start, read as UTC, lies within the run's
 * [start, end] widened by the widest zone offsets (12 h west, 14 h east),
 * so the count is the same wherever the page is made. -1 when the folder
 * cannot be read. */
int partitions_of(const std::string &folder, int64_t start, int64_t end) {
  DIR *d = folder.empty() ? nullptr : opendir(folder.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name.size() != 14 || !std::all_of(name.begin(), name.end(), ::isdigit)) continue;
    struct stat st;
    std::string gdf = folder + "/" + name + "/testrun.gdf";
    if (stat(gdf.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    struct tm tm {};
    tm.tm_year = std::stoi(name.substr(0, 4)) - 1900;
    tm.tm_mon = std::stoi(name.substr(4, 2)) - 1;
    tm.tm_mday = std::stoi(name.substr(6, 2));
    tm.tm_hour = std::stoi(name.substr(8, 2));
    tm.tm_min = std::stoi(name.substr(10, 2));
    tm.tm_sec = std::stoi(name.substr(12, 2));
    int64_t t = (int64_t)timegm(&tm);
    n += t >= start - 12 * 3600 && t <= end + 14 * 3600;
  }
  closedir(d);
  return n;
}

std::string duration_text(int64_t s) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", (long long)(s / 3600),
                (long long)(s / 60 % 60), (long long)(s % 60));
  return buf;
}

/* The part of the run the page covers: the run's span (from its
 * migrations, else its samples) cut to --from and --to, until cover() sets
 * the window its samples cover. */
struct PageWindow {
  int64_t start = INT64_MAX, end = INT64_MIN;  // the run
  int64_t from = 0, to = 0;                    // the page
  bool cut = false;                            // --from or --to given
  std::string selection;                       // groups, graphs, roles, labels chosen; "" all
  double seconds() const { return to > from ? (double)(to - from) : 0; }
  /* The page's samples cover `seconds` from `first` (Report::window_seconds). */
  void cover(int64_t first, int64_t seconds) { from = first, to = first + seconds; }
  /* "2024-03-04 10:00:00 .. 10:10:00 UTC (+1:00:00 .. +1:10:00 of the run, 0:10:00)" */
  std::string text() const {
    std::string a = utc_text(from), b = utc_text(to);
    if (a.substr(0, 10) == b.substr(0, 10) && b.size() > 11) b = b.substr(11);
    return a + " .. " + b + " UTC (+" + clock_text(from - start) + " .. +" +
           clock_text(to - start) + " of the run, " + clock_text(to - from) + ")";
  }
};

PageWindow page_window(const Json &f, const Selection &sel) {
  PageWindow w;
  auto selected = [&](const Json &m) {
    if (sel.run.empty()) return true;  // every run
    for (const orvtsdb::RunEntry &r : sel.runs)
      if (m["run"] == r.id) return true;
    return false;
  };
  for (const Json &m : f["migrations"]) {
    if (!selected(m)) continue;  // another run of a shared store
    if (!m["start"].is_null()) w.start = std::min(w.start, m["start"].get<int64_t>());
    if (!m["end"].is_null()) w.end = std::max(w.end, m["end"].get<int64_t>());
  }
  if (w.start == INT64_MAX && !f["first_time"].is_null()) w.start = f["first_time"];
  if (w.end == INT64_MIN && !f["last_time"].is_null()) w.end = f["last_time"];
  if (w.start == INT64_MAX) return w;
  w.cut = sel.from_arg || sel.to_arg;
  w.from = std::max(w.start, sel.from);
  w.to = std::min(w.end, sel.to);  // until cover() sets the window of the samples read
  std::vector<std::string> parts;
  if (!sel.group.empty()) parts.push_back("group " + sel.group);
  if (!sel.graph.empty()) parts.push_back("graph " + sel.graph);
  if (!sel.role.empty()) parts.push_back("role " + sel.role);
  for (const auto &[k, v] : sel.labels) parts.push_back("label " + k + "=" + v);
  for (const std::string &part : parts) w.selection += (w.selection.empty() ? "" : ", ") + part;
  return w;
}

/* The run, as the first lines of the page. */
std::string run_summary(const Json &f, sqlite3 *db, const std::string &store_path,
                        const PageWindow &w, const std::vector<orvtsdb::RunEntry> &runs) {
  RunPlace p = run_place(store_path, f, db, runs);
  int64_t start = w.start, end = w.end;
  int partitions = start == INT64_MAX ? -1 : partitions_of(p.folder, start, end);
  std::string out = "<section id=\"run\"><h1>Run " + html(p.number.empty() ? "-" : p.number) +
                    "</h1><table class=\"facts run\">";
  auto fact = [&](const std::string &k, const std::string &v) {
    out += "<tr><th>" + html(k) + "</th><td>" + html(v) + "</td></tr>";
  };
  fact("Work folder", p.work.empty() ? (p.folder.empty() ? "-" : p.folder) : p.work);
  fact("Start", start == INT64_MAX ? "-" : utc_text(start) + " UTC");
  fact("Duration", start == INT64_MAX || end < start ? "-" : duration_text(end - start));
  fact("Partitions", partitions < 0 ? "-" : std::to_string(partitions));
  if (w.cut) fact("Window", w.text());
  if (!w.selection.empty()) fact("Selection", w.selection);
  return out + "</table></section>\n";
}

/* The store behind the page: its facts and migrations. */
std::string store_summary(const Json &f, const Report &r) {
  std::string span = f["first_time"].is_null()
                         ? "-"
                         : time_cell(f["first_time"]) + " .. " + time_cell(f["last_time"]) + " UTC";
  std::string out = "<section id=\"summary\"><h2>Store</h2><table class=\"facts\">";
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
                     " values, " + count_text((int64_t)r.missing) + " missing; " +
                     count_text((int64_t)r.detailed) + " of the " + count_text((int64_t)r.thinned) +
                     " thinned zoom to every sample)");
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

/* What the tables' columns are. */
std::string definitions(const PageWindow &w) {
  return "<p class=\"hint\">count: transactions that finished in the page's window; rate: count / "
         "the window's duration (" +
         clock_text(w.to - w.from) +
         "), the same for every transaction, so one that ran part of the time shows its share "
         "of the whole; mean: the mean of the interval averages weighted by their counts (the "
         "mean response time of the transactions); p90, p95, p99: the count-weighted "
         "percentiles of the interval averages (the interval average below which 90 %, 95 %, "
         "99 % of the transactions finished; a transaction's own time within an interval is not "
         "stored); max: the largest max of an interval. Intervals in which no transaction "
         "finished have no response time and are left out.</p>";
}

bool met(const Target &t, double v) {
  return t.op == "<"    ? v < t.value
         : t.op == "<=" ? v <= t.value
         : t.op == ">"  ? v > t.value
                        : v >= t.value;
}

/* The value a target names, in the target's unit; false with the reason in
 * *why when the run has no such transaction (or the page's selection,
 * `narrowed`, leaves it out), or none of its transactions finished in the
 * window (no time to judge), or the window has no duration (no rate). */
bool target_value(const Report &r, const Target &t, bool narrowed, double *out, std::string *unit,
                  std::string *why) {
  *why = narrowed ? "not in this selection" : "no such transaction";
  for (const VerdictTable &table : r.verdicts_)
    for (const VerdictRow &row : table.rows) {
      std::string label = row.label;
      size_t gt = label.rfind(" > ");
      if (label != t.transaction &&
          (gt == std::string::npos || label.substr(gt + 3) != t.transaction))
        continue;
      const MetricStats &s = row.stats;
      bool time = t.stat != "rate" && t.stat != "count";
      if (time && !s.intervals) {
        *why = "no transaction finished in the window";
        return false;
      }
      if (t.stat == "rate" && !row.timed) {
        *why = "no rate: the window lasts 0 s";
        return false;
      }
      double v = t.stat == "mean"   ? s.mean
                 : t.stat == "p50"  ? s.p50
                 : t.stat == "p90"  ? s.p90
                 : t.stat == "p95"  ? s.p95
                 : t.stat == "p99"  ? s.p99
                 : t.stat == "max"  ? s.max
                 : t.stat == "rate" ? row.rate
                                    : row.count;
      *unit = t.stat == "rate" ? "/s" : t.stat == "count" ? "" : table.unit;
      if (time && t.unit == "s" && table.unit == "ms") v /= 1000, *unit = "s";
      if (time && t.unit == "ms" && table.unit == "s") v *= 1000, *unit = "ms";
      *out = v;
      return true;
    }
  return false;
}

/* The verdict: throughput, peak users, error rate, and the targets. */
std::string verdict_block(const Report &r, const PageWindow &w, const std::vector<Target> &targets,
                          size_t *missed) {
  double transactions = 0, errors = 0;
  bool counts_errors = false;
  for (const VerdictTable &t : r.verdicts_)
    for (const VerdictRow &row : t.rows) transactions += row.count;
  for (const VerdictTable &t : r.problems_)
    for (const VerdictRow &row : t.rows) {
      counts_errors = true;
      // A times graph's count; another graph's values, a rate's over the
      // seconds each sample covers.
      errors += t.times           ? row.count
                : t.rate_unit > 0 ? t.rate_unit * row.by_time
                                  : row.stats.mean * row.stats.weight;
    }
  std::string out = "<section id=\"outcome\"><h2>Verdict</h2><table class=\"facts run\">";
  auto fact = [&](const std::string &k, const std::string &v) {
    out += "<tr><th>" + html(k) + "</th><td>" + v + "</td></tr>";
  };
  char buf[160];
  if (r.verdicts_.empty() && !w.selection.empty())
    std::snprintf(buf, sizeof buf, "- (no transaction times in this selection)");
  else if (w.seconds() > 0)
    std::snprintf(buf, sizeof buf, "%.2f transactions/s (%s transactions in %s)",
                  transactions / w.seconds(), count_text((int64_t)transactions).c_str(),
                  clock_text(w.to - w.from).c_str());
  else
    std::snprintf(buf, sizeof buf, "- (%s transactions in a window of 0 s)",
                  count_text((int64_t)transactions).c_str());
  fact("Total throughput", html(buf));
  if (!r.users_.graph.empty()) {
    std::snprintf(buf, sizeof buf, "%.0f", r.users_.peak());
    fact("Peak users", html((r.users_.total.empty() ? std::string("-") : std::string(buf)) + " (" +
                            r.users_.graph + ")"));
  }
  if (counts_errors) {
    // Errors per transaction need transactions: none counted is no rate of 0 %.
    if (transactions > 0)
      std::snprintf(buf, sizeof buf, "%.3g %% (%s errors and failures per %s transactions)",
                    100 * errors / transactions, count_text((int64_t)errors).c_str(),
                    count_text((int64_t)transactions).c_str());
    else
      std::snprintf(
          buf, sizeof buf, "- (%s errors and failures, no transactions %s)",
          count_text((int64_t)errors).c_str(),
          r.verdicts_.empty() && !w.selection.empty() ? "in this selection" : "in the window");
    fact("Error rate", html(buf));
  }
  *missed = 0;
  if (!targets.empty()) {
    std::string rows;
    for (const Target &t : targets) {
      double v = 0;
      std::string unit, why;
      bool found = target_value(r, t, !w.selection.empty(), &v, &unit, &why);
      bool ok = found && met(t, v);
      *missed += !ok;
      std::snprintf(buf, sizeof buf, "%.4g", v);
      rows += "<tr><td>" + html(t.line) + "</td><td>" +
              html(found ? std::string(buf) + (unit.empty() ? "" : " " + unit) : why) +
              "</td><td class=\"" + (ok ? "pass\">pass" : "fail\">fail") + "</td></tr>";
    }
    fact("Targets", "<span class=\"" + std::string(*missed ? "fail" : "pass") + "\">" +
                        std::to_string(targets.size() - *missed) + " of " +
                        std::to_string(targets.size()) + " met</span>");
    out +=
        "</table><table class=\"verdict targets\"><thead><tr><th>target</th><th>measured</th>"
        "<th>result</th></tr></thead><tbody>" +
        rows + "</tbody>";
  }
  return out + "</table></section>\n";
}

/* The tables of the first screen: transactions, then errors and failures
 * where the run has any. */
std::string verdicts(const Report &r, const PageWindow &w) {
  std::string out = "<section id=\"verdict\"><h2>Transactions</h2>";
  if (r.verdicts_.empty()) out += "<p>No transaction times in this selection.</p>";
  for (const VerdictTable &t : r.verdicts_) out += verdict_table(t);
  if (!r.verdicts_.empty()) out += definitions(w);
  bool any = false;
  for (const VerdictTable &t : r.problems_) {
    bool has = std::any_of(t.rows.begin(), t.rows.end(),
                           [](const VerdictRow &row) { return row.stats.max > 0; });
    if (!has) continue;
    if (!any) out += "<h2 id=\"problems\">Errors and failures</h2>";
    any = true;
    out += verdict_table(t);
  }
  return out + "</section>\n";
}

void make_report(Options &o) {
  check_output_file(o.output);
  std::vector<Target> targets = o.targets.empty() ? std::vector<Target>() : read_targets(o.targets);
  Store st(o.store);
  Selected sel = select_samples(st.db(), o.sel);
  require_one_run(st.db(), o.sel, "report");
  Json facts = store_facts(st.db(), st.path());
  PageWindow w = page_window(facts, o.sel);
  Report r(st.db(), o);
  std::string charts = r.charts(std::move(sel.graphs));
  if (r.has_window()) w.cover(r.window_from(), r.window_seconds());
  std::string title = "Run report: " + st.path();
  if (w.cut) title += ", window " + w.text();
  if (!w.selection.empty()) title += ", " + w.selection;
  std::string toc =
      "<nav id=\"toc\"><h4><a href=\"#run\">Run</a></h4><ul><li><a "
      "href=\"#outcome\">Verdict</a></li><li><a "
      "href=\"#verdict\">Transactions table</a></li><li><a "
      "href=\"#summary\">Store</a></li></ul>" +
      r.toc_ + "</nav>";
  size_t missed = 0;
  std::string outcome = verdict_block(r, w, targets, &missed);
  std::string body = "<div class=\"page\">" + toc + "<main>" +
                     run_summary(facts, st.db(), st.path(), w, o.sel.runs) + outcome +
                     verdicts(r, w) +
                     "<p class=\"hint\">Drag across a chart to zoom (to every stored sample where "
                     "its note says so), double-click to zoom out; the legend under a chart "
                     "shows, hides and finds its lines.</p>\n" +
                     charts + store_summary(facts, r) + "</main></div>\n";
  if (write_page(o.output, title, body)) std::printf("%s\n", o.output.c_str());
  std::fprintf(stderr, "report: %s\n", runs_text(o.sel.runs).c_str());
  if (missed)
    std::fprintf(stderr, "report: %zu of %zu targets missed (see the page's verdict)\n", missed,
                 targets.size());
}

}  // namespace

void add_report_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = add_store_command(
      app, "report",
      "one self-contained HTML page: the run's verdict per transaction and a chart per graph",
      o->store);
  cmd->add_option("-o,--output", o->output, "the page to write")
      ->check([](const std::string &t) { return t.empty() ? "it needs a file name" : ""; })
      ->capture_default_str();
  cmd->add_option("--targets", o->targets,
                  "a file of targets, one a line, such as 'Login p95 < 2.5s' (mean, p50, p90,\n"
                  "p95, p99, max in s or ms; rate in /s; count): each is met or missed in the\n"
                  "page's verdict");
  add_selection_options(*cmd, o->sel);
  cmd->callback([o] { make_report(*o); });
}

}  // namespace orvtsdb_cli
