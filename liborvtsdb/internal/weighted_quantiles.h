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

/* The values sorted once, then any percentile of them. Each value stands at
 * the middle of its share of the weight; between two such points the
 * percentile is interpolated, below the first and above the last it is the
 * smallest or largest value. Weights must be positive. */
class WeightedQuantiles {
 public:
  WeightedQuantiles(const double *values, const double *weights, size_t n);
  /* The value below which share q (0..1) of the weight lies; 0 without values. */
  double at(double q) const;

 private:
  std::vector<double> sorted_, at_;  // values in order, and where each stands
};

}  // namespace orvtsdb

#endif
