/*
 * run_summary.cpp - a run's per-transaction summary: computed from its
 * samples, kept at commit, read back by its history.
 */
#include "run_summary.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <set>

#include "graph_places.h"
#include "interval_values.h"
#include "orvtsdb_data_roles.h"
#include "orvtsdb_data_types.h"
#include "sqlite_stmt.h"
#include "store_checks.h"
#include "store_reading.h"
#include "store_schema.h"
#include "weighted_quantiles.h"

namespace orvtsdb {

namespace {

bool fail(sqlite3 *db, std::string &err) {
  err = sqlite3_errmsg(db);
  return false;
}

/* The intervals of one series of one run that carry a value, in time order. */
struct Intervals {
  std::vector<int64_t> t;
  std::vector<double> value, weight;
  std::vector<double> covers;  // the seconds each sample covers: its chunk's step
  int64_t step = 1;            // the usual distance of two samples
};

/* The batches of n intervals: [bounds[b], bounds[b + 1]), each of at least
 * two intervals. */
std::vector<size_t> batch_bounds(size_t n) {
  size_t batches = std::min<size_t>(kSummaryBatches, n / 2);
  std::vector<size_t> bounds;
  for (size_t b = 0; b <= batches; b++) bounds.push_back(n * b / std::max<size_t>(batches, 1));
  return bounds;
}

/* Weighted mean response time (of the transactions). */
bool mean_of(const Intervals &iv, MetricSummary &out) {
  double W = 0, S = 0;
  for (size_t i = 0; i < iv.value.size(); i++) W += iv.weight[i], S += iv.weight[i] * iv.value[i];
  if (!(W > 0)) return false;
  out.value = S / W, out.weight = W;
  std::vector<size_t> bounds = batch_bounds(iv.value.size());
  for (size_t b = 0; b + 1 < bounds.size(); b++) {
    double bw = 0, bs = 0;
    for (size_t i = bounds[b]; i < bounds[b + 1]; i++)
      bw += iv.weight[i], bs += iv.weight[i] * iv.value[i];
    if (bw > 0) out.batch_values.push_back(bs / bw), out.batch_weights.push_back(bw);
  }
  return true;
}

double weighted_p95(const Intervals &iv, size_t from, size_t to) {
  return WeightedQuantiles(iv.value.data() + from, iv.weight.data() + from, to - from).at(0.95);
}

/* Weighted p95 of the interval averages; every batch weighs the same. */
bool p95_of(const Intervals &iv, MetricSummary &out) {
  size_t n = iv.value.size();
  if (!n) return false;
  out.value = weighted_p95(iv, 0, n);
  for (double w : iv.weight) out.weight += w;
  std::vector<size_t> bounds = batch_bounds(n);
  for (size_t b = 0; b + 1 < bounds.size(); b++)
    if (bounds[b + 1] > bounds[b])
      out.batch_values.push_back(weighted_p95(iv, bounds[b], bounds[b + 1])),
          out.batch_weights.push_back(1);
  return true;
}

/* The weights per second over the series' span (a sample covers one step);
 * a batch weighs its span. */
bool rate_of(const Intervals &iv, MetricSummary &out) {
  size_t n = iv.t.size();
  if (n < 2) return false;
  auto span = [&](size_t a, size_t b) { return (double)(iv.t[b - 1] - iv.t[a] + iv.step); };
  double W = 0;
  for (double w : iv.weight) W += w;
  out.value = W / span(0, n), out.weight = W;
  std::vector<size_t> bounds = batch_bounds(n);
  for (size_t b = 0; b + 1 < bounds.size(); b++) {
    if (bounds[b + 1] <= bounds[b]) continue;
    double bw = 0;
    for (size_t i = bounds[b]; i < bounds[b + 1]; i++) bw += iv.weight[i];
    out.batch_values.push_back(bw / span(bounds[b], bounds[b + 1]));
    out.batch_weights.push_back(span(bounds[b], bounds[b + 1]));
  }
  return true;
}

/* A transaction by its name: the value of its series' "Transaction" tag,
 * else its whole tag list (else the graph). */
std::string transaction_name(const GraphEntry &g, const SeriesEntry &s) {
  for (const auto &[tag, value] : s.tags)
    if (lower(tag) == "transaction") return value;
  return s.labels.empty() ? g.name : s.labels;
}

/* The intervals of series sid, graph g that carry a value: of a times graph
 * those with a count above 0 (avg weighted by count), of another graph
 * every present value (weight 1). */
bool read_intervals(ChunkWalker &walk, const GraphEntry &g, int64_t sid, Intervals &iv,
                    std::string &err) {
  bool times = orv_is_times(g.data_type);
  int roles = std::max(1, orv_role_count(g.data_type));
  std::vector<double> v((size_t)roles);
  auto each = [&](const ChunkView &c) {
    for (int i = 0; i < c.count; i++) {
      for (int r = 0; r < roles; r++) v[r] = r < c.roles ? c.column(r)[i] : TSDB_MISSING_VALUE;
      if (times ? roles < 4 || is_missing(v[3]) || is_missing(v[0]) || !(v[3] > 0)
                : reads_as_absent(g.data_type, 0, v.data()))
        continue;
      // A value that is no number (a NaN or an infinity the run recorded)
      // is left out, as compare leaves it out.
      if (!std::isfinite(v[0]) || (times && !std::isfinite(v[3]))) continue;
      iv.t.push_back(c.start + i * c.step);
      iv.value.push_back(v[0]);
      iv.weight.push_back(times ? v[3] : 1);
      iv.covers.push_back((double)c.step);
    }
  };
  if (!walk.for_each_chunk(sid, g.idx, std::numeric_limits<int64_t>::min(),
                           std::numeric_limits<int64_t>::max(), each, err))
    return false;
  iv.step = usual_step(iv.t);
  return true;
}

/* Little-endian (value, weight) pairs, as the batches column keeps them. */
std::string pack_batches(const MetricSummary &m) {
  std::string out;
  auto put = [&](double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, 8);
    for (int i = 0; i < 8; i++) out += (char)(bits >> (8 * i));
  };
  for (size_t b = 0; b < m.batch_values.size(); b++)
    put(m.batch_values[b]), put(m.batch_weights[b]);
  return out;
}

/* The batches column's bytes; false when they are not whole pairs, or more
 * than kSummaryBatches of them (the readers' checks say so too). */
bool unpack_batches(const unsigned char *p, size_t n, MetricSummary &m) {
  if (n % 16 || n / 16 > (size_t)kSummaryBatches) return false;
  auto get = [&](size_t at) {
    uint64_t bits = 0;
    for (int i = 0; i < 8; i++) bits |= (uint64_t)p[at + i] << (8 * i);
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  };
  for (size_t at = 0; at < n; at += 16)
    m.batch_values.push_back(get(at)), m.batch_weights.push_back(get(at + 8));
  return true;
}

}  // namespace

bool summarise_run(sqlite3 *db, int64_t run, std::vector<MetricSummary> &out, std::string &err) {
  out.clear();
  std::vector<GroupEntry> groups;
  std::vector<GraphEntry> graphs;
  if (!list_groups(db, groups, err) || !list_graphs(db, "", "", graphs, err)) return false;
  std::map<int64_t, Place> place;
  for (const GroupEntry &g : groups) place[g.gid] = place_of(g);
  std::set<int64_t> transaction_groups;
  std::map<int64_t, std::vector<SeriesEntry>> series_of;
  ChunkWalker walk(db);
  for (const GraphEntry &g : graphs) {
    bool times = orv_is_times(g.data_type);
    bool transactions = place[g.gid] == kTransactions && times &&
                        transaction_groups.insert(g.gid).second;
    bool errors = counts_errors(g.group, g.name);
    if (!transactions && !errors) continue;
    auto found = series_of.find(g.gid);
    if (found == series_of.end()) {
      found = series_of.emplace(g.gid, std::vector<SeriesEntry>()).first;
      if (!list_series(db, g.gid, found->second, err)) return false;
    }
    for (const SeriesEntry &s : found->second) {
      // Run 0: a store whose series have no run holds one run.
      if (s.run != run && s.run != 0) continue;
      Intervals iv;
      if (!read_intervals(walk, g, s.sid, iv, err)) return false;
      auto put = [&](std::string key, const char *metric,
                     bool (*of)(const Intervals &, MetricSummary &), const Intervals &from) {
        MetricSummary m;
        m.series = std::move(key), m.metric = metric;
        // finite values sum to a finite whole unless they overflow it
        if (of(from, m) && std::isfinite(m.value)) out.push_back(std::move(m));
      };
      if (transactions) {
        std::string key = g.group + " / " + transaction_name(g, s);
        put(key, "mean", mean_of, iv);
        put(key, "p95", p95_of, iv);
        put(key, "throughput", rate_of, iv);
      }
      if (errors) {
        // Errors per second: a times graph's count, another graph's values
        // (a rate's over its sample's step).
        Intervals counted = iv;
        double unit = rate_unit(g);
        if (!times)
          for (size_t i = 0; i < iv.value.size(); i++)
            counted.weight[i] = iv.value[i] * (unit > 0 ? unit * iv.covers[i] : 1);
        put(g.group + " / " + g.name + (s.labels.empty() ? "" : " / " + s.labels), "errors",
            rate_of, counted);
      }
    }
  }
  return true;
}

bool store_run_summary(sqlite3 *db, int64_t run, std::string &err) {
  std::vector<MetricSummary> summary;
  if (!summarise_run(db, run, summary, err)) return false;
  // Two series of one transaction name: the later one is kept, as a
  // history of the run reads them.
  std::map<std::pair<std::string, std::string>, const MetricSummary *> rows;
  for (const MetricSummary &m : summary) rows[{m.series, m.metric}] = &m;
  // The version's row: series '' and metric '' hold it, with the number of
  // metrics beside it.
  MetricSummary version;
  version.value = kSummaryVersion, version.weight = (double)rows.size();
  rows[{"", ""}] = &version;
  Stmt clear, put, check;
  if (!clear.prepare(db, "DELETE FROM run_summaries WHERE run = ?1", err) ||
      !put.prepare(db,
                   "INSERT INTO run_summaries(run, series, metric, value, weight, "
                   "batches) VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
                   err) ||
      !check.prepare(db, row_check_update("run_summaries", "run = ?1").c_str(), err))
    return false;
  clear.bind(1, run);
  if (clear.step() != SQLITE_DONE) return fail(db, err);
  for (const auto &[key, row] : rows) {
    const MetricSummary &m = *row;
    std::string batches = pack_batches(m);
    put.reset();
    put.bind(1, run);
    put.bind(2, m.series);
    put.bind(3, m.metric);
    sqlite3_bind_double(put.get(), 4, m.value);
    sqlite3_bind_double(put.get(), 5, m.weight);
    put.bind_blob(6, batches.data(), batches.size());
    if (put.step() != SQLITE_DONE) return fail(db, err);
  }
  check.bind(1, run);
  return check.step() == SQLITE_DONE || fail(db, err);
}

bool read_run_summary(sqlite3 *db, int64_t run, std::vector<MetricSummary> &out, bool *kept,
                      std::string &err) {
  out.clear();
  *kept = false;
  if (!has_table(db, "run_summaries")) return true;
  Stmt s;
  if (!s.prepare(db,
                 ("SELECT series, metric, value, weight, batches, row_check IS " +
                  row_check_sql("run_summaries") + " FROM run_summaries WHERE run = ?1")
                     .c_str(),
                 err))
    return false;
  s.bind(1, run);
  int rc;
  double version = 0, metrics = 0;
  while ((rc = s.step()) == SQLITE_ROW) {
    MetricSummary m;
    m.series = s.col_text(0), m.metric = s.col_text(1);
    m.value = sqlite3_column_double(s.get(), 2), m.weight = sqlite3_column_double(s.get(), 3);
    std::string where = "summary of run #" + std::to_string(run) + " " + m.series + " [" +
                        m.metric + "]";
    if (!s.col_int(5)) {
      err = where +
            " does not match its check; the store is damaged (orvtsdb verify lists the "
            "damage)";
      return false;
    }
    if (m.series.empty() && m.metric.empty()) {
      version = m.value, metrics = m.weight;
      continue;
    }
    if (!unpack_batches(static_cast<const unsigned char *>(s.col_blob(4)), s.col_bytes(4), m)) {
      err = where + " holds batches of " + std::to_string(s.col_bytes(4)) + " bytes";
      return false;
    }
    out.push_back(std::move(m));
  }
  if (rc != SQLITE_DONE) return fail(db, err);
  if (version != kSummaryVersion) {
    out.clear();
    return true;
  }
  if ((double)out.size() != metrics) {
    err = "the summary of run #" + std::to_string(run) + " holds " + std::to_string(out.size()) +
          " metrics, its version row records " + std::to_string((int64_t)metrics);
    return false;
  }
  *kept = true;
  return true;
}

}  // namespace orvtsdb
