/*
 * history.cpp - `orvtsdb history SOURCE...`: a team's runs of one test as
 * one history. For every transaction (the series of a transaction group's
 * first response-time graph) and every graph that counts errors, the value
 * of each run with its within-run 95 % interval, the change points, the
 * outliers, a drift, and a verdict on the newest run (run_history.h says
 * how).
 *
 * The sources are stores, run folders, or folders searched for run stores
 * (<run>/tsdb/metrics.sqlite, as a work folder's logs/TR* hold them); a
 * store that holds many runs gives each of them. A run found twice (the
 * same run id through two sources) counts once. Runs are ordered by their
 * first sample, or by a label's value with --order-by label:NAME.
 *
 * A run's value of a metric and its standard error come from its own
 * intervals: the run is cut into consecutive batches of equally many
 * intervals, and the spread of the batches' values gives the error of the
 * whole (batch means: neighbouring intervals are correlated, batches long
 * enough are nearly not). A migration keeps these values of its run in the
 * store (run_summary.h); a run without them is summarised from its samples.
 *
 * --fail-on-regression gates on the regressions of the newest run, their
 * p-values through Holm's procedure, so that noise alone fails a history
 * with a chance of at most 1 - confidence however many metrics it holds.
 */
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

#include <gsl/gsl_cdf.h>

#include "command_line.h"
#include "interval_values.h"
#include "orvtsdb.h"
#include "orvtsdb_data_roles.h"
#include "orvtsdb_data_types.h"
#include "output_file.h"
#include "report_page.h"
#include "run_history.h"
#include "run_labels.h"
#include "run_statistics.h"
#include "run_summary.h"
#include "selection.h"
#include "store_reading.h"
#include "text_table.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

namespace fs = std::filesystem;

/* How deep a folder is searched for run stores: work folder, logs, TR<n>,
 * tsdb. */
constexpr int kSearchDepth = 4;

const char *const kMetrics[] = {"mean", "p95", "throughput", "errors"};

struct Options {
  std::vector<std::string> sources;
  std::vector<std::string> metrics;
  std::string order_by, format = "text", html, threshold = "2", confidence = "95";
  bool fail_on_regression = false;
};

/* What one run says of every metric, by key (transaction and metric). */
using RunValues = std::map<std::pair<std::string, std::string>, RunValue>;

/* One run of the history. */
struct HistoryRun {
  std::string store, id, name;
  int64_t number = 0, start = 0;
  orvtsdb::Labels labels;
  RunValues values;
};

/* One metric of the history. */
struct HistorySeries {
  std::string transaction, metric;
  std::vector<RunValue> values;  // per run, in history order
  HistoryResult result;
  bool regression = false;  // the newest run, past the family-wise gate
};

/* The run stores a source names: a file is one, a folder with
 * tsdb/metrics.sqlite is one, any other folder is searched. */
std::vector<std::string> stores_of(const std::string &source) {
  std::error_code ec;
  fs::file_status st = fs::status(source, ec);
  if (ec || !fs::exists(st)) die(EXIT_FAILURE_OTHER, source + ": no such file or folder");
  if (!fs::is_directory(st) || fs::exists(fs::path(source) / "tsdb" / "metrics.sqlite"))
    return {source};
  std::vector<std::string> found;
  fs::recursive_directory_iterator it(source, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it.depth() >= kSearchDepth) it.disable_recursion_pending();
    const fs::path &p = it->path();
    if (p.filename() == "metrics.sqlite" && p.parent_path().filename() == "tsdb" &&
        it->is_regular_file(ec))
      found.push_back(p.string());
  }
  if (ec) die(EXIT_FAILURE_OTHER, source + ": " + ec.message());
  if (found.empty())
    die(EXIT_NO_MATCH, source + ": no run store in it (<run>/tsdb/metrics.sqlite)");
  std::sort(found.begin(), found.end());
  return found;
}

/* The label --order-by names, or "" for the start. */
std::string order_label(const std::string &order_by) {
  if (order_by.empty() || order_by == "start") return "";
  if (order_by.rfind("label:", 0) != 0 || order_by.size() == 6)
    die(EXIT_USAGE, "--order-by takes start or label:NAME, not '" + order_by + "'");
  return order_by.substr(6);
}

/* How the runs are listed, for the headings: "oldest first", or by a label. */
std::string order_text(const std::string &order_by) {
  std::string label = order_label(order_by);
  return label.empty() ? "oldest first" : "by label " + label + " (runs without it first)";
}

std::string label_value(const HistoryRun &r, const std::string &name) {
  for (const auto &[k, v] : r.labels)
    if (k == name) return v;
  return "";
}

/* Orders numbers as numbers ("1.10" after "1.9") and the rest as text. */
bool version_less(const std::string &a, const std::string &b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit((unsigned char)a[i]) && std::isdigit((unsigned char)b[j])) {
      size_t ei = i, ej = j;
      while (ei < a.size() && std::isdigit((unsigned char)a[ei])) ei++;
      while (ej < b.size() && std::isdigit((unsigned char)b[ej])) ej++;
      std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
      x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
      y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      i = ei, j = ej;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      i++, j++;
    }
  }
  return a.size() - i < b.size() - j;
}

/* The standard error of a run's value from its batch values x (with their
 * weights w, whose sum is the whole's): of a weighted mean of the batches. */
double batch_error(const std::vector<double> &x, const std::vector<double> &w, double whole) {
  size_t k = x.size();
  if (k < kMinBatches) return NAN;
  double wsum = 0, ss = 0;
  for (size_t b = 0; b < k; b++) wsum += w[b];
  for (size_t b = 0; b < k; b++) ss += std::pow(w[b] / wsum * (x[b] - whole), 2);
  return std::sqrt(ss * (double)k / (double)(k - 1));
}

/* One run's metrics: its kept summary, or one made from its samples. */
RunValues read_run(const Store &store, const HistoryRun &run,
                   const std::set<std::string> &metrics) {
  std::vector<orvtsdb::MetricSummary> summary;
  bool kept = false;
  std::string err;
  if (!orvtsdb::read_run_summary(store.db(), run.number, summary, &kept, err))
    die(EXIT_FAILURE_OTHER, store.path() + ": " + err);
  if (!kept) {
    select_runs(store.db(), std::to_string(run.number));  // an older store's runs apart
    if (!orvtsdb::summarise_run(store.db(), run.number, summary, err)) die_reading(store.db(), err);
  }
  RunValues out;
  for (const orvtsdb::MetricSummary &m : summary)
    if (metrics.count(m.metric))
      out[{m.series, m.metric}] = {m.value, batch_error(m.batch_values, m.batch_weights, m.value),
                                   true};
  return out;
}

/* Every run the sources hold with its metrics, in history order. Each store
 * is opened (and checked) once and closed before the next is read. */
std::vector<HistoryRun> find_runs(const Options &o, const std::set<std::string> &metrics) {
  std::vector<HistoryRun> runs;
  std::set<std::string> seen_ids, seen_stores;
  for (const std::string &source : o.sources)
    for (const std::string &path : stores_of(source)) {
      std::error_code ec;
      std::string canonical = fs::weakly_canonical(path, ec).string();
      if (!seen_stores.insert(ec ? path : canonical).second) continue;
      Store store(path);
      std::vector<orvtsdb::RunEntry> entries;
      std::string err;
      if (!orvtsdb::list_runs(store.db(), entries, err)) die(EXIT_FAILURE_OTHER, path + ": " + err);
      for (const orvtsdb::RunEntry &e : entries) {
        if (!seen_ids.insert(e.id).second) continue;
        int64_t first = 0, last = 0;
        bool any = false;
        if (!orvtsdb::stored_time_span(store.db(), &first, &last, &any, err, {e.number}))
          die(EXIT_FAILURE_OTHER, path + ": " + err);
        if (!any) {  // a run that stored nothing has no value to show: said, not dropped silently
          std::fprintf(stderr, "history: %s: run #%lld %s holds no sample, left out\n",
                       store.path().c_str(), (long long)e.number, e.name.c_str());
          continue;
        }
        HistoryRun r;
        r.store = store.path(), r.id = e.id, r.name = e.name, r.number = e.number, r.start = first;
        if (!orvtsdb::read_run_labels(store.db(), e.number, r.labels, err))
          die(EXIT_FAILURE_OTHER, path + ": " + err);
        r.values = read_run(store, r, metrics);
        runs.push_back(std::move(r));
      }
    }
  if (runs.empty()) die(EXIT_NO_MATCH, "history: the sources hold no run with samples");
  std::string label = order_label(o.order_by);
  // A name no run has (a typo) would order by start alone and make another
  // run the newest, silently.
  std::set<std::string> names;
  if (!label.empty())
    for (const HistoryRun &r : runs)
      for (const auto &[k, v] : r.labels) names.insert(k);
  if (!label.empty() && !names.count(label)) {
    std::string known;
    for (const std::string &n : names) known += (known.empty() ? "" : ", ") + n;
    die(EXIT_NO_MATCH, "history: no run has a label '" + label + "' (--order-by " + o.order_by +
                           "); " +
                           (known.empty() ? "the runs have no labels" : "their labels: " + known));
  }
  std::stable_sort(runs.begin(), runs.end(), [&](const HistoryRun &a, const HistoryRun &b) {
    if (!label.empty()) {
      std::string x = label_value(a, label), y = label_value(b, label);
      if (x.empty() != y.empty()) return x.empty();  // runs without the label come first
      if (x != y) return version_less(x, y);
    }
    return a.start < b.start;
  });
  return runs;
}

double percent_option(const std::string &text, const char *option, double low, double high) {
  std::string t = text;
  if (!t.empty() && t.back() == '%') t.pop_back();
  char *end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (t.empty() || *end || !(v >= low) || !(v <= high))
    die(EXIT_USAGE, std::string(option) + " needs a percentage between " + number_text(low) +
                        " and " + number_text(high) + ", not '" + text + "'");
  return v / 100;
}

std::string percent(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+.1f%%", 100 * x);
  return buf;
}

std::string value_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.4g", v);
  return buf;
}

std::string run_name(const HistoryRun &r) {
  std::string out = r.name.empty() ? r.id.substr(0, 12) : r.name;
  return out + " " + utc_text(r.start);
}

/* " build=1.4 branch=main": a run's labels, for a line. */
std::string labels_text(const HistoryRun &r) {
  std::string out;
  for (const auto &[k, v] : r.labels) out += " " + k + "=" + v;
  return out;
}

/* The worst first: regressions by their change, then improvements, then
 * metrics with reported steps, then the rest. */
int rank(const HistorySeries &s) {
  switch (s.result.verdict) {
    case HistoryVerdict::Regression: return 0;
    case HistoryVerdict::Improvement: return 1;
    default:
      for (const HistoryStep &st : s.result.steps)
        if (st.reported) return 2;
      return s.result.drifting || !s.result.outliers.empty() ? 3 : 4;
  }
}

std::vector<const HistoryStep *> reported_steps(const HistorySeries &s) {
  std::vector<const HistoryStep *> out;
  for (const HistoryStep &st : s.result.steps)
    if (st.reported) out.push_back(&st);
  return out;
}

/* The within-run interval of a run's value: value -/+ z standard errors. */
std::pair<double, double> interval_of(const RunValue &v, double z) {
  double se = std::isfinite(v.se) ? v.se : 0;
  return {v.value - z * se, v.value + z * se};
}

std::string steps_text(const HistorySeries &s, const std::vector<HistoryRun> &runs) {
  std::string out;
  for (const HistoryStep *st : reported_steps(s)) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " (p %.3g)", st->p);
    out += (out.empty() ? "" : "; ") + std::string("#") + std::to_string(st->run + 1) + " (" +
           utc_text(runs[st->run].start).substr(0, 10) + "): " + value_text(st->before) + " -> " +
           value_text(st->after) + " " + percent(st->change) + buf;
  }
  return out;
}

std::string outliers_text(const HistorySeries &s) {
  std::string out;
  for (size_t r : s.result.outliers) out += (out.empty() ? "#" : ", #") + std::to_string(r + 1);
  return out;
}

std::string newest_text(const HistorySeries &s) {
  if (!newest_judged(s.result.verdict)) return "";
  char buf[48];
  std::snprintf(buf, sizeof buf, " (p %.3g)", s.result.newest_p);
  return percent(s.result.newest_change) + buf;
}

std::string drift_text(const HistorySeries &s) {
  if (!s.result.drifting) return "";
  return percent(s.result.drift.change) + " over #" + std::to_string(s.result.drift.from + 1) +
         "..#" + std::to_string(s.result.drift.to + 1);
}

std::string runs_text(size_t n) { return std::to_string(n) + (n == 1 ? " run" : " runs"); }

void print_text(const std::vector<HistorySeries> &series, const std::vector<HistoryRun> &runs,
                double threshold, double confidence, const std::string &order) {
  std::printf("%s, %s:\n", runs_text(runs.size()).c_str(), order.c_str());
  for (size_t i = 0; i < runs.size(); i++) {
    std::string labels = labels_text(runs[i]);
    std::printf("  #%-3zu %s  %s #%lld%s\n", i + 1, run_name(runs[i]).c_str(),
                runs[i].store.c_str(), (long long)runs[i].number, labels.c_str());
  }
  std::printf(
      "threshold %g%%, %g%% confidence (change points: false discovery rate %g%% over %zu "
      "metrics); the newest run (#%zu) against the last stable level\n\n",
      100 * threshold, 100 * confidence, 100 * (1 - confidence), series.size(), runs.size());
  constexpr size_t kColumns = 8;
  std::vector<std::array<std::string, kColumns>> cells = {{"verdict", "newest vs level", "newest",
                                                           "level", "change points", "outliers",
                                                           "drift", "transaction [metric]"}};
  for (const HistorySeries &s : series) {
    const RunValue &last = s.values.back();
    cells.push_back({std::string(verdict_name(s.result.verdict)) + (s.regression ? " (gate)" : ""),
                     newest_text(s), last.has ? value_text(last.value) : "-",
                     s.result.reference > 0 ? value_text(s.result.reference) : "-",
                     steps_text(s, runs), outliers_text(s), drift_text(s),
                     s.transaction + " [" + s.metric + "]"});
  }
  print_columns(cells);
  std::map<std::string, size_t> n;
  for (const HistorySeries &s : series) n[verdict_name(s.result.verdict)]++;
  std::printf("\n%zu metrics: %zu regression, %zu improvement, %zu stable, %zu too few runs",
              series.size(), n["regression"], n["improvement"], n["stable"], n["too few runs"]);
  size_t gone = n["not in the newest run"];
  if (gone) std::printf(", %zu not in the newest run", gone);
  std::printf("\n");
}

Json runs_json(const std::vector<HistoryRun> &runs) {
  Json out = Json::array();
  for (const HistoryRun &r : runs) {
    Json labels = Json::object();
    for (const auto &[k, v] : r.labels) labels[k] = v;
    out.push_back({{"id", r.id},
                   {"start", utc_text(r.start) + " UTC"},
                   {"source", r.store},
                   {"run", r.number},
                   {"name", r.name},
                   {"labels", labels}});
  }
  return out;
}

void print_json(const std::vector<HistorySeries> &series, const std::vector<HistoryRun> &runs,
                double z, double threshold, double confidence) {
  Json all = Json::array();
  for (const HistorySeries &s : series) {
    Json points = Json::array(), steps = Json::array(), outliers = Json::array();
    for (size_t i = 0; i < runs.size(); i++) {
      if (!s.values[i].has) continue;
      auto [low, high] = interval_of(s.values[i], z);
      points.push_back(
          {{"run", runs[i].id}, {"value", s.values[i].value}, {"low", low}, {"high", high}});
    }
    for (const HistoryStep *st : reported_steps(s))
      steps.push_back({{"run", runs[st->run].id},
                       {"before", st->before},
                       {"after", st->after},
                       {"change", st->change},
                       {"p", st->p}});
    for (size_t r : s.result.outliers) outliers.push_back({{"run", runs[r].id}});
    Json j = {{"transaction", s.transaction},
              {"metric", s.metric},
              {"points", points},
              {"change_points", steps},
              {"outliers", outliers},
              {"verdict", verdict_name(s.result.verdict)}};
    // Every series has every key: null where there is nothing to say.
    j["newest"] = nullptr, j["drift"] = nullptr;
    if (newest_judged(s.result.verdict))
      j["newest"] = {{"reference", s.result.reference},
                     {"change", s.result.newest_change},
                     {"p", s.result.newest_p},
                     {"gate", s.regression}};
    if (s.result.drifting)
      j["drift"] = {{"from", runs[s.result.drift.from].id},
                    {"to", runs[s.result.drift.to].id},
                    {"change", s.result.drift.change},
                    {"p", s.result.drift.p}};
    all.push_back(std::move(j));
  }
  Json out = {{"runs", runs_json(runs)},
              {"threshold", threshold},
              {"confidence", confidence},
              {"series", std::move(all)}};
  std::printf("%s\n", json_dump(out, 2).c_str());
}

void print_csv(const std::vector<HistorySeries> &series, const std::vector<HistoryRun> &runs,
               double z) {
  OutBuffer out;
  out.text() += "transaction,metric,run,run_id,start,value,low,high,change_point,outlier,verdict\n";
  for (const HistorySeries &s : series) {
    // The verdict goes on the metric's last line: the newest run's, or the
    // last run's that holds it when the newest does not.
    size_t last = 0;
    for (size_t i = 0; i < runs.size(); i++)
      if (s.values[i].has) last = i;
    for (size_t i = 0; i < runs.size(); i++) {
      if (!s.values[i].has) continue;
      auto [low, high] = interval_of(s.values[i], z);
      bool step = false, outlier = false;
      for (const HistoryStep *st : reported_steps(s)) step |= st->run == i;
      for (size_t r : s.result.outliers) outlier |= r == i;
      out.text() += csv_field(s.transaction) + "," + s.metric + "," + std::to_string(i + 1) + "," +
                    runs[i].id + "," + std::to_string(runs[i].start) + "," +
                    number_text(s.values[i].value) + "," + number_text(low) + "," +
                    number_text(high) + "," + (step ? "yes" : "no") + "," +
                    (outlier ? "yes" : "no") + "," +
                    (i == last ? verdict_name(s.result.verdict) : "") + "\n";
      out.maybe_flush();
    }
  }
}

/* One trend chart: each run's value with its interval bar, the levels
 * between change points, change points and outliers marked. An inline SVG,
 * so the page draws without any script. */
std::string trend_svg(const HistorySeries &s, const std::vector<HistoryRun> &runs, double z) {
  constexpr double kW = 640, kH = 220, kL = 56, kR = 12, kT = 12, kB = 28;
  double lo = INFINITY, hi = -INFINITY;
  for (const RunValue &v : s.values)
    if (v.has) {
      auto [a, b] = interval_of(v, z);
      lo = std::min(lo, a), hi = std::max(hi, b);
    }
  if (!(hi > lo)) hi = lo + 1, lo -= 1;
  double pad = (hi - lo) * 0.08;
  lo -= pad, hi += pad;
  size_t n = runs.size();
  auto x = [&](size_t i) {
    return kL + (kW - kL - kR) * (n > 1 ? (double)i / (double)(n - 1) : 0.5);
  };
  auto y = [&](double v) { return kT + (kH - kT - kB) * (hi - v) / (hi - lo); };
  char buf[256];
  std::string svg =
      "<svg class=\"trend\" viewBox=\"0 0 640 220\" width=\"100%\" "
      "xmlns=\"http://www.w3.org/2000/svg\" font-size=\"11\">";
  for (int k = 0; k <= 4; k++) {
    double v = lo + (hi - lo) * k / 4;
    std::snprintf(buf, sizeof buf,
                  "<line x1=\"%g\" x2=\"%g\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#ddd\"/>"
                  "<text x=\"%g\" y=\"%.1f\" text-anchor=\"end\">%s</text>",
                  kL, kW - kR, y(v), y(v), kL - 4, y(v) + 4, value_text(v).c_str());
    svg += buf;
  }
  // Levels: the weighted level of each stretch between reported steps.
  std::vector<size_t> bounds = {0};
  for (const HistoryStep &st : s.result.steps) bounds.push_back(st.run);
  bounds.push_back(n);
  for (size_t b = 0; b + 1 < bounds.size(); b++) {
    double level = b < s.result.steps.size() ? s.result.steps[b].before
                   : !s.result.steps.empty() ? s.result.steps.back().after
                                             : s.result.reference;
    if (!(level > 0)) continue;
    std::snprintf(buf, sizeof buf,
                  "<line class=\"level\" x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" "
                  "stroke=\"#2a7\" stroke-width=\"2\" opacity=\"0.7\"/>",
                  x(bounds[b]), x(bounds[b + 1] - 1), y(level), y(level));
    svg += buf;
  }
  for (const HistoryStep *st : reported_steps(s)) {
    std::snprintf(buf, sizeof buf,
                  "<line class=\"change-point\" x1=\"%.1f\" x2=\"%.1f\" y1=\"%g\" y2=\"%g\" "
                  "stroke=\"#c33\" stroke-dasharray=\"4 3\"><title>change point: run #%zu, "
                  "%s</title></line>",
                  x(st->run) - 0.5 * (kW - kL - kR) / std::max<double>((double)n - 1, 1),
                  x(st->run) - 0.5 * (kW - kL - kR) / std::max<double>((double)n - 1, 1), kT,
                  kH - kB, st->run + 1, percent(st->change).c_str());
    svg += buf;
  }
  std::set<size_t> outliers(s.result.outliers.begin(), s.result.outliers.end());
  for (size_t i = 0; i < n; i++) {
    if (!s.values[i].has) continue;
    auto [a, b] = interval_of(s.values[i], z);
    bool out = outliers.count(i);
    std::snprintf(buf, sizeof buf,
                  "<g class=\"run%s\"><title>#%zu %s: %s [%s, %s]%s</title>"
                  "<line x1=\"%.1f\" x2=\"%.1f\" y1=\"%.1f\" y2=\"%.1f\" stroke=\"#357\"/>",
                  out ? " outlier" : "", i + 1, html(run_name(runs[i])).c_str(),
                  value_text(s.values[i].value).c_str(), value_text(a).c_str(),
                  value_text(b).c_str(), out ? " outlier" : "", x(i), x(i), y(a), y(b));
    svg += buf;
    std::snprintf(buf, sizeof buf,
                  "<circle cx=\"%.1f\" cy=\"%.1f\" r=\"%d\" fill=\"%s\" stroke=\"%s\"/></g>", x(i),
                  y(s.values[i].value), out ? 5 : 3, out ? "none" : "#357", out ? "#e80" : "#357");
    svg += buf;
  }
  std::snprintf(buf, sizeof buf,
                "<text x=\"%g\" y=\"%g\">run #1</text><text x=\"%g\" y=\"%g\" "
                "text-anchor=\"end\">#%zu (newest)</text></svg>",
                kL, kH - 8, kW - kR, kH - 8, n);
  return svg + buf;
}

void write_html(const std::vector<HistorySeries> &series, const std::vector<HistoryRun> &runs,
                double z, double threshold, double confidence, const Options &o) {
  std::string table =
      "<table class=\"facts\"><tr><th>verdict</th><th>newest vs level</th><th>change points</th>"
      "<th>outliers</th><th>drift</th><th>transaction [metric]</th></tr>";
  std::string charts;
  for (size_t i = 0; i < series.size(); i++) {
    const HistorySeries &s = series[i];
    std::string title = s.transaction + " [" + s.metric + "]";
    table += "<tr><td>" + html(verdict_name(s.result.verdict)) + "</td><td>" +
             html(newest_text(s)) + "</td><td>" + html(steps_text(s, runs)) + "</td><td>" +
             html(outliers_text(s)) + "</td><td>" + html(drift_text(s)) +
             "</td><td><a href=\"#trend-" + std::to_string(i) + "\">" + html(title) +
             "</a></td></tr>";
    charts += "<div class=\"chart\" id=\"trend-" + std::to_string(i) + "\"><h3>" + html(title) +
              "</h3>" + trend_svg(s, runs, z) + "<p class=\"note\">" +
              html(std::string("verdict: ") + verdict_name(s.result.verdict) +
                   (newest_judged(s.result.verdict) ? " " + newest_text(s) : "") +
                   "; bars: each run's " + number_text(100 * confidence) +
                   " % interval; green: levels; dashed red: change points; orange rings: "
                   "outliers") +
              "</p></div>\n";
  }
  table += "</table>";
  std::string list = "<details><summary>The " + runs_text(runs.size()) + ", " +
                     html(order_text(o.order_by)) + "</summary><ol class=\"runs\">";
  for (const HistoryRun &r : runs)
    list += "<li>" + html(run_name(r) + labels_text(r) + " " + r.store) + "</li>";
  list += "</ol></details>";
  char buf[160];
  std::snprintf(buf, sizeof buf, "threshold %g%%, %g%% confidence", 100 * threshold,
                100 * confidence);
  std::string body =
      "<header><h1>Run history</h1><p>" + runs_text(runs.size()) + ", " +
      html(order_text(o.order_by)) + "; " + html(buf) + "</p>" +
      "</header>\n<section id=\"summary\"><h2>Verdicts</h2>" + table + list +
      "</section>\n<section class=\"group\"><h2>Trends</h2><div class=\"charts\">\n" + charts +
      "</div></section>\n";
  write_page(o.html, "Run history of " + runs_text(runs.size()), body);
  std::fprintf(stderr, "wrote %s\n", o.html.c_str());
}

void run_history(const Options &o) {
  double threshold = percent_option(o.threshold, "--threshold", 0, 1000);
  double confidence = percent_option(o.confidence, "--confidence", 50, 99.99);
  std::set<std::string> metrics(o.metrics.begin(), o.metrics.end());
  if (metrics.empty()) metrics = {"mean", "throughput"};
  order_label(o.order_by);
  if (!o.html.empty()) check_output_file(o.html);
  std::vector<HistoryRun> runs = find_runs(o, metrics);
  std::map<std::pair<std::string, std::string>, size_t> index;
  std::vector<HistorySeries> series;
  for (size_t i = 0; i < runs.size(); i++)
    for (auto &[key, value] : runs[i].values) {
      auto [it, fresh] = index.try_emplace(key, series.size());
      if (fresh) {
        series.push_back({key.first, key.second, std::vector<RunValue>(runs.size()), {}, false});
      }
      series[it->second].values[i] = value;
      series[it->second].values[i].present = true;
    }
  if (series.empty()) {
    // Name only what was asked for: errors alone ask for no transaction.
    bool errors = metrics.count("errors"), transactions = metrics.size() > errors;
    die(EXIT_NO_MATCH,
        std::string("history: the runs hold ") +
            (transactions ? "no transaction (a transaction group's response times)" : "") +
            (transactions && errors ? " and " : "") + (errors ? "no error graph" : ""));
  }
  HistoryOptions ho;
  ho.confidence = confidence, ho.threshold = threshold;
  std::vector<std::pair<const std::vector<RunValue> *, HistoryOptions>> metric_options;
  for (HistorySeries &s : series) {
    ho.higher_is_worse = s.metric != "throughput";
    metric_options.push_back({&s.values, ho});
  }
  std::vector<HistoryResult> results = analyse_histories(metric_options);
  for (size_t i = 0; i < series.size(); i++) series[i].result = std::move(results[i]);
  // The gate: Holm over the newest run's p-values of every judged metric.
  std::vector<double> p;
  std::vector<HistorySeries *> judged;
  for (HistorySeries &s : series)
    if (newest_judged(s.result.verdict)) p.push_back(s.result.newest_p), judged.push_back(&s);
  std::vector<bool> rejected = holm_rejected(p, 1 - confidence);
  for (size_t i = 0; i < judged.size(); i++)
    judged[i]->regression = rejected[i] && judged[i]->result.verdict == HistoryVerdict::Regression;
  std::stable_sort(series.begin(), series.end(),
                   [](const HistorySeries &a, const HistorySeries &b) {
                     if (rank(a) != rank(b)) return rank(a) < rank(b);
                     return std::fabs(a.result.newest_change) > std::fabs(b.result.newest_change);
                   });
  double z = gsl_cdf_ugaussian_Pinv(1 - (1 - confidence) / 2);
  if (o.format == "json")
    print_json(series, runs, z, threshold, confidence);
  else if (o.format == "csv")
    print_csv(series, runs, z);
  else
    print_text(series, runs, threshold, confidence, order_text(o.order_by));
  if (!o.html.empty()) write_html(series, runs, z, threshold, confidence, o);
  size_t gated = (size_t)std::count_if(series.begin(), series.end(),
                                       [](const HistorySeries &s) { return s.regression; });
  std::fprintf(stderr, "history: %s, %zu metrics\n", runs_text(runs.size()).c_str(), series.size());
  if (o.fail_on_regression && gated)
    die(EXIT_REGRESSION, "history: the newest run regressed in " + std::to_string(gated) +
                             (gated == 1 ? " metric" : " metrics") +
                             " against the last stable level, with the family-wise error held");
}

}  // namespace

void add_history_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand(
      "history",
      "a team's runs as one history: each transaction's value run by run, its change\n"
      "points and outliers, and a verdict on the newest run");
  cmd->add_option("sources", o->sources,
                  "stores, run folders, or folders searched for run stores (logs/TR*/tsdb)")
      ->required();
  cmd->add_option("--metric", o->metrics,
                  "mean, p95, throughput or errors; repeatable (default "
                  "mean and throughput)")
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(kMetrics), std::end(kMetrics))));
  cmd->add_option("--order-by", o->order_by,
                  "start (default) or label:NAME (runs ordered by that label, numbers as numbers)");
  cmd->add_option("--threshold", o->threshold, "smallest change reported, in percent (default 2)");
  cmd->add_option("--confidence", o->confidence,
                  "confidence of intervals and tests, in percent (default 95): noise alone gives\n"
                  "the history any change point with a chance of at most 1 - confidence");
  cmd->add_option("--format", o->format, "text, csv or json")
      ->check(CLI::IsMember({"text", "csv", "json"}))
      ->capture_default_str();
  cmd->add_option("--html", o->html, "also write one self-contained page with a trend chart each");
  cmd->add_flag(
      "--fail-on-regression", o->fail_on_regression,
      "exit status 3 when the newest run is a regression against the last stable level\n"
      "(Holm over every metric: noise alone fails it with a chance below 1 - confidence)");
  cmd->callback([o] { run_history(*o); });
}

}  // namespace orvtsdb_cli
