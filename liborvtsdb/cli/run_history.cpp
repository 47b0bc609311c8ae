/*
 * run_history.cpp - levels, change points, outliers and drift of a metric
 * across runs (run_history.h says how).
 */
#include "run_history.h"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace orvtsdb_cli {

namespace {

constexpr size_t kMinLevelRuns = 2;  // runs on each side of a split
constexpr size_t kNeighbours = 3;    // runs on each side an outlier is held against
constexpr double kStepPenalty = 2;   // a step's extra parameter, in weighted squares

/* tau is read off the runs' neighbour differences by a median, which uses
 * about 37 % of what they hold: the tests that stand on it take a t
 * distribution of as many degrees of freedom. */
double spread_dof(size_t runs) { return std::max(1.0, 0.37 * ((double)runs - 1)); }

/* The outlier test stands on tau too, but it already asks more than the
 * tests above (both neighbourhoods agreeing, Bonferroni over the runs), so
 * it takes a t distribution of more degrees of freedom: 0.6 (n - 1). On
 * histories of noise runs alone it then names a run in 2.5 to 6.6 % of the
 * metrics (6 to 25 runs); the normal quantile it took named one in 17 to
 * 30 %, tau being read too small as often as not from so few runs. */
double outlier_dof(size_t runs) { return std::max(1.0, 0.6 * ((double)runs - 1)); }

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  size_t h = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + (long)h, v.end());
  double m = v[h];
  if (v.size() % 2 == 0) m = (m + *std::max_element(v.begin(), v.begin() + (long)h)) / 2;
  return m;
}

/* The runs that carry the metric, on the log scale. */
struct Points {
  std::vector<size_t> run;     // index into the runs given
  std::vector<double> y, var;  // log value, its within-run variance (then the total)
};

/* The variance of every run: its within-run variance, scaled down where the
 * runs vary less than their within-run errors say (a load that changes in
 * the same way in every run makes batch means vary more than the mean
 * does), plus tau^2, what the differences of neighbouring runs show beyond
 * their own noise. The spread of those differences is read by their median
 * absolute deviation, so a few steps and outliers leave it as it is.
 * Returns tau^2. */
double total_variances(Points &p) {
  double tau2 = 0, scale = 1;
  if (p.y.size() >= 3) {
    std::vector<double> d, noise;
    for (size_t i = 0; i + 1 < p.y.size(); i++) {
      d.push_back(p.y[i + 1] - p.y[i]);
      noise.push_back(p.var[i] + p.var[i + 1]);
    }
    double m = median(d);
    std::vector<double> dev;
    for (double x : d) dev.push_back(std::fabs(x - m));
    double spread = std::pow(1.4826 * median(dev), 2), within = median(noise);
    if (within > spread && within > 0) scale = spread / within;
    tau2 = std::max(0.0, (spread - scale * within) / 2);
  }
  // Runs that repeat one value exactly still need a weight.
  for (double &v : p.var) v = std::max(scale * v + tau2, 1e-12);
  return tau2;
}

/* Weighted sums of a stretch, for its level and its variance. */
struct Sums {
  double w = 0, wy = 0;
  void add(double y, double var) { w += 1 / var, wy += y / var; }
  double mean() const { return w > 0 ? wy / w : 0; }
};

Sums sums_of(const std::vector<double> &y, const std::vector<double> &var, size_t a, size_t b) {
  Sums s;
  for (size_t i = a; i < b; i++) s.add(y[i], var[i]);
  return s;
}

/* The largest standardised difference of the two sides over every split of
 * y[a, b) that leaves kMinLevelRuns on each side, and where it lies. */
double best_split(const std::vector<double> &y, const std::vector<double> &var, size_t a, size_t b,
                  size_t *at) {
  Sums all = sums_of(y, var, a, b), left;
  double best = -1;
  for (size_t k = a; k + kMinLevelRuns <= b; k++) {
    if (k >= a + kMinLevelRuns) {
      Sums right{all.w - left.w, all.wy - left.wy};
      double z = std::fabs(right.mean() - left.mean()) / std::sqrt(1 / left.w + 1 / right.w);
      if (z > best) best = z, *at = k;
    }
    left.add(y[k], var[k]);
  }
  return best;
}

/* Weighted residual sum of squares of a step at k, and of a straight line
 * through y[a, b) on the position. */
double step_rss(const std::vector<double> &y, const std::vector<double> &var, size_t a, size_t k,
                size_t b) {
  double l = sums_of(y, var, a, k).mean(), r = sums_of(y, var, k, b).mean(), rss = 0;
  for (size_t i = a; i < b; i++) rss += std::pow(y[i] - (i < k ? l : r), 2) / var[i];
  return rss;
}

struct Line {
  double slope = 0, slope_var = 0, rss = 0;
};

Line line_fit(const std::vector<double> &y, const std::vector<double> &var, size_t a, size_t b) {
  double w = 0, wt = 0, wy = 0;
  for (size_t i = a; i < b; i++) w += 1 / var[i], wt += (double)i / var[i], wy += y[i] / var[i];
  double tm = wt / w, ym = wy / w, stt = 0, sty = 0;
  for (size_t i = a; i < b; i++) {
    stt += std::pow((double)i - tm, 2) / var[i];
    sty += ((double)i - tm) * (y[i] - ym) / var[i];
  }
  Line l;
  if (stt <= 0) return l;
  l.slope = sty / stt;
  l.slope_var = 1 / stt;
  for (size_t i = a; i < b; i++)
    l.rss += std::pow(y[i] - ym - l.slope * ((double)i - tm), 2) / var[i];
  return l;
}

/* The permutation p-value of the best split of y[a, b): the share of
 * shuffles of the stretch whose best split is at least as large. Stops once
 * the answer cannot fall below alpha. */
double split_p(const std::vector<double> &y, const std::vector<double> &var, size_t a, size_t b,
               double observed, int permutations, double alpha) {
  std::vector<size_t> order(b - a);
  std::iota(order.begin(), order.end(), a);
  std::mt19937_64 rng(0x5eed0000u + a * 7919 + b);
  std::vector<double> py(y.size()), pv(var.size());
  int at_least = 0, done = 0;
  for (; done < permutations; done++) {
    std::shuffle(order.begin(), order.end(), rng);
    for (size_t i = a; i < b; i++) py[i] = y[order[i - a]], pv[i] = var[order[i - a]];
    size_t at = 0;
    if (best_split(py, pv, a, b, &at) >= observed) at_least++;
    if ((at_least + 1.0) / (permutations + 1.0) > alpha) return (at_least + 1.0) / (done + 2.0);
  }
  return (at_least + 1.0) / (permutations + 1.0);
}

/* Binary segmentation of y[a, b). Each stretch searched after the first is
 * one more test: the n-th is held at alpha / n (Bonferroni), so that a
 * metric with a real step does not gain false ones beside it. */
void segment(const std::vector<double> &y, const std::vector<double> &var, size_t a, size_t b,
             const HistoryOptions &o, std::vector<std::pair<size_t, double>> *splits, int *searched,
             double *first_p) {
  if (b - a < 2 * kMinLevelRuns) return;
  size_t k = 0;
  double observed = best_split(y, var, a, b, &k);
  if (!(observed > 0)) return;
  bool first = (*searched)++ == 0;
  double level = o.step_alpha >= 0 ? o.step_alpha : 1 - o.confidence;
  double alpha = level / *searched;
  // The first split is tested at 1 - confidence at least, so that its
  // p-value ranks the metric among a history's others.
  double p = split_p(y, var, a, b, observed, o.permutations,
                     first ? std::max(alpha, 1 - o.confidence) : alpha);
  // A slow drift fits a line about as well as a step: not a change point.
  // The step has one parameter more (where it is), so it must explain more
  // by Akaike's measure.
  if (b - a > 2 * kMinLevelRuns &&
      line_fit(y, var, a, b).rss <= step_rss(y, var, a, k, b) + kStepPenalty)
    return;
  if (first) *first_p = p;
  if (p >= alpha) return;
  splits->push_back({k, p});
  segment(y, var, a, k, o, splits, searched, first_p);
  segment(y, var, k, b, o, splits, searched, first_p);
}

/* Runs beyond both neighbourhoods (run_history.h). The last two runs are
 * never outliers: whether they start a new level is not known yet. */
std::vector<bool> find_outliers(const Points &p, const HistoryOptions &o) {
  size_t n = p.y.size();
  std::vector<bool> out(n, false);
  if (n < 2 * kMinLevelRuns + 1) return out;
  double vbar = std::accumulate(p.var.begin(), p.var.end(), 0.0) / (double)n;
  double z_crit = gsl_cdf_tdist_Qinv((1 - o.confidence) / (2 * (double)n), outlier_dof(n));
  for (size_t j = 0; j + 2 < n; j++) {
    std::vector<double> left, right;
    for (size_t i = j >= kNeighbours ? j - kNeighbours : 0; i < j; i++) left.push_back(p.y[i]);
    for (size_t i = j + 1; i < n && i <= j + kNeighbours; i++) right.push_back(p.y[i]);
    if (right.size() < kMinLevelRuns) continue;
    double dev = p.y[j] - median(right);
    size_t k = right.size();
    if (left.size() >= kMinLevelRuns) {
      double dl = p.y[j] - median(left);
      if (dl * dev <= 0) continue;  // between the two sides: a step, not an outlier
      if (std::fabs(dl) < std::fabs(dev)) dev = dl, k = left.size();
    } else if (j >= kMinLevelRuns) {
      continue;
    }
    double sd = std::sqrt(p.var[j] + M_PI / 2 * vbar / (double)k);
    if (std::fabs(dev) / sd > z_crit && std::fabs(std::expm1(dev)) >= o.threshold) out[j] = true;
  }
  return out;
}

bool worse(double change, const HistoryOptions &o) {
  return o.higher_is_worse ? change > 0 : change < 0;
}

}  // namespace

const char *verdict_name(HistoryVerdict v) {
  switch (v) {
    case HistoryVerdict::Stable: return "stable";
    case HistoryVerdict::Regression: return "regression";
    case HistoryVerdict::Improvement: return "improvement";
    case HistoryVerdict::NotInNewest: return "not in the newest run";
    default: return "too few runs";
  }
}

HistoryResult analyse_history(const std::vector<RunValue> &runs, const HistoryOptions &o) {
  HistoryResult r;
  Points all;
  for (size_t i = 0; i < runs.size(); i++) {
    const RunValue &v = runs[i];
    if (!v.has || !(v.value > 0) || !std::isfinite(v.value)) continue;
    double rel = std::isfinite(v.se) && v.se > 0 ? v.se / v.value : 0;
    all.run.push_back(i), all.y.push_back(std::log(v.value)), all.var.push_back(rel * rel);
  }
  r.tau = std::sqrt(total_variances(all));
  std::vector<bool> outlier = find_outliers(all, o);
  Points kept;
  for (size_t j = 0; j < all.y.size(); j++) {
    if (outlier[j]) {
      r.outliers.push_back(all.run[j]);
      continue;
    }
    kept.run.push_back(all.run[j]), kept.y.push_back(all.y[j]), kept.var.push_back(all.var[j]);
  }
  size_t n = kept.y.size();
  std::vector<std::pair<size_t, double>> splits;
  int searched = 0;
  segment(kept.y, kept.var, 0, n, o, &splits, &searched, &r.first_p);
  std::sort(splits.begin(), splits.end());
  // Each step's levels are those of the final levels on its two sides.
  std::vector<size_t> bounds = {0};
  for (auto &[k, p] : splits) bounds.push_back(k);
  bounds.push_back(n);
  for (size_t s = 0; s < splits.size(); s++) {
    double l = sums_of(kept.y, kept.var, bounds[s], bounds[s + 1]).mean();
    double rr = sums_of(kept.y, kept.var, bounds[s + 1], bounds[s + 2]).mean();
    HistoryStep step;
    step.run = kept.run[splits[s].first];
    step.before = std::exp(l), step.after = std::exp(rr);
    step.change = std::expm1(rr - l);
    step.p = splits[s].second;
    step.reported = std::fabs(step.change) >= o.threshold;
    r.steps.push_back(step);
  }
  double alpha = 1 - o.confidence;
  // Drift through the last level.
  size_t last_from = bounds[bounds.size() - 2];
  if (n - last_from >= 3 * kMinLevelRuns) {
    Line l = line_fit(kept.y, kept.var, last_from, n);
    double p = l.slope_var > 0 ? 2 * gsl_cdf_tdist_Q(std::fabs(l.slope) / std::sqrt(l.slope_var),
                                                     spread_dof(all.y.size()))
                               : 1;
    double change = std::expm1(l.slope * (double)(n - 1 - last_from));
    // A step in the newest one or two runs (too few to be a level of their
    // own, so no change point yet; the newest run's verdict judges it)
    // tilts a line through the level: a drift only where the line fits the
    // level better than such a late step by Akaike's measure.
    double late = std::min(step_rss(kept.y, kept.var, last_from, n - 1, n),
                           step_rss(kept.y, kept.var, last_from, n - 2, n));
    bool late_step = late + kStepPenalty < l.rss;
    if (!late_step && p < alpha && std::fabs(change) >= o.threshold) {
      r.drifting = true;
      r.drift = {kept.run[last_from], kept.run[n - 1], change, p};
    }
  }
  // The newest run against the last stable level.
  if (n < 3 || runs.empty() || kept.run.back() != runs.size() - 1) {
    if (n >= 3 && !runs.empty() && !runs.back().present) r.verdict = HistoryVerdict::NotInNewest;
    return r;
  }
  double newest = kept.y[n - 1];
  if (!r.steps.empty() && n - last_from < kStableRuns) {
    // A new level that has not held yet: judged by its step.
    const HistoryStep &s = r.steps.back();
    r.reference = s.before, r.newest_change = std::expm1(newest - std::log(s.before));
    r.newest_p = s.p;
    double level_change = s.change;
    bool beyond = s.reported && std::fabs(r.newest_change) >= o.threshold;
    r.verdict = !beyond || (level_change > 0) != (r.newest_change > 0) ? HistoryVerdict::Stable
                : worse(level_change, o)                               ? HistoryVerdict::Regression
                                         : HistoryVerdict::Improvement;
    return r;
  }
  if (n - 1 - last_from < 1) return r;
  Sums level = sums_of(kept.y, kept.var, last_from, n - 1);
  double diff = newest - level.mean();
  r.reference = std::exp(level.mean());
  r.newest_change = std::expm1(diff);
  r.newest_p = 2 * gsl_cdf_tdist_Q(std::fabs(diff) / std::sqrt(kept.var[n - 1] + 1 / level.w),
                                   spread_dof(all.y.size()));
  r.verdict = r.newest_p >= alpha || std::fabs(r.newest_change) < o.threshold
                  ? HistoryVerdict::Stable
              : worse(r.newest_change, o) ? HistoryVerdict::Regression
                                          : HistoryVerdict::Improvement;
  return r;
}

namespace {

/* Benjamini-Hochberg over p-values of m tests at alpha: the largest
 * alpha k / m that the k-th smallest p is within (alpha itself when every
 * test is discovered), 0 when none is. */
double shared_level(const std::vector<double> &p, double alpha) {
  std::vector<double> sorted = p;
  std::sort(sorted.begin(), sorted.end());
  size_t m = sorted.size();
  for (size_t k = m; k >= 1; k--)
    if (sorted[k - 1] <= alpha * (double)k / (double)m)
      return k == m ? alpha : alpha * (double)k / (double)m;
  return 0;
}

}  // namespace

std::vector<HistoryResult> analyse_histories(
    const std::vector<std::pair<const std::vector<RunValue> *, HistoryOptions>> &metrics) {
  std::vector<HistoryResult> out;
  if (metrics.empty()) return out;
  double alpha = 1 - metrics[0].second.confidence;
  size_t m = metrics.size();
  // Permutations enough to resolve the smallest level the procedure may
  // use, alpha / m; a metric without a step stops its shuffles early.
  int permutations = std::max(999, (int)std::ceil(2 * (double)m / alpha));
  std::vector<double> p;
  for (const auto &[values, options] : metrics) {
    HistoryOptions o = options;
    o.permutations = std::max(o.permutations, permutations);
    out.push_back(analyse_history(*values, o));
    p.push_back(out.back().first_p);
  }
  // The first splits share one level, so that noise alone seldom gives a
  // history's metrics any change point.
  double level = shared_level(p, alpha);
  for (size_t i = 0; i < m && level < alpha; i++) {
    if (out[i].steps.empty()) continue;  // none at alpha: none at a lower level
    HistoryOptions o = metrics[i].second;
    o.permutations = std::max(o.permutations, permutations);
    o.step_alpha = level;
    out[i] = analyse_history(*metrics[i].first, o);
  }
  // So do the drifts: each metric's is tested at alpha alone, and a
  // history of twenty transactions would draw one from noise in most of
  // its runs.
  std::vector<double> drift_p;
  for (const HistoryResult &r : out) drift_p.push_back(r.drifting ? r.drift.p : 1);
  double drift_level = shared_level(drift_p, alpha);
  for (HistoryResult &r : out)
    if (r.drifting && r.drift.p > drift_level) r.drifting = false;
  return out;
}

}  // namespace orvtsdb_cli
