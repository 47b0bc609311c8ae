/*
 * compare_test.cpp - `orvtsdb compare` on real runs whose truth is known:
 * generated runs of one system (one --seed) that differ by autocorrelated
 * noise alone (--noise-seed), one with a transaction made slower
 * (--slowdown), migrated by the real tool into their own stores.
 *
 * COMPARE_PAIRS (default 5) sets how many noise-only pairs measure the
 * false alarm rates, per metric and of the gate; they are printed.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "store_test_support.h"
#include "vzu_test_support.h"

using namespace vzu_test;
using Json = nlohmann::json;

namespace {

/* One hour of one-second samples of the fixed groups, one partition: long
 * enough for the batches the statistics need, quick to make. */
const std::vector<std::string> SHAPE = {"--groups",     "6",    "--vectors",  "5",
                                        "--partitions", "1",    "--versions", "1",
                                        "--packets",    "3600", "--seed",     "1"};

/* A migrated run of the system with noise seed `noise` and `extra` options. */
std::unique_ptr<TempRun> make_run(int noise, const std::vector<std::string> &extra = {}) {
  auto run = std::make_unique<TempRun>(1);
  std::vector<std::string> args = {"--wdir", run->wdir(),    "--testrun",
                                   "1",      "--noise-seed", std::to_string(noise)};
  args.insert(args.end(), SHAPE.begin(), SHAPE.end());
  args.insert(args.end(), extra.begin(), extra.end());
  RunResult g = run_program(bin_dir() + "/make_sample_run", args, real_store_env());
  EXPECT_EQ(g.status, 0) << g.err;
  auto env = real_store_env();
  env.push_back({"TW_WDIR", run->wdir()});
  RunResult m = run_program(tool_path(), {"-t", "1"}, env);
  EXPECT_EQ(m.status, 0) << m.out << m.err;
  return run;
}

RunResult compare(const TempRun &a, const TempRun &b, std::vector<std::string> extra = {}) {
  std::vector<std::string> args = {"compare", a.run_dir(), b.run_dir()};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_program(bin_dir() + "/orvtsdb", args, real_store_env());
}

/* The whole JSON answer, every metric listed. */
Json compare_all(const TempRun &a, const TempRun &b, std::vector<std::string> extra = {}) {
  extra.insert(extra.end(), {"--format", "json", "--all"});
  RunResult r = compare(a, b, extra);
  EXPECT_EQ(r.status, 0) << r.err;
  return Json::parse(r.out);
}

Json compare_json(const TempRun &a, const TempRun &b, std::vector<std::string> extra = {}) {
  return compare_all(a, b, std::move(extra))["metrics"];
}

bool changed(const Json &row) {
  std::string v = row["verdict"];
  return v == "slower" || v == "faster" || v == "higher" || v == "lower";
}

bool is_login(const Json &r) {
  return r["group"] == "Transaction Stats" &&
         r["labels"].get<std::string>().find("Transaction=Login") != std::string::npos;
}

class CompareTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    base_ = make_run(1).release();
    slower_ = make_run(2, {"--slowdown", "Login=1.3"}).release();
  }
  static void TearDownTestSuite() {
    delete base_;
    delete slower_;
  }
  static TempRun *base_, *slower_;
};
TempRun *CompareTest::base_, *CompareTest::slower_;

TEST_F(CompareTest, AnInjectedSlowdownIsFoundExactlyWhereItIs) {
  Json rows = compare_json(*base_, *slower_);
  int slower = 0;
  for (const Json &r : rows) {
    bool login = is_login(r);
    if (r["verdict"] == "slower") {
      slower++;
      EXPECT_TRUE(login) << r.dump();
      EXPECT_LT(r["low"].get<double>(), 0.3) << r.dump();
      EXPECT_GT(r["high"].get<double>(), 0.3) << r.dump();
      EXPECT_TRUE(r["baseline"].contains("interval_avg_p99")) << "times graphs say what the "
                                                                 "percentiles are of";
    } else {
      EXPECT_FALSE(changed(r) && r.contains("baseline") && r["baseline"].contains("count"))
          << "another response time changed: " << r.dump();
    }
  }
  EXPECT_EQ(slower, 2) << "Transaction Time and its spread";

  RunResult text = compare(*base_, *slower_);
  ASSERT_EQ(text.status, 0) << text.err;
  auto lines = split_lines(text.out);
  auto header = std::find_if(lines.begin(), lines.end(),
                             [](const std::string &l) { return l.rfind("change", 0) == 0; });
  ASSERT_TRUE(header != lines.end() && header + 1 != lines.end()) << text.out;
  EXPECT_NE(header[1].find("slower"), std::string::npos) << text.out << "worst first";
  EXPECT_NE(lines.back().find("2 slower"), std::string::npos) << text.out;

  RunResult gate = compare(*base_, *slower_, {"--fail-on-regression"});
  EXPECT_EQ(gate.status, 3) << gate.err;
  EXPECT_NE(gate.err.find("2 response times slower"), std::string::npos) << gate.err;
  EXPECT_EQ(compare(*base_, *slower_, {"--fail-on-regression", "--threshold", "40"}).status, 0);
}

TEST_F(CompareTest, ARunAgainstItselfIsUnchangedEverywhere) {
  Json rows = compare_json(*base_, *base_);
  ASSERT_GT(rows.size(), 50u);
  for (const Json &r : rows) {
    EXPECT_EQ(r["verdict"], "no evidence") << r.dump();
    if (r.contains("change")) {
      EXPECT_EQ(r["change"], 0.0) << r.dump();
    }
  }
}

TEST_F(CompareTest, WindowsCsvAndUsageErrors) {
  RunResult r = compare(*base_, *slower_, {"--skip", "5m", "--until", "55m"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("compared 0:05:00 .. 0:55:00"), std::string::npos) << r.out;
  Json windowed = compare_json(*base_, *slower_, {"--skip", "5m", "--until", "55m"});
  for (const Json &row : windowed)
    if (row.contains("baseline")) {
      EXPECT_LE(row["baseline"]["intervals"].get<int>(), 3000);
    }

  RunResult csv = compare(*base_, *slower_, {"--format", "csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  auto lines = split_lines(csv.out);
  ASSERT_EQ(lines.size(), 3u) << csv.out;
  EXPECT_EQ(csv_fields(lines[0])[0], "verdict");
  EXPECT_EQ(csv_fields(lines[1])[0], "slower");

  struct {
    std::vector<std::string> args;
    int status;
    const char *message;
  } bad[] = {
      {{"--skip", "soon"}, 2, "--skip needs a duration"},
      {{"--skip", "10m", "--until", "5m"}, 2, "is not after --skip"},
      {{"--threshold", "-3"}, 2, "--threshold needs a percentage"},
      {{"--format", "xml"}, 2, "xml"},
      {{"--skip", "2h"}, 1, "--skip 2:00:00 is past the last sample of"},
  };
  for (const auto &b : bad) {
    RunResult e = compare(*base_, *slower_, b.args);
    EXPECT_EQ(e.status, b.status) << e.err;
    EXPECT_NE(e.err.find(b.message), std::string::npos) << e.err;
  }
  RunResult none = run_program(bin_dir() + "/orvtsdb",
                               {"compare", base_->run_dir(), "/nonexistent/store"});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("/nonexistent/store"), std::string::npos) << none.err;
}

/* The two runs are read at once (the candidate by a second thread); a
 * damaged chunk in either ends the compare with one line naming its store,
 * and where both are damaged in one metric, the baseline's is named, as
 * when they were read one after the other. */
TEST(CompareRuns, ADamagedChunkInEitherRunEndsItNamingItsStore) {
  auto a = make_run(3), b = make_run(4);
  const int64_t rowid = 40;  // both runs have the same shape, so the same rows
  store_test::damage_chunk_blob(b->path("tsdb/metrics.sqlite"), rowid);
  RunResult r = compare(*a, *b);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find(b->path("tsdb/metrics.sqlite") + ": damaged store"), std::string::npos)
      << r.err;
  store_test::damage_chunk_blob(a->path("tsdb/metrics.sqlite"), rowid);
  r = compare(*a, *b);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(split_lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find(a->path("tsdb/metrics.sqlite") + ": damaged store"), std::string::npos)
      << r.err;
}

TEST(CompareRuns, MetricsOfOneRunOnlyAreListedAsSuch) {
  auto a = make_run(1), b = make_run(1, {"--vectors", "6"});
  Json rows = compare_json(*a, *b);
  int only = 0;
  for (const Json &r : rows) {
    EXPECT_NE(r["verdict"], "only in baseline") << r.dump();
    if (r["verdict"] != "only in candidate") continue;
    only++;
    // Summarised as its run has it, role by role (a times graph's metric
    // has no role).
    bool times = r["data_type"].get<std::string>().rfind("times", 0) == 0;
    EXPECT_EQ(r["role"].is_null(), times) << r.dump();
    ASSERT_TRUE(r.contains("candidate")) << r.dump();
    EXPECT_GT(r["candidate"]["intervals"].get<int>(), 0) << r.dump();
    if (times) {
      EXPECT_GT(r["candidate"]["count"].get<double>(), 0) << r.dump();
    }
  }
  EXPECT_GT(only, 0);
}

/* Pairs of runs of one system, noise alone: at the default settings at most
 * 5 % of the judged metrics may be called changed, and the gate, which holds
 * the error of all response times together, fails none of a few pairs. */
TEST(CompareRuns, NoiseAloneIsRarelyCalledAChange) {
  const char *env = std::getenv("COMPARE_PAIRS");
  int pairs = env ? std::atoi(env) : 5;
  size_t judged = 0, called = 0, failed = 0;
  for (int k = 0; k < pairs; k++) {
    auto a = make_run(100 + k), b = make_run(200 + k);
    for (const std::vector<std::string> &window :
         {std::vector<std::string>{}, std::vector<std::string>{"--until", "20m"}}) {
      Json all = compare_all(*a, *b, window);
      failed += all["result"] == "fail";
      for (const Json &r : all["metrics"]) {
        judged += r["verdict"] != "too little data";
        called += changed(r);
      }
    }
  }
  ASSERT_GT(judged, 0u);
  double rate = (double)called / (double)judged;
  std::printf(
      "false alarms: %zu of %zu judged metrics in %d pairs (%.2f %%); the gate failed "
      "%zu of %d comparisons\n",
      called, judged, pairs, 100 * rate, failed, 2 * pairs);
  EXPECT_LE(rate, 0.05);
  EXPECT_LE((double)failed, 0.05 * 2 * pairs + 1);
}

/* The answer for machines: its shape, and each metric's fields. */
TEST_F(CompareTest, TheJsonAnswerHasItsShape) {
  Json all = compare_all(*base_, *slower_, {"--skip", "5m"});
  for (const char *key : {"baseline", "candidate", "window", "threshold", "confidence", "result",
                          "totals", "metrics"})
    EXPECT_TRUE(all.contains(key)) << key;
  for (const char *run : {"baseline", "candidate"}) {
    EXPECT_TRUE(all[run]["path"].is_string());
    EXPECT_TRUE(all[run]["start_epoch"].is_number_integer());
  }
  EXPECT_EQ(all["window"]["from_s"], 300);
  EXPECT_EQ(all["window"]["to_s"], all["baseline"]["last_sample_s"].get<int>() + 1)
      << "both runs are an hour long: the window ends after their last sample";
  EXPECT_EQ(all["threshold"], 0.05);
  EXPECT_EQ(all["confidence"], 0.95);
  EXPECT_EQ(all["result"], "fail");
  EXPECT_EQ(all["totals"]["slower"], 2);
  EXPECT_EQ(all["totals"]["metrics"], all["metrics"].size());
  for (const Json &m : all["metrics"]) {
    for (const char *key : {"verdict", "group", "graph", "labels", "since", "p95_change"})
      ASSERT_TRUE(m.contains(key)) << key << " " << m.dump();
    if (m["verdict"] == "too little data") continue;
    for (const char *key : {"change", "low", "high", "p_value"})
      ASSERT_TRUE(m[key].is_number()) << key << " " << m.dump();
    EXPECT_LE(m["low"].get<double>(), m["change"].get<double>());
    EXPECT_GE(m["high"].get<double>(), m["change"].get<double>());
    if (changed(m)) {
      EXPECT_EQ(m["since"], 300) << "a change from the start began where the window does";
      EXPECT_NEAR(m["p95_change"].get<double>(), 0.3, 0.1) << m.dump();
    } else {
      EXPECT_TRUE(m["since"].is_null()) << m.dump();
    }
  }
}

/* A slowdown that begins late: dated, and measured before and after, in
 * every output. */
TEST(CompareRuns, ALateSlowdownIsDatedInEveryOutput) {
  auto a = make_run(1), b = make_run(2, {"--slowdown", "Login=1.5@1800"});
  Json rows = compare_json(*a, *b);
  int dated = 0;
  for (const Json &r : rows)
    if (r["verdict"] == "slower") {
      EXPECT_TRUE(is_login(r)) << r.dump();
      EXPECT_NEAR(r["since"].get<double>(), 1800, 3600 / 20) << r.dump();
      EXPECT_NEAR(r["before"].get<double>(), 0, 0.05) << r.dump();
      EXPECT_NEAR(r["after"].get<double>(), 0.5, 0.1) << r.dump();
      dated++;
    }
  EXPECT_EQ(dated, 2) << "Transaction Time and its spread";
  RunResult text = compare(*a, *b);
  EXPECT_NE(text.out.find(" -> +"), std::string::npos) << text.out;
  RunResult csv = compare(*a, *b, {"--format", "csv"});
  auto lines = split_lines(csv.out);
  ASSERT_GE(lines.size(), 2u) << csv.out;
  auto head = csv_fields(lines[0]), row = csv_fields(lines[1]);
  auto at = [&](const std::string &name) {
    return row[std::find(head.begin(), head.end(), name) - head.begin()];
  };
  EXPECT_NEAR(std::stod(at("since_s")), 1800, 180);
  EXPECT_NEAR(std::stod(at("after_pct")), 50, 10) << "percent, as named";
  std::string page = a->wdir() + "/compare.html";
  RunResult h = compare(*a, *b, {"--html", page});
  ASSERT_EQ(h.status, 0) << h.err;
  EXPECT_NE(h.err.find(page), std::string::npos) << "the page written is named";
  EXPECT_NE(read_file(page).find("since "), std::string::npos);
  RunResult missing = compare(*a, *b, {"--html", a->wdir() + "/no/such/compare.html"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;
}

}  // namespace
