/*
 * run_summary_test.cpp - the summary a migration keeps of its run: what its
 * samples give, read back as kept; a store without it (or with another
 * version of it) is summarised from its samples and is not damaged; the
 * next migration adds it again.
 */
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <string>
#include <vector>

#include "run_summary.h"
#include "store_checks.h"
#include "store_reading.h"
#include "store_test_support.h"

using namespace store_test;

namespace {

constexpr long kStart = 1700000000;
constexpr int kIntervals = 40, kStep = 10;

double avg_at(int i) { return 100 + i; }
double count_at(int i) { return i == 7 ? 0 : 1 + i % 3; }  // one interval without events
// Values that are no number, in intervals the summary leaves out.
constexpr int kNan = 11, kInfinite = 23;
double recorded_avg(int i) {
  return i == kNan ? std::nan("7") : i == kInfinite ? HUGE_VAL : avg_at(i);
}
bool counted(int i) { return i != kNan && i != kInfinite; }

/* One run: a transaction (times graph), a graph of errors (a count every
 * kStep s) and one of failures per second (data type "rate"). */
void migrate_run() {
  ASSERT_EQ(tsdb_init_migration(kStart), 0);
  int txn = register_group("Transactions", {3}, "TestMetrics>Transactions");
  int errors = register_group("Errors", {0}, "TestMetrics>Errors");
  int failures = register_group("Failures per second", {1}, "TestMetrics>Failures");
  Vec login("Login"), failed("Login"), failing("Login");
  for (int i = 0; i < kIntervals; i++) {
    login.insert(txn, {recorded_avg(i), avg_at(i) - 1, avg_at(i) + 1, count_at(i)}, kStep);
    failed.insert(errors, {2}, kStep);
    failing.insert(failures, {3}, kStep);
    tsdb_migration_increment_sample_ex(kStep);
  }
  ASSERT_EQ(tsdb_exit_migration(kStart + kIntervals * kStep), 0);
}

struct Reader {
  explicit Reader(const std::string &path) {
    std::string shown, err;
    db = orvtsdb::open_store_for_reading(path, &shown, err);
    EXPECT_NE(db, nullptr) << err;
  }
  ~Reader() { sqlite3_close(db); }
  std::vector<orvtsdb::MetricSummary> kept(bool *found) {
    std::vector<orvtsdb::MetricSummary> out;
    std::string err;
    EXPECT_TRUE(orvtsdb::read_run_summary(db, 1, out, found, err)) << err;
    return out;
  }
  std::vector<orvtsdb::MetricSummary> made() {
    std::vector<orvtsdb::MetricSummary> out;
    std::string err;
    EXPECT_TRUE(orvtsdb::summarise_run(db, 1, out, err)) << err;
    return out;
  }
  std::vector<std::string> faults() {
    std::string err;
    std::vector<std::string> out = orvtsdb::store_faults(db, 10, err);
    EXPECT_EQ(err, "");
    return out;
  }
  sqlite3 *db = nullptr;
};

void change(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  std::string err;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_TRUE(orvtsdb::register_check_function(db, err)) << err;
  char *msg = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &msg), SQLITE_OK) << msg;
  sqlite3_free(msg);
  sqlite3_close(db);
}

const orvtsdb::MetricSummary *find(const std::vector<orvtsdb::MetricSummary> &all,
                                   const std::string &metric) {
  for (const orvtsdb::MetricSummary &m : all)
    if (m.metric == metric) return &m;
  return nullptr;
}

void expect_same(const std::vector<orvtsdb::MetricSummary> &a,
                 const std::vector<orvtsdb::MetricSummary> &b) {
  ASSERT_EQ(a.size(), b.size());
  for (const orvtsdb::MetricSummary &x : a) {
    const orvtsdb::MetricSummary *y = nullptr;
    for (const orvtsdb::MetricSummary &m : b)
      if (m.series == x.series && m.metric == x.metric) y = &m;
    ASSERT_NE(y, nullptr) << x.series << " [" << x.metric << "]";
    EXPECT_EQ(x.value, y->value);  // bit for bit: the kept doubles are the made ones
    EXPECT_EQ(x.weight, y->weight);
    EXPECT_EQ(x.batch_values, y->batch_values);
    EXPECT_EQ(x.batch_weights, y->batch_weights);
  }
}

TEST(RunSummary, AMigrationKeepsWhatItsRunsSamplesGive) {
  TempStore store;
  migrate_run();
  Reader r(store.db());
  bool found = false;
  std::vector<orvtsdb::MetricSummary> kept = r.kept(&found);
  ASSERT_TRUE(found);
  expect_same(kept, r.made());
  // By hand: the mean weighted by count over the intervals with events, the
  // transactions per second over the series' span, the errors per second.
  double n = 0, sum = 0;
  for (int i = 0; i < kIntervals; i++)
    if (counted(i)) n += count_at(i), sum += count_at(i) * avg_at(i);
  const orvtsdb::MetricSummary *mean = find(kept, "mean"), *rate = find(kept, "throughput"),
                               *errors = find(kept, "errors"), *p95 = find(kept, "p95");
  ASSERT_TRUE(mean && rate && errors && p95);
  // A series without a Transaction tag is named by its labels.
  EXPECT_EQ(mean->series,
            "Transactions / customer=Default,application=Default,Tier=T1,Server=Login");
  EXPECT_DOUBLE_EQ(mean->value, sum / n);
  EXPECT_EQ(mean->weight, n);
  EXPECT_EQ(mean->batch_values.size(), (size_t)(kIntervals - 3) / 2);
  EXPECT_DOUBLE_EQ(rate->value, n / (kIntervals * kStep));  // the span stays the series'
  for (const orvtsdb::MetricSummary &m : kept)
    for (double b : m.batch_values) EXPECT_TRUE(std::isfinite(b)) << m.metric;
  EXPECT_DOUBLE_EQ(errors->value, 2.0 / kStep);
  // A rate stays a rate: 3 a second, not 3 in each interval of kStep s.
  int rates = 0;
  for (const orvtsdb::MetricSummary &m : kept) {
    if (m.series.rfind("Failures", 0) != 0) continue;
    rates++;
    EXPECT_DOUBLE_EQ(m.value, 3.0) << m.series;
  }
  EXPECT_EQ(rates, 1);
  EXPECT_GT(p95->value, avg_at(kIntervals * 8 / 10));
  EXPECT_LE(p95->value, avg_at(kIntervals - 1));
  EXPECT_TRUE(r.faults().empty());
}

TEST(RunSummary, AStoreWithoutItIsSummarisedFromItsSamplesAndTheNextMigrationKeepsItAgain) {
  TempStore store;
  migrate_run();
  std::vector<orvtsdb::MetricSummary> first = Reader(store.db()).made();
  // Another version of the summary (its rows checked) reads as none kept.
  change(store.db(),
         "UPDATE run_summaries SET value = " + std::to_string(orvtsdb::kSummaryVersion - 1) +
             " WHERE metric = ''; UPDATE run_summaries SET row_check = " +
             orvtsdb::row_check_sql("run_summaries"));
  {
    Reader r(store.db());
    bool found = true;
    EXPECT_TRUE(r.kept(&found).empty());
    EXPECT_FALSE(found);
    EXPECT_TRUE(r.faults().empty());
  }
  // A store written before summaries: no table, nothing damaged.
  change(store.db(), "DROP TABLE run_summaries");
  {
    Reader r(store.db());
    bool found = true;
    r.kept(&found);
    EXPECT_FALSE(found);
    EXPECT_TRUE(r.faults().empty());
    expect_same(r.made(), first);
  }
  migrate_run();  // the same run again
  Reader r(store.db());
  bool found = false;
  expect_same(r.kept(&found), first);
  EXPECT_TRUE(found);
  EXPECT_TRUE(r.faults().empty());
}

}  // namespace
