// A metric across runs: generated histories whose truth is known, judged
// the way `orvtsdb history` judges them.
#include "run_history.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

namespace orvtsdb_cli {
namespace {

/* n runs around 100 with within-run noise `se` (relative) and night-to-night
 * variation `tau` (relative); level(i) multiplies run i. */
std::vector<RunValue> history(size_t n, uint64_t seed, double se, double tau,
                              const std::function<double(size_t)> &level) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> z;
  std::vector<RunValue> runs(n);
  for (size_t i = 0; i < n; i++) {
    double v = 100 * level(i) * std::exp(tau * z(rng) + se * z(rng));
    runs[i] = {v, se * v, true, true};
  }
  return runs;
}

const auto flat = [](size_t) { return 1.0; };

TEST(RunHistory, NoiseAloneRarelyGivesAChangePointOrAVerdict) {
  int with_step = 0, not_stable = 0, outliers = 0;
  const int kHistories = 200;
  for (int s = 0; s < kHistories; s++) {
    HistoryResult r = analyse_history(history(30, s, 0.01, 0.02, flat), {});
    with_step += !r.steps.empty();
    not_stable += r.verdict != HistoryVerdict::Stable;
    outliers += (int)r.outliers.size();
  }
  EXPECT_LE(with_step, kHistories * 7 / 100);
  EXPECT_LE(not_stable, kHistories * 7 / 100);
  EXPECT_LE(outliers, kHistories * 7 / 100);
}

/* A drift stands on tau, read off few runs: noise alone draws one in at
 * most about 1 - confidence of the histories, short ones too. */
TEST(RunHistory, NoiseAloneRarelyDrifts) {
  const int kHistories = 400;
  for (size_t n : {8u, 12u, 25u}) {
    int drifting = 0;
    for (int s = 0; s < kHistories; s++)
      drifting += analyse_history(history(n, 1000 + s, 0.01, 0.02, flat), {}).drifting;
    EXPECT_LE(drifting, kHistories * 6 / 100) << n << " runs";
  }
}

/* So does an outlier, short histories above all (6 runs: a normal test
 * named one in 28 % of them). */
TEST(RunHistory, NoiseAloneRarelyGivesAnOutlier) {
  const int kHistories = 400;
  for (size_t n : {6u, 12u, 25u}) {
    int with_outlier = 0;
    for (int s = 0; s < kHistories; s++)
      with_outlier += !analyse_history(history(n, 2000 + s, 0.01, 0.03, flat), {}).outliers.empty();
    EXPECT_LE(with_outlier, kHistories * 7 / 100) << n << " runs";
  }
}

TEST(RunHistory, StepsAreFoundWithinOneRunWithTheirLevels) {
  for (double factor : {1.05, 1.10, 1.30}) {
    int found = 0, not_stable = 0;
    for (int s = 0; s < 50; s++) {
      auto runs = history(30, 1000 + s, 0.005, 0.01,
                          [&](size_t i) { return i >= 12 ? factor : 1; });
      HistoryResult r = analyse_history(runs, {});
      if (r.steps.size() == 1 && r.steps[0].reported && r.steps[0].run + 1 >= 12 &&
          r.steps[0].run <= 13) {
        found++;
        EXPECT_NEAR(r.steps[0].change, factor - 1, 0.03) << factor;
        EXPECT_LT(r.steps[0].p, 0.05);
      }
      // The new level has held for 18 runs: the newest is judged against it.
      not_stable += r.verdict != HistoryVerdict::Stable;
    }
    EXPECT_GE(found, 45) << "factor " << factor;
    EXPECT_LE(not_stable, 5) << "factor " << factor;
  }
}

TEST(RunHistory, ASingleOutlierIsNamedAndIsNoChangePoint) {
  int named = 0, steps = 0;
  for (int s = 0; s < 50; s++) {
    auto runs = history(30, 2000 + s, 0.005, 0.01, [](size_t i) { return i == 17 ? 1.3 : 1.0; });
    HistoryResult r = analyse_history(runs, {});
    for (const HistoryStep &step : r.steps) steps += step.run == 17 || step.run == 18;
    named += r.outliers.size() == 1 && r.outliers[0] == 17;
  }
  EXPECT_GE(named, 48);
  EXPECT_EQ(steps, 0);
}

TEST(RunHistory, ASlowDriftIsADriftNotAStep) {
  int drifts = 0, steps = 0;
  for (int s = 0; s < 50; s++) {
    auto runs = history(40, 3000 + s, 0.005, 0.01, [](size_t i) { return 1 + 0.005 * (double)i; });
    HistoryResult r = analyse_history(runs, {});
    drifts += r.drifting;
    steps += !r.steps.empty();
  }
  EXPECT_GE(drifts, 40);
  EXPECT_LE(steps, 10);
}

/* A step in the newest one or two runs is judged by the newest run's
 * verdict; it draws no drift through the flat runs before it. */
TEST(RunHistory, ALateStepIsNoDrift) {
  for (size_t stepped : {1u, 2u})
    for (uint64_t seed = 1; seed <= 20; seed++) {
      auto runs = history(12, seed, 0.005, 0.01,
                          [&](size_t i) { return i + stepped >= 12 ? 1.3 : 1.0; });
      HistoryResult r = analyse_history(runs, {});
      EXPECT_FALSE(r.drifting) << stepped << " runs stepped, seed " << seed << ": "
                               << r.drift.change;
    }
}

TEST(RunHistory, TheNewestRunIsJudgedAgainstTheLastStableLevel) {
  // The newest three runs stepped up: a regression, however few.
  auto up = history(30, 7, 0.005, 0.01, [](size_t i) { return i >= 27 ? 1.15 : 1.0; });
  HistoryResult r = analyse_history(up, {});
  EXPECT_EQ(r.verdict, HistoryVerdict::Regression);
  EXPECT_NEAR(r.reference, 100, 3);
  // The newest run alone is slower: a regression too.
  auto last = history(30, 8, 0.005, 0.01, [](size_t i) { return i == 29 ? 1.2 : 1.0; });
  EXPECT_EQ(analyse_history(last, {}).verdict, HistoryVerdict::Regression);
  // For throughput lower is worse.
  HistoryOptions throughput;
  throughput.higher_is_worse = false;
  auto down = history(30, 9, 0.005, 0.01, [](size_t i) { return i >= 28 ? 0.8 : 1.0; });
  EXPECT_EQ(analyse_history(down, throughput).verdict, HistoryVerdict::Regression);
  EXPECT_EQ(analyse_history(down, {}).verdict, HistoryVerdict::Improvement);
  // Below the threshold a real step is not reported and not a regression.
  HistoryOptions wide;
  wide.threshold = 0.2;
  EXPECT_EQ(analyse_history(up, wide).verdict, HistoryVerdict::Stable);
}

/* Change points over a history's many metrics: noise alone gives a history
 * any with a chance near 1 - confidence (one metric at a time, about eight
 * times that), and of those given, few are false. */
TEST(RunHistory, AHistorysMetricsShareOneLevelSoFewChangePointsAreFalse) {
  const int kHistories = 60, kMetrics = 8;
  int noisy_histories = 0, alone = 0, found = 0, false_points = 0;
  for (int h = 0; h < kHistories; h++) {
    std::vector<std::vector<RunValue>> null(kMetrics), stepped(kMetrics);
    for (int m = 0; m < kMetrics; m++) {
      uint64_t seed = 5000 + 100 * (uint64_t)h + (uint64_t)m;
      null[m] = history(30, seed, 0.01, 0.02, flat);
      // Two metrics of eight step up by 30 % at run 15.
      stepped[m] = m < 2 ? history(30, seed, 0.01, 0.02, [](size_t i) { return i >= 15 ? 1.3 : 1; })
                         : null[m];
    }
    std::vector<std::pair<const std::vector<RunValue> *, HistoryOptions>> a, b;
    for (int m = 0; m < kMetrics; m++) a.push_back({&null[m], {}}), b.push_back({&stepped[m], {}});
    bool any = false;
    for (const HistoryResult &r : analyse_histories(a)) any = any || !r.steps.empty();
    noisy_histories += any;
    bool any_alone = false;
    for (const std::vector<RunValue> &v : null)
      any_alone = any_alone || !analyse_history(v, {}).steps.empty();
    alone += any_alone;
    std::vector<HistoryResult> rs = analyse_histories(b);
    for (int m = 0; m < kMetrics; m++)
      for (const HistoryStep &st : rs[m].steps) {
        bool right = m < 2 && st.run >= 14 && st.run <= 16;
        found += right, false_points += !right;
      }
  }
  EXPECT_LE(noisy_histories, kHistories * 8 / 100);
  EXPECT_GT(alone, 3 * noisy_histories) << "one metric at a time holds each at the level";
  EXPECT_GE(found, 2 * kHistories * 95 / 100);
  EXPECT_LE(false_points, found / 10);
}

/* Drifts too: tested one metric at a time, noise drew one into a quarter of
 * the histories of a dozen runs and several transactions; held at one level
 * they stay rare, and a real drift is still found. */
TEST(RunHistory, AHistorysMetricsShareOneLevelSoFewDriftsAreFalse) {
  const int kHistories = 100, kMetrics = 10;
  int noisy_histories = 0, alone = 0, found = 0;
  for (int h = 0; h < kHistories; h++) {
    std::vector<std::vector<RunValue>> null(kMetrics);
    for (int m = 0; m < kMetrics; m++)
      null[m] = history(12, 9000 + 100 * (uint64_t)h + (uint64_t)m, 0.01, 0.02, flat);
    std::vector<RunValue> drifting = history(12, 777 + (uint64_t)h, 0.01, 0.02,
                                             [](size_t i) { return 1 + 0.03 * (double)i; });
    std::vector<std::pair<const std::vector<RunValue> *, HistoryOptions>> a, b;
    for (int m = 0; m < kMetrics; m++) a.push_back({&null[m], {}});
    b = a;
    b[0].first = &drifting;
    bool any = false, any_alone = false;
    for (const HistoryResult &r : analyse_histories(a)) any = any || r.drifting;
    for (const std::vector<RunValue> &v : null)
      any_alone = any_alone || analyse_history(v, {}).drifting;
    noisy_histories += any, alone += any_alone;
    found += analyse_histories(b)[0].drifting;
  }
  EXPECT_LE(noisy_histories, kHistories * 8 / 100);
  EXPECT_GT(alone, 2 * noisy_histories) << "one metric at a time holds each at the level";
  EXPECT_GE(found, kHistories * 80 / 100);
}

TEST(RunHistory, RunsWithoutTheMetricAreSkippedAndTooFewAreSaidSo) {
  auto runs = history(20, 11, 0.005, 0.01, [](size_t i) { return i >= 10 ? 1.3 : 1.0; });
  runs[4].has = false;
  runs[10].value = 0;  // no value: skipped
  HistoryResult r = analyse_history(runs, {});
  ASSERT_EQ(r.steps.size(), 1u);
  EXPECT_EQ(r.steps[0].run, 11u);
  EXPECT_EQ(analyse_history({runs[0], runs[1]}, {}).verdict, HistoryVerdict::TooFewRuns);
  // A newest run without a value to take has no verdict; one that lacks
  // the metric (a transaction that no longer ran) is said to.
  runs.back().has = false;
  EXPECT_EQ(analyse_history(runs, {}).verdict, HistoryVerdict::TooFewRuns);
  runs.back().present = false;
  EXPECT_EQ(analyse_history(runs, {}).verdict, HistoryVerdict::NotInNewest);
  EXPECT_FALSE(newest_judged(HistoryVerdict::NotInNewest));
  EXPECT_EQ(analyse_history({runs[0], runs[1], runs.back()}, {}).verdict,
            HistoryVerdict::TooFewRuns);
  // The same history twice gives the same answer.
  EXPECT_EQ(analyse_history(runs, {}).steps[0].p, analyse_history(runs, {}).steps[0].p);
}

}  // namespace
}  // namespace orvtsdb_cli
