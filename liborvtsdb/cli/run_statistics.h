/*
 * run_statistics.h - what `compare` says about one metric of a run, and
 * whether two runs differ by more than their own noise.
 *
 * Samples one interval apart are strongly autocorrelated (a slow system stays
 * slow for a while), so treating them as independent draws makes the noise
 * look small and calls noise a regression. The interval of a change comes
 * from batch means instead, paired on elapsed time:
 *   - the compared time is cut into consecutive batches at the same elapsed
 *     times in both runs, long enough that neighbouring batches are nearly
 *     independent: kBatchTaus integrated autocorrelation times (1 + phi) /
 *     (1 - phi), phi read off the data as the lag-one correlation of the two
 *     runs' relative residuals paired on elapsed time (the pairing leaves the
 *     test's load shape out, which would otherwise look like a slow drift),
 *     at most kMaxBatches batches, at least kMinBatches or the metric has too
 *     little data;
 *   - both runs share the test's load shape, so pairing the batches cancels
 *     it: the spread of the per-batch contributions to the log ratio of the
 *     two means is noise alone, and its standard error gives a Student t
 *     interval with (batches - 1) degrees of freedom.
 * Batch means rather than a moving-block bootstrap: one pass, no resampling,
 * deterministic (a run compared with itself gives exactly 0 with an interval
 * of exactly 0), and the pairing on elapsed time comes for free.
 */
#ifndef ORVTSDB_RUN_STATISTICS_H
#define ORVTSDB_RUN_STATISTICS_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvtsdb_cli {

constexpr int kMaxBatches = 20;
constexpr int kMinBatches = 10;
constexpr double kBatchTaus = 5;

/* One run's statistics of a metric. For a times graph the intervals are
 * weighted by their count and an interval of count 0 has no response time
 * (whatever its stored avg says); other graphs weight every interval 1. */
struct MetricStats {
  size_t intervals = 0;  // intervals that carried a value (count above 0 for times)
  double weight = 0;     // total count (times) or intervals
  double mean = 0;       // weighted mean
  double max = 0;        // max of max (times) or of the values
  double p50 = 0, p90 = 0, p95 = 0, p99 = 0;  // of interval averages / values
};

/* One metric of one run: its intervals in time order, on elapsed seconds. */
class MetricSeries {
 public:
  /* One interval at elapsed time t: its value (avg for a times graph), its
   * weight (count for a times graph, 1 otherwise) and its max (max role, or
   * the value). An interval of weight 0 or a value that is not finite is
   * left out. */
  void add(int64_t t, double value, double weight, double max);
  MetricStats stats() const;
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

enum class Verdict { TooLittleData, Unchanged, Up, Down };

/* The change of the weighted mean from baseline to candidate: relative
 * (0.05 = +5 %) with its 95 % interval (see above). Up or Down only when the
 * interval excludes 0 and |change| exceeds threshold. The batches start at
 * elapsed time `from` and end where the shorter of the two series ends. */
struct Change {
  Verdict verdict = Verdict::TooLittleData;
  double change = 0, low = 0, high = 0;
  int batches = 0;    // paired batches the interval came from
  int64_t batch = 0;  // their length in seconds
};
Change compare_series(const MetricSeries &baseline, const MetricSeries &candidate, int64_t from,
                      double threshold);

/* The AR(1) coefficient of values in time order: their lag-one
 * correlation, in [0, 0.99]. */
double ar1_coefficient(const std::vector<double> &values);

}  // namespace orvtsdb_cli

#endif
