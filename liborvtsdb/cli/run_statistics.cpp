/*
 * run_statistics.cpp - see run_statistics.h.
 */
#include "run_statistics.h"

#include <gsl/gsl_cdf.h>

#include <algorithm>
#include <cmath>

namespace orvtsdb_cli {

namespace {

/* The q-quantile (0..1) of sorted values, interpolated between neighbours. */
double quantile(const std::vector<double> &sorted, double q) {
  if (sorted.empty()) return 0;
  double at = q * (double)(sorted.size() - 1);
  size_t lo = (size_t)at;
  if (lo + 1 >= sorted.size()) return sorted.back();
  return sorted[lo] + (at - (double)lo) * (sorted[lo + 1] - sorted[lo]);
}

/* The most common time step of a series (its sampling interval). */
int64_t usual_step(const std::vector<int64_t> &times) {
  std::vector<int64_t> d;
  for (size_t i = 1; i < times.size(); i++) d.push_back(times[i] - times[i - 1]);
  if (d.empty()) return 1;
  std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
  return std::max<int64_t>(1, d[d.size() / 2]);
}

}  // namespace

double ar1_coefficient(const std::vector<double> &v) {
  if (v.size() < 4) return 0;
  double mean = 0;
  for (double x : v) mean += x;
  mean /= (double)v.size();
  double num = 0, den = 0;
  for (size_t i = 0; i < v.size(); i++) {
    den += (v[i] - mean) * (v[i] - mean);
    if (i + 1 < v.size()) num += (v[i] - mean) * (v[i + 1] - mean);
  }
  return std::clamp(den > 0 ? num / den : 0.0, 0.0, 0.99);
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

MetricStats MetricSeries::stats() const {
  MetricStats s;
  s.intervals = values_.size();
  if (values_.empty()) return s;
  for (double w : weights_) s.weight += w;
  s.mean = mean();
  s.max = max_;
  std::vector<double> sorted = values_;
  std::sort(sorted.begin(), sorted.end());
  s.p50 = quantile(sorted, 0.50), s.p90 = quantile(sorted, 0.90);
  s.p95 = quantile(sorted, 0.95), s.p99 = quantile(sorted, 0.99);
  return s;
}

namespace {

/* The batches of two series on one elapsed-time grid: weight and weighted
 * sum per batch and run. */
struct PairedBatches {
  std::vector<double> w[2], s[2];
  void fill(int k, const MetricSeries &m, int64_t from, int64_t length, size_t count) {
    w[k].assign(count, 0), s[k].assign(count, 0);
    for (size_t i = 0; i < m.size(); i++) {
      if (m.times()[i] < from) continue;
      size_t b = (size_t)((m.times()[i] - from) / length);
      if (b >= count) continue;
      w[k][b] += m.weights()[i];
      s[k][b] += m.values()[i] * m.weights()[i];
    }
  }
};

}  // namespace

Change compare_series(const MetricSeries &base, const MetricSeries &cand, int64_t from,
                      double threshold) {
  Change out;
  if (base.size() == 0 || cand.size() == 0) return out;
  // The means only: the percentiles of stats() are not needed here.
  const double bm = base.mean(), cm = cand.mean();
  if (bm == cm) {
    // Equal means (a run against itself, or a constant): no change at all.
    out.verdict = Verdict::Unchanged;
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
      residual.push_back(cand.values()[j++] / cm - base.values()[i++] / bm);
    }
  }
  double phi = residual.size() >= 2 * (size_t)kMinBatches ? ar1_coefficient(residual) : 0.99;
  double tau = (1 + phi) / (1 - phi);
  int64_t step = std::max(usual_step(base.times()), usual_step(cand.times()));
  int64_t to = std::min(base.times().back(), cand.times().back()) + step;
  int64_t span = to - from;
  int64_t length = std::max<int64_t>((int64_t)std::ceil(kBatchTaus * tau) * step,
                                     (span + kMaxBatches - 1) / kMaxBatches);
  size_t count = length > 0 ? (size_t)(span / length) : 0;
  if (count < (size_t)kMinBatches) return out;
  PairedBatches pb;
  pb.fill(0, base, from, length, count);
  pb.fill(1, cand, from, length, count);

  // Log ratio of the two weighted means over the batches both runs carry,
  // linearised per batch: u_b = (s_cb - m_c w_cb) / (m_c W_c) - (same for the
  // baseline). Var = k / (k - 1) * sum u_b^2.
  double W[2] = {0, 0}, S[2] = {0, 0};
  int k = 0;
  for (size_t i = 0; i < count; i++)
    if (pb.w[0][i] > 0 && pb.w[1][i] > 0) {
      k++;
      for (int r = 0; r < 2; r++) W[r] += pb.w[r][i], S[r] += pb.s[r][i];
    }
  if (k < kMinBatches || !(S[0] > 0) || !(S[1] > 0)) return out;
  double m[2] = {S[0] / W[0], S[1] / W[1]}, ss = 0;
  for (size_t i = 0; i < count; i++)
    if (pb.w[0][i] > 0 && pb.w[1][i] > 0) {
      double u = (pb.s[1][i] - m[1] * pb.w[1][i]) / (m[1] * W[1]) -
                 (pb.s[0][i] - m[0] * pb.w[0][i]) / (m[0] * W[0]);
      ss += u * u;
    }
  double se = std::sqrt(ss * k / (k - 1));
  double t = gsl_cdf_tdist_Pinv(0.975, k - 1);
  double lr = std::log(cm / bm);
  out.change = cm / bm - 1;
  out.low = std::expm1(lr - t * se);
  out.high = std::expm1(lr + t * se);
  out.batches = k;
  out.batch = length;
  bool excludes_zero = out.low > 0 || out.high < 0;
  out.verdict = excludes_zero && std::fabs(out.change) > threshold
                    ? (out.change > 0 ? Verdict::Up : Verdict::Down)
                    : Verdict::Unchanged;
  return out;
}

}  // namespace orvtsdb_cli
