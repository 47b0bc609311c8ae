/*
 * run_summary.h - what a run's history needs of it, one row a metric: for
 * every transaction (the series of a transaction group's first
 * response-time graph) its mean response time, its p95 and its throughput,
 * and for every graph that counts errors its errors per second; each with
 * the weight it stands on and the batch-means inputs of its within-run
 * error (the run cut into at most kSummaryBatches consecutive batches of
 * equally many intervals, each batch's value and weight).
 *
 * A migration summarises its run when it commits, inside its transaction,
 * and keeps the summary in the run_summaries table with its row checks; a
 * reader of a run without one (a store written before summaries, or by
 * another summary version) summarises the run from its samples instead,
 * and writes nothing.
 */
#ifndef ORVTSDB_RUN_SUMMARY_H
#define ORVTSDB_RUN_SUMMARY_H

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace orvtsdb {

/* The version of what a summary holds and how it is computed: a stored
 * summary of another version is read as absent. */
constexpr int kSummaryVersion = 2;  // 1 took a rate's values for counts
constexpr int kSummaryBatches = 20;

/* One metric of a run. metric: "mean", "p95", "throughput" or "errors";
 * series: "<group> / <transaction>" (the value of the series' Transaction
 * tag, else its labels, else the graph's name), for errors
 * "<group> / <graph>[ / <labels>]". value and the batch values are in the
 * metric's unit (seconds, transactions or errors per second); weight is the
 * transactions (or intervals) the value stands on. */
struct MetricSummary {
  std::string series, metric;
  double value = 0, weight = 0;
  std::vector<double> batch_values, batch_weights;
};

/* Summarises run number `run` of db from its samples, into out (in the
 * order of the store's groups and graphs). false with the reason in err
 * (a damaged chunk, a row that does not match its check). */
bool summarise_run(sqlite3 *db, int64_t run, std::vector<MetricSummary> &out, std::string &err);

/* Summarises run number `run` and keeps it in the store, replacing what
 * was kept of the run, inside the writer's open transaction. */
bool store_run_summary(sqlite3 *db, int64_t run, std::string &err);

/* The kept summary of run number `run`: *kept false (and out empty) when
 * the store holds none of this version. A row that does not match its
 * check is an error. */
bool read_run_summary(sqlite3 *db, int64_t run, std::vector<MetricSummary> &out, bool *kept,
                      std::string &err);

}  // namespace orvtsdb

#endif
