/*
 * weighted_quantiles.h - percentiles of values that stand for unequal
 * shares of a whole: interval averages, each weighted by the transactions
 * it counts.
 */
#ifndef ORVTSDB_WEIGHTED_QUANTILES_H
#define ORVTSDB_WEIGHTED_QUANTILES_H

#include <cstddef>
#include <vector>

namespace orvtsdb {

/* The values ordered once, then any percentile of them. Each value stands at
 * the middle of its share of the weight; between two such points the
 * percentile is interpolated, below the first and above the last it is the
 * smallest or largest value. Weights must be positive.
 *
 * Values of equal weight are not sorted: every order of them gives the same
 * percentiles, so at() selects the few it needs. Unequal weights are sorted
 * as before, because the order of equal values then moves the points between
 * them. Not for use by two threads at once (at() orders lazily). */
class WeightedQuantiles {
 public:
  WeightedQuantiles(const double *values, const double *weights, size_t n);
  /* The value below which share q (0..1) of the weight lies; 0 without values. */
  double at(double q) const;

 private:
  /* The k-th smallest value (from 0), and where it stands (0..1). */
  double kth(size_t k) const;
  double point(size_t k) const;

  mutable std::vector<double> values_;  // in order where placed_ says so
  std::vector<double> at_;              // point(k), unless even_weight_ gives it
  double even_weight_ = 0, total_ = 0;  // every weight, when one whole number
  mutable std::vector<size_t> placed_;  // positions holding their sorted value, ascending
  bool sorted_ = false;                 // values_ sorted whole
};

}  // namespace orvtsdb

#endif
