/*
 * run_statistics_test.cpp - the statistics `compare` judges by, on series
 * whose truth is known: AR(1) noise of a chosen coefficient over a shared
 * load shape, with and without a change.
 */
#include "run_statistics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace orvtsdb_cli;

namespace {

/* n intervals one second apart: a load wave both runs share, times `level`,
 * with AR(1) noise of coefficient phi and relative size `noise`. */
MetricSeries run(unsigned seed, int n, double level, double phi, double noise, double weight = 1) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  MetricSeries s;
  double x = 0;
  for (int t = 0; t < n; t++) {
    x = phi * x + std::sqrt(1 - phi * phi) * g(rng);
    double wave = 1 + 0.5 * std::sin(t * 6.283 / 900);
    s.add(t, level * wave * (1 + noise * x), weight, 0);
  }
  return s;
}

TEST(RunStatistics, TheAr1CoefficientIsReadOffTheNoise) {
  for (double phi : {0.0, 0.5, 0.9}) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> g;
    std::vector<double> v;
    for (double x = 0; v.size() < 20000;) v.push_back(x = phi * x + g(rng));
    EXPECT_NEAR(ar1_coefficient(v), phi, 0.03) << phi;
  }
  EXPECT_EQ(ar1_coefficient({1, 2}), 0) << "too short to tell";
}

TEST(RunStatistics, WeightedMeanSkipsEmptyIntervalsAndPercentilesInterpolate) {
  MetricSeries s;
  s.add(0, 100, 3, 150);
  s.add(1, 0, 0, 0);  // no transaction: no response time, whatever its avg says
  s.add(2, 200, 1, 400);
  s.add(3, NAN, 1, 0);
  MetricStats m = s.stats();
  EXPECT_EQ(m.intervals, 2u);
  EXPECT_DOUBLE_EQ(m.weight, 4);
  EXPECT_DOUBLE_EQ(m.mean, 125);
  EXPECT_DOUBLE_EQ(m.max, 400);
  EXPECT_DOUBLE_EQ(m.p50, 150);
  EXPECT_DOUBLE_EQ(m.p90, 190);
}

TEST(RunStatistics, ARunAgainstItselfIsUnchangedByExactlyZero) {
  MetricSeries a = run(1, 3600, 500, 0.9, 0.2);
  Change c = compare_series(a, a, 0, 0.05);
  EXPECT_EQ(c.verdict, Verdict::Unchanged);
  EXPECT_EQ(c.change, 0);
  EXPECT_EQ(c.low, 0);
  EXPECT_EQ(c.high, 0);
}

TEST(RunStatistics, AKnownChangeIsFoundAndItsIntervalHoldsIt) {
  for (double factor : {1.3, 0.7}) {
    int found = 0, held = 0;
    for (unsigned k = 0; k < 20; k++) {
      Change c = compare_series(run(2 * k + 1, 3600, 500, 0.9, 0.2),
                                run(2 * k + 2, 3600, 500 * factor, 0.9, 0.2), 0, 0.05);
      found += c.verdict == (factor > 1 ? Verdict::Up : Verdict::Down);
      held += c.low < factor - 1 && c.high > factor - 1;
    }
    EXPECT_EQ(found, 20) << factor;
    EXPECT_GE(held, 17) << factor << ": a 95 % interval misses the truth too often";
  }
  // Clearly there, but below the threshold: unchanged.
  Change small = compare_series(run(1, 3600, 500, 0.9, 0.02), run(2, 3600, 510, 0.9, 0.02), 0,
                                0.05);
  EXPECT_GT(small.low, 0);
  EXPECT_EQ(small.verdict, Verdict::Unchanged);
}

/* Pairs of runs of one system (noise alone): a 95 % interval excludes 0 in
 * about 5 % of them, never in the many a test that takes the samples as
 * independent calls changed; with the default threshold, hardly ever. */
TEST(RunStatistics, NoiseAloneIsRarelyCalledAChangeWhereANaiveTestIsFooled) {
  const int pairs = 400;
  int judged = 0, excluded = 0, changed = 0, naive = 0;
  for (unsigned k = 0; k < pairs; k++) {
    MetricSeries a = run(2 * k + 11, 3600, 500, 0.9, 0.3), b = run(2 * k + 12, 3600, 500, 0.9, 0.3);
    Change c = compare_series(a, b, 0, 0.0);
    judged += c.verdict != Verdict::TooLittleData;
    excluded += c.verdict == Verdict::Up || c.verdict == Verdict::Down;
    Change d = compare_series(a, b, 0, 0.05);
    changed += d.verdict == Verdict::Up || d.verdict == Verdict::Down;
    MetricStats sa = a.stats(), sb = b.stats();
    double va = 0, vb = 0;
    for (double v : a.values()) va += (v - sa.mean) * (v - sa.mean);
    for (double v : b.values()) vb += (v - sb.mean) * (v - sb.mean);
    double se = std::sqrt(va / (3599.0 * 3600) + vb / (3599.0 * 3600));
    naive += std::fabs(sb.mean - sa.mean) > 1.96 * se;
  }
  EXPECT_GE(judged, pairs * 9 / 10);
  EXPECT_LE(excluded, judged * 8 / 100);
  EXPECT_LE(changed, excluded);
  EXPECT_GT(naive, pairs / 4) << "the noise is not autocorrelated enough to test anything";
}

TEST(RunStatistics, ShortOrEmptySeriesHaveTooLittleData) {
  EXPECT_EQ(compare_series(run(1, 40, 500, 0.9, 0.2), run(2, 40, 500, 0.9, 0.2), 0, 0.05).verdict,
            Verdict::TooLittleData);
  EXPECT_EQ(compare_series(MetricSeries(), run(2, 3600, 500, 0.9, 0.2), 0, 0.05).verdict,
            Verdict::TooLittleData);
}

}  // namespace
