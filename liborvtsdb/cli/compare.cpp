/*
 * compare.cpp - `orvtsdb compare BASELINE CANDIDATE`: which metrics of a run
 * changed against another run, by how much, and whether the change is larger
 * than the runs' own noise (run_statistics.h says how).
 *
 * A metric is a group's graph for one series (its stored tag list); a times
 * graph is one metric (its avg weighted by its count), any other graph one
 * metric per role. Both runs are read on elapsed time since their first
 * sample, with --skip and --until cutting a warm-up and a ramp-down off both;
 * without --until both end where the shorter run ends, so the change and its
 * interval always cover one window, the same in both runs. A running total
 * (cumulative graph) is judged by its rate per second, not by its level,
 * which grows with the run's length alone.
 *
 * --fail-on-regression gates on the response times: their p-values go
 * through Holm's procedure, so the chance that noise alone fails a pair of
 * runs stays below 1 - kConfidence however many transactions there are.
 *
 * Each series is read once per run; the points of a changed metric are read
 * a second time only for the --html page.
 */
#include <algorithm>
#include <array>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "chart_data.h"
#include "command_line.h"
#include "interval_values.h"
#include "orvtsdb.h"
#include "orvtsdb_data_roles.h"
#include "orvtsdb_data_types.h"
#include "output_file.h"
#include "report_page.h"
#include "run_labels.h"
#include "run_statistics.h"
#include "selection.h"
#include "store_reading.h"
#include "text_table.h"
#include "time_text.h"
#include "value_text.h"

namespace orvtsdb_cli {

namespace {

struct Options {
  std::string baseline, candidate, skip, until, threshold = "5", format = "text", html;
  std::string baseline_run, candidate_run;  // one run of each store; --run for both
  bool all = false, fail_on_regression = false;
  Selection sel;
};

/* One run: its store, its start and the part of it compared. */
struct Run {
  Run(const std::string &argument, const std::string &run, const Options &o) : store(argument) {
    std::string err;
    bool any = false;
    sel = o.sel;
    if (!run.empty()) sel.run = run;
    sel.runs = select_runs(store.db(), sel.run);
    require_one_run(store.db(), sel, "compare");
    std::vector<int64_t> numbers;
    for (const orvtsdb::RunEntry &r : sel.runs) numbers.push_back(r.number);
    if (!orvtsdb::stored_time_span(store.db(), &start, &last, &any, err, numbers))
      die(EXIT_FAILURE_OTHER, store.path() + ": " + err);
    if (!any) die(EXIT_FAILURE_OTHER, store.path() + ": no samples to compare");
    if (sel.runs.size() == 1 &&
        !orvtsdb::read_run_labels(store.db(), sel.runs[0].number, labels, err))
      die(EXIT_FAILURE_OTHER, store.path() + ": " + err);
  }
  /* Dies unless the run has samples from `skip` on. */
  void check_skip(int64_t skip) const {
    if (start + skip > last)
      die(EXIT_NO_MATCH, "--skip " + clock_text(skip) + " is past the last sample of " +
                             store.path() + " (at " + clock_text(last - start) + ")");
  }
  /* Selects the elapsed window [skip, until) (check_skip has passed). */
  void select(int64_t skip, int64_t until) {
    sel.from = start + skip;
    sel.to = start + until - 1;
    selected = select_samples(store.db(), sel);
  }
  Store store;
  int64_t start = 0, last = 0;
  orvtsdb::Labels labels;  // the run's (build, branch, ...)
  Selection sel;
  Selected selected;
};

/* The elapsed window both runs are compared on: [from, to). */
struct Window {
  int64_t from = 0, to = 0;
};

bool is_running_total(int data_type) {
  const orv_data_type_t *t = orv_data_type(data_type);
  return t && t->family == ORV_FAMILY_CUMULATIVE;
}

/* A running total is compared by its growth per second, under this role. */
const char *const kRateRole = "rate /s";

/* What one run says of one metric. */
struct Summary {
  MetricStats stats;
  double count = 0, rate = 0;  // times graphs: transactions, and per second
};

/* One metric of one run as read: its intervals and its summary. */
struct Side {
  MetricSeries series;
  Summary summary;
};

/* One line of the result. Only summaries are kept: the intervals of one
 * series at a time are in memory. */
struct Row {
  std::string group, graph, labels, role;  // role empty for a times graph
  bool times = false;
  int data_type = 0;
  int present = 3;  // 1: baseline only, 2: candidate only, 3: both
  Summary base, cand;
  Change change;
  Onset onset;              // of a metric that changed (Up or Down)
  bool regression = false;  // a slower response time that passes the family-wise gate
  std::array<std::pair<const SelectedGraph *, int64_t>, 2> where{};  // graph and sid per run
};

std::string verdict_text(const Row &r) {
  if (r.present == 1) return "only in baseline";
  if (r.present == 2) return "only in candidate";
  switch (r.change.verdict) {
    case Verdict::Up: return r.times ? "slower" : "higher";
    case Verdict::Down: return r.times ? "faster" : "lower";
    case Verdict::WithinThreshold: return "within threshold";
    case Verdict::NoEvidence: return "no evidence";
    default: return "too little data";
  }
}

bool changed(const Row &r) {
  return r.present == 3 && (r.change.verdict == Verdict::Up || r.change.verdict == Verdict::Down);
}

/* Order of the output: slower response times first; then other changes,
 * faster times, metrics in one run only, changes within the threshold, no
 * evidence, too little data. Inside a rank real changes come first: those
 * that pass the family-wise gate, then by the least change their interval
 * allows. */
int rank(const Row &r) {
  if (r.present != 3) return 3;
  switch (r.change.verdict) {
    case Verdict::Up: return r.times ? 0 : 1;
    case Verdict::Down: return r.times ? 2 : 1;
    case Verdict::WithinThreshold: return 4;
    case Verdict::NoEvidence: return 5;
    default: return 6;
  }
}

/* The smallest change the interval allows (0 when it holds 0). */
double sure_change(const Row &r) {
  if (r.present != 3 || r.change.low * r.change.high <= 0) return 0;
  return std::min(std::fabs(r.change.low), std::fabs(r.change.high));
}

bool shown(const Row &r, const Options &o) { return o.all || rank(r) <= 3; }

std::string metric_text(const Row &r) {
  std::string t = r.group + " / " + r.graph;
  if (!r.labels.empty()) t += " / " + r.labels;
  if (!r.role.empty()) t += " [" + r.role + "]";
  return t;
}

/* The growth per second of a running total between two neighbouring
 * samples: NaN for the first one, after a missing one and where the total
 * went down (a restart counts from 0 again). */
struct RateOf {
  int64_t t = 0;
  double v = NAN;
  double next(int64_t now, double value) {
    double r = std::isnan(v) || std::isnan(value) || value < v || now <= t
                   ? NAN
                   : (value - v) / (double)(now - t);
    t = now, v = value;
    return r;
  }
};

/* The metrics of one series of one run: the times metric (key ""), or one
 * per role that holds a value. */
using Sides = std::map<std::string, Side>;

/* Reads one run's series into Sides, with its own walk of the store: each
 * run is read by one thread at a time. */
struct SideReader {
  /* `percentiles`: those of a response time's statistics (Percentile bits)
   * and those of every other metric's. */
  SideReader(const Run &r, std::array<unsigned, 2> percentiles)
      : run(r), walk(r.store.db()), percentiles(percentiles) {}
  /* Series sid of graph g into out; false with err set when a chunk could
   * not be read. */
  bool read(const SelectedGraph &g, int64_t sid, Sides &out);

  const Run &run;
  orvtsdb::ChunkWalker walk;
  std::array<unsigned, 2> percentiles;
  SampleColumns columns;
  std::vector<double> sample;  // one time stamp's roles
  std::string err;
};

bool SideReader::read(const SelectedGraph &g, int64_t sid, Sides &out) {
  out.clear();
  if (!read_sample_columns(walk, run.sel, g, sid, 0, columns, err)) return false;
  bool times = orv_is_times(g.data_type), total = is_running_total(g.data_type);
  const std::vector<int64_t> &stamps = columns.times;
  size_t n = stamps.size(), roles = columns.roles.size();
  sample.resize(roles);
  double count = 0;
  // A metric gets its Side at its first value, so a role that holds none
  // is not a metric of this run.
  std::vector<Side *> side(roles);
  auto open_side = [&](const std::string &key) {
    Side *s = &out[key];
    s->series.reserve(n);
    return s;
  };
  Side *times_side = times ? open_side("") : nullptr;
  RateOf rate;
  for (size_t i = 0; i < n; i++) {
    for (size_t r = 0; r < roles; r++) sample[r] = columns.roles[r][i];
    const double *v = sample.data();
    int64_t elapsed = stamps[i] - run.start;
    if (times) {
      // avg 0, max 2, count 3; a count of 0 has no response time.
      if (orvtsdb::is_missing(v[0]) || orvtsdb::is_missing(v[3])) continue;
      count += v[3];
      times_side->series.add(elapsed, v[0], v[3], orvtsdb::is_missing(v[2]) ? v[0] : v[2]);
    } else if (total) {
      double r = rate.next(stamps[i], orvtsdb::reads_as_absent(g.data_type, 0, v) ? NAN : v[0]);
      if (std::isnan(r)) continue;
      if (!side[0]) side[0] = open_side(kRateRole);
      side[0]->series.add(elapsed, r, 1, r);
    } else {
      for (int r : g.roles) {
        if (orvtsdb::reads_as_absent(g.data_type, r, v)) continue;
        if (!side[(size_t)r]) side[(size_t)r] = open_side(role_text(g, r));
        side[(size_t)r]->series.add(elapsed, v[r], 1, v[r]);
      }
    }
  }
  // The span covers the last interval too; a lone sample gives no rate.
  double span = n ? orvtsdb::covered_seconds(stamps[0], stamps[n - 1], n, 0) : 0;
  for (auto &[key, s] : out) {
    s.summary.stats = s.series.stats(percentiles[times ? 0 : 1]);
    if (times) s.summary.count = count, s.summary.rate = span > 0 ? count / span : 0;
  }
  return true;
}

/* A series of one run to read: its graph (null when the run has none of
 * it) and its id. */
using SideJob = std::pair<const SelectedGraph *, int64_t>;

/* Reads one run's series in a second thread, at most kAhead of them ahead
 * of the thread that takes them, so that the two runs are read at once
 * while memory holds a few series of each. */
class ReadAhead {
 public:
  ReadAhead(SideReader &reader, std::vector<SideJob> jobs)
      : reader_(reader), jobs_(std::move(jobs)), thread_([this] { run(); }) {}
  ~ReadAhead() { stop(); }
  ReadAhead(const ReadAhead &) = delete;
  ReadAhead &operator=(const ReadAhead &) = delete;

  /* The next job's sides, in the order of the jobs; false when reading it
   * failed (the reader's err says why, once stop() has returned). */
  bool next(Sides &out) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !ready_.empty() || failed_; });
    if (ready_.empty()) return false;
    out = std::move(ready_.front());
    ready_.pop_front();
    changed_.notify_all();
    return true;
  }
  /* Ends the thread; the reader is the caller's again. */
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

 private:
  static constexpr size_t kAhead = 2;
  void run() {
    for (const SideJob &job : jobs_) {
      Sides sides;
      bool ok = !job.first || reader_.read(*job.first, job.second, sides);
      std::unique_lock lock(mutex_);
      if (!ok)
        failed_ = true;
      else
        ready_.push_back(std::move(sides));
      changed_.notify_all();
      changed_.wait(lock, [&] { return ready_.size() < kAhead || stopped_; });
      if (failed_ || stopped_) return;
    }
  }

  SideReader &reader_;
  std::vector<SideJob> jobs_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Sides> ready_;
  bool failed_ = false, stopped_ = false;
  std::thread thread_;  // last: starts once the rest exists
};

std::string key_of(const SelectedGraph &g, const SelectedSeries &s) {
  return g.group + '\x1f' + g.name + '\x1f' + s.labels;
}

/* The percentiles the output shows, of a response time and of any other
 * metric: JSON gives a response time's four and the p50 and p95 of the
 * others (side_json), CSV the change of the p95 (p95_change), the text and
 * the page none. */
std::array<unsigned, 2> shown_percentiles(const Options &o) {
  if (o.format == "json") return {kEveryPercentile, kP50 | kP95};
  if (o.format == "csv") return {kP95, kP95};
  return {0, 0};
}

/* Every metric of the two runs, matched, with its statistics and the
 * percentiles shown_percentiles() names. */
std::vector<Row> compare_runs(const Run &base, const Run &cand, Window w, double threshold,
                              std::array<unsigned, 2> percentiles) {
  std::map<std::string, std::array<std::pair<const SelectedGraph *, const SelectedSeries *>, 2>>
      streams;
  const Run *runs[2] = {&base, &cand};
  for (int k = 0; k < 2; k++)
    for (const SelectedGraph &g : runs[k]->selected.graphs)
      for (const SelectedSeries &s : *g.series) streams[key_of(g, s)][k] = {&g, &s};
  // The baseline is read here, the candidate in a second thread.
  SideReader base_reader(base, percentiles), cand_reader(cand, percentiles);
  std::vector<SideJob> cand_jobs;
  for (const auto &[key, pair] : streams)
    cand_jobs.push_back({pair[1].first, pair[1].first ? pair[1].second->sid : 0});
  ReadAhead cand_sides(cand_reader, std::move(cand_jobs));
  std::vector<Row> rows;
  for (const auto &[key, pair] : streams) {
    Sides sides[2];
    if (pair[0].first && !base_reader.read(*pair[0].first, pair[0].second->sid, sides[0])) {
      cand_sides.stop();
      die(EXIT_FAILURE_OTHER, base_reader.err);
    }
    if (!cand_sides.next(sides[1])) {
      cand_sides.stop();
      die(EXIT_FAILURE_OTHER, cand_reader.err);
    }
    const SelectedGraph &g = *(pair[0].first ? pair[0].first : pair[1].first);
    const SelectedSeries &s = *(pair[0].second ? pair[0].second : pair[1].second);
    std::map<std::string, int> roles;
    for (int k = 0; k < 2; k++)
      for (const auto &[role, side] : sides[k]) roles[role] |= 1 << k;
    // A series both runs hold is in both, though one has no value of a role
    // in the window (judged as too little data, not as one run's).
    if (pair[0].first && pair[1].first)
      for (auto &[role, present] : roles) present = 3;
    // A series of one run only is listed by its roles too, with its side's
    // summary; one without a value of any role, as one row.
    if (roles.empty() && (!pair[0].first || !pair[1].first)) roles = {{"", pair[0].first ? 1 : 2}};
    for (const auto &[role, present] : roles) {
      Row r;
      r.group = g.group, r.graph = g.name, r.labels = s.labels, r.role = role;
      r.times = orv_is_times(g.data_type);
      r.data_type = g.data_type;
      r.present = present;
      for (int k = 0; k < 2; k++)
        if (pair[k].first) r.where[k] = {pair[k].first, pair[k].second->sid};
      if (present & 1) r.base = sides[0][role].summary;
      if (present & 2) r.cand = sides[1][role].summary;
      if (present == 3) {
        const Side &b = sides[0][role], &c = sides[1][role];
        r.change = compare_series(b.series, c.series, w.from, w.to, threshold);
        if (changed(r)) r.onset = change_onset(b.series, c.series, w.from, w.to, threshold);
      }
      rows.push_back(std::move(r));
    }
  }
  // The gate: Holm over every judged response time.
  std::vector<double> p;
  std::vector<Row *> gated;
  for (Row &r : rows)
    if (r.times && r.present == 3 && r.change.verdict != Verdict::TooLittleData)
      p.push_back(r.change.p), gated.push_back(&r);
  std::vector<bool> rejected = holm_rejected(p, 1 - kConfidence);
  for (size_t i = 0; i < gated.size(); i++)
    gated[i]->regression = rejected[i] && gated[i]->change.verdict == Verdict::Up;
  std::stable_sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) {
    if (rank(a) != rank(b)) return rank(a) < rank(b);
    if (a.regression != b.regression) return a.regression;
    if (sure_change(a) != sure_change(b)) return sure_change(a) > sure_change(b);
    return std::fabs(a.change.change) > std::fabs(b.change.change);
  });
  return rows;
}

std::string percent(double x) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+.1f%%", 100 * x);
  return buf;
}

std::string mean_text(const Summary &s) {
  if (s.stats.intervals == 0) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", s.stats.mean);
  return buf;
}

bool judged(const Row &r) { return r.present == 3 && r.change.verdict != Verdict::TooLittleData; }

std::string interval_text(const Row &r) {
  if (!judged(r)) return "";
  return "[" + percent(r.change.low) + ", " + percent(r.change.high) + "]";
}

bool has_change(const Row &r) {
  return r.present == 3 && r.base.stats.intervals && r.cand.stats.intervals && r.base.stats.mean;
}

std::string change_text(const Row &r) { return has_change(r) ? percent(r.change.change) : ""; }

/* The change of the p95 of the intervals (count-weighted for response times). */
std::optional<double> p95_change(const Row &r) {
  if (!has_change(r) || !(r.base.stats.p95 > 0)) return std::nullopt;
  return r.cand.stats.p95 / r.base.stats.p95 - 1;
}

/* "since" of a changed metric: the elapsed time its change began. */
std::string since_text(const Row &r) { return changed(r) ? clock_text(r.onset.since) : ""; }

/* The change before and after a change that began inside the window. */
std::string step_text(const Row &r) {
  return changed(r) && r.onset.stepped ? percent(r.onset.before) + " -> " + percent(r.onset.after)
                                       : "";
}

const char *const kVerdicts[] = {"slower",          "faster",           "higher",
                                 "lower",           "within threshold", "no evidence",
                                 "too little data", "only in baseline", "only in candidate"};

/* The closing count: "1,318 metrics: 1 slower, ...". */
std::string tally(const std::vector<Row> &rows) {
  std::map<std::string, size_t> n;
  for (const Row &r : rows) n[verdict_text(r)]++;
  std::string out = count_text((int64_t)rows.size()) + " metrics:";
  bool first = true;
  for (const char *v : kVerdicts) {
    out += std::string(first ? " " : ", ") + std::to_string(n[v]) + " " + v;
    first = false;
  }
  return out;
}

size_t regressions(const std::vector<Row> &rows) {
  return (size_t)std::count_if(rows.begin(), rows.end(), [](const Row &r) { return r.regression; });
}

std::string run_text(const Run &r) {
  std::string labels;
  for (const auto &[k, v] : r.labels) labels += ", " + k + "=" + v;
  return "start " + utc_text(r.start) + " UTC, last sample at " + clock_text(r.last - r.start) +
         labels;
}

std::string window_text(Window w) {
  return "compared " + clock_text(w.from) + " .. " + clock_text(w.to) +
         " of both runs (elapsed time)";
}

std::string gate_text(const std::vector<Row> &rows, double threshold) {
  size_t n = regressions(rows);
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "threshold %g%%, %g%% intervals; gate: %zu slower response %s (Holm, "
                "family-wise error %g%%)",
                100 * threshold, 100 * kConfidence, n, n == 1 ? "time" : "times",
                100 * (1 - kConfidence));
  return buf;
}

void print_text(const std::vector<Row> &rows, const Run &b, const Run &c, Window w,
                double threshold, const Options &o) {
  constexpr size_t kColumns = 8;
  std::vector<std::array<std::string, kColumns>> cells = {{"change", "95% interval", "since",
                                                           "before -> after", "baseline",
                                                           "candidate", "verdict", "metric"}};
  for (const Row &r : rows)
    if (shown(r, o))
      cells.push_back({change_text(r), interval_text(r), since_text(r), step_text(r),
                       mean_text(r.base), mean_text(r.cand), verdict_text(r), metric_text(r)});
  std::printf("baseline   %s (%s)\ncandidate  %s (%s)\nwindow     %s\n           %s\n\n",
              b.store.path().c_str(), run_text(b).c_str(), c.store.path().c_str(),
              run_text(c).c_str(), window_text(w).c_str(), gate_text(rows, threshold).c_str());
  print_columns(cells);
  if (cells.size() == 1) std::printf("(no metric changed beyond the threshold)\n");
  std::printf("\n%s\n", tally(rows).c_str());
}

Json side_json(const Row &r, const Summary &s) {
  const MetricStats &m = s.stats;
  Json j = {{"mean", m.intervals ? Json(m.mean) : Json()},
            {"intervals", m.intervals},
            {"max", m.intervals ? Json(m.max) : Json()}};
  std::string p = r.times ? "interval_avg_p" : "p";
  for (auto [name, v] :
       {std::pair<const char *, double>{"50", m.p50}, {"90", m.p90}, {"95", m.p95}, {"99", m.p99}})
    if (r.times || std::string(name) == "50" || std::string(name) == "95")
      j[p + name] = m.intervals ? Json(v) : Json();
  if (r.times) j["count"] = s.count, j["rate_per_s"] = s.rate;
  return j;
}

Json run_json(const Run &r) {
  Json labels = Json::object();
  for (const auto &[k, v] : r.labels) labels[k] = v;
  return {{"path", r.store.path()},
          {"start", utc_text(r.start) + " UTC"},
          {"start_epoch", r.start},
          {"last_sample_s", r.last - r.start},
          {"labels", labels}};
}

void print_json(const std::vector<Row> &rows, const Run &b, const Run &c, Window w,
                double threshold, const Options &o) {
  Json metrics = Json::array();
  Json totals = {{"metrics", rows.size()}};
  for (const char *v : kVerdicts) totals[v] = 0;
  for (const Row &r : rows) totals[verdict_text(r)] = totals[verdict_text(r)].get<size_t>() + 1;
  totals["regressions"] = regressions(rows);
  for (const Row &r : rows) {
    if (!shown(r, o)) continue;
    Json j = {
        {"verdict", verdict_text(r)}, {"group", r.group}, {"graph", r.graph}, {"labels", r.labels}};
    j["role"] = r.role.empty() ? Json() : Json(r.role);  // a times graph's metric has none
    const orv_data_type_t *type = orv_data_type(r.data_type);
    j["data_type"] = type ? type->name : "?";
    if (judged(r)) {
      j["change"] = r.change.change, j["low"] = r.change.low, j["high"] = r.change.high;
      j["p_value"] = r.change.p, j["dof"] = r.change.dof;
      j["batches"] = r.change.batches, j["batch_seconds"] = r.change.batch;
    }
    j["since"] = changed(r) ? Json(r.onset.since) : Json();
    j["before"] = changed(r) && r.onset.stepped ? Json(r.onset.before) : Json();
    j["after"] = changed(r) && r.onset.stepped ? Json(r.onset.after) : Json();
    std::optional<double> p95 = p95_change(r);
    j["p95_change"] = p95 ? Json(*p95) : Json();
    if (r.times) j["regression"] = r.regression;
    if (r.present & 1) j["baseline"] = side_json(r, r.base);
    if (r.present & 2) j["candidate"] = side_json(r, r.cand);
    metrics.push_back(std::move(j));
  }
  Json out = {{"baseline", run_json(b)},
              {"candidate", run_json(c)},
              {"window", {{"from_s", w.from}, {"to_s", w.to}}},
              {"threshold", threshold},
              {"confidence", kConfidence},
              {"result", regressions(rows) ? "fail" : "pass"},
              {"totals", totals},
              {"metrics", std::move(metrics)}};
  std::printf("%s\n", json_dump(out, 2).c_str());
}

void print_csv(const std::vector<Row> &rows, const Options &o) {
  OutBuffer out;
  out.text() +=
      "verdict,group,graph,labels,role,change_pct,low_pct,high_pct,since_s,before_pct,after_pct,"
      "p95_change_pct,p_value,regression,baseline_mean,candidate_mean,baseline_intervals,"
      "candidate_intervals,baseline_count,candidate_count\n";
  for (const Row &r : rows) {
    if (!shown(r, o)) continue;
    bool j = judged(r), step = changed(r) && r.onset.stepped;
    std::optional<double> p95 = p95_change(r);
    auto num = [](bool has, double v) { return has ? number_text(v) : std::string(); };
    auto pct = [](bool has, double v) { return has ? number_text(100 * v) : std::string(); };
    out.text() += csv_field(verdict_text(r)) + "," + csv_field(r.group) + "," + csv_field(r.graph) +
                  "," + csv_field(r.labels) + "," + csv_field(r.role) + "," +
                  pct(j, r.change.change) + "," + pct(j, r.change.low) + "," +
                  pct(j, r.change.high) + "," + num(changed(r), (double)r.onset.since) + "," +
                  pct(step, r.onset.before) + "," + pct(step, r.onset.after) + "," +
                  pct(p95.has_value(), p95.value_or(0)) + "," + num(j, r.change.p) + "," +
                  (r.times ? (r.regression ? "yes" : "no") : "") + "," +
                  num(r.base.stats.intervals, r.base.stats.mean) + "," +
                  num(r.cand.stats.intervals, r.cand.stats.mean) + "," +
                  std::to_string(r.base.stats.intervals) + "," +
                  std::to_string(r.cand.stats.intervals) + "," + num(r.times, r.base.count) + "," +
                  num(r.times, r.cand.count) + "\n";
    out.maybe_flush();
  }
}

/* The values of one metric of one run on elapsed time, for its chart: a gap
 * where an interval has no value (no transaction, for a times graph). */
void chart_line(ChartBuilder &b, const std::string &label, const Run &run, const Row &r,
                const SelectedGraph &g, int64_t sid) {
  std::vector<int64_t> times;
  std::vector<double> values;
  int role = 0;
  for (int k : g.roles)
    if (!r.times && r.role == role_text(g, k)) role = k;
  bool total = is_running_total(g.data_type);
  RateOf rate;
  for_each_sample(run.store.db(), run.sel, g, sid, [&](int64_t t, int64_t, const double *v) {
    times.push_back(t - run.start);
    bool none = r.times ? orvtsdb::is_missing(v[3]) || v[3] <= 0
                        : orvtsdb::reads_as_absent(g.data_type, role, v);
    double value = none ? TSDB_MISSING_VALUE : v[role];
    if (total) {
      double x = rate.next(t, none ? NAN : v[role]);
      value = std::isnan(x) ? TSDB_MISSING_VALUE : x;
    }
    values.push_back(value);
  });
  b.add_line({label}, std::move(times), std::move(values));
}

void write_html(const std::vector<Row> &rows, const Run &b, const Run &c, Window w,
                double threshold, const Options &o) {
  std::string table =
      "<table class=\"facts\"><tr><th>change</th><th>95% interval</th><th>since</th>"
      "<th>before &rarr; after</th><th>baseline</th><th>candidate</th><th>verdict</th>"
      "<th>metric</th></tr>";
  std::string charts;
  size_t id = 0;
  for (const Row &r : rows) {
    if (!shown(r, o)) continue;
    std::string metric = html(metric_text(r));
    if (changed(r)) metric = "<a href=\"#chart-" + std::to_string(id) + "\">" + metric + "</a>";
    table += "<tr><td>" + change_text(r) + "</td><td>" + interval_text(r) + "</td><td>" +
             since_text(r) + "</td><td>" + html(step_text(r)) + "</td><td>" + mean_text(r.base) +
             "</td><td>" + mean_text(r.cand) + "</td><td>" + html(verdict_text(r)) + "</td><td>" +
             metric + "</td></tr>";
    if (!changed(r)) continue;
    ChartBuilder builder(kChartPixels);
    chart_line(builder, "baseline", b, r, *r.where[0].first, r.where[0].second);
    chart_line(builder, "candidate", c, r, *r.where[1].first, r.where[1].second);
    ChartData data = builder.build();
    data.elapsed = true;
    std::string note = verdict_text(r) + " " + percent(r.change.change) + ", 95% interval " +
                       interval_text(r) + "; since " + since_text(r) +
                       (r.onset.stepped ? " (" + step_text(r) + ")" : "") +
                       (r.times ? "; average response time per interval, " +
                                      std::string("gaps where nothing finished")
                                : "");
    charts += chart_box(id, metric_text(r), "", note, data);
    id++;
  }
  table += "</table>";
  std::string body = "<header><h1>Run comparison</h1><p class=\"store\">baseline " +
                     html(b.store.path()) + " (" + html(run_text(b)) + ")<br>candidate " +
                     html(c.store.path()) + " (" + html(run_text(c)) + ")<br>" +
                     html(window_text(w)) + "<br>" + html(gate_text(rows, threshold)) + "</p><p>" +
                     html(tally(rows)) + "</p></header>\n<section id=\"summary\"><h2>Changes</h2>" +
                     table +
                     "</section>\n<section class=\"group\"><h2>Baseline and candidate</h2>"
                     "<div class=\"charts\">\n" +
                     (charts.empty() ? "<p>No metric changed beyond the threshold.</p>\n"
                                     : charts) +
                     "</div></section>\n";
  write_page(o.html,
             "Run comparison " + clock_text(w.from) + " .. " + clock_text(w.to) + ": " +
                 b.store.path() + " / " + c.store.path(),
             body);
  std::fprintf(stderr, "wrote %s\n", o.html.c_str());
}

double threshold_of(const std::string &text) {
  std::string t = text;
  if (!t.empty() && t.back() == '%') t.pop_back();
  char *end = nullptr;
  double v = std::strtod(t.c_str(), &end);
  if (t.empty() || *end || !(v >= 0) || v > 1000)
    die(EXIT_USAGE, "--threshold needs a percentage such as 5 or 2.5%, not '" + text + "'");
  return v / 100;
}

void run_compare(const Options &o) {
  double threshold = threshold_of(o.threshold);
  std::optional<int64_t> skip = o.skip.empty() ? std::optional<int64_t>(0) : parse_duration(o.skip);
  std::optional<int64_t> until;
  if (!skip)
    die(EXIT_USAGE, "--skip needs a duration such as 300, 90s, 5m or 1h30m, not '" + o.skip + "'");
  if (!o.until.empty() && !(until = parse_duration(o.until)))
    die(EXIT_USAGE, "--until needs a duration such as 55m, not '" + o.until + "'");
  if (until && *until <= *skip)
    die(EXIT_USAGE, "--until " + o.until + " is not after --skip " +
                        (o.skip.empty() ? "0 (its default)" : o.skip));
  if (!o.html.empty()) check_output_file(o.html);
  Run base(o.baseline, o.baseline_run, o), cand(o.candidate, o.candidate_run, o);
  base.check_skip(*skip);
  cand.check_skip(*skip);
  // Both runs end where the shorter one does, or at --until before that.
  int64_t shorter = std::min(base.last - base.start, cand.last - cand.start) + 1;
  Window w{*skip, until ? std::min(*until, shorter) : shorter};
  base.select(w.from, w.to);
  cand.select(w.from, w.to);
  std::vector<Row> rows = compare_runs(base, cand, w, threshold, shown_percentiles(o));
  if (o.format == "json")
    print_json(rows, base, cand, w, threshold, o);
  else if (o.format == "csv")
    print_csv(rows, o);
  else
    print_text(rows, base, cand, w, threshold, o);
  if (!o.html.empty()) write_html(rows, base, cand, w, threshold, o);
  std::fprintf(stderr, "compare: baseline %s, candidate %s\n", runs_text(base.sel.runs).c_str(),
               runs_text(cand.sel.runs).c_str());
  size_t slower = regressions(rows);
  if (o.fail_on_regression && slower)
    die(EXIT_REGRESSION, "compare: " + std::to_string(slower) +
                             (slower == 1 ? " response time" : " response times") +
                             " slower beyond the threshold, with the family-wise error held");
}

}  // namespace

void add_compare_command(CLI::App &app) {
  auto o = std::make_shared<Options>();
  CLI::App *cmd = app.add_subcommand(
      "compare",
      "which metrics changed from a baseline run to a candidate run, by how much, and\n"
      "whether beyond the runs' own noise");
  cmd->add_option("baseline", o->baseline, "the earlier run: run directory or store file")
      ->required();
  cmd->add_option("candidate", o->candidate, "the run to judge: run directory or store file")
      ->required();
  add_selection_options(*cmd, o->sel, true);
  cmd->add_option("--baseline-run", o->baseline_run,
                  "the baseline's run when its store holds several (as --run)");
  cmd->add_option("--candidate-run", o->candidate_run,
                  "the candidate's run when its store holds several (as --run): two runs of one "
                  "store compare as STORE STORE --baseline-run A --candidate-run B");
  cmd->add_option("--graph", o->sel.graph, "only this graph (name)");
  cmd->add_option("--skip", o->skip, "drop a warm-up from both runs: 300, 90s, 5m, 1h30m");
  cmd->add_option("--until", o->until, "end both runs at this elapsed time (a ramp-down off)");
  cmd->add_option("--threshold", o->threshold,
                  "smallest change called a change, in percent (default 5)");
  cmd->add_flag("--all", o->all, "list every metric, unchanged ones too");
  cmd->add_option("--format", o->format, "text, csv or json")
      ->check(CLI::IsMember({"text", "csv", "json"}))
      ->capture_default_str();
  cmd->add_option("--html", o->html, "also write one self-contained page with overlay charts");
  cmd->add_flag("--fail-on-regression", o->fail_on_regression,
                "exit status 3 when a response time got slower beyond the threshold; the\n"
                "chance that noise alone fails the gate is held at 5 % over all of them (Holm)");
  cmd->callback([o] { run_compare(*o); });
}

}  // namespace orvtsdb_cli
