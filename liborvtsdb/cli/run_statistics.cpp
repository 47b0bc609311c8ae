/*
 * run_statistics.cpp - see run_statistics.h.
 */
#include "run_statistics.h"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>

#include "interval_values.h"
#include "weighted_quantiles.h"

namespace orvtsdb_cli {

using orvtsdb::usual_step;

void autocorrelation(const std::vector<double> &v, double *rho1, double *rho2) {
  *rho1 = *rho2 = 0;
  if (v.size() < 4) return;
  double mean = 0;
  for (double x : v) mean += x;
  mean /= (double)v.size();
  double den = 0, n1 = 0, n2 = 0;
  for (size_t i = 0; i < v.size(); i++) {
    den += (v[i] - mean) * (v[i] - mean);
    if (i + 1 < v.size()) n1 += (v[i] - mean) * (v[i + 1] - mean);
    if (i + 2 < v.size()) n2 += (v[i] - mean) * (v[i + 2] - mean);
  }
  if (den > 0) *rho1 = n1 / den, *rho2 = n2 / den;
}

double ar1_coefficient(const std::vector<double> &v) {
  double rho1, rho2;
  autocorrelation(v, &rho1, &rho2);
  return std::clamp(rho1, 0.0, 0.99);
}

void MetricSeries::add(int64_t t, double value, double weight, double max) {
  if (!(weight > 0) || !std::isfinite(value)) return;
  max_ = values_.empty() ? max : std::max(max_, max);
  times_.push_back(t);
  values_.push_back(value);
  weights_.push_back(weight);
}

double MetricSeries::mean() const {
  double weight = 0, sum = 0;
  for (size_t i = 0; i < values_.size(); i++) {
    weight += weights_[i];
    sum += values_[i] * weights_[i];
  }
  return values_.empty() ? 0 : sum / weight;
}

MetricStats MetricSeries::stats(unsigned percentiles) const {
  MetricStats s;
  s.intervals = values_.size();
  if (values_.empty()) return s;
  for (double w : weights_) s.weight += w;
  s.mean = mean();
  s.max = max_;
  s.p50 = s.p90 = s.p95 = s.p99 = NAN;
  if (!percentiles) return s;
  // Each is the same bits whichever others are asked for: at() places the
  // values it needs, and a value's place does not depend on the others.
  orvtsdb::WeightedQuantiles quantile(values_.data(), weights_.data(), values_.size());
  static constexpr struct {
    Percentile bit;
    double share;
    double MetricStats::*field;
  } kAsked[] = {{kP50, 0.50, &MetricStats::p50},
                {kP90, 0.90, &MetricStats::p90},
                {kP95, 0.95, &MetricStats::p95},
                {kP99, 0.99, &MetricStats::p99}};
  for (const auto &p : kAsked)
    if (percentiles & p.bit) s.*p.field = quantile.at(p.share);
  return s;
}

namespace {

/* The part of two series compared: [from, to), the window the caller
 * names for every metric (compare's header), so that the change is the
 * ratio of the two means over it, whatever stretch one series lacks; a
 * window open past both series ends one step after the longer. */
struct Window {
  int64_t from = 0, end = 0, step = 1;
};

Window window_of(const MetricSeries &base, const MetricSeries &cand, int64_t from, int64_t to) {
  Window w;
  w.from = from;
  w.step = std::max(usual_step(base.times()), usual_step(cand.times()));
  int64_t last = std::max(base.times().back(), cand.times().back());
  w.end = last > to - w.step ? to : last + w.step;
  return w;
}

/* The positions of a series' intervals inside [from, end): its times rise. */
std::pair<size_t, size_t> inside(const MetricSeries &m, int64_t from, int64_t end) {
  auto lo = std::lower_bound(m.times().begin(), m.times().end(), from);
  auto hi = std::lower_bound(lo, m.times().end(), end);
  return {(size_t)(lo - m.times().begin()), (size_t)(hi - m.times().begin())};
}

/* Weight and weighted sum of a series inside [from, end). */
void totals(const MetricSeries &m, int64_t from, int64_t end, double *weight, double *sum) {
  *weight = *sum = 0;
  auto [lo, hi] = inside(m, from, end);
  for (size_t i = lo; i < hi; i++) {
    *weight += m.weights()[i];
    *sum += m.values()[i] * m.weights()[i];
  }
}

/* The time stamps of either series inside the window, in order. */
std::vector<int64_t> stamps_of(const MetricSeries &a, const MetricSeries &b, const Window &win) {
  auto [a0, a1] = inside(a, win.from, win.end);
  auto [b0, b1] = inside(b, win.from, win.end);
  const std::vector<int64_t> &at = a.times(), &bt = b.times();
  std::vector<int64_t> out;
  std::set_union(at.begin() + (ptrdiff_t)a0, at.begin() + (ptrdiff_t)a1, bt.begin() + (ptrdiff_t)b0,
                 bt.begin() + (ptrdiff_t)b1, std::back_inserter(out));
  return out;
}

/* The batches of one series: weight, weighted sum and sum of squared
 * weights per batch. Batch j starts at starts[j] and ends where the next
 * one starts (the last at the window's end), so every interval of the
 * window is in one. */
struct Batches {
  std::vector<double> w, s, w2;
  Batches(const MetricSeries &m, const Window &win, const std::vector<int64_t> &starts)
      : w(starts.size()), s(starts.size()), w2(starts.size()) {
    auto [lo, hi] = inside(m, win.from, win.end);
    size_t b = 0;  // the batch of interval i: times rise, so b only moves on
    for (size_t i = lo; i < hi; i++) {
      int64_t t = m.times()[i];
      while (b + 1 < starts.size() && starts[b + 1] <= t) b++;
      w[b] += m.weights()[i];
      s[b] += m.values()[i] * m.weights()[i];
      w2[b] += m.weights()[i] * m.weights()[i];
    }
  }
};

}  // namespace

Change compare_series(const MetricSeries &base, const MetricSeries &cand, int64_t from, int64_t to,
                      double threshold) {
  Change out;
  if (base.size() == 0 || cand.size() == 0) return out;
  const Window win = window_of(base, cand, from, to);
  if (win.end <= win.from) return out;
  double W[2], S[2];
  totals(base, win.from, win.end, &W[0], &S[0]);
  totals(cand, win.from, win.end, &W[1], &S[1]);
  if (!(W[0] > 0) || !(W[1] > 0)) return out;
  const double bm = S[0] / W[0], cm = S[1] / W[1];
  if (bm == cm) {
    // Equal means (a run against itself, or a constant): no change at all.
    out.verdict = Verdict::NoEvidence;
    return out;
  }
  if (!(bm > 0) || !(cm > 0)) return out;  // no relative change of 0 or below

  // The noise the interval must cover is what differs between the runs at
  // one elapsed time: the relative residuals, paired on time, with the
  // shared load shape gone.
  std::vector<double> residual;
  for (size_t i = 0, j = 0; i < base.size() && j < cand.size();) {
    if (base.times()[i] < cand.times()[j]) {
      i++;
    } else if (cand.times()[j] < base.times()[i]) {
      j++;
    } else {
      if (base.times()[i] >= win.from && base.times()[i] < win.end)
        residual.push_back(cand.values()[j] / cm - base.values()[i] / bm);
      i++, j++;
    }
  }
  double rho1 = 0.99, rho2 = 0.99, phi = 0.99;
  if (residual.size() >= 2 * (size_t)kMinBatches) {
    autocorrelation(residual, &rho1, &rho2);
    // A correlation read off n samples is low by about (1 + 3 rho) / n, and
    // uncertain by sqrt((1 - rho^2) / n): a short run would get batches
    // too short for its noise from it, so the batches follow the upper end
    // of what the data allow (two standard errors above).
    double n = (double)residual.size();
    auto upper = [n](double rho) {
      rho = std::clamp(rho + (1 + 3 * rho) / n, 0.0, 0.99);
      return std::min(0.99, rho + 2 * std::sqrt((1 - rho * rho) / n));
    };
    // rho(j) = rho(1) phi^(j-1) when white noise sits on an AR(1) part.
    double persistent = rho1 > 0.05 ? rho2 / rho1 : 0;
    rho1 = upper(std::max(rho1, 0.0));
    phi = std::max(rho1, std::min(upper(std::max(persistent, 0.0)), 0.99));
  }
  // Batches hold equally many time stamps: the correlation runs from one
  // sample to the next, whatever the sampling interval of that part of the
  // run (a run may sample every second in one part and every ten in
  // another).
  double tau = (1 + phi) / (1 - phi);
  std::vector<int64_t> stamps = stamps_of(base, cand, win);
  size_t length = std::max((size_t)std::ceil(kBatchTaus * tau),
                           (stamps.size() + kMaxBatches - 1) / kMaxBatches);
  size_t count = stamps.size() / length;
  if (count < (size_t)kMinBatches) return out;
  std::vector<int64_t> starts(count);
  for (size_t j = 0; j < count; j++) starts[j] = stamps[j * length];
  starts[0] = win.from;
  Batches b(base, win, starts), c(cand, win, starts);

  // Log ratio of the two weighted means, linearised per batch:
  // u_b = (s_cb - m_c w_cb) / (m_c W_c) - (same for the baseline); the u_b
  // sum to 0. Var = k / (k - 1) * sum u_b^2, scaled up by the correlation
  // left between neighbouring batches. a_b, the batch's share of the
  // squared weights, stands for its variance in the effective degrees of
  // freedom.
  int k = 0;
  double ss = 0, a_sum = 0, a_sq = 0;
  for (size_t i = 0; i < count; i++) {
    if (!(b.w[i] > 0) && !(c.w[i] > 0)) continue;
    k++;
    double u = (c.s[i] - cm * c.w[i]) / (cm * W[1]) - (b.s[i] - bm * b.w[i]) / (bm * W[0]);
    ss += u * u;
    double a = c.w2[i] / (W[1] * W[1]) + b.w2[i] / (W[0] * W[0]);
    a_sum += a, a_sq += a * a;
  }
  if (k < kMinBatches) return out;
  // Batch sums of an AR(1) part with rho(j) = rho1 phi^(j-1), L intervals
  // long: their spread misses 2 sum_j j rho(j) / (L tau_int) of the noise,
  // and neighbouring sums correlate by `next`, which leaves the batches
  // fewer degrees of freedom than independent ones would have.
  double steps = (double)length;
  double tau_int = 1 + 2 * rho1 / (1 - phi);
  double edge = rho1 * (1 - std::pow(phi, steps)) / ((1 - phi) * (1 - phi));
  double missed = std::min(2 * edge / (steps * tau_int), 0.5);
  double next = std::clamp(edge * (1 - std::pow(phi, steps)) / (steps * tau_int - 2 * edge), 0.0,
                           0.5);
  double var = ss * k / (k - 1) / (1 - missed);
  double dof = std::max(1.0, a_sum * a_sum / a_sq * (1 - next) / (1 + next) - 1);
  double se = std::sqrt(var);
  double t = gsl_cdf_tdist_Pinv(1 - (1 - kConfidence) / 2, dof);
  double lr = std::log(cm / bm);
  out.change = cm / bm - 1;
  out.low = std::expm1(lr - t * se);
  out.high = std::expm1(lr + t * se);
  out.p = se > 0 ? 2 * gsl_cdf_tdist_Q(std::fabs(lr) / se, dof) : 0;
  out.dof = dof;
  out.batches = k;
  out.batch = (win.end - win.from) / (int64_t)count;
  bool excludes_zero = out.low > 0 || out.high < 0;
  out.verdict = !excludes_zero                       ? Verdict::NoEvidence
                : std::fabs(out.change) <= threshold ? Verdict::WithinThreshold
                : out.change > 0                     ? Verdict::Up
                                                     : Verdict::Down;
  return out;
}

Onset change_onset(const MetricSeries &base, const MetricSeries &cand, int64_t from, int64_t to,
                   double threshold) {
  Onset out;
  out.since = from;
  if (base.size() == 0 || cand.size() == 0) return out;
  const Window win = window_of(base, cand, from, to);
  int64_t span = win.end - win.from;
  if (span <= 0) return out;
  // The log ratio of the runs' means in up to 200 bins of the window.
  int64_t bin = std::max(win.step, (span + 199) / 200);
  size_t bins = (size_t)((span + bin - 1) / bin);
  std::vector<double> wb(bins), sb(bins), wc(bins), sc(bins);
  auto fill = [&](const MetricSeries &m, std::vector<double> &w, std::vector<double> &s) {
    for (size_t i = 0; i < m.size(); i++) {
      int64_t t = m.times()[i];
      if (t < win.from || t >= win.end) continue;
      size_t j = (size_t)((t - win.from) / bin);
      w[j] += m.weights()[i];
      s[j] += m.values()[i] * m.weights()[i];
    }
  };
  fill(base, wb, sb);
  fill(cand, wc, sc);
  std::vector<double> x;
  std::vector<int64_t> at;
  for (size_t j = 0; j < bins; j++)
    if (wb[j] > 0 && wc[j] > 0 && sb[j] > 0 && sc[j] > 0) {
      x.push_back(std::log((sc[j] / wc[j]) / (sb[j] / wb[j])));
      at.push_back(win.from + (int64_t)j * bin);
    }
  if (x.size() < 8) return out;
  // One step, least squares: the split that leaves the least squared
  // deviation from the two sides' means.
  std::vector<double> sum(x.size() + 1), sq(x.size() + 1);
  for (size_t j = 0; j < x.size(); j++) sum[j + 1] = sum[j] + x[j], sq[j + 1] = sq[j] + x[j] * x[j];
  auto sse = [&](size_t a, size_t e) {
    double n = (double)(e - a), s = sum[e] - sum[a];
    return sq[e] - sq[a] - s * s / n;
  };
  size_t best = 0;
  double best_sse = 0;
  for (size_t j = 2; j + 2 <= x.size(); j++) {
    double e = sse(0, j) + sse(j, x.size());
    if (!best || e < best_sse) best = j, best_sse = e;
  }
  int64_t split = at[best];
  Change before = compare_series(base, cand, win.from, split, threshold);
  Change after = compare_series(base, cand, split, win.end, threshold);
  bool quiet = before.verdict == Verdict::NoEvidence;
  bool moved = after.verdict == Verdict::Up || after.verdict == Verdict::Down ||
               after.verdict == Verdict::WithinThreshold;
  if (quiet && moved) {
    out.since = split;
    out.stepped = true;
    out.before = before.change;
    out.after = after.change;
  }
  return out;
}

std::vector<bool> holm_rejected(const std::vector<double> &p, double alpha) {
  std::vector<size_t> order(p.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p[a] < p[b]; });
  std::vector<bool> out(p.size());
  for (size_t i = 0; i < order.size(); i++) {
    if (!(p[order[i]] <= alpha / (double)(order.size() - i))) break;
    out[order[i]] = true;
  }
  return out;
}

}  // namespace orvtsdb_cli
