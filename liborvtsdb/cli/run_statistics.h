/*
 * run_statistics.h - what `compare` says about one metric of a run, and
 * whether two runs differ by more than their own noise.
 *
 * Samples one interval apart are strongly autocorrelated (a slow system stays
 * slow for a while), so treating them as independent draws makes the noise
 * look small and calls noise a regression. The interval of a change comes
 * from batch means instead, paired on elapsed time:
 *   - the compared window is cut into consecutive batches at the same elapsed
 *     times in both runs, each holding equally many time stamps (the noise
 *     is correlated from one sample to the next, whether the run samples
 *     every second there or every ten), at least kBatchTaus integrated
 *     autocorrelation times long, read off the two runs' relative residuals
 *     paired on elapsed time (the pairing leaves the test's load shape out,
 *     which would otherwise look like a slow drift).
 *     The persistent part of that correlation is read as rho(2) / rho(1), so
 *     white noise on top (rounding of integer graphs) does not shorten the
 *     batches; at most kMaxBatches batches, at least kMinBatches or the
 *     metric has too little data;
 *   - both runs share the test's load shape, so pairing the batches cancels
 *     it: the spread of the per-batch contributions to the log ratio of the
 *     two means is noise alone;
 *   - batches carry unequal weights (a transaction runs more often at peak
 *     load), so they are not equally noisy: the Student t quantile takes the
 *     Welch-Satterthwaite effective degrees of freedom of the batches,
 *     (sum a_b)^2 / sum a_b^2 - 1, a_b the batch's share of the squared
 *     weights, instead of (batches - 1);
 *   - what correlation is left between neighbouring batches makes their
 *     spread understate the noise of the whole and leaves them fewer degrees
 *     of freedom; for the correlation read off the data (an AR(1) part,
 *     its lag-one correlation corrected for the length of the series) both
 *     are known, and the variance and the degrees of freedom allow for
 *     them. Two autocorrelation times per batch keep short runs judgeable
 *     (a long run's batches are far longer: the window over kMaxBatches).
 * Batch means rather than a moving-block bootstrap: one pass, no resampling,
 * deterministic (a run compared with itself gives exactly 0 with an interval
 * of exactly 0), and the pairing on elapsed time comes for free.
 */
#ifndef ORVTSDB_RUN_STATISTICS_H
#define ORVTSDB_RUN_STATISTICS_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace orvtsdb_cli {

constexpr int kMaxBatches = 20;
constexpr int kMinBatches = 5;
constexpr double kBatchTaus = 2;
constexpr double kConfidence = 0.95;

/* One run's statistics of a metric. For a times graph the intervals are
 * weighted by their count and an interval of count 0 has no response time
 * (whatever its stored avg says); other graphs weight every interval 1. */
struct MetricStats {
  size_t intervals = 0;  // intervals that carried a value (count above 0 for times)
  double weight = 0;     // total count (times) or intervals
  double mean = 0;       // weighted mean
  double max = 0;        // max of max (times) or of the values
  // Weighted percentiles of the interval values: the value below which that
  // share of the weight lies (of the transactions, for a times graph); NaN
  // when stats() was not asked for it.
  double p50 = 0, p90 = 0, p95 = 0, p99 = 0;
};

/* The percentiles MetricSeries::stats() gives, as a set of bits: they need
 * the intervals in order of their values, the most of its time, so a caller
 * that shows none of them asks for none. */
enum Percentile : unsigned { kP50 = 1, kP90 = 2, kP95 = 4, kP99 = 8, kEveryPercentile = 15 };

/* One metric of one run: its intervals in time order, on elapsed seconds. */
class MetricSeries {
 public:
  /* One interval at elapsed time t: its value (avg for a times graph), its
   * weight (count for a times graph, 1 otherwise) and its max (max role, or
   * the value). An interval of weight 0 or a value that is not finite is
   * left out. */
  void add(int64_t t, double value, double weight, double max);
  /* Room for n intervals. */
  void reserve(size_t n) { times_.reserve(n), values_.reserve(n), weights_.reserve(n); }
  /* Its statistics with the percentiles in `percentiles` (Percentile bits). */
  MetricStats stats(unsigned percentiles = kEveryPercentile) const;
  /* The weighted mean alone (0 without intervals), as stats() gives it. */
  double mean() const;
  size_t size() const { return values_.size(); }
  const std::vector<int64_t> &times() const { return times_; }
  const std::vector<double> &values() const { return values_; }
  const std::vector<double> &weights() const { return weights_; }

 private:
  std::vector<int64_t> times_;
  std::vector<double> values_, weights_;
  double max_ = 0;
};

/* What is known of a change:
 *   Up / Down        the interval excludes 0 and |change| exceeds the threshold;
 *   WithinThreshold  the interval excludes 0, |change| is at most the threshold;
 *   NoEvidence       the interval holds 0 (or the means are equal);
 *   TooLittleData    fewer than kMinBatches batches, or no positive mean. */
enum class Verdict { TooLittleData, NoEvidence, WithinThreshold, Up, Down };

/* The change of the weighted mean from baseline to candidate over the
 * elapsed window [from, to): relative (0.05 = +5 %) with its kConfidence
 * interval (see above) and the two-sided p-value of "no change". */
struct Change {
  Verdict verdict = Verdict::TooLittleData;
  double change = 0, low = 0, high = 0;
  double p = 1;       // two-sided p-value of a change of 0
  double dof = 0;     // effective degrees of freedom of the t quantile
  int batches = 0;    // paired batches the interval came from
  int64_t batch = 0;  // their mean length in seconds
};
constexpr int64_t kOpenEnd = std::numeric_limits<int64_t>::max();
Change compare_series(const MetricSeries &baseline, const MetricSeries &candidate, int64_t from,
                      int64_t to, double threshold);

/* When a change began: the elapsed time at which the log ratio of the two
 * runs, paired on time, steps from one level to another (least squares, one
 * step), kept only when the window before it shows no evidence of a change
 * while the window after it does. Without such a step the change spans the
 * window and `since` is its start. */
struct Onset {
  int64_t since = 0;
  bool stepped = false;          // a step inside the window was found
  double before = 0, after = 0;  // relative change before and after `since`
};
Onset change_onset(const MetricSeries &baseline, const MetricSeries &candidate, int64_t from,
                   int64_t to, double threshold);

/* Holm's step-down procedure: which of the p-values are rejected with the
 * family-wise error rate held at alpha. */
std::vector<bool> holm_rejected(const std::vector<double> &p, double alpha);

/* The lag-one and lag-two autocorrelations of values in time order. */
void autocorrelation(const std::vector<double> &values, double *rho1, double *rho2);

/* The AR(1) coefficient of values in time order: their lag-one
 * correlation, in [0, 0.99]. */
double ar1_coefficient(const std::vector<double> &values);

}  // namespace orvtsdb_cli

#endif
