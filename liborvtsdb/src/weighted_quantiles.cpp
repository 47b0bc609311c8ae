/*
 * weighted_quantiles.cpp - percentiles of weighted values.
 */
#include "weighted_quantiles.h"

#include <algorithm>
#include <numeric>

namespace orvtsdb {

WeightedQuantiles::WeightedQuantiles(const double *values, const double *weights, size_t n) {
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return values[a] < values[b]; });
  double total = 0;
  for (size_t i = 0; i < n; i++) total += weights[i];
  sorted_.resize(n);
  at_.resize(n);
  double below = 0;
  for (size_t i = 0; i < n; i++) {
    sorted_[i] = values[order[i]];
    at_[i] = (below + weights[order[i]] / 2) / total;
    below += weights[order[i]];
  }
}

double WeightedQuantiles::at(double q) const {
  if (sorted_.empty()) return 0;
  size_t hi = (size_t)(std::lower_bound(at_.begin(), at_.end(), q) - at_.begin());
  if (hi == 0) return sorted_.front();
  if (hi == at_.size()) return sorted_.back();
  double a = sorted_[hi - 1], b = sorted_[hi];
  return a + (q - at_[hi - 1]) / (at_[hi] - at_[hi - 1]) * (b - a);
}

}  // namespace orvtsdb
