/*
 * promql_agreement_test.cpp - the questions people ask an engine after a
 * push, in the idioms every dashboard uses, give the numbers the store
 * gives, on VictoriaMetrics and on Prometheus: throughput
 * (rate(x_count[5m]) * 300 against the events the store counts in the five
 * minutes), the count-weighted mean response time over a window
 * (rate(x_sum[5m]) / rate(x_count[5m])), the events of the whole run
 * (increase(x_count[run])) and the highest CPU of one server. And the
 * OpenMetrics export passes `promtool check metrics` without a word, names
 * one unit per series and no label `instance`; and every panel of
 * `orvtsdb dashboard` is answered by both engines, with the store's figures.
 *
 * The small run by default; ENGINE_TEST_PRESET=medium asks the medium one.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "engine_mapping.h"
#include "engine_support.h"

using namespace engine_test;
using namespace vzu_test;

namespace {

/* The first field of the first row of a query on the store, and as a number.
 * A medium run's questions scan millions of samples: they get ten minutes. */
std::string store_text(const std::string &store, const std::string &sql) {
  RunResult r = run_program(bin_dir() + "/orvtsdb",
                            {"sql", store, sql, "--format", "csv", "--timeout", "600"},
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

const std::string TIMES = "transaction_stats_transaction_time_seconds";
const std::string LOGIN = "{transaction=\"Login\"}";
const std::string LOGIN_WHERE =
    "group_name = 'Transaction Stats' AND graph_name = 'Transaction Time (ms)'"
    " AND labels LIKE '%Transaction=Login%'";

/* One question: PromQL at a time, and the store's answer. */
struct Question {
  std::string what, promql;
  long long at;
  double store;
  bool exact;  // else within 1 %
};

/* The events of Login the store counts in (from, to], and their
 * count-weighted mean response time in seconds. */
double store_count(const std::string &store, long long from, long long to) {
  return store_number(store, "SELECT SUM(value) FROM samples WHERE role = 'count' AND " +
                                 LOGIN_WHERE + " AND time > " + std::to_string(from) +
                                 " AND time <= " + std::to_string(to));
}
double store_mean(const std::string &store, long long from, long long to) {
  // the weighted mean counts only intervals in which transactions finished
  return store_number(store,
                      "SELECT SUM(a.value * c.value) / SUM(c.value) FROM samples a JOIN samples c "
                      "ON a.sid = c.sid AND a.graph = c.graph AND a.time = c.time "
                      "WHERE a.role = 'avg' AND c.role = 'count' AND c.value > 0 AND "
                      "a.group_name = 'Transaction Stats' AND a.graph_name = 'Transaction Time "
                      "(ms)' AND a.labels LIKE '%Transaction=Login%' AND a.time > " +
                          std::to_string(from) + " AND a.time <= " + std::to_string(to)) /
         1000;  // the graph's milliseconds, as seconds
}

/* The questions on a migrated run: in PromQL, and answered by the store. */
std::vector<Question> ask(const std::string &store) {
  std::vector<Question> q;
  long long first = (long long)store_number(
      store, "SELECT MIN(time) FROM samples WHERE role = 'count' AND " + LOGIN_WHERE);
  long long last = (long long)store_number(
      store, "SELECT MAX(time) FROM samples WHERE role = 'count' AND " + LOGIN_WHERE);
  std::vector<long long> times;
  RunResult r = run_program(
      bin_dir() + "/orvtsdb",
      {"sql", store, "--format", "csv",
       "SELECT time FROM samples WHERE role = 'count' AND " + LOGIN_WHERE + " ORDER BY time"},
      clean_env());
  std::vector<std::string> lines = split_lines(r.out);
  for (size_t i = 1; i < lines.size(); i++)
    if (!lines[i].empty()) times.push_back(std::stoll(lines[i]));
  if (times.size() < 2) return q;
  long long step = times[1] - times[0];
  // Five-minute windows away from the run's edges, that start on a sample:
  // both engines then take the increase between the samples at the window's
  // ends, as the store counts it (a window starting inside an interval of
  // the run's 10 s granularity is off by up to a 30th).
  std::vector<long long> at;
  for (size_t i = 0, j = 0; i < times.size(); i++) {
    while (times[j] < times[i] - 300) j++;
    if (times[j] == times[i] - 300 && i + 3 < times.size()) at.push_back(times[i]);
  }
  if (at.empty()) return q;
  for (long long t : {at.front(), at[at.size() / 2], at.back()}) {
    q.push_back({"throughput", "rate(" + TIMES + "_count" + LOGIN + "[5m]) * 300", t,
                 store_count(store, t - 300, t), false});
    q.push_back(
        {"mean",
         "rate(" + TIMES + "_sum" + LOGIN + "[5m]) / rate(" + TIMES + "_count" + LOGIN + "[5m])", t,
         store_mean(store, t - 300, t), false});
  }
  // the whole run, from the counter's start an interval before its first sample
  std::string run = "[" + std::to_string(last - first + step + 1) + "s]";
  q.push_back({"total", "increase(" + TIMES + "_count" + LOGIN + run + ")", last,
               store_count(store, first - 1, last), true});
  // one server's CPU: its tags as labels
  std::string server = store_text(
      store, "SELECT labels FROM samples WHERE graph_name = 'CPU Utilization (Pct)' LIMIT 1");
  orvtsdb::TagList tags;
  std::smatch m;
  for (std::string rest = server; std::regex_search(rest, m, std::regex("([^=,]+)=([^,]*)"));
       rest = m.suffix())
    tags.emplace_back(m[1], m[2]);
  std::string selector;
  for (const auto &[name, value] : orvtsdb::series_labels("", "", tags, {}))
    if (name != "group" && name != "graph")
      selector += (selector.empty() ? "" : ",") + name + "=\"" + value + "\"";
  q.push_back({"max CPU",
               "max_over_time(server_stats_cpu_utilization_percent{" + selector + "}" + run + ")",
               last,
               store_number(store,
                            "SELECT MAX(value) FROM samples WHERE graph_name = 'CPU "
                            "Utilization (Pct)' AND labels = '" +
                                server + "'"),
               true});
  return q;
}

void expect_same_answers(const char *engine, const std::string &base,
                         const std::vector<Question> &questions) {
  for (const Question &q : questions) {
    double got = engine_number(base, q.promql, q.at);
    std::printf("[ promql   ] %-15s %-10s at %lld: %.10g (store %.10g)\n", engine, q.what.c_str(),
                q.at, got, q.store);
    if (q.exact)
      EXPECT_NEAR(got, q.store, 1e-9 * std::fabs(q.store)) << engine << " " << q.promql;
    else
      EXPECT_NEAR(got, q.store, 0.01 * std::fabs(q.store)) << engine << " " << q.promql;
  }
}

TEST(PromqlAgreement, EnginesAnswerTheDashboardIdiomsAsTheStoreDoes) {
  TempRun run(5401);
  generate_and_migrate(run, true);
  std::vector<Question> q = ask(run.run_dir());
  ASSERT_GE(q.size(), 4u);
  for (const Question &one : q) ASSERT_TRUE(std::isfinite(one.store) && one.store > 0) << one.what;
  auto push = [&](const std::string &base) {
    return run_program(bin_dir() + "/orvtsdb",
                       {"push", run.run_dir(), "--url", base + "/api/v1/write"}, clean_env(),
                       3600000);
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

/* A dashboard query as Grafana sends it: variables filled in. */
std::string filled(std::string expr, const std::map<std::string, std::string> &vars) {
  for (const auto &[name, value] : vars)
    for (size_t at; (at = expr.find("$" + name)) != std::string::npos;)
      expr.replace(at, name.size() + 1, value);
  return expr;
}

/* Every panel of `orvtsdb dashboard`, its variables filled in, answered by
 * both engines with data; the response-time and throughput panels give the
 * store's weighted means and counts. */
TEST(Dashboard, EveryPanelsQueryIsAnsweredAndTheFiguresAreTheStores) {
  TempRun run(5403);
  generate_and_migrate(run, true);
  RunResult d = run_program(bin_dir() + "/orvtsdb", {"dashboard", run.run_dir()}, clean_env());
  ASSERT_EQ(d.status, 0) << d.err;
  nlohmann::json board = nlohmann::json::parse(d.out);
  std::vector<std::string> vars;
  for (const auto &v : board["templating"]["list"]) vars.push_back(v["name"]);
  EXPECT_EQ(vars, (std::vector<std::string>{"datasource", "run", "run_id", "transaction", "compare",
                                            "compare_id"}));
  std::vector<std::pair<std::string, std::string>> queries;  // panel title, query
  for (const auto &p : board["panels"]) {
    EXPECT_EQ(p["datasource"]["uid"], "${datasource}");
    for (const auto &t : p["targets"]) queries.emplace_back(p["title"], t["expr"]);
  }
  auto has = [&](const char *title) {
    return std::any_of(queries.begin(), queries.end(),
                       [&](const auto &q) { return q.first.find(title) == 0; });
  };
  for (const char *title : {"Response time", "Throughput", "Users", "CPU"})
    EXPECT_TRUE(has(title)) << title;
  // Runs are told apart by their ids: two TR1 of two work folders share a name.
  for (const auto &[title, expr] : queries)
    EXPECT_TRUE(expr.find("run_id=\"${run_id}\"") != std::string::npos ||
                expr.find("run_id=\"${compare_id}\"") != std::string::npos)
        << title << ": " << expr;

  std::vector<Question> store = ask(run.run_dir());
  long long first = (long long)store_number(run.run_dir(), "SELECT MIN(time) FROM samples");
  long long last = (long long)store_number(run.run_dir(), "SELECT MAX(time) FROM samples");
  // The board opens on the run's own time.
  auto iso = [](long long t) {
    time_t tt = (time_t)t;
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&tt));
    return std::string(text);
  };
  EXPECT_EQ(board["time"]["from"], iso(first));
  EXPECT_EQ(board["time"]["to"], iso(last + 1));
  const std::string tr = "TR" + std::to_string(run.testrun());
  auto check = [&](const char *engine, const std::string &base) {
    // The run's id as the engine holds it (${run_id} is Grafana's form of
    // $run_id, kept apart from $run).
    auto [id_status, ids] = http(base + "/api/v1/label/run_id/values?start=" +
                                     std::to_string(first) + "&end=" + std::to_string(last),
                                 "");
    nlohmann::json id_list = nlohmann::json::parse(ids, nullptr, false);
    ASSERT_TRUE(id_status == 200 && !id_list.is_discarded() && id_list["data"].size() == 1u) << ids;
    const std::string id = id_list["data"][0];
    std::map<std::string, std::string> vars = {{"__rate_interval", "5m"}, {"transaction", "Login"},
                                               {"compare", tr},           {"run", tr},
                                               {"{run_id}", id},          {"{compare_id}", id}};
    for (const auto &[title, expr] : queries) {
      std::string q = filled(expr, vars);
      auto [status, body] = http(base + "/api/v1/query_range",
                                 "query=" + url_escaped(q) + "&start=" + std::to_string(first) +
                                     "&end=" + std::to_string(last) + "&step=60&nocache=1");
      nlohmann::json j = nlohmann::json::parse(body, nullptr, false);
      EXPECT_EQ(status, 200) << engine << " " << q << ": " << body;
      EXPECT_FALSE(j.is_discarded() || j["data"]["result"].empty())
          << engine << " has no data for " << title << ": " << q;
    }
    // the panels' figures at the store's questions' times
    for (const Question &sq : store) {
      std::string panel = sq.what == "throughput" ? "Throughput"
                          : sq.what == "mean"     ? "Response time (mean"
                                                  : "";
      if (panel.empty()) continue;
      auto it = std::find_if(queries.begin(), queries.end(),
                             [&](const auto &q) { return q.first.find(panel) == 0; });
      ASSERT_NE(it, queries.end()) << panel;
      std::string q = filled(it->second, vars);
      double got = engine_number(base, q, sq.at) * (sq.what == "throughput" ? 300 : 1);
      EXPECT_NEAR(got, sq.store, 0.01 * sq.store) << engine << " " << q << " at " << sq.at;
    }
  };
  {
    EngineProcess vm;
    START_OR_SKIP(start_victoria_metrics(vm, run.wdir() + "/vm"));
    RunResult p = run_program(bin_dir() + "/orvtsdb",
                              {"push", run.run_dir(), "--url", vm.base() + "/api/v1/write"},
                              clean_env(), 3600000);
    ASSERT_EQ(p.status, 0) << p.err;
    check("VictoriaMetrics", vm.base());
  }
  EngineProcess prom;
  START_OR_SKIP(start_prometheus(prom, run.wdir() + "/prom", "100y"));
  RunResult p = run_program(bin_dir() + "/orvtsdb",
                            {"push", run.run_dir(), "--url", prom.base() + "/api/v1/write"},
                            clean_env(), 3600000);
  ASSERT_EQ(p.status, 0) << p.err;
  check("Prometheus", prom.base());
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
  // one unit per series: no label value or HELP names a unit the name does
  // not; no label reads as the engine's own
  std::ifstream in(file);
  std::regex other_unit("\\((ms|Secs|KB|Kbps|Pct)\\)"),
      engines_own("[{,](instance|job|le|quantile)=");
  int lines = 0;
  for (std::string line; std::getline(in, line); lines++) {
    EXPECT_FALSE(std::regex_search(line, other_unit)) << line;
    if (line[0] != '#') {
      EXPECT_FALSE(std::regex_search(line, engines_own)) << line;
    }
  }
  EXPECT_GT(lines, 1000);
}

}  // namespace
