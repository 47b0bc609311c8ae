/*
 * run_history.h - what a metric did across a team's runs: its levels, the
 * runs where a new level began, single runs that stand out, a slow drift,
 * and whether the newest run is worse than the last stable level.
 *
 * Each run gives the metric's value with its own standard error (the
 * within-run noise, from batch means). Runs of one test differ from night
 * to night by more than that noise says, so the method adds a between-run
 * variance tau^2, read robustly off the differences of neighbouring runs
 * (a median, so that a few steps and outliers do not inflate it); where the
 * runs differ by less than their errors say (batch means also see the load
 * change within a run, the same in every run), the errors are scaled down
 * to what the runs show. On the log of the values (a step is a factor), a
 * run weighs 1 / (its scaled se_i^2 + tau^2).
 *
 *  1. Outliers: a run whose value lies beyond the runs just before it and
 *     just after it (the medians of up to three on each side, both sides in
 *     the same direction; one side at the ends of the history) by more than
 *     the Bonferroni-corrected quantile of its variance (a t distribution,
 *     tau standing on few runs), and by more than the threshold. They are
 *     named and left out of the levels.
 *  2. Change points by binary segmentation: in a stretch of runs, the split
 *     that maximises the standardised difference of the weighted means on
 *     its two sides (each side at least two runs); its significance comes
 *     from a permutation test (the runs of the stretch shuffled, the same
 *     maximum taken), so the many candidate splits are accounted for. A
 *     split is kept when its p-value is below alpha / n for the n-th
 *     stretch searched (Bonferroni: a real step brings no false ones beside
 *     it) and a step fits the stretch better than a straight line by
 *     Akaike's measure (a slow drift is a drift, not a step); the two sides
 *     are then searched again. alpha is 1 - confidence for one metric; over
 *     the many metrics of a history (analyse_histories) it is the level at
 *     which Benjamini and Hochberg's procedure over the metrics' first
 *     splits stops, so that of the metrics given change points at most a
 *     share of 1 - confidence have none (and noise alone gives any metric
 *     one with a chance of at most 1 - confidence).
 *  3. Drift: in the last level, a weighted straight line whose slope differs
 *     from 0 (a t test at the confidence, of the degrees of freedom tau's
 *     median of differences stands on, as the newest run's), whose change over the level
 *     exceeds the threshold, and which fits the level better than a step in
 *     its newest one or two runs does (Akaike's measure).
 *  4. The newest run against the last stable level: the level before the
 *     newest change point when that began fewer than kStableRuns runs ago
 *     (a step that has not yet held is not a new normal), else the newest
 *     level without the newest run. A t test at the confidence, and a change
 *     beyond the threshold, make it a regression or an improvement.
 * The permutations come from a fixed seed: the same history always gives
 * the same answer. Assumptions: the runs are independent given their
 * levels, their log values roughly normal, tau the same for every run.
 */
#ifndef ORVTSDB_RUN_HISTORY_H
#define ORVTSDB_RUN_HISTORY_H

#include <cstddef>
#include <utility>
#include <vector>

namespace orvtsdb_cli {

/* A level must have held this many runs to be the reference of the newest. */
constexpr size_t kStableRuns = 5;

/* One run's value of a metric; `has` is false when the run lacks it (it is
 * then skipped) or when the value is not positive. */
struct RunValue {
  double value = 0;
  double se = 0;  // within-run standard error, in the value's unit
  bool has = false;
  bool present = false;  // the run holds the metric, whatever its value
};

// NotInNewest: earlier runs hold the metric, enough to judge, but the
// newest does not (a transaction that no longer ran): said, not judged.
enum class HistoryVerdict { TooFewRuns, Stable, Regression, Improvement, NotInNewest };

/* Whether the verdict judges the newest run (it has a change and a p). */
inline bool newest_judged(HistoryVerdict v) {
  return v == HistoryVerdict::Stable || v == HistoryVerdict::Regression ||
         v == HistoryVerdict::Improvement;
}

struct HistoryStep {
  size_t run = 0;                // index (into the runs given) of the first run of the new level
  double before = 0, after = 0;  // the levels on its two sides (weighted, in the value's unit)
  double change = 0;             // after / before - 1
  double p = 1;                  // permutation p-value
  bool reported = false;         // |change| reaches the threshold
};

struct HistoryDrift {
  size_t from = 0, to = 0;  // first and last run of the level it runs through
  double change = 0;        // over that level, as a fraction
  double p = 1;
};

struct HistoryOptions {
  double confidence = 0.95;
  double threshold = 0.02;  // smallest |change| reported, as a fraction
  bool higher_is_worse = true;
  int permutations = 999;
  double step_alpha = -1;  // the first split's level; below 0: 1 - confidence
};

struct HistoryResult {
  std::vector<HistoryStep> steps;  // in run order
  std::vector<size_t> outliers;    // run indices
  bool drifting = false;
  HistoryDrift drift;
  double tau = 0;      // between-run standard deviation on the log scale
  double first_p = 1;  // p-value of the first split of the whole (1: none, or a drift)
  HistoryVerdict verdict = HistoryVerdict::TooFewRuns;
  double reference = 0;      // the last stable level
  double newest_change = 0;  // newest / reference - 1
  double newest_p = 1;
};

HistoryResult analyse_history(const std::vector<RunValue> &runs, const HistoryOptions &o);

/* One history's metrics, each with its options (its direction): change
 * points held at the common level of step 2 above, the rest as for one. */
std::vector<HistoryResult> analyse_histories(
    const std::vector<std::pair<const std::vector<RunValue> *, HistoryOptions>> &metrics);

const char *verdict_name(HistoryVerdict v);

}  // namespace orvtsdb_cli

#endif
