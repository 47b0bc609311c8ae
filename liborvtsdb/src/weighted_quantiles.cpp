/*
 * weighted_quantiles.cpp - percentiles of weighted values.
 */
#include "weighted_quantiles.h"

#include <algorithm>
#include <cmath>

namespace orvtsdb {

namespace {

/* Whether the order of the values cannot change what at() gives: every
 * weight the same, and no two values that compare equal while their bits
 * differ (0 and -0) or that do not compare at all (NaN). */
bool any_order_will_do(const double *values, const double *weights, size_t n) {
  bool zero = false, minus_zero = false;
  for (size_t i = 0; i < n; i++) {
    if (weights[i] != weights[0] || std::isnan(values[i])) return false;
    if (values[i] == 0) (std::signbit(values[i]) ? minus_zero : zero) = true;
  }
  return !(zero && minus_zero);
}

}  // namespace

WeightedQuantiles::WeightedQuantiles(const double *values, const double *weights, size_t n)
    : values_(values, values + n) {
  bool any_order = any_order_will_do(values, weights, n);
  double w = n ? weights[0] : 1;
  if (any_order && w == std::floor(w) && w * (double)n <= 0x1p53) {
    // A whole weight whose sums stay exact puts point i at (i w + w / 2) /
    // (n w), the bits the running sums give, so no table is needed.
    even_weight_ = w, total_ = w * (double)n;
    return;
  }
  double total = 0;
  for (size_t i = 0; i < n; i++) total += weights[i];
  at_.resize(n);
  if (any_order) {
    double below = 0;
    for (size_t i = 0; i < n; i++) {
      at_[i] = (below + weights[i] / 2) / total;
      below += weights[i];
    }
    return;
  }
  // Sorting the pairs by value alone moves them as sorting their indices
  // did, so equal values keep the order that placed their points so far.
  struct Pair {
    double value, weight;
  };
  std::vector<Pair> pairs(n);
  for (size_t i = 0; i < n; i++) pairs[i] = {values[i], weights[i]};
  std::sort(pairs.begin(), pairs.end(),
            [](const Pair &a, const Pair &b) { return a.value < b.value; });
  double below = 0;
  for (size_t i = 0; i < n; i++) {
    values_[i] = pairs[i].value;
    at_[i] = (below + pairs[i].weight / 2) / total;
    below += pairs[i].weight;
  }
  sorted_ = true;
}

double WeightedQuantiles::kth(size_t k) const {
  if (sorted_) return values_[k];
  auto next = std::lower_bound(placed_.begin(), placed_.end(), k);
  if (next != placed_.end() && *next == k) return values_[k];
  // Between two placed positions the values are those of that stretch of
  // the sorted order, in any order.
  size_t lo = next == placed_.begin() ? 0 : *(next - 1) + 1;
  size_t hi = next == placed_.end() ? values_.size() : *next;
  auto first = values_.begin() + (ptrdiff_t)lo, end = values_.begin() + (ptrdiff_t)hi;
  if (hi == k + 1)
    std::iter_swap(std::max_element(first, end), end - 1);  // the largest of the stretch
  else
    std::nth_element(first, values_.begin() + (ptrdiff_t)k, end);
  placed_.insert(next, k);
  return values_[k];
}

double WeightedQuantiles::point(size_t i) const {
  if (even_weight_ == 0) return at_[i];
  return ((double)i * even_weight_ + even_weight_ / 2) / total_;
}

double WeightedQuantiles::at(double q) const {
  size_t n = values_.size();
  if (n == 0) return 0;
  // The first point at or past q (the points rise).
  size_t hi = 0;
  for (size_t count = n; count > 0;) {
    size_t half = count / 2;
    if (point(hi + half) < q)
      hi += half + 1, count -= half + 1;
    else
      count = half;
  }
  if (hi == 0) return kth(0);
  if (hi == n) return kth(n - 1);
  double b = kth(hi), a = kth(hi - 1);
  return a + (q - point(hi - 1)) / (point(hi) - point(hi - 1)) * (b - a);
}

}  // namespace orvtsdb
