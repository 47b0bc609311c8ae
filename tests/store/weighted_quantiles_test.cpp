/*
 * weighted_quantiles_test.cpp - percentiles of weighted values against the
 * plain definition (every value sorted, each at the middle of its share),
 * bit for bit: with ties, with 0 beside -0, with even and uneven weights,
 * and asked in any order.
 */
#include "weighted_quantiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>

namespace {

/* The definition, sorting positions by value with std::sort. */
double reference(const std::vector<double> &v, const std::vector<double> &w, double q) {
  size_t n = v.size();
  if (!n) return 0;
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return v[a] < v[b]; });
  double total = 0, below = 0;
  for (double x : w) total += x;
  std::vector<double> sorted(n), at(n);
  for (size_t i = 0; i < n; i++) {
    sorted[i] = v[order[i]];
    at[i] = (below + w[order[i]] / 2) / total;
    below += w[order[i]];
  }
  size_t hi = (size_t)(std::lower_bound(at.begin(), at.end(), q) - at.begin());
  if (hi == 0) return sorted.front();
  if (hi == n) return sorted.back();
  return sorted[hi - 1] + (q - at[hi - 1]) / (at[hi] - at[hi - 1]) * (sorted[hi] - sorted[hi - 1]);
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_reference(const std::vector<double> &v, const std::vector<double> &w,
                      const std::vector<double> &qs, const std::string &what) {
  orvtsdb::WeightedQuantiles quantiles(v.data(), w.data(), v.size());
  for (double q : qs) {
    double got = quantiles.at(q), want = reference(v, w, q);
    EXPECT_TRUE(same_bits(got, want))
        << what << ", n " << v.size() << ", q " << q << ": got " << got << ", want " << want;
  }
}

TEST(WeightedQuantiles, EveryShapeGivesTheBitsOfTheSortedDefinition) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(0, 1);
  const std::vector<std::vector<double>> orders = {
      {0.5, 0.9, 0.95, 0.99}, {0.99, 0.5, 0.95, 0.9, 0.5}, {0, 1, 0.5, 1e-9, 1 - 1e-9, 0.25}};
  for (size_t n : {0, 1, 2, 3, 5, 17, 100, 1000, 21001}) {
    for (int shape = 0; shape < 6; shape++) {
      std::vector<double> v(n), w(n);
      for (size_t i = 0; i < n; i++) {
        switch (shape) {
          case 0: v[i] = unit(rng); break;                            // all distinct
          case 1: v[i] = std::floor(unit(rng) * 7); break;            // heavy ties
          case 2: v[i] = std::floor(unit(rng) * 3) - 1; break;        // ties around 0
          case 3: v[i] = unit(rng) < 0.5 ? 0.0 : -0.0; break;         // 0 beside -0
          case 4: v[i] = 5; break;                                    // one value
          default: v[i] = std::round(unit(rng) * 400) / 1000; break;  // response times
        }
        w[i] = shape == 5 ? std::floor(unit(rng) * 20) + 1 : 1;  // counts, or even
      }
      for (const std::vector<double> &qs : orders) {
        expect_reference(v, w, qs, "shape " + std::to_string(shape));
        std::vector<double> even(n, 3.5);  // even, but not 1
        expect_reference(v, even, qs, "shape " + std::to_string(shape) + ", weights 3.5");
      }
    }
  }
}

TEST(WeightedQuantiles, UnevenWeightsPlaceTiesAsTheSortDid) {
  // Equal values of unequal weights: which of them is last decides where the
  // step to the next value starts.
  std::vector<double> v = {2, 1, 2, 3, 2, 1, 2}, w = {1, 4, 9, 2, 6, 3, 5};
  expect_reference(v, w, {0.3, 0.5, 0.8, 0.85, 0.9, 0.95}, "ties of uneven weight");
}

}  // namespace
