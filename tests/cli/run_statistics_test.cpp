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

/* A transaction whose count follows a slow load wave (a peak carries ten
 * times the transactions of a trough), its response time `factor` times
 * the baseline's from elapsed time `from` on. */
MetricSeries weighted_run(unsigned seed, int n, double factor = 1, int from = 0) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> g;
  MetricSeries s;
  double x = 0;
  for (int t = 0; t < n; t++) {
    x = 0.9 * x + std::sqrt(1 - 0.81) * g(rng);
    double load = std::sin(t * 6.283 / 2400);
    double count = std::round(1 + 9 * load * load);
    s.add(t, 500 * (1 + 0.3 * load) * (1 + 0.25 * x) * (t >= from ? factor : 1), count, 0);
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
  // Weighted: 100 holds three quarters of the transactions.
  EXPECT_DOUBLE_EQ(m.p50, 125);
  EXPECT_DOUBLE_EQ(m.p90, 200);
}

TEST(RunStatistics, APercentileIsTheSameBitsWhicheverOthersAreAsked) {
  // Uneven counts over values with many ties (whole milliseconds): the
  // order of the sort decides the bits, and each request must see the same.
  // Even weights take another path: the values are placed as asked.
  MetricSeries s = weighted_run(3, 5000), even = run(4, 5000, 500, 0.9, 0.2);
  MetricSeries ties;
  for (size_t i = 0; i < s.size(); i++)
    ties.add(s.times()[i], std::round(s.values()[i] / 50), s.weights()[i], 0);
  for (const MetricSeries *m : {&s, &ties, &even}) {
    MetricStats all = m->stats();
    EXPECT_TRUE(std::isnan(m->stats(0).p50));
    EXPECT_EQ(m->stats(0).mean, all.mean);
    for (unsigned asked = 1; asked < kEveryPercentile; asked++) {
      MetricStats some = m->stats(asked);
      double MetricStats::*fields[] = {&MetricStats::p50, &MetricStats::p90, &MetricStats::p95,
                                       &MetricStats::p99};
      for (unsigned bit = 0; bit < 4; bit++) {
        if (asked & (1u << bit))
          EXPECT_EQ(some.*fields[bit], all.*fields[bit]) << asked << " " << bit;
        else
          EXPECT_TRUE(std::isnan(some.*fields[bit])) << asked << " " << bit;
      }
    }
  }
}

TEST(RunStatistics, ARunAgainstItselfIsUnchangedByExactlyZero) {
  MetricSeries a = run(1, 3600, 500, 0.9, 0.2);
  Change c = compare_series(a, a, 0, kOpenEnd, 0.05);
  EXPECT_EQ(c.verdict, Verdict::NoEvidence);
  EXPECT_EQ(c.change, 0);
  EXPECT_EQ(c.low, 0);
  EXPECT_EQ(c.high, 0);
}

TEST(RunStatistics, AKnownChangeIsFoundAndItsIntervalHoldsIt) {
  for (double factor : {1.3, 0.7}) {
    int found = 0, held = 0;
    for (unsigned k = 0; k < 20; k++) {
      Change c = compare_series(run(2 * k + 1, 3600, 500, 0.9, 0.2),
                                run(2 * k + 2, 3600, 500 * factor, 0.9, 0.2), 0, kOpenEnd, 0.05);
      found += c.verdict == (factor > 1 ? Verdict::Up : Verdict::Down);
      held += c.low < factor - 1 && c.high > factor - 1;
    }
    EXPECT_EQ(found, 20) << factor;
    EXPECT_GE(held, 17) << factor << ": a 95 % interval misses the truth too often";
  }
  // Clearly there, but below the threshold: resolved, within it.
  Change small = compare_series(run(1, 3600, 500, 0.9, 0.02), run(2, 3600, 510, 0.9, 0.02), 0,
                                kOpenEnd, 0.05);
  EXPECT_GT(small.low, 0);
  EXPECT_EQ(small.verdict, Verdict::WithinThreshold);
}

/* Pairs of runs of one system (noise alone): a 95 % interval excludes 0 in
 * about 5 % of them, never in the many a test that takes the samples as
 * independent calls changed; with the default threshold, hardly ever. */
TEST(RunStatistics, NoiseAloneIsRarelyCalledAChangeWhereANaiveTestIsFooled) {
  const int pairs = 400;
  int judged = 0, excluded = 0, changed = 0, naive = 0;
  for (unsigned k = 0; k < pairs; k++) {
    MetricSeries a = run(2 * k + 11, 3600, 500, 0.9, 0.3), b = run(2 * k + 12, 3600, 500, 0.9, 0.3);
    Change c = compare_series(a, b, 0, kOpenEnd, 0.0);
    judged += c.verdict != Verdict::TooLittleData;
    excluded += c.verdict == Verdict::Up || c.verdict == Verdict::Down;
    Change d = compare_series(a, b, 0, kOpenEnd, 0.05);
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
  EXPECT_EQ(compare_series(run(1, 40, 500, 0.9, 0.2), run(2, 40, 500, 0.9, 0.2), 0, kOpenEnd, 0.05)
                .verdict,
            Verdict::TooLittleData);
  EXPECT_EQ(compare_series(MetricSeries(), run(2, 3600, 500, 0.9, 0.2), 0, kOpenEnd, 0.05).verdict,
            Verdict::TooLittleData);
}

/* Batches of unequal weight: the interval holds the truth at its stated
 * level, with no change and with one (the t quantile's degrees of freedom
 * follow the weights). */
TEST(RunStatistics, IntervalsHoldTheTruthWhenBatchesCarryUnequalWeights) {
  const int pairs = 400;
  for (double factor : {1.0, 1.1}) {
    int held = 0, judged = 0;
    for (unsigned k = 0; k < pairs; k++) {
      Change c = compare_series(weighted_run(2 * k + 1, 7200),
                                weighted_run(2 * k + 2, 7200, factor), 0, kOpenEnd, 0.05);
      if (c.verdict == Verdict::TooLittleData) continue;
      judged++;
      held += c.low <= factor - 1 && factor - 1 <= c.high;
      EXPECT_LT(c.dof, c.batches - 1.0) << "unequal batches have fewer degrees of freedom";
    }
    ASSERT_GE(judged, pairs * 9 / 10);
    EXPECT_GE(held, judged * 925 / 1000) << factor;
    EXPECT_LE(held, judged * 980 / 1000) << factor << ": the intervals are needlessly wide";
  }
}

/* Only the common part of two runs of different lengths is compared, the
 * change as much as its interval. */
TEST(RunStatistics, TheWindowBoundsTheChangeAndTheInterval) {
  MetricSeries a = run(1, 3600, 500, 0.9, 0.1), b = run(2, 7200, 500, 0.9, 0.1);
  MetricSeries slower_late;  // b's first hour, then twice as slow
  for (size_t i = 0; i < b.size(); i++)
    slower_late.add(b.times()[i], b.values()[i] * (b.times()[i] >= 3600 ? 2 : 1), 1, 0);
  // Runs of an hour and of two: the window compare takes, the shorter's.
  Change whole = compare_series(a, slower_late, 0, 3600, 0.05);
  EXPECT_NE(whole.verdict, Verdict::Up) << "the second hour has no baseline to compare with";
  EXPECT_LT(std::fabs(whole.change), 0.05);
  // Over the window the change is the ratio of the two means in it, though
  // one series has no interval in its last stretch.
  MetricSeries early;  // a without its last ten minutes
  for (size_t i = 0; i < a.size() && a.times()[i] < 3000; i++)
    early.add(a.times()[i], a.values()[i], 1, 0);
  Change cut = compare_series(early, b, 0, 3600, 0.05);
  double se = 0, sb2 = 0;
  for (size_t i = 0; i < early.size(); i++) se += early.values()[i];
  for (size_t i = 0; i < b.size() && b.times()[i] < 3600; i++) sb2 += b.values()[i];
  EXPECT_NEAR(cut.change, (sb2 / 3600) / (se / (double)early.size()) - 1, 1e-12);
  Change half = compare_series(a, slower_late, 600, 1800, 0.05);
  double sa = 0, sb = 0;
  for (int64_t t = 600; t < 1800; t++) sa += a.values()[t], sb += slower_late.values()[t];
  EXPECT_NEAR(half.change, sb / sa - 1, 1e-12);
}

TEST(RunStatistics, ALateChangeIsDatedAndMeasuredOnBothSides) {
  int near = 0;
  for (unsigned k = 0; k < 10; k++) {
    MetricSeries a = weighted_run(2 * k + 1, 14400), b = weighted_run(2 * k + 2, 14400, 1.5, 10000);
    Change c = compare_series(a, b, 0, kOpenEnd, 0.05);
    ASSERT_EQ(c.verdict, Verdict::Up);
    Onset on = change_onset(a, b, 0, kOpenEnd, 0.05);
    ASSERT_TRUE(on.stepped) << k;
    near += std::abs(on.since - 10000) <= 14400 / 20;
    EXPECT_LT(std::fabs(on.before), 0.05);
    EXPECT_NEAR(on.after, 0.5, 0.1);
  }
  EXPECT_GE(near, 9) << "onsets within 5 % of the run's length";
  // A change from the start has no step: it spans the window.
  MetricSeries a = weighted_run(1, 14400), b = weighted_run(2, 14400, 1.5);
  Onset whole = change_onset(a, b, 300, kOpenEnd, 0.05);
  EXPECT_FALSE(whole.stepped);
  EXPECT_EQ(whole.since, 300);
}

TEST(RunStatistics, HolmRejectsStepByStep) {
  // alpha 0.05 over four: 0.01 <= 0.0125, 0.015 <= 0.0167, 0.03 > 0.025 stops.
  std::vector<bool> r = holm_rejected({0.03, 0.01, 0.5, 0.015}, 0.05);
  EXPECT_EQ(r, (std::vector<bool>{false, true, false, true}));
  EXPECT_EQ(holm_rejected({0.04, 0.04}, 0.05), (std::vector<bool>{false, false}));
  EXPECT_TRUE(holm_rejected({}, 0.05).empty());
}

}  // namespace
