/*
 * engine_mapping_test.cpp - the names, values and labels every engine output
 * (push, a migration to an engine, the OpenMetrics export) shares: what a
 * Prometheus user queries must mean what the graph shows.
 */
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "engine_mapping.h"
#include "interval_values.h"

using namespace orvtsdb;

namespace {

constexpr int RATE = 1, TIMES = 3, TIMES_STD = 4, SAMPLE_COUNT = 10;
const double MISSING = -9223372036854775808.0;

std::vector<std::string> names(const GraphMapping &m) {
  std::vector<std::string> out;
  for (const EngineOutput &o : m.outputs) out.push_back(o.name);
  return out;
}

using P = std::vector<std::pair<int64_t, double>>;

/* The engine samples of every output of m, by name, for the stored samples
 * `rows` taken every 10 s from time 100, in one run. */
template <size_t N, size_t W>
std::map<std::string, P> engine_samples(const GraphMapping &m, double (&rows)[N][W]) {
  RunningTotals run;
  std::map<std::string, P> got;
  for (size_t i = 0; i < N; i++)
    for (size_t o = 0; o < m.outputs.size(); o++) {
      int64_t t[2];
      double v[2];
      for (int k = 0, n = m.samples(o, rows[i], 100 + 10 * (int64_t)i, 10, run, t, v); k < n; k++)
        got[m.outputs[o].name].emplace_back(t[k], v[k]);
    }
  return got;
}

TEST(EngineMapping, NamesAreSnakeCaseWithTheGraphsUnitInBaseUnits) {
  GraphMapping ms = map_graph("Transaction Stats", "Transaction Time (ms)", "", TIMES);
  EXPECT_EQ(names(ms),
            (std::vector<std::string>{"transaction_stats_transaction_time_seconds_avg",
                                      "transaction_stats_transaction_time_seconds_min",
                                      "transaction_stats_transaction_time_seconds_max",
                                      "transaction_stats_transaction_time_seconds_count",
                                      "transaction_stats_transaction_time_seconds_sum"}));
  EXPECT_EQ(ms.scale, 1e-3);
  EXPECT_EQ(map_graph("Vuser Info", "Vuser Think Time (Secs)", "", TIMES).scale, 1);
  struct Case {
    const char *group, *graph;
    int type;
    const char *name;
    double scale;
  } cases[] = {
      {"Server Stats", "CPU Utilization (Pct)", RATE, "server_stats_cpu_utilization_percent", 1},
      {"Page Download Stats", "Page Downloads/Sec", RATE,
       "page_download_stats_page_downloads_per_second", 1},
      {"Server Stats", "Network Throughput (Kbps)", RATE,
       "server_stats_network_throughput_bytes_per_second", 125},
      {"Server Stats", "Load Average", RATE, "server_stats_load_average", 1},
      {"TestMetrics", "Odd (Widgets)", RATE, "test_metrics_odd_widgets", 1},
      {"9 Lives", "", 99, "_9_lives", 1},
      {"Host", "Metric 5 sum", RATE, "host_metric_5_sum_value", 1},
      {"Host", "Rate 4B", RATE, "host_rate_4b", 1},
  };
  for (const Case &c : cases) {
    GraphMapping m = map_graph(c.group, c.graph, "", c.type);
    EXPECT_EQ(names(m), std::vector<std::string>{c.name}) << c.graph;
    EXPECT_EQ(m.scale, c.scale) << c.graph;
  }
  // the fifth element of a timesStd graph, and a value with its count
  EXPECT_EQ(names(map_graph("G", "Spread", "", TIMES_STD))[3], "g_spread_spread");
  EXPECT_EQ(names(map_graph("Page Download Stats", "Page Size (KB)", "", SAMPLE_COUNT)),
            (std::vector<std::string>{"page_download_stats_page_size_bytes_avg",
                                      "page_download_stats_page_size_bytes_count",
                                      "page_download_stats_page_size_bytes_sum"}));
}

TEST(EngineMapping, OneUnitPerSeriesInNameLabelsAndHelp) {
  GraphMapping m = map_graph("T", "Time (ms)", "  Response time (Secs)\nof a transaction\n\n",
                             TIMES);
  ASSERT_EQ(m.families.size(), 4u);
  EXPECT_EQ(m.families[0].name, "t_time_seconds_avg");
  EXPECT_EQ(m.families[0].type, FamilyType::gauge);
  EXPECT_EQ(m.families[0].help,
            "Response time (seconds) of a transaction (average per interval); the mean over a "
            "window, weighted by the counts, is rate(t_time_seconds_sum[5m]) / "
            "rate(t_time_seconds_count[5m])");
  EXPECT_EQ(m.families[3].name, "t_time_seconds");
  EXPECT_EQ(m.families[3].type, FamilyType::summary);
  EXPECT_NE(m.families[3].help.find("rate(t_time_seconds_sum[5m])"), std::string::npos);
  EXPECT_EQ(map_graph("T", "Load", "", RATE).families[0].help, "T / Load");
  EXPECT_EQ(map_graph("T", "Size (KB)", "", RATE).families[0].help, "T / Size (bytes)");
  // the graph label keeps the stored name without a unit the name converts
  auto graph_label = [](const char *graph) {
    for (const auto &[name, value] : series_labels("G", graph, {}, {}))
      if (name == "graph") return value;
    return std::string();
  };
  EXPECT_EQ(graph_label("Transaction Time (ms)"), "Transaction Time");
  EXPECT_EQ(graph_label("Network Throughput (Kbps)"), "Network Throughput");
  EXPECT_EQ(graph_label("Odd (Widgets)"), "Odd (Widgets)");  // its own name suffix
  EXPECT_EQ(graph_label("Page Downloads/Sec"), "Page Downloads/Sec");
}

TEST(EngineMapping, CountsAndSumsRunUpOverTheRunFromZero) {
  GraphMapping m = map_graph("T", "Time (ms)", "", TIMES_STD);
  // avg min max count spread, every 10 s: busy, idle, missing, busy
  double rows[][5] = {{2000, 1000, 4000, 3, 500},
                      {0, 0, 0, 0, 0},
                      {MISSING, MISSING, MISSING, MISSING, MISSING},
                      {1000, 500, 1500, 2, 100}};
  auto got = engine_samples(m, rows);
  // gauges in seconds, absent where nothing counted or nothing is stored
  EXPECT_EQ(got["t_time_seconds_avg"], (P{{100, 2}, {130, 1}}));
  EXPECT_EQ(got["t_time_seconds_spread"], (P{{100, 0.5}, {130, 0.1}}));
  // counters: 0 an interval before the first, an idle interval adds 0,
  // a missing sample is absent
  EXPECT_EQ(got["t_time_seconds_count"], (P{{90, 0}, {100, 3}, {110, 3}, {130, 5}}));
  EXPECT_EQ(got["t_time_seconds_sum"], (P{{90, 0}, {100, 6}, {110, 6}, {130, 8}}));

  double idle_count_only[] = {7, 0};  // a value-and-count graph
  EXPECT_TRUE(reads_as_absent(SAMPLE_COUNT, 0, idle_count_only));
  EXPECT_FALSE(reads_as_absent(SAMPLE_COUNT, 1, idle_count_only));
  EXPECT_FALSE(reads_as_absent(RATE, 0, rows[1]));  // 0 is a value where nothing counts
}

/* A value that is not finite is no value: summed into a counter it would
 * make every later total of the run NaN, and an engine would not keep it. */
TEST(EngineMapping, ANonFiniteValueIsAbsentAndAddsNothingToTheCounters) {
  GraphMapping m = map_graph("T", "Time (ms)", "", TIMES);
  // avg min max count, every 10 s
  double rows[][4] = {{2000, 1000, 4000, 3},
                      {NAN, 1000, 4000, 2},
                      {1000, -INFINITY, 1500, 1},
                      {1000, 500, 1500, INFINITY},
                      {3000, 3000, 3000, 1}};
  auto got = engine_samples(m, rows);
  EXPECT_EQ(got["t_time_seconds_avg"], (P{{100, 2}, {120, 1}, {130, 1}, {140, 3}}));
  EXPECT_EQ(got["t_time_seconds_min"], (P{{100, 1}, {110, 1}, {130, 0.5}, {140, 3}}));
  // the interval of the NaN average still counts its events
  EXPECT_EQ(got["t_time_seconds_count"], (P{{90, 0}, {100, 3}, {110, 5}, {120, 6}, {140, 7}}));
  EXPECT_EQ(got["t_time_seconds_sum"], (P{{90, 0}, {100, 6}, {120, 7}, {140, 10}}));
}

TEST(EngineMapping, LabelsNameTheRunAndKeepTagsApartFromTheEnginesOwn) {
  RunLabels a = run_labels("id-a", "/srv/work1/logs/TR12/", 1709542800);
  RunLabels b = run_labels("id-b", "/srv/work2/logs/TR12", 1709542800);
  EXPECT_EQ(a.run, "TR12");
  EXPECT_EQ(a.run_start, "2024-03-04T09:00:00Z");
  EXPECT_EQ(a.run_folder, "work1");
  EXPECT_EQ(b.run_folder, "work2");
  EXPECT_EQ(a.run_id.size(), 16u);
  EXPECT_NE(a.run_id, b.run_id);
  RunLabels plain = run_labels("id", "/data/store", 0);
  EXPECT_EQ(plain.run, "store");
  EXPECT_EQ(plain.run_start + plain.run_folder, "");

  PromLabels l = series_labels("G", "Gr",
                               {{"TestMetrics", "x"},
                                {"test_metrics", "y"},
                                {"run", "z"},
                                {"Instance", "inst1"},
                                {"job", "j"},
                                {"le", "1"},
                                {"quantile", "q"},
                                {"__meta", "m"},
                                {"tag_job", "clash"},
                                {"Empty", ""}},
                               a);
  PromLabels want = {{"graph", "Gr"},
                     {"group", "G"},
                     {"meta", "m"},  // never a leading "__": that is the engine's
                     {"run", "TR12"},
                     {"run_folder", "work1"},
                     {"run_id", a.run_id},
                     {"run_start", "2024-03-04T09:00:00Z"},
                     {"tag_instance", "inst1"},
                     {"tag_job", "j"},
                     {"tag_job_", "clash"},
                     {"tag_le", "1"},
                     {"tag_quantile", "q"},
                     {"tag_run", "z"},
                     {"test_metrics", "x"},
                     {"test_metrics_", "y"}};
  EXPECT_EQ(l, want);
  std::vector<PromLabels> full = output_labels(map_graph("G", "Gr", "", RATE), l);
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full[0][0], (std::pair<std::string, std::string>{"__name__", "g_gr"}));

  // push's --extra-label: kept clear of as ours are; one without a value is none.
  PromLabels extra = series_labels("G", "Gr", {{"Transaction", "Login"}}, plain,
                                   {{"transaction", "X"}, {"env", ""}});
  EXPECT_EQ(extra, (PromLabels{{"graph", "Gr"},
                               {"group", "G"},
                               {"run", "store"},
                               {"run_id", plain.run_id},
                               {"tag_transaction", "Login"},
                               {"transaction", "X"}}));
}

}  // namespace
