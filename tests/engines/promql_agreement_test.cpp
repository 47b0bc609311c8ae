/*
 * promql_agreement_test.cpp - the questions people ask an engine after a
 * push give the numbers the store gives: the count-weighted mean response
 * time of one transaction (sum_over_time of _sum over sum_over_time of
 * _count), the highest CPU of one server and the total count of one
 * transaction, on VictoriaMetrics and on Prometheus. And the OpenMetrics
 * export passes `promtool check metrics` without a word.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "engine_support.h"

using namespace engine_test;
using namespace vzu_test;

namespace {

/* The first field of the first row of a query on the store, and as a number. */
std::string store_text(const std::string &store, const std::string &sql) {
  RunResult r = run_program(bin_dir() + "/orvtsdb", {"sql", store, sql, "--format", "csv"},
                            clean_env());
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> lines = split_lines(r.out);
  return lines.size() > 1 ? csv_fields(lines[1])[0] : "";
}
double store_number(const std::string &store, const std::string &sql) {
  std::string t = store_text(store, sql);
  return t.empty() ? NAN : std::stod(t);
}

std::string url_escaped(const std::string &s) {
  std::string out;
  for (unsigned char c : s) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%%%02X", c);
    out += std::isalnum(c) ? std::string(1, (char)c) : std::string(buf);
  }
  return out;
}

/* The one value of an instant PromQL query at time `at` (seconds). */
double engine_number(const std::string &base, const std::string &promql, long long at) {
  auto [status, body] = http(base + "/api/v1/query", "query=" + url_escaped(promql) + "&time=" +
                                                         std::to_string(at) + "&nocache=1");
  EXPECT_EQ(status, 200) << body;
  nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
  if (j.is_discarded() || j["data"]["result"].size() != 1) {
    ADD_FAILURE() << promql << " gave " << body;
    return NAN;
  }
  return std::stod(j["data"]["result"][0]["value"][1].get<std::string>());
}

struct Questions {
  std::string mean, cpu_max, count;
  double store_mean, store_cpu_max, store_count;
  long long at;
};

/* The three questions on a migrated run: in PromQL, and answered by the store. */
Questions ask(const std::string &store) {
  Questions q;
  long long first = (long long)store_number(store, "SELECT MIN(time) FROM samples");
  long long last = (long long)store_number(store, "SELECT MAX(time) FROM samples");
  q.at = last;
  std::string range = "[" + std::to_string(last - first + 1) + "s]";
  const std::string login = "{transaction=\"Login\"}";
  const std::string times = "transaction_stats_transaction_time_seconds";
  q.mean = "sum_over_time(" + times + "_sum" + login + range + ") / sum_over_time(" + times +
           "_count" + login + range + ")";
  q.count = "sum_over_time(" + times + "_count" + login + range + ")";
  std::string where =
      "group_name = 'Transaction Stats' AND graph_name = 'Transaction Time (ms)'"
      " AND labels LIKE '%Transaction=Login%'";
  // the weighted mean counts only intervals in which transactions finished
  q.store_mean =
      store_number(
          store,
          "SELECT SUM(a.value * c.value) / SUM(c.value) FROM samples a JOIN samples c "
          "ON a.sid = c.sid AND a.graph = c.graph AND a.time = c.time "
          "WHERE a.role = 'avg' AND c.role = 'count' AND c.value > 0 AND a.group_name = "
          "'Transaction Stats' AND a.graph_name = 'Transaction Time (ms)' AND a.labels LIKE "
          "'%Transaction=Login%'") /
      1000;  // the graph's milliseconds, as seconds
  q.store_count = store_number(store,
                               "SELECT SUM(value) FROM samples WHERE role = 'count' AND " + where);
  std::string server = store_text(
      store, "SELECT labels FROM samples WHERE graph_name = 'CPU Utilization (Pct)' LIMIT 1");
  q.cpu_max = "max_over_time(server_stats_cpu_utilization_percent{series=\"" + server + "\"}" +
              range + ")";
  q.store_cpu_max = store_number(store,
                                 "SELECT MAX(value) FROM samples WHERE graph_name = 'CPU "
                                 "Utilization (Pct)' AND labels = '" +
                                     server + "'");
  return q;
}

void expect_same_answers(const char *engine, const std::string &base, const Questions &q) {
  double mean = engine_number(base, q.mean, q.at), cpu = engine_number(base, q.cpu_max, q.at),
         count = engine_number(base, q.count, q.at);
  std::printf(
      "[ promql   ] %-15s weighted mean %.15g s (store %.15g), max CPU %.15g %% (store %.15g),"
      " count %.0f (store %.0f)\n",
      engine, mean, q.store_mean, cpu, q.store_cpu_max, count, q.store_count);
  EXPECT_NEAR(mean, q.store_mean, 1e-9 * q.store_mean) << engine;
  EXPECT_NEAR(cpu, q.store_cpu_max, 1e-9 * q.store_cpu_max) << engine;
  EXPECT_EQ(count, q.store_count) << engine;
}

TEST(PromqlAgreement, EnginesAnswerAsTheStoreDoes) {
  TempRun run(5401);
  generate_and_migrate(run);
  Questions q = ask(run.run_dir());
  ASSERT_GT(q.store_count, 0);
  ASSERT_TRUE(std::isfinite(q.store_mean) && std::isfinite(q.store_cpu_max));
  auto push = [&](const std::string &base) {
    return run_program(bin_dir() + "/orvtsdb",
                       {"push", run.run_dir(), "--url", base + "/api/v1/write", "--verify"},
                       clean_env());
  };
  {
    EngineProcess vm;
    START_OR_SKIP(start_victoria_metrics(vm, run.wdir() + "/vm"));
    RunResult p = push(vm.base());
    ASSERT_EQ(p.status, 0) << p.err;
    expect_same_answers("VictoriaMetrics", vm.base(), q);
  }
  EngineProcess prom;
  START_OR_SKIP(start_prometheus(prom, run.wdir() + "/prom", "100y"));
  RunResult p = push(prom.base());
  ASSERT_EQ(p.status, 0) << p.err;
  expect_same_answers("Prometheus", prom.base(), q);
}

TEST(PromqlAgreement, PromtoolFindsNothingToSayAboutTheExport) {
  if (find_program("promtool").empty()) GTEST_SKIP() << "promtool is not installed";
  TempRun run(5402);
  generate_and_migrate(run);
  std::string file = run.wdir() + "/export.om";
  RunResult e = run_program(
      "/bin/sh",
      {"-c", bin_dir() + "/orvtsdb export " + run.run_dir() + " --format openmetrics > " + file},
      clean_env());
  ASSERT_EQ(e.status, 0) << e.err;
  RunResult lint = run_program("/bin/sh", {"-c", "promtool check metrics < " + file});
  EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
  EXPECT_EQ(lint.out + lint.err, "");
}

}  // namespace
